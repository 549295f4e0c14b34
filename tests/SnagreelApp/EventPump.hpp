#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

namespace snagreel::testing {

// Runs the main thread's events until `done` holds; false when it still does not
// after a bound that only a failing test reaches.
inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::steady_clock::duration limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs the main thread's events for `span`.
inline void pumpFor(std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    pumpUntil([&] { return std::chrono::steady_clock::now() > until; });
}

} // namespace snagreel::testing
