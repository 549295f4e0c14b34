#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <filesystem>
#include <string_view>

namespace snagreel {

// Writes all of `bytes` to `fd`, resuming after a signal or a short write; fails with
// the POSIX error of the write that failed.
Result<void> writeAll(int fd, std::string_view bytes);

// Writes `bytes` under a temporary name in the same directory, flushes it to disk and
// renames it over `path`, so that a reader sees the old file or the whole new one.
Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                 unsigned mode = 0600);

// Creates `directory` and any missing parents with mode 0700; fails when the
// directory itself already exists.
Result<void> createPrivateDirectory(const std::filesystem::path& directory);

Result<void> setFileMode(const std::filesystem::path& path, unsigned mode);

// Removes `directory` and everything in it; a failure leaves what could not go.
void removeDirectory(const std::filesystem::path& directory);

} // namespace snagreel
