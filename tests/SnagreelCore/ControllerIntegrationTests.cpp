// The capture controller driving real engines on a private X server, with a fake
// logind on a private system bus: sleep and wake, the X server going away under a
// recording, screen access that is not there, and saves that must be refused.

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "devsupport/FakeLogind.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/XvfbServer.hpp"
#include "support/Ffprobe.hpp"
#include "support/PrivateBus.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using devsupport::MovingContent;
using devsupport::XvfbServer;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

struct PhaseChange {
    CapturePhase phase;
    std::string status;
    double at; // monotonic seconds
};

struct LoggedEvent {
    LifecycleLogRecord record;
    double at;
};

// Sets or clears an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class ControllerIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XvfbServer::available() || !testing::PrivateBus::daemonAvailable() ||
            !testing::ffprobeAvailable()) {
            GTEST_SKIP() << "needs Xvfb, dbus-daemon and ffprobe";
        }
        std::string whyNot;
        server_ = XvfbServer::start(kWidth, kHeight, &whyNot);
        ASSERT_NE(server_, nullptr) << whyNot;
        content_ =
            MovingContent::start(server_->displayName(), MovingContent::Mode::motion, 15, &whyNot);
        ASSERT_NE(content_, nullptr) << whyNot;
        bus_ = testing::PrivateBus::start(&whyNot, "system");
        ASSERT_NE(bus_, nullptr) << whyNot;
        logind_ = devsupport::FakeLogind::start(bus_->address(), {}, &whyNot);
        ASSERT_NE(logind_, nullptr) << whyNot;
        root_ = fs::temp_directory_path() /
                ("snagreel-ctlint-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }

    void TearDown() override {
        if (controller_) {
            // Wait for the engine to stop before letting go, so that nothing it
            // queued outlives the main queue.
            std::promise<void> stopped;
            main_.post([&] { controller_->pause([&] { stopped.set_value(); }); });
            EXPECT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)),
                      std::future_status::ready);
            onMain([&] {
                controller_->shutdown();
                controller_.reset();
            });
        }
        main_.drain();
        content_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Runs `work` on the main queue and waits (bounded) for it.
    template <typename F> auto onMain(F work) -> decltype(work()) {
        using T = decltype(work());
        std::packaged_task<T()> task(std::move(work));
        auto future = task.get_future();
        main_.post([&task] { task(); });
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the main queue did not answer";
            std::abort(); // the task refers to this frame
        }
        return future.get();
    }

    // Polls, bounded, a condition read on the main queue.
    template <typename F> bool eventually(F condition, double seconds = 10) {
        const double deadline = monotonicSeconds() + seconds;
        while (!onMain(condition)) {
            if (monotonicSeconds() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    void startController(LinuxRecorderOptions options,
                         CaptureBackend backend = CaptureConfiguration{}.backend) {
        CaptureConfiguration configuration;
        configuration.backend = backend;
        auto environment = linuxControllerEnvironment(main_, options);
        environment.log = [this](const LifecycleLogRecord& record) {
            std::lock_guard lock(mutex_);
            log_.push_back({record, monotonicSeconds()});
        };
        auto factory = std::move(environment.factory);
        environment.factory = [this, factory](const CaptureConfiguration& c,
                                              std::optional<std::uint32_t> display,
                                              std::function<void(CaptureEngineStatus)> onStatus,
                                              std::function<void(CaptureFailure)> onStopped) {
            auto engine = factory(c, display, std::move(onStatus), std::move(onStopped));
            engines_.push_back(engine);
            return engine;
        };
        onMain([&] {
            controller_ = CaptureController::create(main_, configuration, environment);
            controller_->addObserver([this] {
                // Every phase change and every text change except the running count.
                std::lock_guard lock(mutex_);
                const CapturePhase phase = controller_->phase();
                if (phases_.empty() || phases_.back().phase != phase ||
                    (phases_.back().status != controller_->status() &&
                     phase != CapturePhase::recording)) {
                    phases_.push_back({phase, controller_->status(), monotonicSeconds()});
                }
            });
            controller_->start();
        });
    }

    LinuxRecorderOptions recorderOptions(bool monitorLifecycle = true) const {
        LinuxRecorderOptions options;
        options.displayName = server_->displayName();
        options.systemBusAddress = bus_->address();
        options.monitorLifecycle = monitorLifecycle;
        return options;
    }

    bool recordingWith(double seconds) {
        return eventually([&] {
            return controller_->phase() == CapturePhase::recording &&
                   controller_->bufferedSeconds() >= seconds;
        });
    }

    Result<CaptureBundle> save(double seconds) {
        std::promise<Result<CaptureBundle>> promise;
        onMain([&] {
            controller_->capture(seconds, root_, [&](Result<CaptureBundle> bundle) {
                promise.set_value(std::move(bundle));
            });
        });
        auto future = promise.get_future();
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "the save did not finish";
            std::abort();
        }
        return future.get();
    }

    std::vector<LoggedEvent> logged(const std::string& event) {
        std::lock_guard lock(mutex_);
        std::vector<LoggedEvent> found;
        for (const auto& entry : log_) {
            if (entry.record.event == event) {
                found.push_back(entry);
            }
        }
        return found;
    }

    std::vector<PhaseChange> phasesSince(double at) {
        std::lock_guard lock(mutex_);
        std::vector<PhaseChange> found;
        for (const auto& change : phases_) {
            if (change.at >= at) {
                found.push_back(change);
            }
        }
        return found;
    }

    // What happened, for a failure message.
    std::string describe() {
        std::lock_guard lock(mutex_);
        std::string text = "\nphases:";
        for (const auto& change : phases_) {
            text += "\n  " + std::string(rawValue(change.phase)) + ": " + change.status;
        }
        text += "\nlog:";
        for (const auto& entry : log_) {
            text += "\n  " + formatLifecycleLine(entry.record);
            if (entry.record.failure) {
                text += " (" + entry.record.failure->message + ")";
            }
        }
        return text;
    }

    std::size_t directoriesUnderRoot() const {
        if (!fs::exists(root_)) {
            return 0;
        }
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(root_), fs::directory_iterator()));
    }

    static CaptureManifest manifestOf(const CaptureBundle& bundle) {
        std::ifstream file(bundle.manifestURL);
        std::stringstream text;
        text << file.rdbuf();
        auto manifest = decodeManifest(text.str());
        EXPECT_TRUE(manifest) << manifest.error().message;
        return manifest ? *manifest : CaptureManifest{};
    }

    // The clip plays: ffprobe reads every frame the manifest counts, without a
    // decode error, at the recorded size.
    static void expectPlayableClip(const CaptureBundle& bundle, const CaptureManifest& manifest) {
        std::string whyNot;
        auto probe = testing::ffprobe(bundle.clipURL, &whyNot);
        ASSERT_TRUE(probe) << whyNot;
        EXPECT_EQ(probe->codecName, "h264");
        EXPECT_EQ(probe->width, kWidth);
        EXPECT_EQ(probe->height, kHeight);
        EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();
        EXPECT_EQ(probe->frameCount(), manifest.encodedFrameCount);
        ASSERT_FALSE(probe->keyframeIndices.empty());
        EXPECT_EQ(probe->keyframeIndices.front(), 0);
        EXPECT_TRUE(testing::fullyDecodes(bundle.clipURL).ok());
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<MovingContent> content_;
    std::unique_ptr<testing::PrivateBus> bus_;
    std::unique_ptr<devsupport::FakeLogind> logind_;
    fs::path root_;
    SerialQueue main_{"test.main"};
    std::shared_ptr<CaptureController> controller_;
    std::vector<std::weak_ptr<CaptureSession>> engines_; // main queue only

    std::mutex mutex_;
    std::vector<LoggedEvent> log_;
    std::vector<PhaseChange> phases_;
};

