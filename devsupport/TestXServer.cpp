#include "devsupport/TestXServer.hpp"

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
#include <unistd.h>
#include <vector>

extern char** environ;

namespace snagreel::devsupport {
namespace {

namespace fs = std::filesystem;

constexpr const char* kXorgPath = "/usr/bin/Xorg";
constexpr const char* kDummyDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";

constexpr const char* kDummyConfig =
    "Section \"Device\"\n Identifier \"dummy\"\n Driver \"dummy\"\n"
    " VideoRam 64000\nEndSection\n"
    "Section \"Monitor\"\n Identifier \"monitor\"\n"
    " HorizSync 5.0-1000.0\n VertRefresh 5.0-200.0\nEndSection\n"
    "Section \"Screen\"\n Identifier \"screen\"\n Device \"dummy\"\n"
    " Monitor \"monitor\"\n DefaultDepth 24\n"
    " SubSection \"Display\"\n  Depth 24\n"
    "  Modes \"1024x768\" \"800x600\"\n EndSubSection\n"
    "EndSection\n";

void setReason(std::string* whyNot, std::string reason) {
    if (whyNot) {
        *whyNot = std::move(reason);
    }
}

std::string lastLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            last = line;
        }
    }
    return last;
}

// Reads the display number the server writes to the -displayfd pipe once it
// accepts connections; empty when it exits or takes too long.
std::string readDisplayNumber(int fd) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char chunk[32];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return {};
        }
        number.append(chunk, static_cast<std::size_t>(got));
    }
    return number.substr(0, number.find('\n'));
}

} // namespace

std::unique_ptr<TestXServer> TestXServer::xvfb(std::string* whyNot) {
    std::string reason;
    auto xvfb = XvfbServer::start(1024, 768, &reason);
    if (!xvfb) {
        setReason(whyNot, reason);
        return nullptr;
    }
    std::unique_ptr<TestXServer> server(new TestXServer);
    server->display_ = xvfb->displayName();
    server->xvfb_ = std::move(xvfb);
    return server;
}

std::unique_ptr<TestXServer> TestXServer::xorgDummy(std::string* whyNot) {
    if (::geteuid() != 0) {
        setReason(whyNot, "Xorg with the dummy driver needs root here");
        return nullptr;
    }
    if (::access(kXorgPath, X_OK) != 0) {
        setReason(whyNot, std::string(kXorgPath) + " is not installed");
        return nullptr;
    }
    if (!fs::exists(kDummyDriver)) {
        setReason(whyNot, "the dummy video driver is not installed");
        return nullptr;
    }
    std::unique_ptr<TestXServer> server(new TestXServer);
    std::string pattern = (fs::temp_directory_path() / "snagreel-x-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        setReason(whyNot, "no temporary folder");
        return nullptr;
    }
    server->folder_ = pattern;
    const fs::path config = server->folder_ / "xorg.conf";
    const fs::path output = server->folder_ / "server.out";
    std::ofstream(config) << kDummyConfig;

    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        setReason(whyNot, "no pipe");
        return nullptr;
    }
    constexpr int kDisplayFd = 3;
    std::vector<std::string> arguments = {kXorgPath,    "-noreset",
                                          "-nolisten",  "tcp",
                                          "-config",    config.string(),
                                          "-configdir", (server->folder_ / "none").string(),
                                          "-logfile",   (server->folder_ / "xorg.log").string(),
                                          "-displayfd", std::to_string(kDisplayFd)};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], kDisplayFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&server->pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        server->pid_ = -1;
        setReason(whyNot, std::string(kXorgPath) + " could not be started");
        return nullptr;
    }
    const std::string number = readDisplayNumber(pipe[0]);
    ::close(pipe[0]);
    if (number.empty()) {
        setReason(whyNot, std::string(kXorgPath) + " did not start: " + lastLine(output));
        return nullptr; // the destructor stops what did start
    }
    server->display_ = ":" + number;
    return server;
}

TestXServer::~TestXServer() {
    terminate();
}

void TestXServer::terminate() {
    xvfb_.reset();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        folder_.clear();
    }
}

int TestXServer::run(const std::string& command) const {
    return std::system(("DISPLAY=" + display_ + " " + command + " >/dev/null 2>&1").c_str());
}

} // namespace snagreel::devsupport
