// The whole recorder on private X servers: the capture controller with real engines
// (the X11 stream or the x11grab fallback), the FFmpeg encoder, the ring, the
// bundle writer and the movie it writes, with a fake logind on a private system
// bus. Clips are checked with ffprobe and libavcodec rather than with our own
// reading of the files.

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Capture/CaptureEngine.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "devsupport/FakeLogind.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/TestXServer.hpp"
#include "devsupport/XvfbServer.hpp"
#include "support/Ffprobe.hpp"
#include "support/PrivateBus.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using devsupport::MovingContent;
using devsupport::TestXServer;
using devsupport::XvfbServer;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr double kFramePeriod = 1.0 / 15;

struct LoggedEvent {
    LifecycleLogRecord record;
    double at; // monotonic seconds
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

double rate(const std::string& fraction) {
    const auto slash = fraction.find('/');
    if (slash == std::string::npos) {
        return std::atof(fraction.c_str());
    }
    const double denominator = std::atof(fraction.c_str() + slash + 1);
    return denominator == 0 ? 0 : std::atof(fraction.substr(0, slash).c_str()) / denominator;
}

// Shared-memory segments this process created or last touched, once the X server
// (which detaches a released segment when it gets to it) has had a moment: a
// segment still there after that is a leak.
std::vector<std::string> ownSharedMemory() {
    const auto read = [] {
        std::ifstream table("/proc/sysvipc/shm");
        std::string line;
        std::getline(table, line); // header
        std::vector<std::string> own;
        const long self = ::getpid();
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            long key = 0, id = 0, perms = 0, size = 0, cpid = 0, lpid = 0;
            if (fields >> key >> id >> perms >> size >> cpid >> lpid &&
                (cpid == self || lpid == self)) {
                own.push_back(line);
            }
        }
        return own;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto own = read();
    while (!own.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        own = read();
    }
    return own;
}

class RecorderEndToEnd : public ::testing::Test {
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
                ("snagreel-e2e-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }

    void TearDown() override {
        stopController();
        main_.drain();
        content_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Waits for the engine to stop before letting go, so that nothing it queued
    // outlives the main queue.
    void stopController() {
        if (!controller_) {
            return;
        }
        std::promise<void> stopped;
        main_.post([&] { controller_->pause([&] { stopped.set_value(); }); });
        EXPECT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)),
                  std::future_status::ready);
        onMain([&] {
            controller_->shutdown();
            controller_.reset();
            engines_.clear();
        });
        std::lock_guard lock(mutex_);
        log_.clear();
        phases_.clear();
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

