// Measures a press of "save clip" through the application state: from the call to
// AppState.capture until AppState.captures lists the new capture folder, for a 60 s
// clip of a 1080p display with moving content. The global shortcut is not part of
// this measure: the press is the call the shortcut's handler makes.
//
//   snagreel-app-capture-bench [--presses N] [--width W --height H] [--mode static|motion]
//
// Prints one line per press and then "presses=N median_ms=... worst_ms=...".

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/ApplicationRoot.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/XvfbServer.hpp"

#include <QApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace snagreel;
using namespace snagreel::app;

namespace {

// Runs the event loop until `done` holds or `seconds` passed.
template <typename Predicate> bool spin(Predicate done, double seconds) {
    const double deadline = monotonicSeconds() + seconds;
    while (!done()) {
        if (monotonicSeconds() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int presses = 20;
    int width = 1920;
    int height = 1080;
    auto mode = devsupport::MovingContent::Mode::motion;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--presses") {
            presses = std::atoi(argv[i + 1]);
        } else if (option == "--width") {
            width = std::atoi(argv[i + 1]);
        } else if (option == "--height") {
            height = std::atoi(argv[i + 1]);
        } else if (option == "--mode") {
            mode = devsupport::MovingContent::modeNamed(argv[i + 1])
                       .value_or(devsupport::MovingContent::Mode::motion);
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    std::string whyNot;
    auto xvfb = devsupport::XvfbServer::start(width, height, &whyNot);
    if (!xvfb) {
        std::fprintf(stderr, "no Xvfb: %s\n", whyNot.c_str());
        return 1;
    }
    auto content = devsupport::MovingContent::start(xvfb->displayName(), mode, 30, &whyNot);
    if (!content) {
        std::fprintf(stderr, "no moving content: %s\n", whyNot.c_str());
        return 1;
    }
    char pattern[] = "/tmp/snagreel-app-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(pattern);
    QSettings settings(QString::fromStdString((folder / "settings.ini").string()),
                       QSettings::IniFormat);

    QObject context;
    QtMainExecutor executor(&context);
    EngineTracker engines;
    LinuxRecorderOptions options;
    options.displayName = xvfb->displayName();
    options.monitorLifecycle = false;
    auto environment = linuxControllerEnvironment(executor, options);
    environment.factory = engines.wrap(std::move(environment.factory));
    auto recorder = CaptureController::create(executor, CaptureConfiguration{}, environment);
    AppStateEnvironment appEnvironment;
    appEnvironment.recorder = recorder;
    appEnvironment.settings = &settings;
    appEnvironment.captureRoot = folder / "Captures";
    appEnvironment.beep = [] {};
    auto state = std::make_unique<AppState>(std::move(appEnvironment));
    state->setLookback(60);

    std::fprintf(stderr, "recording %dx%d until 60 s are buffered…\n", width, height);
    // The ring also stops at its byte budget, which busy 1080p content can reach
    // before 60 s: then the clip is all the ring holds.
    spin([&] { return state->bufferedSeconds() >= 60; }, 90);
    if (!state->canCapture()) {
        std::fprintf(stderr, "the recorder holds nothing to save: %s\n",
                     state->recorderStatus().toStdString().c_str());
        return 1;
    }
    std::printf("buffered_seconds=%.1f buffered_mib=%.1f\n", state->bufferedSeconds(),
                double(recorder->bufferedBytes()) / (1 << 20));
    std::vector<double> latencies;
    for (int press = 0; press < presses; ++press) {
        const auto before = state->captures().size();
        const double started = monotonicSeconds();
        state->capture(false);
        if (!spin([&] { return state->captures().size() > before; }, 60)) {
            std::fprintf(stderr, "press %d saved nothing: %s\n", press + 1,
                         state->error().toStdString().c_str());
            return 1;
        }
        const double milliseconds = (monotonicSeconds() - started) * 1000;
        latencies.push_back(milliseconds);
        spin([&] { return !state->capturing(); }, 60);
        std::printf("press=%d latency_ms=%.1f\n", press + 1, milliseconds);
        std::fflush(stdout);
        // Keep the disk use of twenty 60 s clips down; outside the measure.
        for (const auto& capture : state->captures()) {
            if (capture.id() != state->selectedID().toStdString()) {
                std::error_code ignored;
                std::filesystem::remove_all(capture.directory, ignored);
            }
        }
        state->refreshCaptures();
        spin([] { return false; }, 0.3);
    }
    // The recorder's own share: the same saves straight through the controller.
    std::vector<double> recorderOnly;
    for (int press = 0; press < presses; ++press) {
        const double started = monotonicSeconds();
        std::optional<Result<CaptureBundle>> saved;
        recorder->capture(60, folder / "Direct",
                          [&](Result<CaptureBundle> bundle) { saved.emplace(std::move(bundle)); });
        spin([&] { return saved.has_value(); }, 60);
        recorderOnly.push_back((monotonicSeconds() - started) * 1000);
        if (saved && *saved) {
            std::error_code ignored;
            std::filesystem::remove_all((**saved).directoryURL, ignored);
        }
        spin([] { return false; }, 0.3);
    }
    auto summary = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        return std::make_pair(median, values.back());
    };
    const auto [median, worst] = summary(latencies);
    const auto [recorderMedian, recorderWorst] = summary(recorderOnly);
    std::printf("presses=%zu median_ms=%.1f worst_ms=%.1f recorder_only_median_ms=%.1f "
                "recorder_only_worst_ms=%.1f clip_seconds=60 display=%dx%d\n",
                latencies.size(), median, worst, recorderMedian, recorderWorst, width, height);
    state->shutdown();
    engines.waitUntilGone(5000);
    state.reset();
    content->stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
