#include "SnagreelCore/Capture/CaptureEngine.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

using namespace snagreel;

namespace {

using Kind = CaptureFailure::Kind;
constexpr double kPeriod = 1.0 / 15;
constexpr const char* kDisplayUnavailable =
    "The selected display is unavailable. Rewind will resume when it returns.";

ScreenImage makeImage(int width, int height, int format = AV_PIX_FMT_NV12) {
    ScreenImage image;
    image.frame = std::shared_ptr<const AVFrame>(av_frame_alloc(), [](const AVFrame* frame) {
        AVFrame* owned = const_cast<AVFrame*>(frame);
        av_frame_free(&owned);
    });
    image.width = width;
    image.height = height;
    image.pixelFormat = format;
    return image;
}

ScreenSample sampleOf(FrameStatus status, ScreenImage image = {}) {
    ScreenSample sample;
    sample.status = status;
    sample.image = std::move(image);
    return sample;
}

// ---- Stream doubles ----

struct StreamLog {
    int starts = 0;
    int stops = 0;
    ContentFilter filter;
    StreamConfiguration configuration;
    ScreenStreamCallbacks callbacks;
};

class FakeStream final : public ScreenStream {
public:
    explicit FakeStream(std::shared_ptr<StreamLog> log) : log_(std::move(log)) {}
    Result<void> startCapture() override {
        ++log_->starts;
        return {};
    }
    void stopCapture() override { ++log_->stops; }

private:
    std::shared_ptr<StreamLog> log_;
};

class FakeService final : public ScreenCaptureService {
public:
    ShareableContent content;
    int contentCalls = 0;
    std::shared_ptr<StreamLog> log = std::make_shared<StreamLog>();
    Executor* deliveryQueue = nullptr;

    Result<ShareableContent> shareableContent() override {
        ++contentCalls;
        return content;
    }
    Result<std::unique_ptr<ScreenStream>> makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     Executor& queue,
                                                     ScreenStreamCallbacks callbacks) override {
        deliveryQueue = &queue;
        log->filter = filter;
        log->configuration = configuration;
        log->callbacks = std::move(callbacks);
        return std::unique_ptr<ScreenStream>(std::make_unique<FakeStream>(log));
    }
};

// ---- Encoder double ----

struct Submission {
    std::int64_t presentationTime = 0;
    bool forced = false;
    const AVFrame* frame = nullptr;
};

struct EncoderLog {
    EncoderSettings settings;
    std::function<void(EncoderOutput)> onOutput;
    std::vector<Submission> submissions;
    std::deque<Submission> pending;
    // Emit each frame inside encode(); otherwise frames wait for completeFrames.
    bool emitsAtOnce = true;
    std::int32_t encodeStatus = 0;
    // Report every n-th frame (counted from 1) as dropped; 0 for never.
    int dropEvery = 0;
    int emitted = 0;
    int factoryCalls = 0;
    bool invalidated = false;
    std::shared_ptr<const CodecParameters> format = std::make_shared<CodecParameters>();

    void emit(const Submission& submission) {
        ++emitted;
        EncoderOutput output;
        if (dropEvery > 0 && emitted % dropEvery == 0) {
            output.dropped = true;
            onOutput(output);
            return;
        }
        // Keyframes when asked and once a second, like the real encoder's GOP.
        const bool keyframe = submission.forced || emitted % 15 == 1;
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, 100);
        if (keyframe) {
            packet->flags |= AV_PKT_FLAG_KEY;
        }
        output.sample = EncodedSample::referencing(*packet, format, submission.presentationTime,
                                                   kMediaTimescale / 15);
        av_packet_free(&packet);
        onOutput(std::move(output));
    }
    void flush() {
        while (!pending.empty()) {
            Submission next = pending.front();
            pending.pop_front();
            emit(next);
        }
    }
    void drop(std::int32_t status = -1) {
        EncoderOutput output;
        output.status = status;
        output.dropped = true;
        onOutput(output);
    }
};