// A sleep tears the engine down and lets go of the delay inhibitor; the wake
// brings a new engine after the settling delay, whose ring starts empty, so the
// first clip after it holds nothing from before the sleep, and no gap across it.
TEST_F(ControllerIntegration, SleepStopsRecordingAndTheWakeRestartsItWithAFreshRing) {
    startController(recorderOptions());
    ASSERT_TRUE(recordingWith(2.0));
    EXPECT_EQ(logind_->heldInhibitors(), 1);

    logind_->emitPrepareForSleep(true);
    ASSERT_TRUE(eventually([&] { return controller_->phase() == CapturePhase::suspended; }));
    EXPECT_EQ(onMain([&] { return controller_->status(); }),
              "Rewind waiting for the screen or session");
    EXPECT_TRUE(logind_->waitUntilReleased());
    EXPECT_TRUE(eventually([&] {
        return engines_.size() == 1 && engines_.front().expired() &&
               controller_->bufferedSeconds() == 0;
    })) << "the sleeping engine is stopped and released";
    auto refused = save(30);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), "Rewind is not currently receiving screen frames.");

    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // asleep, screen moving on
    const double wokeAt = monotonicSeconds();
    logind_->emitPrepareForSleep(false);
    ASSERT_TRUE(recordingWith(1.5));
    EXPECT_EQ(onMain([&] { return engines_.size(); }), 2u);
    EXPECT_EQ(logind_->heldInhibitors(), 1) << "recording again holds a new inhibitor";
    EXPECT_EQ(logind_->inhibitCalls().size(), 2u);

    // No automatic retry is involved: the wake relaunches by itself.
    EXPECT_TRUE(logged("retry_scheduled").empty());
    const auto suspended = logged("suspended");
    ASSERT_EQ(suspended.size(), 1u);
    EXPECT_EQ(suspended.front().record.reason, "system_sleep");
    const auto firstFrames = logged("first_frame");
    ASSERT_EQ(firstFrames.size(), 2u);
    EXPECT_GT(firstFrames.back().at, wokeAt);

    auto bundle = save(60);
    const double savedAt = monotonicSeconds();
    ASSERT_TRUE(bundle) << bundle.error().description();
    const CaptureManifest manifest = manifestOf(*bundle);
    // The clip's first frame is at trigger - endedBefore - actual, which must lie
    // after the wake; the trigger lies before savedAt.
    EXPECT_LE(manifest.actualSeconds + manifest.endedBeforeTriggerSeconds, savedAt - wokeAt);
    EXPECT_GT(manifest.actualSeconds, 0.5);
    EXPECT_TRUE(manifest.gaps.empty()) << manifest.gaps.front().reason;
    expectPlayableClip(*bundle, manifest);
    std::string whyNot;
    auto probe = testing::ffprobe(bundle->clipURL, &whyNot);
    ASSERT_TRUE(probe && probe->duration) << whyNot;
    EXPECT_LE(*probe->duration, savedAt - wokeAt);
    EXPECT_EQ(onMain([&] { return controller_->phase(); }), CapturePhase::recording);
}

