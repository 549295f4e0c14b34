#include "SnagreelCore/Capture/CaptureEngine.hpp"

#include "devsupport/Waiting.hpp"
#include "support/CaptureFakes.hpp"

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
using namespace snagreel::testing;

namespace {

using Kind = CaptureFailure::Kind;
constexpr double kPeriod = 1.0 / 15;
constexpr const char* kDisplayUnavailable =
    "The selected display is unavailable. Rewind will resume when it returns.";

// ---- Fixture ----

class CaptureEngineTest : public ::testing::Test {
protected:
    ManualExecutor caller;
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> sessionQueue = std::make_shared<ManualExecutor>();
    // Added to the queue's time: a jump stands for a machine too busy to tick.
    double skew = 0;
    bool screenAccess = true;
    std::string accessExplanation;              // empty: the platform has nothing to say
    std::function<ScreenAccessCheck()> recheck; // empty: screenAccess answers
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
        p.makeGrabSession = [this] {
            service->log->platformCall();
            return std::make_unique<FakeGrabSession>(grab);
        };
        p.displays = displays;
        p.makeEncoder = [this](const EncoderSettings& settings,
                               std::function<void(EncoderOutput)> onOutput)
            -> Result<std::unique_ptr<VideoEncoder>> {
            ++encoder->factoryCalls;
            encoder->settings = settings;
            encoder->onOutput = std::move(onOutput);
            return std::unique_ptr<VideoEncoder>(std::make_unique<FakeEncoder>(encoder));
        };
        p.screenAccess = [this] {
            service->log->platformCall();
            return screenAccess;
        };
        p.screenAccessExplanation = [this] { return accessExplanation; };
        p.recheckScreenAccess = recheck;
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
    sessionQueue->runUntilIdle();
    queue->runUntilIdle();
    sessionQueue->runUntilIdle(); // the stream is up; the last step is still queued
    ASSERT_EQ(service->log->starts, 1);
    engine->invalidate();
    pump();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_TRUE(result->error().isCancellation());
    EXPECT_EQ(service->log->stops, 1);
    EXPECT_TRUE(encoder->invalidated);
    EXPECT_TRUE(statuses.empty());
}

// The caller is the GUI thread in the application: a display server that does not
// answer must never hold it, so no platform call of a start or stop runs there.
TEST_F(CaptureEngineTest, PlatformCallsOfStartAndStopNeverRunOnTheCaller) {
    for (auto backend : {CaptureBackend::screenCaptureKit, CaptureBackend::avFoundation}) {
        configuration.backend = backend;
        int calls = 0;
        int onCaller = 0;
        service->log->platformCall = [&] {
            ++calls;
            onCaller += caller.isCurrent() ? 1 : 0;
        };
        build();
        std::optional<Result<void>> result;
        caller.post([&] { engine->start([&](Result<void> r) { result = std::move(r); }); });
        pump();
        ASSERT_TRUE(result && result->hasValue()) << static_cast<int>(backend);
        bool stopped = false;
        caller.post([&] { engine->stop([&] { stopped = true; }); });
        pump();
        EXPECT_TRUE(stopped);
        EXPECT_GT(calls, 1);
        EXPECT_EQ(onCaller, 0) << static_cast<int>(backend);
        engine.reset();
        pump();
    }
}

// A thermal or power change the platform is still delivering when the engine and its
// queue are gone must post nowhere (ASan catches the freed queue).
TEST_F(CaptureEngineTest, RunsOnItsOwnQueueAndStopsCleanlyWhileAChangeRoundIsOpen) {
    SerialQueue main("snagreel.tests.main");
    std::promise<CaptureEngineStatus> firstStatus;
    bool reported = false; // touched on the capture queue only
    auto system = std::make_shared<FakeSystemSource>();
    CapturePlatform p = platform();
    p.clock = monotonicSeconds;
    p.diagnostics.systemState = system;
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
    auto round = system->openRound();
    ASSERT_EQ(round.size(), 2u);

    std::promise<void> stopped;
    main.post([&] { own->stop([&] { stopped.set_value(); }); });
    auto stoppedFuture = stopped.get_future();
    ASSERT_EQ(stoppedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    main.drain();
    EXPECT_EQ(service->log->stops, 1);
    EXPECT_EQ(system->observerCount(), 0u);
    const std::weak_ptr<CaptureEngine> gone = own;
    own.reset();
    ASSERT_TRUE(eventually([&] { return gone.expired(); }));
    for (const auto& handler : round) {
        handler();
    }
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

TEST_F(CaptureEngineTest, AnEncoderThatFailedWhileRunningIsPassedOverByTheNextEngine) {
    // A hardware candidate that opens and then fails every frame, and the software
    // one behind it; the last candidate stays even when it fails.
    auto failing = std::make_shared<EncoderLog>();
    failing->name = "h264_vaapi";
    failing->encodeStatus = -5;
    encoder->name = "libx264";
    int hardwareBuilds = 0;
    const auto fake = [](std::shared_ptr<EncoderLog> log, int* builds) -> EncoderFactory {
        return [log, builds](const EncoderSettings&, std::function<void(EncoderOutput)> onOutput)
                   -> Result<std::unique_ptr<VideoEncoder>> {
            if (builds != nullptr) {
                ++*builds;
            }
            log->onOutput = std::move(onOutput);
            return std::unique_ptr<VideoEncoder>(std::make_unique<FakeEncoder>(log));
        };
    };
    CapturePlatform shared = platform();
    shared.makeEncoder =
        fallingBackEncoderFactory({fake(failing, &hardwareBuilds), fake(encoder, nullptr)});
    const auto startWith = [&] {
        engine = CaptureEngine::create(
            configuration, std::nullopt,
            [this](CaptureEngineStatus status) { statuses.push_back(std::move(status)); }, {},
            shared, caller, queue, sessionQueue);
        ASSERT_TRUE(start()->hasValue());
        deliver(sampleOf(FrameStatus::complete, makeImage(1280, 720)));
        advance(1.2);
    };
    startWith();
    EXPECT_EQ(statuses.back().encoderName, "h264_vaapi");
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_TRUE(statuses.back().failure->canRetry());

    startWith();
    EXPECT_EQ(hardwareBuilds, 1);
    EXPECT_TRUE(statuses.back().running);
    EXPECT_EQ(statuses.back().encoderName, "libx264");
    encoder->encodeStatus = -5;
    advance(1.2);
    EXPECT_FALSE(statuses.back().running);
    startWith();
    EXPECT_EQ(statuses.back().encoderName, "libx264") << "nothing left to fall back to";
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

TEST_F(CaptureEngineAVTest, AnUnreachableDisplayOnRecheckIsRetryableNotARefusal) {
    recheck = [] { return ScreenAccessCheck::unreachable; };
    startAV();
    feed(0.5);
    ASSERT_TRUE(statuses.back().failure);
    EXPECT_EQ(statuses.back().failure->kind, Kind::sourceUnavailable);
    EXPECT_TRUE(statuses.back().failure->canRetry());
    EXPECT_FALSE(statuses.back().running);
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

// ---- Fallback source on its own ----

constexpr const char* kStopped = "Screen capture stopped. Resume explicitly when ready.";

struct Harness {
    std::shared_ptr<ManualExecutor> sessionQueue = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> mediaQueueOwner = std::make_shared<ManualExecutor>();
    ManualExecutor& mediaQueue = *mediaQueueOwner;
    std::shared_ptr<AVSourceStopGate> gate = std::make_shared<AVSourceStopGate>();
    std::shared_ptr<GrabLog> log = std::make_shared<GrabLog>();
    std::shared_ptr<AVScreenSource> source;
    std::vector<double> sampleTimes;
    std::vector<std::optional<double>> hostTimes;
    std::vector<CaptureFailure> failures;
    int drops = 0;

    Harness() {
        log->hostOffset = 100;
        auto fake = std::make_unique<FakeGrabSession>(log);
        AVScreenSource::Callbacks callbacks;
        callbacks.onSample = [this](const ScreenImage&, double time, const GrabSession* from) {
            sampleTimes.push_back(time);
            hostTimes.push_back(from ? from->toHostTime(time) : std::nullopt);
        };
        callbacks.onFailure = [this](const Error& error) { failures.emplace_back(error); };
        callbacks.onDrop = [this] { ++drops; };
        source = AVScreenSource::create(std::move(fake), sessionQueue, mediaQueueOwner, 42, 1920,
                                        1080, 15, gate, std::move(callbacks));
    }

    std::optional<Result<void>> start() {
        std::optional<Result<void>> outcome;
        source->start([&](Result<void> result) { outcome = std::move(result); });
        sessionQueue->runUntilIdle();
        return outcome;
    }

    void notify(GrabSessionNotification notification, std::optional<Error> error = std::nullopt) {
        auto& callbacks = log->callbacks;
        mediaQueue.post(
            [&callbacks, notification, error] { callbacks.onNotification(notification, error); });
        mediaQueue.runUntilIdle();
    }
};

CaptureFailure startFailure(const std::optional<Result<void>>& outcome) {
    EXPECT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->hasValue());
    return CaptureFailure(outcome->error());
}

} // namespace

// ---- Timing ----

TEST(AVSourceTiming, RefusesStaleFutureNonFiniteAndRepeatedTimes) {
    AVSourceTiming timing;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(timing.receive(97.5, 100)); // 2.5 s old
    EXPECT_FALSE(timing.receive(100.5, 100));
    EXPECT_FALSE(timing.receive(nan, 100));
    EXPECT_FALSE(timing.receive(99, nan));
    EXPECT_FALSE(timing.lastPresentationTime);

    auto first = timing.receive(99.9, 100);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->resetsHistory);
    EXPECT_FALSE(timing.receive(99.9, 100.05)) << "equal presentation times";
    EXPECT_FALSE(timing.receive(99.8, 100.05)) << "going backwards";
    auto next = timing.receive(99.97, 100.06);
    ASSERT_TRUE(next);
    EXPECT_FALSE(next->resetsHistory);
    EXPECT_EQ(timing.lastPresentationTime, 99.97);
    EXPECT_EQ(timing.lastReceiptTime, 100.06);
}

TEST(AVSourceTiming, SilenceIsReportedOnceAndTheNextSampleResetsHistory) {
    AVSourceTiming timing;
    EXPECT_FALSE(timing.observeSilence(100)) << "nothing received yet";
    ASSERT_TRUE(timing.receive(100, 100));
    EXPECT_TRUE(timing.isFresh(101));
    EXPECT_FALSE(timing.observeSilence(102)) << "exactly maximumAge is still live";
    EXPECT_TRUE(timing.observeSilence(102.1));
    EXPECT_FALSE(timing.isFresh(102.1));
    EXPECT_FALSE(timing.observeSilence(102.35)) << "not on every tick";
    EXPECT_FALSE(timing.observeSilence(110));

    auto resumed = timing.receive(109.9, 110);
    ASSERT_TRUE(resumed);
    EXPECT_TRUE(resumed->resetsHistory);
    EXPECT_FALSE(timing.needsNewHistory);
    EXPECT_TRUE(timing.isFresh(110));
}

TEST(AVSourceTiming, GapsAndClockJumpsResetHistoryWithoutSilence) {
    AVSourceTiming timing;
    ASSERT_TRUE(timing.receive(100, 100));
    // Received 3 s later with no watchdog tick in between: still a new history.
    auto late = timing.receive(102.9, 103);
    ASSERT_TRUE(late);
    EXPECT_TRUE(late->resetsHistory);

    // The receipt clock going backwards cannot join the histories either.
    AVSourceTiming jumped;
    ASSERT_TRUE(jumped.receive(100, 100.5));
    auto back = jumped.receive(100.2, 100.3);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->resetsHistory);

    // Silence seen before any sample was kept: the first sample after reset() is clean.
    AVSourceTiming fresh;
    fresh.needsNewHistory = true;
    auto firstAfterSilence = fresh.receive(5, 5);
    ASSERT_TRUE(firstAfterSilence);
    EXPECT_TRUE(firstAfterSilence->resetsHistory);
    fresh.reset();
    EXPECT_FALSE(fresh.lastPresentationTime);
    EXPECT_FALSE(fresh.receive(5, 5)->resetsHistory);

    AVSourceTiming nonFinite;
    ASSERT_TRUE(nonFinite.receive(1, 1));
    EXPECT_TRUE(nonFinite.observeSilence(std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(nonFinite.needsNewHistory);
}

// ---- Stop gate ----

TEST(AVSourceStopGate, StoppingSilencesEveryNotificationAndPermissionRecord) {
    AVSourceStopGate gate;
    gate.setStopping();
    EXPECT_TRUE(gate.isStopping());
    for (auto notification :
         {GrabSessionNotification::runtimeError, GrabSessionNotification::didStopRunning,
          GrabSessionNotification::wasInterrupted}) {
        EXPECT_FALSE(gate.failure(notification, Error(avFoundationError(-11808, "Gone."))));
    }
    gate.recordPermissionDenied(
        CaptureFailure(kAVFoundationErrorDomain, -11836, Kind::permission, "Denied."));
    EXPECT_FALSE(gate.terminalFailure());
}

TEST(AVSourceStopGate, ExternalStopsEndTheIntentUnlessAPermissionCheckAlreadyReported) {
    AVSourceStopGate gate;
    auto stopped = gate.failure(GrabSessionNotification::wasInterrupted, std::nullopt);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(*stopped, CaptureFailure(kAVFallbackDomain, 1, Kind::unclassifiedStop, kStopped));
    EXPECT_TRUE(stopped->endsRecordingIntent());
    EXPECT_EQ(gate.terminalFailure(), stopped);

    AVSourceStopGate denied;
    const CaptureFailure permission(kAVFoundationErrorDomain, -11836, Kind::permission,
                                    "Screen access is not allowed.");
    denied.recordPermissionDenied(permission);
    EXPECT_EQ(denied.terminalFailure(), permission);
    EXPECT_FALSE(denied.failure(GrabSessionNotification::didStopRunning, std::nullopt));
    // An interruption is not the stop the check caused, so it still counts.
    auto interrupted = denied.failure(GrabSessionNotification::wasInterrupted, std::nullopt);
    ASSERT_TRUE(interrupted);
    EXPECT_EQ(interrupted->kind, Kind::unclassifiedStop);

    // Only a permission failure of the grab domain is recorded, and only the first.
    AVSourceStopGate picky;
    picky.recordPermissionDenied(CaptureFailure("Other", -11836, Kind::permission, "x"));
    picky.recordPermissionDenied(
        CaptureFailure(kAVFoundationErrorDomain, -11808, Kind::sourceUnavailable, "x"));
    EXPECT_FALSE(picky.terminalFailure());
    picky.recordPermissionDenied(permission);
    picky.recordPermissionDenied(
        CaptureFailure(kAVFoundationErrorDomain, -11852, Kind::permission, "second"));
    EXPECT_EQ(picky.terminalFailure(), permission);
}

TEST(AVSourceStopGate, RuntimeErrorsKeepOnlyPermissionAndSourceUnavailableOfTheGrabDomain) {
    AVSourceStopGate gate;
    auto gone = gate.failure(
        GrabSessionNotification::runtimeError,
        Error(avFoundationError(AVErrorCode::deviceDisconnected, "The display went away.")));
    ASSERT_TRUE(gone);
    EXPECT_EQ(*gone, CaptureFailure(kAVFoundationErrorDomain, -11808, Kind::sourceUnavailable,
                                    "The display went away."));
    EXPECT_EQ(gate.terminalFailure(), gone);
    // After a recorded sourceUnavailable, the did-stop that follows is silent.
    EXPECT_FALSE(gate.failure(GrabSessionNotification::didStopRunning, std::nullopt));

    AVSourceStopGate refused;
    auto permission =
        refused.failure(GrabSessionNotification::runtimeError,
                        Error(avFoundationError(AVErrorCode::notAuthorizedForDevice, "Refused.")));
    ASSERT_TRUE(permission);
    EXPECT_EQ(permission->kind, Kind::permission);

    AVSourceStopGate other;
    auto posix = other.failure(GrabSessionNotification::runtimeError, Error::posix(5));
    ASSERT_TRUE(posix);
    EXPECT_EQ(*posix, CaptureFailure(kPosixDomain, 5, Kind::unclassifiedStop, kStopped));
    // The grab domain with a code the table does not know is no exception.
    auto unknownCode = AVSourceStopGate().failure(GrabSessionNotification::runtimeError,
                                                  Error(avFoundationError(-11800, "Unknown.")));
    EXPECT_EQ(*unknownCode,
              CaptureFailure(kAVFoundationErrorDomain, -11800, Kind::unclassifiedStop, kStopped));
    auto noError = AVSourceStopGate().failure(GrabSessionNotification::runtimeError, std::nullopt);
    EXPECT_EQ(*noError, CaptureFailure(kCaptureErrorDomain, 0, Kind::unclassifiedStop, kStopped));
}

TEST(AVSourceStopGate, AFailureThatDoesNotEndTheIntentLeavesTheRecordedOne) {
    AVSourceStopGate gate;
    auto first = gate.failure(GrabSessionNotification::runtimeError,
                              Error(avFoundationError(AVErrorCode::notAuthorized, "Denied.")));
    auto second = gate.failure(GrabSessionNotification::runtimeError,
                               Error(avFoundationError(AVErrorCode::deviceDisconnected, "Gone.")));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->kind, Kind::sourceUnavailable) << "still reported";
    EXPECT_EQ(gate.terminalFailure(), first);

    // One that ends the intent replaces it.
    auto ending = gate.failure(GrabSessionNotification::wasInterrupted, std::nullopt);
    EXPECT_EQ(gate.terminalFailure(), ending);
}

// ---- Source ----

TEST(AVScreenSource, StartsWithTheDisplaySizeAndRateAndDeliversOnTheMediaQueue) {
    Harness h;
    auto outcome = h.start();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->hasValue());
    EXPECT_EQ(h.log->calls,
              (std::vector<std::string>{"input 42 15 cursor", "output 1920x1080", "startRunning"}));
    EXPECT_EQ(h.log->mediaQueue, &h.mediaQueue);

    h.log->callbacks.onSample(ScreenImage{}, 3.5);
    h.log->callbacks.onDrop();
    EXPECT_EQ(h.sampleTimes, std::vector<double>{3.5});
    EXPECT_EQ(h.hostTimes, std::vector<std::optional<double>>{103.5});
    EXPECT_EQ(h.drops, 1);

    h.notify(GrabSessionNotification::runtimeError,
             Error(avFoundationError(AVErrorCode::deviceDisconnected, "Gone.")));
    ASSERT_EQ(h.failures.size(), 1u);
    EXPECT_EQ(h.failures[0].kind, Kind::sourceUnavailable);
    h.notify(GrabSessionNotification::didStopRunning);
    EXPECT_EQ(h.failures.size(), 1u) << "the stop after a classified error is silent";
}

TEST(AVScreenSource, StartFailuresLeaveNoRunningOrPopulatedSession) {
    {
        Harness h;
        h.log->refuseInput = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.domain, kAVFoundationErrorDomain);
        EXPECT_EQ(failure.code, AVErrorCode::deviceNotConnected);
        EXPECT_EQ(failure.kind, Kind::sourceUnavailable);
        EXPECT_FALSE(h.log->running);
    }
    {
        Harness h;
        h.log->refuseOutput = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.message, "Screen capture output is unavailable.");
        EXPECT_FALSE(h.log->hasInput) << "the added input is removed again";
    }
    {
        Harness h;
        h.log->failsToRun = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.message, "Screen capture could not start.");
        EXPECT_FALSE(h.log->hasInput);
        EXPECT_FALSE(h.log->hasOutput);
    }
    {
        // A failure recorded while the session comes up fails the start with it, and
        // the session that did start is stopped.
        Harness h;
        const CaptureFailure denied(kAVFoundationErrorDomain, -11836, Kind::permission, "No.");
        h.log->whileStarting = [&] { h.gate->recordPermissionDenied(denied); };
        EXPECT_EQ(startFailure(h.start()), denied);
        EXPECT_FALSE(h.log->running);
        EXPECT_EQ(h.log->calls.back(), "removeInputsAndOutputs");
    }
    {
        // A stop that lands while the session comes up cancels the start.
        Harness h;
        h.log->whileStarting = [&] { h.gate->setStopping(); };
        auto outcome = h.start();
        ASSERT_TRUE(outcome && !outcome->hasValue());
        EXPECT_TRUE(outcome->error().isCancellation());
        EXPECT_FALSE(h.log->running);
    }
}

