#include "SnagreelCore/Linux/LinuxDiagnosticsPlatform.hpp"
#include "SnagreelCore/Linux/LinuxNetworkPath.hpp"
#include "SnagreelCore/Linux/LinuxNetworkPathMonitor.hpp"
#include "SnagreelCore/Linux/LinuxSystemInformation.hpp"
#include "SnagreelCore/Linux/LinuxSystemState.hpp"
#include "SnagreelCore/Support/Executor.hpp"
#include "devsupport/FakeBusService.hpp"
#include "devsupport/Waiting.hpp"
#include "support/PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <future>

// <net/if.h> before the kernel headers, which then leave its definitions alone.
#include <net/if.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <sched.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TemporaryFolder = testing::TemporaryDirectory;
using testing::eventually;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// ---- Interface classification -------------------------------------------------

struct InterfaceCase {
    const char* label;
    const char* name;
    unsigned netlinkType;
    // Relative paths under the interface folder: "name=contents" writes a file,
    // "name/" makes a folder, "name->target" makes a symbolic link.
    std::vector<std::string> entries;
    LinuxInterfaceKind expected;
};

void buildInterface(const fs::path& root, const InterfaceCase& item) {
    const fs::path folder = root / item.name;
    fs::create_directories(folder);
    for (const std::string& entry : item.entries) {
        if (const auto equals = entry.find('='); equals != std::string::npos) {
            writeFile(folder / entry.substr(0, equals), entry.substr(equals + 1));
        } else if (const auto arrow = entry.find("->"); arrow != std::string::npos) {
            const fs::path link = folder / entry.substr(0, arrow);
            fs::create_directories(link.parent_path());
            fs::create_directory_symlink(entry.substr(arrow + 2), link);
        } else {
            fs::create_directories(folder / entry);
        }
    }
}

TEST(LinuxInterfaceClassification, ClassifiesFakeSysfsInterfaces) {
    using Kind = LinuxInterfaceKind;
    const std::vector<InterfaceCase> cases = {
        {"wifi by wireless folder", "wlp2s0", 1, {"type=1\n", "device/", "wireless/"}, Kind::wifi},
        {"wifi by phy80211 link",
         "wlan0",
         1,
         {"type=1\n", "device/", "phy80211->../../phy0"},
         Kind::wifi},
        {"wifi by devtype",
         "wlx00",
         1,
         {"type=1\n", "device/", "uevent=DEVTYPE=wlan\n"},
         Kind::wifi},
        {"pci ethernet",
         "enp3s0",
         1,
         {"type=1\n", "device/", "uevent=INTERFACE=enp3s0\n"},
         Kind::wiredEthernet},
        {"wwan by name", "wwan0", ARPHRD_NONE, {"type=65534\n"}, Kind::cellular},
        {"raw-ip modem", "wwp0s20u4i6", ARPHRD_RAWIP, {"type=519\n", "device/"}, Kind::cellular},
        {"usbnet modem says wwan",
         "usb0",
         1,
         {"type=1\n", "device/", "uevent=DEVTYPE=wwan\nINTERFACE=usb0\n"},
         Kind::cellular},
        {"wwan core parent",
         "mhi0",
         ARPHRD_NONE,
         {"type=65534\n", "device/", "device/subsystem->../../../class/wwan"},
         Kind::cellular},
        {"loopback", "lo", ARPHRD_LOOPBACK, {"type=772\n"}, Kind::loopback},
        {"bridge", "br0", 1, {"type=1\n", "bridge/", "uevent=DEVTYPE=bridge\n"}, Kind::other},
        {"docker bridge without device", "docker0", 1, {"type=1\n", "bridge/"}, Kind::other},
        {"veth", "veth12ab", 1, {"type=1\n"}, Kind::other},
        {"tun is not a modem",
         "tun0",
         ARPHRD_NONE,
         {"type=65534\n", "tun_flags=0x1001\n"},
         Kind::other},
        {"tap", "tap0", 1, {"type=1\n", "tun_flags=0x1002\n", "device/"}, Kind::other},
        {"sysfs type wins over netlink",
         "eth1",
         ARPHRD_LOOPBACK,
         {"type=1\n", "device/"},
         Kind::wiredEthernet},
        {"unreadable type falls back to netlink",
         "lo2",
         ARPHRD_LOOPBACK,
         {"type=garbage"},
         Kind::loopback},
    };
    TemporaryFolder folder;
    for (const auto& item : cases) {
        buildInterface(folder.path(), item);
    }
    for (const auto& item : cases) {
        EXPECT_EQ(classifyLinuxInterface(folder.path(), item.name, item.netlinkType), item.expected)
            << item.label;
    }
    // Without a folder the netlink type is all there is to go on.
    EXPECT_EQ(classifyLinuxInterface(folder.path(), "gone0", ARPHRD_LOOPBACK), Kind::loopback);
    EXPECT_EQ(classifyLinuxInterface(folder.path(), "gone1", ARPHRD_ETHER), Kind::other);
    EXPECT_EQ(classifyLinuxInterface("/nonexistent/sys/class/net", "eth0", ARPHRD_ETHER),
              Kind::other);
    // Names that would leave the tree are not looked up at all.
    writeFile(folder.path().parent_path() / "wireless-trap" / "type", "1\n");
    EXPECT_EQ(classifyLinuxInterface(folder.path(), "..", ARPHRD_ETHER), Kind::other);
    EXPECT_EQ(classifyLinuxInterface(folder.path(), "../x", ARPHRD_ETHER), Kind::other);
    EXPECT_EQ(classifyLinuxInterface(folder.path(), "", ARPHRD_ETHER), Kind::other);
}

