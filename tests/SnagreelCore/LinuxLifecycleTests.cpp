#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Linux/LifecycleLog.hpp"
#include "SnagreelCore/Linux/LinuxLifecycle.hpp"
#include "SnagreelCore/Linux/LogindEvents.hpp"
#include "SnagreelCore/Linux/LogindSleepInhibitor.hpp"
#include "SnagreelCore/Linux/X11DisplayEvents.hpp"
#include "devsupport/FakeLogind.hpp"
#include "devsupport/TestXServer.hpp"
#include "devsupport/Waiting.hpp"
#include "devsupport/XvfbServer.hpp"
#include "support/DisplaySocket.hpp"
#include "support/PrivateBus.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using devsupport::TestXServer;
using Event = CaptureLifecycleMonitor::Event;
using Snapshot = CaptureLifecycleMonitor::Snapshot;

using testing::eventually;

// A settling delay that is over at once, so that refreshes follow their event.
CaptureLifecycleMonitor::Wait instantWait() {
    return [](Completion<void> done) {
        done(Result<void>{});
        return CancelHandle{};
    };
}

// What reached the monitor's callbacks, and whether all of it came on the main
// executor.
struct Observed {
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> suspensions;
    int displayChanges = 0;
    bool offMain = false;

    bool saw(const std::string& name, bool active) {
        std::lock_guard lock(mutex);
        return std::find(suspensions.begin(), suspensions.end(), std::pair{name, active}) !=
               suspensions.end();
    }
    std::size_t count(const std::string& name, bool active) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(
            std::count(suspensions.begin(), suspensions.end(), std::pair{name, active}));
    }
};

// A display that never exists: the logind tests need no X server.
constexpr const char* kNoDisplay = ":4711";

class LinuxLifecycleBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::PrivateBus::daemonAvailable()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        std::string whyNot;
        bus_ = testing::PrivateBus::start(&whyNot, "system");
        ASSERT_NE(bus_, nullptr) << whyNot;
    }

    void TearDown() override {
        onMain([this] { monitor_.reset(); });
    }

    devsupport::FakeLogind& startLogind(devsupport::FakeLogind::Options options = {}) {
        std::string whyNot;
        logind_ = devsupport::FakeLogind::start(bus_->address(), options, &whyNot);
        EXPECT_NE(logind_, nullptr) << whyNot;
        return *logind_;
    }

    template <typename F> void onMain(F work) {
        main_.post(std::move(work));
        main_.drain();
    }

    void startMonitor(const std::string& display = kNoDisplay) {
        onMain([this, display] {
            LinuxLifecycleOptions options;
            options.systemBusAddress = bus_->address();
            options.displayName = display;
            options.wait = instantWait();
            monitor_ = makeLinuxLifecycleMonitor(
                main_,
                [this](const std::string& name, bool active) {
                    std::lock_guard lock(observed_.mutex);
                    observed_.offMain |= !main_.isCurrent();
                    observed_.suspensions.emplace_back(name, active);
                },
                [this] {
                    std::lock_guard lock(observed_.mutex);
                    observed_.offMain |= !main_.isCurrent();
                    ++observed_.displayChanges;
                },
                options);
            monitor_->begin();
        });
    }

    std::set<std::string> blockers() {
        std::set<std::string> result;
        onMain([&] { result = monitor_->blockers(); });
        return result;
    }

    std::optional<Snapshot> previous() {
        std::optional<Snapshot> result;
        onMain([&] { result = monitor_->previous(); });
        return result;
    }

    std::unique_ptr<testing::PrivateBus> bus_;
    std::unique_ptr<devsupport::FakeLogind> logind_;
    SerialQueue main_{"test.main"};
    std::shared_ptr<CaptureLifecycleMonitor> monitor_;
    Observed observed_;
};

// ---- Sleep inhibitor ---------------------------------------------------------

TEST_F(LinuxLifecycleBus, SleepInhibitorIsTakenInDelayModeAndReleasedWithTheActivity) {
    auto& logind = startLogind();
    auto begin = logindRecordingActivity(bus_->address());
    auto activity = begin();
    ASSERT_NE(activity, nullptr);
    EXPECT_TRUE(dynamic_cast<LogindSleepInhibitor&>(*activity).isHeld());
    const std::vector<devsupport::FakeLogind::InhibitCall> expected{
        {"sleep", "Snagreel", "User-enabled rewind recording", "delay"}};
    EXPECT_EQ(logind.inhibitCalls(), expected);
    // The reply's copy of the descriptor must not be what keeps it open.
    EXPECT_EQ(logind.heldInhibitors(), 1);

    activity.reset();
    EXPECT_TRUE(logind.waitUntilReleased());

    // A second recording takes a fresh one.
    activity = begin();
    EXPECT_EQ(logind.inhibitCalls().size(), 2u);
    EXPECT_EQ(logind.heldInhibitors(), 1);
}

