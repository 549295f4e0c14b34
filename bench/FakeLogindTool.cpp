// A stand-in for logind on a bus of one's own, for benchmarks that sleep and wake
// a recorder without sleeping the machine:
//   snagreel-fake-logind --bus ADDRESS
// SIGUSR1 emits PrepareForSleep(true), SIGUSR2 PrepareForSleep(false); each
// emission prints a line with the wall-clock time it was routed at. SIGINT or
// SIGTERM ends it.

#include "devsupport/FakeLogind.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int usage() {
    std::fprintf(stderr, "usage: snagreel-fake-logind --bus ADDRESS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using snagreel::devsupport::FakeLogind;
    std::string address;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bus" && i + 1 < argc) {
            address = argv[++i];
        } else {
            return usage();
        }
    }
    if (address.empty()) {
        return usage();
    }
    // Signals are taken synchronously; block them before the bus thread exists.
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) {
        sigaddset(&set, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::string whyNot;
    auto logind = FakeLogind::start(address, {}, &whyNot);
    if (!logind) {
        std::fprintf(stderr, "snagreel-fake-logind: %s\n", whyNot.c_str());
        return 1;
    }
    std::printf("fake-logind ready t=%.3f\n", wallSeconds());
    std::fflush(stdout);
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            return 1;
        }
        if (signal == SIGINT || signal == SIGTERM) {
            return 0;
        }
        const bool sleeping = signal == SIGUSR1;
        logind->emitPrepareForSleep(sleeping);
        std::printf("fake-logind %s t=%.3f held_inhibitors=%d\n", sleeping ? "sleep" : "wake",
                    wallSeconds(), logind->heldInhibitors());
        std::fflush(stdout);
    }
}