// ---- Path computation ---------------------------------------------------------

constexpr unsigned kUsable = IFF_UP | IFF_RUNNING;

struct PathCase {
    const char* label;
    std::vector<LinuxRoute> routes;
    std::map<int, unsigned> flagOverrides;
    NetworkPath::Status status;
    std::vector<std::string> uses; // wifi, wired, cellular, loopback, other
    bool expensive;
};

LinuxRoute defaultRoute(std::vector<int> interfaces, int family = AF_INET,
                        std::uint32_t table = RT_TABLE_MAIN, unsigned type = RTN_UNICAST) {
    return LinuxRoute{family, 0, table, type, std::move(interfaces)};
}

std::vector<std::string> usesOf(const NetworkPath& path) {
    std::vector<std::string> uses;
    if (path.usesWifi) {
        uses.push_back("wifi");
    }
    if (path.usesWiredEthernet) {
        uses.push_back("wired");
    }
    if (path.usesCellular) {
        uses.push_back("cellular");
    }
    if (path.usesLoopback) {
        uses.push_back("loopback");
    }
    if (path.usesOther) {
        uses.push_back("other");
    }
    return uses;
}

TEST(LinuxNetworkPath, DefaultRoutesThroughUsableLinksDecideThePath) {
    TemporaryFolder folder;
    const fs::path root = folder.path();
    buildInterface(root, {"", "lo", 0, {"type=772\n"}, {}});
    buildInterface(root, {"", "eth0", 0, {"type=1\n", "device/"}, {}});
    buildInterface(root, {"", "wlan0", 0, {"type=1\n", "device/", "wireless/"}, {}});
    buildInterface(root, {"", "wwan0", 0, {"type=519\n", "device/"}, {}});
    buildInterface(root, {"", "tun0", 0, {"type=65534\n", "tun_flags=0x1001\n"}, {}});
    const std::map<int, std::pair<const char*, unsigned>> links = {
        {1, {"lo", ARPHRD_LOOPBACK}}, {2, {"eth0", ARPHRD_ETHER}}, {3, {"wlan0", ARPHRD_ETHER}},
        {4, {"wwan0", ARPHRD_RAWIP}}, {5, {"tun0", ARPHRD_NONE}},
    };

    using Status = NetworkPath::Status;
    const std::vector<PathCase> cases = {
        {"no routes", {}, {}, Status::unsatisfied, {}, false},
        {"ethernet default", {defaultRoute({2})}, {}, Status::satisfied, {"wired"}, false},
        {"link administratively up but no carrier",
         {defaultRoute({2})},
         {{2, IFF_UP}},
         Status::unsatisfied,
         {},
         false},
        {"default only in another table",
         {defaultRoute({2}, AF_INET, 100)},
         {},
         Status::unsatisfied,
         {},
         false},
        {"unreachable default is no way out",
         {defaultRoute({1}, AF_INET6, RT_TABLE_MAIN, RTN_UNREACHABLE)},
         {},
         Status::unsatisfied,
         {},
         false},
        {"subnet route is not a default",
         {LinuxRoute{AF_INET, 24, RT_TABLE_MAIN, RTN_UNICAST, {2}}},
         {},
         Status::unsatisfied,
         {},
         false},
        {"ipv6-only wifi", {defaultRoute({3}, AF_INET6)}, {}, Status::satisfied, {"wifi"}, false},
        {"multipath over wifi and ethernet",
         {defaultRoute({3, 2})},
         {},
         Status::satisfied,
         {"wifi", "wired"},
         false},
        {"usable wifi beside a dead ethernet default",
         {defaultRoute({2}), defaultRoute({3})},
         {{2, IFF_UP}},
         Status::satisfied,
         {"wifi"},
         false},
        {"cellular only is expensive",
         {defaultRoute({4}), defaultRoute({4}, AF_INET6)},
         {},
         Status::satisfied,
         {"cellular"},
         true},
        {"cellular beside wifi is not",
         {defaultRoute({4}), defaultRoute({3}, AF_INET6)},
         {},
         Status::satisfied,
         {"wifi", "cellular"},
         false},
        {"vpn tunnel", {defaultRoute({5})}, {}, Status::satisfied, {"other"}, false},
        {"route through an unknown link", {defaultRoute({42})}, {}, Status::unsatisfied, {}, false},
        {"non-ip family ignored",
         {defaultRoute({2}, AF_UNSPEC)},
         {},
         Status::unsatisfied,
         {},
         false},
    };
    for (const auto& item : cases) {
        LinuxNetworkTables tables;
        for (const auto& [index, link] : links) {
            const auto override = item.flagOverrides.find(index);
            tables.links[index] =
                LinuxLink{index, link.first, link.second,
                          override == item.flagOverrides.end() ? kUsable : override->second};
        }
        tables.routes = item.routes;
        const NetworkPath path = computeLinuxNetworkPath(tables, root);
        EXPECT_EQ(path.status, item.status) << item.label;
        EXPECT_EQ(usesOf(path), item.uses) << item.label;
        EXPECT_EQ(path.isExpensive, item.expensive) << item.label;
        EXPECT_FALSE(path.isConstrained) << item.label;
    }
}

