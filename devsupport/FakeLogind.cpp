#include "devsupport/FakeLogind.hpp"

#include "devsupport/Waiting.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
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

    FakeLogind* raw = fake.get();
    fake->service_ = FakeBusService::start(
        address,
        [&](sd_bus* bus) {
            int r = sd_bus_add_object_vtable(bus, nullptr, kManagerPath, kManager, manager, raw);
            if (r >= 0) {
                r = sd_bus_add_object_vtable(bus, nullptr, raw->sessionPath_.c_str(), kSession,
                                             session, raw);
            }
            return r < 0 ? r : sd_bus_request_name(bus, kService, 0);
        },
        whyNot);
    if (!fake->service_) {
        return nullptr;
    }
    return fake;
}

FakeLogind::~FakeLogind() {
    service_.reset();
    for (int fd : inhibitorReadEnds_) {
        ::close(fd);
    }
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
    service_->onBusThread([sleeping](sd_bus* bus) {
        sd_bus_emit_signal(bus, kManagerPath, kManager, "PrepareForSleep", "b", sleeping ? 1 : 0);
    });
}

void FakeLogind::setActive(bool active) {
    service_->onBusThread([this, active](sd_bus* bus) {
        active_ = active;
        sd_bus_emit_properties_changed(bus, sessionPath_.c_str(), kSession, "Active", nullptr);
    });
}

void FakeLogind::setLockedHint(bool locked) {
    service_->onBusThread([this, locked](sd_bus* bus) {
        locked_ = locked;
        sd_bus_emit_properties_changed(bus, sessionPath_.c_str(), kSession, "LockedHint", nullptr);
    });
}

void FakeLogind::lock() {
    service_->onBusThread([this](sd_bus* bus) {
        sd_bus_emit_signal(bus, sessionPath_.c_str(), kSession, "Lock", "");
    });
}

void FakeLogind::unlock() {
    service_->onBusThread([this](sd_bus* bus) {
        sd_bus_emit_signal(bus, sessionPath_.c_str(), kSession, "Unlock", "");
    });
}

} // namespace snagreel::devsupport
