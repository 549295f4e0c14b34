#pragma once

#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <memory>
#include <optional>
#include <string>

namespace snagreel {

class LifecycleSubscribers;

// Sleep and session events from logind, delivered on the main executor:
// PrepareForSleep(true/false) become systemSleep/systemWake; the session's Active
// property (false while another session owns the seat) becomes
// sessionInactive/sessionActive. Locking the screen is not an event: recording
// goes on behind the locker. The bus is served by a thread of this source;
// subscribers are only ever called on the main executor, and never after
// unsubscribe or destruction.
class LogindEvents final : public LifecycleEventSource {
public:
    struct Options {
        std::string busAddress; // empty: the system bus
        // Empty: the session of this process (GetSessionByPID), then
        // $XDG_SESSION_ID, then logind's "auto" session.
        std::string sessionID;
    };

    // Connects and reads the session before returning; a missing or silent
    // logind costs at most a few short method-call timeouts.
    static std::shared_ptr<LogindEvents> start(Executor& main, Options options);
    ~LogindEvents() override;
    LogindEvents(const LogindEvents&) = delete;
    LogindEvents& operator=(const LogindEvents&) = delete;

    std::uint64_t subscribe(std::function<void(CaptureLifecycleMonitor::Event)> handler) override;
    void unsubscribe(std::uint64_t token) override;

    // Whether the session owns the console (Active, locked or not). Empty when
    // logind or the session is unknown. Safe from any thread.
    std::optional<bool> onConsole() const;
    // The session object followed; empty when none was found.
    std::string sessionPath() const;
    bool isConnected() const;

private:
    LogindEvents() = default;
    struct Worker;
    std::shared_ptr<LifecycleSubscribers> subscribers_;
    std::unique_ptr<Worker> worker_;
};

} // namespace snagreel
