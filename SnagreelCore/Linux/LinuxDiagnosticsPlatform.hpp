#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"
#include "SnagreelCore/Linux/LinuxDiagnosticsRoots.hpp"

namespace snagreel {

// The collector's platform on Linux: rtnetlink path monitors and one shared
// thermal and power-saver source. The machine description is separate
// (readLinuxSystemInformation), since it is read per manifest, not monitored.
DiagnosticsPlatform makeLinuxDiagnosticsPlatform(const LinuxDiagnosticsRoots& roots = {});

} // namespace snagreel
