#include "SnagreelCore/Linux/X11GrabSession.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Support/Clock.hpp"
#include "devsupport/XvfbServer.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace snagreel;
using snagreel::devsupport::XvfbServer;

namespace {

// Generous bound for waiting on a real X server; only there to fail instead of hang.
constexpr auto kPatience = std::chrono::seconds(20);

// What the session delivered, collected from the media queue's thread.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ScreenImage> images;
    std::vector<double> times;
    std::vector<std::pair<GrabSessionNotification, std::optional<Error>>> notifications;
    int drops = 0;

    GrabSessionCallbacks callbacks() {
        GrabSessionCallbacks callbacks;
        callbacks.onSample = [this](const ScreenImage& image, double time) {
            std::lock_guard lock(mutex);
            images.push_back(image);
            times.push_back(time);
            changed.notify_all();
        };
        callbacks.onDrop = [this] {
            std::lock_guard lock(mutex);
            ++drops;
            changed.notify_all();
        };
        callbacks.onNotification = [this](GrabSessionNotification n, std::optional<Error> e) {
            std::lock_guard lock(mutex);
            notifications.emplace_back(n, std::move(e));
            changed.notify_all();
        };
        return callbacks;
    }

    template <typename Predicate> bool waitFor(Predicate predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return predicate(*this); });
    }
    std::size_t sampleCount() {
        std::lock_guard lock(mutex);
        return images.size();
    }
};

class X11GrabSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server) {
            GTEST_SKIP() << "Xvfb did not start";
        }
        directory = std::make_unique<X11DisplayDirectory>(server->displayName());
    }

    std::unique_ptr<X11GrabSession> openSession(std::int64_t width, std::int64_t height,
                                                std::int64_t fps = 15) {
        auto session = std::make_unique<X11GrabSession>(server->displayName());
        auto display = directory->mainDisplayID();
        EXPECT_TRUE(display.has_value());
        auto input = session->addScreenInput(display.value_or(0), fps, true);
        EXPECT_TRUE(input.hasValue()) << (input ? "" : input.error().description());
        auto output = session->addVideoOutput(width, height);
        EXPECT_TRUE(output.hasValue()) << (output ? "" : output.error().description());
        return session;
    }

    std::unique_ptr<XvfbServer> server = XvfbServer::start(640, 480);
    std::unique_ptr<X11DisplayDirectory> directory;
    std::shared_ptr<SerialQueue> mediaOwner = std::make_shared<SerialQueue>("test.capture");
    SerialQueue& media = *mediaOwner;
    Collector collector;
};

} // namespace

TEST_F(X11GrabSessionTest, DirectoryFindsTheXvfbOutputAndRefusesUnknownOnes) {
    auto displays = listX11Displays(server->displayName());
    ASSERT_TRUE(displays.hasValue());
    ASSERT_EQ(displays->size(), 1u);
    const DisplayInfo& screen = displays->front();
    EXPECT_NE(screen.id, 0u);
    EXPECT_TRUE(screen.active);
    EXPECT_EQ(screen.width, 640);
    EXPECT_EQ(screen.height, 480);

    EXPECT_EQ(directory->mainDisplayID(), screen.id);
    EXPECT_TRUE(directory->isActive(screen.id));
    EXPECT_EQ(directory->bounds(screen.id), (std::pair<std::int64_t, std::int64_t>{640, 480}));
    EXPECT_FALSE(directory->isActive(screen.id + 1000));
    EXPECT_FALSE(directory->bounds(screen.id + 1000));

    // An inactive primary output is not the main display; the first active one is.
    DisplayInfo off{.id = 5, .name = "HDMI-1", .active = false, .primary = true};
    DisplayInfo on{.id = 9, .name = "DP-1", .width = 10, .height = 10, .active = true};
    EXPECT_EQ(mainX11Display({off, on}), 9u);
    EXPECT_EQ(mainX11Display({off}), std::nullopt);
}

TEST_F(X11GrabSessionTest, InputIsRefusedForAnUnknownDisplayOrBadOutputSize) {
    X11GrabSession session(server->displayName());
    EXPECT_FALSE(session.addScreenInput(12345, 15, true));
    EXPECT_FALSE(session.addVideoOutput(320, 240)) << "no input yet";
    ASSERT_TRUE(session.addScreenInput(*directory->mainDisplayID(), 15, true));
    EXPECT_FALSE(session.addVideoOutput(1280, 960)) << "larger than the display";
    EXPECT_FALSE(session.addVideoOutput(321, 240)) << "odd width";

    X11GrabSession nowhere(":9999");
    EXPECT_FALSE(nowhere.addScreenInput(1, 15, true));
}

