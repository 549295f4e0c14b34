#pragma once

// The H.264 encoder behind VideoEncoder, on libavcodec.
//
// Which encoder runs is decided each time the factory builds one: h264_vaapi when a
// render node (/dev/dri/renderD*) opens and the encoder accepts the settings, then
// h264_nvenc when an NVIDIA device node exists and the encoder opens, otherwise
// libx264. A hardware candidate that fails at any step is released and the next one
// is tried; only the last candidate's failure is returned. A hardware encoder that
// opened but then failed while running (VideoEncoder::markFailed) is passed over by
// every later build of the same factory. Forcing libx264 (the
// choice below, or SNAGREEL_ENCODER=libx264 in the environment) skips the hardware
// probes altogether, which benchmarks and tests rely on.
//
// Stream form, whatever the encoder:
// - CodecParameters::extradata is an avcC record (ISO/IEC 14496-15
//   AVCDecoderConfigurationRecord, 4-byte NAL lengths), built here from the
//   encoder's Annex B SPS/PPS; for High profile it carries the chroma format and
//   bit depth extension.
// - Every packet is length-prefixed (4-byte big-endian NAL sizes, no start codes),
//   the form an 'avc1' MP4 sample takes, so the muxer writes packets unchanged.
//   Packets carry no SPS/PPS of their own for libx264 (they live in extradata); the
//   first packet also holds the encoder's version SEI.
// - High profile, no B-frames (decode order is presentation order), an IDR every
//   framesPerSecond frames and on every forced keyframe; 4 Mbit/s average with the
//   bytes-per-second limit enforced through the VBV. A VBV of rate R and buffer B
//   lets up to B + R bytes through in one second, so the limit is split: a fifth is
//   the buffer, the rest the maximum rate (for 750000 B/s: 1.2 Mbit buffer, 4.8
//   Mbit/s). A VBV of a full second at 6 Mbit/s let 880 KB through in a second of
//   noise and 400 KB keyframes on a still screen.
// - EncodedSample::presentationTime/duration are exactly the values given to
//   encode(), at kMediaTimescale.
// - libx264 with skipUnchangedImages: an image submitted again (an idle screen)
//   costs no encoding. It becomes a P frame of a dozen bytes whose macroblocks are
//   all skipped, or, at a keyframe, the encoder's last IDR again when the encoder
//   has made nothing since; the encoder's later slices get frame numbers that
//   continue after the inserted frames. The keyframe interval is then kept here,
//   counting inserted frames too.
//
// Failures of the factory are CaptureError::status values:
//   "Creating hardware H.264 encoder"  no encoder of the name (AVERROR_ENCODER_NOT_FOUND)
//                                      or no memory for its context (AVERROR(ENOMEM))
//   "Configuring H.264 encoder"        settings refused: odd or non-positive size,
//                                      frame rate outside 1..240, non-positive rates
//                                      (AVERROR(EINVAL)), or an option the encoder
//                                      rejects (its own code)
//   "Preparing H.264 encoder"          avcodec_open2 failed (its code, e.g.
//                                      AVERROR(EINVAL), AVERROR(ENOMEM),
//                                      AVERROR(ENOSYS)/AVERROR(ENODEV) for a missing
//                                      device), or the encoder gave no SPS/PPS
//                                      (AVERROR_INVALIDDATA)
// encode() returns 0 or the libavcodec error of the call (AVERROR(EIO) when a
// hardware device is lost, AVERROR(EINVAL) for an image of the wrong size or after
// invalidate()).

#include "SnagreelCore/Capture/CapturePlatform.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace snagreel {

enum class EncoderChoice {
    automatic, // hardware when it works, else libx264
    libx264,   // software only
};

struct FFmpegEncoderOptions {
    EncoderChoice choice = EncoderChoice::automatic;
    // libx264 speed preset and thread count. "ultrafast" with one thread keeps a
    // 1080p frame well inside a 15 fps budget on two cores and leaves the other core
    // to capture (see bench/EncoderBenchmark.cpp).
    std::string x264Preset = "ultrafast";
    int x264Threads = 1;
    // libx264 tuning; "zerolatency" hands each frame out as it is encoded. Empty (no
    // tuning, frame threads) makes an encoder that holds frames back, as hardware
    // queues do.
    std::string x264Tune = "zerolatency";
    // Where render nodes are looked for; tests point it at a fake tree.
    std::string renderNodeDirectory = "/dev/dri";
    // Whether an image submitted again (the same frame object, as an idle screen
    // gives) becomes a frame that repeats the one before it, without the encoder:
    // an all-skip P slice, or at a keyframe the encoder's last IDR when that was of
    // this image. libx264 only; hardware encoders encode every frame.
    bool skipUnchangedImages = true;
    // Whether SNAGREEL_ENCODER is read (tests turn it off to stay deterministic).
    bool readEnvironment = true;
};

EncoderFactory makeFFmpegEncoderFactory(EncoderChoice choice = EncoderChoice::automatic);
EncoderFactory makeFFmpegEncoderFactory(FFmpegEncoderOptions options);

// The avcC record for Annex B parameter sets (SPS and PPS, any other NAL units
// ignored); none when no SPS or no PPS is found or the SPS is unreadable.
std::optional<std::vector<std::uint8_t>> avcCFromAnnexB(std::span<const std::uint8_t> annexB);

} // namespace snagreel