// ---- Netlink message parsing --------------------------------------------------

class MessageBuilder {
public:
    MessageBuilder(std::uint16_t type, const void* header, std::size_t headerSize) {
        bytes_.resize(NLMSG_HDRLEN);
        append(header, headerSize);
        type_ = type;
    }
    void attribute(std::uint16_t type, const void* value, std::size_t size) {
        rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
        append(&attribute, sizeof attribute);
        append(value, size);
    }
    void append(const void* data, std::size_t size) {
        const auto* begin = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
        bytes_.resize(NLMSG_ALIGN(bytes_.size()));
    }
    std::vector<unsigned char>& finish() {
        nlmsghdr header{static_cast<std::uint32_t>(bytes_.size()), type_, 0, 1, 0};
        std::memcpy(bytes_.data(), &header, sizeof header);
        return bytes_;
    }

private:
    std::vector<unsigned char> bytes_;
    std::uint16_t type_ = 0;
};

void addMessage(std::vector<unsigned char>& bytes, LinuxNetworkTables& tables, std::size_t length) {
    // Copy into aligned storage, as the socket buffer would be.
    std::vector<std::uint64_t> storage(bytes.size() / 8 + 1);
    std::memcpy(storage.data(), bytes.data(), bytes.size());
    addNetlinkMessage(reinterpret_cast<const nlmsghdr*>(storage.data()), length, tables);
}

TEST(LinuxNetlinkParsing, ReadsLinksAndMultipathRoutesAndDropsMalformedOnes) {
    LinuxNetworkTables tables;

    ifinfomsg info{};
    info.ifi_index = 7;
    info.ifi_type = ARPHRD_ETHER;
    info.ifi_flags = IFF_UP | IFF_RUNNING;
    MessageBuilder link(RTM_NEWLINK, &info, sizeof info);
    link.attribute(IFLA_IFNAME, "eth7", 5);
    auto& linkBytes = link.finish();
    addMessage(linkBytes, tables, linkBytes.size());
    ASSERT_EQ(tables.links.count(7), 1u);
    EXPECT_EQ(tables.links[7], (LinuxLink{7, "eth7", ARPHRD_ETHER, IFF_UP | IFF_RUNNING}));

    rtmsg route{};
    route.rtm_family = AF_INET6;
    route.rtm_table = RT_TABLE_UNSPEC; // the real table comes as an attribute
    route.rtm_type = RTN_UNICAST;
    MessageBuilder multipath(RTM_NEWROUTE, &route, sizeof route);
    const std::uint32_t table = RT_TABLE_MAIN;
    multipath.attribute(RTA_TABLE, &table, sizeof table);
    rtnexthop hops[3] = {{sizeof(rtnexthop), 0, 0, 7},
                         {sizeof(rtnexthop), RTNH_F_DEAD, 0, 8},
                         {sizeof(rtnexthop), 0, 0, 9}};
    multipath.attribute(RTA_MULTIPATH, hops, sizeof hops);
    auto& routeBytes = multipath.finish();
    addMessage(routeBytes, tables, routeBytes.size());
    ASSERT_EQ(tables.routes.size(), 1u);
    EXPECT_EQ(tables.routes[0],
              (LinuxRoute{AF_INET6, 0, RT_TABLE_MAIN, RTN_UNICAST, std::vector<int>{7, 9}}));

    // A message claiming more bytes than were received is dropped whole.
    addMessage(routeBytes, tables, routeBytes.size() - 4);
    EXPECT_EQ(tables.routes.size(), 1u);

    // An attribute running past its message ends the attribute walk, not the program.
    rtmsg broken{};
    broken.rtm_family = AF_INET;
    broken.rtm_table = RT_TABLE_MAIN;
    broken.rtm_type = RTN_UNICAST;
    MessageBuilder overlong(RTM_NEWROUTE, &broken, sizeof broken);
    const rtattr lying{200, RTA_OIF};
    overlong.append(&lying, sizeof lying);
    auto& overlongBytes = overlong.finish();
    addMessage(overlongBytes, tables, overlongBytes.size());
    ASSERT_EQ(tables.routes.size(), 2u);
    EXPECT_TRUE(tables.routes[1].outputInterfaces.empty());

    // Cached clones are not routes anyone chose.
    rtmsg clone = broken;
    clone.rtm_flags = RTM_F_CLONED;
    MessageBuilder cloned(RTM_NEWROUTE, &clone, sizeof clone);
    auto& clonedBytes = cloned.finish();
    addMessage(clonedBytes, tables, clonedBytes.size());
    EXPECT_EQ(tables.routes.size(), 2u);
}

