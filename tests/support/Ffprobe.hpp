#pragma once

// What ffprobe and libavcodec say about a media file, for tests that check the
// streams we write rather than our own idea of them.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace snagreel::testing {

struct ProbeFrame {
    bool keyframe = false;
    std::string pictType; // "I", "P", "B"
    std::optional<double> ptsTime;
    std::optional<double> durationTime;
};

struct ProbeResult {
    // First video stream.
    std::string codecName; // "h264"
    std::string profile;   // "High", "Main", ...
    int hasBFrames = 0;
    std::string avgFrameRate;   // e.g. "15/1"
    std::string codecTagString; // "avc1"
    int width = 0;
    int height = 0;
    std::optional<std::int64_t> streamFrameCount; // nb_frames of the stream, when given
    // Container.
    std::string formatName; // "mov,mp4,m4a,3gp,3g2,mj2"
    std::optional<double> duration;
    // Decoded frames of the video stream, in order.
    std::vector<ProbeFrame> frames;
    std::vector<int> keyframeIndices;
    // What ffprobe wrote to stderr at -v error (one entry per line): decode errors.
    std::vector<std::string> decodeErrors;
    int exitStatus = 0;

    int frameCount() const { return static_cast<int>(frames.size()); }
};

// Runs `ffprobe -v error -print_format json -show_streams -show_frames -show_format`
// (argv passed directly, no shell). None with `whyNot` set when ffprobe cannot be run
// or its output is not the JSON expected.
std::optional<ProbeResult> ffprobe(const std::filesystem::path& file,
                                   std::string* whyNot = nullptr);

bool ffprobeAvailable();

struct RunOutput {
    std::string out;
    std::string err;
    int exitStatus = -1; // -1 when the program did not exit normally
};

// Runs a program found on PATH with the given arguments (no shell, stdin from
// /dev/null) and collects both output streams. None when it cannot be started.
std::optional<RunOutput> runProgram(const std::vector<std::string>& arguments);

struct DecodeReport {
    int packets = 0;
    int frames = 0;
    std::vector<std::string> errors;

    bool ok() const { return errors.empty() && frames > 0 && frames == packets; }
};

// Opens the file with libavformat and decodes every packet of its first video stream
// with error detection turned up, draining the decoder at the end.
DecodeReport fullyDecodes(const std::filesystem::path& file);

} // namespace snagreel::testing
