#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <QByteArray>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace snagreel::app {

// One of the two frames that let the service check that what arrives is what the
// machine saw.
struct HostedVideoAnchor {
    std::string position; // "first" or "final"
    double timestampSeconds = 0;
    std::int64_t frameIndex = 0;
    int width = 0;
    int height = 0;
    QByteArray data; // PNG

    std::string sha256() const;
};

struct HostedPreparedVideo {
    std::filesystem::path clipPath;
    std::int64_t clipBytes = 0;
    std::string clipSHA256;
    double durationSeconds = 0;
    std::int64_t frameCount = 0;
    std::vector<HostedVideoAnchor> anchors; // first, then final
};

// Limits of what the service accepts (all inclusive).
namespace hostedlimits {
inline constexpr std::int64_t kMaxClipBytes = 134217728;
inline constexpr double kMaxDurationSeconds = 65.0;
inline constexpr std::int64_t kMaxFrames = 10000;
inline constexpr int kMaxFrameSide = 8192;
inline constexpr std::int64_t kMaxFramePixels = 16777216;
inline constexpr std::int64_t kMaxAnchorBytes = 3000000;
inline constexpr std::int64_t kMaxSubmissionBytes = 24000000;
inline constexpr std::int64_t kMaxManifestBytes = 32768;
inline constexpr std::int64_t kMaxIntentCharacters = 2000;
} // namespace hostedlimits

// Checks a saved clip and summarises it for upload: size (before anything is
// decoded), duration and frame times, SHA-256 of the file and its first and final
// frames as full-resolution PNG images. Only the packets are read for the whole
// movie; the decoder sees the first frames up to the first picture and the last
// keyframe group. The file is only ever read.
namespace HostedVideoPreparation {

// Asked before each sample; true ends the preparation with a cancellation.
using CancelCheck = std::function<bool()>;

// The clip open at `fd` (a descriptor the caller opened without following links).
Result<HostedPreparedVideo> prepare(int fd, const std::filesystem::path& clipPath,
                                    const CancelCheck& cancelled = {});
// Opens an absolute path that contains no symbolic link, then as above.
Result<HostedPreparedVideo> prepare(const std::filesystem::path& clipPath,
                                    const CancelCheck& cancelled = {});

// SHA-256 as 64 lower-case hexadecimal digits.
std::string sha256Hex(const void* bytes, std::size_t size);

} // namespace HostedVideoPreparation

} // namespace snagreel::app
