#pragma once

#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace snagreel {

// The subscribers of an event source whose events come from a thread of its
// own. They live on the main executor; the thread reaches them only through
// tasks holding them weakly, so a task still queued after the source is gone,
// or a handler removed meanwhile, sees nothing.
class LifecycleSubscribers : public std::enable_shared_from_this<LifecycleSubscribers> {
public:
    using Event = CaptureLifecycleMonitor::Event;

    explicit LifecycleSubscribers(Executor& main) : main_(main) {}

    // Main executor only.
    std::uint64_t add(std::function<void(Event)> handler) {
        const auto token = next_++;
        handlers_.emplace_back(token, std::move(handler));
        return token;
    }
    void remove(std::uint64_t token) {
        std::erase_if(handlers_, [token](const auto& entry) { return entry.first == token; });
    }

    // Any thread.
    void post(Event event) {
        main_.post([weak = weak_from_this(), event] {
            if (auto self = weak.lock()) {
                self->dispatch(event);
            }
        });
    }

private:
    void dispatch(Event event) {
        // A handler may unsubscribe itself or others: call the current ones only.
        const auto handlers = handlers_;
        for (const auto& current : handlers) {
            // clang 14 cannot capture a structured binding, so name the pair's parts.
            const std::uint64_t token = current.first;
            if (std::any_of(handlers_.begin(), handlers_.end(),
                            [&](const auto& entry) { return entry.first == token; })) {
                current.second(event);
            }
        }
    }

    Executor& main_;
    std::uint64_t next_ = 1;
    std::vector<std::pair<std::uint64_t, std::function<void(Event)>>> handlers_;
};

} // namespace snagreel
