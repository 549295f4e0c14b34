// The whole recorder on real X servers: the X11 stream or the x11grab fallback,
// the FFmpeg encoder, the ring, the bundle writer and the movie it writes, checked
// with ffprobe and libavcodec rather than with our own reading of the files.

#include "SnagreelCore/Capture/CaptureEngine.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "SnagreelCore/Support/Executor.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/TestXServer.hpp"
#include "devsupport/XvfbServer.hpp"
#include "support/Ffprobe.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using devsupport::MovingContent;
using devsupport::TestXServer;
using devsupport::XvfbServer;
using Kind = CaptureFailure::Kind;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kFramePeriod = 1.0 / 15;
// Bounds for waiting on the real pipeline; reached only when something is wrong.
constexpr auto kPatience = std::chrono::seconds(20);
const char* const kWarmingUp =
    "The replay buffer is warming up. Wait for a few seconds and try again.";

// Waits for a completion that another thread calls; none when it never comes.
template <typename T> class Awaited {
public:
    Completion<T> completion() {
        auto promise = promise_;
        return [promise](Result<T> result) { promise->set_value(std::move(result)); };
    }
    std::optional<Result<T>> get() {
        auto future = promise_->get_future();
        if (future.wait_for(kPatience) != std::future_status::ready) {
            return std::nullopt;
        }
        return future.get();
    }

private:
    std::shared_ptr<std::promise<Result<T>>> promise_ = std::make_shared<std::promise<Result<T>>>();
};

// One engine on one display, as the controller would hold it, with what its
// callbacks reported.
class Recording {
public:
    Recording(const std::string& display, CaptureBackend backend) {
        configuration_.backend = backend;
        LinuxRecorderOptions options;
        options.displayName = display;
        options.monitorLifecycle = false;
        engine_ = CaptureEngine::create(
            configuration_, std::nullopt,
            [this](CaptureEngineStatus status) {
                std::lock_guard lock(mutex_);
                if (status.failure && !status.running) {
                    terminalFailures_.push_back(*status.failure);
                }
                latest_ = std::move(status);
                changed_.notify_all();
            },
            [this](CaptureFailure failure) {
                std::lock_guard lock(mutex_);
                userStops_.push_back(std::move(failure));
            },
            makeLinuxCapturePlatform(options), main_);
    }

    ~Recording() {
        if (engine_) {
            stop();
        }
    }

    const CaptureConfiguration& configuration() const { return configuration_; }

    Result<void> start() {
        Awaited<void> started;
        main_.post([engine = engine_, done = started.completion()] { engine->start(done); });
        auto result = started.get();
        if (!result) {
            return Unexpected{Error(CaptureError::unavailable("The start never completed."))};
        }
        return *result;
    }

    // True once stop completed (a hang is a failure).
    bool stop() {
        auto stopped = std::make_shared<std::promise<void>>();
        main_.post(
            [engine = engine_, stopped] { engine->stop([stopped] { stopped->set_value(); }); });
        const bool done = stopped->get_future().wait_for(kPatience) == std::future_status::ready;
        main_.drain();
        engine_.reset();
        return done;
    }

    std::optional<Result<CaptureSnapshot>> snapshot(double seconds) {
        Awaited<CaptureSnapshot> taken;
        main_.post([engine = engine_, seconds, done = taken.completion()] {
            engine->snapshot(seconds, done);
        });
        return taken.get();
    }

    // Until the ring holds `seconds` of frames; false when it never gets there or
    // the engine terminated on the way.
    bool recordFor(double seconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            return !terminalFailures_.empty() || (latest_ && latest_->seconds >= seconds);
        }) && terminalFailures_.empty();
    }

    // The first terminal failure, once one came.
    std::optional<CaptureFailure> awaitTermination() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [&] { return !terminalFailures_.empty(); })) {
            return std::nullopt;
        }
        return terminalFailures_.front();
    }

    std::vector<CaptureFailure> terminalFailures() {
        std::lock_guard lock(mutex_);
        return terminalFailures_;
    }
    std::vector<CaptureFailure> userStops() {
        std::lock_guard lock(mutex_);
        return userStops_;
    }
    std::optional<CaptureEngineStatus> latest() {
        std::lock_guard lock(mutex_);
        return latest_;
    }

private:
    SerialQueue main_{"snagreel.tests.pipeline.main"};
    CaptureConfiguration configuration_;
    std::shared_ptr<CaptureEngine> engine_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<CaptureEngineStatus> latest_;
    std::vector<CaptureFailure> terminalFailures_;
    std::vector<CaptureFailure> userStops_;
};

std::optional<Result<CaptureBundle>> save(const CaptureSnapshot& snapshot, double seconds,
                                          const CaptureConfiguration& configuration,
                                          const fs::path& root) {
    Awaited<CaptureBundle> saved;
    saveCaptureBundle(snapshot, seconds, std::chrono::system_clock::now(), configuration, root,
                      saved.completion());
    return saved.get();
}

