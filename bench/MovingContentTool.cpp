// Draws moving content on an X display until killed:
//   snagreel-moving-content --mode still|typing|static|motion [--fps 15] [--display :N] [--below]
//
// --below keeps the content under every other window, as a desktop background:
// the full-screen window is not managed by a window manager, which would otherwise
// stack its panel and windows underneath it.

#include "devsupport/MovingContent.hpp"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: snagreel-moving-content --mode still|typing|static|motion [--fps N] "
                 "[--display :N] [--below]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using snagreel::devsupport::MovingContent;
    std::string display;
    std::string modeName = "motion";
    int fps = 15;
    bool below = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--below") {
            below = true;
            continue;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        if (arg == "--mode") {
            modeName = argv[++i];
        } else if (arg == "--fps") {
            fps = std::atoi(argv[++i]);
        } else if (arg == "--display") {
            display = argv[++i];
        } else {
            return usage();
        }
    }
    const auto mode = MovingContent::modeNamed(modeName);
    if (!mode || fps < 1 || fps > 240) {
        return usage();
    }
    std::string whyNot;
    auto content = MovingContent::start(display, *mode, fps, &whyNot);
    if (!content) {
        std::fprintf(stderr, "snagreel-moving-content: %s\n", whyNot.c_str());
        return 1;
    }
    // Restacked on every tick: a window manager started later puts its own windows
    // where it likes.
    xcb_connection_t* stacking =
        below ? xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr) : nullptr;
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    while (!stopRequested && content->healthy()) {
        if (stacking) {
            const std::uint32_t mode[] = {XCB_STACK_MODE_BELOW};
            xcb_configure_window(stacking, content->window(), XCB_CONFIG_WINDOW_STACK_MODE, mode);
            xcb_flush(stacking);
        }
        ::usleep(100000);
    }
    if (stacking)
        xcb_disconnect(stacking);
    content->stop();
    return content->healthy() ? 0 : 1;
}
