#pragma once

#include "SnagreelCore/Capture/CaptureController.hpp"

#include <functional>
#include <memory>
#include <string>

namespace snagreel {

// What the inhibitor asks logind for; "delay" lets the system sleep (idle or
// asked) while giving the recorder a moment to stop first.
namespace SleepInhibit {
inline constexpr const char* what = "sleep";
inline constexpr const char* who = "Snagreel";
inline constexpr const char* why = "User-enabled rewind recording";
inline constexpr const char* mode = "delay";
} // namespace SleepInhibit

// A recording activity holding a logind sleep inhibitor in delay mode: the file
// descriptor logind hands back is the inhibitor, and destroying the activity
// closes it. The controller drops the activity as soon as a sleep suspends
// recording, so sleep is delayed only as long as stopping takes.
class LogindSleepInhibitor final : public RecordingActivity {
public:
    // Asks logind on `busAddress` (the system bus when empty). Without logind, or
    // when it refuses, the result holds nothing: recording goes on regardless.
    static std::unique_ptr<LogindSleepInhibitor> take(const std::string& busAddress = "");
    ~LogindSleepInhibitor() override;
    LogindSleepInhibitor(const LogindSleepInhibitor&) = delete;
    LogindSleepInhibitor& operator=(const LogindSleepInhibitor&) = delete;

    // Whether logind granted the inhibitor.
    bool isHeld() const { return fd_ >= 0; }

private:
    explicit LogindSleepInhibitor(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The controller's beginActivity function for logind on `busAddress`.
std::function<std::unique_ptr<RecordingActivity>()>
logindRecordingActivity(std::string busAddress = "");

} // namespace snagreel