std::optional<CaptureManifest> readManifest(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    auto manifest = decodeManifest(text.str());
    if (!manifest) {
        return std::nullopt;
    }
    return *manifest;
}

double rate(const std::string& fraction) {
    const auto slash = fraction.find('/');
    if (slash == std::string::npos) {
        return std::atof(fraction.c_str());
    }
    const double denominator = std::atof(fraction.c_str() + slash + 1);
    return denominator == 0 ? 0 : std::atof(fraction.substr(0, slash).c_str()) / denominator;
}

// Shared-memory segments this process created or last touched.
std::vector<std::string> ownSharedMemoryNow() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line); // header
    std::vector<std::string> own;
    const long self = ::getpid();
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0, id = 0, perms = 0, size = 0, cpid = 0, lpid = 0;
        if (fields >> key >> id >> perms >> size >> cpid >> lpid &&
            (cpid == self || lpid == self)) {
            own.push_back(line);
        }
    }
    return own;
}

// The same once the X server, which detaches a released segment when it gets to
// it, has had a moment: a segment still there after that is a leak.
std::vector<std::string> ownSharedMemory() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto own = ownSharedMemoryNow();
    while (!own.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        own = ownSharedMemoryNow();
    }
    return own;
}

// Checks the saved clip against its manifest and what the stream must be: H.264
// High without reordering, a keyframe first and then every 15 frames, 15 fps,
// as long as the manifest says, every packet decodable.
void expectValidBundle(const CaptureBundle& bundle, const CaptureSnapshot& snapshot,
                       CaptureBackend backend, std::int64_t width, std::int64_t height) {
    const auto manifest = readManifest(bundle.manifestURL);
    ASSERT_TRUE(manifest.has_value()) << bundle.manifestURL;
    EXPECT_EQ(manifest->captureId, bundle.id);
    EXPECT_EQ(manifest->encodedFrameCount, static_cast<std::int64_t>(snapshot.frames.size()));
    EXPECT_EQ(manifest->framesPerSecond, 15);
    EXPECT_EQ(manifest->source.kind, "display");
    EXPECT_EQ(manifest->source.width, width);
    EXPECT_EQ(manifest->source.height, height);
    EXPECT_EQ(manifest->captureBackend, backend);
    EXPECT_TRUE(manifest->gaps.empty()) << "a short recording on an idle machine has no holes";
    EXPECT_GT(manifest->bufferedBytes, 0);

    std::string whyNot;
    const auto probe = testing::ffprobe(bundle.clipURL, &whyNot);
    ASSERT_TRUE(probe.has_value()) << whyNot;
    EXPECT_EQ(probe->exitStatus, 0);
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_EQ(probe->profile, "High");
    EXPECT_EQ(probe->hasBFrames, 0);
    EXPECT_EQ(probe->width, width);
    EXPECT_EQ(probe->height, height);
    ASSERT_EQ(probe->frameCount(), manifest->encodedFrameCount);
    ASSERT_GT(probe->frameCount(), 1);
    // Frames are stamped by a 15 per second clock (the frame timer, or x11grab's
    // own pacing) in presentation order, on average no faster than 15 and, short
    // of a stall the gap list would show, no slower than half that: a busy machine
    // misses ticks, so the exact rate is not the stream's to promise.
    ASSERT_TRUE(probe->frames.front().ptsTime && probe->frames.back().ptsTime);
    for (int i = 1; i < probe->frameCount(); ++i) {
        const auto& previous = probe->frames[static_cast<std::size_t>(i - 1)].ptsTime;
        const auto& current = probe->frames[static_cast<std::size_t>(i)].ptsTime;
        ASSERT_TRUE(previous && current);
        EXPECT_GT(*current, *previous) << "frame " << i;
    }
    const double stamped = (probe->frameCount() - 1) /
                           (*probe->frames.back().ptsTime - *probe->frames.front().ptsTime);
    EXPECT_LE(stamped, 15.0 + 0.2);
    EXPECT_GE(stamped, 7.5);
    // The clip ends at the trigger, which may cut the last frame short, so the
    // container's average is the frame count over the clip's duration.
    ASSERT_TRUE(probe->duration.has_value());
    EXPECT_NEAR(rate(probe->avgFrameRate), probe->frameCount() / *probe->duration, 0.05)
        << probe->avgFrameRate;
    EXPECT_TRUE(probe->frames.front().keyframe);
    std::vector<int> everyFifteenth;
    for (int i = 0; i < probe->frameCount(); i += 15) {
        everyFifteenth.push_back(i);
    }
    EXPECT_EQ(probe->keyframeIndices, everyFifteenth);
    EXPECT_NEAR(*probe->duration, manifest->actualSeconds, kFramePeriod + 1e-3);
    EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();

    const auto decoded = testing::fullyDecodes(bundle.clipURL);
    EXPECT_TRUE(decoded.ok()) << decoded.frames << " of " << decoded.packets << " frames; "
                              << (decoded.errors.empty() ? "" : decoded.errors.front());
}