// ---- The real netlink monitor -------------------------------------------------

TEST(LinuxNetworkPathMonitor, DeliversAnInitialPathAndStopsItsThreadOnCancel) {
    const std::size_t before = threadCount();
    SerialQueue queue("test.network");
    const std::size_t withQueue = threadCount();
    ASSERT_GE(withQueue, before);

    std::mutex mutex;
    std::vector<NetworkPath> updates;
    bool onQueue = true;
    {
        LinuxNetworkPathMonitor monitor;
        monitor.start(queue, [&](const NetworkPath& path) {
            std::lock_guard lock(mutex);
            onQueue = onQueue && queue.isCurrent();
            updates.push_back(path);
        });
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(mutex);
            return !updates.empty();
        }));
        EXPECT_EQ(threadCount(), withQueue + 1);
        monitor.cancel();
        EXPECT_EQ(threadCount(), withQueue);
        monitor.cancel(); // idempotent
    }
    queue.drain();
    std::lock_guard lock(mutex);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_TRUE(onQueue);
    EXPECT_NE(updates[0].status, NetworkPath::Status::other);
    EXPECT_FALSE(updates[0].isConstrained);
}

// Holds posted tasks until the test runs them, from any thread.
class HeldExecutor final : public Executor {
public:
    void post(std::function<void()> task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    TimerHandle schedule(double, double, std::function<void()>) override { return {}; }
    bool isCurrent() const override { return false; }
    double now() const override { return 0; }
    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }
    void runAll() {
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) {
            task();
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::function<void()>> tasks_;
};

TEST(LinuxNetworkPathMonitor, UpdatesPostedBeforeCancelAreNotDelivered) {
    HeldExecutor executor;
    int delivered = 0;
    LinuxNetworkPathMonitor monitor;
    monitor.start(executor, [&](const NetworkPath&) { ++delivered; });
    ASSERT_TRUE(eventually([&] { return executor.pending() > 0; }));
    monitor.cancel();
    executor.runAll();
    EXPECT_EQ(delivered, 0);

    // A restart delivers again, and only through the new handler.
    int restarted = 0;
    monitor.start(executor, [&](const NetworkPath&) { ++restarted; });
    ASSERT_TRUE(eventually([&] { return executor.pending() > 0; }));
    executor.runAll();
    EXPECT_EQ(restarted, 1);
    EXPECT_EQ(delivered, 0);
}

// Sends one rtnetlink request and waits for its acknowledgement.
bool netlinkRequest(std::uint16_t type, std::uint16_t flags, const void* body, std::size_t size,
                    const std::vector<std::pair<std::uint16_t, std::uint32_t>>& attributes) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    MessageBuilder message(type, body, size);
    for (const auto& [attribute, value] : attributes) {
        message.attribute(attribute, &value, sizeof value);
    }
    auto& bytes = message.finish();
    nlmsghdr header{};
    std::memcpy(&header, bytes.data(), sizeof header);
    header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    std::memcpy(bytes.data(), &header, sizeof header);
    bool acknowledged = false;
    if (::send(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
        std::vector<std::uint64_t> reply(1024);
        const ssize_t got = ::recv(fd, reply.data(), reply.size() * 8, 0);
        nlmsghdr answer{};
        int error = -1;
        if (got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(int)))) {
            std::memcpy(&answer, reply.data(), sizeof answer);
            std::memcpy(&error, reinterpret_cast<unsigned char*>(reply.data()) + NLMSG_HDRLEN,
                        sizeof error);
        }
        acknowledged = answer.nlmsg_type == NLMSG_ERROR && error == 0;
    }
    ::close(fd);
    return acknowledged;
}

