#include "SnagreelCore/Linux/LifecycleLog.hpp"

#include <cstdio>
#include <sys/stat.h>
#include <systemd/sd-journal.h>

namespace snagreel {

namespace {

bool socketExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

} // namespace

void writeLifecycleLine(const std::string& line, const std::filesystem::path& journalSocket,
                        std::FILE* fallback) {
    // The journal is only asked when its socket is there: sd_journal_send reports
    // success without a journal on some setups, and the line would be lost.
    if (socketExists(journalSocket) &&
        sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=6",
                        "SNAGREEL_CATEGORY=recorder-lifecycle", "SYSLOG_IDENTIFIER=snagreel",
                        nullptr) >= 0) {
        return;
    }
    if (fallback != nullptr) {
        // One write per line, so that lines from several threads never interleave.
        const std::string text = "snagreel[recorder-lifecycle]: " + line + "\n";
        std::fwrite(text.data(), 1, text.size(), fallback);
        std::fflush(fallback);
    }
}

void writeLifecycleLine(const std::string& line) {
    writeLifecycleLine(line, kJournalSocket, stderr);
}

std::function<void(const LifecycleLogRecord&)> lifecycleLogger() {
    return
        [](const LifecycleLogRecord& record) { writeLifecycleLine(formatLifecycleLine(record)); };
}

} // namespace snagreel
