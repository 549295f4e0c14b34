#pragma once

#include "devsupport/XvfbServer.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>

namespace snagreel::devsupport {

// An X server of a test's own: Xvfb, or Xorg with the dummy video driver where a
// test needs what Xvfb cannot do (changing the screen mode with xrandr). Xorg picks
// its display number itself (-displayfd) and keeps its configuration and log in a
// temporary folder. Destruction stops it.
class TestXServer {
public:
    // 1024x768 at depth 24.
    static std::unique_ptr<TestXServer> xvfb(std::string* whyNot = nullptr);
    // Starts at 1024x768 and also offers 800x600; needs root and the dummy driver.
    static std::unique_ptr<TestXServer> xorgDummy(std::string* whyNot = nullptr);

    ~TestXServer();
    TestXServer(const TestXServer&) = delete;
    TestXServer& operator=(const TestXServer&) = delete;

    // ":N", for xcb_connect or $DISPLAY.
    const std::string& display() const { return display_; }

    // Stops the server (SIGTERM) and waits for it; the display is gone afterwards.
    void terminate();

    // Runs a shell command with DISPLAY set to this server, output discarded; its
    // exit status.
    int run(const std::string& command) const;

private:
    TestXServer() = default;

    std::unique_ptr<XvfbServer> xvfb_;
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    std::string display_;
};

} // namespace snagreel::devsupport