TEST(LinuxNetworkPathMonitor, ReportsRouteChangesInAPrivateNetworkNamespace) {
    // Everything runs on a thread of its own that moves into a fresh network
    // namespace, so the machine's own network is never touched; the monitor's
    // thread, started from there, shares that namespace.
    std::string skipped;
    std::vector<NetworkPath> updates;
    std::vector<std::string> failures;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            skipped = std::string("no private network namespace: ") + std::strerror(errno);
            return;
        }
        std::mutex mutex;
        std::vector<NetworkPath> seen;
        auto count = [&] {
            std::lock_guard lock(mutex);
            return seen.size();
        };
        SerialQueue queue("test.netns");
        LinuxNetworkPathMonitor monitor("/nonexistent/sys/class/net");
        monitor.start(queue, [&](const NetworkPath& path) {
            std::lock_guard lock(mutex);
            seen.push_back(path);
        });
        if (!eventually([&] { return count() == 1; })) {
            failures.push_back("no initial update");
        }

        ifinfomsg link{};
        link.ifi_index = 1; // lo, the only link of a new namespace
        link.ifi_flags = IFF_UP;
        link.ifi_change = IFF_UP;
        rtmsg route{};
        route.rtm_family = AF_INET;
        route.rtm_table = RT_TABLE_MAIN;
        route.rtm_protocol = RTPROT_BOOT;
        route.rtm_scope = RT_SCOPE_LINK;
        route.rtm_type = RTN_UNICAST;
        if (!netlinkRequest(RTM_NEWLINK, 0, &link, sizeof link, {}) ||
            !netlinkRequest(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, &route, sizeof route,
                            {{RTA_OIF, 1}})) {
            failures.push_back("could not set up the namespace's default route");
        } else if (!eventually([&] { return count() == 2; })) {
            failures.push_back("no update after adding a default route");
        } else if (!netlinkRequest(RTM_DELROUTE, 0, &route, sizeof route, {{RTA_OIF, 1}})) {
            failures.push_back("could not remove the default route");
        } else if (!eventually([&] { return count() == 3; })) {
            failures.push_back("no update after removing the default route");
        }
        monitor.cancel();
        queue.drain();
        std::lock_guard lock(mutex);
        updates = seen;
    }).join();
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
    EXPECT_TRUE(failures.empty()) << (failures.empty() ? "" : failures.front());
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].status, NetworkPath::Status::unsatisfied);
    EXPECT_EQ(usesOf(updates[0]), std::vector<std::string>{});
    EXPECT_EQ(updates[1].status, NetworkPath::Status::satisfied);
    EXPECT_EQ(usesOf(updates[1]), std::vector<std::string>{"loopback"});
    EXPECT_EQ(updates[2].status, NetworkPath::Status::unsatisfied);
}

// ---- Thermal zones ------------------------------------------------------------

struct Zone {
    std::optional<std::string> temp; // absent: no temp file
    std::vector<std::pair<std::string, std::string>> trips;
};

struct ThermalCase {
    const char* label;
    std::vector<Zone> zones;
    PlatformThermalState expected;
};

void buildZones(const fs::path& root, const std::vector<Zone>& zones) {
    fs::create_directories(root);
    for (std::size_t index = 0; index < zones.size(); ++index) {
        const fs::path zone = root / ("thermal_zone" + std::to_string(index));
        fs::create_directories(zone);
        if (zones[index].temp) {
            writeFile(zone / "temp", *zones[index].temp);
        }
        for (std::size_t trip = 0; trip < zones[index].trips.size(); ++trip) {
            const std::string stem = "trip_point_" + std::to_string(trip);
            writeFile(zone / (stem + "_type"), zones[index].trips[trip].first + "\n");
            writeFile(zone / (stem + "_temp"), zones[index].trips[trip].second + "\n");
        }
    }
}

TEST(LinuxThermalState, TakesTheWorstZoneAgainstItsTripPoints) {
    using State = PlatformThermalState;
    const std::vector<std::pair<std::string, std::string>> laptop = {
        {"active", "60000"}, {"passive", "90000"}, {"critical", "100000"}};
    const std::vector<ThermalCase> cases = {
        {"no zones", {}, State::other},
        {"missing temp", {{std::nullopt, laptop}}, State::other},
        {"bare sensor without trips", {{"95000\n", {}}}, State::other},
        {"cool", {{"45000\n", laptop}}, State::nominal},
        {"just under the fair margin", {{"79999\n", laptop}}, State::nominal},
        {"at the fair margin", {{"80000\n", laptop}}, State::fair},
        {"at passive", {{"90000\n", laptop}}, State::serious},
        {"at critical", {{"100000\n", laptop}}, State::critical},
        {"hot stands in for passive",
         {{"75000\n", {{"hot", "80000"}, {"critical", "95000"}}}},
         State::fair},
        {"at hot", {{"80000\n", {{"hot", "80000"}}}}, State::serious},
        {"passive preferred over hot",
         {{"90000\n", {{"hot", "85000"}, {"passive", "99000"}}}},
         State::fair},
        {"critical only, reached", {{"105000\n", {{"critical", "105000"}}}}, State::critical},
        {"disabled trips ignored",
         {{"30000\n", {{"passive", "0"}, {"critical", "-274000"}}}},
         State::other},
        {"unparsable trip ignored",
         {{"30000\n", {{"passive", "x"}, {"critical", "90000"}}}},
         State::nominal},
        {"worst zone wins",
         {{"40000\n", laptop}, {"92000\n", laptop}, {"85000\n", laptop}},
         State::serious},
        {"an unreadable zone does not hide a readable one",
         {{std::nullopt, laptop}, {"85000\n", laptop}},
         State::fair},
    };
    for (const auto& item : cases) {
        TemporaryFolder folder;
        const fs::path root = folder.path() / "thermal";
        buildZones(root, item.zones);
        fs::create_directories(root / "cooling_device0"); // not a zone
        EXPECT_EQ(readLinuxThermalState(root), item.expected) << item.label;
    }
    EXPECT_EQ(readLinuxThermalState("/nonexistent/sys/class/thermal"), State::other);
}

