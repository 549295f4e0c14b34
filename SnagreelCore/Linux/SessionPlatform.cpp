#include "SnagreelCore/Linux/SessionPlatform.hpp"

#include <cstdlib>
#include <string_view>

namespace snagreel {

namespace {

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

} // namespace

SessionPlatform currentSessionPlatform() {
    const auto forced = environment("SNAGREEL_SESSION_PLATFORM");
    if (forced == "x11") {
        return SessionPlatform::x11;
    }
    if (forced == "wayland") {
        return SessionPlatform::wayland;
    }
    if (!environment("WAYLAND_DISPLAY").empty() || environment("XDG_SESSION_TYPE") == "wayland") {
        return SessionPlatform::wayland;
    }
    return SessionPlatform::x11;
}

CaptureBackend captureBackendFor(SessionPlatform platform, CaptureBackend x11Choice) {
    return platform == SessionPlatform::wayland ? CaptureBackend::screenCaptureKit : x11Choice;
}

} // namespace snagreel