// The X server dies and comes back on the same display: the engine's failure is
// retryable, the controller says it is retrying, tries again after the first
// delay and records again without anyone asking.
TEST_F(ControllerIntegration, AnXServerRestartIsRetriedAfterTheFirstDelay) {
    startController(recorderOptions(/*monitorLifecycle=*/false));
    ASSERT_TRUE(recordingWith(1.0));

    const double killedAt = monotonicSeconds();
    content_.reset();
    server_->kill();
    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(eventually([&] { return controller_->phase() == CapturePhase::recovering; }))
        << "the failure is retryable" << describe();
    ASSERT_TRUE(eventually([&] { return logged("first_frame").size() == 2; }));

    const auto stopped = logged("stopped");
    ASSERT_FALSE(stopped.empty());
    ASSERT_TRUE(stopped.front().record.failure.has_value());
    EXPECT_TRUE(stopped.front().record.failure->canRetry())
        << stopped.front().record.failure->message;
    const auto retries = logged("retry_scheduled");
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries.front().record.delaySeconds, 1.0);
    EXPECT_EQ(retries.front().record.attempt, 1);

    bool sawRecovering = false;
    for (const auto& change : phasesSince(killedAt)) {
        if (change.phase == CapturePhase::recovering) {
            sawRecovering = true;
            EXPECT_EQ(change.status, "Rewind interrupted · retrying automatically");
        }
    }
    EXPECT_TRUE(sawRecovering);
    EXPECT_EQ(onMain([&] { return controller_->desiredRecording(); }), true);

    std::string whyNot;
    content_ =
        MovingContent::start(server_->displayName(), MovingContent::Mode::motion, 15, &whyNot);
    ASSERT_TRUE(recordingWith(1.5));
    auto bundle = save(60);
    ASSERT_TRUE(bundle) << bundle.error().description();
    const CaptureManifest manifest = manifestOf(*bundle);
    EXPECT_TRUE(manifest.gaps.empty());
    expectPlayableClip(*bundle, manifest);
}

