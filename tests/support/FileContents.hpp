#pragma once

#include <filesystem>
#include <string>

namespace snagreel::testing {

// Writes `bytes` as the whole file, creating missing parent folders.
void writeFileContents(const std::filesystem::path& path, const std::string& bytes);
// The whole file, or nothing when it cannot be read.
std::string readFileContents(const std::filesystem::path& path);

} // namespace snagreel::testing
