#include "SnagreelCore/Capture/CaptureController.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

using namespace snagreel;

namespace {

// An engine double whose start and stop outcomes the test decides.
class FakeEngine final : public CaptureSession {
public:
    std::optional<std::uint32_t> displayID;
    std::function<void(CaptureEngineStatus)> onStatus;
    std::function<void(CaptureFailure)> onStopped;
    Completion<void> pendingStart;
    std::function<void()> pendingStop;
    Completion<CaptureSnapshot> pendingSnapshot;
    bool invalidated = false;
    bool stopped = false;
    int clears = 0;
    std::optional<Result<void>> autoStart = Result<void>{};
    bool autoStop = true;

    void start(Completion<void> done) override {
        if (autoStart) {
            done(*autoStart);
        } else {
            pendingStart = std::move(done);
        }
    }
    void stop(std::function<void()> done) override {
        if (autoStop) {
            stopped = true;
            done();
        } else {
            pendingStop = std::move(done);
        }
    }
    void clear() override { ++clears; }
    void invalidate() override { invalidated = true; }
    void snapshot(double, Completion<CaptureSnapshot> done) override {
        pendingSnapshot = std::move(done);
    }
    void finishStop() {
        stopped = true;
        auto done = std::move(pendingStop);
        done();
    }
    void report(double seconds, bool running = true, bool available = true,
                std::optional<CaptureFailure> failure = std::nullopt, double healthy = 0,
                std::uint32_t display = 7) {
        CaptureEngineStatus status;
        status.seconds = seconds;
        status.bytes = static_cast<std::int64_t>(seconds * 1000);
        status.running = running;
        status.sourceAvailable = available;
        status.failure = std::move(failure);
        status.healthySourceSeconds = healthy;
        status.source = CaptureSource{"display", display, 1920, 1080};
        onStatus(status);
    }
};

struct Activity final : RecordingActivity {
    explicit Activity(int& live) : live(live) { ++live; }
    ~Activity() override { --live; }
    int& live;
};

class ControllerTest : public ::testing::Test {
protected:
    ManualExecutor main{0};
    std::vector<std::shared_ptr<FakeEngine>> engines;
    std::function<void(FakeEngine&)> configureEngine;
    std::vector<LifecycleLogRecord> log;
    std::vector<double> sleeps;
    std::vector<bool> intents;
    int liveActivities = 0;
    int savedBundles = 0;
    std::deque<Completion<CaptureBundle>> pendingSaves;
    std::shared_ptr<CaptureController> controller;

    void SetUp() override { make(); }

    void make() {
        CaptureControllerEnvironment environment;
        auto baseSleep = executorSleep(main);
        environment.sleep = [this, baseSleep](double seconds, Completion<void> done) {
            sleeps.push_back(seconds);
            return baseSleep(seconds, std::move(done));
        };
        environment.factory = [this](const CaptureConfiguration&, std::optional<std::uint32_t> id,
                                     std::function<void(CaptureEngineStatus)> onStatus,
                                     std::function<void(CaptureFailure)> onStopped) {
            auto engine = std::make_shared<FakeEngine>();
            engine->displayID = id;
            engine->onStatus = std::move(onStatus);
            engine->onStopped = std::move(onStopped);
            if (configureEngine) {
                configureEngine(*engine);
            }
            engines.push_back(engine);
            return engine;
        };
        environment.saveBundle = [this](CaptureSnapshot, double, auto, const CaptureConfiguration&,
                                        std::filesystem::path, Completion<CaptureBundle> done) {
            pendingSaves.push_back(std::move(done));
        };
        environment.beginActivity = [this] { return std::make_unique<Activity>(liveActivities); };
        environment.log = [this](const LifecycleLogRecord& record) { log.push_back(record); };
        environment.monitor = nullptr;
        controller = CaptureController::create(main, CaptureConfiguration{}, environment);
        controller->onRecordingIntentChanged = [this](bool on) { intents.push_back(on); };
    }

    FakeEngine& engine() { return *engines.back(); }

    void startRecording(double seconds = 5) {
        controller->start();
        main.runUntilIdle();
        ASSERT_FALSE(engines.empty());
        engine().report(seconds);
        main.runUntilIdle();
        ASSERT_EQ(controller->phase(), CapturePhase::recording);
    }

    std::vector<std::string> events() const {
        std::vector<std::string> names;
        for (const auto& record : log) {
            names.push_back(record.event);
        }
        return names;
    }
    std::size_t count(const std::string& event) const {
        std::size_t n = 0;
        for (const auto& record : log) {
            n += record.event == event ? 1 : 0;
        }
        return n;
    }
};

CaptureFailure failureOf(CaptureFailure::Kind kind) {
    return CaptureFailure(kCaptureDomain, 1, kind, "Something failed.");
}

} // namespace