TEST_F(LinuxLifecycleBus, WithoutLogindTheActivityIsANoOpAndTheSessionUnknown) {
    for (const std::string& address : {bus_->address(), std::string("unix:path=/nonexistent")}) {
        auto activity = logindRecordingActivity(address)();
        ASSERT_NE(activity, nullptr) << address;
        EXPECT_FALSE(dynamic_cast<LogindSleepInhibitor&>(*activity).isHeld()) << address;
    }

    auto events = LogindEvents::start(main_, {bus_->address(), ""});
    EXPECT_TRUE(events->isConnected());
    EXPECT_EQ(events->sessionPath(), "");
    EXPECT_EQ(events->onConsole(), std::nullopt);
    EXPECT_FALSE(LogindEvents::start(main_, {"unix:path=/nonexistent", ""})->isConnected());

    startMonitor();
    const auto reading = previous();
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(reading->onConsole, std::nullopt);
    EXPECT_EQ(blockers().count(LifecycleBlocker::sessionInactive), 0u);
}

// ---- Sleep and session events -------------------------------------------------

TEST_F(LinuxLifecycleBus, SleepAndASessionSwitchHoldRecordingBackButALockDoesNot) {
    auto& logind = startLogind();
    startMonitor();
    EXPECT_EQ(previous()->onConsole, true);

    // Locking keeps the rewind: neither the signal nor the locker's hint suspends.
    // The sleep signal after them, from the same sender, marks that both arrived;
    // it holds recording until the wake settles.
    logind.lock();
    logind.setLockedHint(true);
    logind.emitPrepareForSleep(true);
    ASSERT_TRUE(eventually([&] { return observed_.saw("system_sleep", true); }));
    EXPECT_EQ(blockers().count("system_sleep"), 1u);
    onMain([&] { monitor_->refresh(); });
    EXPECT_EQ(previous()->onConsole, true);
    EXPECT_EQ(observed_.count("session_inactive", true), 0u);
    logind.emitPrepareForSleep(false);
    ASSERT_TRUE(eventually([&] { return observed_.saw("system_sleep", false); }));
    EXPECT_EQ(blockers().count("system_sleep"), 0u);

    logind.setActive(false);
    ASSERT_TRUE(eventually([&] { return observed_.saw("session_inactive", true); }));
    onMain([&] { monitor_->refresh(); });
    EXPECT_EQ(previous()->onConsole, false);
    EXPECT_EQ(blockers().count("session_inactive"), 1u) << "a reading keeps it while inactive";

    logind.setActive(true);
    ASSERT_TRUE(eventually([&] { return observed_.saw("session_inactive", false); }));
    EXPECT_EQ(previous()->onConsole, true);
    EXPECT_FALSE(observed_.offMain);
}

TEST_F(LinuxLifecycleBus, TheSessionIsFoundThroughTheEnvironmentOrAutoOutsideItsScope) {
    auto& logind = startLogind({"c7", true, /*answersByPID=*/false});

    ::setenv("XDG_SESSION_ID", "c7", 1);
    auto byEnvironment = LogindEvents::start(main_, {bus_->address(), ""});
    ::unsetenv("XDG_SESSION_ID");
    EXPECT_EQ(byEnvironment->sessionPath(), logind.sessionPath());
    EXPECT_EQ(byEnvironment->onConsole(), true);

    auto byAuto = LogindEvents::start(main_, {bus_->address(), ""});
    EXPECT_EQ(byAuto->sessionPath(), logind.sessionPath());

    auto configured = LogindEvents::start(main_, {bus_->address(), "c7"});
    EXPECT_EQ(configured->sessionPath(), logind.sessionPath());
    EXPECT_EQ(logind.sessionLookups(), (std::vector<std::string>{"c7", "auto", "c7"}));

    EXPECT_EQ(LogindEvents::start(main_, {bus_->address(), "nope"})->onConsole(), std::nullopt);
}