class FakeEncoder final : public VideoEncoder {
public:
    explicit FakeEncoder(std::shared_ptr<EncoderLog> log) : log_(std::move(log)) {}
    std::int32_t encode(const ScreenImage& image, std::int64_t presentationTime, std::int64_t,
                        bool forceKeyframe) override {
        Submission submission{presentationTime, forceKeyframe, image.frame.get()};
        log_->submissions.push_back(submission);
        if (log_->encodeStatus != 0) {
            return log_->encodeStatus;
        }
        if (log_->emitsAtOnce) {
            log_->emit(submission);
        } else {
            log_->pending.push_back(submission);
        }
        return 0;
    }
    void completeFrames(std::int64_t until) override {
        while (!log_->pending.empty() && log_->pending.front().presentationTime <= until) {
            Submission next = log_->pending.front();
            log_->pending.pop_front();
            log_->emit(next);
        }
    }
    void invalidate() override { log_->invalidated = true; }
    std::string name() const override { return "fake264"; }

private:
    std::shared_ptr<EncoderLog> log_;
};

// ---- Fallback doubles ----

struct GrabLog {
    bool running = false;
    std::int64_t outputWidth = 0;
    std::int64_t outputHeight = 0;
    GrabSessionCallbacks callbacks;
};

class FakeGrabSession final : public GrabSession {
public:
    explicit FakeGrabSession(std::shared_ptr<GrabLog> log) : log_(std::move(log)) {}
    Result<void> addScreenInput(std::uint32_t, std::int64_t, bool) override { return {}; }
    Result<void> addVideoOutput(std::int64_t width, std::int64_t height) override {
        log_->outputWidth = width;
        log_->outputHeight = height;
        return {};
    }
    void startRunning(std::shared_ptr<Executor>, GrabSessionCallbacks callbacks) override {
        log_->callbacks = std::move(callbacks);
        log_->running = true;
    }
    bool isRunning() const override { return log_->running; }
    void stopRunning() override {
        log_->running = false;
        // The platform says so once the session is down, as after any stop.
        if (log_->callbacks.onNotification) {
            log_->callbacks.onNotification(GrabSessionNotification::didStopRunning, std::nullopt);
        }
    }
    void removeInputsAndOutputs() override {}
    std::optional<double> toHostTime(double sessionTime) const override { return sessionTime; }

private:
    std::shared_ptr<GrabLog> log_;
};

class FakeDisplays final : public DisplayDirectory {
public:
    std::uint32_t main = 7;
    bool active = true;
    std::int64_t width = 1280;
    std::int64_t height = 720;
    std::optional<std::uint32_t> mainDisplayID() override { return main; }
    bool isActive(std::uint32_t) override { return active; }
    std::optional<std::pair<std::int64_t, std::int64_t>> bounds(std::uint32_t) override {
        return std::make_pair(width, height);
    }
};

// ---- Fixture ----

class CaptureEngineTest : public ::testing::Test {
protected:
    ManualExecutor caller;
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> sessionQueue = std::make_shared<ManualExecutor>();
    // Added to the queue's time: a jump stands for a machine too busy to tick.
    double skew = 0;
    bool screenAccess = true;
    std::string accessExplanation; // empty: the platform has nothing to say
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::shared_ptr<EncoderLog> encoder = std::make_shared<EncoderLog>();
    std::shared_ptr<GrabLog> grab = std::make_shared<GrabLog>();
    std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>();
    std::vector<CaptureEngineStatus> statuses;
    std::vector<CaptureFailure> userStops;
    CaptureConfiguration configuration;
    std::shared_ptr<CaptureEngine> engine;

    CaptureEngineTest() {
        service->content.displays = {DisplayInfo{7, "HDMI-1", 0, 0, 1280, 720, true, true}};
        service->content.mainDisplayID = 7;
        configuration.backend = CaptureBackend::screenCaptureKit;
    }

    // A released engine still hands its teardown to the queues; run it so nothing
    // it posted is left holding the source.
    void TearDown() override {
        engine.reset();
        pump();
    }

    double clock() const { return queue->now() + skew; }

    CapturePlatform platform() {
        CapturePlatform p;
        p.clock = [this] { return clock(); };
        p.screenCapture = service;
        p.makeGrabSession = [this] { return std::make_unique<FakeGrabSession>(grab); };
        p.displays = displays;
        p.makeEncoder = [this](const EncoderSettings& settings,
                               std::function<void(EncoderOutput)> onOutput)
            -> Result<std::unique_ptr<VideoEncoder>> {
            ++encoder->factoryCalls;
            encoder->settings = settings;
            encoder->onOutput = std::move(onOutput);
            return std::unique_ptr<VideoEncoder>(std::make_unique<FakeEncoder>(encoder));
        };
        p.screenAccess = [this] { return screenAccess; };
        p.screenAccessExplanation = [this] { return accessExplanation; };
        return p;
    }

