#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace snagreel {

// Cancels an asynchronous operation once; later calls do nothing. An empty handle
// cancels nothing.
class CancelHandle {
public:
    CancelHandle() = default;
    explicit CancelHandle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    void cancel() {
        if (auto cancel = std::exchange(cancel_, nullptr)) {
            cancel();
        }
    }

private:
    std::function<void()> cancel_;
};

class LifecycleEventSource;

// Turns power, display and session events into named reasons to hold recording
// back ("blockers") and one signal that the captured display's geometry changed.
// Confined to the main executor: construct it, call it and deliver its events there.
class CaptureLifecycleMonitor {
public:
    struct Size {
        double width = 0;
        double height = 0;
        bool operator==(const Size&) const = default;
    };

    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };

    // One reading of the session and the display.
    struct Snapshot {
        std::optional<bool> onConsole; // empty when the session state is unknown
        std::uint32_t displayID = 0;   // 0 means no display
        bool active = false;
        bool asleep = false;
        Size pixelSize;
        Size logicalSize;
        double rotation = 0; // degrees
        // Where the display sits on the desktop, in pixels: a display that moved
        // (another one docked on its left, say) shows other pixels at the same size.
        Point origin;

        bool operator==(const Snapshot&) const = default;
    };

    enum class Event {
        systemSleep,
        systemWake,
        displaySleep,
        displayWake,
        sessionInactive,
        sessionActive,
        screenParametersChanged,
    };

    using Suspension = std::function<void(const std::string& name, bool active)>;
    using DisplayChanged = std::function<void()>;
    using SnapshotFunction = std::function<Snapshot(std::optional<std::uint32_t> displayID)>;
    // Starts the settling delay. The completion is called once: with success when the
    // delay elapsed, with a cancellation error once the returned handle is cancelled.
    using Wait = std::function<CancelHandle(Completion<void> done)>;

    static constexpr double kSettlingDelay = 0.25;

    // `snapshot` reads the platform (the Linux layer provides the real one; see
    // makeLinuxLifecycleMonitor). An empty `wait` waits kSettlingDelay on `main`.
    CaptureLifecycleMonitor(Executor& main, Suspension suspension, DisplayChanged displayChanged,
                            SnapshotFunction snapshot, Wait wait = {},
                            std::vector<std::shared_ptr<LifecycleEventSource>> sources = {});
    // Undoes the registrations; events and refreshes still in flight do nothing.
    ~CaptureLifecycleMonitor();
    CaptureLifecycleMonitor(const CaptureLifecycleMonitor&) = delete;
    CaptureLifecycleMonitor& operator=(const CaptureLifecycleMonitor&) = delete;

    // Registers for the events and refreshes at once; does nothing while registered.
    void begin();
    // Stops for good: later events and pending refreshes change nothing. Active
    // blockers are not reported as removed.
    void stop();
    void refresh();
    // Entry point of every event (the registrations call it in a main-thread task).
    void handle(Event event);

    // The display to watch; empty means the main display. After changing it the
    // owner calls forgetPrevious() and refresh().
    std::optional<std::uint32_t> displayID() const;
    void setDisplayID(std::optional<std::uint32_t> displayID);
    void forgetPrevious();

    const std::optional<Snapshot>& previous() const;
    const std::set<std::string>& blockers() const;
    bool systemDidWake() const;
    bool isStopped() const;
    bool hasPendingRefresh() const;

    // The settling delay on `executor`'s clock, cancellable.
    static Wait executorWait(Executor& executor, double seconds = kSettlingDelay);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Blocker names, as the controller receives and logs them.
namespace LifecycleBlocker {
inline constexpr const char* systemSleep = "system_sleep";
inline constexpr const char* displaySleep = "display_sleep";
inline constexpr const char* displayMissing = "display_missing";
inline constexpr const char* sessionInactive = "session_inactive";
inline constexpr const char* displayReconfiguring = "display_reconfiguring";
} // namespace LifecycleBlocker

// Where the monitor's events come from. Handlers are called on the main executor;
// after unsubscribe a handler is never called again.
class LifecycleEventSource {
public:
    virtual ~LifecycleEventSource() = default;
    virtual std::uint64_t
    subscribe(std::function<void(CaptureLifecycleMonitor::Event)> handler) = 0;
    virtual void unsubscribe(std::uint64_t token) = 0;
};

// A source whose events the owner injects, for tests and for adapters that already
// run on the main executor.
class ManualLifecycleEventSource final : public LifecycleEventSource {
public:
    std::uint64_t subscribe(std::function<void(CaptureLifecycleMonitor::Event)> handler) override;
    void unsubscribe(std::uint64_t token) override;
    void emit(CaptureLifecycleMonitor::Event event);
    std::size_t subscriberCount() const { return handlers_.size(); }

private:
    std::uint64_t next_ = 1;
    std::vector<std::pair<std::uint64_t, std::function<void(CaptureLifecycleMonitor::Event)>>>
        handlers_;
};

const char* rawValue(CaptureLifecycleMonitor::Event event);

} // namespace snagreel