TEST_F(LinuxLifecycleBus, NoHandlerRunsAfterUnsubscribeOrDestruction) {
    auto& logind = startLogind();
    auto events = LogindEvents::start(main_, {bus_->address(), ""});
    std::atomic<int> gone{0};
    std::atomic<int> kept{0};
    std::atomic<bool> offMain{false};
    std::uint64_t goneToken = 0;
    onMain([&] {
        goneToken = events->subscribe([&](Event) { ++gone; });
        events->subscribe([&](Event event) {
            offMain = offMain || !main_.isCurrent();
            kept += event == Event::systemSleep ? 1 : 0;
        });
        events->unsubscribe(goneToken);
    });
    logind.emitPrepareForSleep(true);
    ASSERT_TRUE(eventually([&] { return kept.load() == 1; }));
    main_.drain();
    EXPECT_EQ(gone.load(), 0);
    EXPECT_FALSE(offMain.load());

    // Events still queued for the main executor when the source goes find nothing.
    main_.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    logind.emitPrepareForSleep(false);
    logind.emitPrepareForSleep(true);
    onMain([&] { events.reset(); });
    main_.drain();
    EXPECT_LE(kept.load(), 2);
}

// ---- With the controller --------------------------------------------------------

// An engine that starts at once and reports what the test tells it to.
class ReportingEngine final : public CaptureSession {
public:
    std::function<void(CaptureEngineStatus)> onStatus;
    void start(Completion<void> done) override { done(Result<void>{}); }
    void stop(std::function<void()> done) override { done(); }
    void clear() override {}
    void invalidate() override {}
    void snapshot(double, Completion<CaptureSnapshot> done) override {
        done(Unexpected{Error::cancelled()});
    }
    void report(std::uint32_t display) {
        CaptureEngineStatus status;
        status.seconds = 3;
        status.running = true;
        status.sourceAvailable = true;
        status.source = CaptureSource{"display", display, 1024, 768};
        onStatus(status);
    }
};

// The delay inhibitor must not outlive the recording into the sleep it delays:
// a PrepareForSleep(true) stops recording and so releases it, and the wake takes
// a new one once recording runs again.
TEST_F(LinuxLifecycleBus, ASleepReleasesTheInhibitorAndTheWakeTakesItAgain) {
    std::string whyNot;
    auto server = TestXServer::xvfb(&whyNot);
    if (!server) {
        GTEST_SKIP() << whyNot;
    }
    const std::uint32_t output = X11DisplayReader(server->display()).read(std::nullopt).displayID;
    ASSERT_NE(output, 0u);
    auto& logind = startLogind();

    std::vector<std::shared_ptr<ReportingEngine>> engines; // main executor only
    std::shared_ptr<CaptureController> controller;
    onMain([&] {
        LinuxLifecycleOptions options;
        options.systemBusAddress = bus_->address();
        options.displayName = server->display();
        options.wait = instantWait();
        CaptureControllerEnvironment environment;
        environment.sleep = executorSleep(main_);
        environment.factory = [&](const CaptureConfiguration&, std::optional<std::uint32_t>,
                                  std::function<void(CaptureEngineStatus)> onStatus,
                                  std::function<void(CaptureFailure)>) {
            auto engine = std::make_shared<ReportingEngine>();
            engine->onStatus = std::move(onStatus);
            engines.push_back(engine);
            return engine;
        };
        environment.monitor = linuxMonitorFactory(main_, options);
        environment.beginActivity = logindRecordingActivity(bus_->address());
        environment.log = [](const LifecycleLogRecord&) {};
        controller = CaptureController::create(main_, CaptureConfiguration{}, environment);
        controller->start();
    });
    auto engineCount = [&] {
        std::size_t count = 0;
        onMain([&] { count = engines.size(); });
        return count;
    };
    auto phase = [&] {
        CapturePhase result{};
        onMain([&] { result = controller->phase(); });
        return result;
    };
    ASSERT_TRUE(eventually([&] { return engineCount() == 1; }));
    onMain([&] { engines.back()->report(output); });
    ASSERT_TRUE(eventually([&] { return phase() == CapturePhase::recording; }));
    EXPECT_EQ(logind.heldInhibitors(), 1);

    logind.emitPrepareForSleep(true);
    EXPECT_TRUE(logind.waitUntilReleased());
    EXPECT_TRUE(eventually([&] { return phase() == CapturePhase::suspended; }));

    logind.emitPrepareForSleep(false);
    ASSERT_TRUE(eventually([&] { return engineCount() == 2; }));
    onMain([&] { engines.back()->report(output); });
    ASSERT_TRUE(eventually([&] { return phase() == CapturePhase::recording; }));
    EXPECT_EQ(logind.inhibitCalls().size(), 2u);
    EXPECT_EQ(logind.heldInhibitors(), 1);

    onMain([&] {
        controller->shutdown();
        controller.reset();
        engines.clear();
    });
    EXPECT_TRUE(logind.waitUntilReleased());
}

