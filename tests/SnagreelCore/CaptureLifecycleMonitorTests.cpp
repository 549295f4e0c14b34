#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace snagreel {
namespace {

using Monitor = CaptureLifecycleMonitor;
using Event = Monitor::Event;

Monitor::Snapshot display(std::uint32_t id = 7, double width = 1920, double height = 1080,
                          double rotation = 0) {
    Monitor::Snapshot s;
    s.onConsole = true;
    s.displayID = id;
    s.active = id != 0;
    s.pixelSize = {width, height};
    s.logicalSize = {width, height};
    s.rotation = rotation;
    return s;
}

struct Harness {
    ManualExecutor main;
    std::shared_ptr<ManualLifecycleEventSource> source =
        std::make_shared<ManualLifecycleEventSource>();
    Monitor::Snapshot current = display();
    std::vector<std::optional<std::uint32_t>> requested;
    std::vector<std::string> calls; // "+name", "-name", "changed"
    std::unique_ptr<Monitor> monitor;

    Harness() {
        monitor = std::make_unique<Monitor>(
            main,
            [this](const std::string& name, bool active) {
                calls.push_back((active ? "+" : "-") + name);
            },
            [this] { calls.push_back("changed"); },
            [this](std::optional<std::uint32_t> id) {
                requested.push_back(id);
                return current;
            },
            Monitor::Wait{}, std::vector<std::shared_ptr<LifecycleEventSource>>{source});
    }

    void emit(Event event) {
        source->emit(event);
        main.runUntilIdle();
    }
    std::vector<std::string> take() { return std::exchange(calls, {}); }
};

using Calls = std::vector<std::string>;

TEST(CaptureLifecycleMonitor, BeginRegistersOnceAndRefreshesAtOnce) {
    Harness h;
    h.current.asleep = true;
    h.monitor->begin();
    EXPECT_EQ(h.source->subscriberCount(), 1u);
    EXPECT_EQ(h.take(), Calls{"+display_sleep"});
    ASSERT_TRUE(h.monitor->previous().has_value());

    h.monitor->begin();
    EXPECT_EQ(h.source->subscriberCount(), 1u);
    EXPECT_EQ(h.requested.size(), 1u);
    EXPECT_TRUE(h.take().empty());
}

// Each event that adds a blocker adds it at once; its counterpart only schedules a
// refresh, which removes it after the settling delay.
TEST(CaptureLifecycleMonitor, EventBlockersAreRemovedBySettlingRefresh) {
    struct Case {
        Event block;
        Event unblock;
        std::string name;
    };
    const std::vector<Case> cases = {
        {Event::systemSleep, Event::systemWake, "system_sleep"},
        {Event::displaySleep, Event::displayWake, "display_sleep"},
        {Event::sessionInactive, Event::sessionActive, "session_inactive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.monitor->begin();
        EXPECT_TRUE(h.take().empty());

        h.emit(c.block);
        EXPECT_EQ(h.take(), Calls{"+" + c.name});
        h.emit(c.block);
        EXPECT_TRUE(h.take().empty()) << "a present blocker is not reported twice";

        h.emit(c.unblock);
        EXPECT_TRUE(h.take().empty()) << "removed by the refresh, not by the event";
        h.main.advance(0.2);
        EXPECT_TRUE(h.take().empty());
        h.main.advance(0.05);
        EXPECT_EQ(h.take(), Calls{"-" + c.name});
        EXPECT_FALSE(h.monitor->hasPendingRefresh());
    }
}

TEST(CaptureLifecycleMonitor, RepeatedWakeEventsRestartTheDelay) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::systemSleep);
    h.take();
    const auto readsBefore = h.requested.size();

    h.emit(Event::systemWake);
    h.main.advance(0.2);
    h.emit(Event::systemWake);
    h.main.advance(0.2);
    h.emit(Event::displayWake);
    h.main.advance(0.2);
    EXPECT_TRUE(h.take().empty());
    h.main.advance(0.05);
    EXPECT_EQ(h.take(), Calls{"-system_sleep"});
    EXPECT_EQ(h.requested.size(), readsBefore + 1) << "the burst collapses into one refresh";
    EXPECT_EQ(h.main.pendingTimers(), 0u);
}

TEST(CaptureLifecycleMonitor, SystemSleepStaysUntilTheRefreshAfterAWake) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::systemSleep);
    h.take();

    // A refresh asked for by the owner or another event does not clear it.
    h.monitor->refresh();
    h.emit(Event::displayWake);
    h.main.advance(1);
    EXPECT_TRUE(h.take().empty());

    // Sleeping again before the settling refresh cancels it and forgets the wake.
    h.emit(Event::systemWake);
    h.emit(Event::systemSleep);
    h.main.advance(1);
    EXPECT_TRUE(h.take().empty());
    EXPECT_FALSE(h.monitor->systemDidWake());

    h.emit(Event::systemWake);
    EXPECT_TRUE(h.monitor->systemDidWake());
    h.main.advance(0.25);
    EXPECT_EQ(h.take(), Calls{"-system_sleep"});
    EXPECT_FALSE(h.monitor->systemDidWake());
}

