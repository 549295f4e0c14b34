#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace snagreel::testing {

// Waits, bounded, for something another thread makes true. The bound is only
// reached when a test is failing.
template <typename Predicate>
bool eventually(Predicate&& predicate,
                std::chrono::steady_clock::duration limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Receives one result delivered on any thread; wait() blocks until it arrives.
template <typename T> class Delivered {
public:
    // The completion to hand to the operation; it must not outlive this object.
    auto receiver() {
        return [this](T result) {
            std::lock_guard lock(mutex_);
            outcome_.emplace(std::move(result));
            arrived_.notify_all();
        };
    }

    T wait() {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [&] { return outcome_.has_value(); });
        return std::move(*outcome_);
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<T> outcome_;
};

} // namespace snagreel::testing
