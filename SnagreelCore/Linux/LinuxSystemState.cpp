#include "SnagreelCore/Linux/LinuxSystemState.hpp"

#include "SnagreelCore/Linux/LinuxSysfs.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace snagreel {

namespace {

namespace fs = std::filesystem;

// Bounds that keep a strange tree from turning one reading into a long walk.
constexpr int kMaximumZones = 256;
constexpr int kMaximumTripPoints = 64;
// Below the throttling (passive) trip by less than this, in millidegrees, is "fair".
constexpr long long kFairMarginMillidegrees = 10000;
constexpr std::uint64_t kMethodCallTimeoutMicroseconds = 200 * 1000;

std::optional<PlatformThermalState> zoneState(const fs::path& zone) {
    const auto temperature = readSysfsInteger(zone / "temp");
    if (!temperature) {
        return std::nullopt;
    }
    std::optional<long long> passive;
    std::optional<long long> hot;
    std::optional<long long> critical;
    auto lowest = [](std::optional<long long>& slot, long long value) {
        slot = slot ? std::min(*slot, value) : value;
    };
    for (int index = 0; index < kMaximumTripPoints; ++index) {
        const std::string stem = "trip_point_" + std::to_string(index);
        const auto type = readSysfsText(zone / (stem + "_type"));
        if (!type) {
            break;
        }
        // Drivers mark unused trips with 0 or a negative "invalid" temperature;
        // taken at face value they would put every zone above its limit.
        const auto limit = readSysfsInteger(zone / (stem + "_temp"));
        if (!limit || *limit <= 0) {
            continue;
        }
        if (*type == "passive") {
            lowest(passive, *limit);
        } else if (*type == "hot") {
            lowest(hot, *limit);
        } else if (*type == "critical") {
            lowest(critical, *limit);
        }
    }
    // Zones without a passive trip are judged against their "hot" trip, the next
    // step at which the platform acts on its own.
    const std::optional<long long> throttle = passive ? passive : hot;
    if (!throttle && !critical) {
        return std::nullopt; // a bare sensor says nothing about pressure
    }
    if (critical && *temperature >= *critical) {
        return PlatformThermalState::critical;
    }
    if (throttle) {
        if (*temperature >= *throttle) {
            return PlatformThermalState::serious;
        }
        if (*temperature >= *throttle - kFairMarginMillidegrees) {
            return PlatformThermalState::fair;
        }
    }
    return PlatformThermalState::nominal;
}

int severity(PlatformThermalState state) {
    switch (state) {
    case PlatformThermalState::nominal:
        return 1;
    case PlatformThermalState::fair:
        return 2;
    case PlatformThermalState::serious:
        return 3;
    case PlatformThermalState::critical:
        return 4;
    case PlatformThermalState::other:
        break;
    }
    return 0;
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

struct PowerProfilesService {
    const char* name;
    const char* path;
    const char* interface;
};

// power-profiles-daemon's historical name first; newer releases also own the
// freedesktop name (and some systems only that one).
constexpr std::array<PowerProfilesService, 2> kServices{{
    {"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles"},
    {"org.freedesktop.UPower.PowerProfiles", "/org/freedesktop/UPower/PowerProfiles",
     "org.freedesktop.UPower.PowerProfiles"},
}};

sd_bus* openBus(const LinuxBus& choice) {
    sd_bus* bus = nullptr;
    switch (choice.kind) {
    case LinuxBus::Kind::none:
        return nullptr;
    case LinuxBus::Kind::system:
        if (sd_bus_open_system(&bus) < 0) {
            return nullptr;
        }
        return bus;
    case LinuxBus::Kind::address:
        if (sd_bus_new(&bus) < 0) {
            return nullptr;
        }
        if (sd_bus_set_address(bus, choice.address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
            sd_bus_close_unref(bus);
            return nullptr;
        }
        return bus;
    }
    return nullptr;
}

// sd_bus_call would otherwise wait for authentication with the library's own
// 25 s timeout on a daemon that accepts but never answers.
bool waitUntilReady(sd_bus* bus, std::uint64_t timeoutMicroseconds) {
    const std::uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
    for (;;) {
        const int ready = sd_bus_is_ready(bus);
        if (ready > 0) {
            return true;
        }
        if (ready < 0) {
            return false;
        }
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed > 0) {
            continue;
        }
        const std::uint64_t now = monotonicMicroseconds();
        if (now >= deadline) {
            return false;
        }
        if (sd_bus_wait(bus, deadline - now) < 0) {
            return false;
        }
    }
}

std::optional<std::string> readActiveProfile(sd_bus* bus, const PowerProfilesService& service) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, service.name, service.path,
                                       "org.freedesktop.DBus.Properties", "Get") < 0) {
        return std::nullopt;
    }
    std::optional<std::string> profile;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    // No activation: starting the daemon on our behalf could take far longer
    // than a reading may, and it is not ours to start.
    if (sd_bus_message_append(call, "ss", service.interface, "ActiveProfile") >= 0 &&
        sd_bus_message_set_auto_start(call, 0) >= 0 &&
        sd_bus_call(bus, call, kMethodCallTimeoutMicroseconds, &error, &reply) >= 0) {
        const char* value = nullptr;
        if (sd_bus_message_read(reply, "v", "s", &value) >= 0 && value != nullptr) {
            profile = value;
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return profile;
}

} // namespace

