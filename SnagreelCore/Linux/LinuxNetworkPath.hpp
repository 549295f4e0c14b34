#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct nlmsghdr;

namespace snagreel {

// One network interface as rtnetlink lists it.
struct LinuxLink {
    int index = 0;
    std::string name;
    unsigned type = 0;  // ARPHRD_* from the link message
    unsigned flags = 0; // IFF_* (IFF_RUNNING already folds in the operational state)

    bool operator==(const LinuxLink&) const = default;
};

// One route as rtnetlink lists it; a multipath route has several interfaces.
struct LinuxRoute {
    int family = 0; // AF_INET or AF_INET6
    unsigned destinationLength = 0;
    std::uint32_t table = 0; // RT_TABLE_*
    unsigned type = 0;       // RTN_*
    std::vector<int> outputInterfaces;

    bool operator==(const LinuxRoute&) const = default;
};

struct LinuxNetworkTables {
    std::map<int, LinuxLink> links; // by interface index
    std::vector<LinuxRoute> routes;
};

enum class LinuxInterfaceKind { wifi, wiredEthernet, cellular, loopback, other };

// Classifies an interface from its sysfs folder `<sysClassNet>/<name>`; the link
// type from netlink stands in when the folder has no readable `type`.
LinuxInterfaceKind classifyLinuxInterface(const std::filesystem::path& sysClassNet,
                                          std::string_view name, unsigned netlinkType);

// The path the machine's traffic takes: the interfaces that carry a usable
// default route of the main table.
NetworkPath computeLinuxNetworkPath(const LinuxNetworkTables& tables,
                                    const std::filesystem::path& sysClassNet);

// Adds a RTM_NEWLINK or RTM_NEWROUTE message to the tables; others are ignored.
// `length` is the number of readable bytes at `message`; malformed messages are
// dropped without reading past it.
void addNetlinkMessage(const nlmsghdr* message, std::size_t length, LinuxNetworkTables& tables);

// Dumps the current links and IPv4/IPv6 routes over a fresh NETLINK_ROUTE socket.
Result<LinuxNetworkTables> readLinuxNetworkTables();

} // namespace snagreel
