#pragma once

// The one place that decides, from the login session, which display system the
// recorder captures: the X11 backends or the desktop's screen-sharing portal.

#include "SnagreelCore/Capture/CaptureRecords.hpp"

#include <string>

namespace snagreel {

enum class SessionPlatform { x11, wayland };

// SNAGREEL_SESSION_PLATFORM=x11|wayland forces one (tests, odd setups); otherwise a
// session with WAYLAND_DISPLAY set or XDG_SESSION_TYPE=wayland is a Wayland session.
SessionPlatform currentSessionPlatform();

// The engine backend that records the platform: the portal is a stream source.
CaptureBackend captureBackendFor(SessionPlatform platform, CaptureBackend x11Choice);

} // namespace snagreel
