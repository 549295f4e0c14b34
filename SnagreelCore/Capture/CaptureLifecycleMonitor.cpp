#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"

#include <algorithm>

namespace snagreel {

using Monitor = CaptureLifecycleMonitor;

struct CaptureLifecycleMonitor::State : std::enable_shared_from_this<State> {
    State(Executor& main, Suspension suspension, DisplayChanged displayChanged,
          SnapshotFunction snapshot, Wait wait,
          std::vector<std::shared_ptr<LifecycleEventSource>> sources)
        : main(main), suspension(std::move(suspension)), displayChanged(std::move(displayChanged)),
          snapshot(std::move(snapshot)), wait(std::move(wait)), sources(std::move(sources)) {}

    // The pending delayed refresh: cancelling flags it and cancels its wait.
    struct RefreshTask {
        std::shared_ptr<bool> cancelled;
        CancelHandle wait;
    };

    Executor& main;
    Suspension suspension;
    DisplayChanged displayChanged;
    SnapshotFunction snapshot;
    Wait wait;
    std::vector<std::shared_ptr<LifecycleEventSource>> sources;
    std::vector<std::pair<std::shared_ptr<LifecycleEventSource>, std::uint64_t>> observers;
    std::optional<std::uint32_t> displayID;
    std::optional<Snapshot> previous;
    std::set<std::string> blockers;
    std::optional<RefreshTask> refreshTask;
    bool systemDidWake = false;
    bool stopped = false;

    Snapshot read() {
        if (!snapshot) {
            return Snapshot{}; // nothing to read: no display known
        }
        return snapshot(displayID);
    }

    void add(const std::string& name) {
        if (blockers.insert(name).second && suspension) {
            suspension(name, true);
        }
    }

    void remove(const std::string& name) {
        if (blockers.erase(name) > 0 && suspension) {
            suspension(name, false);
        }
    }

    static bool usable(const Snapshot& s) { return s.displayID != 0 && s.active; }

    static bool geometryDiffers(const Snapshot& a, const Snapshot& b) {
        if (!usable(a) || !usable(b)) {
            return false;
        }
        return a.displayID != b.displayID || a.pixelSize != b.pixelSize ||
               a.logicalSize != b.logicalSize || a.rotation != b.rotation || a.origin != b.origin;
    }

    void establishBlockers(const Snapshot& s) {
        if (s.onConsole.has_value() && !*s.onConsole) {
            add(LifecycleBlocker::sessionInactive);
        }
        if (!usable(s)) {
            add(LifecycleBlocker::displayMissing);
        } else if (s.asleep) {
            add(LifecycleBlocker::displaySleep);
        }
    }

    void cancelRefresh() {
        if (refreshTask) {
            auto task = std::move(*refreshTask);
            refreshTask.reset();
            *task.cancelled = true;
            task.wait.cancel();
        }
    }

    void refresh() {
        if (stopped) {
            return;
        }
        const Snapshot s = read();
        establishBlockers(s);
        if (previous && geometryDiffers(s, *previous) && blockers.empty() && displayChanged) {
            displayChanged();
        }
        // The callbacks above may have stopped the monitor; the reading still stands.
        previous = s;
        if (s.onConsole.value_or(false)) {
            remove(LifecycleBlocker::sessionInactive);
        }
        if (usable(s)) {
            remove(LifecycleBlocker::displayMissing);
            if (!s.asleep) {
                remove(LifecycleBlocker::displaySleep);
            }
        }
        if (systemDidWake) {
            systemDidWake = false;
            remove(LifecycleBlocker::systemSleep);
        }
        remove(LifecycleBlocker::displayReconfiguring);
    }

    void scheduleRefresh() {
        cancelRefresh();
        auto cancelled = std::make_shared<bool>(false);
        std::weak_ptr<State> weak = weak_from_this();
        Executor* executor = &main;
        // The wait may complete on any thread; the refresh itself runs as a task on
        // the main executor, where the cancellation flag is also read.
        auto done = [weak, cancelled, executor](Result<void> result) {
            if (!result) {
                return;
            }
            executor->post([weak, cancelled] {
                if (*cancelled) {
                    return;
                }
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                if (self->refreshTask && self->refreshTask->cancelled == cancelled) {
                    self->refreshTask.reset();
                }
                self->refresh();
            });
        };
        refreshTask = RefreshTask{cancelled, {}};
        CancelHandle handle = wait ? wait(std::move(done)) : CancelHandle{};
        // The wait may have failed synchronously and something may have replaced the
        // task meanwhile; only keep the handle on the task it belongs to.
        if (refreshTask && refreshTask->cancelled == cancelled) {
            refreshTask->wait = std::move(handle);
        } else {
            handle.cancel();
        }
    }

