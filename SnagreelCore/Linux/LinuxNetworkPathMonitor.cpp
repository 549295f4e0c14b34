#include "SnagreelCore/Linux/LinuxNetworkPathMonitor.hpp"

#include "SnagreelCore/Linux/LinuxNetworkPath.hpp"

#include <array>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace snagreel {

namespace {

// Changes come in bursts (a link going down drops its addresses and routes in a
// row); waiting this long for the next message of a burst reports the settled
// path instead of every step on the way.
constexpr int kBurstSettleMilliseconds = 100;
constexpr int kBurstLimitMilliseconds = 1000;

int openSubscription() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    // A larger buffer makes overruns rare; an overrun costs nothing but a re-read.
    const int size = 256 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads every queued notification. The messages themselves are not needed: each
// burst is answered by a full dump, which also recovers from ENOBUFS overruns.
// Returns false when the socket has failed for good.
bool drain(int fd, std::vector<std::uint64_t>& buffer) {
    for (;;) {
        const ssize_t got =
            ::recv(fd, buffer.data(), buffer.size() * sizeof(std::uint64_t), MSG_DONTWAIT);
        if (got > 0 || (got < 0 && (errno == EINTR || errno == ENOBUFS))) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        return false;
    }
}

NetworkPath currentPath(const std::filesystem::path& sysClassNet) {
    auto tables = readLinuxNetworkTables();
    if (!tables) {
        return NetworkPath{}; // status other: not known
    }
    return computeLinuxNetworkPath(*tables, sysClassNet);
}

} // namespace

struct LinuxNetworkPathMonitor::Delivery {
    std::atomic<bool> live{true};
    std::function<void(const NetworkPath&)> onUpdate;
    Executor* queue = nullptr;

    static void post(const std::shared_ptr<Delivery>& delivery, const NetworkPath& path) {
        delivery->queue->post([delivery, path] {
            if (delivery->live.load()) {
                delivery->onUpdate(path);
            }
        });
    }
};

LinuxNetworkPathMonitor::LinuxNetworkPathMonitor(std::filesystem::path sysClassNet)
    : sysClassNet_(std::move(sysClassNet)) {}

LinuxNetworkPathMonitor::~LinuxNetworkPathMonitor() {
    cancel();
}

void LinuxNetworkPathMonitor::start(Executor& queue,
                                    std::function<void(const NetworkPath&)> onUpdate) {
    cancel();
    delivery_ = std::make_shared<Delivery>();
    delivery_->onUpdate = std::move(onUpdate);
    delivery_->queue = &queue;

    // Subscribe before the first dump, so no change between the two goes unseen.
    const int subscription = openSubscription();
    cancelFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (subscription < 0 || cancelFd_ < 0) {
        if (subscription >= 0) {
            ::close(subscription);
        }
        if (cancelFd_ >= 0) {
            ::close(cancelFd_);
            cancelFd_ = -1;
        }
        Delivery::post(delivery_, NetworkPath{});
        return;
    }

    thread_ = std::thread(
        [delivery = delivery_, sysClassNet = sysClassNet_, subscription, cancelFd = cancelFd_] {
            std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
            NetworkPath last = currentPath(sysClassNet);
            Delivery::post(delivery, last);

            bool listening = true;
            while (listening) {
                std::array<pollfd, 2> fds{{{cancelFd, POLLIN, 0}, {subscription, POLLIN, 0}}};
                if (::poll(fds.data(), fds.size(), -1) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    break;
                }
                if (fds[0].revents != 0) {
                    break;
                }
                if (fds[1].revents == 0) {
                    continue;
                }
                // Let the burst settle: keep reading while messages follow each other
                // closely, bounded so that a flapping link still gets reported.
                int waited = 0;
                for (;;) {
                    if (!drain(subscription, buffer)) {
                        listening = false;
                        break;
                    }
                    std::array<pollfd, 2> more{{{cancelFd, POLLIN, 0}, {subscription, POLLIN, 0}}};
                    const int ready = ::poll(more.data(), more.size(), kBurstSettleMilliseconds);
                    if (ready > 0 && more[0].revents != 0) {
                        listening = false;
                        break;
                    }
                    waited += kBurstSettleMilliseconds;
                    if (ready <= 0 || waited >= kBurstLimitMilliseconds) {
                        break;
                    }
                }
                if (!listening) {
                    break;
                }
                const NetworkPath path = currentPath(sysClassNet);
                // A failed re-read keeps the last known path rather than flapping to unknown.
                if (path.status != NetworkPath::Status::other && path != last) {
                    last = path;
                    Delivery::post(delivery, path);
                }
            }
            ::close(subscription);
        });
}

void LinuxNetworkPathMonitor::cancel() {
    if (delivery_) {
        delivery_->live.store(false);
    }
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(cancelFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (cancelFd_ >= 0) {
        ::close(cancelFd_);
        cancelFd_ = -1;
    }
    delivery_.reset();
}

} // namespace snagreel
