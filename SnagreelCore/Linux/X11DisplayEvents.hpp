#pragma once

#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace snagreel {

class LifecycleSubscribers;

// Display events of the X server, delivered on the main executor: RandR screen,
// CRTC and output changes become screenParametersChanged; the DPMS power level,
// which the server does not announce, is polled and its transitions become
// displaySleep/displayWake. A server without DPMS (Xvfb) is never asleep. The
// connection is made and served by a thread of this source, so neither starting
// nor destroying it waits for the server; subscribers are only called on the main
// executor, never after unsubscribe or destruction.
class X11DisplayEvents final : public LifecycleEventSource {
public:
    // `displayName` empty: $DISPLAY. Returns at once; isConnected() becomes true
    // once the thread has connected.
    static std::shared_ptr<X11DisplayEvents> start(Executor& main, const std::string& displayName,
                                                   double dpmsPollSeconds = 2.0);
    ~X11DisplayEvents() override;
    X11DisplayEvents(const X11DisplayEvents&) = delete;
    X11DisplayEvents& operator=(const X11DisplayEvents&) = delete;

    std::uint64_t subscribe(std::function<void(CaptureLifecycleMonitor::Event)> handler) override;
    void unsubscribe(std::uint64_t token) override;

    bool isConnected() const;

private:
    X11DisplayEvents() = default;
    struct Worker;
    std::shared_ptr<LifecycleSubscribers> subscribers_;
    std::shared_ptr<Worker> worker_;
};

// Reads one display of the X server for the lifecycle monitor: the RandR output
// with the given id (the main one, primary else the first lit, when none is
// given). displayID is the output id, 0 when the output is gone or there is no
// server; active means connected and driven by a CRTC; asleep comes from DPMS;
// logical size equals the pixel size (X has no separate point space). onConsole
// is left empty. Confined to one thread (the main one); reconnects after the
// server went away. A server that does not answer within `patienceSeconds` gets
// the last reading handed out instead (nothing known to have changed), so the
// calling thread never waits longer than that.
class X11DisplayReader {
public:
    static constexpr double kPatienceSeconds = 3.0;
    explicit X11DisplayReader(std::string displayName, double patienceSeconds = kPatienceSeconds);
    ~X11DisplayReader();
    X11DisplayReader(const X11DisplayReader&) = delete;
    X11DisplayReader& operator=(const X11DisplayReader&) = delete;

    CaptureLifecycleMonitor::Snapshot read(std::optional<std::uint32_t> displayID);

private:
    struct Connection;
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace snagreel
