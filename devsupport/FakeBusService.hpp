#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace snagreel::devsupport {

// One connection of a stand-in service on a private bus, with a thread of its own
// that answers calls (sd-bus objects are single-threaded). The service's objects
// and names are set up on the connection before the thread starts; everything the
// service sends later goes through onBusThread.
class FakeBusService {
public:
    // Connects to `address` and runs `setup` (which adds objects and requests names,
    // returning a negative errno on failure); null, with the reason in `whyNot`,
    // when either fails.
    static std::unique_ptr<FakeBusService> start(const std::string& address,
                                                 const std::function<int(sd_bus*)>& setup,
                                                 std::string* whyNot = nullptr);
    // Stops the thread and closes the connection: the service leaves the bus.
    ~FakeBusService();
    FakeBusService(const FakeBusService&) = delete;
    FakeBusService& operator=(const FakeBusService&) = delete;

    // Runs `work` on the bus thread and returns once the bus has routed what it sent.
    void onBusThread(const std::function<void(sd_bus*)>& work);

private:
    FakeBusService() = default;
    void run();
    void wake();

    sd_bus* bus_ = nullptr;
    int wake_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::function<void()>> work_;
    std::thread thread_;
};

} // namespace snagreel::devsupport