TEST_F(X11GrabSessionTest, DeliversConvertedFramesWithMonotonicHostTimesNearNow) {
    auto session = openSession(320, 240);
    session->startRunning(mediaOwner, collector.callbacks());
    EXPECT_TRUE(session->isRunning());
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.images.size() >= 10; }));
    session->stopRunning();
    EXPECT_FALSE(session->isRunning());

    std::lock_guard lock(collector.mutex);
    for (const ScreenImage& image : collector.images) {
        ASSERT_TRUE(image.isValid());
        EXPECT_EQ(image.width, 320);
        EXPECT_EQ(image.height, 240);
        EXPECT_EQ(image.pixelFormat, AV_PIX_FMT_NV12);
        EXPECT_EQ(image.frame->width, 320);
    }
    const double now = monotonicSeconds();
    std::optional<double> previous;
    for (double time : collector.times) {
        auto host = session->toHostTime(time);
        ASSERT_TRUE(host);
        EXPECT_LE(*host, now + 0.5);
        EXPECT_GT(*host, now - 30);
        if (previous) {
            EXPECT_GT(*host, *previous);
        }
        previous = host;
    }
    // About 15 frames a second on the session's own stamps, within a wide margin.
    const double span = collector.times.back() - collector.times.front();
    const double interval = span / static_cast<double>(collector.times.size() - 1);
    EXPECT_GT(interval, 1.0 / 60);
    EXPECT_LT(interval, 1.0 / 4);
}

TEST_F(X11GrabSessionTest, StopRunningEndsDeliveryAndNothingArrivesAfterIt) {
    auto session = openSession(640, 480);
    session->startRunning(mediaOwner, collector.callbacks());
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.images.size() >= 3; }));
    session->stopRunning();
    const std::size_t atStop = collector.sampleCount();
    media.drain();
    EXPECT_EQ(collector.sampleCount(), atStop);
    session->removeInputsAndOutputs();
    session.reset();
    media.drain();
    std::lock_guard lock(collector.mutex);
    EXPECT_EQ(collector.images.size(), atStop);
    EXPECT_TRUE(collector.notifications.empty()) << "a requested stop is no notification";
}

TEST_F(X11GrabSessionTest, ABlockedMediaQueueCausesDropsNotABacklog) {
    auto session = openSession(320, 240, 30);
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    media.post([&] {
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return open; });
    });
    session->startRunning(mediaOwner, collector.callbacks());
    // The reader keeps grabbing while the queue is stuck; a dozen frame periods is
    // ample to use up the allowance of queued frames.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.drops > 0; }));
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.images.size() >= 5; }));
    session->stopRunning();
}

TEST_F(X11GrabSessionTest, AVanishedServerIsOneSourceUnavailableRuntimeError) {
    auto session = openSession(320, 240);
    session->startRunning(mediaOwner, collector.callbacks());
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.images.size() >= 2; }));
    server->kill();
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return !c.notifications.empty(); }));
    EXPECT_FALSE(session->isRunning());
    session->stopRunning();
    media.drain();

    std::lock_guard lock(collector.mutex);
    ASSERT_EQ(collector.notifications.size(), 1u);
    const auto& [notification, error] = collector.notifications.front();
    EXPECT_EQ(notification, GrabSessionNotification::runtimeError);
    ASSERT_TRUE(error.has_value());
    const CaptureFailure failure(*error);
    EXPECT_EQ(failure.domain, kAVFoundationErrorDomain);
    EXPECT_EQ(failure.code, AVErrorCode::deviceDisconnected);
    EXPECT_EQ(failure.kind, CaptureFailure::Kind::sourceUnavailable);
}

// A server already back on the same display shows the grabbed output unchanged;
// the old one's death must still not read as a refusal.
TEST_F(X11GrabSessionTest, AServerRestartedAtOnceIsStillAVanishedSource) {
    auto session = openSession(320, 240);
    session->startRunning(mediaOwner, collector.callbacks());
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return c.images.size() >= 2; }));
    server->kill();
    ASSERT_TRUE(server->restart());
    ASSERT_TRUE(collector.waitFor([](Collector& c) { return !c.notifications.empty(); }));
    session->stopRunning();
    media.drain();

    std::lock_guard lock(collector.mutex);
    const auto& [notification, error] = collector.notifications.front();
    EXPECT_EQ(notification, GrabSessionNotification::runtimeError);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(CaptureFailure(*error).kind, CaptureFailure::Kind::sourceUnavailable)
        << error->description();
}

TEST_F(X11GrabSessionTest, ReadFailuresAreRefusalsOnlyWhileTheOutputIsUnchanged) {
    auto displays = listX11Displays(server->displayName());
    ASSERT_TRUE(displays.hasValue());
    const DisplayInfo grabbed = displays->front();
    auto kind = [](const Error& error) { return CaptureFailure(error).kind; };
    using Kind = CaptureFailure::Kind;

    const Error refused = classifyX11GrabFailure(server->displayName(), grabbed);
    EXPECT_EQ(refused.code(), AVErrorCode::notAuthorizedForDevice);
    EXPECT_EQ(kind(refused), Kind::permission);

    DisplayInfo resized = grabbed;
    resized.width = 1024;
    EXPECT_EQ(kind(classifyX11GrabFailure(server->displayName(), resized)),
              Kind::sourceUnavailable);
    DisplayInfo other = grabbed;
    other.id += 1000;
    EXPECT_EQ(classifyX11GrabFailure(server->displayName(), other).code(),
              AVErrorCode::deviceDisconnected);
    server->kill();
    EXPECT_EQ(kind(classifyX11GrabFailure(server->displayName(), grabbed)),
              Kind::sourceUnavailable);
}
