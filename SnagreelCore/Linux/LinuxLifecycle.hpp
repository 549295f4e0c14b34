#pragma once

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <memory>
#include <string>

namespace snagreel {

struct LinuxLifecycleOptions {
    std::string systemBusAddress; // empty: the system bus (logind)
    std::string displayName;      // empty: $DISPLAY
    // Empty: this process's logind session (see LogindEvents::Options).
    std::string sessionID;
    double dpmsPollSeconds = 2.0;
    // The settling delay; empty: the monitor's own on the main executor.
    CaptureLifecycleMonitor::Wait wait;
};

// A lifecycle monitor fed by logind (sleep, session) and the X server (DPMS,
// RandR), reading its snapshots from both. Its event threads stop when the
// monitor is destroyed; after stop() no event reaches it.
std::shared_ptr<CaptureLifecycleMonitor>
makeLinuxLifecycleMonitor(Executor& main, CaptureLifecycleMonitor::Suspension suspension,
                          CaptureLifecycleMonitor::DisplayChanged displayChanged,
                          LinuxLifecycleOptions options = {});

// The controller's monitor factory for makeLinuxLifecycleMonitor.
MonitorFactory linuxMonitorFactory(Executor& main, LinuxLifecycleOptions options = {});

} // namespace snagreel