    LinuxRecorderOptions recorderOptions(bool monitorLifecycle = true,
                                         std::string display = {}) const {
        LinuxRecorderOptions options;
        options.displayName = display.empty() ? server_->displayName() : display;
        options.systemBusAddress = bus_->address();
        options.monitorLifecycle = monitorLifecycle;
        return options;
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
                if (phases_.empty() || phases_.back().first != phase ||
                    (phases_.back().second != controller_->status() &&
                     phase != CapturePhase::recording)) {
                    phases_.emplace_back(phase, controller_->status());
                }
            });
            controller_->start();
        });
    }

    // An engine of its own, outside any controller: how its start ends.
    Result<void> startLoneEngine(CaptureBackend backend) {
        CaptureConfiguration configuration;
        configuration.backend = backend;
        auto engine =
            CaptureEngine::create(configuration, std::nullopt, {}, {},
                                  makeLinuxCapturePlatform(recorderOptions(false)), main_);
        std::promise<Result<void>> started;
        std::promise<void> stopped;
        main_.post(
            [&] { engine->start([&](Result<void> r) { started.set_value(std::move(r)); }); });
        auto result = started.get_future();
        EXPECT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        main_.post([&] { engine->stop([&] { stopped.set_value(); }); });
        EXPECT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)),
                  std::future_status::ready);
        main_.drain();
        return result.get();
    }

    bool recordingWith(double seconds) {
        return eventually([&] {
            return controller_->phase() == CapturePhase::recording &&
                   controller_->bufferedSeconds() >= seconds;
        });
    }

    Result<CaptureBundle> save(double seconds, std::optional<fs::path> root = std::nullopt) {
        std::promise<Result<CaptureBundle>> promise;
        onMain([&] {
            controller_->capture(seconds, root.value_or(root_), [&](Result<CaptureBundle> bundle) {
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

    // What happened, for a failure message.
    std::string describe() {
        std::lock_guard lock(mutex_);
        std::string text = "\nphases:";
        for (const auto& [phase, status] : phases_) {
            text += "\n  " + std::string(rawValue(phase)) + ": " + status;
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

    std::size_t entriesUnderRoot() const {
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

    // The clip against its manifest and what the stream must be: H.264 High without
    // reordering, a keyframe first and then every 15 frames, 15 fps, as long as the
    // manifest says, every packet decodable.
    static void expectValidClip(const CaptureBundle& bundle, CaptureBackend backend,
                                std::int64_t width = kWidth, std::int64_t height = kHeight) {
        const CaptureManifest manifest = manifestOf(bundle);
        EXPECT_EQ(manifest.captureId, bundle.id);
        EXPECT_EQ(manifest.framesPerSecond, 15);
        EXPECT_EQ(manifest.source.kind, "display");
        EXPECT_EQ(manifest.source.width, width);
        EXPECT_EQ(manifest.source.height, height);
        EXPECT_EQ(manifest.captureBackend, backend);
        EXPECT_TRUE(manifest.gaps.empty()) << manifest.gaps.front().reason;
        EXPECT_GT(manifest.bufferedBytes, 0);

        std::string whyNot;
        const auto probe = testing::ffprobe(bundle.clipURL, &whyNot);
        ASSERT_TRUE(probe.has_value()) << whyNot;
        EXPECT_EQ(probe->exitStatus, 0);
        EXPECT_EQ(probe->codecName, "h264");
        EXPECT_EQ(probe->profile, "High");
        EXPECT_EQ(probe->hasBFrames, 0);
        EXPECT_EQ(probe->width, width);
        EXPECT_EQ(probe->height, height);
        ASSERT_EQ(probe->frameCount(), manifest.encodedFrameCount);
        ASSERT_GT(probe->frameCount(), 1);
        // Frames are stamped by a 15 per second clock (the frame timer, or x11grab's
        // own pacing) in presentation order, on average no faster than 15 and, short
        // of a stall the gap list would show, no slower than half that: a busy
        // machine misses ticks, so the exact rate is not the stream's to promise.
        for (int i = 1; i < probe->frameCount(); ++i) {
            const auto& previous = probe->frames[static_cast<std::size_t>(i - 1)].ptsTime;
            const auto& current = probe->frames[static_cast<std::size_t>(i)].ptsTime;
            ASSERT_TRUE(previous && current);
            EXPECT_GT(*current, *previous) << "frame " << i;
        }
        const double stamped = (probe->frameCount() - 1) /
                               (*probe->frames.back().ptsTime - *probe->frames.front().ptsTime);
        EXPECT_LE(stamped, 15.0 + 0.2);
        EXPECT_GE(stamped, 7.5);
        // The clip ends at the trigger, which may cut the last frame short, so the
        // container's average is the frame count over the clip's duration.
        ASSERT_TRUE(probe->duration.has_value());
        EXPECT_NEAR(rate(probe->avgFrameRate), probe->frameCount() / *probe->duration, 0.05)
            << probe->avgFrameRate;
        std::vector<int> everyFifteenth;
        for (int i = 0; i < probe->frameCount(); i += 15) {
            everyFifteenth.push_back(i);
        }
        EXPECT_EQ(probe->keyframeIndices, everyFifteenth);
        EXPECT_NEAR(*probe->duration, manifest.actualSeconds, kFramePeriod + 1e-3);
        EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();
        const auto decoded = testing::fullyDecodes(bundle.clipURL);
        EXPECT_TRUE(decoded.ok()) << decoded.frames << " of " << decoded.packets << " frames; "
                                  << (decoded.errors.empty() ? "" : decoded.errors.front());
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
    std::vector<std::pair<CapturePhase, std::string>> phases_;
};

class RecorderEndToEndBackends : public RecorderEndToEnd,
                                 public ::testing::WithParamInterface<CaptureBackend> {};

TEST_P(RecorderEndToEndBackends, RecordsAndSavesAValidClipAndLeavesNoSharedMemory) {
    startController(recorderOptions(/*monitorLifecycle=*/false), GetParam());
    ASSERT_TRUE(recordingWith(3.6)) << describe();
    auto bundle = save(3);
    ASSERT_TRUE(bundle) << bundle.error().description();
    EXPECT_EQ(bundle->directoryURL.parent_path(), root_);
    EXPECT_LE(manifestOf(*bundle).actualSeconds, 3.0 + kFramePeriod);
    expectValidClip(*bundle, GetParam());
    stopController();
    EXPECT_TRUE(content_->healthy());
    const auto leftovers = ownSharedMemory();
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

// The X server dies and comes back on the same display, as when the session ends
// and the display manager starts a new one: the engine's failure is reported once
// and is retryable, the controller says it is retrying, tries again after the
// first delay and records again without anyone asking. Nothing of the dead
// connections' shared memory is left behind.
TEST_P(RecorderEndToEndBackends, AnXServerRestartIsRetriedAfterTheFirstDelay) {
    startController(recorderOptions(/*monitorLifecycle=*/false), GetParam());
    ASSERT_TRUE(recordingWith(1.0));

    content_.reset();
    server_->kill();
    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(eventually([&] { return controller_->phase() == CapturePhase::recovering; }))
        << "the failure is retryable" << describe();
    ASSERT_TRUE(eventually([&] { return logged("first_frame").size() == 2; })) << describe();

    const auto stopped = logged("stopped");
    ASSERT_EQ(stopped.size(), 1u) << describe();
    ASSERT_TRUE(stopped.front().record.failure.has_value());
    EXPECT_TRUE(stopped.front().record.failure->canRetry())
        << stopped.front().record.failure->message;
    const auto retries = logged("retry_scheduled");
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries.front().record.delaySeconds, 1.0);
    EXPECT_EQ(retries.front().record.attempt, 1);
    {
        std::lock_guard lock(mutex_);
        const auto recovering =
            std::find_if(phases_.begin(), phases_.end(), [](const auto& change) {
                return change.first == CapturePhase::recovering;
            });
        ASSERT_NE(recovering, phases_.end());
        EXPECT_EQ(recovering->second, "Rewind interrupted · retrying automatically");
    }
    EXPECT_EQ(onMain([&] { return controller_->desiredRecording(); }), true);

    std::string whyNot;
    content_ =
        MovingContent::start(server_->displayName(), MovingContent::Mode::motion, 15, &whyNot);
    ASSERT_TRUE(recordingWith(1.5));
    auto bundle = save(60);
    ASSERT_TRUE(bundle) << bundle.error().description();
    expectValidClip(*bundle, GetParam());
    stopController();

    // A start against a server that is not there is the source's failure, retried,
    // never a missing permission, which would hold the recorder back for good.
    content_.reset();
    server_->kill();
    auto refused = startLoneEngine(GetParam());
    ASSERT_FALSE(refused);
    const CaptureFailure failure(refused.error());
    EXPECT_TRUE(failure.canRetry()) << rawValue(failure.kind) << ": " << failure.message;

    const auto leftovers = ownSharedMemory();
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

// On Xorg with the dummy driver, which can change its mode and move its outputs.
// A new size ends the engine by itself (the lifecycle monitor off) and the retry
// records the new size; with the monitor on, a monitor added on the left moves the
// output at the same size, and the source restarts on its new rectangle.
TEST_P(RecorderEndToEndBackends, AResizeOrAMoveOfTheOutputRestartsTheSource) {
    std::string whyNot;
    auto dummy = TestXServer::xorgDummy(&whyNot);
    if (!dummy) {
        GTEST_SKIP() << whyNot;
    }
    startController(recorderOptions(false, dummy->display()), GetParam());
    ASSERT_TRUE(recordingWith(1.0)) << describe();
    ASSERT_EQ(dummy->run("xrandr -s 800x600"), 0);
    ASSERT_TRUE(eventually([&] { return logged("first_frame").size() == 2; })) << describe();
    ASSERT_TRUE(recordingWith(1.2));
    auto bundle = save(1);
    ASSERT_TRUE(bundle) << bundle.error().description();
    expectValidClip(*bundle, GetParam(), 800, 600);
    stopController();

    startController(recorderOptions(true, dummy->display()), GetParam());
    ASSERT_TRUE(recordingWith(1.0)) << describe();
    ASSERT_EQ(dummy->run("xrandr --addmode DUMMY1 800x600"), 0);
    ASSERT_EQ(dummy->run("xrandr --output DUMMY1 --mode 800x600 --pos 0x0 --output DUMMY0 "
                         "--pos 800x0"),
              0);
    ASSERT_TRUE(eventually([&] { return logged("first_frame").size() == 2; })) << describe();
    const auto suspended = logged("suspended");
    ASSERT_FALSE(suspended.empty()) << describe();
    EXPECT_EQ(suspended.front().record.reason, "display_reconfiguring");
    ASSERT_TRUE(recordingWith(1.0)) << describe();
}

INSTANTIATE_TEST_SUITE_P(Backends, RecorderEndToEndBackends,
                         ::testing::Values(CaptureBackend::screenCaptureKit,
                                           CaptureBackend::avFoundation),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// A sleep tears the engine down and lets go of the delay inhibitor; the wake
// brings a new engine after the settling delay, whose ring starts empty, so the
// first clip after it holds nothing from before the sleep, and no gap across it.
TEST_F(RecorderEndToEnd, SleepStopsRecordingAndTheWakeRestartsItWithAFreshRing) {
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
    expectValidClip(*bundle, CaptureConfiguration{}.backend);
    EXPECT_EQ(onMain([&] { return controller_->phase(); }), CapturePhase::recording);
}

// With the lifecycle monitor watching the same server, its loss holds recording
// back as a missing display; the server coming back must end that by itself.
TEST_F(RecorderEndToEnd, WithTheMonitorOnAnXServerRestartResumesByItself) {
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
    expectValidClip(*bundle, CaptureConfiguration{}.backend);
}

// A Wayland session made to record through X (the portal is the default there)
// but offering no X display is "permission missing" for both backends: no
// retry, the fixed status text, and the reason in lastError.
TEST_F(RecorderEndToEnd, WithoutXAccessPermissionIsRequiredAndNotRetried) {
    ScopedEnvironment wayland("WAYLAND_DISPLAY", "wayland-0");
    ScopedEnvironment throughX("SNAGREEL_SESSION_PLATFORM", "x11");
    ScopedEnvironment noX("DISPLAY", nullptr);
    for (const CaptureBackend backend :
         {CaptureBackend::avFoundation, CaptureBackend::screenCaptureKit}) {
        SCOPED_TRACE(std::string(rawValue(backend)));
        LinuxRecorderOptions options;
        options.systemBusAddress = bus_->address();
        options.monitorLifecycle = false;
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
        stopController();
    }
}

// Saves that cannot be served are refused with the controller's sentence, and
// one that cannot make its directory fails alone; none leaves a directory behind
// or disturbs the recording.
TEST_F(RecorderEndToEnd, RefusedOrFailedSavesLeaveNoDirectoryAndRecordingGoesOn) {
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
    EXPECT_EQ(entriesUnderRoot(), 0u);
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
    EXPECT_EQ(entriesUnderRoot(), 1u);
    onMain([&] {
        EXPECT_FALSE(controller_->isExporting());
        EXPECT_FALSE(controller_->lastError().has_value());
    });

    // A captures root whose parent is a file: the sentence names the folder that
    // could not be made, and the file is left as it was.
    const fs::path blocker = root_ / "not-a-folder";
    const std::string blockerText = "a file where the parent should be";
    std::ofstream(blocker) << blockerText;
    auto failed = save(30, blocker / "Captures");
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().description().find((blocker / "Captures").string()), std::string::npos)
        << failed.error().description();
    EXPECT_EQ(fs::file_size(blocker), blockerText.size());

    // And the next save is accepted: one more directory beside the first and the file.
    ASSERT_TRUE(recordingWith(1.0));
    auto again = save(30);
    ASSERT_TRUE(again) << again.error().description();
    EXPECT_EQ(entriesUnderRoot(), 3u);
    EXPECT_EQ(onMain([&] { return controller_->phase(); }), CapturePhase::recording);
}

} // namespace
} // namespace snagreel