std::string backendName(const ::testing::TestParamInfo<CaptureBackend>& info) {
    return std::string(rawValue(info.param));
}

fs::path makeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "snagreel-pipeline-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

// ---- On Xvfb with moving content ---------------------------------------------------

class XvfbWithContent : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        xvfb_ = XvfbServer::start(kWidth, kHeight, &whyNot);
        if (!xvfb_) {
            GTEST_SKIP() << whyNot;
        }
        content_ =
            MovingContent::start(xvfb_->displayName(), MovingContent::Mode::motion, 15, &whyNot);
        ASSERT_NE(content_, nullptr) << whyNot;
        folder_ = makeTemporaryFolder();
        ASSERT_FALSE(folder_.empty());
    }

    void TearDown() override {
        if (content_) {
            content_->stop();
        }
        if (!folder_.empty()) {
            std::error_code ignored;
            fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
            fs::remove_all(folder_, ignored);
        }
    }

    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<MovingContent> content_;
    fs::path folder_;
};

class RecorderPipeline : public XvfbWithContent,
                         public ::testing::WithParamInterface<CaptureBackend> {};

TEST_P(RecorderPipeline, RecordsAndSavesAValidClip) {
    Recording recording(xvfb_->displayName(), GetParam());
    auto started = recording.start();
    ASSERT_TRUE(started) << started.error().description();
    ASSERT_TRUE(recording.recordFor(3.6));
    const auto status = recording.latest();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->running);
    EXPECT_FALSE(status->encoderName.empty());
    ASSERT_TRUE(status->source.has_value());
    EXPECT_EQ(status->source->width, kWidth);
    EXPECT_EQ(status->source->height, kHeight);

    auto snapshot = recording.snapshot(3);
    ASSERT_TRUE(snapshot.has_value());
    ASSERT_TRUE(*snapshot) << snapshot->error().description();
    const CaptureSnapshot& taken = **snapshot;
    ASSERT_FALSE(taken.frames.empty());
    EXPECT_TRUE(taken.frames.front().isKeyframe);
    EXPECT_LE(taken.end - taken.frames.front().timestamp, 3.0 + kFramePeriod);

    const fs::path root = folder_ / "Captures";
    auto saved = save(taken, 3, recording.configuration(), root);
    ASSERT_TRUE(saved.has_value());
    ASSERT_TRUE(*saved) << saved->error().description();
    EXPECT_EQ((**saved).directoryURL.parent_path(), root);
    expectValidBundle(**saved, taken, GetParam(), kWidth, kHeight);
    EXPECT_TRUE(recording.terminalFailures().empty());
    EXPECT_TRUE(recording.stop());
    EXPECT_TRUE(content_->healthy());
    const auto leftovers = ownSharedMemory();
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

