#include "devsupport/FakeLogind.hpp"

#include "devsupport/Waiting.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace snagreel::devsupport {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

} // namespace

int FakeLogind::inhibit(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* fake = static_cast<FakeLogind*>(self);
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    int r = sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
    if (r < 0) {
        return r;
    }
    // Like logind: the client gets the write end of a pipe, and the inhibitor
    // lasts until every copy of it is closed.
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return -errno;
    }
    {
        std::lock_guard lock(fake->mutex_);
        fake->calls_.push_back({what, who, why, mode});
        fake->inhibitorReadEnds_.push_back(ends[0]);
    }
    r = sd_bus_reply_method_return(message, "h", ends[1]); // sends a duplicate
    ::close(ends[1]);
    return r;
}

int FakeLogind::getSession(sd_bus_message* message, void* self, sd_bus_error* error) {
    auto* fake = static_cast<FakeLogind*>(self);
    const char* id = nullptr;
    const int r = sd_bus_message_read(message, "s", &id);
    if (r < 0) {
        return r;
    }
    {
        std::lock_guard lock(fake->mutex_);
        fake->lookups_.emplace_back(id);
    }
    if (fake->options_.sessionID != id && std::string(id) != "auto") {
        return sd_bus_error_setf(error, "org.freedesktop.login1.NoSuchSession",
                                 "No session '%s' known", id);
    }
    return sd_bus_reply_method_return(message, "o", fake->sessionPath_.c_str());
}

int FakeLogind::getSessionByPID(sd_bus_message* message, void* self, sd_bus_error* error) {
    auto* fake = static_cast<FakeLogind*>(self);
    std::uint32_t pid = 0;
    const int r = sd_bus_message_read(message, "u", &pid);
    if (r < 0) {
        return r;
    }
    if (!fake->options_.answersByPID) {
        return sd_bus_error_setf(error, "org.freedesktop.login1.NoSessionForPID",
                                 "PID %u does not belong to any known session", pid);
    }
    return sd_bus_reply_method_return(message, "o", fake->sessionPath_.c_str());
}

int FakeLogind::getBool(sd_bus*, const char*, const char*, const char* property,
                        sd_bus_message* reply, void* self, sd_bus_error*) {
    auto* fake = static_cast<FakeLogind*>(self);
    const bool value = std::string(property) == "Active" ? fake->active_ : fake->locked_;
    return sd_bus_message_append(reply, "b", value ? 1 : 0);
}

std::unique_ptr<FakeLogind> FakeLogind::start(const std::string& address, Options options,
                                              std::string* whyNot) {
    std::unique_ptr<FakeLogind> fake(new FakeLogind);
    fake->options_ = std::move(options);
    fake->active_ = fake->options_.active;
    char* escaped = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/login1/session", fake->options_.sessionID.c_str(),
                           &escaped) < 0) {
        return nullptr;
    }
    fake->sessionPath_ = escaped;
    std::free(escaped);

    static const sd_bus_vtable manager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, 0),
        SD_BUS_METHOD("GetSession", "s", "o", &FakeLogind::getSession, 0),
        SD_BUS_METHOD("GetSessionByPID", "u", "o", &FakeLogind::getSessionByPID, 0),
        SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
        SD_BUS_VTABLE_END,
    };
    static const sd_bus_vtable session[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Active", "b", &FakeLogind::getBool, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("LockedHint", "b", &FakeLogind::getBool, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_SIGNAL("Lock", "", 0),
        SD_BUS_SIGNAL("Unlock", "", 0),
        SD_BUS_VTABLE_END,
    };

    auto fail = [&](const char* what) -> std::unique_ptr<FakeLogind> {
        if (whyNot != nullptr) {
            *whyNot = what;
        }
        return nullptr;
    };
    fake->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (sd_bus_new(&fake->bus_) < 0 || sd_bus_set_address(fake->bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(fake->bus_, 1) < 0 || sd_bus_start(fake->bus_) < 0) {
        return fail("the fake logind could not connect to the bus");
    }
    if (sd_bus_add_object_vtable(fake->bus_, nullptr, kManagerPath, kManager, manager, fake.get()) <
            0 ||
        sd_bus_add_object_vtable(fake->bus_, nullptr, fake->sessionPath_.c_str(), kSession, session,
                                 fake.get()) < 0 ||
        sd_bus_request_name(fake->bus_, kService, 0) < 0) {
        return fail("the fake logind could not export its objects");
    }
    fake->thread_ = std::thread([raw = fake.get()] { raw->run(); });
    return fake;
}

FakeLogind::~FakeLogind() {
    stop_ = true;
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (bus_ != nullptr) {
        sd_bus_flush_close_unref(bus_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
    for (int fd : inhibitorReadEnds_) {
        ::close(fd);
    }
}

void FakeLogind::run() {
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

void FakeLogind::onBusThread(std::function<void()> work) {
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard lock(mutex_);
        work_.push_back([this, &work, &done] {
            work();
            // A round trip to the bus: once answered, what was sent has been routed.
            sd_bus_message* reply = nullptr;
            sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetId", nullptr, &reply, "");
            sd_bus_message_unref(reply);
            done.set_value();
        });
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    finished.wait();
}

std::string FakeLogind::sessionPath() const {
    return sessionPath_;
}

std::vector<FakeLogind::InhibitCall> FakeLogind::inhibitCalls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeLogind::sessionLookups() const {
    std::lock_guard lock(mutex_);
    return lookups_;
}

int FakeLogind::heldInhibitors() const {
    std::lock_guard lock(mutex_);
    int held = 0;
    for (int fd : inhibitorReadEnds_) {
        pollfd ready{fd, POLLIN, 0};
        // The read end reports a hang-up once the last write end is closed.
        if (::poll(&ready, 1, 0) == 0 || (ready.revents & POLLHUP) == 0) {
            ++held;
        }
    }
    return held;
}

bool FakeLogind::waitUntilReleased() const {
    return testing::eventually([this] { return heldInhibitors() == 0; });
}

void FakeLogind::emitPrepareForSleep(bool sleeping) {
    onBusThread([this, sleeping] {
        sd_bus_emit_signal(bus_, kManagerPath, kManager, "PrepareForSleep", "b", sleeping ? 1 : 0);
    });
}

void FakeLogind::setActive(bool active) {
    onBusThread([this, active] {
        active_ = active;
        sd_bus_emit_properties_changed(bus_, sessionPath_.c_str(), kSession, "Active", nullptr);
    });
}

void FakeLogind::setLockedHint(bool locked) {
    onBusThread([this, locked] {
        locked_ = locked;
        sd_bus_emit_properties_changed(bus_, sessionPath_.c_str(), kSession, "LockedHint", nullptr);
    });
}

void FakeLogind::lock() {
    onBusThread([this] { sd_bus_emit_signal(bus_, sessionPath_.c_str(), kSession, "Lock", ""); });
}

void FakeLogind::unlock() {
    onBusThread([this] { sd_bus_emit_signal(bus_, sessionPath_.c_str(), kSession, "Unlock", ""); });
}

} // namespace snagreel::devsupport