TEST(CaptureLifecycleMonitor, BlockingEventCancelsAPendingRefresh) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::displaySleep);
    h.emit(Event::displayWake);
    EXPECT_TRUE(h.monitor->hasPendingRefresh());
    h.emit(Event::sessionInactive);
    EXPECT_FALSE(h.monitor->hasPendingRefresh());
    h.main.advance(1);
    EXPECT_EQ(h.take(), (Calls{"+display_sleep", "+session_inactive"}));
}

TEST(CaptureLifecycleMonitor, ReadingsAddAndRemoveBlockers) {
    Harness h;
    h.monitor->begin();

    h.current.onConsole = false;
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"+session_inactive"});
    // Without an on-console entry a reading neither adds nor removes it.
    h.current.onConsole.reset();
    h.monitor->refresh();
    EXPECT_TRUE(h.take().empty());
    h.current.onConsole = true;
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"-session_inactive"});

    h.current.onConsole.reset();
    h.emit(Event::sessionInactive);
    h.emit(Event::sessionActive);
    h.main.advance(1);
    EXPECT_EQ(h.take(), Calls{"+session_inactive"}) << "only the console entry removes it";

    h.current.asleep = true;
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"+display_sleep"});
    h.current.active = false; // an inactive display is missing, whatever its sleep state
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"+display_missing"});
    h.current.active = true;
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"-display_missing"});
    h.current.asleep = false;
    h.monitor->refresh();
    EXPECT_EQ(h.take(), Calls{"-display_sleep"});
}

TEST(CaptureLifecycleMonitor, DisplayMissingAndReturning) {
    Harness h;
    h.monitor->begin();
    h.current = display(0);
    h.emit(Event::screenParametersChanged);
    EXPECT_EQ(h.take(), Calls{"+display_missing"});
    h.main.advance(1);
    EXPECT_TRUE(h.take().empty()) << "no display never counts as a geometry change";

    h.current = display(7, 1280, 720);
    h.emit(Event::screenParametersChanged);
    EXPECT_TRUE(h.take().empty()) << "the previous reading had no usable display";
    h.main.advance(0.25);
    EXPECT_EQ(h.take(), Calls{"-display_missing"});
}

TEST(CaptureLifecycleMonitor, GeometryChangeWhileNothingBlocksReportsDisplayChanged) {
    struct Case {
        const char* what;
        Monitor::Snapshot next;
        bool changed;
    };
    auto logical = display();
    logical.logicalSize = {960, 540};
    auto sleeping = display();
    sleeping.asleep = true;
    auto moved = display();
    moved.origin = {1920, 0};
    const std::vector<Case> cases = {
        {"same geometry", display(), false},
        {"rotation only", display(7, 1920, 1080, 90), true},
        {"width", display(7, 1280, 1080), true},
        {"height", display(7, 1920, 1200), true},
        {"logical size", logical, true},
        {"moved, same size", moved, true},
        {"other display", display(8), true},
        {"asleep, same geometry", sleeping, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.monitor->begin();
        h.current = c.next;
        h.monitor->refresh();
        const auto calls = h.take();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "changed"), c.changed ? 1 : 0);
    }
}

TEST(CaptureLifecycleMonitor, GeometryChangeWhileBlockedIsNotReported) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::systemSleep);
    h.take();
    h.current = display(7, 2560, 1440);
    h.monitor->refresh();
    EXPECT_TRUE(h.take().empty());
    // The new reading became the reference, so waking later reports nothing either.
    h.emit(Event::systemWake);
    h.main.advance(0.25);
    EXPECT_EQ(h.take(), Calls{"-system_sleep"});
}

TEST(CaptureLifecycleMonitor, ReconfigurationHoldsBackForOneSettlingDelay) {
    Harness h;
    h.monitor->begin();
    h.current = display(7, 2560, 1440);
    h.emit(Event::screenParametersChanged);
    EXPECT_EQ(h.take(), Calls{"+display_reconfiguring"});
    h.main.advance(0.1);
    h.emit(Event::screenParametersChanged); // still differs from the untouched reference
    EXPECT_TRUE(h.take().empty());
    h.main.advance(0.2);
    EXPECT_TRUE(h.take().empty());
    h.main.advance(0.05);
    EXPECT_EQ(h.take(), Calls{"-display_reconfiguring"})
        << "the refresh sees a blocker, so no separate display change";
    h.emit(Event::screenParametersChanged);
    h.main.advance(1);
    EXPECT_TRUE(h.take().empty()) << "the refresh took the new geometry as reference";
}