// ---- Power saver from the firmware profile -------------------------------------

TEST(LinuxPowerSaver, FirmwareProfileIsTheFallback) {
    TemporaryFolder folder;
    const fs::path acpi = folder.path() / "acpi";
    EXPECT_EQ(readPlatformProfileLowPower(acpi), std::nullopt);
    writeFile(acpi / "platform_profile", "low-power\n");
    EXPECT_EQ(readPlatformProfileLowPower(acpi), true);
    writeFile(acpi / "platform_profile", "balanced\n");
    EXPECT_EQ(readPlatformProfileLowPower(acpi), false);
    writeFile(acpi / "platform_profile", "low-power-ish\n");
    EXPECT_EQ(readPlatformProfileLowPower(acpi), false);
    // A folder in the file's place is unreadable, not a crash.
    fs::remove(acpi / "platform_profile");
    fs::create_directories(acpi / "platform_profile");
    EXPECT_EQ(readPlatformProfileLowPower(acpi), std::nullopt);
}

LinuxDiagnosticsRoots fakeRoots(const fs::path& root) {
    LinuxDiagnosticsRoots roots;
    roots.sysClassNet = root / "net";
    roots.sysClassThermal = root / "thermal";
    roots.sysFirmwareAcpi = root / "acpi";
    roots.sysClassDmiId = root / "dmi";
    roots.powerProfilesBus = LinuxBus::none();
    roots.statePollSeconds = 0.02;
    return roots;
}

TEST(LinuxSystemState, WithoutBusReadsFirmwareProfileAndNotifiesOnlyOnChange) {
    TemporaryFolder folder;
    const auto roots = fakeRoots(folder.path());
    writeFile(roots.sysFirmwareAcpi / "platform_profile", "low-power\n");
    buildZones(roots.sysClassThermal, {{"40000\n", {{"passive", "90000"}}}});

    LinuxSystemState state(roots);
    EXPECT_TRUE(state.lowPowerMode());
    EXPECT_EQ(state.powerSaverSource(), LinuxSystemState::PowerSaverSource::platformProfile);
    EXPECT_EQ(state.thermalState(), PlatformThermalState::nominal);

    std::atomic<int> calls{0};
    const auto token = state.addObserver([&] { ++calls; });
    // Several re-reads of an unchanged tree call nobody.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 0);

    writeFile(roots.sysClassThermal / "thermal_zone0" / "temp", "91000\n");
    ASSERT_TRUE(eventually([&] { return state.thermalState() == PlatformThermalState::serious; }));
    ASSERT_TRUE(eventually([&] { return calls.load() >= 1; }));

    writeFile(roots.sysFirmwareAcpi / "platform_profile", "balanced\n");
    ASSERT_TRUE(eventually([&] { return !state.lowPowerMode(); }));
    ASSERT_TRUE(eventually([&] { return calls.load() >= 2; }));

    state.removeObserver(token);
    const int seen = calls.load();
    writeFile(roots.sysFirmwareAcpi / "platform_profile", "low-power\n");
    ASSERT_TRUE(eventually([&] { return state.lowPowerMode(); }));
    EXPECT_EQ(calls.load(), seen);
}

// The observer that drops the last reference runs on the source's own thread,
// which has to unwind through the source after it returns (ASan catches a freed one).
TEST(LinuxSystemState, ReleasedFromItsOwnObserverFinishesCleanly) {
    TemporaryFolder folder;
    const auto roots = fakeRoots(folder.path());
    writeFile(roots.sysFirmwareAcpi / "platform_profile", "balanced\n");
    auto state = std::make_shared<LinuxSystemState>(roots);
    // Set when the observer itself is destroyed, that is with the source's state.
    std::promise<void> destroyed;
    auto ended = destroyed.get_future();
    struct Sentinel {
        std::promise<void>* promise;
        ~Sentinel() { promise->set_value(); }
    };
    auto sentinel = std::make_shared<Sentinel>(&destroyed);
    std::shared_ptr<LinuxSystemState>* holder = &state;
    state->addObserver([holder, sentinel] { holder->reset(); });
    sentinel.reset();
    writeFile(roots.sysFirmwareAcpi / "platform_profile", "low-power\n");
    EXPECT_EQ(ended.wait_for(10s), std::future_status::ready);
}

