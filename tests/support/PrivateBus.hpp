#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>

namespace snagreel::testing {

// A dbus-daemon of the test's own, listening on a unix socket in a temporary
// folder, with a policy that lets any connection own any name and talk to any
// other. Destruction stops the daemon and removes the folder.
class PrivateBus {
public:
    // Whether a dbus-daemon can be started at all (tests skip without one).
    static bool daemonAvailable();

    // Starts a daemon; null (with the reason in `whyNot`) when it cannot. `type`
    // is the bus type the daemon announces ("session" or "system").
    static std::unique_ptr<PrivateBus> start(std::string* whyNot = nullptr,
                                             const std::string& type = "session");

    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The address to hand to sd_bus_set_address or DBUS_*_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    const std::filesystem::path& directory() const { return directory_; }

private:
    PrivateBus() = default;

    std::filesystem::path directory_;
    std::string address_;
    pid_t pid_ = -1;
};

} // namespace snagreel::testing
