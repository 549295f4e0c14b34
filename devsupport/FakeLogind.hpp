#pragma once

#include "devsupport/FakeBusService.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace snagreel::devsupport {

// A stand-in for logind on a private bus: owns org.freedesktop.login1, serves a
// Manager (Inhibit, GetSession, GetSessionByPID, the PrepareForSleep signal) and
// one Session (the Active and LockedHint properties with PropertiesChanged, the
// Lock and Unlock signals), all on a thread of its own. Every emission returns
// once the bus has routed it.
class FakeLogind {
public:
    struct Options {
        std::string sessionID = "1";
        bool active = true;
        // When false GetSessionByPID fails as it does for a process outside any
        // session.
        bool answersByPID = true;
    };

    struct InhibitCall {
        std::string what;
        std::string who;
        std::string why;
        std::string mode;
        bool operator==(const InhibitCall&) const = default;
    };

    static std::unique_ptr<FakeLogind> start(const std::string& address, Options options,
                                             std::string* whyNot = nullptr);
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    std::string sessionPath() const;
    std::vector<InhibitCall> inhibitCalls() const;
    // How many handed-out inhibitors a client still holds open.
    int heldInhibitors() const;
    // Waits (bounded) until no inhibitor is held; false on time-out.
    bool waitUntilReleased() const;
    // The sessions asked for by GetSession, in order.
    std::vector<std::string> sessionLookups() const;

    void emitPrepareForSleep(bool sleeping);
    void setActive(bool active);
    void setLockedHint(bool locked);
    void lock();
    void unlock();

private:
    FakeLogind() = default;

    static int inhibit(sd_bus_message* message, void* self, sd_bus_error* error);
    static int getSession(sd_bus_message* message, void* self, sd_bus_error* error);
    static int getSessionByPID(sd_bus_message* message, void* self, sd_bus_error* error);
    static int getBool(sd_bus* bus, const char* path, const char* interface, const char* property,
                       sd_bus_message* reply, void* self, sd_bus_error* error);

    Options options_;
    std::string sessionPath_;
    bool active_ = true;
    bool locked_ = false;

    mutable std::mutex mutex_;
    std::vector<InhibitCall> calls_;
    std::vector<int> inhibitorReadEnds_;
    std::vector<std::string> lookups_;
    // Last, so that its thread ends before anything it calls back into goes.
    std::unique_ptr<FakeBusService> service_;
};

} // namespace snagreel::devsupport
