#pragma once

// The fallback backend on X11: libavdevice's x11grab reading one RandR output, and
// the display facts the fallback start asks for.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct AVFormatContext;

struct xcb_connection_t;

namespace snagreel {

class FrameConverter;

// The outputs of an X display's default screen, from RandR. A server without RandR,
// or one that reports no outputs, is one display named "screen" covering the root
// window, identified by the root window's id. `displayName` empty means $DISPLAY.
Result<std::vector<DisplayInfo>> listX11Displays(const std::string& displayName);
// The primary output when it is active, else the first active one.
std::optional<std::uint32_t> mainX11Display(const std::vector<DisplayInfo>& displays);

// Why an x11grab read failed: x11grab turns every capture error into EACCES, so the
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

// x11grab over the geometry of one output. The device is opened when the input is
// added; a reader thread pulls frames, converts them to NV12 at the output size and
// posts them to the media queue, dropping frames while the queue is more than two
// frames behind. Presentation times are the grabber's wall-clock stamps in seconds.
class X11GrabSession final : public GrabSession {
public:
    explicit X11GrabSession(std::string displayName = {});
    ~X11GrabSession() override;
    X11GrabSession(const X11GrabSession&) = delete;
    X11GrabSession& operator=(const X11GrabSession&) = delete;

    Result<void> addScreenInput(std::uint32_t displayID, std::int64_t framesPerSecond,
                                bool capturesCursor) override;
    Result<void> addVideoOutput(std::int64_t width, std::int64_t height) override;
    void startRunning(Executor& mediaQueue, GrabSessionCallbacks callbacks) override;
    bool isRunning() const override { return running_.load(); }
    void stopRunning() override;
    void removeInputsAndOutputs() override;
    std::optional<double> toHostTime(double sessionTime) const override;

    // The grabbed region; none before an input is added.
    std::optional<DisplayInfo> inputDisplay() const { return display_; }

private:
    struct Delivery;
    void readLoop(std::shared_ptr<Delivery> delivery);
    void deliver(const std::shared_ptr<Delivery>& delivery, const ScreenImage& image,
                 double presentationTime);

    bool serverWentAway() const;

    std::string displayName_;
    std::optional<DisplayInfo> display_;
    AVFormatContext* input_ = nullptr;
    // A connection of our own to the server the input grabs from: when a read
    // fails it tells whether that server went away, even if a new one already
    // answers on the same display name.
    xcb_connection_t* witness_ = nullptr;
    double timeBase_ = 1e-6;
    std::unique_ptr<FrameConverter> converter_;
    std::shared_ptr<Delivery> delivery_;
    std::thread reader_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
};

} // namespace snagreel
