#include "SnagreelCore/Capture/AVScreenSource.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

using namespace snagreel;

namespace {

using Kind = CaptureFailure::Kind;
constexpr const char* kStopped = "Screen capture stopped. Resume explicitly when ready.";

// What the fake session was asked to do, kept outside it so the test can read it
// after the source has taken ownership.
struct SessionLog {
    std::vector<std::string> calls;
    bool running = false;
    bool hasInput = false;
    bool hasOutput = false;
    std::optional<GrabSessionCallbacks> callbacks;
    Executor* mediaQueue = nullptr;
};

class FakeGrabSession final : public GrabSession {
public:
    explicit FakeGrabSession(SessionLog& log) : log_(log) {}

    bool refuseInput = false;
    bool refuseOutput = false;
    bool failsToRun = false;
    // Runs inside startRunning, e.g. a failure recorded while the session starts.
    std::function<void()> whileStarting;

    Result<void> addScreenInput(std::uint32_t displayID, std::int64_t fps, bool cursor) override {
        log_.calls.push_back("input " + std::to_string(displayID) + " " + std::to_string(fps) +
                             (cursor ? " cursor" : ""));
        if (refuseInput) {
            return Unexpected{Error(PlatformError{"X11", 2, "Cannot open display :9."})};
        }
        log_.hasInput = true;
        return {};
    }
    Result<void> addVideoOutput(std::int64_t width, std::int64_t height) override {
        log_.calls.push_back("output " + std::to_string(width) + "x" + std::to_string(height));
        if (refuseOutput) {
            return Unexpected{Error(PlatformError{"X11", 3, "No output."})};
        }
        log_.hasOutput = true;
        return {};
    }
    void startRunning(std::shared_ptr<Executor> mediaQueue,
                      GrabSessionCallbacks callbacks) override {
        log_.calls.push_back("startRunning");
        log_.callbacks = std::move(callbacks);
        log_.mediaQueue = mediaQueue.get();
        log_.running = !failsToRun;
        if (whileStarting) {
            whileStarting();
        }
    }
    bool isRunning() const override { return log_.running; }
    void stopRunning() override {
        log_.calls.push_back("stopRunning");
        log_.running = false;
    }
    void removeInputsAndOutputs() override {
        log_.calls.push_back("removeInputsAndOutputs");
        log_.hasInput = false;
        log_.hasOutput = false;
    }
    std::optional<double> toHostTime(double sessionTime) const override {
        return sessionTime + 100;
    }

private:
    SessionLog& log_;
};

struct Harness {
    std::shared_ptr<ManualExecutor> sessionQueue = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> mediaQueueOwner = std::make_shared<ManualExecutor>();
    ManualExecutor& mediaQueue = *mediaQueueOwner;
    std::shared_ptr<AVSourceStopGate> gate = std::make_shared<AVSourceStopGate>();
    SessionLog log;
    FakeGrabSession* session = nullptr;
    std::shared_ptr<AVScreenSource> source;
    std::vector<double> sampleTimes;
    std::vector<std::optional<double>> hostTimes;
    std::vector<CaptureFailure> failures;
    int drops = 0;

    Harness() {
        auto fake = std::make_unique<FakeGrabSession>(log);
        session = fake.get();
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
        auto& callbacks = *log.callbacks;
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
    EXPECT_EQ(h.log.calls,
              (std::vector<std::string>{"input 42 15 cursor", "output 1920x1080", "startRunning"}));
    EXPECT_EQ(h.log.mediaQueue, &h.mediaQueue);

    h.log.callbacks->onSample(ScreenImage{}, 3.5);
    h.log.callbacks->onDrop();
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
        h.session->refuseInput = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.domain, kAVFoundationErrorDomain);
        EXPECT_EQ(failure.code, AVErrorCode::deviceNotConnected);
        EXPECT_EQ(failure.kind, Kind::sourceUnavailable);
        EXPECT_FALSE(h.log.running);
    }
    {
        Harness h;
        h.session->refuseOutput = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.message, "Screen capture output is unavailable.");
        EXPECT_FALSE(h.log.hasInput) << "the added input is removed again";
    }
    {
        Harness h;
        h.session->failsToRun = true;
        auto failure = startFailure(h.start());
        EXPECT_EQ(failure.message, "Screen capture could not start.");
        EXPECT_FALSE(h.log.hasInput);
        EXPECT_FALSE(h.log.hasOutput);
    }
    {
        // A failure recorded while the session comes up fails the start with it, and
        // the session that did start is stopped.
        Harness h;
        const CaptureFailure denied(kAVFoundationErrorDomain, -11836, Kind::permission, "No.");
        h.session->whileStarting = [&] { h.gate->recordPermissionDenied(denied); };
        EXPECT_EQ(startFailure(h.start()), denied);
        EXPECT_FALSE(h.log.running);
        EXPECT_EQ(h.log.calls.back(), "removeInputsAndOutputs");
    }
    {
        // A stop that lands while the session comes up cancels the start.
        Harness h;
        h.session->whileStarting = [&] { h.gate->setStopping(); };
        auto outcome = h.start();
        ASSERT_TRUE(outcome && !outcome->hasValue());
        EXPECT_TRUE(outcome->error().isCancellation());
        EXPECT_FALSE(h.log.running);
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
    EXPECT_EQ(std::count(h.log.calls.begin(), h.log.calls.end(), "startRunning"), 0);
}

TEST(AVScreenSource, StopTearsDownAndSilencesEverythingAfterwards) {
    Harness h;
    ASSERT_TRUE(h.start()->hasValue());
    auto callbacks = *h.log.callbacks;
    bool done = false;
    h.source->stop([&] { done = true; });
    // The teardown's own did-stop arrives before the session queue even ran.
    h.notify(GrabSessionNotification::didStopRunning);
    EXPECT_TRUE(h.failures.empty());
    h.sessionQueue->runUntilIdle();
    EXPECT_TRUE(done);
    EXPECT_FALSE(h.log.running);
    EXPECT_FALSE(h.log.hasInput);
    EXPECT_FALSE(h.log.hasOutput);
    EXPECT_EQ(h.log.calls.back(), "removeInputsAndOutputs");

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
    auto callbacks = *h->log.callbacks;
    auto* failures = &h->failures;
    h->source.reset();
    callbacks.onNotification(GrabSessionNotification::wasInterrupted, std::nullopt);
    EXPECT_TRUE(failures->empty());
}
