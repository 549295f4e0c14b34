#pragma once

#include "SnagreelApp/Sharing/DesktopServices.hpp"

namespace snagreel::app {

// The save dialog as a window-modal file dialog; its answer comes back through the
// event loop.
class QtSaveDialogs final : public SaveDialogs {
public:
    void
    chooseSaveLocation(const SaveDialogRequest& request,
                       std::function<void(std::optional<std::filesystem::path>)> done) override;
};

} // namespace snagreel::app
