#pragma once

#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace snagreel {

// One network path as the platform reports it, before conversion into a
// NetworkPathState (which the collector does).
struct NetworkPath {
    enum class Status { satisfied, unsatisfied, requiresConnection, other };
    Status status = Status::other;
    bool usesWifi = false;
    bool usesWiredEthernet = false;
    bool usesCellular = false;
    bool usesLoopback = false;
    bool usesOther = false;
    bool isExpensive = false;
    bool isConstrained = false;

    bool operator==(const NetworkPath&) const = default;
};

// Reports the current network path once started and again on every change.
// Updates are delivered on the executor passed to start(); after cancel() none is.
class NetworkPathMonitor {
public:
    virtual ~NetworkPathMonitor() = default;
    virtual void start(Executor& queue, std::function<void(const NetworkPath&)> onUpdate) = 0;
    virtual void cancel() = 0;
};

enum class PlatformThermalState { nominal, fair, serious, critical, other };

// Thermal pressure and the power-saver mode, with change notifications. The
// change handler may be called on any thread; it carries no reading.
class SystemStateSource {
public:
    virtual ~SystemStateSource() = default;
    virtual PlatformThermalState thermalState() = 0;
    virtual bool lowPowerMode() = 0;
    // Returns a registration token for removeObserver.
    virtual std::uint64_t addObserver(std::function<void()> onChange) = 0;
    virtual void removeObserver(std::uint64_t token) = 0;
};

// The machine description that goes into every manifest's environment.
struct SystemInformation {
    std::string osVersion; // major.minor.patch
    std::optional<std::string> osBuild;
    std::optional<std::string> hardwareModel;
    std::string hardwareClass;
    std::string processArchitecture;
    std::uint64_t physicalMemoryBytes = 0;
};

// What the collector needs from the platform; the Linux implementation lives in
// the Linux folder, tests pass doubles.
struct DiagnosticsPlatform {
    std::function<std::unique_ptr<NetworkPathMonitor>()> makeNetworkPathMonitor;
    std::shared_ptr<SystemStateSource> systemState;
};

} // namespace snagreel
