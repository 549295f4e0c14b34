#include "devsupport/FakeBusService.hpp"

#include <cstdint>
#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace snagreel::devsupport {

std::unique_ptr<FakeBusService> FakeBusService::start(const std::string& address,
                                                      const std::function<int(sd_bus*)>& setup,
                                                      std::string* whyNot) {
    std::unique_ptr<FakeBusService> service(new FakeBusService);
    auto fail = [&](const char* what) -> std::unique_ptr<FakeBusService> {
        if (whyNot != nullptr) {
            *whyNot = what;
        }
        return nullptr;
    };
    service->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sd_bus* bus = nullptr;
    if (service->wake_ < 0 || sd_bus_new(&bus) < 0) {
        return fail("the fake service could not be made");
    }
    service->bus_ = bus;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        return fail("the fake service could not connect to the bus");
    }
    if (setup(bus) < 0) {
        return fail("the fake service could not export its objects or names");
    }
    service->thread_ = std::thread([raw = service.get()] { raw->run(); });
    return service;
}

FakeBusService::~FakeBusService() {
    stop_ = true;
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (bus_ != nullptr) {
        sd_bus_flush_close_unref(bus_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void FakeBusService::wake() {
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }
}

void FakeBusService::run() {
    while (!stop_) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(work_);
        }
        if (!work.empty()) {
            for (auto& item : work) {
                item();
            }
            continue;
        }
        pollfd fds[2] = {{wake_, POLLIN, 0},
                         {sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0}};
        ::poll(fds, 2, 1000);
        std::uint64_t drained = 0;
        [[maybe_unused]] const auto got = ::read(wake_, &drained, sizeof drained);
    }
}

void FakeBusService::onBusThread(const std::function<void(sd_bus*)>& work) {
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard lock(mutex_);
        work_.push_back([this, &work, &done] {
            work(bus_);
            // A round trip to the bus: once answered, what was sent has been routed.
            sd_bus_message* reply = nullptr;
            sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetId", nullptr, &reply, "");
            sd_bus_message_unref(reply);
            done.set_value();
        });
    }
    wake();
    finished.wait();
}

} // namespace snagreel::devsupport