TEST(AVScreenSource, StartAfterStopIsCancelledAndTouchesNoSession) {
    Harness h;
    bool stopped = false;
    h.source->stop([&] { stopped = true; });
    EXPECT_TRUE(h.gate->isStopping()) << "set at once, before the session queue runs";
    EXPECT_FALSE(stopped);
    auto outcome = h.start();
    ASSERT_TRUE(outcome);
    ASSERT_FALSE(outcome->hasValue());
    EXPECT_TRUE(outcome->error().isCancellation());
    EXPECT_TRUE(stopped);
    EXPECT_EQ(std::count(h.log->calls.begin(), h.log->calls.end(), "startRunning"), 0);
}

TEST(AVScreenSource, StopTearsDownAndSilencesEverythingAfterwards) {
    Harness h;
    ASSERT_TRUE(h.start()->hasValue());
    auto callbacks = h.log->callbacks;
    bool done = false;
    h.source->stop([&] { done = true; });
    // The teardown's own did-stop arrives before the session queue even ran.
    h.notify(GrabSessionNotification::didStopRunning);
    EXPECT_TRUE(h.failures.empty());
    h.sessionQueue->runUntilIdle();
    EXPECT_TRUE(done);
    EXPECT_FALSE(h.log->running);
    EXPECT_FALSE(h.log->hasInput);
    EXPECT_FALSE(h.log->hasOutput);
    EXPECT_EQ(h.log->calls.back(), "removeInputsAndOutputs");

    // Samples already queued on the media queue when the source detached go nowhere.
    callbacks.onSample(ScreenImage{}, 1);
    callbacks.onDrop();
    callbacks.onNotification(GrabSessionNotification::wasInterrupted, std::nullopt);
    EXPECT_TRUE(h.sampleTimes.empty());
    EXPECT_EQ(h.drops, 0);
    EXPECT_TRUE(h.failures.empty());
}

TEST(AVScreenSource, CallbacksOutlivingTheSourceDoNothing) {
    auto h = std::make_unique<Harness>();
    ASSERT_TRUE(h->start()->hasValue());
    auto callbacks = h->log->callbacks;
    auto* failures = &h->failures;
    h->source.reset();
    callbacks.onNotification(GrabSessionNotification::wasInterrupted, std::nullopt);
    EXPECT_TRUE(failures->empty());
}
