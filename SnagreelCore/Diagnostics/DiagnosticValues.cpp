#include "SnagreelCore/Diagnostics/DiagnosticValues.hpp"

#include <array>
#include <utility>

namespace snagreel {

namespace {

template <typename Enum, std::size_t N>
std::optional<Enum> fromRaw(const std::array<std::pair<Enum, std::string_view>, N>& table,
                            std::string_view raw) {
    for (const auto& [value, name] : table) {
        if (name == raw) {
            return value;
        }
    }
    return std::nullopt;
}

template <typename Enum, std::size_t N>
std::string_view toRaw(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum value) {
    for (const auto& [candidate, name] : table) {
        if (candidate == value) {
            return name;
        }
    }
    return table.front().second;
}

constexpr std::array<std::pair<SystemState::Thermal, std::string_view>, 5> kThermal{{
    {SystemState::Thermal::unknown, "unknown"},
    {SystemState::Thermal::nominal, "nominal"},
    {SystemState::Thermal::fair, "fair"},
    {SystemState::Thermal::serious, "serious"},
    {SystemState::Thermal::critical, "critical"},
}};

constexpr std::array<std::pair<NetworkPathState::Status, std::string_view>, 4> kStatus{{
    {NetworkPathState::Status::unknown, "unknown"},
    {NetworkPathState::Status::satisfied, "satisfied"},
    {NetworkPathState::Status::unsatisfied, "unsatisfied"},
    {NetworkPathState::Status::requiresConnection, "requiresConnection"},
}};

constexpr std::array<std::pair<NetworkPathState::Interface, std::string_view>, 5> kInterface{{
    {NetworkPathState::Interface::wifi, "wifi"},
    {NetworkPathState::Interface::wiredEthernet, "wiredEthernet"},
    {NetworkPathState::Interface::cellular, "cellular"},
    {NetworkPathState::Interface::loopback, "loopback"},
    {NetworkPathState::Interface::other, "other"},
}};

} // namespace

std::string_view rawValue(SystemState::Thermal thermal) {
    return toRaw(kThermal, thermal);
}

std::optional<SystemState::Thermal> thermalFromRaw(std::string_view raw) {
    return fromRaw(kThermal, raw);
}

std::string_view rawValue(NetworkPathState::Status status) {
    return toRaw(kStatus, status);
}

std::string_view rawValue(NetworkPathState::Interface interface) {
    return toRaw(kInterface, interface);
}

std::optional<NetworkPathState::Status> networkStatusFromRaw(std::string_view raw) {
    return fromRaw(kStatus, raw);
}

std::optional<NetworkPathState::Interface> networkInterfaceFromRaw(std::string_view raw) {
    return fromRaw(kInterface, raw);
}

} // namespace snagreel
