#pragma once

// Shared by the screen streams, whose samples reach the engine through a queue
// they do not own.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace snagreel {

// Lets callbacks through until closed. Closing from another thread waits for a
// callback still running, so that none runs once close() has returned; closing from
// inside a callback (the engine stops its source from its own queue) does not wait.
// Callbacks are expected one at a time (they run on one serial queue).
class CallbackGate {
public:
    void invoke(const std::function<void()>& callback) {
        {
            std::lock_guard lock(mutex_);
            if (!open_) {
                return;
            }
            runner_ = std::this_thread::get_id();
            ++running_;
        }
        callback();
        {
            std::lock_guard lock(mutex_);
            --running_;
            runner_ = {};
        }
        done_.notify_all();
    }

    void close() {
        std::unique_lock lock(mutex_);
        open_ = false;
        if (runner_ == std::this_thread::get_id()) {
            return;
        }
        done_.wait(lock, [this] { return running_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool open_ = true;
    int running_ = 0;
    std::thread::id runner_;
};

} // namespace snagreel
