#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace snagreel {

// The architecture name as the manifest spells it: "aarch64" is "arm64", the
// other uname machine names (x86_64, riscv64, ...) are kept.
std::string linuxProcessArchitecture(std::string_view machine);

// The leading major.minor.patch digits of a kernel release ("6.1.0-18-amd64"
// gives "6.1.0", "6.8" gives "6.8.0"); parts that are missing read as 0.
std::string linuxOsVersion(std::string_view release);

// The machine as uname, sysconf and the DMI tables under `sysClassDmiId`
// describe it. osBuild and hardwareModel are raw text; the collector decides
// whether they are fit for a manifest.
SystemInformation
readLinuxSystemInformation(const std::filesystem::path& sysClassDmiId = "/sys/class/dmi/id");

} // namespace snagreel