    void build(std::optional<std::uint32_t> display = std::nullopt) {
        engine = CaptureEngine::create(
            configuration, display,
            [this](CaptureEngineStatus status) { statuses.push_back(std::move(status)); },
            [this](CaptureFailure failure) { userStops.push_back(std::move(failure)); }, platform(),
            caller, queue, sessionQueue);
    }

    void pump() {
        while (queue->runUntilIdle() + sessionQueue->runUntilIdle() + caller.runUntilIdle() > 0) {
        }
    }

    // Moves time in frame-sized steps so the caller's completions keep up.
    void advance(double seconds) {
        queue->advance(seconds);
        pump();
    }

    std::optional<Result<void>> start() {
        std::optional<Result<void>> result;
        engine->start([&](Result<void> r) { result = std::move(r); });
        pump();
        return result;
    }

    void startStream(std::optional<std::uint32_t> display = std::nullopt) {
        build(display);
        auto result = start();
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(result->hasValue()) << result->error().description();
    }

    std::optional<Result<CaptureSnapshot>> snapshot(double seconds) {
        std::optional<Result<CaptureSnapshot>> result;
        engine->snapshot(seconds, [&](Result<CaptureSnapshot> r) { result = std::move(r); });
        pump();
        return result;
    }

    void deliver(const ScreenSample& sample) { service->log->callbacks.onSample(sample); }

    void deliverAV(const ScreenImage& image, double presentationTime) {
        grab->callbacks.onSample(image, presentationTime);
        pump();
    }

    int statusesWith(const std::string& message) const {
        return static_cast<int>(std::count_if(statuses.begin(), statuses.end(), [&](const auto& s) {
            return s.failure && s.failure->message == message;
        }));
    }
};

// ---- Configuration and start ----

TEST_F(CaptureEngineTest, RefusesInvalidConfigurationsBeforeAnyPlatformCall) {
    for (auto backend : {CaptureBackend::screenCaptureKit, CaptureBackend::avFoundation}) {
        for (int which = 0; which < 5; ++which) {
            configuration = CaptureConfiguration{};
            configuration.backend = backend;
            switch (which) {
            case 0:
                configuration.framesPerSecond = 0;
                break;
            case 1:
                configuration.framesPerSecond = 61;
                break;
            case 2:
                configuration.maximumWidth = 319;
                break;
            case 3:
                configuration.maximumBytes = 0;
                break;
            default:
                configuration.maximumDuration = 0;
                break;
            }
            screenAccess = true;
            build();
            auto result = start();
            ASSERT_TRUE(result.has_value());
            ASSERT_FALSE(result->hasValue());
            EXPECT_EQ(result->error().description(), "Invalid recording configuration.");
        }
    }
    EXPECT_EQ(service->contentCalls, 0);
    EXPECT_EQ(encoder->factoryCalls, 0);
    EXPECT_FALSE(grab->running);
}

TEST_F(CaptureEngineTest, ScalesDownToMaximumWidthButNeverUp) {
    service->content.displays = {DisplayInfo{7, "DP-1", 0, 0, 2560, 1440, true, true},
                                 DisplayInfo{8, "DP-2", 2560, 0, 1280, 720, true, false}};
    service->content.windows = {WindowInfo{42, 1000, 601}};

    startStream();
    EXPECT_EQ(service->log->configuration.width, 1920);
    EXPECT_EQ(service->log->configuration.height, 1080);
    EXPECT_EQ(service->log->configuration.framesPerSecond, 15);
    EXPECT_EQ(encoder->settings.width, 1920);
    EXPECT_EQ(encoder->settings.height, 1080);
    EXPECT_EQ(service->log->filter.displayID, 7u);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().source, (CaptureSource{"display", 7, 1920, 1080}));
    EXPECT_EQ(statuses.back().encoderName, "fake264");
    EXPECT_TRUE(statuses.back().running);
    EXPECT_FALSE(statuses.back().failure);

    startStream(8);
    EXPECT_EQ(service->log->configuration.width, 1280);
    EXPECT_EQ(service->log->configuration.height, 720);

    configuration.windowID = 42;
    startStream();
    EXPECT_EQ(service->log->filter.windowID, 42u);
    EXPECT_EQ(statuses.back().source, (CaptureSource{"window", 42, 1000, 600}));

    EXPECT_EQ(CaptureEngine::encodedSize(3840, 2160, 1920),
              (std::pair<std::int64_t, std::int64_t>{1920, 1080}));
    EXPECT_EQ(CaptureEngine::encodedSize(1, 1, 1920),
              (std::pair<std::int64_t, std::int64_t>{2, 2}));
}

