#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace snagreel {

// Reads at most `limit` bytes of a regular file. Absent when the file is missing,
// is not a regular file (a FIFO or device planted in a fake tree must never block
// us) or cannot be read.
std::optional<std::string> readBoundedFile(const std::filesystem::path& path,
                                           std::size_t limit = 4096);

// A sysfs attribute as text, without the trailing newline and blanks.
std::optional<std::string> readSysfsText(const std::filesystem::path& path);

// A sysfs attribute holding one decimal integer (optionally signed).
std::optional<long long> readSysfsInteger(const std::filesystem::path& path);

} // namespace snagreel