TEST_F(ControllerTest, StartsRecordsAndShowsWholeSeconds) {
    EXPECT_EQ(controller->status(), "Rewind paused");
    controller->start();
    EXPECT_EQ(controller->phase(), CapturePhase::starting);
    EXPECT_EQ(controller->status(), "Preparing rewind…");
    main.runUntilIdle();
    ASSERT_EQ(engines.size(), 1u);
    engine().report(12.9);
    main.runUntilIdle();
    EXPECT_TRUE(controller->isRecording());
    EXPECT_EQ(controller->status(), "Rewind running · 12s available");
    EXPECT_EQ(controller->bufferedBytes(), 12900);
    EXPECT_EQ(liveActivities, 0) << "no activity without lifecycle monitoring";
    engine().report(13.2);
    main.runUntilIdle();
    EXPECT_EQ(count("first_frame"), 1u);
    EXPECT_EQ(events().front(), "explicit_resume");
    EXPECT_EQ(intents, std::vector<bool>{true});
}

TEST_F(ControllerTest, FailureKindsDecidePhaseRetryAndIntent) {
    struct Row {
        CaptureFailure::Kind kind;
        CapturePhase phase;
        const char* status;
        bool retries;
        bool stillWanted;
    };
    using K = CaptureFailure::Kind;
    const Row rows[] = {
        {K::transient, CapturePhase::recovering, "Rewind interrupted · retrying automatically",
         true, true},
        {K::sourceUnavailable, CapturePhase::recovering,
         "Rewind interrupted · retrying automatically", true, true},
        {K::permission, CapturePhase::permissionRequired, "Screen recording access is required",
         false, true},
        {K::missingEntitlement, CapturePhase::unavailable, "Rewind unavailable", false, true},
        {K::other, CapturePhase::unavailable, "Rewind unavailable", false, true},
        {K::userStopped, CapturePhase::paused, "Rewind stopped by you", false, false},
        {K::unclassifiedStop, CapturePhase::paused, "Rewind stopped · resume when ready", false,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(rawValue(row.kind)));
        engines.clear();
        sleeps.clear();
        intents.clear();
        make();
        configureEngine = [&](FakeEngine& e) {
            e.autoStart = Result<void>(Unexpected{Error(failureOf(row.kind))});
        };
        std::optional<Result<void>> outcome;
        controller->start([&](Result<void> r) { outcome = std::move(r); });
        main.runUntilIdle();
        configureEngine = nullptr;
        EXPECT_EQ(controller->phase(), row.phase);
        EXPECT_EQ(controller->status(), row.status);
        EXPECT_EQ(controller->desiredRecording(), row.stillWanted);
        EXPECT_EQ(sleeps.size(), row.retries ? 1u : 0u);
        ASSERT_TRUE(outcome.has_value());
        // Only a current failure that keeps the intent reaches start()'s caller.
        EXPECT_EQ(outcome->hasValue(), !row.stillWanted);
        ASSERT_TRUE(controller->lastFailure().has_value());
        EXPECT_EQ(controller->lastFailure()->kind, row.kind);
        EXPECT_EQ(controller->needsScreenAccess(), row.kind == K::permission);
        if (!row.stillWanted) {
            EXPECT_FALSE(controller->lastError().has_value());
            EXPECT_EQ(intents, (std::vector<bool>{true, false}));
        }
        EXPECT_TRUE(engines.front()->invalidated);
        main.advance(120);
        EXPECT_EQ(engines.size(), row.retries ? 2u : 1u);
    }
}

TEST_F(ControllerTest, RetryDelaysGrowAndResetAfterStableSource) {
    configureEngine = [](FakeEngine& e) {
        e.autoStart = Result<void>(Unexpected{Error(failureOf(CaptureFailure::Kind::transient))});
    };
    controller->start();
    main.runUntilIdle();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(main.runNextTimer());
    }
    EXPECT_EQ(sleeps, (std::vector<double>{1, 15, 30, 60, 60, 60}));
    EXPECT_EQ(log.back().event, "retry_scheduled");
    EXPECT_EQ(log.back().delaySeconds, 60);
    EXPECT_EQ(log.back().attempt, 6);

    // A healthy run of 600 s resets the count: the next failure waits 1 s again.
    configureEngine = nullptr;
    ASSERT_TRUE(main.runNextTimer());
    engine().report(30, true, true, std::nullopt, 600);
    main.runUntilIdle();
    EXPECT_EQ(count("stable"), 1u);
    engine().report(30, false, false, failureOf(CaptureFailure::Kind::transient));
    main.runUntilIdle();
    EXPECT_EQ(sleeps.back(), 1);
}