// The X server dies under a running engine, as it does when the session ends.
TEST_P(RecorderPipeline, ALostXServerEndsTheRecordingOnceAndLeavesNothingBehind) {
    {
        Recording recording(xvfb_->displayName(), GetParam());
        auto started = recording.start();
        ASSERT_TRUE(started) << started.error().description();
        ASSERT_TRUE(recording.recordFor(1.0));

        xvfb_->kill();
        const auto failure = recording.awaitTermination();
        ASSERT_TRUE(failure.has_value()) << "the engine never noticed the server is gone";
        EXPECT_TRUE(failure->kind == Kind::sourceUnavailable || failure->kind == Kind::transient)
            << rawValue(failure->kind) << ": " << failure->message;
        EXPECT_TRUE(failure->canRetry());
        EXPECT_FALSE(failure->message.empty());
        EXPECT_TRUE(recording.userStops().empty());

        // What terminated was discarded: a snapshot fails with a sentence, not a crash.
        auto snapshot = recording.snapshot(3);
        ASSERT_TRUE(snapshot.has_value()) << "the snapshot never completed";
        ASSERT_FALSE(*snapshot);
        const std::string expected =
            GetParam() == CaptureBackend::avFoundation ? failure->message : kWarmingUp;
        EXPECT_EQ(snapshot->error().description(), expected);

        EXPECT_TRUE(recording.stop());
        EXPECT_EQ(recording.terminalFailures().size(), 1u);

        // Nor is a start against the missing server a missing permission, which
        // would hold the recorder back until the user acts.
        Recording next(xvfb_->displayName(), GetParam());
        auto restarted = next.start();
        ASSERT_FALSE(restarted);
        const CaptureFailure refused(restarted.error());
        EXPECT_TRUE(refused.canRetry()) << rawValue(refused.kind) << ": " << refused.message;
        EXPECT_TRUE(next.stop());
    }
    const auto leftovers = ownSharedMemory();
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

// A save that cannot create its directory fails alone: the engine records on and
// the next save works.
TEST_F(XvfbWithContent, AnUnwritableCapturesRootFailsTheSaveButNotTheRecording) {
    const CaptureBackend backend = CaptureBackend::screenCaptureKit;
    Recording recording(xvfb_->displayName(), backend);
    auto started = recording.start();
    ASSERT_TRUE(started) << started.error().description();
    ASSERT_TRUE(recording.recordFor(1.2));

    const fs::path blocker = folder_ / "not-a-folder";
    std::ofstream(blocker) << "a file where the parent should be";
    const fs::path root = blocker / "Captures";
    auto first = recording.snapshot(1);
    ASSERT_TRUE(first.has_value() && *first);
    auto failed = save(**first, 1, recording.configuration(), root);
    ASSERT_TRUE(failed.has_value()) << "the failed save never completed";
    ASSERT_FALSE(*failed);
    // The sentence names the folder that could not be made.
    EXPECT_NE(failed->error().description().find(root.string()), std::string::npos)
        << failed->error().description();
    EXPECT_TRUE(fs::is_regular_file(blocker));
    EXPECT_EQ(fs::file_size(blocker), std::string("a file where the parent should be").size());

    const double before = recording.latest()->seconds;
    ASSERT_TRUE(recording.recordFor(before + 0.5)) << "recording stopped after the failed save";
    EXPECT_TRUE(recording.latest()->running);
    auto second = recording.snapshot(2);
    ASSERT_TRUE(second.has_value() && *second);
    auto saved = save(**second, 2, recording.configuration(), folder_ / "Captures");
    ASSERT_TRUE(saved.has_value());
    ASSERT_TRUE(*saved) << saved->error().description();
    expectValidBundle(**saved, **second, backend, kWidth, kHeight);
    EXPECT_TRUE(recording.terminalFailures().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, RecorderPipeline,
                         ::testing::Values(CaptureBackend::screenCaptureKit,
                                           CaptureBackend::avFoundation),
                         backendName);

// ---- A screen that changes its mode (Xorg with the dummy driver) ------------------

class RecorderResize : public ::testing::TestWithParam<CaptureBackend> {};

TEST_P(RecorderResize, ASizeChangeEndsTheClipAndAFreshEngineRecordsTheNewSize) {
    std::string whyNot;
    auto server = TestXServer::xorgDummy(&whyNot);
    if (!server) {
        GTEST_SKIP() << whyNot;
    }
    const fs::path folder = makeTemporaryFolder();
    ASSERT_FALSE(folder.empty());
    struct Cleanup {
        fs::path folder;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    } cleanup{folder};
    {
        Recording recording(server->display(), GetParam());
        auto started = recording.start();
        ASSERT_TRUE(started) << started.error().description();
        ASSERT_TRUE(recording.recordFor(1.0));
        ASSERT_EQ(recording.latest()->source->width, 1024);

        ASSERT_EQ(server->run("xrandr -s 800x600"), 0);
        const auto failure = recording.awaitTermination();
        ASSERT_TRUE(failure.has_value()) << "the engine recorded on across the size change";
        EXPECT_TRUE(failure->kind == Kind::sourceUnavailable || failure->kind == Kind::transient)
            << rawValue(failure->kind) << ": " << failure->message;
        EXPECT_TRUE(recording.stop());
    }

    Recording fresh(server->display(), GetParam());
    auto started = fresh.start();
    ASSERT_TRUE(started) << started.error().description();
    ASSERT_TRUE(fresh.recordFor(1.2));
    auto snapshot = fresh.snapshot(1);
    ASSERT_TRUE(snapshot.has_value());
    ASSERT_TRUE(*snapshot) << snapshot->error().description();
    EXPECT_EQ((**snapshot).source.width, 800);
    EXPECT_EQ((**snapshot).source.height, 600);
    auto saved = save(**snapshot, 1, fresh.configuration(), folder / "Captures");
    ASSERT_TRUE(saved.has_value());
    ASSERT_TRUE(*saved) << saved->error().description();
    expectValidBundle(**saved, **snapshot, GetParam(), 800, 600);
    EXPECT_TRUE(fresh.stop());
    const auto leftovers = ownSharedMemory();
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

INSTANTIATE_TEST_SUITE_P(Backends, RecorderResize,
                         ::testing::Values(CaptureBackend::screenCaptureKit,
                                           CaptureBackend::avFoundation),
                         backendName);

} // namespace
} // namespace snagreel
