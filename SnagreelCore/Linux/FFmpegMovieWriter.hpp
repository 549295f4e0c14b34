#pragma once

#include "SnagreelCore/Export/MP4Exporter.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <filesystem>
#include <memory>
#include <string>

namespace snagreel {

inline constexpr const char* kFFmpegErrorDomain = "FFmpeg";
inline constexpr const char* kDiskFullMessage =
    "There is not enough free disk space to save the clip.";

// An FFmpeg status code (AVERROR) as an error: system errors keep their POSIX
// domain and code, a full disk reads as a plain sentence, and the rest are described
// by FFmpeg itself.
Error ffmpegError(int status);

// The name, in the same directory, under which `path` is written until it is
// complete (".clip.mp4.partial" for "clip.mp4").
std::filesystem::path partialMoviePath(const std::filesystem::path& path);

// An MPEG-4 writer copying H.264 packets as they are (no re-encoding), with the
// index at the front of the file. The file grows under a hidden temporary name, is
// flushed to disk and only then renamed to `path`, so a failed, cancelled or
// abandoned export never leaves a partial movie under the real name.
Result<std::shared_ptr<MovieWriter>> makeFFmpegMovieWriter(const std::filesystem::path& path);

} // namespace snagreel
