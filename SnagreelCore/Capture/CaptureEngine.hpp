#pragma once

// The always-on recorder under the capture controller: one screen source, one
// H.264 encoder, the replay ring of encoded frames, the list of capture gaps and
// the diagnostics collector. One engine per recording attempt; a terminated or
// invalidated engine never runs again.

#include "SnagreelCore/Capture/AVScreenSource.hpp"
#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Capture/CaptureSession.hpp"
#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticsCollector.hpp"
#include "SnagreelCore/Ring/ReplayRing.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace snagreel {

class CaptureEngine final : public CaptureSession,
                            public std::enable_shared_from_this<CaptureEngine> {
public:
    // A gap in absolute clock seconds, as recorded while capturing.
    struct AbsoluteGap {
        double start = 0;
        double end = 0;
        std::string reason;
    };

    // Without a capture queue the engine runs its own ("snagreel.capture"); without
    // a session queue it gets its own ("snagreel.capture.av-session"): the platform
    // calls of start and stop, which may block, run there, and the fallback source's
    // session too. start/stop/snapshot complete on `callerExecutor`, which must
    // outlive the engine but never runs platform work; onStatus and onUserStopped
    // are called on the capture queue.
    static std::shared_ptr<CaptureEngine> create(CaptureConfiguration configuration,
                                                 std::optional<std::uint32_t> preferredDisplayID,
                                                 std::function<void(CaptureEngineStatus)> onStatus,
                                                 std::function<void(CaptureFailure)> onUserStopped,
                                                 CapturePlatform platform, Executor& callerExecutor,
                                                 std::shared_ptr<Executor> captureQueue = nullptr,
                                                 std::shared_ptr<Executor> sessionQueue = nullptr);

    ~CaptureEngine() override;

    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    void start(Completion<void> done) override;
    void stop(std::function<void()> done) override;
    void clear() override;
    void invalidate() override;
    void snapshot(double seconds, Completion<CaptureSnapshot> done) override;

    // The encoded size of a source: scaled down to `maximumWidth`, never up, each
    // side truncated, made even and at least 2.
    static std::pair<std::int64_t, std::int64_t>
    encodedSize(std::int64_t width, std::int64_t height, std::int64_t maximumWidth);
    static bool isValid(const CaptureConfiguration& configuration);

    // How long consecutive encoder failures may last before the engine gives up.
    static constexpr double kWedgedEncoderSeconds = 1.0;
    static constexpr std::size_t kMaximumGaps = 256;

    // Read on the capture queue only (tests drive that queue themselves).
    const std::vector<AbsoluteGap>& absoluteGaps() const { return absoluteGaps_; }
    const ReplayRing<EncodedSample>& ring() const { return ring_; }

private:
    struct StartGate {
        std::optional<CaptureFailure> failure;
        bool invalidated = false;
        bool isClean() const { return !failure && !invalidated; }
    };

    CaptureEngine(CaptureConfiguration configuration,
                  std::optional<std::uint32_t> preferredDisplayID,
                  std::function<void(CaptureEngineStatus)> onStatus,
                  std::function<void(CaptureFailure)> onUserStopped, CapturePlatform platform,
                  Executor& callerExecutor, std::shared_ptr<Executor> captureQueue,
                  std::shared_ptr<Executor> sessionQueue);

    double now() const;
    double framePeriod() const;
    bool isFallback() const { return configuration_.backend == CaptureBackend::avFoundation; }
    template <typename T> void complete(Completion<T> done, Result<T> result);
    // The gate's failure, else a cancellation; none when the gate is clean.
    std::optional<Error> gateError() const;

    // Stream backend.
    void startStream(Completion<void> done);
    void finishStreamStart(std::shared_ptr<ScreenStream> stream, Completion<void> done);
    void receiveScreenSample(const ScreenSample& sample);
    void streamStopped(const Error& error);
    void encodeLatestFrame();

    // Fallback backend.
    void startAVFoundation(Completion<void> done);
    void finishAVStart(std::shared_ptr<AVScreenSource> source, Result<void> started,
                       Completion<void> done);
    void receiveAVSample(const ScreenImage& image, double sessionTime, const GrabSession* session);
    void checkAVSource(std::optional<double> at);
    bool checkAVPermission(double at, bool force);
    std::string screenAccessDenial() const;
    void clearAVHistory(double at);
    void avDroppedFrame();
    void avSourceFailed(const Error& error);

    // Shared.
    Result<void> createEncoder(std::int64_t width, std::int64_t height);
    void dropEncoder();
    void activate(CaptureSource source);
    void encodeImage(const ScreenImage& image, double presentationTime);
    void encoderOutput(EncoderOutput output);
    void receiveEncodedFrame(const EncodedSample& sample);
    // Counts one more failed or dropped encode; true once the encoder has failed
    // without a single good frame for kWedgedEncoderSeconds (the engine has then
    // terminated).
    bool encoderWedged(double at, std::int32_t status);
    void recordGap(double start, double end, std::string reason);
    void markSourceHealthy(double at);
    void clearHealthyTimes();
    void publishStatus(std::optional<CaptureFailure> failure);
    void terminate(CaptureFailure failure);
    void discardUntriggeredMedia();
    void shutDown(); // what invalidate does on the queue
    void takeSnapshot(double seconds, double triggeredAt, Completion<CaptureSnapshot> done);

    CaptureConfiguration configuration_;
    std::function<void(CaptureEngineStatus)> onStatus_;
    std::function<void(CaptureFailure)> onUserStopped_;
    std::optional<std::uint32_t> preferredDisplayID_;
    CapturePlatform platform_;
    Executor& callerExecutor_;
    std::shared_ptr<Executor> queue_;
    std::shared_ptr<Executor> sessionQueue_;
    std::unique_ptr<DiagnosticsCollector> diagnostics_;

    // Set at once by stop/invalidate on any thread, read by the start steps that run
    // off the capture queue (where the start gate cannot be read).
    std::atomic<bool> cancelled_{false};

    std::shared_ptr<ScreenStream> stream_;
    std::shared_ptr<AVScreenSource> avSource_;
    std::shared_ptr<AVSourceStopGate> avStopGate_ = std::make_shared<AVSourceStopGate>();
    AVSourceTiming avTiming_;
    std::optional<double> avStartedAt_;
    std::int64_t avPendingFrames_ = 0;
    std::optional<double> lastAVPermissionCheck_;
    std::unique_ptr<VideoEncoder> encoder_;
    std::string encoderName_;
    TimerHandle timer_;
    std::optional<ScreenImage> latestImage_;
    ReplayRing<EncodedSample> ring_;
    std::optional<CaptureSource> source_;
    bool running_ = false;
    StartGate startGate_;
    bool reportedUserStop_ = false;
    std::optional<double> firstHealthySourceTime_;
    std::optional<double> latestHealthySourceTime_;
    bool forceKeyframe_ = true;
    bool awaitingKeyframe_ = true;
    std::optional<double> previousEncodeTime_;
    double lastStatusTime_ = 0;
    std::vector<AbsoluteGap> absoluteGaps_;
    double minimumAcceptedTime_ = -std::numeric_limits<double>::infinity();
    // Start of the current run of encoder failures with no good frame in between.
    std::optional<double> encoderFailingSince_;
};

} // namespace snagreel
