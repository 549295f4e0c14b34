#include "SnagreelCore/Support/Executor.hpp"

#include "SnagreelCore/Support/Clock.hpp"

#include <chrono>

namespace snagreel {

namespace {
thread_local const Executor* currentExecutor = nullptr;

struct CurrentScope {
    explicit CurrentScope(const Executor* executor) : previous(currentExecutor) {
        currentExecutor = executor;
    }
    ~CurrentScope() { currentExecutor = previous; }
    const Executor* previous;
};
} // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SerialQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

TimerHandle SerialQueue::schedule(double delay, double period, std::function<void()> task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(monotonicSeconds() + std::max(0.0, delay),
                        Timed{std::move(task), period, cancelled});
    }
    wake_.notify_one();
    return TimerHandle(cancelled);
}

bool SerialQueue::isCurrent() const {
    return currentExecutor == this;
}

double SerialQueue::now() const {
    return monotonicSeconds();
}

void SerialQueue::drain() {
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    post([&] {
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_all();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::run() {
    CurrentScope scope(this);
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!tasks_.empty()) {
            auto batch = std::move(tasks_);
            tasks_.clear();
            lock.unlock();
            for (auto& task : batch) {
                task();
            }
            lock.lock();
            continue;
        }
        // Cancelled timers are dropped lazily, when they reach the front.
        while (!timers_.empty() && timers_.begin()->second.cancelled->load()) {
            timers_.erase(timers_.begin());
        }
        const double now = monotonicSeconds();
        if (!timers_.empty() && timers_.begin()->first <= now) {
            auto node = timers_.extract(timers_.begin());
            Timed timed = std::move(node.mapped());
            const double due = node.key();
            lock.unlock();
            timed.task();
            lock.lock();
            if (timed.period > 0 && !timed.cancelled->load() && !stopping_) {
                // Keep the cadence anchored to the schedule, but never queue a burst
                // of catch-up firings after a stall.
                double next = due + timed.period;
                const double after = monotonicSeconds();
                if (next <= after) {
                    next = after + timed.period;
                }
                timers_.emplace(next, std::move(timed));
            }
            continue;
        }
        if (stopping_) {
            return;
        }
        if (timers_.empty()) {
            wake_.wait(lock);
        } else {
            const double wait = timers_.begin()->first - now;
            wake_.wait_for(lock, std::chrono::duration<double>(wait));
        }
    }
}

void ManualExecutor::post(std::function<void()> task) {
    tasks_.push_back(std::move(task));
}

TimerHandle ManualExecutor::schedule(double delay, double period, std::function<void()> task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    timers_.emplace(now_ + std::max(0.0, delay),
                    Timed{std::move(task), period, cancelled, nextOrder_++});
    return TimerHandle(cancelled);
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t count = 0;
    for (;;) {
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.erase(tasks_.begin());
            CurrentScope scope(this);
            running_ = true;
            task();
            running_ = false;
            ++count;
        }
        while (!timers_.empty() && timers_.begin()->second.cancelled->load()) {
            timers_.erase(timers_.begin());
        }
        if (!timers_.empty() && timers_.begin()->first <= now_) {
            fire(now_);
            ++count;
            continue;
        }
        return count;
    }
}

void ManualExecutor::fire(double) {
    auto node = timers_.extract(timers_.begin());
    Timed timed = std::move(node.mapped());
    const double due = node.key();
    {
        CurrentScope scope(this);
        running_ = true;
        timed.task();
        running_ = false;
    }
    if (timed.period > 0 && !timed.cancelled->load()) {
        timers_.emplace(due + timed.period, std::move(timed));
    }
}

void ManualExecutor::advance(double seconds) {
    const double target = now_ + std::max(0.0, seconds);
    runUntilIdle();
    for (;;) {
        while (!timers_.empty() && timers_.begin()->second.cancelled->load()) {
            timers_.erase(timers_.begin());
        }
        if (timers_.empty() || timers_.begin()->first > target) {
            break;
        }
        now_ = std::max(now_, timers_.begin()->first);
        fire(now_);
        runUntilIdle();
    }
    now_ = target;
    runUntilIdle();
}

bool ManualExecutor::runNextTimer() {
    runUntilIdle();
    while (!timers_.empty() && timers_.begin()->second.cancelled->load()) {
        timers_.erase(timers_.begin());
    }
    if (timers_.empty()) {
        return false;
    }
    now_ = std::max(now_, timers_.begin()->first);
    fire(now_);
    runUntilIdle();
    return true;
}

std::size_t ManualExecutor::pendingTimers() const {
    std::size_t count = 0;
    for (const auto& [at, timed] : timers_) {
        count += timed.cancelled->load() ? 0 : 1;
    }
    return count;
}

} // namespace snagreel