TEST(LinuxSystemState, WithoutAnyReachableSourceTheFirmwareProfileOrNothingAnswers) {
    TemporaryFolder folder;
    auto roots = fakeRoots(folder.path());
    roots.powerProfilesBus = LinuxBus::at("unix:path=" + (folder.path() / "no-bus").string());
    LinuxSystemState nothing(roots);
    EXPECT_FALSE(nothing.lowPowerMode());
    EXPECT_EQ(nothing.powerSaverSource(), LinuxSystemState::PowerSaverSource::none);
    EXPECT_EQ(nothing.thermalState(), PlatformThermalState::other);

    writeFile(roots.sysFirmwareAcpi / "platform_profile", "low-power\n");
    LinuxSystemState state(roots);
    EXPECT_TRUE(state.lowPowerMode());
    EXPECT_EQ(state.powerSaverSource(), LinuxSystemState::PowerSaverSource::platformProfile);
    roots.powerProfilesBus = LinuxBus::at("not an address");
    EXPECT_TRUE(LinuxSystemState(roots).lowPowerMode());
}

// ---- Power saver from power-profiles-daemon on a private bus ---------------------

struct ServiceName {
    const char* name;
    const char* path;
    const char* interface;
};

void PrintTo(const ServiceName& service, std::ostream* out) {
    *out << service.name;
}

// A stand-in for power-profiles-daemon: owns the name, serves ActiveProfile and
// announces its changes.
class FakePowerProfiles {
public:
    FakePowerProfiles(const std::string& address, ServiceName service, std::string profile)
        : service_(service), profile_(std::move(profile)) {
        bus_ = devsupport::FakeBusService::start(address, [this](sd_bus* bus) {
            const int r = sd_bus_add_object_vtable(bus, nullptr, service_.path, service_.interface,
                                                   kVtable, this);
            return r < 0 ? r : sd_bus_request_name(bus, service_.name, 0);
        });
    }

    bool ready() const { return bus_ != nullptr; }

    // Returns once the change has been announced on the bus.
    void setProfile(std::string profile) {
        bus_->onBusThread([&](sd_bus* bus) {
            profile_ = std::move(profile);
            sd_bus_emit_properties_changed(bus, service_.path, service_.interface, "ActiveProfile",
                                           nullptr);
        });
    }

private:
    static int getProfile(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                          void* self, sd_bus_error*) {
        return sd_bus_message_append(reply, "s",
                                     static_cast<FakePowerProfiles*>(self)->profile_.c_str());
    }

    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("ActiveProfile", "s", getProfile, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END,
    };

    ServiceName service_;
    std::string profile_;
    // Last, so that its thread ends before the profile it serves goes.
    std::unique_ptr<devsupport::FakeBusService> bus_;
};

class LinuxPowerProfilesBus : public ::testing::TestWithParam<ServiceName> {
protected:
    void SetUp() override {
        if (!testing::PrivateBus::daemonAvailable()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        std::string whyNot;
        bus_ = testing::PrivateBus::start(&whyNot);
        ASSERT_NE(bus_, nullptr) << whyNot;
        roots_ = fakeRoots(folder_.path());
        roots_.powerProfilesBus = LinuxBus::at(bus_->address());
        // Slow re-reads: what these tests see must come from the bus.
        roots_.statePollSeconds = 3600;
    }

    TemporaryFolder folder_;
    std::unique_ptr<testing::PrivateBus> bus_;
    LinuxDiagnosticsRoots roots_;
};

TEST_P(LinuxPowerProfilesBus, FollowsTheDaemonAndFallsBackWhenItLeaves) {
    using Source = LinuxSystemState::PowerSaverSource;
    writeFile(roots_.sysFirmwareAcpi / "platform_profile", "balanced\n");
    auto daemon = std::make_unique<FakePowerProfiles>(bus_->address(), GetParam(), "power-saver");
    ASSERT_TRUE(daemon->ready());

    LinuxSystemState state(roots_);
    EXPECT_EQ(state.powerSaverSource(), Source::powerProfilesDaemon);
    EXPECT_TRUE(state.lowPowerMode()); // the daemon wins over the firmware's "balanced"

    std::atomic<int> calls{0};
    state.addObserver([&] { ++calls; });
    daemon->setProfile("performance");
    ASSERT_TRUE(eventually([&] { return !state.lowPowerMode(); }));
    EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));
    daemon->setProfile("power-saver");
    ASSERT_TRUE(eventually([&] { return state.lowPowerMode(); }));
    EXPECT_TRUE(eventually([&] { return calls.load() == 2; }));

    // The daemon leaves: the firmware profile takes over.
    daemon.reset();
    ASSERT_TRUE(eventually([&] { return state.powerSaverSource() == Source::platformProfile; }));
    EXPECT_FALSE(state.lowPowerMode());
    EXPECT_TRUE(eventually([&] { return calls.load() == 3; }));
}

