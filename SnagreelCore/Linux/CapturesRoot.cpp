#include "SnagreelCore/Linux/CapturesRoot.hpp"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace snagreel {

namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

} // namespace

std::filesystem::path defaultCapturesRoot() {
    std::filesystem::path data;
    // Relative values are invalid by the XDG rules and must be ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data = xdg;
    } else {
        data = homeDirectory() / ".local" / "share";
    }
    return data / "Snagreel" / "Captures";
}

} // namespace snagreel