TEST_F(CaptureEngineTest, MissingWindowOrPreferredDisplayFailsTheStart) {
    configuration.windowID = 5;
    build();
    auto result = start();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(), "The selected window is unavailable (window 5).");

    configuration.windowID.reset();
    build(99);
    result = start();
    ASSERT_TRUE(result && !result->hasValue());
    const CaptureFailure failure(result->error());
    EXPECT_EQ(failure.kind, Kind::sourceUnavailable);
    EXPECT_EQ(failure.message, kDisplayUnavailable);
    EXPECT_EQ(encoder->factoryCalls, 0);

    // Without a preference a missing main display falls back to the first one.
    service->content.mainDisplayID = 3;
    startStream();
    EXPECT_EQ(service->log->filter.displayID, 7u);
}

TEST_F(CaptureEngineTest, StartCancelledLateLeavesNoStreamRunning) {
    build();
    std::optional<Result<void>> result;
    engine->start([&](Result<void> r) { result = std::move(r); });
    queue->runUntilIdle();
    caller.runUntilIdle(); // the stream is up; the last step is still queued
    ASSERT_EQ(service->log->starts, 1);
    engine->invalidate();
    pump();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_TRUE(result->error().isCancellation());
    EXPECT_EQ(service->log->stops, 1);
    EXPECT_TRUE(encoder->invalidated);
    EXPECT_TRUE(statuses.empty());
}

TEST_F(CaptureEngineTest, RunsOnItsOwnQueueAndStopsCleanly) {
    SerialQueue main("snagreel.tests.main");
    std::promise<CaptureEngineStatus> firstStatus;
    bool reported = false; // touched on the capture queue only
    CapturePlatform p = platform();
    p.clock = monotonicSeconds;
    auto own = CaptureEngine::create(
        configuration, std::nullopt,
        [&](CaptureEngineStatus status) {
            if (!reported) {
                reported = true;
                firstStatus.set_value(std::move(status));
            }
        },
        {}, p, main);
    std::promise<bool> started;
    main.post([&] { own->start([&](Result<void> r) { started.set_value(r.hasValue()); }); });
    auto startedFuture = started.get_future();
    ASSERT_EQ(startedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(startedFuture.get());
    auto statusFuture = firstStatus.get_future();
    ASSERT_EQ(statusFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(statusFuture.get().running);
    ASSERT_NE(service->deliveryQueue, nullptr);
    service->deliveryQueue->post(
        [this] { deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720))); });

    std::promise<void> stopped;
    main.post([&] { own->stop([&] { stopped.set_value(); }); });
    auto stoppedFuture = stopped.get_future();
    ASSERT_EQ(stoppedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    main.drain();
    EXPECT_EQ(service->log->stops, 1);
    own.reset();
}

// ---- Frame clock and statuses ----

TEST_F(CaptureEngineTest, StillScreenYieldsFramesAtTheFrameRate) {
    startStream();
    const ScreenImage image = makeImage(1280, 720);
    deliver(sampleOf(FrameStatus::complete, image));
    for (int i = 0; i < 30; ++i) {
        advance(kPeriod);
        deliver(sampleOf(FrameStatus::idle));
    }
    // One frame per tick, every one the same image, the first forced to a keyframe.
    ASSERT_GE(encoder->submissions.size(), 30u);
    EXPECT_LE(encoder->submissions.size(), 31u);
    EXPECT_TRUE(encoder->submissions.front().forced);
    for (const auto& submission : encoder->submissions) {
        EXPECT_EQ(submission.frame, image.frame.get());
    }
    EXPECT_EQ(engine->ring().frames().size(), encoder->submissions.size());
    EXPECT_NEAR(engine->ring().span(), 2.0, 2 * kPeriod);
    const auto& last = statuses.back();
    EXPECT_TRUE(last.sourceAvailable);
    // Statuses come every half second of frames; the last one is that recent.
    EXPECT_GE(last.healthySourceSeconds, 1.5 - kPeriod);
    EXPECT_GT(last.bytes, 0);
    EXPECT_TRUE(engine->absoluteGaps().empty());
}

