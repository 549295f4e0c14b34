#include "support/PrivateBus.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace snagreel::testing {

namespace {

constexpr const char* kDaemonPaths[] = {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"};

const char* daemonPath() {
    for (const char* path : kDaemonPaths) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

void fail(std::string* whyNot, const std::string& reason) {
    if (whyNot != nullptr) {
        *whyNot = reason;
    }
}

bool waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

bool PrivateBus::daemonAvailable() {
    return daemonPath() != nullptr;
}

std::unique_ptr<PrivateBus> PrivateBus::start(std::string* whyNot, const std::string& type) {
    const char* daemon = daemonPath();
    if (daemon == nullptr) {
        fail(whyNot, "dbus-daemon is not installed");
        return nullptr;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/snagreel-bus-XXXXXX";
    std::vector<char> writable(pattern.begin(), pattern.end());
    writable.push_back('\0');
    if (::mkdtemp(writable.data()) == nullptr) {
        fail(whyNot, "no temporary folder for the bus");
        return nullptr;
    }

    std::unique_ptr<PrivateBus> bus(new PrivateBus);
    bus->directory_ = writable.data();
    const std::filesystem::path socket = bus->directory_ / "bus";
    const std::filesystem::path config = bus->directory_ / "bus.conf";
    {
        std::ofstream file(config);
        file << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             << "<busconfig>\n"
             << "  <type>" << type << "</type>\n"
             << "  <listen>unix:path=" << socket.string() << "</listen>\n"
             << "  <auth>EXTERNAL</auth>\n"
             << "  <policy context=\"default\">\n"
             << "    <allow user=\"*\"/>\n"
             << "    <allow own=\"*\"/>\n"
             << "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             << "    <allow eavesdrop=\"true\"/>\n"
             << "  </policy>\n"
             << "</busconfig>\n";
        if (!file) {
            fail(whyNot, "the bus configuration could not be written");
            return nullptr;
        }
    }

    // The daemon prints its address on a pipe once it listens: that line is the
    // signal that clients can connect.
    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        fail(whyNot, "no pipe for the bus address");
        return nullptr;
    }
    constexpr int kAddressFd = 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], kAddressFd);
    // The daemon's complaints (as root it cannot raise its fd limit, say) go to a
    // log beside the socket rather than into the test output.
    const std::string log = (bus->directory_ / "bus.log").string();
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    const std::string configArgument = "--config-file=" + config.string();
    const std::string printArgument = "--print-address=" + std::to_string(kAddressFd);
    std::vector<char*> argv{const_cast<char*>(daemon),
                            const_cast<char*>(configArgument.c_str()),
                            const_cast<char*>("--nofork"),
                            const_cast<char*>("--nopidfile"),
                            const_cast<char*>(printArgument.c_str()),
                            nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, daemon, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        fail(whyNot, "dbus-daemon could not be started");
        return nullptr;
    }
    bus->pid_ = pid;

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{pipe[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char chunk[256];
        const ssize_t got = ::read(pipe[0], chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        line.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    if (line.find('\n') == std::string::npos) {
        std::string reason = "dbus-daemon did not report its address";
        std::ifstream logFile(log);
        std::string logLine;
        while (std::getline(logFile, logLine)) {
            reason += "; " + logLine;
        }
        fail(whyNot, reason);
        return nullptr; // the destructor stops the daemon
    }
    line.resize(line.find('\n'));
    bus->address_ = line;
    return bus;
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!waitForExit(pid_, std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            waitForExit(pid_, std::chrono::seconds(5));
        }
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

} // namespace snagreel::testing
