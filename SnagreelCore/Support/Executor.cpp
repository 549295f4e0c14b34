#include "SnagreelCore/Support/Executor.hpp"

#include "SnagreelCore/Support/Clock.hpp"

#include <chrono>

namespace snagreel {

namespace {
// What the calling thread is running a task of: a serial queue's shared state, or a
// manual executor. The state outlives its thread's tasks, so a queue released from its
// own thread can never be mistaken for a later queue allocated at the same address.
thread_local const void* currentRunner = nullptr;

struct CurrentScope {
    explicit CurrentScope(const void* runner) : previous(currentRunner) { currentRunner = runner; }
    ~CurrentScope() { currentRunner = previous; }
    const void* previous;
};
} // namespace

struct SerialQueue::State {
    struct Timed {
        std::function<void()> task;
        double period;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::function<void()>> tasks;
    std::multimap<double, Timed> timers;
    bool stopping = false;

    void run();
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_] { state->run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // The thread holds the state; it finishes once the running task returns.
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SerialQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
}

TimerHandle SerialQueue::schedule(double delay, double period, std::function<void()> task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(state_->mutex);
        state_->timers.emplace(monotonicSeconds() + std::max(0.0, delay),
                               State::Timed{std::move(task), period, cancelled});
    }
    state_->wake.notify_one();
    return TimerHandle(cancelled);
}

bool SerialQueue::isCurrent() const {
    return currentRunner == state_.get();
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

void SerialQueue::State::run() {
    CurrentScope scope(this);
    std::unique_lock lock(mutex);
    for (;;) {
        if (!tasks.empty()) {
            auto batch = std::move(tasks);
            tasks.clear();
            lock.unlock();
            for (auto& task : batch) {
                task();
            }
            // Released before relocking: a capture's destructor may post here.
            batch.clear();
            lock.lock();
            continue;
        }
        // Cancelled timers are dropped lazily, when they reach the front.
        while (!timers.empty() && timers.begin()->second.cancelled->load()) {
            timers.erase(timers.begin());
        }
        const double now = monotonicSeconds();
        if (!timers.empty() && timers.begin()->first <= now) {
            auto node = timers.extract(timers.begin());
            Timed timed = std::move(node.mapped());
            const double due = node.key();
            lock.unlock();
            timed.task();
            if (timed.period <= 0 || timed.cancelled->load()) {
                timed = Timed{};
            }
            lock.lock();
            if (timed.task && stopping) {
                lock.unlock();
                timed = Timed{};
                lock.lock();
            } else if (timed.task) {
                // Keep the cadence anchored to the schedule, but never queue a burst
                // of catch-up firings after a stall.
                double next = due + timed.period;
                const double after = monotonicSeconds();
                if (next <= after) {
                    next = after + timed.period;
                }
                timers.emplace(next, std::move(timed));
            }
            continue;
        }
        if (stopping) {
            return;
        }
        if (timers.empty()) {
            wake.wait(lock);
        } else {
            const double wait = timers.begin()->first - now;
            wake.wait_for(lock, std::chrono::duration<double>(wait));
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
