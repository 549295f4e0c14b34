#pragma once

// The fallback backend on X11: a session reading one RandR output, and the display
// facts the fallback start asks for.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace snagreel {

class FrameConverter;
class X11FrameReader;

// The outputs of an X display's default screen, from RandR. A server without RandR,
// or one that reports no outputs, is one display named "screen" covering the root
// window, identified by the root window's id. `displayName` empty means $DISPLAY.
Result<std::vector<DisplayInfo>> listX11Displays(const std::string& displayName);
// The primary output when it is active, else the first active one.
std::optional<std::uint32_t> mainX11Display(const std::vector<DisplayInfo>& displays);

// Why a read of the grabbed output failed, when the connection itself is fine: the
// answer comes from whether the grabbed output is still there as it was. Gone or
// changed is a disconnected device (sourceUnavailable); present and unchanged is a
// refusal (permission).
Error classifyX11GrabFailure(const std::string& displayName, const DisplayInfo& grabbed);

// Asks the server afresh on every call, so that hot-plugs and a restarted server are
// seen without any notification plumbing.
class X11DisplayDirectory final : public DisplayDirectory {
public:
    explicit X11DisplayDirectory(std::string displayName = {});

    std::optional<std::uint32_t> mainDisplayID() override;
    bool isActive(std::uint32_t displayID) override;
    std::optional<std::pair<std::int64_t, std::int64_t>> bounds(std::uint32_t displayID) override;

private:
    std::optional<DisplayInfo> find(std::uint32_t displayID) const;
    std::string displayName_;
};

// The fallback session over one output: the stream's private shared-memory reader
// (X11FrameReader) paced at the session's rate. A reader thread reads the output
// when it changed (and re-sends the last image when it did not), converts it to NV12
// at the output size and posts it to the media queue, dropping frames while the
// queue is more than two frames behind. Presentation times are monotonic seconds.
class X11GrabSession final : public GrabSession {
public:
    explicit X11GrabSession(std::string displayName = {});
    ~X11GrabSession() override;
    X11GrabSession(const X11GrabSession&) = delete;
    X11GrabSession& operator=(const X11GrabSession&) = delete;

    Result<void> addScreenInput(std::uint32_t displayID, std::int64_t framesPerSecond,
                                bool capturesCursor) override;
    Result<void> addVideoOutput(std::int64_t width, std::int64_t height) override;
    void startRunning(std::shared_ptr<Executor> mediaQueue,
                      GrabSessionCallbacks callbacks) override;
    bool isRunning() const override { return running_.load(); }
    void stopRunning() override;
    void removeInputsAndOutputs() override;
    std::optional<double> toHostTime(double sessionTime) const override;

    // The grabbed region; none before an input is added.
    std::optional<DisplayInfo> inputDisplay() const { return display_; }

private:
    struct Delivery;
    void readLoop(std::shared_ptr<Delivery> delivery);
    // Reads (or repeats) one image; false when the session cannot go on.
    bool tick(const std::shared_ptr<Delivery>& delivery);
    Error classify(const Error& readerError) const;

    std::string displayName_;
    std::optional<DisplayInfo> display_;
    std::int64_t framesPerSecond_ = 15;
    std::unique_ptr<X11FrameReader> reader_;
    std::unique_ptr<FrameConverter> converter_;
    std::optional<ScreenImage> lastImage_;
    std::shared_ptr<Delivery> delivery_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false; // under mutex_
    std::atomic<bool> running_{false};
};

} // namespace snagreel
