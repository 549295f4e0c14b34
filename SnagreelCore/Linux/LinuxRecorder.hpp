#pragma once

// Puts the Linux adapters together: the platform the capture engine runs on and
// the environment of a capture controller on this machine.

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <string>

namespace snagreel {

struct LinuxRecorderOptions {
    // X display to record; empty means $DISPLAY.
    std::string displayName;
    // D-Bus address of the system bus (logind); empty means the default system bus.
    std::string systemBusAddress;
    // Watch sleep, session and display events (off for benchmarks that want none).
    bool monitorLifecycle = true;
};

CapturePlatform makeLinuxCapturePlatform(const LinuxRecorderOptions& options);

// The configuration with the backend this session can record: a Wayland session
// records through the portal's stream whatever the configuration asked for.
CaptureConfiguration withSessionBackend(CaptureConfiguration configuration);

// One new engine per start attempt, each with its own capture queue; completions
// reach `main`.
EngineFactory linuxEngineFactory(CapturePlatform platform, Executor& main);

CaptureControllerEnvironment linuxControllerEnvironment(Executor& main,
                                                        const LinuxRecorderOptions& options);

} // namespace snagreel