TEST_F(CaptureEngineTest, BlankFramesReportTheSourceUntilACompleteFrameReturns) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(0.5);
    const std::size_t encoded = encoder->submissions.size();

    deliver(sampleOf(FrameStatus::blank));
    const std::string text = "The screen capture source is temporarily unavailable.";
    ASSERT_EQ(statusesWith(text), 1);
    EXPECT_EQ(statuses.back().failure->kind, Kind::sourceUnavailable);
    EXPECT_FALSE(statuses.back().sourceAvailable);
    EXPECT_EQ(statuses.back().healthySourceSeconds, 0);
    EXPECT_TRUE(statuses.back().running);
    // Idle frames without an image neither encode nor count as healthy.
    deliver(sampleOf(FrameStatus::idle));
    advance(0.3);
    EXPECT_EQ(encoder->submissions.size(), encoded);

    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(1.0);
    EXPECT_GT(encoder->submissions.size(), encoded);
    EXPECT_FALSE(statuses.back().failure);
    EXPECT_TRUE(statuses.back().sourceAvailable);
}

TEST_F(CaptureEngineTest, SilentFrameClockRecordsAGapAndRestartsAtAKeyframe) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(1.0);
    const double before = engine->ring().frames().back().timestamp;
    const std::size_t frames = engine->ring().frames().size();

    skew = 2.0; // no tick ran for two seconds
    advance(kPeriod);
    ASSERT_EQ(engine->absoluteGaps().size(), 1u);
    const auto& gap = engine->absoluteGaps().front();
    EXPECT_EQ(gap.reason, "Capture was interrupted.");
    EXPECT_NEAR(gap.start, before + kPeriod, 1e-6);
    EXPECT_NEAR(gap.end, engine->ring().frames().back().timestamp, 1e-6);
    EXPECT_TRUE(encoder->submissions.back().forced);
    ASSERT_EQ(engine->ring().frames().size(), frames + 1);
    EXPECT_TRUE(engine->ring().frames().back().isKeyframe);
}

TEST_F(CaptureEngineTest, GapsMergeOnlyWithTheSameReasonAndAreCapped) {
    configuration.maximumDuration = 120; // room for 300 gaps that cannot merge
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(0.5);
    encoder->drop();
    pump();
    queue->advance(0.05);
    encoder->drop();
    pump();
    ASSERT_EQ(engine->absoluteGaps().size(), 1u);
    EXPECT_NEAR(engine->absoluteGaps()[0].end - engine->absoluteGaps()[0].start, 0.05 + kPeriod,
                1e-9);
    EXPECT_EQ(engine->absoluteGaps()[0].reason, "The hardware encoder dropped a frame.");
    EXPECT_EQ(statusesWith("Hardware encoder dropped a frame failed (-1)."), 2);

    encoder->encodeStatus = -22;
    advance(kPeriod);
    encoder->encodeStatus = 0;
    ASSERT_EQ(engine->absoluteGaps().size(), 2u);
    EXPECT_EQ(engine->absoluteGaps()[1].reason, "Video encoding failed.");
    EXPECT_EQ(statusesWith("Video encoding failed (-22)."), 1);

    // Every third frame dropped: 300 gaps too far apart to merge. The good frames
    // in between keep the encoder from counting as wedged.
    encoder->dropEvery = 3;
    advance(900 * kPeriod);
    const auto& gaps = engine->absoluteGaps();
    ASSERT_EQ(gaps.size(), CaptureEngine::kMaximumGaps);
    EXPECT_NEAR(gaps.back().end, clock(), 3 * kPeriod);
    EXPECT_NEAR(gaps.back().start - gaps[gaps.size() - 2].start, 3 * kPeriod, 1e-6);
    EXPECT_TRUE(statuses.back().running);
    EXPECT_FALSE(engine->ring().empty());
}

TEST_F(CaptureEngineTest, WedgedEncoderTerminatesWithARetryableFailure) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(0.5);
    encoder->encodeStatus = -11;
    advance(0.5);
    EXPECT_TRUE(statuses.back().running) << "half a second of failures is not yet a wedge";
    advance(0.7);
    const auto& last = statuses.back();
    EXPECT_FALSE(last.running);
    ASSERT_TRUE(last.failure);
    EXPECT_EQ(last.failure->kind, Kind::transient);
    EXPECT_EQ(last.failure->message, "Video encoding failed (-11).");
    EXPECT_TRUE(last.failure->canRetry());
    EXPECT_TRUE(encoder->invalidated);
    EXPECT_EQ(last.seconds, 0);

    // Drops reported by the encoder count the same way.
    encoder = std::make_shared<EncoderLog>();
    statuses.clear();
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(0.5);
    encoder->dropEvery = 1;
    advance(1.2);
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->kind, Kind::transient);
    EXPECT_FALSE(statuses.back().running);
}