PlatformThermalState readLinuxThermalState(const std::filesystem::path& sysClassThermal) {
    std::error_code error;
    fs::directory_iterator entries(sysClassThermal, error);
    if (error) {
        return PlatformThermalState::other;
    }
    PlatformThermalState worst = PlatformThermalState::other;
    int seen = 0;
    for (const fs::directory_iterator end; entries != end && seen < kMaximumZones;
         entries.increment(error)) {
        if (error) {
            break;
        }
        const std::string name = entries->path().filename().string();
        if (!name.starts_with("thermal_zone")) {
            continue;
        }
        ++seen;
        if (const auto state = zoneState(entries->path());
            state && severity(*state) > severity(worst)) {
            worst = *state;
        }
    }
    return worst;
}

std::optional<bool> readPlatformProfileLowPower(const std::filesystem::path& sysFirmwareAcpi) {
    const auto profile = readSysfsText(sysFirmwareAcpi / "platform_profile");
    if (!profile) {
        return std::nullopt;
    }
    return *profile == "low-power";
}

struct LinuxSystemState::Worker {
    explicit Worker(const LinuxDiagnosticsRoots& roots)
        : sysClassThermal(roots.sysClassThermal), sysFirmwareAcpi(roots.sysFirmwareAcpi),
          pollMicroseconds(static_cast<std::uint64_t>(
              (std::isfinite(roots.statePollSeconds) && roots.statePollSeconds > 0.001
                   ? std::min(roots.statePollSeconds, 3600.0)
                   : 5.0) *
              1e6)) {
        bus = openBus(roots.powerProfilesBus);
        if (bus != nullptr) {
            subscribe();
            if (waitUntilReady(bus, kMethodCallTimeoutMicroseconds)) {
                queryDaemon();
            }
        }
        update(false);
        cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    // The thread owns the worker too: released from one of its own observers, the
    // source cannot join its own thread, and the thread still has to unwind through
    // the worker's state after that observer returns.
    static void startThread(const std::shared_ptr<Worker>& self) {
        if (self->cancelFd >= 0) {
            self->thread = std::thread([self] { self->run(); });
        }
    }

    void shutDown() {
        if (thread.joinable()) {
            const std::uint64_t one = 1;
            while (::write(cancelFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach(); // the thread's own reference ends the worker
            } else {
                thread.join();
            }
        }
    }

    ~Worker() {
        if (cancelFd >= 0) {
            ::close(cancelFd);
        }
        dropBus();
    }

    // Bus side, used by the constructor and then only by the worker thread.

    void subscribe() {
        for (const auto& service : kServices) {
            const std::string changed =
                std::string("type='signal',sender='") + service.name + "',path='" + service.path +
                "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',arg0='" +
                service.interface + "'";
            const std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',"
                                                  "path='/org/freedesktop/DBus',interface='org."
                                                  "freedesktop.DBus',member='NameOwnerChanged',"
                                                  "arg0='") +
                                      service.name + "'";
            addMatch(changed, &Worker::onPropertiesChanged);
            addMatch(owner, &Worker::onOwnerChanged);
        }
    }

    void addMatch(const std::string& rule, sd_bus_message_handler_t handler) {
        sd_bus_slot* slot = nullptr;
        // A match the daemon refuses is no reason to drop the connection (the
        // default when no install handler is given); changes then come with the
        // next re-read instead.
        if (sd_bus_add_match_async(
                bus, &slot, rule.c_str(), handler,
                [](sd_bus_message*, void*, sd_bus_error*) { return 0; }, this) >= 0) {
            slots.push_back(slot);
        }
    }

    static int onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*) {
        auto* worker = static_cast<Worker*>(self);
        const char* interface = nullptr;
        if (sd_bus_message_read(message, "s", &interface) < 0 ||
            sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
            worker->refreshNeeded = true;
            return 0;
        }
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* name = nullptr;
            char type = 0;
            const char* contents = nullptr;
            if (sd_bus_message_read(message, "s", &name) < 0 ||
                sd_bus_message_peek_type(message, &type, &contents) < 0) {
                worker->refreshNeeded = true;
                return 0;
            }
            const char* value = nullptr;
            if (std::string_view(name) == "ActiveProfile" && contents != nullptr &&
                std::string_view(contents) == "s") {
                if (sd_bus_message_read(message, "v", "s", &value) < 0 || value == nullptr) {
                    worker->refreshNeeded = true;
                    return 0;
                }
                worker->daemonProfile = value;
                worker->changed = true;
            } else if (sd_bus_message_skip(message, "v") < 0) {
                worker->refreshNeeded = true;
                return 0;
            }
            sd_bus_message_exit_container(message);
        }
        sd_bus_message_exit_container(message);
        char** invalidated = nullptr;
        if (sd_bus_message_read_strv(message, &invalidated) >= 0 && invalidated != nullptr) {
            for (char** name = invalidated; *name != nullptr; ++name) {
                if (std::string_view(*name) == "ActiveProfile") {
                    worker->refreshNeeded = true;
                }
                free(*name);
            }
            free(invalidated);
        }
        return 0;
    }

    static int onOwnerChanged(sd_bus_message*, void* self, sd_bus_error*) {
        // The daemon came or went: ask again instead of trusting the old reading.
        static_cast<Worker*>(self)->refreshNeeded = true;
        return 0;
    }

    void queryDaemon() {
        queried = true;
        for (const auto& service : kServices) {
            if (auto profile = readActiveProfile(bus, service)) {
                daemonProfile = std::move(profile);
                return;
            }
        }
        daemonProfile.reset();
    }

    void dropBus() {
        for (sd_bus_slot* slot : slots) {
            sd_bus_slot_unref(slot);
        }
        slots.clear();
        if (bus != nullptr) {
            sd_bus_close_unref(bus);
            bus = nullptr;
        }
        daemonProfile.reset();
    }

    // Takes fresh readings; with `notify`, tells the observers when one changed.
    void update(bool notify) {
        const PlatformThermalState nextThermal = readLinuxThermalState(sysClassThermal);
        PowerSaverSource nextSource = PowerSaverSource::none;
        bool nextLowPower = false;
        if (daemonProfile) {
            nextSource = PowerSaverSource::powerProfilesDaemon;
            nextLowPower = isPowerSaverProfile(*daemonProfile);
        } else if (const auto firmware = readPlatformProfileLowPower(sysFirmwareAcpi)) {
            nextSource = PowerSaverSource::platformProfile;
            nextLowPower = *firmware;
        }
        std::vector<std::function<void()>> toCall;
        {
            std::lock_guard lock(mutex);
            const bool differs = nextThermal != thermal || nextLowPower != lowPower;
            thermal = nextThermal;
            lowPower = nextLowPower;
            source = nextSource;
            if (notify && differs) {
                for (const auto& [token, observer] : observers) {
                    toCall.push_back(observer);
                }
            }
        }
        for (const auto& observer : toCall) {
            observer();
        }
    }

    void run() {
        std::uint64_t nextTick = monotonicMicroseconds() + pollMicroseconds;
        for (;;) {
            if (bus != nullptr) {
                int processed = 0;
                while ((processed = sd_bus_process(bus, nullptr)) > 0) {
                }
                if (processed < 0) {
                    // The bus went away; the firmware profile is all that is left.
                    dropBus();
                    changed = true;
                } else if (!queried && sd_bus_is_ready(bus) > 0) {
                    refreshNeeded = true;
                }
            }
            if (bus != nullptr && refreshNeeded) {
                refreshNeeded = false;
                queryDaemon();
                changed = true;
            }
            const std::uint64_t now = monotonicMicroseconds();
            if (now >= nextTick) {
                nextTick = now + pollMicroseconds;
                changed = true;
            }
            if (changed) {
                changed = false;
                update(true);
                continue; // observers may have taken a while; look at the bus again
            }

            std::uint64_t wakeAt = nextTick;
            std::array<pollfd, 2> fds{{{cancelFd, POLLIN, 0}, {-1, 0, 0}}};
            if (bus != nullptr) {
                fds[1].fd = sd_bus_get_fd(bus);
                const int events = sd_bus_get_events(bus);
                fds[1].events = static_cast<short>(events > 0 ? events : POLLIN);
                std::uint64_t busTimeout = 0;
                if (sd_bus_get_timeout(bus, &busTimeout) >= 0 && busTimeout != UINT64_MAX) {
                    wakeAt = std::min(wakeAt, busTimeout);
                }
            }
            const std::uint64_t current = monotonicMicroseconds();
            const int timeout =
                wakeAt <= current ? 0 : static_cast<int>((wakeAt - current + 999) / 1000);
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents != 0) {
                return;
            }
        }
    }

    const fs::path sysClassThermal;
    const fs::path sysFirmwareAcpi;
    const std::uint64_t pollMicroseconds;

    // Confined to the constructor and then the worker thread.
    sd_bus* bus = nullptr;
    std::vector<sd_bus_slot*> slots;
    std::optional<std::string> daemonProfile; // present while the daemon answers
    bool queried = false;
    bool refreshNeeded = false;
    bool changed = false;
    int cancelFd = -1;
    std::thread thread;

    mutable std::mutex mutex;
    PlatformThermalState thermal = PlatformThermalState::other;
    bool lowPower = false;
    PowerSaverSource source = PowerSaverSource::none;
    std::map<std::uint64_t, std::function<void()>> observers;
    std::uint64_t nextToken = 1;
};

LinuxSystemState::LinuxSystemState(const LinuxDiagnosticsRoots& roots)
    : worker_(std::make_shared<Worker>(roots)) {
    Worker::startThread(worker_);
}

LinuxSystemState::~LinuxSystemState() {
    worker_->shutDown();
}

PlatformThermalState LinuxSystemState::thermalState() {
    std::lock_guard lock(worker_->mutex);
    return worker_->thermal;
}

bool LinuxSystemState::lowPowerMode() {
    std::lock_guard lock(worker_->mutex);
    return worker_->lowPower;
}

std::uint64_t LinuxSystemState::addObserver(std::function<void()> onChange) {
    std::lock_guard lock(worker_->mutex);
    const std::uint64_t token = worker_->nextToken++;
    if (onChange) {
        worker_->observers.emplace(token, std::move(onChange));
    }
    return token;
}

void LinuxSystemState::removeObserver(std::uint64_t token) {
    std::lock_guard lock(worker_->mutex);
    worker_->observers.erase(token);
}

LinuxSystemState::PowerSaverSource LinuxSystemState::powerSaverSource() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->source;
}

} // namespace snagreel
