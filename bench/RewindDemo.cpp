// A small command-line recorder for trying the rewind before the desktop
// application exists, and the recorder side of the end-to-end benchmark. It
// records one X display through the capture controller and saves a clip when
// Enter is pressed (or SIGUSR1 arrives).
//
//   snagreel-rewind-demo [--display :N] [--backend screenCaptureKit|avFoundation]
//                        [--root DIR] [--save-after SECONDS] [--clip SECONDS]
//   snagreel-rewind-demo --benchmark --seconds N --save 30,60 [...]
//
// --system-bus ADDRESS takes sleep and session events (and the sleep inhibitor)
// from that bus instead of the system bus; --status-log prints every phase and
// status change and every lifecycle event with its wall-clock time, one line each
// ("status t=SECONDS phase=... text=..." and "lifecycle t=SECONDS event=...").

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Linux/CapturesRoot.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace snagreel;

namespace {

struct Options {
    LinuxRecorderOptions recorder;
    CaptureBackend backend = CaptureConfiguration{}.backend;
    std::filesystem::path root;
    double clipSeconds = 30;
    std::optional<double> saveAfter;
    bool benchmark = false;
    double seconds = 60;
    std::vector<double> saves = {30, 60};
    bool statusLog = false;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "%s\nusage: snagreel-rewind-demo [--display :N] [--backend "
                 "screenCaptureKit|avFoundation] [--root DIR] [--clip SECONDS] [--save-after "
                 "SECONDS]\n                            [--system-bus ADDRESS] [--status-log]\n"
                 "       snagreel-rewind-demo --benchmark --seconds N --save 30,60\n",
                 message);
    std::exit(2);
}

double number(const char* text, const char* option) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0)) {
        usage((std::string("not a positive number for ") + option).c_str());
    }
    return value;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage(("missing value for " + arg).c_str());
            }
            return argv[++i];
        };
        if (arg == "--display") {
            options.recorder.displayName = value();
        } else if (arg == "--backend") {
            auto backend = captureBackendFromRaw(value());
            if (!backend) {
                usage("unknown backend");
            }
            options.backend = *backend;
        } else if (arg == "--root") {
            options.root = value();
        } else if (arg == "--clip") {
            options.clipSeconds = number(value(), "--clip");
        } else if (arg == "--save-after") {
            options.saveAfter = number(value(), "--save-after");
        } else if (arg == "--system-bus") {
            options.recorder.systemBusAddress = value();
        } else if (arg == "--status-log") {
            options.statusLog = true;
        } else if (arg == "--benchmark") {
            options.benchmark = true;
        } else if (arg == "--seconds") {
            options.seconds = number(value(), "--seconds");
        } else if (arg == "--save") {
            options.saves.clear();
            std::stringstream list(value());
            std::string item;
            while (std::getline(list, item, ',')) {
                options.saves.push_back(number(item.c_str(), "--save"));
            }
        } else if (arg == "--help" || arg == "-h") {
            usage("Records the screen into an in-memory rewind and saves clips on request.");
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    if (options.root.empty()) {
        options.root = defaultCapturesRoot();
    }
    return options;
}

std::int64_t statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':') {
            return std::atoll(line.c_str() + length + 1);
        }
    }
    return 0;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `work` on the main queue and waits for the value it hands back.
template <typename T> T onMain(SerialQueue& main, std::function<T()> work) {
    std::promise<T> promise;
    main.post([&] { promise.set_value(work()); });
    return promise.get_future().get();
}

class Demo {
public:
    explicit Demo(Options options) : options_(std::move(options)) {}

    int run() {
        CaptureConfiguration configuration;
        configuration.backend = options_.backend;
        configuration = withSessionBackend(configuration);
        auto environment = linuxControllerEnvironment(main_, options_.recorder);
        if (options_.statusLog) {
            environment.log = [log = environment.log](const LifecycleLogRecord& record) {
                std::printf("lifecycle t=%.3f %s\n", wallSeconds(),
                            formatLifecycleLine(record).c_str());
                std::fflush(stdout);
                if (log) {
                    log(record);
                }
            };
        }
        onMain<int>(main_, [&] {
            controller_ = CaptureController::create(main_, configuration, environment);
            controller_->addObserver([this] { reportStatus(); });
            controller_->start([](Result<void> result) {
                if (!result) {
                    std::printf("Recording did not start: %s\n",
                                result.error().description().c_str());
                    std::fflush(stdout);
                }
            });
            return 0;
        });
        const int status = options_.benchmark ? benchmark() : interactive();
        onMain<int>(main_, [&] {
            controller_->shutdown();
            return 0;
        });
        // Let the engine's teardown come back to the main queue before letting go.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        onMain<int>(main_, [&] {
            controller_.reset();
            return 0;
        });
        main_.drain();
        return status;
    }

