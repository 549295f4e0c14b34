#pragma once

#include "SnagreelApp/System/HotKeyBackend.hpp"

#include <QDBusConnection>

#include <memory>
#include <string>

namespace snagreel::app {

inline constexpr const char* kNoPortalShortcutReason =
    "This desktop does not let programs set a global shortcut. To save clips with a key, "
    "bind the command snagreel --save in your desktop's keyboard settings.";

// True when the desktop portal on `bus` offers global shortcuts. Asks the portal
// once (it may be started on demand), waiting a few seconds at most.
bool portalOffersGlobalShortcuts(const QDBusConnection& bus);

// On Wayland the desktop owns the keyboard: the shortcut is bound through its
// GlobalShortcuts portal when it has one, else the backend says what to do
// instead.
std::unique_ptr<HotKeyBackend> makeWaylandHotKeyBackend(const QDBusConnection& bus);

// The combination in the portal's trigger notation ("CTRL+ALT+LOGO+f"): only a
// preference, the desktop decides what it actually binds.
std::string portalTrigger(const CaptureShortcut& shortcut);

} // namespace snagreel::app
