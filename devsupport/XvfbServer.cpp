#include "devsupport/XvfbServer.hpp"

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace snagreel::devsupport {
namespace {

const char* xvfbPath() {
    static const char* const candidates[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
    for (const char* path : candidates) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

bool numberLooksFree(int n) {
    namespace fs = std::filesystem;
    std::error_code ec;
    return !fs::exists("/tmp/.X11-unix/X" + std::to_string(n), ec) &&
           !fs::exists("/tmp/.X" + std::to_string(n) + "-lock", ec);
}

// The process that holds the display's lock file (the X server writes its pid
// there); 0 while there is none or it cannot be read.
pid_t lockOwner(int n) {
    std::ifstream lock("/tmp/.X" + std::to_string(n) + "-lock");
    long pid = 0;
    if (!(lock >> pid)) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

bool accepts(const std::string& name) {
    xcb_connection_t* c = xcb_connect(name.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
}

} // namespace

bool XvfbServer::available() {
    return xvfbPath() != nullptr;
}

std::unique_ptr<XvfbServer> XvfbServer::start(int width, int height, std::string* whyNot) {
    if (!available()) {
        if (whyNot) {
            *whyNot = "Xvfb is not installed";
        }
        return nullptr;
    }
    std::unique_ptr<XvfbServer> server(new XvfbServer());
    server->width_ = width;
    server->height_ = height;
    // Spread concurrent test processes over the range so that they rarely race for
    // the same number; a lost race shows as a server that exits, and we move on.
    const int base = 200 + static_cast<int>(::getpid() % 300) * 2;
    for (int attempt = 0; attempt < 40; ++attempt) {
        const int n = base + attempt;
        if (!numberLooksFree(n)) {
            continue;
        }
        server->number_ = n;
        server->displayName_ = ":" + std::to_string(n);
        if (server->launch(whyNot)) {
            return server;
        }
    }
    if (whyNot && whyNot->empty()) {
        *whyNot = "no free display number";
    }
    return nullptr;
}

bool XvfbServer::launch(std::string* whyNot) {
    const std::string screen = std::to_string(width_) + "x" + std::to_string(height_) + "x24";
    const pid_t pid = ::fork();
    if (pid < 0) {
        if (whyNot) {
            *whyNot = "fork failed";
        }
        return false;
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execl(xvfbPath(), "Xvfb", displayName_.c_str(), "-screen", "0", screen.c_str(),
                "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            if (whyNot) {
                *whyNot = "Xvfb exited at start on " + displayName_;
            }
            return false;
        }
        // The number may have been taken by another test process between our look
        // and our launch: its server would accept us too, so only a lock that names
        // our process makes the display ours.
        // (A lock left by a server that is gone is replaced by ours in a moment.)
        const pid_t owner = lockOwner(number_);
        if (owner > 0 && owner != pid_ && ::kill(owner, 0) == 0) {
            stop(SIGKILL);
            if (whyNot) {
                *whyNot = "display " + displayName_ + " was taken by another server";
            }
            return false;
        }
        if (owner == pid_ && accepts(displayName_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop(SIGKILL);
    if (whyNot) {
        *whyNot = "Xvfb did not accept connections on " + displayName_;
    }
    return false;
}

void XvfbServer::stop(int signal) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, signal);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void XvfbServer::kill() {
    stop(SIGKILL);
}

bool XvfbServer::restart() {
    stop(SIGTERM);
    // A killed server leaves its socket and lock behind; the new one replaces a
    // stale lock itself, but only once the old process is gone, which stop() waited for.
    return launch(nullptr);
}

XvfbServer::~XvfbServer() {
    stop(SIGTERM);
}

} // namespace snagreel::devsupport