TEST_P(LinuxPowerProfilesBus, PicksUpADaemonThatStartsLater) {
    using Source = LinuxSystemState::PowerSaverSource;
    LinuxSystemState state(roots_);
    EXPECT_EQ(state.powerSaverSource(), Source::none);
    EXPECT_FALSE(state.lowPowerMode());

    FakePowerProfiles daemon(bus_->address(), GetParam(), "power-saver");
    ASSERT_TRUE(daemon.ready());
    ASSERT_TRUE(eventually([&] { return state.lowPowerMode(); }));
    EXPECT_EQ(state.powerSaverSource(), Source::powerProfilesDaemon);
}

INSTANTIATE_TEST_SUITE_P(
    BothNames, LinuxPowerProfilesBus,
    ::testing::Values(ServiceName{"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles",
                                  "net.hadess.PowerProfiles"},
                      ServiceName{"org.freedesktop.UPower.PowerProfiles",
                                  "/org/freedesktop/UPower/PowerProfiles",
                                  "org.freedesktop.UPower.PowerProfiles"}),
    [](const auto& info) { return info.index == 0 ? std::string("hadess") : "freedesktop"; });

TEST_P(LinuxPowerProfilesBus, SignalsFromAnotherConnectionAreIgnored) {
    auto daemon = std::make_unique<FakePowerProfiles>(bus_->address(), GetParam(), "balanced");
    ASSERT_TRUE(daemon->ready());
    LinuxSystemState state(roots_);
    ASSERT_FALSE(state.lowPowerMode());
    std::atomic<int> calls{0};
    state.addObserver([&] { ++calls; });

    // Anyone may emit a signal on any path; only the name's owner counts.
    FakePowerProfiles impostor(bus_->address(),
                               {"org.example.Impostor", GetParam().path, GetParam().interface},
                               "balanced");
    ASSERT_TRUE(impostor.ready());
    impostor.setProfile("power-saver");
    // The impostor's signal was routed before setProfile returned, and the daemon's
    // departure after that: once the departure is seen, the signal was seen too.
    daemon.reset();
    ASSERT_TRUE(eventually(
        [&] { return state.powerSaverSource() == LinuxSystemState::PowerSaverSource::none; }));
    EXPECT_FALSE(state.lowPowerMode());
    EXPECT_EQ(calls.load(), 0);
}

// ---- System information -------------------------------------------------------

TEST(LinuxSystemInformation, MapsArchitectureAndKernelVersion) {
    const std::pair<const char*, const char*> architectures[] = {
        {"aarch64", "arm64"}, {"x86_64", "x86_64"}, {"riscv64", "riscv64"}, {"", ""}};
    for (const auto& [machine, expected] : architectures) {
        EXPECT_EQ(linuxProcessArchitecture(machine), expected) << machine;
    }
    const std::pair<const char*, const char*> versions[] = {
        {"6.1.0-18-amd64", "6.1.0"},
        {"6.18.44-fc-v1272", "6.18.44"},
        {"6.8", "6.8.0"},
        {"6.8-rc1", "6.8.0"},
        {"5", "5.0.0"},
        {"5.10.0.1-custom", "5.10.0"},
        {"4.19.0+", "4.19.0"},
        {"06.01.00", "6.1.0"},
        {"", "0.0.0"},
        {"linux", "0.0.0"},
        {"6..2", "6.0.0"},
        {"99999999999999999999.1.2", "0.1.2"},
    };
    for (const auto& [release, expected] : versions) {
        EXPECT_EQ(linuxOsVersion(release), expected) << release;
    }
}

TEST(LinuxSystemInformation, ReadsThisMachineAndTheModelFromDmi) {
    TemporaryFolder folder;
    writeFile(folder.path() / "dmi" / "product_name", "Latitude 7440\n");
    const SystemInformation information = readLinuxSystemInformation(folder.path() / "dmi");
    EXPECT_EQ(information.hardwareClass, "Linux");
    EXPECT_EQ(information.hardwareModel, "Latitude 7440");
    EXPECT_GT(information.physicalMemoryBytes, 0u);
    EXPECT_FALSE(information.processArchitecture.empty());
    ASSERT_TRUE(information.osBuild.has_value());
    EXPECT_EQ(information.osVersion, linuxOsVersion(*information.osBuild));

    EXPECT_EQ(readLinuxSystemInformation(folder.path() / "missing").hardwareModel, std::nullopt);
    writeFile(folder.path() / "blank" / "product_name", "\n");
    EXPECT_EQ(readLinuxSystemInformation(folder.path() / "blank").hardwareModel, std::nullopt);
}

TEST(LinuxDiagnosticsPlatform, MakesIndependentMonitorsAndOneStateSource) {
    TemporaryFolder folder;
    const DiagnosticsPlatform platform = makeLinuxDiagnosticsPlatform(fakeRoots(folder.path()));
    ASSERT_TRUE(platform.makeNetworkPathMonitor);
    ASSERT_NE(platform.systemState, nullptr);
    auto first = platform.makeNetworkPathMonitor();
    auto second = platform.makeNetworkPathMonitor();
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(platform.systemState->thermalState(), PlatformThermalState::other);
}

} // namespace
} // namespace snagreel
