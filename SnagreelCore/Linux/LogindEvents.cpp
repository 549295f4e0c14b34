#include "SnagreelCore/Linux/LogindEvents.hpp"

#include "SnagreelCore/Linux/LifecycleSubscribers.hpp"
#include "SnagreelCore/Linux/LogindBus.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace snagreel {

using Event = CaptureLifecycleMonitor::Event;

struct LogindEvents::Worker {
    Worker(std::shared_ptr<LifecycleSubscribers> subscribers, const Options& options)
        : subscribers(std::move(subscribers)) {
        bus = logind::openBus(options.busAddress);
        if (bus == nullptr) {
            return;
        }
        sessionPath = findSession(options.sessionID);
        if (!sessionPath.empty()) {
            if (auto value = readBool("Active")) {
                active = *value ? 1 : 0;
            }
        }
        match(logind::kManagerPath, logind::kManagerInterface, "PrepareForSleep",
              &Worker::onPrepareForSleep);
        if (!sessionPath.empty()) {
            match(sessionPath.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged",
                  &Worker::onPropertiesChanged);
        }
        cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (cancelFd >= 0) {
            thread = std::thread([this] { run(); });
        }
    }

    ~Worker() {
        if (thread.joinable()) {
            const std::uint64_t one = 1;
            while (::write(cancelFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            thread.join();
        }
        if (cancelFd >= 0) {
            ::close(cancelFd);
        }
        for (sd_bus_slot* slot : slots) {
            sd_bus_slot_unref(slot);
        }
        if (bus != nullptr) {
            sd_bus_flush_close_unref(bus);
        }
    }

    std::optional<bool> onConsole() const {
        const int value = active.load();
        if (value < 0) {
            return std::nullopt;
        }
        return value == 1;
    }

    // ---- setup (constructor) and then the worker thread only ----

    // A call to logind with the short timeout; `append` adds the arguments.
    sd_bus_message* call(const char* path, const char* interface, const char* method,
                         const std::function<int(sd_bus_message*)>& append) {
        sd_bus_message* message = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (sd_bus_message_new_method_call(bus, &message, logind::kService, path, interface,
                                           method) >= 0 &&
            append(message) >= 0 && sd_bus_message_set_auto_start(message, 0) >= 0) {
            sd_bus_call(bus, message, logind::kCallTimeoutMicroseconds, &error, &reply);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(message);
        return reply; // null on failure
    }

    std::string sessionCall(const char* method, const std::function<int(sd_bus_message*)>& append) {
        std::string path;
        sd_bus_message* reply =
            call(logind::kManagerPath, logind::kManagerInterface, method, append);
        const char* value = nullptr;
        if (reply != nullptr && sd_bus_message_read(reply, "o", &value) >= 0 && value != nullptr) {
            path = value;
        }
        sd_bus_message_unref(reply);
        return path;
    }

    std::string sessionNamed(const char* id) {
        return sessionCall("GetSession",
                           [id](sd_bus_message* m) { return sd_bus_message_append(m, "s", id); });
    }

    std::string findSession(const std::string& configured) {
        if (!configured.empty()) {
            return sessionNamed(configured.c_str());
        }
        const auto pid = static_cast<std::uint32_t>(::getpid());
        if (auto path = sessionCall(
                "GetSessionByPID",
                [pid](sd_bus_message* m) { return sd_bus_message_append(m, "u", pid); });
            !path.empty()) {
            return path;
        }
        // A program started by the user's service manager is outside the session
        // scope; the environment still names the session it belongs to.
        if (const char* id = std::getenv("XDG_SESSION_ID"); id != nullptr && *id != '\0') {
            if (auto path = sessionNamed(id); !path.empty()) {
                return path;
            }
        }
        return sessionNamed("auto");
    }

    std::optional<bool> readBool(const char* property) {
        sd_bus_message* reply =
            call(sessionPath.c_str(), "org.freedesktop.DBus.Properties", "Get",
                 [property](sd_bus_message* m) {
                     return sd_bus_message_append(m, "ss", logind::kSessionInterface, property);
                 });
        std::optional<bool> result;
        int value = 0;
        if (reply != nullptr && sd_bus_message_read(reply, "v", "b", &value) >= 0) {
            result = value != 0;
        }
        sd_bus_message_unref(reply);
        return result;
    }

    void match(const char* path, const char* interface, const char* member,
               sd_bus_message_handler_t handler) {
        sd_bus_slot* slot = nullptr;
        if (sd_bus_match_signal(bus, &slot, logind::kService, path, interface, member, handler,
                                this) >= 0) {
            slots.push_back(slot);
        }
    }

    void post(Event event) { subscribers->post(event); }

    static int onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*) {
        int sleeping = 0;
        if (sd_bus_message_read(message, "b", &sleeping) >= 0) {
            static_cast<Worker*>(self)->post(sleeping != 0 ? Event::systemSleep
                                                           : Event::systemWake);
        }
        return 0;
    }

    // Only a switch to another session holds recording back. A locked screen keeps
    // its rewind: the locker grabs the keyboard, so nobody at it can save a clip, and
    // the frames never leave this process; discarding them would lose the minute
    // before the lock.
    void setActive(bool value) {
        active = value ? 1 : 0;
        post(value ? Event::sessionActive : Event::sessionInactive);
    }

    static int onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*) {
        auto* worker = static_cast<Worker*>(self);
        const char* interface = nullptr;
        if (sd_bus_message_read(message, "s", &interface) < 0 || interface == nullptr ||
            std::strcmp(interface, logind::kSessionInterface) != 0 ||
            sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
            return 0;
        }
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* name = nullptr;
            if (sd_bus_message_read(message, "s", &name) < 0 || name == nullptr) {
                return 0;
            }
            if (std::strcmp(name, "Active") == 0) {
                int value = 0;
                if (sd_bus_message_read(message, "v", "b", &value) < 0) {
                    return 0;
                }
                worker->setActive(value != 0);
            } else if (sd_bus_message_skip(message, "v") < 0) {
                return 0;
            }
            sd_bus_message_exit_container(message);
        }
        sd_bus_message_exit_container(message);
        char** invalidated = nullptr;
        if (sd_bus_message_read_strv(message, &invalidated) >= 0 && invalidated != nullptr) {
            for (char** name = invalidated; *name != nullptr; ++name) {
                if (std::strcmp(*name, "Active") == 0) {
                    if (auto value = worker->readBool("Active")) {
                        worker->setActive(*value);
                    }
                }
                std::free(*name);
            }
            std::free(invalidated);
        }
        return 0;
    }