TEST_F(ControllerTest, NonRetryableFailureBlocksRecoveryUntilStart) {
    startRecording();
    engine().report(5, false, false, failureOf(CaptureFailure::Kind::permission));
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), CapturePhase::permissionRequired);
    EXPECT_TRUE(controller->needsScreenAccess());
    const auto before = engines.size();
    controller->setSuspension("display_sleep", true);
    EXPECT_EQ(controller->status(), "Screen recording access is required");
    controller->setSuspension("display_sleep", false);
    controller->resetEpoch("display_changed");
    main.advance(600);
    EXPECT_EQ(engines.size(), before);
    controller->start();
    main.runUntilIdle();
    EXPECT_EQ(engines.size(), before + 1);
    EXPECT_FALSE(controller->lastFailure().has_value());
}

TEST_F(ControllerTest, StaleReportsChangeNothing) {
    startRecording(5);
    auto old = engines.back();
    controller->pause();
    main.runUntilIdle();
    old->report(40);
    old->onStopped(failureOf(CaptureFailure::Kind::userStopped));
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), CapturePhase::paused);
    EXPECT_EQ(controller->bufferedSeconds(), 0);
    EXPECT_TRUE(intents.back() == false);

    // A stop report from an attempt launched before the latest start is ignored.
    startRecording(5);
    old->onStopped(failureOf(CaptureFailure::Kind::userStopped));
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), CapturePhase::recording);
    EXPECT_TRUE(controller->desiredRecording());
    // ... while the current engine's own user stop ends the intent.
    engine().onStopped(failureOf(CaptureFailure::Kind::userStopped));
    main.runUntilIdle();
    EXPECT_EQ(controller->status(), "Rewind stopped by you");
    EXPECT_FALSE(controller->desiredRecording());
    EXPECT_FALSE(controller->lastError().has_value());
    EXPECT_TRUE(controller->lastFailure().has_value());
}

TEST_F(ControllerTest, RemembersTheFirstDisplayAndStartsLaterEnginesOnIt) {
    controller->start();
    main.runUntilIdle();
    EXPECT_FALSE(engine().displayID.has_value());
    engine().report(1, true, true, std::nullopt, 0, 42);
    main.runUntilIdle();
    engine().report(2, true, true, std::nullopt, 0, 43);
    main.runUntilIdle();
    EXPECT_EQ(controller->selectedDisplayID(), 42u);
    engine().report(2, false, false, failureOf(CaptureFailure::Kind::sourceUnavailable));
    main.advance(2);
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engine().displayID, 42u);
    EXPECT_EQ(log.back().sourceDisplayID, 42u);
}

TEST_F(ControllerTest, SuspensionsHoldBackAndLastRemovalRelaunches) {
    controller->setSuspension("system_sleep", true);
    controller->start();
    main.runUntilIdle();
    EXPECT_TRUE(engines.empty());
    EXPECT_EQ(controller->phase(), CapturePhase::suspended);
    EXPECT_EQ(controller->status(), "Rewind waiting for the screen or session");
    controller->setSuspension("display_sleep", true);
    controller->setSuspension("system_sleep", false);
    main.runUntilIdle();
    EXPECT_TRUE(engines.empty());
    controller->setSuspension("display_sleep", false);
    main.runUntilIdle();
    ASSERT_EQ(engines.size(), 1u);
    engine().report(3);
    main.runUntilIdle();
    EXPECT_TRUE(controller->isRecording());
    // A running engine whose source goes away suspends without being replaced.
    engine().report(3, true, false, failureOf(CaptureFailure::Kind::sourceUnavailable));
    main.runUntilIdle();
    EXPECT_EQ(controller->status(), "Rewind waiting for the screen");
    EXPECT_FALSE(engine().invalidated);
}

TEST_F(ControllerTest, NewEngineWaitsForThePreviousOneToStop) {
    configureEngine = [](FakeEngine& e) { e.autoStop = false; };
    startRecording();
    auto first = engines.back();
    controller->resetEpoch("display_changed");
    main.runUntilIdle();
    EXPECT_EQ(engines.size(), 1u) << "must not start before the old engine stopped";
    first->finishStop();
    main.runUntilIdle();
    EXPECT_EQ(engines.size(), 2u);
    EXPECT_EQ(controller->phase(), CapturePhase::starting);

    bool paused = false;
    controller->pause([&] { paused = true; });
    main.runUntilIdle();
    EXPECT_FALSE(paused) << "pause returns only once the engine stopped";
    engines.back()->finishStop();
    main.runUntilIdle();
    EXPECT_TRUE(paused);
}

