#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace snagreel {

// Handle to a scheduled timer. Cancelling is idempotent and safe from any thread;
// a cancelled timer never fires again (a firing already running completes).
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}
    void cancel() {
        if (cancelled_) {
            cancelled_->store(true);
        }
    }
    bool isActive() const { return cancelled_ && !cancelled_->load(); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// A serial executor: tasks run one at a time, in the order posted, and timers fire
// on the same executor. The engine's capture queue, each export queue and the main
// thread all have this shape, so state machines can be driven by a manual executor.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> task) = 0;
    // Fires `task` once after `delay` seconds, then every `period` seconds when
    // period > 0. Times are on the executor's own clock.
    virtual TimerHandle schedule(double delay, double period, std::function<void()> task) = 0;
    // Whether the calling thread is currently running a task of this executor.
    virtual bool isCurrent() const = 0;
    // Seconds on the executor's clock (the monotonic clock for real queues).
    virtual double now() const = 0;
};

// An executor backed by its own thread, timed by the monotonic clock.
class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string label);
    // Runs tasks already posted, then joins. When the last reference drops inside one
    // of the queue's own tasks the thread cannot be joined: it then runs what was
    // already posted after that task returns and exits on its own.
    ~SerialQueue() override;

    void post(std::function<void()> task) override;
    TimerHandle schedule(double delay, double period, std::function<void()> task) override;
    bool isCurrent() const override;
    double now() const override;
    const std::string& label() const { return label_; }

    // Blocks until every task posted before this call has run. Never call it from
    // the queue itself.
    void drain();

private:
    // Owned jointly with the thread, so that a queue destroyed from its own thread
    // leaves the run loop something to finish on.
    struct State;

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// A single-threaded executor with virtual time for tests: nothing runs until the
// test calls runUntilIdle() or advance(), on the test's own thread.
class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(double start = 1000.0) : now_(start) {}

    void post(std::function<void()> task) override;
    TimerHandle schedule(double delay, double period, std::function<void()> task) override;
    bool isCurrent() const override { return running_; }
    double now() const override { return now_; }

    // Runs posted tasks (and timers due now) until none is left. Returns how many ran.
    std::size_t runUntilIdle();
    // Moves virtual time forward by `seconds`, firing timers in time order.
    void advance(double seconds);
    // Moves to the next timer's time and runs it; false when no timer is pending.
    bool runNextTimer();
    std::size_t pendingTimers() const;

private:
    struct Timed {
        std::function<void()> task;
        double period;
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::uint64_t order;
    };
    void fire(double at);

    double now_;
    bool running_ = false;
    std::uint64_t nextOrder_ = 0;
    std::vector<std::function<void()>> tasks_;
    std::multimap<double, Timed> timers_;
};

} // namespace snagreel