private:
    void reportStatus() {
        if (options_.statusLog) {
            // The running count changes every second; only its first line is news.
            const CapturePhase phase = controller_->phase();
            if (!loggedPhase_ || *loggedPhase_ != phase ||
                (phase != CapturePhase::recording && controller_->status() != loggedStatus_)) {
                loggedPhase_ = phase;
                loggedStatus_ = controller_->status();
                std::printf("status t=%.3f phase=%s text=%s\n", wallSeconds(),
                            std::string(rawValue(phase)).c_str(), loggedStatus_.c_str());
                std::fflush(stdout);
            }
        }
        const std::string line =
            std::string(rawValue(controller_->phase())) + ": " + controller_->status();
        if (line != lastStatus_) {
            lastStatus_ = line;
            if (!options_.benchmark) {
                std::printf("[%s]\n", line.c_str());
                std::fflush(stdout);
            }
        }
    }

    struct Saved {
        bool ok = false;
        std::string text;
        double milliseconds = 0;
    };

    Saved save(double seconds) {
        std::promise<Saved> promise;
        const double started = monotonicSeconds();
        main_.post([&, seconds, started] {
            controller_->capture(seconds, options_.root,
                                 [&, started](Result<CaptureBundle> bundle) {
                                     Saved saved;
                                     saved.milliseconds = (monotonicSeconds() - started) * 1000;
                                     saved.ok = bundle.hasValue();
                                     saved.text = bundle ? bundle->directoryURL.string()
                                                         : bundle.error().description();
                                     promise.set_value(saved);
                                 });
        });
        return promise.get_future().get();
    }

    void printSaved(double seconds, const Saved& saved) {
        if (saved.ok) {
            std::printf("Saved the last %g s in %.0f ms: %s\n", seconds, saved.milliseconds,
                        saved.text.c_str());
        } else {
            std::printf("Could not save a clip: %s\n", saved.text.c_str());
        }
        std::fflush(stdout);
    }

    std::string displayName() const {
        if (!options_.recorder.displayName.empty()) {
            return options_.recorder.displayName;
        }
        const char* display = std::getenv("DISPLAY");
        return display != nullptr && *display != '\0' ? display : "the default X display";
    }

    int interactive() {
        std::printf("Recording %s. Press Enter to save the last %g s (or type a number of "
                    "seconds, then Enter); send SIGUSR1 to save; type q to quit.\nClips go to "
                    "%s\n",
                    displayName().c_str(), options_.clipSeconds, options_.root.c_str());
        std::fflush(stdout);
        std::atomic<bool> quit = false;
        std::mutex requestsLock;
        std::vector<double> requests;
        auto request = [&](double seconds) {
            std::lock_guard<std::mutex> guard(requestsLock);
            requests.push_back(seconds);
        };
        std::thread signals([&] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGUSR1);
            sigaddset(&set, SIGINT);
            sigaddset(&set, SIGTERM);
            while (!quit) {
                timespec timeout{0, 200000000};
                const int signal = sigtimedwait(&set, nullptr, &timeout);
                if (signal == SIGUSR1) {
                    request(options_.clipSeconds);
                } else if (signal == SIGINT || signal == SIGTERM) {
                    quit = true;
                }
            }
        });
        std::thread input([&] {
            std::string line;
            while (!quit && std::getline(std::cin, line)) {
                if (line == "q" || line == "quit") {
                    quit = true;
                    return;
                }
                request(line.empty() ? options_.clipSeconds : std::atof(line.c_str()));
            }
        });
        input.detach(); // a blocked read of the terminal must not hold up quitting
        const double started = monotonicSeconds();
        bool autoSaved = !options_.saveAfter.has_value();
        while (!quit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!autoSaved && monotonicSeconds() - started >= *options_.saveAfter) {
                autoSaved = true;
                request(options_.clipSeconds);
            }
            std::vector<double> pending;
            {
                std::lock_guard<std::mutex> guard(requestsLock);
                pending.swap(requests);
            }
            for (double seconds : pending) {
                printSaved(seconds, save(seconds > 0 ? seconds : options_.clipSeconds));
            }
        }
        signals.join();
        return 0;
    }

    int benchmark() {
        const double cpuAtStart = cpuSeconds();
        const double started = monotonicSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(options_.seconds));
        const double wall = monotonicSeconds() - started;
        const double cpu = cpuSeconds() - cpuAtStart;
        const auto state = onMain<std::string>(main_, [&] {
            std::ostringstream out;
            out << "phase=" << rawValue(controller_->phase())
                << " encoder=" << controller_->encoderName()
                << " buffered_seconds=" << controller_->bufferedSeconds()
                << " buffered_bytes=" << controller_->bufferedBytes();
            return out.str();
        });
        std::printf("recorder %s\n", state.c_str());
        std::printf("recorder cpu_seconds=%.3f wall_seconds=%.3f cpu_per_second=%.4f rss_mib=%.1f "
                    "peak_rss_mib=%.1f\n",
                    cpu, wall, cpu / wall, statusKiB("VmRSS") / 1024.0,
                    statusKiB("VmHWM") / 1024.0);
        int status = 0;
        for (double seconds : options_.saves) {
            const Saved saved = save(seconds);
            if (saved.ok) {
                std::printf("save requested=%g latency_ms=%.1f dir=%s\n", seconds,
                            saved.milliseconds, saved.text.c_str());
            } else {
                std::printf("save requested=%g failed: %s\n", seconds, saved.text.c_str());
                status = 1;
            }
        }
        std::fflush(stdout);
        return status;
    }

    Options options_;
    SerialQueue main_{"snagreel.main"};
    std::shared_ptr<CaptureController> controller_;
    std::string lastStatus_;
    std::optional<CapturePhase> loggedPhase_;
    std::string loggedStatus_;
};

} // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    // Signals are taken synchronously by one thread; block them everywhere first.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    Demo demo(std::move(options));
    return demo.run();
}