TEST_F(ControllerTest, CaptureChecksAndSingleSaveAtATime) {
    std::optional<Result<CaptureBundle>> result;
    auto keep = [&](Result<CaptureBundle> r) { result = std::move(r); };
    controller->capture(30, "/tmp", keep);
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(), "Rewind is not currently receiving screen frames.");

    startRecording();
    for (double bad : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
        result.reset();
        controller->capture(bad, "/tmp", keep);
        ASSERT_TRUE(result && !result->hasValue());
        EXPECT_EQ(result->error().description(), "Choose a positive replay duration.");
    }

    result.reset();
    controller->capture(30, "/tmp", keep);
    EXPECT_TRUE(controller->isExporting());
    std::optional<Result<CaptureBundle>> second;
    controller->capture(30, "/tmp", [&](Result<CaptureBundle> r) { second = std::move(r); });
    ASSERT_TRUE(second && !second->hasValue());
    EXPECT_EQ(second->error().description(),
              "A clip is already being saved. Try again when it finishes.");

    // The snapshot fails: the error passes through and a new capture is accepted.
    engine().pendingSnapshot(Unexpected{Error(CaptureError::unavailable(
        "The replay buffer is warming up. Wait for a few seconds and try again."))});
    main.runUntilIdle();
    ASSERT_TRUE(result && !result->hasValue());
    EXPECT_EQ(result->error().description(),
              "The replay buffer is warming up. Wait for a few seconds and try again.");
    EXPECT_FALSE(controller->isExporting());

    result.reset();
    controller->capture(30, "/tmp", keep);
    engine().pendingSnapshot(CaptureSnapshot{});
    main.runUntilIdle();
    ASSERT_EQ(pendingSaves.size(), 1u);
    // Pausing while the clip is being saved does not cancel the save.
    controller->pause();
    main.runUntilIdle();
    CaptureBundle bundle;
    bundle.id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    pendingSaves.front()(bundle);
    main.runUntilIdle();
    ASSERT_TRUE(result && result->hasValue());
    EXPECT_EQ(result->value().id, bundle.id);
    EXPECT_FALSE(controller->isExporting());
    EXPECT_EQ(controller->phase(), CapturePhase::paused);
}

TEST_F(ControllerTest, ShutdownOnceAndNothingStartsAfterIt) {
    startRecording();
    controller->shutdown();
    controller->shutdown();
    EXPECT_EQ(count("shutdown"), 1u);
    EXPECT_EQ(controller->status(), "Rewind stopped");
    EXPECT_TRUE(controller->desiredRecording()) << "shutdown keeps the intent for next launch";
    const auto before = engines.size();
    controller->start();
    main.runUntilIdle();
    EXPECT_EQ(engines.size(), before);
    EXPECT_EQ(intents, std::vector<bool>{true});
}

TEST_F(ControllerTest, ClearEmptiesTheRingAndSaysSo) {
    startRecording(20);
    controller->clear();
    EXPECT_EQ(engine().clears, 1);
    EXPECT_EQ(controller->bufferedSeconds(), 0);
    EXPECT_EQ(controller->status(), "Rewind running · buffer cleared");
    EXPECT_EQ(controller->phase(), CapturePhase::recording);
}

TEST(LifecycleLine, UsesTheFixedFormat) {
    LifecycleLogRecord record;
    record.event = "retry_scheduled";
    record.generation = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    record.attempt = 2;
    record.reason = "transient";
    record.failure =
        CaptureFailure(kStreamErrorDomain, -3805, CaptureFailure::Kind::transient, "x");
    record.delaySeconds = 15;
    record.sourceDisplayID = 66;
    record.captureBackend = CaptureBackend::screenCaptureKit;
    EXPECT_EQ(formatLifecycleLine(record),
              "event=retry_scheduled generation=0F8FAD5B-D9CB-469F-A165-70867728950E attempt=2 "
              "reason=transient error_domain=SCStreamErrorDomain error_code=-3805 "
              "delay_seconds=15.000000 source_display_id=66 capture_backend=screenCaptureKit");
    record.failure = CaptureFailure("NSPOSIXErrorDomain", 5, CaptureFailure::Kind::other, "x");
    EXPECT_NE(formatLifecycleLine(record).find("error_domain=other error_code=5 "),
              std::string::npos);
    record.failure.reset();
    EXPECT_NE(formatLifecycleLine(record).find("error_domain=other error_code=0 "),
              std::string::npos);
}
