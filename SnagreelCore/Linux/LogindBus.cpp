#include "SnagreelCore/Linux/LogindBus.hpp"

#include <ctime>
#include <systemd/sd-bus.h>

namespace snagreel::logind {

namespace {

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// sd_bus_call would otherwise wait for authentication with the library's own
// 25 s timeout on a daemon that accepts but never answers.
bool waitUntilReady(sd_bus* bus, std::uint64_t timeoutMicroseconds) {
    const std::uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
    for (;;) {
        const int ready = sd_bus_is_ready(bus);
        if (ready != 0) {
            return ready > 0;
        }
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed > 0) {
            continue;
        }
        const std::uint64_t now = monotonicMicroseconds();
        if (now >= deadline || sd_bus_wait(bus, deadline - now) < 0) {
            return false;
        }
    }
}

} // namespace

sd_bus* openBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) {
        if (sd_bus_open_system(&bus) < 0) {
            return nullptr;
        }
    } else if (sd_bus_new(&bus) < 0) {
        return nullptr;
    } else if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
               sd_bus_start(bus) < 0) {
        sd_bus_close_unref(bus);
        return nullptr;
    }
    if (!waitUntilReady(bus, kCallTimeoutMicroseconds)) {
        sd_bus_close_unref(bus);
        return nullptr;
    }
    return bus;
}

} // namespace snagreel::logind
