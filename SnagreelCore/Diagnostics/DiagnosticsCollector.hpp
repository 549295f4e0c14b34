#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace snagreel {

// Keeps one capture engine's diagnostics buffer filled: the network path and the
// thermal and power-saver state, read once when monitoring starts and again on
// every change the platform reports, stamped with `clock`. Every method must be
// called on `queue`; platform deliveries are moved onto it before they touch the
// buffer, and readings taken under an older generation are dropped. The queue is
// held weakly: a change the platform is still delivering when the collector and
// its owner's queue are gone posts nowhere.
class DiagnosticsCollector {
public:
    DiagnosticsCollector(std::shared_ptr<Executor> queue, double maximumDuration,
                         DiagnosticsPlatform platform, Clock clock);
    ~DiagnosticsCollector();

    DiagnosticsCollector(const DiagnosticsCollector&) = delete;
    DiagnosticsCollector& operator=(const DiagnosticsCollector&) = delete;

    // Begins (or restarts) monitoring with a fresh generation and initial reading.
    void start();
    // Empties the history; monitoring, if it was on, restarts.
    void clear();
    // Ends monitoring and empties the history.
    void stop();

    // Prunes both timelines up to `now` (the engine calls this every tick).
    void advance(double now);
    bool isMonitoring() const;

    DiagnosticsBuffer& buffer();
    const DiagnosticsBuffer& buffer() const;

    // Platform readings in the form the timelines keep.
    static NetworkPathState networkState(const NetworkPath& path);
    static SystemState::Thermal thermalState(PlatformThermalState state);

private:
    // What deliveries may reach: held weakly by every handler, so a collector
    // that is gone is never touched by a late reading.
    struct Inner {
        Inner(double maximumDuration, std::shared_ptr<SystemStateSource> source, Clock clock);
        void recordNetwork(std::int64_t generation, const NetworkPath& path);
        void recordSystem(std::int64_t generation);

        DiagnosticsBuffer buffer;
        std::shared_ptr<SystemStateSource> source;
        Clock clock;
    };

    void cancelObservers();

    std::weak_ptr<Executor> queue_;
    std::shared_ptr<Inner> inner_;
    std::function<std::unique_ptr<NetworkPathMonitor>()> makeMonitor_;
    std::unique_ptr<NetworkPathMonitor> monitor_;
    std::vector<std::uint64_t> notifications_;
};

} // namespace snagreel
