#pragma once

// The platform operations the capture engine needs, behind small interfaces so that
// the engine's logic builds and runs with test doubles. The Linux implementations
// live in SnagreelCore/Linux.

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"
#include "SnagreelCore/Ring/EncodedSample.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AVFrame;

namespace snagreel {

// One screen image, 4:2:0 at the encoded size (NV12 or planar YUV420P, video range),
// in a reference-counted FFmpeg frame. Copies share the pixels.
struct ScreenImage {
    std::shared_ptr<const AVFrame> frame;
    int width = 0;
    int height = 0;
    // FFmpeg pixel format (AVPixelFormat value).
    int pixelFormat = -1;

    bool isValid() const { return frame != nullptr && width > 0 && height > 0; }
};

// ---- Primary backend: the screen stream ----

struct DisplayInfo {
    std::uint32_t id = 0; // RandR output id
    std::string name;     // e.g. "HDMI-1", "screen" for a server without RandR outputs
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool active = false; // connected and driven by a CRTC
    bool primary = false;

    bool operator==(const DisplayInfo&) const = default;
};

struct WindowInfo {
    std::uint32_t id = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const WindowInfo&) const = default;
};

struct ShareableContent {
    std::vector<DisplayInfo> displays;
    std::vector<WindowInfo> windows; // on-screen windows only
    // The display a user thinks of as the main one (primary output, else first).
    std::optional<std::uint32_t> mainDisplayID;
};

struct ContentFilter {
    std::optional<std::uint32_t> displayID; // exactly one of the two is set
    std::optional<std::uint32_t> windowID;
};

struct StreamConfiguration {
    std::int64_t width = 0; // encoded (scaled) size
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 15;
    int queueDepth = 5;
    bool showsCursor = true;
};

// Per-sample status, numbered like the platform's frame info.
enum class FrameStatus {
    complete = 0,
    idle = 1,
    blank = 2,
    suspended = 3,
    started = 4,
    stopped = 5
};

struct ScreenSample {
    FrameStatus status = FrameStatus::complete;
    ScreenImage image; // valid for complete samples
};

// A running stream: delivers samples on the queue given at creation until stop().
// A stop the platform decides on its own (the display server went away, the output
// vanished) is reported once through the onStopped callback with its error.
class ScreenStream {
public:
    virtual ~ScreenStream() = default;
    virtual Result<void> startCapture() = 0;
    virtual void stopCapture() = 0; // synchronous; no callback after it returns
};

struct ScreenStreamCallbacks {
    std::function<void(const ScreenSample&)> onSample; // on the queue
    std::function<void(const Error&)> onStopped;       // on the queue
};

class ScreenCaptureService {
public:
    virtual ~ScreenCaptureService() = default;
    virtual Result<ShareableContent> shareableContent() = 0;
    virtual Result<std::unique_ptr<ScreenStream>>
    makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
               Executor& queue, ScreenStreamCallbacks callbacks) = 0;
};

// ---- Fallback backend: the grab session ----

enum class GrabSessionNotification { runtimeError, didStopRunning, wasInterrupted };

struct GrabSessionCallbacks {
    // An image and its presentation time on the session's own clock (seconds).
    std::function<void(const ScreenImage&, double presentationTime)> onSample;
    std::function<void()> onDrop;
    std::function<void(GrabSessionNotification, std::optional<Error>)> onNotification;
};

// The platform capture session under the fallback source. All calls are made on
// the source's session queue; callbacks arrive on the media queue.
class GrabSession {
public:
    virtual ~GrabSession() = default;
    // Adds the screen input for the display; failure means the input could not be
    // created or added.
    virtual Result<void> addScreenInput(std::uint32_t displayID, std::int64_t framesPerSecond,
                                        bool capturesCursor) = 0;
    // Adds the video output (4:2:0 at the given size, late frames discarded).
    virtual Result<void> addVideoOutput(std::int64_t width, std::int64_t height) = 0;
    // The session holds the queue weakly: once its owner is gone nothing is posted.
    virtual void startRunning(std::shared_ptr<Executor> mediaQueue,
                              GrabSessionCallbacks callbacks) = 0;
    virtual bool isRunning() const = 0;
    virtual void stopRunning() = 0; // synchronous; no sample callback after it returns
    virtual void removeInputsAndOutputs() = 0;
    // Converts a presentation time from the session clock to the monotonic clock;
    // none when the clock is unavailable.
    virtual std::optional<double> toHostTime(double sessionTime) const = 0;
};

