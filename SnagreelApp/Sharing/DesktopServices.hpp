#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace snagreel::app {

// What a save dialog asks for.
struct SaveDialogRequest {
    std::string title;                    // "Save video"
    std::string proposedName;             // "Snagreel-1a2b3c4d.mp4"
    std::vector<std::string> nameFilters; // "MPEG-4 video (*.mp4)"; empty: any file
    bool allowsFolderCreation = true;

    bool operator==(const SaveDialogRequest&) const = default;
};

// The save dialog. `done` runs on the main thread with the chosen file, or none
// when the user cancelled.
class SaveDialogs {
public:
    virtual ~SaveDialogs() = default;
    virtual void
    chooseSaveLocation(const SaveDialogRequest& request,
                       std::function<void(std::optional<std::filesystem::path>)> done) = 0;
};

// The file manager. Main thread only; neither call waits for the file manager.
class FileManager {
public:
    virtual ~FileManager() = default;
    // Shows `file` selected in its folder (or, failing that, opens the folder).
    virtual void revealFile(const std::filesystem::path& file) = 0;
    // Opens `folder`; fails when no application would open it.
    virtual Result<void> openFolder(const std::filesystem::path& folder) = 0;
};

// The user's trash. Called off the main thread: moving a large folder to a trash on
// another file system copies it.
class Trash {
public:
    virtual ~Trash() = default;
    virtual Result<void> moveToTrash(const std::filesystem::path& item) = 0;
};

// The clipboard. Main thread only.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    virtual void setText(const std::string& text) = 0;
};

} // namespace snagreel::app
