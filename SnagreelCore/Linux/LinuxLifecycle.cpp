#include "SnagreelCore/Linux/LinuxLifecycle.hpp"

#include "SnagreelCore/Linux/LogindEvents.hpp"
#include "SnagreelCore/Linux/PortalScreenCapture.hpp"
#include "SnagreelCore/Linux/SessionPlatform.hpp"
#include "SnagreelCore/Linux/X11DisplayEvents.hpp"

namespace snagreel {

std::shared_ptr<CaptureLifecycleMonitor>
makeLinuxLifecycleMonitor(Executor& main, CaptureLifecycleMonitor::Suspension suspension,
                          CaptureLifecycleMonitor::DisplayChanged displayChanged,
                          LinuxLifecycleOptions options) {
    auto logind = LogindEvents::start(main, {options.systemBusAddress, options.sessionID});
    if (currentSessionPlatform() == SessionPlatform::wayland) {
        // A Wayland compositor's outputs are not ours to watch: the portal's stream
        // reports a lost or resized screen itself. Only logind's events remain.
        auto snapshot = [logind](std::optional<std::uint32_t>) {
            CaptureLifecycleMonitor::Snapshot s;
            s.displayID = kPortalDisplayID;
            s.active = true;
            s.onConsole = logind->onConsole();
            return s;
        };
        return std::make_shared<CaptureLifecycleMonitor>(
            main, std::move(suspension), std::move(displayChanged), std::move(snapshot),
            std::move(options.wait), std::vector<std::shared_ptr<LifecycleEventSource>>{logind});
    }
    auto display = X11DisplayEvents::start(main, options.displayName, options.dpmsPollSeconds);
    auto reader = std::make_shared<X11DisplayReader>(options.displayName);
    auto snapshot = [logind, reader](std::optional<std::uint32_t> displayID) {
        CaptureLifecycleMonitor::Snapshot s = reader->read(displayID);
        s.onConsole = logind->onConsole();
        return s;
    };
    return std::make_shared<CaptureLifecycleMonitor>(
        main, std::move(suspension), std::move(displayChanged), std::move(snapshot),
        std::move(options.wait),
        std::vector<std::shared_ptr<LifecycleEventSource>>{logind, display});
}

MonitorFactory linuxMonitorFactory(Executor& main, LinuxLifecycleOptions options) {
    return [&main,
            options = std::move(options)](std::function<void(const std::string&, bool)> suspension,
                                          std::function<void()> displayChanged) {
        return makeLinuxLifecycleMonitor(main, std::move(suspension), std::move(displayChanged),
                                         options);
    };
}

} // namespace snagreel
