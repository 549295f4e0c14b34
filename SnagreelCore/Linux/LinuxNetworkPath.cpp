#include "SnagreelCore/Linux/LinuxNetworkPath.hpp"

#include "SnagreelCore/Linux/LinuxSysfs.hpp"

// <net/if.h> must come before the kernel headers, which then leave its
// definitions alone.
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace snagreel {

namespace {

namespace fs = std::filesystem;

bool entryExists(const fs::path& path) {
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    return !error && status.type() != fs::file_type::not_found &&
           status.type() != fs::file_type::none;
}

bool isDirectory(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// The DEVTYPE line of a device's uevent file, which drivers set for wlan, wwan,
// bridge, vlan, bond and the like; empty when absent.
std::string deviceType(const fs::path& folder) {
    const auto uevent = readBoundedFile(folder / "uevent");
    if (!uevent) {
        return {};
    }
    std::string_view rest = *uevent;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        if (line.starts_with("DEVTYPE=")) {
            return std::string(line.substr(8));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return {};
}

std::string linkTargetName(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

bool isSafeInterfaceName(std::string_view name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool linkIsUsable(const LinuxLink& link) {
    return (link.flags & IFF_UP) != 0 && (link.flags & IFF_RUNNING) != 0;
}

// Netlink attributes are 4-byte aligned type-length-value records; every read
// below is bounded by the enclosing length and copied out with memcpy, since the
// buffers give no alignment guarantee for the wider fields.
template <typename Visit>
void forEachAttribute(const unsigned char* bytes, std::size_t length, Visit&& visit) {
    while (length >= sizeof(rtattr)) {
        rtattr attribute{};
        std::memcpy(&attribute, bytes, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length) {
            return;
        }
        visit(static_cast<unsigned>(attribute.rta_type & NLA_TYPE_MASK), bytes + sizeof(rtattr),
              attribute.rta_len - sizeof(rtattr));
        const std::size_t step = RTA_ALIGN(attribute.rta_len);
        if (step >= length) {
            return;
        }
        bytes += step;
        length -= step;
    }
}

std::optional<std::uint32_t> readU32(const unsigned char* bytes, std::size_t length) {
    if (length < sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

void addLink(const unsigned char* body, std::size_t length, LinuxNetworkTables& tables) {
    if (length < sizeof(ifinfomsg)) {
        return;
    }
    ifinfomsg info{};
    std::memcpy(&info, body, sizeof info);
    LinuxLink link;
    link.index = info.ifi_index;
    link.type = info.ifi_type;
    link.flags = info.ifi_flags;
    const std::size_t header = NLMSG_ALIGN(sizeof(ifinfomsg));
    if (length > header) {
        forEachAttribute(body + header, length - header,
                         [&](unsigned type, const unsigned char* value, std::size_t size) {
                             if (type == IFLA_IFNAME) {
                                 const auto* text = reinterpret_cast<const char*>(value);
                                 link.name.assign(text, strnlen(text, size));
                             }
                         });
    }
    tables.links[link.index] = std::move(link);
}

void addRoute(const unsigned char* body, std::size_t length, LinuxNetworkTables& tables) {
    if (length < sizeof(rtmsg)) {
        return;
    }
    rtmsg message{};
    std::memcpy(&message, body, sizeof message);
    if ((message.rtm_flags & RTM_F_CLONED) != 0) {
        return; // cached clones say nothing about where new traffic goes
    }
    LinuxRoute route;
    route.family = message.rtm_family;
    route.destinationLength = message.rtm_dst_len;
    route.table = message.rtm_table;
    route.type = message.rtm_type;
    const std::size_t header = NLMSG_ALIGN(sizeof(rtmsg));
    if (length > header) {
        forEachAttribute(body + header, length - header,
                         [&](unsigned type, const unsigned char* value, std::size_t size) {
                             if (type == RTA_TABLE) {
                                 if (auto table = readU32(value, size)) {
                                     route.table = *table; // tables above 255 only appear here
                                 }
                             } else if (type == RTA_OIF) {
                                 if (auto index = readU32(value, size)) {
                                     route.outputInterfaces.push_back(static_cast<int>(*index));
                                 }
                             } else if (type == RTA_MULTIPATH) {
                                 while (size >= sizeof(rtnexthop)) {
                                     rtnexthop hop{};
                                     std::memcpy(&hop, value, sizeof hop);
                                     if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > size) {
                                         break;
                                     }
                                     if ((hop.rtnh_flags & RTNH_F_DEAD) == 0) {
                                         route.outputInterfaces.push_back(hop.rtnh_ifindex);
                                     }
                                     const std::size_t step = RTNH_ALIGN(hop.rtnh_len);
                                     if (step >= size) {
                                         break;
                                     }
                                     value += step;
                                     size -= step;
                                 }
                             }
                         });
    }
    tables.routes.push_back(std::move(route));
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Unexpected<Error> readFailure(int code) {
    return Unexpected{Error::posix(code, "The network configuration could not be read.")};
}

enum class DumpOutcome { complete, interrupted };

Result<DumpOutcome> dump(int fd, std::uint16_t type, unsigned char family, std::uint32_t sequence,
                         LinuxNetworkTables& tables) {
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            rtmsg route;
        } body;
    } request{};
    request.header.nlmsg_len =
        NLMSG_LENGTH(type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(rtmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    if (type == RTM_GETLINK) {
        request.body.link.ifi_family = family;
    } else {
        request.body.route.rtm_family = family;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    while (::sendto(fd, &request, request.header.nlmsg_len, 0,
                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        if (errno != EINTR) {
            return readFailure(errno);
        }
    }

    // Dump replies come in batches of at most 32 KiB; twice that leaves room.
    std::vector<std::uint64_t> storage(64 * 1024 / sizeof(std::uint64_t));
    auto* buffer = reinterpret_cast<unsigned char*>(storage.data());
    bool interrupted = false;
    for (;;) {
        iovec chunk{buffer, storage.size() * sizeof(std::uint64_t)};
        msghdr envelope{};
        envelope.msg_iov = &chunk;
        envelope.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(fd, &envelope, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return readFailure(errno);
        }
        if ((envelope.msg_flags & MSG_TRUNC) != 0) {
            return readFailure(EMSGSIZE);
        }
        std::size_t remaining = static_cast<std::size_t>(got);
        const unsigned char* cursor = buffer;
        while (remaining >= sizeof(nlmsghdr)) {
            nlmsghdr header{};
            std::memcpy(&header, cursor, sizeof header);
            if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > remaining) {
                break;
            }
            if (header.nlmsg_seq == sequence) {
                if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
                    interrupted = true;
                }
                if (header.nlmsg_type == NLMSG_DONE) {
                    return interrupted ? DumpOutcome::interrupted : DumpOutcome::complete;
                }
                if (header.nlmsg_type == NLMSG_ERROR) {
                    nlmsgerr failure{};
                    if (header.nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                        std::memcpy(&failure.error, cursor + NLMSG_HDRLEN, sizeof(int));
                    }
                    if (failure.error == 0) {
                        return interrupted ? DumpOutcome::interrupted : DumpOutcome::complete;
                    }
                    return readFailure(-failure.error);
                }
                addNetlinkMessage(reinterpret_cast<const nlmsghdr*>(cursor), header.nlmsg_len,
                                  tables);
            }
            const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
            if (step >= remaining) {
                break;
            }
            cursor += step;
            remaining -= step;
        }
    }
}

} // namespace

LinuxInterfaceKind classifyLinuxInterface(const std::filesystem::path& sysClassNet,
                                          std::string_view name, unsigned netlinkType) {
    if (!isSafeInterfaceName(name)) {
        return LinuxInterfaceKind::other;
    }
    const fs::path folder = sysClassNet / std::string(name);
    const unsigned type = static_cast<unsigned>(
        readSysfsInteger(folder / "type").value_or(static_cast<long long>(netlinkType)));
    const std::string devtype = deviceType(folder);

    if (isDirectory(folder / "wireless") || entryExists(folder / "phy80211") || devtype == "wlan") {
        return LinuxInterfaceKind::wifi;
    }
    // Modems: usbnet's WWAN drivers and the wwan core tag the device, the wwan
    // core's parent device is of class "wwan", and raw-IP links are modem data
    // channels (qmi_wwan, rmnet, mhi). ARPHRD_NONE alone is not enough: tun uses it.
    if (devtype == "wwan" || name.starts_with("wwan") ||
        linkTargetName(folder / "device" / "subsystem") == "wwan" || type == ARPHRD_RAWIP) {
        return LinuxInterfaceKind::cellular;
    }
    if (type == ARPHRD_LOOPBACK) {
        return LinuxInterfaceKind::loopback;
    }
    // Only Ethernet links backed by a device (PCI, USB, virtio) are wired; bridges,
    // veth pairs, taps, bonds and VLANs have no device of their own.
    if (type == ARPHRD_ETHER && entryExists(folder / "device") && !isDirectory(folder / "bridge") &&
        !entryExists(folder / "tun_flags")) {
        return LinuxInterfaceKind::wiredEthernet;
    }
    return LinuxInterfaceKind::other;
}

NetworkPath computeLinuxNetworkPath(const LinuxNetworkTables& tables,
                                    const std::filesystem::path& sysClassNet) {
    std::vector<int> used;
    for (const LinuxRoute& route : tables.routes) {
        if ((route.family != AF_INET && route.family != AF_INET6) || route.destinationLength != 0 ||
            route.table != RT_TABLE_MAIN || route.type != RTN_UNICAST) {
            continue;
        }
        for (int index : route.outputInterfaces) {
            const auto link = tables.links.find(index);
            if (link != tables.links.end() && linkIsUsable(link->second) &&
                std::find(used.begin(), used.end(), index) == used.end()) {
                used.push_back(index);
            }
        }
    }

    NetworkPath path;
    path.status = used.empty() ? NetworkPath::Status::unsatisfied : NetworkPath::Status::satisfied;
    bool onlyCellular = !used.empty();
    for (int index : used) {
        const LinuxLink& link = tables.links.at(index);
        const LinuxInterfaceKind kind = classifyLinuxInterface(sysClassNet, link.name, link.type);
        switch (kind) {
        case LinuxInterfaceKind::wifi:
            path.usesWifi = true;
            break;
        case LinuxInterfaceKind::wiredEthernet:
            path.usesWiredEthernet = true;
            break;
        case LinuxInterfaceKind::cellular:
            path.usesCellular = true;
            break;
        case LinuxInterfaceKind::loopback:
            path.usesLoopback = true;
            break;
        case LinuxInterfaceKind::other:
            path.usesOther = true;
            break;
        }
        onlyCellular = onlyCellular && kind == LinuxInterfaceKind::cellular;
    }
    path.isExpensive = onlyCellular;
    path.isConstrained = false;
    return path;
}

void addNetlinkMessage(const nlmsghdr* message, std::size_t length, LinuxNetworkTables& tables) {
    if (message == nullptr || length < sizeof(nlmsghdr)) {
        return;
    }
    nlmsghdr header{};
    std::memcpy(&header, message, sizeof header);
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length) {
        return;
    }
    const auto* body = reinterpret_cast<const unsigned char*>(message) + NLMSG_HDRLEN;
    const std::size_t bodyLength = header.nlmsg_len - NLMSG_HDRLEN;
    if (header.nlmsg_type == RTM_NEWLINK) {
        addLink(body, bodyLength, tables);
    } else if (header.nlmsg_type == RTM_NEWROUTE) {
        addRoute(body, bodyLength, tables);
    }
}

Result<LinuxNetworkTables> readLinuxNetworkTables() {
    // A dump that races with a change is flagged as interrupted; a fresh dump a
    // moment later is consistent again.
    for (int attempt = 0;; ++attempt) {
        Socket socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (socket.get() < 0) {
            return readFailure(errno);
        }
        // The kernel answers dumps at once; the timeout only guards against a
        // reply that never comes, so a caller is never stuck here.
        timeval timeout{2, 0};
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

        LinuxNetworkTables tables;
        bool interrupted = false;
        const struct {
            std::uint16_t type;
            unsigned char family;
        } requests[] = {
            {RTM_GETLINK, AF_UNSPEC}, {RTM_GETROUTE, AF_INET}, {RTM_GETROUTE, AF_INET6}};
        std::uint32_t sequence = 1;
        for (const auto& request : requests) {
            auto outcome = dump(socket.get(), request.type, request.family, sequence++, tables);
            if (!outcome) {
                // A kernel without IPv6 refuses the IPv6 route dump; that is no error.
                if (request.family == AF_INET6 && outcome.error().code() == EAFNOSUPPORT) {
                    continue;
                }
                return Unexpected{outcome.error()};
            }
            interrupted = interrupted || *outcome == DumpOutcome::interrupted;
        }
        if (!interrupted || attempt >= 2) {
            return tables;
        }
    }
}

} // namespace snagreel