// Display facts the fallback start needs.
class DisplayDirectory {
public:
    virtual ~DisplayDirectory() = default;
    virtual std::optional<std::uint32_t> mainDisplayID() = 0;
    virtual bool isActive(std::uint32_t displayID) = 0;
    // Width and height of the display in pixels; none when unknown.
    virtual std::optional<std::pair<std::int64_t, std::int64_t>>
    bounds(std::uint32_t displayID) = 0;
};

// ---- Encoder ----

struct EncoderSettings {
    int width = 0;
    int height = 0;
    std::int64_t framesPerSecond = 15;
    std::int64_t averageBitRate = 4000000;
    std::int64_t bytesPerSecondLimit = 750000;
};

// What the encoder hands back for one submitted frame.
struct EncoderOutput {
    std::int32_t status = 0; // 0 success, else a negative FFmpeg error code
    bool dropped = false;
    std::optional<EncodedSample> sample;
};

// An H.264 encoder. encode() and completeFrames() are called on the capture queue;
// the output callback may run inline or on the encoder's own thread.
class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    // Submits one image; the returned status is 0 or the negative error of the call.
    virtual std::int32_t encode(const ScreenImage& image, std::int64_t presentationTime,
                                std::int64_t duration, bool forceKeyframe) = 0;
    // Emits every pending frame with a presentation time up to `until`.
    virtual void completeFrames(std::int64_t until) = 0;
    virtual void invalidate() = 0;
    // The libavcodec encoder in use, e.g. "h264_vaapi" or "libx264".
    virtual std::string name() const = 0;
    // The encoder opened but then failed while running; a factory with other
    // candidates passes this one over from now on.
    virtual void markFailed() {}
};

// Builds and prepares an encoder; failures are CaptureError::status values with the
// operations "Creating hardware H.264 encoder", "Configuring H.264 encoder" and
// "Preparing H.264 encoder".
using EncoderFactory = std::function<Result<std::unique_ptr<VideoEncoder>>(
    const EncoderSettings&, std::function<void(EncoderOutput)> onOutput)>;

// What a re-check of screen access while recording found. Only a display that
// answers and refuses is `denied`; one that cannot be reached (gone, restarting,
// out of client slots) is `unreachable`, which a later attempt may get past.
enum class ScreenAccessCheck { granted, denied, unreachable };

// Builds from the first candidate that opens, passing over each candidate whose
// encoder was marked failed; the last candidate is never passed over. Every engine
// built by one factory shares that record, so a wedged hardware encoder is not
// picked again by the engine that replaces the one it stopped. The error of a
// failed build is the last candidate's.
EncoderFactory fallingBackEncoderFactory(std::vector<EncoderFactory> candidates);

// Everything the engine takes from the platform.
struct CapturePlatform {
    Clock clock;
    std::shared_ptr<ScreenCaptureService> screenCapture;
    std::function<std::unique_ptr<GrabSession>()> makeGrabSession;
    std::shared_ptr<DisplayDirectory> displays;
    EncoderFactory makeEncoder;
    // Whether the display can be read (the screen-access preflight).
    std::function<bool()> screenAccess;
    // The fallback's periodic re-check while recording; unset, screenAccess answers
    // (false counting as denied).
    std::function<ScreenAccessCheck()> recheckScreenAccess;
    // One sentence telling the user why the display cannot be read (a Wayland
    // session without X, a display that refuses us); empty: a generic sentence.
    std::function<std::string()> screenAccessExplanation;
    // What the engine's diagnostics collector monitors.
    DiagnosticsPlatform diagnostics;
    // The machine description each snapshot's diagnostics carry; empty means an
    // empty description.
    std::function<SystemInformation()> systemInformation;
};

} // namespace snagreel