TEST_F(CaptureEngineTest, ResizedSourceTerminatesInsteadOfMixingFrameSizes) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    advance(0.5);
    const std::size_t encoded = encoder->submissions.size();
    deliver(sampleOf(FrameStatus::complete, makeImage(1024, 768)));
    const auto& last = statuses.back();
    ASSERT_TRUE(last.failure);
    EXPECT_EQ(last.failure->domain, "Snagreel.Capture");
    EXPECT_EQ(last.failure->code, 1);
    EXPECT_EQ(last.failure->kind, Kind::sourceUnavailable);
    EXPECT_EQ(last.failure->message, kDisplayUnavailable);
    advance(0.5);
    EXPECT_EQ(encoder->submissions.size(), encoded);
    EXPECT_TRUE(engine->ring().empty());
}

// ---- Clear, terminate, outside stop ----

TEST_F(CaptureEngineTest, ClearDropsFramesEncodedBeforeItEvenWhenTheyArriveLater) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    encoder->emitsAtOnce = false;
    advance(0.5);
    ASSERT_FALSE(encoder->pending.empty());
    engine->clear();
    pump();
    encoder->flush();
    pump();
    EXPECT_TRUE(engine->ring().empty());

    advance(kPeriod);
    EXPECT_TRUE(encoder->submissions.back().forced);
    encoder->flush();
    pump();
    EXPECT_EQ(engine->ring().frames().size(), 1u);
    EXPECT_TRUE(statuses.back().running);
}

TEST_F(CaptureEngineTest, TerminationRefusesFramesStillInTheEncoder) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    encoder->emitsAtOnce = false;
    advance(0.5);
    service->log->callbacks.onStopped(Error(streamError(-3805, "Lost the X server.")));
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->kind, Kind::transient);
    EXPECT_FALSE(statuses.back().running);
    EXPECT_TRUE(encoder->invalidated);
    encoder->flush();
    pump();
    EXPECT_TRUE(engine->ring().empty());
    EXPECT_TRUE(userStops.empty());
}

TEST_F(CaptureEngineTest, OutsideUserStopIsReportedOnce) {
    startStream();
    service->log->callbacks.onStopped(Error(streamError(-3817, "Stopped by the user.")));
    service->log->callbacks.onStopped(Error(streamError(-3817, "Stopped by the user.")));
    ASSERT_EQ(userStops.size(), 1u);
    EXPECT_EQ(userStops[0].kind, Kind::userStopped);
    EXPECT_EQ(statuses.back().failure, userStops[0]);

    bool stopped = false;
    engine->stop([&] { stopped = true; });
    pump();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(service->log->stops, 1);
}

// ---- Snapshots ----

TEST_F(CaptureEngineTest, SnapshotRightAfterStartIsWarmingUp) {
    startStream();
    auto result = snapshot(30);
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(),
              "The replay buffer is warming up. Wait for a few seconds and try again.");
}

TEST_F(CaptureEngineTest, SnapshotCutsGapsToTheClip) {
    startStream();
    const double t0 = queue->now();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    // The first image arrives after the first tick: keyframes come at
    // t0 + 1/15, t0 + 1 + 1/15, t0 + 2 + 1/15.
    const double keyframe = t0 + 2 + kPeriod;
    advance(keyframe + 0.03 - t0);
    // A drop just after that keyframe: its gap starts before the frame.
    encoder->drop();
    pump();
    advance(0.47);
    // The frame of the next tick is dropped late, its gap running past the clip.
    encoder->emitsAtOnce = false;
    advance(0.05);
    ASSERT_EQ(encoder->pending.size(), 1u);
    encoder->pending.clear();
    encoder->drop();
    pump();

    auto result = snapshot(0.6);
    ASSERT_TRUE(result && result->hasValue()) << result->error().description();
    const CaptureSnapshot& clip = result->value();
    ASSERT_FALSE(clip.frames.empty());
    EXPECT_NEAR(clip.frames.front().timestamp, keyframe, 1e-6);
    EXPECT_TRUE(clip.frames.front().isKeyframe);
    const double end = clip.frames.back().timestamp + clip.frames.back().duration;
    EXPECT_NEAR(clip.end, end, 1e-6);
    EXPECT_NEAR(clip.endedBeforeTrigger, queue->now() - end, 1e-6);
    EXPECT_EQ(clip.source, (CaptureSource{"display", 7, 1280, 720}));
    ASSERT_EQ(clip.gaps.size(), 2u);
    EXPECT_EQ(clip.gaps[0].startSeconds, 0);
    EXPECT_NEAR(clip.gaps[0].endSeconds, 0.03, 1e-6);
    EXPECT_NEAR(clip.gaps[1].endSeconds, end - clip.frames.front().timestamp, 1e-9);
    EXPECT_LT(clip.gaps[1].startSeconds, clip.gaps[1].endSeconds);
    EXPECT_EQ(clip.diagnostics.timeReference, "clip");
    // The ring keeps its frames.
    EXPECT_GT(engine->ring().frames().size(), clip.frames.size());
}

