#include "SnagreelCore/Linux/LogindSleepInhibitor.hpp"

#include "SnagreelCore/Linux/LogindBus.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace snagreel {

std::unique_ptr<LogindSleepInhibitor> LogindSleepInhibitor::take(const std::string& busAddress) {
    int held = -1;
    if (sd_bus* bus = logind::openBus(busAddress)) {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (sd_bus_message_new_method_call(bus, &call, logind::kService, logind::kManagerPath,
                                           logind::kManagerInterface, "Inhibit") >= 0 &&
            sd_bus_message_append(call, "ssss", SleepInhibit::what, SleepInhibit::who,
                                  SleepInhibit::why, SleepInhibit::mode) >= 0 &&
            sd_bus_message_set_auto_start(call, 0) >= 0 &&
            sd_bus_call(bus, call, logind::kCallTimeoutMicroseconds, &error, &reply) >= 0) {
            int fd = -1;
            // The reply owns its descriptor; the inhibitor must outlive the reply.
            if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
                held = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            }
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_flush_close_unref(bus);
    }
    return std::unique_ptr<LogindSleepInhibitor>(new LogindSleepInhibitor(held));
}

LogindSleepInhibitor::~LogindSleepInhibitor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::function<std::unique_ptr<RecordingActivity>()>
logindRecordingActivity(std::string busAddress) {
    return [busAddress = std::move(busAddress)]() -> std::unique_ptr<RecordingActivity> {
        return LogindSleepInhibitor::take(busAddress);
    };
}

} // namespace snagreel
