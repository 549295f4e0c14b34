#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVPacket;

namespace snagreel {

// Ticks per second of every media time value (presentation times, durations).
inline constexpr std::int64_t kMediaTimescale = 600000;

// What a compressed sample needs to be muxed later without the encoder: the
// stream's size and its parameter sets. Shared by every sample of one encoder.
struct CodecParameters {
    int width = 0;
    int height = 0;
    // avcC (ISO/IEC 14496-15 decoder configuration record) built from SPS/PPS.
    std::vector<std::uint8_t> extradata;
    // Which libavcodec encoder produced the stream, e.g. "libx264".
    std::string encoderName;
};

// One compressed H.264 frame: a reference to a reference-counted FFmpeg packet and
// to the parameters it was encoded with. Copying a sample copies references only.
struct EncodedSample {
    std::shared_ptr<const AVPacket> packet;
    std::shared_ptr<const CodecParameters> format;
    // Presentation time and duration at kMediaTimescale on the monotonic clock.
    std::int64_t presentationTime = 0;
    std::int64_t duration = 0;

    const std::uint8_t* data() const;
    std::int64_t size() const;
    bool isKeyframe() const;
    // Takes a new reference to `packet`'s buffer (no bytes copied).
    static EncodedSample referencing(const AVPacket& packet,
                                     std::shared_ptr<const CodecParameters> format,
                                     std::int64_t presentationTime, std::int64_t duration);
};

} // namespace snagreel
