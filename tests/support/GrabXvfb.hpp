#pragma once

// A private Xvfb for tests that grab the screen: it picks a free display number
// itself (-displayfd), so parallel test runs never collide.

#include <string>
#include <sys/types.h>

namespace snagreel::testing {

class GrabXvfb {
public:
    // Starts Xvfb with one screen of the given size at depth 24; isRunning() tells
    // whether it came up.
    GrabXvfb(int width, int height);
    ~GrabXvfb();
    GrabXvfb(const GrabXvfb&) = delete;
    GrabXvfb& operator=(const GrabXvfb&) = delete;

    bool isRunning() const { return pid_ > 0; }
    // ":N"
    const std::string& displayName() const { return displayName_; }
    // Kills the server at once (SIGKILL) and reaps it, as a crashed X server would go.
    void kill();

private:
    pid_t pid_ = -1;
    std::string displayName_;
};

} // namespace snagreel::testing
