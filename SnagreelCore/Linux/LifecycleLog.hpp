#pragma once

#include "SnagreelCore/Capture/CaptureController.hpp"

#include <filesystem>
#include <functional>
#include <string>

namespace snagreel {

// The journal socket whose presence decides between the journal and stderr.
inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// Writes one recorder lifecycle line to the journal at info level, with the
// category field SNAGREEL_CATEGORY=recorder-lifecycle; without a journal (a
// container, a non-systemd machine) the same line goes to stderr, prefixed with
// "snagreel[recorder-lifecycle]: ".
void writeLifecycleLine(const std::string& line);

// The same choice with the socket path and the fallback stream named, so that
// the fallback can be exercised on a machine that has a journal.
void writeLifecycleLine(const std::string& line, const std::filesystem::path& journalSocket,
                        std::FILE* fallback);

// The controller's log function: formats each record and writes it as above.
std::function<void(const LifecycleLogRecord&)> lifecycleLogger();

} // namespace snagreel
