#pragma once

#include <filesystem>

namespace snagreel {

// Where capture directories live: $XDG_DATA_HOME/Snagreel/Captures, with the XDG
// default ~/.local/share when the variable is unset, empty or not absolute.
std::filesystem::path defaultCapturesRoot();

} // namespace snagreel
