// Draws moving content on an X display until killed:
//   snagreel-moving-content --mode still|typing|static|motion [--fps 15] [--display :N]

#include "devsupport/MovingContent.hpp"

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
                 "[--display :N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using snagreel::devsupport::MovingContent;
    std::string display;
    std::string modeName = "motion";
    int fps = 15;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
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
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    while (!stopRequested && content->healthy()) {
        ::usleep(100000);
    }
    content->stop();
    return content->healthy() ? 0 : 1;
}