    void handle(Event event) {
        if (stopped) {
            return;
        }
        switch (event) {
        case Event::systemSleep:
            systemDidWake = false;
            cancelRefresh();
            add(LifecycleBlocker::systemSleep);
            break;
        case Event::systemWake:
            systemDidWake = true;
            scheduleRefresh();
            break;
        case Event::displaySleep:
            cancelRefresh();
            add(LifecycleBlocker::displaySleep);
            break;
        case Event::displayWake:
            scheduleRefresh();
            break;
        case Event::sessionInactive:
            cancelRefresh();
            add(LifecycleBlocker::sessionInactive);
            break;
        case Event::sessionActive:
            scheduleRefresh();
            break;
        case Event::screenParametersChanged: {
            const Snapshot s = read();
            establishBlockers(s);
            if (stopped) {
                return;
            }
            if (previous && geometryDiffers(s, *previous)) {
                add(LifecycleBlocker::displayReconfiguring);
            }
            if (stopped) {
                return;
            }
            scheduleRefresh();
            break;
        }
        }
    }

    void begin() {
        if (!observers.empty()) {
            return;
        }
        stopped = false;
        std::weak_ptr<State> weak = weak_from_this();
        for (const auto& source : sources) {
            if (!source) {
                continue;
            }
            Executor* executor = &main;
            const auto token = source->subscribe([weak, executor](Event event) {
                executor->post([weak, event] {
                    if (auto self = weak.lock()) {
                        self->handle(event);
                    }
                });
            });
            observers.emplace_back(source, token);
        }
        refresh();
    }

    void stop() {
        stopped = true;
        cancelRefresh();
        auto registered = std::move(observers);
        observers.clear();
        for (auto& [source, token] : registered) {
            source->unsubscribe(token);
        }
    }
};

CaptureLifecycleMonitor::CaptureLifecycleMonitor(
    Executor& main, Suspension suspension, DisplayChanged displayChanged, SnapshotFunction snapshot,
    Wait wait, std::vector<std::shared_ptr<LifecycleEventSource>> sources) {
    if (!wait) {
        wait = executorWait(main);
    }
    state_ = std::make_shared<State>(main, std::move(suspension), std::move(displayChanged),
                                     std::move(snapshot), std::move(wait), std::move(sources));
}

CaptureLifecycleMonitor::~CaptureLifecycleMonitor() {
    if (state_) {
        state_->stop();
    }
}

void CaptureLifecycleMonitor::begin() {
    state_->begin();
}

void CaptureLifecycleMonitor::stop() {
    state_->stop();
}

void CaptureLifecycleMonitor::refresh() {
    state_->refresh();
}

void CaptureLifecycleMonitor::handle(Event event) {
    state_->handle(event);
}

std::optional<std::uint32_t> CaptureLifecycleMonitor::displayID() const {
    return state_->displayID;
}

void CaptureLifecycleMonitor::setDisplayID(std::optional<std::uint32_t> displayID) {
    state_->displayID = displayID;
}

void CaptureLifecycleMonitor::forgetPrevious() {
    state_->previous.reset();
}

const std::optional<Monitor::Snapshot>& CaptureLifecycleMonitor::previous() const {
    return state_->previous;
}

const std::set<std::string>& CaptureLifecycleMonitor::blockers() const {
    return state_->blockers;
}

bool CaptureLifecycleMonitor::systemDidWake() const {
    return state_->systemDidWake;
}

bool CaptureLifecycleMonitor::isStopped() const {
    return state_->stopped;
}

bool CaptureLifecycleMonitor::hasPendingRefresh() const {
    return state_->refreshTask.has_value();
}

Monitor::Wait CaptureLifecycleMonitor::executorWait(Executor& executor, double seconds) {
    return [&executor, seconds](Completion<void> done) {
        // Whichever of the timer and the cancel comes first completes the wait.
        auto pending = std::make_shared<Completion<void>>(std::move(done));
        auto timer = executor.schedule(seconds, 0, [pending] {
            if (auto done = std::exchange(*pending, nullptr)) {
                done(Result<void>{});
            }
        });
        return CancelHandle([pending, timer, &executor]() mutable {
            timer.cancel();
            if (auto done = std::exchange(*pending, nullptr)) {
                executor.post([done = std::move(done)] { done(Unexpected{Error::cancelled()}); });
            }
        });
    };
}

std::uint64_t
ManualLifecycleEventSource::subscribe(std::function<void(CaptureLifecycleMonitor::Event)> handler) {
    const auto token = next_++;
    handlers_.emplace_back(token, std::move(handler));
    return token;
}

void ManualLifecycleEventSource::unsubscribe(std::uint64_t token) {
    std::erase_if(handlers_, [token](const auto& entry) { return entry.first == token; });
}

void ManualLifecycleEventSource::emit(CaptureLifecycleMonitor::Event event) {
    auto handlers = handlers_;
    for (auto& [token, handler] : handlers) {
        handler(event);
    }
}

const char* rawValue(CaptureLifecycleMonitor::Event event) {
    switch (event) {
    case Monitor::Event::systemSleep:
        return "systemSleep";
    case Monitor::Event::systemWake:
        return "systemWake";
    case Monitor::Event::displaySleep:
        return "displaySleep";
    case Monitor::Event::displayWake:
        return "displayWake";
    case Monitor::Event::sessionInactive:
        return "sessionInactive";
    case Monitor::Event::sessionActive:
        return "sessionActive";
    case Monitor::Event::screenParametersChanged:
        return "screenParametersChanged";
    }
    return "unknown";
}

} // namespace snagreel
