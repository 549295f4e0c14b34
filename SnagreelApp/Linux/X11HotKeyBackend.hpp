#pragma once

#include "SnagreelApp/System/HotKeyBackend.hpp"

#include <memory>
#include <string>

namespace snagreel::app {

// What decides which backend can deliver global shortcuts in this session.
struct DesktopSession {
    std::string display;        // $DISPLAY
    std::string waylandDisplay; // $WAYLAND_DISPLAY
    std::string sessionType;    // $XDG_SESSION_TYPE

    static DesktopSession current();
    bool isWayland() const { return !waylandDisplay.empty() || sessionType == "wayland"; }
};

// The backend for `session`: X key grabs in an X11 session, the desktop portal
// in a Wayland session that offers it, otherwise one that reports why shortcuts
// are unavailable.
std::unique_ptr<HotKeyBackend>
makeHotKeyBackend(const DesktopSession& session = DesktopSession::current());

// Grabs the combination on the root window through a connection of its own, for
// every state of Caps Lock and Num Lock, and reads its events through a socket
// notifier so the GUI thread never waits for the server. Grabs are taken again
// when the keyboard mapping changes.
class X11HotKeyBackend;
// Registers nothing and gives `reason` to the user.
std::unique_ptr<HotKeyBackend> makeUnavailableHotKeyBackend(std::string reason);
std::unique_ptr<HotKeyBackend> makeX11HotKeyBackend(const std::string& display);

} // namespace snagreel::app
