#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"
#include "SnagreelCore/Linux/LinuxDiagnosticsRoots.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace snagreel {

// The worst state over every thermal zone under `sysClassThermal` that has a
// readable temperature and at least one usable trip point (passive, hot or
// critical); `other` when there is none.
PlatformThermalState readLinuxThermalState(const std::filesystem::path& sysClassThermal);

// Whether the firmware profile `<sysFirmwareAcpi>/platform_profile` is
// "low-power"; absent when the file is missing or unreadable.
std::optional<bool> readPlatformProfileLowPower(const std::filesystem::path& sysFirmwareAcpi);

// Whether a power-profiles-daemon profile name is the power saver.
inline bool isPowerSaverProfile(std::string_view profile) {
    return profile == "power-saver";
}

// Thermal pressure and the power saver on Linux.
//
// The power saver comes from power-profiles-daemon's ActiveProfile on the given
// bus (its PropertiesChanged signal reports changes at once); when no daemon
// answers, from the firmware's platform_profile; with neither it reads false.
// Thermal zones have no change event, so a thread of this source re-reads them
// (and platform_profile when it is the power-saver source) every
// `statePollSeconds` and calls the observers, on that thread, only when a
// reading changed. The readings themselves are cached by that thread, so the
// getters never touch the bus or sysfs and return at once.
class LinuxSystemState final : public SystemStateSource {
public:
    enum class PowerSaverSource { powerProfilesDaemon, platformProfile, none };

    // Takes the first readings before returning; a missing or silent bus costs at
    // most a few short (200 ms) method-call timeouts.
    explicit LinuxSystemState(const LinuxDiagnosticsRoots& roots = {});
    ~LinuxSystemState() override;
    LinuxSystemState(const LinuxSystemState&) = delete;
    LinuxSystemState& operator=(const LinuxSystemState&) = delete;

    PlatformThermalState thermalState() override;
    bool lowPowerMode() override;
    std::uint64_t addObserver(std::function<void()> onChange) override;
    // A call already running on the source's thread may still finish.
    void removeObserver(std::uint64_t token) override;

    // Where the current power-saver reading comes from.
    PowerSaverSource powerSaverSource() const;

private:
    struct Worker;
    std::shared_ptr<Worker> worker_;
};

} // namespace snagreel