// With the lifecycle monitor watching the same server, its loss holds recording
// back as a missing display; the server coming back must end that by itself.
TEST_F(ControllerIntegration, WithTheMonitorOnAnXServerRestartResumesByItself) {
    startController(recorderOptions());
    ASSERT_TRUE(recordingWith(1.0));

    content_.reset();
    server_->kill();
    ASSERT_TRUE(eventually([&] { return controller_->phase() != CapturePhase::recording; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the display stays away
    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(recordingWith(1.0)) << onMain([&] { return controller_->status(); });
    EXPECT_EQ(onMain([&] { return controller_->suspensions().size(); }), 0u);
    auto bundle = save(30);
    ASSERT_TRUE(bundle) << bundle.error().description();
    expectPlayableClip(*bundle, manifestOf(*bundle));
}

// A Wayland session made to record through X (the portal is the default there)
// but offering no X display is "permission missing" for both backends: no
// retry, the fixed status text, and the reason in lastError.
TEST_F(ControllerIntegration, WithoutXAccessPermissionIsRequiredAndNotRetried) {
    ScopedEnvironment wayland("WAYLAND_DISPLAY", "wayland-0");
    ScopedEnvironment throughX("SNAGREEL_SESSION_PLATFORM", "x11");
    ScopedEnvironment noX("DISPLAY", nullptr);
    for (const CaptureBackend backend :
         {CaptureBackend::avFoundation, CaptureBackend::screenCaptureKit}) {
        SCOPED_TRACE(std::string(rawValue(backend)));
        LinuxRecorderOptions options;
        options.systemBusAddress = bus_->address();
        options.monitorLifecycle = false;
        {
            std::lock_guard lock(mutex_);
            log_.clear();
        }
        startController(options, backend);
        ASSERT_TRUE(
            eventually([&] { return controller_->phase() == CapturePhase::permissionRequired; }));
        onMain([&] {
            EXPECT_EQ(controller_->status(), "Screen recording access is required");
            EXPECT_TRUE(controller_->needsScreenAccess());
            EXPECT_TRUE(controller_->desiredRecording());
            ASSERT_TRUE(controller_->lastError().has_value());
            EXPECT_NE(controller_->lastError()->find("Wayland"), std::string::npos)
                << *controller_->lastError();
            EXPECT_NE(*controller_->lastError(), "The display cannot be read.");
        });
        EXPECT_TRUE(logged("retry_scheduled").empty());
        ASSERT_EQ(logged("stopped").size(), 1u);
        EXPECT_EQ(logged("stopped").front().record.reason, "permission");
        // Clearing a suspension does not retry a blocked recorder either.
        onMain([&] {
            controller_->setSuspension("display_sleep", true);
            controller_->setSuspension("display_sleep", false);
        });
        EXPECT_EQ(onMain([&] { return engines_.size(); }), 1u);
        EXPECT_EQ(onMain([&] { return controller_->phase(); }), CapturePhase::permissionRequired);
        onMain([&] {
            controller_->shutdown();
            controller_.reset();
            engines_.clear();
        });
    }
}

// Saves that cannot be served are refused with the controller's sentence, leave
// no directory behind and do not disturb the recording.
TEST_F(ControllerIntegration, RefusedSavesLeaveNoDirectoryAndRecordingGoesOn) {
    // The primary backend: its empty ring is the refusal (the fallback's source
    // freshness check would speak first).
    startController(recorderOptions(/*monitorLifecycle=*/false), CaptureBackend::screenCaptureKit);
    // Before the first frame.
    auto early = save(30);
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().description(), "Rewind is not currently receiving screen frames.");
    ASSERT_TRUE(recordingWith(1.0));

    // Nothing buffered: the ring is emptied in the same turn as the request.
    std::promise<Result<CaptureBundle>> afterClear;
    onMain([&] {
        controller_->clear();
        controller_->capture(30, root_, [&](Result<CaptureBundle> b) { afterClear.set_value(b); });
    });
    auto emptyResult = afterClear.get_future();
    ASSERT_EQ(emptyResult.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto empty = emptyResult.get();
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().description(),
              "The replay buffer is warming up. Wait for a few seconds and try again.");
    EXPECT_EQ(directoriesUnderRoot(), 0u);
    EXPECT_EQ(onMain([&] { return controller_->phase(); }), CapturePhase::recording);

    // Two at once: the second is refused while the first goes on to finish.
    ASSERT_TRUE(recordingWith(1.0));
    std::promise<Result<CaptureBundle>> first;
    std::promise<Result<CaptureBundle>> second;
    onMain([&] {
        controller_->capture(30, root_, [&](Result<CaptureBundle> b) { first.set_value(b); });
        controller_->capture(30, root_, [&](Result<CaptureBundle> b) { second.set_value(b); });
    });
    auto secondResult = second.get_future();
    auto firstResult = first.get_future();
    ASSERT_EQ(secondResult.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_EQ(firstResult.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto refused = secondResult.get();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(),
              "A clip is already being saved. Try again when it finishes.");
    auto saved = firstResult.get();
    ASSERT_TRUE(saved) << saved.error().description();
    EXPECT_EQ(directoriesUnderRoot(), 1u);
    onMain([&] {
        EXPECT_EQ(controller_->phase(), CapturePhase::recording);
        EXPECT_FALSE(controller_->isExporting());
        EXPECT_FALSE(controller_->lastError().has_value());
    });
    // And once it has finished, the next save is accepted.
    auto again = save(30);
    ASSERT_TRUE(again) << again.error().description();
    EXPECT_EQ(directoriesUnderRoot(), 2u);
}

} // namespace
} // namespace snagreel
