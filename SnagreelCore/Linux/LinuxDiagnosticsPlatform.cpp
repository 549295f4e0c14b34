#include "SnagreelCore/Linux/LinuxDiagnosticsPlatform.hpp"

#include "SnagreelCore/Linux/LinuxNetworkPathMonitor.hpp"
#include "SnagreelCore/Linux/LinuxSystemState.hpp"

namespace snagreel {

DiagnosticsPlatform makeLinuxDiagnosticsPlatform(const LinuxDiagnosticsRoots& roots) {
    DiagnosticsPlatform platform;
    platform.makeNetworkPathMonitor = [sysClassNet = roots.sysClassNet] {
        return std::unique_ptr<NetworkPathMonitor>(
            std::make_unique<LinuxNetworkPathMonitor>(sysClassNet));
    };
    platform.systemState = std::make_shared<LinuxSystemState>(roots);
    return platform;
}

} // namespace snagreel
