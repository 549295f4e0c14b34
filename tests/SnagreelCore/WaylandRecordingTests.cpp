// One recording of a real Wayland desktop (headless sway) through the portal, from
// a still screen to moving content and a saved clip. Runs inside
// devsupport/wayland-session real (ctest's WaylandRecordingReal entry); skips
// anywhere else.

#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "devsupport/FakeLogind.hpp"
#include "devsupport/Waiting.hpp"
#include "support/Ffprobe.hpp"
#include "support/PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace snagreel {
namespace {

using testing::eventually;

std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> chunk{};
        while (std::fgets(chunk.data(), chunk.size(), pipe)) {
            text += chunk.data();
        }
        ::pclose(pipe);
    }
    return text;
}

// A terminal showing a clock that changes every 10 ms: content that moves.
class Clock {
public:
    Clock() {
        const char* argv[] = {"foot", "--log-level=error",
                              "-e",   "sh",
                              "-c",   "while :; do date +%T.%N; sleep 0.01; done",
                              nullptr};
        ok_ =
            ::posix_spawnp(&pid_, "foot", nullptr, nullptr, const_cast<char**>(argv), environ) == 0;
    }
    ~Clock() {
        if (ok_) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return ok_; }

private:
    pid_t pid_ = 0;
    bool ok_ = false;
};

class WaylandRecordingReal : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tier = std::getenv("SNAGREEL_WAYLAND_SESSION");
        if (!tier || std::string(tier) != "real") {
            GTEST_SKIP() << "needs devsupport/wayland-session real";
        }
        std::string whyNot;
        bus_ = testing::PrivateBus::start(&whyNot, "system");
        ASSERT_NE(bus_, nullptr) << whyNot;
        logind_ = devsupport::FakeLogind::start(bus_->address(), {}, &whyNot);
        ASSERT_NE(logind_, nullptr) << whyNot;
    }

    void TearDown() override {
        if (controller_) {
            std::promise<void> stopped;
            main_.post([&] { controller_->pause([&] { stopped.set_value(); }); });
            stopped.get_future().wait_for(std::chrono::seconds(10));
            onMain([&] {
                controller_->shutdown();
                controller_.reset();
            });
        }
        main_.drain();
    }

    template <typename F> auto onMain(F work) -> decltype(work()) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto future = task.get_future();
        main_.post([&task] { task(); });
        future.wait();
        return future.get();
    }

    std::unique_ptr<testing::PrivateBus> bus_;
    std::unique_ptr<devsupport::FakeLogind> logind_;
    testing::TemporaryDirectory root_;
    SerialQueue main_{"test.main"};
    std::shared_ptr<CaptureController> controller_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};

TEST_F(WaylandRecordingReal, StillScreenThenMovingContentMakesAPlayableClip) {
    LinuxRecorderOptions options;
    options.systemBusAddress = bus_->address();
    auto environment = linuxControllerEnvironment(main_, options);
    environment.log = [this](const LifecycleLogRecord& record) {
        std::lock_guard lock(mutex_);
        events_.push_back(record.event);
    };
    CaptureConfiguration configuration;
    onMain([&] {
        controller_ =
            CaptureController::create(main_, withSessionBackend(configuration), environment);
        controller_->start();
    });
    // The still screen: the stream is up (its PipeWire node exists) and the start
    // has neither failed nor waited for a picture that may never come.
    ASSERT_TRUE(eventually(
        [] { return output("pw-cli ls Node").find("\"snagreel-screen\"") != std::string::npos; }));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(std::count(events_.begin(), events_.end(), "stopped"), 0);
    }

    Clock clock;
    ASSERT_TRUE(clock.ok());
    ASSERT_TRUE(eventually(
        [&] {
            return onMain([&] {
                return controller_->phase() == CapturePhase::recording &&
                       controller_->bufferedSeconds() >= 3;
            });
        },
        std::chrono::seconds(30)));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(std::count(events_.begin(), events_.end(), "stopped"), 0);
        EXPECT_EQ(std::count(events_.begin(), events_.end(), "first_frame"), 1);
    }

    std::promise<Result<CaptureBundle>> saved;
    onMain([&] {
        controller_->capture(30, root_.path(),
                             [&](Result<CaptureBundle> bundle) { saved.set_value(bundle); });
    });
    auto bundle = saved.get_future().get();
    ASSERT_TRUE(bundle) << bundle.error().description();

    std::ifstream file(bundle->manifestURL);
    std::stringstream text;
    text << file.rdbuf();
    auto manifest = decodeManifest(text.str());
    ASSERT_TRUE(manifest) << manifest.error().message;
    EXPECT_EQ(manifest->captureBackend, CaptureBackend::screenCaptureKit);

    std::string whyNot;
    auto probe = testing::ffprobe(bundle->clipURL, &whyNot);
    ASSERT_TRUE(probe) << whyNot;
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_EQ(probe->width, 1280);
    EXPECT_EQ(probe->height, 720);
    EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();
    EXPECT_EQ(probe->frameCount(), manifest->encodedFrameCount);
    ASSERT_FALSE(probe->keyframeIndices.empty());
    EXPECT_EQ(probe->keyframeIndices.front(), 0);
    EXPECT_TRUE(testing::fullyDecodes(bundle->clipURL).ok());

    // The clock moved in the clip: its decoded pictures are not all the same.
    const std::string hashes =
        output("ffmpeg -v error -i '" + bundle->clipURL.string() + "' -f framemd5 - 2>/dev/null");
    std::set<std::string> distinct;
    std::istringstream lines(hashes);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            distinct.insert(line.substr(line.rfind(',') + 1));
        }
    }
    EXPECT_GE(distinct.size(), 2u);
}

} // namespace
} // namespace snagreel