// ---- Lifecycle log -----------------------------------------------------------

LifecycleLogRecord sampleRecord() {
    LifecycleLogRecord record;
    record.event = "retry_scheduled";
    record.generation = "0B5C2E9A-1D7F-4C3B-9A2E-6F1D8C7B5A40";
    record.attempt = 2;
    record.reason = "transient";
    record.delaySeconds = 15;
    record.sourceDisplayID = 66;
    record.captureBackend = CaptureBackend::screenCaptureKit;
    return record;
}

TEST(LinuxLifecycleLog, WithoutAJournalTheLineGoesToStderrWithItsCategory) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    writeLifecycleLine("event=paused reason=explicit_pause", "/nonexistent/journal/socket", stream);
    writeLifecycleLine("event=shutdown reason=quit", "/nonexistent/journal/socket", stream);
    std::rewind(stream);
    char buffer[256] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(std::string(buffer, got),
              "snagreel[recorder-lifecycle]: event=paused reason=explicit_pause\n"
              "snagreel[recorder-lifecycle]: event=shutdown reason=quit\n");

    if (fs::exists(kJournalSocket)) {
        return; // the real journal takes the logger's line
    }
    ::testing::internal::CaptureStderr();
    lifecycleLogger()(sampleRecord());
    const std::string captured = ::testing::internal::GetCapturedStderr();
    if (captured.empty() && fs::exists(kJournalSocket)) {
        GTEST_SKIP() << "the journal test bound the socket meanwhile";
    }
    EXPECT_EQ(captured,
              "snagreel[recorder-lifecycle]: " + formatLifecycleLine(sampleRecord()) + "\n");
}

// sd_journal_send always writes to the fixed socket path; on a machine without
// a journal (as root) the test binds that path itself and reads the datagram.
TEST(LinuxLifecycleLog, TheJournalGetsTheLineWithItsFields) {
    const fs::path socketPath = kJournalSocket;
    if (fs::exists(socketPath.parent_path())) {
        GTEST_SKIP() << "a journal runs here; its entries are not the test's to read";
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "binding the journal socket needs root";
    }
    std::vector<fs::path> created;
    for (fs::path part = socketPath.parent_path(); !fs::exists(part); part = part.parent_path()) {
        created.push_back(part);
    }
    fs::create_directories(socketPath.parent_path());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kJournalSocket, sizeof address.sun_path - 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;

    if (bound) {
        lifecycleLogger()(sampleRecord());
    }
    char buffer[4096] = {};
    const ssize_t got = bound ? ::recv(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT) : -1;
    ::close(fd);
    for (const auto& part : created) { // innermost first
        std::error_code ignored;
        fs::remove_all(part, ignored);
    }
    ASSERT_TRUE(bound);
    ASSERT_GT(got, 0);
    const std::string datagram(buffer, static_cast<std::size_t>(got));
    EXPECT_NE(datagram.find("MESSAGE=" + formatLifecycleLine(sampleRecord()) + "\n"),
              std::string::npos)
        << datagram;
    EXPECT_NE(datagram.find("PRIORITY=6\n"), std::string::npos);
    EXPECT_NE(datagram.find("SNAGREEL_CATEGORY=recorder-lifecycle\n"), std::string::npos);
    EXPECT_NE(datagram.find("SYSLOG_IDENTIFIER=snagreel\n"), std::string::npos);
}

// ---- X display -----------------------------------------------------------------

TEST_F(LinuxLifecycleBus, XvfbReadsAsOneLitOutputAndItsLossAsAMissingDisplay) {
    std::string whyNot;
    auto server = TestXServer::xvfb(&whyNot);
    if (!server) {
        GTEST_SKIP() << whyNot;
    }
    X11DisplayReader reader(server->display());
    const Snapshot main = reader.read(std::nullopt);
    EXPECT_NE(main.displayID, 0u);
    EXPECT_TRUE(main.active);
    EXPECT_FALSE(main.asleep) << "Xvfb has no DPMS";
    EXPECT_EQ(main.pixelSize, (CaptureLifecycleMonitor::Size{1024, 768}));
    EXPECT_EQ(main.logicalSize, main.pixelSize);
    EXPECT_EQ(main.rotation, 0);
    EXPECT_EQ(main.onConsole, std::nullopt);
    EXPECT_EQ(reader.read(main.displayID), main);
    EXPECT_EQ(reader.read(main.displayID + 1000), Snapshot{}) << "an output that is gone";

    startMonitor(server->display());
    EXPECT_TRUE(blockers().empty());
    EXPECT_EQ(previous()->displayID, main.displayID);

    // The event thread sees the server go; the next reading finds no display.
    server->terminate();
    ASSERT_TRUE(eventually([&] { return observed_.saw("display_missing", true); }));
    EXPECT_EQ(X11DisplayReader(server->display()).read(std::nullopt), Snapshot{});
    EXPECT_FALSE(observed_.offMain);
}

