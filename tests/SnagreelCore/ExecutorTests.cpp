#include "SnagreelCore/Support/Executor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
