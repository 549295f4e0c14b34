#pragma once

// The fallback screen source: a display grab session that delivers every sample,
// with the stop gate its notifications share with the engine and the freshness
// bookkeeping of its samples.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace snagreel {

// Shared by the engine and every source it builds. The only lock of the recorder:
// the engine flips `stopping` under it synchronously before any teardown, so the
// notifications the teardown causes are recognised as requested stops.
class AVSourceStopGate {
public:
    void setStopping();
    bool isStopping() const;
    std::optional<CaptureFailure> terminalFailure() const;

    // Records a permission failure of the grab domain unless stopping or one is
    // already recorded.
    void recordPermissionDenied(const CaptureFailure& failure);
    // The failure a session notification stands for, if any (none while stopping).
    std::optional<CaptureFailure> failure(GrabSessionNotification notification,
                                          const std::optional<Error>& error);

private:
    mutable std::mutex lock_;
    bool stopping_ = false;
    std::optional<CaptureFailure> terminalFailure_;
};

// Freshness of the fallback's samples on the monotonic clock.
struct AVSourceTiming {
    struct Acceptance {
        bool resetsHistory = false;
    };

    double maximumAge = 2;
    std::optional<double> lastPresentationTime;
    std::optional<double> lastReceiptTime;
    bool needsNewHistory = false;

    std::optional<Acceptance> receive(double presentationTime, double now);
    // True when silence is newly detected.
    bool observeSilence(double now);
    // Both last times known, not waiting for history, each within maximumAge at or
    // before now.
    bool isFresh(double now) const;
    void reset() { *this = AVSourceTiming{}; }
};

// One grab session for one display. Never restarted: the engine builds a new one
// for each attempt. start() and stop() run on the session queue; samples, drops
// and failures arrive on the media queue.
class AVScreenSource : public std::enable_shared_from_this<AVScreenSource> {
public:
    struct Callbacks {
        // The image and its presentation time on the session clock, with the
        // session so the engine can convert that time to the monotonic clock.
        std::function<void(const ScreenImage&, double sessionTime, const GrabSession*)> onSample;
        std::function<void(const Error&)> onFailure;
        std::function<void()> onDrop;
    };

    static std::shared_ptr<AVScreenSource>
    create(std::unique_ptr<GrabSession> session, std::shared_ptr<Executor> sessionQueue,
           std::shared_ptr<Executor> mediaQueue, std::uint32_t displayID, std::int64_t width,
           std::int64_t height, std::int64_t fps, std::shared_ptr<AVSourceStopGate> stopGate,
           Callbacks callbacks);

    // Completes on the session queue.
    void start(Completion<void> done);
    // Sets the gate's stopping flag at once, then tears the session down on the
    // session queue; `done` (optional) runs there afterwards.
    void stop(std::function<void()> done = {});

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }

private:
    AVScreenSource() = default;

    Result<void> startOnSessionQueue();
    GrabSessionCallbacks makeSessionCallbacks();
    // Detaches the callbacks, stops the session if it runs and empties it.
    void tearDown();

    std::unique_ptr<GrabSession> session_;
    std::shared_ptr<Executor> sessionQueue_;
    // Weak: the engine owns its queue, and a teardown that runs after the engine is
    // gone must not keep it (or post to it).
    std::weak_ptr<Executor> mediaQueue_;
    std::uint32_t displayID_ = 0;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    std::int64_t fps_ = 0;
    std::shared_ptr<AVSourceStopGate> stopGate_;
    Callbacks callbacks_;
    bool started_ = false;
    // Cleared on the session queue when the source detaches; read on the media queue.
    std::shared_ptr<std::atomic<bool>> attached_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace snagreel