TEST_F(CaptureEngineTest, SnapshotFlushesTheEncoderBeforeSelecting) {
    startStream();
    deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
    encoder->emitsAtOnce = false;
    advance(1.0);
    ASSERT_TRUE(engine->ring().empty());
    const std::int64_t lastSubmitted = encoder->submissions.back().presentationTime;

    auto result = snapshot(30);
    ASSERT_TRUE(result && result->hasValue()) << result->error().description();
    EXPECT_EQ(result->value().frames.size(), encoder->submissions.size());
    EXPECT_EQ(result->value().frames.back().payload.presentationTime, lastSubmitted);
}

// ---- Fallback backend ----

class CaptureEngineAVTest : public CaptureEngineTest {
protected:
    CaptureEngineAVTest() { configuration.backend = CaptureBackend::avFoundation; }

    void startAV() {
        build();
        auto result = start();
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(result->hasValue()) << result->error().description();
        ASSERT_TRUE(grab->running);
    }

    // Samples at the frame rate, each as old as `age` when it arrives.
    void feed(double seconds, double age = 0) {
        const ScreenImage image = makeImage(1280, 720);
        const int count = static_cast<int>(std::lround(seconds / kPeriod));
        for (int i = 0; i < count; ++i) {
            advance(kPeriod);
            deliverAV(image, clock() - age);
        }
    }
};

TEST_F(CaptureEngineAVTest, StartChecksPermissionModeAndDisplay) {
    screenAccess = false;
    build();
    auto result = start();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(CaptureFailure(result->error()).kind, Kind::permission);
    EXPECT_EQ(result->error().code(), -11836);
    EXPECT_EQ(result->error().description(), "The display cannot be read.");
    // The user is told the platform's reason when it has one.
    accessExplanation = "Snagreel records X11 displays; this is a Wayland session.";
    build();
    result = start();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().code(), -11836);
    EXPECT_EQ(result->error().description(), accessExplanation);
    accessExplanation.clear();

    screenAccess = true;
    configuration.windowID = 3;
    build();
    result = start();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(), "This capture mode supports a selected display only.");

    configuration.windowID.reset();
    displays->active = false;
    build();
    result = start();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().code(), -11845);
    EXPECT_EQ(CaptureFailure(result->error()).kind, Kind::sourceUnavailable);
    EXPECT_EQ(encoder->factoryCalls, 0);

    displays->active = true;
    displays->width = 3840;
    displays->height = 2160;
    startAV();
    EXPECT_EQ(grab->outputWidth, 1920);
    EXPECT_EQ(grab->outputHeight, 1080);
}

TEST_F(CaptureEngineAVTest, EncodesEverySampleAndSnapshotsWhileFresh) {
    startAV();
    feed(2.0);
    EXPECT_EQ(encoder->submissions.size(), 30u);
    EXPECT_TRUE(statuses.back().sourceAvailable);
    auto result = snapshot(30);
    ASSERT_TRUE(result && result->hasValue()) << result->error().description();
    EXPECT_EQ(result->value().frames.size(), 30u);

    // A sample of the wrong size is a format error, not a new source.
    deliverAV(makeImage(640, 360), clock());
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->message,
              "Screen capture returned an unexpected video format.");
    result = snapshot(30);
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(), "Screen capture returned an unexpected video format.");
}

TEST_F(CaptureEngineAVTest, StaleSamplesAreRefusedAndSilenceReportedOnce) {
    startAV();
    feed(1.0);
    const std::size_t encoded = encoder->submissions.size();
    // The same presentation time twice: the second is refused.
    const double at = clock();
    deliverAV(makeImage(1280, 720), at);
    deliverAV(makeImage(1280, 720), at);
    EXPECT_EQ(encoder->submissions.size(), encoded);

    feed(3.0, 2.5);
    EXPECT_EQ(encoder->submissions.size(), encoded);
    EXPECT_EQ(statusesWith("The screen is not delivering current frames."), 1);
    EXPECT_FALSE(statuses.back().sourceAvailable);
    EXPECT_TRUE(statuses.back().running);
    auto result = snapshot(30);
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(), "The screen is not delivering current frames.");
}

