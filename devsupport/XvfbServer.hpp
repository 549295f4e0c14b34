#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

namespace snagreel::devsupport {

// An Xvfb of our own on a display number nobody uses, reachable only through its
// local socket. Destruction stops it.
class XvfbServer {
public:
    // Whether an Xvfb binary can be found at all (tests skip without one).
    static bool available();

    // Starts a server with one screen of the given size at depth 24 and waits until
    // it accepts connections; null (with the reason in `whyNot`) when it cannot.
    static std::unique_ptr<XvfbServer> start(int width, int height, std::string* whyNot = nullptr);

    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", for xcb_connect or $DISPLAY.
    const std::string& displayName() const { return displayName_; }
    int displayNumber() const { return number_; }
    pid_t pid() const { return pid_; }

    // Kills the server abruptly (SIGKILL), as a crash would, and reaps it.
    void kill();
    // Starts the server again on the same number; false when it does not come up.
    bool restart();

private:
    XvfbServer() = default;
    bool launch(std::string* whyNot);
    void stop(int signal);

    int number_ = -1;
    int width_ = 0;
    int height_ = 0;
    std::string displayName_;
    pid_t pid_ = -1;
};

} // namespace snagreel::devsupport
