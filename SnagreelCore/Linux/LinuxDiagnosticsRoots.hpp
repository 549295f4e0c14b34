#pragma once

#include <filesystem>
#include <string>

namespace snagreel {

// Which D-Bus connection the power-saver reader asks power-profiles-daemon on.
struct LinuxBus {
    enum class Kind { system, address, none };
    Kind kind = Kind::system;
    std::string address; // for Kind::address, e.g. "unix:path=/tmp/x/bus"

    static LinuxBus system() { return {}; }
    static LinuxBus at(std::string address) { return {Kind::address, std::move(address)}; }
    static LinuxBus none() { return {Kind::none, {}}; }
};

// Where the Linux diagnostics readers look. The defaults are the real system;
// tests point them at fake trees in a temporary folder and at a private bus.
struct LinuxDiagnosticsRoots {
    std::filesystem::path sysClassNet = "/sys/class/net";
    std::filesystem::path sysClassThermal = "/sys/class/thermal";
    // Holds platform_profile, the firmware's power profile.
    std::filesystem::path sysFirmwareAcpi = "/sys/firmware/acpi";
    // Holds product_name, the machine model.
    std::filesystem::path sysClassDmiId = "/sys/class/dmi/id";
    LinuxBus powerProfilesBus = LinuxBus::system();
    // Linux has no general thermal change event, so thermal zones (and the
    // firmware profile when no power-profiles-daemon answers) are re-read this often.
    double statePollSeconds = 5.0;
};

} // namespace snagreel
