#pragma once

#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

namespace snagreel {

// Watches rtnetlink for link, address and route changes on a small thread of its
// own (no polling) and reports the recomputed path on the caller's executor:
// once after start() and then whenever a change burst alters the path. When the
// netlink socket cannot be opened the first report has status `other` (which the
// collector records as unknown) and nothing follows.
class LinuxNetworkPathMonitor final : public NetworkPathMonitor {
public:
    explicit LinuxNetworkPathMonitor(std::filesystem::path sysClassNet = "/sys/class/net");
    ~LinuxNetworkPathMonitor() override;

    void start(Executor& queue, std::function<void(const NetworkPath&)> onUpdate) override;
    // Stops the thread and joins it; no update is delivered afterwards, even one
    // already posted to the executor.
    void cancel() override;

private:
    struct Delivery;

    std::filesystem::path sysClassNet_;
    std::shared_ptr<Delivery> delivery_;
    int cancelFd_ = -1;
    std::thread thread_;
};

} // namespace snagreel
