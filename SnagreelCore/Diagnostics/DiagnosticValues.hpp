#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace snagreel {

struct SystemState {
    enum class Thermal { unknown, nominal, fair, serious, critical };

    std::optional<bool> lowPowerMode;
    Thermal thermalState = Thermal::unknown;

    static SystemState unknown() { return {}; }
    bool operator==(const SystemState&) const = default;
};
std::string_view rawValue(SystemState::Thermal thermal);
std::optional<SystemState::Thermal> thermalFromRaw(std::string_view raw);

struct NetworkPathState {
    enum class Status { unknown, satisfied, unsatisfied, requiresConnection };
    enum class Interface { wifi, wiredEthernet, cellular, loopback, other };

    Status status = Status::unknown;
    // Always in the fixed order wifi, wiredEthernet, cellular, loopback, other.
    std::vector<Interface> interfaceTypes;
    std::optional<bool> isExpensive;
    std::optional<bool> isConstrained;

    static NetworkPathState unknown() { return {}; }
    bool operator==(const NetworkPathState&) const = default;
};
std::string_view rawValue(NetworkPathState::Status status);
std::string_view rawValue(NetworkPathState::Interface interface);
std::optional<NetworkPathState::Status> networkStatusFromRaw(std::string_view raw);
std::optional<NetworkPathState::Interface> networkInterfaceFromRaw(std::string_view raw);

} // namespace snagreel
