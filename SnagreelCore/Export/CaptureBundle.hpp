#pragma once

#include <filesystem>
#include <string>

namespace snagreel {

inline constexpr const char* kClipFileName = "clip.mp4";
inline constexpr const char* kManifestFileName = "manifest.json";

// A saved capture directory and its two files.
struct CaptureBundle {
    std::string id; // lower-case UUID, also the directory's name
    std::filesystem::path directoryURL;
    std::filesystem::path clipURL;
    std::filesystem::path manifestURL;
};

} // namespace snagreel