// A server that comes back on the same display (a crash respawned, a session
// restarted) ends the missing display by itself: nothing else would.
// A server that takes the connection and never answers (hung, or stopped under a
// debugger) must not hold the GUI thread of the application: starting and
// destroying the event source do not wait for it, and a reading comes back as the
// last one known.
TEST(X11DisplayReader, AServerThatNeverAnswersHoldsNeitherReadingsNorEvents) {
    const int number = 800 + static_cast<int>(::getpid() % 90);
    bool inUse = false;
    const int listener = testing::listenOnDisplaySocket(number, &inUse);
    if (inUse) {
        GTEST_SKIP() << "display " << number << " is in use";
    }
    ASSERT_GE(listener, 0);

    X11DisplayReader reader(":" + std::to_string(number), 0.2);
    ManualExecutor main;
    std::promise<std::pair<Snapshot, Snapshot>> readings;
    std::thread asking([&] {
        auto events = X11DisplayEvents::start(main, ":" + std::to_string(number));
        const Snapshot first = reader.read(std::nullopt);
        const Snapshot second = reader.read(std::nullopt);
        events.reset();
        readings.set_value({first, second});
    });
    auto future = readings.get_future();
    const bool answered = future.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    ::close(listener); // ends a stuck read either way
    asking.join();
    ASSERT_TRUE(answered) << "the caller waited for a server that never answers";
    const auto [first, second] = future.get();
    EXPECT_EQ(first, Snapshot{});
    EXPECT_EQ(second, Snapshot{}) << "no second reading queued behind the stuck one";
}

TEST_F(LinuxLifecycleBus, AnXServerBackOnTheSameDisplayClearsTheMissingDisplay) {
    std::string whyNot;
    auto server = devsupport::XvfbServer::start(640, 480, &whyNot);
    if (!server) {
        GTEST_SKIP() << whyNot;
    }
    startMonitor(server->displayName());
    EXPECT_TRUE(blockers().empty());

    server->kill();
    ASSERT_TRUE(eventually([&] { return observed_.saw("display_missing", true); }));
    ASSERT_TRUE(server->restart());
    ASSERT_TRUE(eventually([&] { return observed_.saw("display_missing", false); }));
    EXPECT_TRUE(blockers().empty());
    EXPECT_NE(previous()->displayID, 0u);
    EXPECT_FALSE(observed_.offMain);
}

TEST_F(LinuxLifecycleBus, AResizedOrMovedOutputHoldsRecordingForOneSettlingDelay) {
    std::string whyNot;
    auto server = TestXServer::xorgDummy(&whyNot);
    if (!server) {
        GTEST_SKIP() << whyNot;
    }
    startMonitor(server->display());
    ASSERT_TRUE(previous().has_value());
    ASSERT_EQ(previous()->pixelSize, (CaptureLifecycleMonitor::Size{1024, 768}));
    EXPECT_TRUE(blockers().empty());

    ASSERT_EQ(server->run("xrandr -s 800x600"), 0);
    ASSERT_TRUE(eventually([&] { return observed_.saw("display_reconfiguring", false); }));
    EXPECT_TRUE(observed_.saw("display_reconfiguring", true));
    EXPECT_EQ(previous()->pixelSize, (CaptureLifecycleMonitor::Size{800, 600}));
    EXPECT_TRUE(blockers().empty());

    // A monitor added on the left moves the captured output at the same size: the
    // engine must restart to read the new rectangle.
    ASSERT_EQ(server->run("xrandr --addmode DUMMY1 800x600"), 0);
    ASSERT_EQ(server->run("xrandr --output DUMMY1 --mode 800x600 --pos 0x0 --output DUMMY0 "
                          "--pos 800x0"),
              0);
    ASSERT_TRUE(eventually([&] { return observed_.count("display_reconfiguring", false) == 2; }));
    EXPECT_EQ(observed_.count("display_reconfiguring", true), 2u);
    EXPECT_EQ(previous()->pixelSize, (CaptureLifecycleMonitor::Size{800, 600}));
    EXPECT_EQ(previous()->origin, (CaptureLifecycleMonitor::Point{800, 0}));
    EXPECT_TRUE(blockers().empty());
    EXPECT_FALSE(observed_.offMain);
}

} // namespace
} // namespace snagreel