TEST_F(CaptureEngineAVTest, HistoryRestartsAfterSilence) {
    startAV();
    feed(2.0);
    ASSERT_FALSE(engine->ring().empty());
    advance(3.0);
    EXPECT_TRUE(engine->ring().empty());
    EXPECT_EQ(statusesWith("The screen is not delivering current frames."), 1);

    const double resumedAt = clock();
    deliverAV(makeImage(1280, 720), resumedAt);
    ASSERT_EQ(engine->ring().frames().size(), 1u);
    EXPECT_TRUE(engine->ring().frames().front().isKeyframe);
    EXPECT_NEAR(engine->ring().frames().front().timestamp, resumedAt, 1e-6);
    feed(1.0);
    EXPECT_TRUE(engine->absoluteGaps().empty()) << "no gap joins the two histories";
    EXPECT_TRUE(statuses.back().running);
}

TEST_F(CaptureEngineAVTest, SampleTakenBeforeAClearKeepsTheKeyframeForTheNext) {
    startAV();
    feed(1.0);
    const double takenAt = clock();
    engine->clear();
    pump();
    const std::size_t encoded = encoder->submissions.size();
    deliverAV(makeImage(1280, 720), takenAt - 0.01);
    EXPECT_EQ(encoder->submissions.size(), encoded);
    feed(kPeriod);
    ASSERT_EQ(encoder->submissions.size(), encoded + 1);
    EXPECT_TRUE(encoder->submissions.back().forced);
    EXPECT_EQ(engine->ring().frames().size(), 1u);
}

TEST_F(CaptureEngineAVTest, NoFirstSampleTerminates) {
    startAV();
    advance(2.5);
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->message, "Screen capture did not deliver current frames.");
    EXPECT_FALSE(statuses.back().failure->canRetry());
}

TEST_F(CaptureEngineAVTest, RevokedPermissionTerminatesOnceAndTheStopStaysSilent) {
    startAV();
    feed(1.0);
    screenAccess = false;
    accessExplanation = "The X display \":7\" does not let Snagreel read its screen.";
    feed(1.2);
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->kind, Kind::permission);
    EXPECT_EQ(statuses.back().failure->message, accessExplanation);
    EXPECT_FALSE(statuses.back().running);
    const std::size_t count = statuses.size();

    // The session goes down after the display became unreadable.
    grab->callbacks.onNotification(GrabSessionNotification::didStopRunning, std::nullopt);
    pump();
    EXPECT_EQ(statuses.size(), count);
    EXPECT_TRUE(userStops.empty());

    bool stopped = false;
    engine->stop([&] { stopped = true; });
    pump();
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(grab->running);
    EXPECT_TRUE(userStops.empty());
}

TEST_F(CaptureEngineAVTest, OutsideStopEndsTheIntentButARequestedStopIsSilent) {
    startAV();
    feed(0.5);
    grab->callbacks.onNotification(GrabSessionNotification::wasInterrupted, std::nullopt);
    pump();
    ASSERT_EQ(userStops.size(), 1u);
    EXPECT_EQ(userStops[0].kind, Kind::unclassifiedStop);

    grab = std::make_shared<GrabLog>();
    userStops.clear();
    startAV();
    feed(0.5);
    engine->stop({});
    pump();
    EXPECT_FALSE(grab->running);
    EXPECT_TRUE(userStops.empty());
}

TEST_F(CaptureEngineAVTest, EncoderBacklogDropsSamples) {
    startAV();
    encoder->emitsAtOnce = false;
    feed(4 * kPeriod);
    EXPECT_EQ(encoder->submissions.size(), 3u);
    ASSERT_EQ(engine->absoluteGaps().size(), 1u);
    EXPECT_EQ(engine->absoluteGaps()[0].reason, "Screen capture dropped a frame.");
    encoder->flush();
    pump();
    feed(kPeriod);
    EXPECT_EQ(encoder->submissions.size(), 4u);
    EXPECT_TRUE(encoder->submissions.back().forced);

    // An encoder that never hands frames back is wedged, not merely busy.
    feed(0.9);
    EXPECT_TRUE(statuses.back().running);
    feed(0.3);
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->kind, Kind::transient);
    EXPECT_FALSE(statuses.back().running);
}

} // namespace
