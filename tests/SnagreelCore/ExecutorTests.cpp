#include "SnagreelCore/Support/Executor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace snagreel;

TEST(ManualExecutor, RunsTasksInOrderAndTimersOnVirtualTime) {
    ManualExecutor executor(0);
    std::vector<std::string> log;
    executor.post([&] { log.push_back("a"); });
    auto repeating =
        executor.schedule(1, 0.5, [&] { log.push_back("tick@" + std::to_string(executor.now())); });
    executor.schedule(1.2, 0, [&] { log.push_back("once"); });
    executor.post([&] { log.push_back("b"); });
    EXPECT_TRUE(log.empty());
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
    executor.advance(2.0);
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2], "tick@" + std::to_string(1.0));
    EXPECT_EQ(log[3], "once");
    EXPECT_EQ(log[5], "tick@" + std::to_string(2.0));
    repeating.cancel();
    executor.advance(5);
    EXPECT_EQ(log.size(), 6u);
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST(SerialQueue, RunsSeriallyOnItsOwnThreadAndFiresTimers) {
    SerialQueue queue("test.capture");
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    std::atomic<int> ran{0};
    for (int i = 0; i < 100; ++i) {
        queue.post([&] {
            int now = ++concurrent;
            maxConcurrent = std::max(maxConcurrent.load(), now);
            EXPECT_TRUE(queue.isCurrent());
            --concurrent;
            ++ran;
        });
    }
    std::atomic<int> fired{0};
    auto timer = queue.schedule(0, 0.01, [&] { ++fired; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    timer.cancel();
    queue.drain();
    const int firedAtCancel = fired.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ran.load(), 100);
    EXPECT_EQ(maxConcurrent.load(), 1);
    EXPECT_GE(firedAtCancel, 2);
    EXPECT_EQ(fired.load(), firedAtCancel);
    EXPECT_FALSE(queue.isCurrent());
}

namespace {
// Signals when the closure holding it is destroyed, which for a timer that never
// fires is when the queue's thread lets go of its state.
struct ReleaseSignal {
    ~ReleaseSignal() { released->set_value(); }
    std::shared_ptr<std::promise<void>> released = std::make_shared<std::promise<void>>();
};
} // namespace

TEST(SerialQueue, ReleasedFromItsOwnTaskFinishesPostedTasksAndLetsItsStateGo) {
    auto queue = std::make_shared<SerialQueue>("test.self-release");
    std::promise<void> gate;
    std::mutex logMutex;
    std::vector<std::string> log;
    auto note = [&](std::string entry) {
        std::lock_guard lock(logMutex);
        log.push_back(std::move(entry));
    };

    auto signal = std::make_shared<ReleaseSignal>();
    auto released = signal->released->get_future();
    queue->schedule(3600, 0, [signal = std::move(signal)] {});
    queue->post([&, self = queue, opened = gate.get_future().share()]() mutable {
        opened.wait();
        // The queue cannot join its own thread from here, yet what was posted behind
        // this task must still run and the thread must not touch the freed queue.
        self.reset();
        note("released");
    });
    // Queued behind the releasing task, so they are pending when the queue goes away.
    queue->post([&] { note("after-1"); });
    queue->post([&] { note("after-2"); });
    queue.reset();
    gate.set_value();

    ASSERT_EQ(released.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    std::lock_guard lock(logMutex);
    EXPECT_EQ(log, (std::vector<std::string>{"released", "after-1", "after-2"}));
}

TEST(SerialQueue, DestroyedFromAnotherThreadRunsWhatWasPostedThenJoins) {
    std::atomic<int> ran{0};
    std::atomic<bool> sawCurrent{true};
    {
        SerialQueue queue("test.join");
        for (int i = 0; i < 50; ++i) {
            queue.post([&] {
                sawCurrent = sawCurrent && queue.isCurrent();
                ++ran;
            });
        }
        queue.schedule(3600, 0, [&] { ran += 1000; });
    }
    EXPECT_EQ(ran.load(), 50);
    EXPECT_TRUE(sawCurrent.load());
}