TEST(CaptureLifecycleMonitor, ReconfigurationWhileAsleepKeepsDisplaySleep) {
    Harness h;
    h.monitor->begin();
    h.current = display(7, 1920, 1080, 180);
    h.current.asleep = true;
    h.emit(Event::screenParametersChanged);
    EXPECT_EQ(h.take(), (Calls{"+display_sleep", "+display_reconfiguring"}));
    h.main.advance(0.25);
    EXPECT_EQ(h.take(), Calls{"-display_reconfiguring"});
    EXPECT_EQ(h.monitor->blockers(), std::set<std::string>{"display_sleep"});
}

TEST(CaptureLifecycleMonitor, DisplayIDIsPassedToTheReading) {
    Harness h;
    h.monitor->begin();
    EXPECT_EQ(h.requested.back(), std::nullopt);
    h.monitor->setDisplayID(42);
    h.monitor->forgetPrevious();
    h.current = display(42, 800, 600);
    h.monitor->refresh();
    EXPECT_EQ(h.requested.back(), std::optional<std::uint32_t>(42));
    EXPECT_TRUE(h.take().empty()) << "no reference to compare against after forgetting it";
}

TEST(CaptureLifecycleMonitor, StopIgnoresEventsInFlightAndPendingRefreshes) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::displaySleep);
    h.emit(Event::displayWake);
    h.source->emit(Event::sessionInactive); // delivered, its task not yet run
    h.monitor->stop();
    EXPECT_EQ(h.source->subscriberCount(), 0u);
    h.main.advance(1);
    h.monitor->refresh();
    h.monitor->handle(Event::systemSleep);
    EXPECT_EQ(h.take(), Calls{"+display_sleep"}) << "blockers are not reported as removed";
    EXPECT_TRUE(h.monitor->isStopped());

    // Beginning again registers anew and reads at once.
    h.monitor->begin();
    EXPECT_EQ(h.source->subscriberCount(), 1u);
    EXPECT_EQ(h.take(), Calls{"-display_sleep"});
}

TEST(CaptureLifecycleMonitor, DestroyedMonitorUnregistersAndIgnoresLateCompletions) {
    Harness h;
    h.monitor->begin();
    h.emit(Event::displayWake);
    h.source->emit(Event::systemSleep);
    h.monitor.reset();
    EXPECT_EQ(h.source->subscriberCount(), 0u);
    h.main.advance(1);
    EXPECT_TRUE(h.take().empty());
}

// A wait that the test completes by hand, to drive failures and late completions.
struct ScriptedWait {
    std::deque<Completion<void>> pending;
    int cancels = 0;
    Monitor::Wait function() {
        return [this](Completion<void> done) {
            pending.push_back(std::move(done));
            return CancelHandle([this] { ++cancels; });
        };
    }
};

TEST(CaptureLifecycleMonitor, FailedOrSupersededWaitsDoNothing) {
    ManualExecutor main;
    ScriptedWait wait;
    std::vector<std::string> calls;
    auto current = display();
    Monitor monitor(
        main, [&](const std::string& n, bool a) { calls.push_back((a ? "+" : "-") + n); },
        [&] { calls.push_back("changed"); }, [&](auto) { return current; }, wait.function());
    monitor.begin();
    monitor.handle(Event::displaySleep);
    calls.clear();

    monitor.handle(Event::displayWake);
    monitor.handle(Event::displayWake); // supersedes the first
    EXPECT_EQ(wait.cancels, 1);
    ASSERT_EQ(wait.pending.size(), 2u);
    // A wait that completes successfully although it was cancelled must not refresh.
    wait.pending.front()(Result<void>{});
    main.runUntilIdle();
    EXPECT_TRUE(calls.empty());
    // A failing wait must not refresh either.
    wait.pending.back()(Unexpected{Error::cancelled()});
    main.runUntilIdle();
    EXPECT_TRUE(calls.empty());

    monitor.handle(Event::displayWake);
    wait.pending.back()(Result<void>{});
    EXPECT_TRUE(calls.empty()) << "the refresh runs as a task on the main executor";
    main.runUntilIdle();
    EXPECT_EQ(calls, Calls{"-display_sleep"});
}

TEST(CaptureLifecycleMonitor, ExecutorWaitCompletesOnceAndFailsWhenCancelled) {
    ManualExecutor main;
    auto wait = Monitor::executorWait(main, 0.25);
    std::vector<bool> results;
    auto first = wait([&](Result<void> r) { results.push_back(r.hasValue()); });
    auto second = wait([&](Result<void> r) {
        results.push_back(r.hasValue());
        EXPECT_TRUE(!r.hasValue() && r.error().isCancellation());
    });
    second.cancel();
    second.cancel();
    main.advance(0.25);
    first.cancel(); // too late: already completed
    main.runUntilIdle();
    EXPECT_EQ(results, (std::vector<bool>{false, true}));
}

} // namespace
} // namespace snagreel
