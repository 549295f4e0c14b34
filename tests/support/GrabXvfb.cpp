#include "support/GrabXvfb.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace snagreel::testing {

GrabXvfb::GrabXvfb(int width, int height) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    // Only the child's copy of the write end may stay open across exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args{"Xvfb", "-displayfd", "3",   "-screen", "0",
                                  screen, "-nolisten",  "tcp", "-noreset"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return;
    }
    pid_ = pid;
    std::string number;
    pollfd reader{fds[0], POLLIN, 0};
    // Xvfb writes the display number followed by a newline once it accepts clients.
    while (number.empty() || number.back() != '\n') {
        if (poll(&reader, 1, 20000) <= 0) {
            break;
        }
        char buffer[16];
        const ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.empty() || number.back() != '\n') {
        kill();
        return;
    }
    number.pop_back();
    displayName_ = ":" + number;
}

GrabXvfb::~GrabXvfb() {
    kill();
}

void GrabXvfb::kill() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

} // namespace snagreel::testing
