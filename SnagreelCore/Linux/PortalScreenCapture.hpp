#pragma once

// The primary screen source in a Wayland session: the desktop's ScreenCast portal
// picks (or, with a stored restore token, silently re-picks) one monitor, and its
// PipeWire stream delivers the pictures. Frames come only when the screen changes;
// between them the stream sends idle samples, so the engine's frame clock keeps
// encoding the latest picture.

#include "SnagreelCore/Capture/CapturePlatform.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace snagreel {

// The portal offers one monitor per session and numbers its stream anew every time,
// so the engine sees one display with this fixed id and recovery can ask for it again.
inline constexpr std::uint32_t kPortalDisplayID = 1;

struct PortalCaptureOptions {
    // Where the restore token lives (a private folder); empty means
    // $XDG_STATE_HOME/snagreel, else ~/.local/state/snagreel.
    std::filesystem::path stateDirectory;
    // How long the portal may take to answer a request that can show a dialog.
    double dialogTimeoutSeconds = 120;
};

std::shared_ptr<ScreenCaptureService>
makePortalScreenCaptureService(PortalCaptureOptions options = {});

// The file the restore token is kept in, for the options given.
std::filesystem::path portalRestoreTokenPath(const PortalCaptureOptions& options);

// Whether the session bus offers the ScreenCast portal; otherwise one sentence
// saying why recording cannot work here.
bool portalScreenCastAvailable();
std::string portalScreenCastExplanation();

} // namespace snagreel