    void run() {
        for (;;) {
            int processed = 0;
            while ((processed = sd_bus_process(bus, nullptr)) > 0) {
            }
            if (processed < 0) {
                return; // the bus went away: no more events
            }
            pollfd fds[2] = {{cancelFd, POLLIN, 0},
                             {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
            std::uint64_t timeout = 0;
            int wait = -1;
            if (sd_bus_get_timeout(bus, &timeout) >= 0 && timeout != UINT64_MAX) {
                wait = 1000; // a pending call times out: look again soon
            }
            if (::poll(fds, 2, wait) < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents != 0) {
                return;
            }
        }
    }

    std::shared_ptr<LifecycleSubscribers> subscribers;
    sd_bus* bus = nullptr;
    std::vector<sd_bus_slot*> slots;
    std::string sessionPath;
    std::atomic<int> active{-1}; // -1 unknown
    int cancelFd = -1;
    std::thread thread;
};

std::shared_ptr<LogindEvents> LogindEvents::start(Executor& main, Options options) {
    std::shared_ptr<LogindEvents> events(new LogindEvents);
    events->subscribers_ = std::make_shared<LifecycleSubscribers>(main);
    events->worker_ = std::make_unique<Worker>(events->subscribers_, options);
    return events;
}

LogindEvents::~LogindEvents() {
    worker_.reset(); // joins the thread before the subscribers go
}

std::uint64_t LogindEvents::subscribe(std::function<void(Event)> handler) {
    return subscribers_->add(std::move(handler));
}

void LogindEvents::unsubscribe(std::uint64_t token) {
    subscribers_->remove(token);
}

std::optional<bool> LogindEvents::onConsole() const {
    return worker_ ? worker_->onConsole() : std::nullopt;
}

std::string LogindEvents::sessionPath() const {
    return worker_ ? worker_->sessionPath : std::string();
}

bool LogindEvents::isConnected() const {
    return worker_ && worker_->bus != nullptr;
}

} // namespace snagreel
