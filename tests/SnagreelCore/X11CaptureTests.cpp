#include "SnagreelCore/Linux/X11ScreenCapture.hpp"

#include "SnagreelCore/Capture/CaptureEngine.hpp"
#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"
#include "SnagreelCore/Linux/X11GrabSession.hpp"
#include "SnagreelCore/Support/Clock.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/Waiting.hpp"
#include "devsupport/XvfbServer.hpp"
#include "support/DisplayPainter.hpp"
#include "support/DisplaySocket.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace snagreel {
namespace {

using devsupport::MovingContent;
using devsupport::XvfbServer;
using testing::DisplayPainter;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;

// What a stream delivered, waited on from the test thread.
struct Delivered {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ScreenSample> samples;
    std::vector<Error> stops;
    // From a grab session.
    std::vector<ScreenImage> images;
    std::vector<double> times;
    std::vector<std::pair<GrabSessionNotification, std::optional<Error>>> notifications;
    int drops = 0;

    ScreenStreamCallbacks callbacks() {
        return {[this](const ScreenSample& sample) {
                    std::lock_guard lock(mutex);
                    samples.push_back(sample);
                    changed.notify_all();
                },
                [this](const Error& error) {
                    std::lock_guard lock(mutex);
                    stops.push_back(error);
                    changed.notify_all();
                }};
    }

    GrabSessionCallbacks grabCallbacks() {
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
    std::size_t imageCount() {
        std::lock_guard lock(mutex);
        return images.size();
    }

    // Waits (a generous bound, only reached on failure) until `done` holds.
    template <typename Predicate> bool waitFor(Predicate done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return done(*this); });
    }

    std::size_t count(FrameStatus status) const {
        return static_cast<std::size_t>(
            std::count_if(samples.begin(), samples.end(),
                          [&](const ScreenSample& s) { return s.status == status; }));
    }
    const ScreenSample* lastComplete() const {
        for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
            if (it->status == FrameStatus::complete) {
                return &*it;
            }
        }
        return nullptr;
    }
};

// Luma and chroma of a sample at a pixel of the encoded image.
struct YUV {
    int y, u, v;
};
YUV yuvAt(const ScreenImage& image, int x, int y) {
    const AVFrame* f = image.frame.get();
    const std::uint8_t* uv = f->data[1] + (y / 2) * f->linesize[1] + (x / 2) * 2;
    return {f->data[0][y * f->linesize[0] + x], uv[0], uv[1]};
}

// BT.709 video range of a few solid colours.
constexpr YUV kRed{63, 102, 240};
constexpr YUV kBlue{32, 240, 118};
constexpr YUV kWhite{235, 128, 128};

void expectColour(const ScreenImage& image, int x, int y, YUV expected) {
    const YUV got = yuvAt(image, x, y);
    EXPECT_NEAR(got.y, expected.y, 3) << "at " << x << "," << y;
    EXPECT_NEAR(got.u, expected.u, 3) << "at " << x << "," << y;
    EXPECT_NEAR(got.v, expected.v, 3) << "at " << x << "," << y;
}

struct SegmentLine {
    int id;
    unsigned mode;
};
// Segments this process created, from the kernel's table.
std::vector<SegmentLine> ourSegments() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line); // header
    std::vector<SegmentLine> ours;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0, size = 0;
        int id = 0, cpid = 0;
        std::string mode;
        fields >> key >> id >> mode >> size >> cpid;
        if (cpid == ::getpid()) {
            ours.push_back({id, static_cast<unsigned>(std::stoul(mode, nullptr, 8))});
        }
    }
    return ours;
}

class X11CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server = XvfbServer::start(kScreenWidth, kScreenHeight, &whyNot);
        if (!server) {
            GTEST_SKIP() << "no virtual display: " << whyNot;
        }
        painter = DisplayPainter::open(server->displayName());
        ASSERT_TRUE(painter);
        service = makeX11ScreenCaptureService(server->displayName());
    }

    std::uint32_t screenID() {
        auto content = service->shareableContent();
        EXPECT_TRUE(content.hasValue());
        return content ? *content->mainDisplayID : 0;
    }

    std::unique_ptr<ScreenStream>
    startStream(ContentFilter filter, StreamConfiguration configuration, Delivered& delivered) {
        auto stream = service->makeStream(filter, configuration, queue, delivered.callbacks());
        EXPECT_TRUE(stream.hasValue());
        if (!stream) {
            return nullptr;
        }
        auto started = (*stream)->startCapture();
        EXPECT_TRUE(started.hasValue()) << (started ? "" : started.error().description());
        return std::move(*stream);
    }

    std::unique_ptr<X11GrabSession> openSession(std::int64_t width, std::int64_t height,
                                                std::int64_t fps = 15) {
        auto session = std::make_unique<X11GrabSession>(server->displayName());
        auto input = session->addScreenInput(screenID(), fps, true);
        EXPECT_TRUE(input.hasValue()) << (input ? "" : input.error().description());
        auto output = session->addVideoOutput(width, height);
        EXPECT_TRUE(output.hasValue()) << (output ? "" : output.error().description());
        return session;
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<DisplayPainter> painter;
    std::shared_ptr<ScreenCaptureService> service;
    std::shared_ptr<SerialQueue> queueOwner = std::make_shared<SerialQueue>("test.capture");
    SerialQueue& queue = *queueOwner;
    Delivered received; // what a grab session delivered
};

TEST_F(X11CaptureTest, ListsTheOutputAsMainDisplayAndOnlyMappedTopLevelWindows) {
    const std::uint32_t shown = painter->makeWindow(10, 20, 200, 100, 0x0000ff);
    const std::uint32_t hidden = painter->makeWindow(0, 0, 50, 50, 0x0000ff, /*mapped=*/false);

    auto content = service->shareableContent();
    ASSERT_TRUE(content.hasValue()) << content.error().description();
    ASSERT_EQ(content->displays.size(), 1u);
    const DisplayInfo& display = content->displays.front();
    EXPECT_NE(display.id, 0u);
    EXPECT_EQ(display.name, "screen");
    EXPECT_EQ(display.x, 0);
    EXPECT_EQ(display.y, 0);
    EXPECT_EQ(display.width, kScreenWidth);
    EXPECT_EQ(display.height, kScreenHeight);
    EXPECT_TRUE(display.active);
    EXPECT_EQ(content->mainDisplayID, display.id);

    EXPECT_NE(
        std::find(content->windows.begin(), content->windows.end(), WindowInfo{shown, 200, 100}),
        content->windows.end());
    EXPECT_TRUE(std::none_of(content->windows.begin(), content->windows.end(),
                             [&](const WindowInfo& w) { return w.id == hidden; }));
}

TEST_F(X11CaptureTest, UnreachableDisplayIsATransientConnectionFailure) {
    server->kill();
    auto content = service->shareableContent();
    ASSERT_FALSE(content.hasValue());
    EXPECT_EQ(content.error().domain(), kStreamErrorDomain);
    EXPECT_EQ(content.error().code(), StreamErrorCode::connectionInvalid);
    EXPECT_EQ(CaptureFailure(content.error()).kind, CaptureFailure::Kind::transient);
    // A server that is gone refused nothing: no permission is missing.
    EXPECT_TRUE(x11ScreenAccess(server->displayName()));

    auto stream = service->makeStream(ContentFilter{1, std::nullopt}, {}, queue, {});
    ASSERT_TRUE(stream.hasValue());
    auto started = (*stream)->startCapture();
    ASSERT_FALSE(started.hasValue());
    EXPECT_EQ(started.error().code(), StreamErrorCode::connectionInvalid);
}

// Something that accepts on a display's socket and hangs up, as a server that
// rejects our credentials does: that is a refusal, not a missing server.
TEST_F(X11CaptureTest, AServerThatTurnsUsAwayWithholdsScreenAccess) {
    const int number = 900 + static_cast<int>(::getpid() % 90);
    bool inUse = false;
    const int listener = testing::listenOnDisplaySocket(number, &inUse);
    if (inUse) {
        GTEST_SKIP() << "display " << number << " is in use";
    }
    ASSERT_GE(listener, 0);
    std::thread refuser([listener] {
        // Hang up on every client until the listener is shut down.
        for (int client; (client = ::accept(listener, nullptr, nullptr)) >= 0;) {
            ::close(client);
        }
    });
    EXPECT_FALSE(x11ScreenAccess(":" + std::to_string(number)));
    ::shutdown(listener, SHUT_RDWR);
    refuser.join();
    ::close(listener);
}

TEST_F(X11CaptureTest, ScreenAccessNeedsAReadableXDisplay) {
    EXPECT_TRUE(x11ScreenAccess(server->displayName()));
    EXPECT_NE(screenAccessExplanation(server->displayName()).find(server->displayName()),
              std::string::npos);

    // A Wayland session with no X display to fall back on.
    const char* display = std::getenv("DISPLAY");
    const std::string savedDisplay = display ? display : "";
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_FALSE(x11ScreenAccess(""));
    EXPECT_EQ(screenAccessExplanation(""),
              "Snagreel records X11 displays; this Wayland session gives it no X display to read.");
    auto content = makeX11ScreenCaptureService("")->shareableContent();
    ASSERT_FALSE(content.hasValue());
    EXPECT_EQ(CaptureFailure(content.error()).kind, CaptureFailure::Kind::permission);
    ::unsetenv("WAYLAND_DISPLAY");
    if (display) {
        ::setenv("DISPLAY", savedDisplay.c_str(), 1);
    }
}

// Replies recorded from the servers: Xorg, Xwayland 22 (which names its outputs
// after the compositor's) and an older Xwayland without its extension.
TEST(X11ScreenAccess, XwaylandIsToldApartByItsExtensionOrItsOutputNames) {
    const std::vector<std::string> xorg{"BIG-REQUESTS", "Composite", "DAMAGE", "DOUBLE-BUFFER",
                                        "GLX",          "MIT-SHM",   "RANDR",  "RENDER",
                                        "SHAPE",        "SYNC",      "XFIXES", "XInputExtension",
                                        "XTEST",        "XVideo"};
    std::vector<std::string> xwayland = xorg;
    xwayland.push_back("XWAYLAND");
    EXPECT_FALSE(isXwayland(xorg, {"DP-1", "HDMI-1"}));
    EXPECT_FALSE(isXwayland(xorg, {"DUMMY0", "xwayland0"}));
    EXPECT_TRUE(isXwayland(xwayland, {"DP-1"}));
    EXPECT_TRUE(isXwayland({"MIT-SHM", "RANDR"}, {"XWAYLAND0", "XWAYLAND1"}));
    // The refusal holds back retries until the user acts, like any missing access.
    EXPECT_EQ(
        CaptureFailure(Error(streamError(StreamErrorCode::userDeclined, kXwaylandRefusal))).kind,
        CaptureFailure::Kind::permission);
}

TEST_F(X11CaptureTest, DeliversScaledImagesOfWhatIsDrawnThenIdleWhileNothingChanges) {
    painter->fillRoot(0xff0000);
    Delivered delivered;
    auto stream = startStream(ContentFilter{screenID(), std::nullopt},
                              StreamConfiguration{320, 240, 30, 5, true}, delivered);
    ASSERT_TRUE(stream);

    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return d.count(FrameStatus::idle) >= 3; }));
    {
        std::lock_guard lock(delivered.mutex);
        EXPECT_EQ(delivered.samples.front().status, FrameStatus::complete);
        // The cursor stays put, so nothing but the first read needed a grab.
        EXPECT_EQ(delivered.count(FrameStatus::complete), 1u);
        const ScreenImage& image = delivered.samples.front().image;
        ASSERT_TRUE(image.isValid());
        EXPECT_EQ(image.width, 320);
        EXPECT_EQ(image.height, 240);
        EXPECT_EQ(image.pixelFormat, AV_PIX_FMT_NV12);
        expectColour(image, 0, 0, kRed);
        expectColour(image, 300, 200, kRed);
    }

    // A window drawn over the screen is damage on the root as well.
    painter->makeWindow(0, 0, kScreenWidth, kScreenHeight / 2, 0x0000ff);
    ASSERT_TRUE(
        delivered.waitFor([](Delivered& d) { return d.count(FrameStatus::complete) >= 2; }));
    {
        std::lock_guard lock(delivered.mutex);
        const ScreenImage& image = delivered.lastComplete()->image;
        expectColour(image, 10, 10, kBlue);
        expectColour(image, 10, 200, kRed);
    }

    // Moving the pointer changes the picture with no damage at all.
    const std::size_t before = [&] {
        std::lock_guard lock(delivered.mutex);
        return delivered.count(FrameStatus::complete);
    }();
    painter->warpPointer(300, 300);
    ASSERT_TRUE(
        delivered.waitFor([&](Delivered& d) { return d.count(FrameStatus::complete) > before; }));
    stream->stopCapture();
    std::lock_guard lock(delivered.mutex);
    EXPECT_TRUE(delivered.stops.empty());
}

TEST_F(X11CaptureTest, OnlyDamagedRowsAreReadYetEveryImageIsWhole) {
    painter->fillRoot(0xff0000);
    Delivered delivered;
    auto stream =
        startStream(ContentFilter{screenID(), std::nullopt},
                    StreamConfiguration{kScreenWidth, kScreenHeight, 30, 5, true}, delivered);
    ASSERT_TRUE(stream);
    auto completes = [&] {
        std::lock_guard lock(delivered.mutex);
        return delivered.count(FrameStatus::complete);
    };
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return d.count(FrameStatus::idle) >= 1; }));

    // The lower half changes; the upper half must come from the earlier reads.
    std::size_t before = completes();
    painter->makeWindow(0, kScreenHeight / 2, kScreenWidth, kScreenHeight / 2, 0x0000ff);
    ASSERT_TRUE(delivered.waitFor([&](Delivered& d) {
        return d.count(FrameStatus::complete) > before && d.count(FrameStatus::idle) >= 3;
    }));
    {
        std::lock_guard lock(delivered.mutex);
        const ScreenImage& image = delivered.lastComplete()->image;
        expectColour(image, 10, 10, kRed);
        expectColour(image, kScreenWidth - 10, kScreenHeight / 2 - 10, kRed);
        expectColour(image, 10, kScreenHeight - 10, kBlue);
    }

    // The cursor leaves no trace where it was drawn before.
    before = completes();
    painter->warpPointer(kScreenWidth - 40, 8);
    ASSERT_TRUE(delivered.waitFor([&](Delivered& d) {
        return d.count(FrameStatus::complete) > before && d.count(FrameStatus::idle) >= 6;
    }));
    before = completes();
    painter->warpPointer(kScreenWidth - 40, kScreenHeight - 40);
    ASSERT_TRUE(
        delivered.waitFor([&](Delivered& d) { return d.count(FrameStatus::complete) > before; }));
    stream->stopCapture();
    std::lock_guard lock(delivered.mutex);
    const ScreenImage& image = delivered.lastComplete()->image;
    for (int x = kScreenWidth - 40; x < kScreenWidth - 20; x += 2) {
        for (int y = 8; y < 28; y += 2) {
            expectColour(image, x, y, kRed);
        }
    }
}

TEST_F(X11CaptureTest, WindowFilterReadsTheWindowAndStopsWhenItGoes) {
    painter->fillRoot(0xffffff);
    const std::uint32_t window = painter->makeWindow(50, 60, 200, 100, 0x0000ff);
    Delivered delivered;
    auto stream = startStream(ContentFilter{std::nullopt, window},
                              StreamConfiguration{200, 100, 30, 5, false}, delivered);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(
        delivered.waitFor([](Delivered& d) { return d.count(FrameStatus::complete) >= 1; }));
    {
        std::lock_guard lock(delivered.mutex);
        const ScreenImage& image = delivered.lastComplete()->image;
        EXPECT_EQ(image.width, 200);
        EXPECT_EQ(image.height, 100);
        expectColour(image, 0, 0, kBlue);
        expectColour(image, 199, 99, kBlue);
    }

    painter->destroyWindow(window);
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return !d.stops.empty(); }));
    std::lock_guard lock(delivered.mutex);
    EXPECT_EQ(delivered.stops.front().code(), StreamErrorCode::noCaptureSource);
    EXPECT_EQ(CaptureFailure(delivered.stops.front()).kind,
              CaptureFailure::Kind::sourceUnavailable);
}

TEST_F(X11CaptureTest, ResizedWindowStopsTheStreamForARestart) {
    const std::uint32_t window = painter->makeWindow(0, 0, 100, 100, 0x0000ff);
    Delivered delivered;
    auto stream = startStream(ContentFilter{std::nullopt, window},
                              StreamConfiguration{100, 100, 30, 5, false}, delivered);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return !d.samples.empty(); }));
    painter->resizeWindow(window, 120, 100);
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return !d.stops.empty(); }));
    std::lock_guard lock(delivered.mutex);
    EXPECT_EQ(delivered.stops.front().code(), StreamErrorCode::systemStoppedStream);
    EXPECT_EQ(CaptureFailure(delivered.stops.front()).kind, CaptureFailure::Kind::transient);
}

TEST_F(X11CaptureTest, ServerDeathStopsTheStreamOnceWithATransientError) {
    std::string whyNot;
    auto content =
        MovingContent::start(server->displayName(), MovingContent::Mode::motion, 30, &whyNot);
    ASSERT_TRUE(content) << whyNot;
    Delivered delivered;
    auto stream =
        startStream(ContentFilter{screenID(), std::nullopt},
                    StreamConfiguration{kScreenWidth, kScreenHeight, 30, 5, true}, delivered);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(
        delivered.waitFor([](Delivered& d) { return d.count(FrameStatus::complete) >= 3; }));

    server->kill();
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return !d.stops.empty(); }));
    std::size_t samplesAtStop = 0;
    {
        std::lock_guard lock(delivered.mutex);
        samplesAtStop = delivered.samples.size();
        EXPECT_EQ(delivered.stops.front().code(), StreamErrorCode::connectionInterrupted);
        EXPECT_EQ(CaptureFailure(delivered.stops.front()).kind, CaptureFailure::Kind::transient);
    }
    // A few more periods pass: the stream has ended itself and says nothing more.
    queue.schedule(0.2, 0, [] {});
    ::usleep(250'000);
    queue.drain();
    stream->stopCapture();
    std::lock_guard lock(delivered.mutex);
    EXPECT_EQ(delivered.stops.size(), 1u);
    EXPECT_EQ(delivered.samples.size(), samplesAtStop);
    content->stop();
}

TEST_F(X11CaptureTest, NoCallbackAfterStopCaptureReturnsFromAnyThread) {
    std::string whyNot;
    auto content =
        MovingContent::start(server->displayName(), MovingContent::Mode::motion, 60, &whyNot);
    ASSERT_TRUE(content) << whyNot;
    Delivered delivered;
    std::atomic<bool> stopReturned{false};
    std::atomic<int> late{0};
    auto callbacks = delivered.callbacks();
    auto onSample = callbacks.onSample;
    callbacks.onSample = [&, onSample](const ScreenSample& s) {
        if (stopReturned) {
            ++late;
        }
        onSample(s);
    };
    auto made = service->makeStream(ContentFilter{screenID(), std::nullopt},
                                    StreamConfiguration{kScreenWidth, kScreenHeight, 60, 5, true},
                                    queue, callbacks);
    ASSERT_TRUE(made.hasValue());
    auto stream = std::move(*made);
    ASSERT_TRUE(stream->startCapture().hasValue());
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return d.samples.size() >= 5; }));
    stream->stopCapture();
    stopReturned = true;
    queue.drain();
    EXPECT_EQ(late.load(), 0);

    // Stopping from inside a callback on the queue returns too.
    Delivered second;
    std::unique_ptr<ScreenStream> inner;
    auto innerCallbacks = second.callbacks();
    auto record = innerCallbacks.onSample;
    std::atomic<int> afterInnerStop{0};
    std::atomic<bool> innerStopped{false};
    innerCallbacks.onSample = [&, record](const ScreenSample& s) {
        if (innerStopped) {
            ++afterInnerStop;
            return;
        }
        record(s);
        inner->stopCapture();
        innerStopped = true;
    };
    auto innerMade = service->makeStream(
        ContentFilter{screenID(), std::nullopt},
        StreamConfiguration{kScreenWidth, kScreenHeight, 60, 5, true}, queue, innerCallbacks);
    ASSERT_TRUE(innerMade.hasValue());
    inner = std::move(*innerMade);
    ASSERT_TRUE(inner->startCapture().hasValue());
    ASSERT_TRUE(second.waitFor([](Delivered& d) { return !d.samples.empty(); }));
    queue.drain();
    EXPECT_TRUE(innerStopped);
    EXPECT_EQ(afterInnerStop.load(), 0);
    content->stop();
}

// Linux lets any process attach a segment by id, even one marked for removal:
// whatever either backend reads the screen through must be ours alone.
TEST_F(X11CaptureTest, NoSegmentOfOursIsOpenToOthersWhileEitherBackendRecords) {
    ASSERT_TRUE(ourSegments().empty());
    Delivered delivered;
    auto stream =
        startStream(ContentFilter{screenID(), std::nullopt},
                    StreamConfiguration{kScreenWidth, kScreenHeight, 30, 5, true}, delivered);
    ASSERT_TRUE(stream);
    auto session = openSession(kScreenWidth, kScreenHeight);
    session->startRunning(queueOwner, received.grabCallbacks());
    ASSERT_TRUE(delivered.waitFor([](Delivered& d) { return !d.samples.empty(); }));
    ASSERT_TRUE(received.waitFor([](Delivered& d) { return !d.images.empty(); }));

    const auto during = ourSegments();
    ASSERT_EQ(during.size(), 2u);
    for (const SegmentLine& segment : during) {
        EXPECT_EQ(segment.mode & 077, 0u) << "segment " << segment.id;
        // Already marked for removal (SHM_DEST): a crash leaves nothing behind.
        EXPECT_NE(segment.mode & 01000, 0u) << "segment " << segment.id;
    }
    stream->stopCapture();
    session.reset();
    EXPECT_TRUE(ourSegments().empty());
}

TEST_F(X11CaptureTest, AccessRecheckKeepsItsConnectionAndCallsALostServerUnreachable) {
    X11ScreenAccessMonitor monitor(server->displayName());
    ASSERT_EQ(monitor.check(), ScreenAccessCheck::granted);
    // A server out of client slots still answers the connection it already gave us.
    std::vector<xcb_connection_t*> clients;
    while (clients.size() < 2048) {
        xcb_connection_t* client = xcb_connect(server->displayName().c_str(), nullptr);
        const bool refused = xcb_connection_has_error(client) != 0;
        clients.push_back(client);
        if (refused) {
            break;
        }
    }
    ASSERT_NE(xcb_connection_has_error(clients.back()), 0) << "the server took every client";
    EXPECT_EQ(monitor.check(), ScreenAccessCheck::granted);
    for (xcb_connection_t* client : clients) {
        xcb_disconnect(client);
    }
    server->kill();
    EXPECT_EQ(monitor.check(), ScreenAccessCheck::unreachable);
    EXPECT_EQ(monitor.check(), ScreenAccessCheck::unreachable) << "no server, no refusal";
    // A server back on the display is asked at once, over a fresh connection.
    ASSERT_TRUE(server->restart());
    EXPECT_EQ(monitor.check(), ScreenAccessCheck::granted);
    server->kill();
    ASSERT_TRUE(server->restart());
    EXPECT_EQ(monitor.check(), ScreenAccessCheck::granted) << "the kept connection went stale";
}

// The application's quit path releases engines without waiting for a stop: the
// session is torn down on its queue after the engine and its capture queue are
// gone, while the reader may still be posting (ASan catches the freed queue).
TEST_F(X11CaptureTest, AnEngineReleasedWithoutStopTearsItsSessionDownSafely) {
    ManualExecutor caller;
    auto sessionQueue = std::make_shared<ManualExecutor>();
    const std::string name = server->displayName();
    CapturePlatform platform;
    platform.makeGrabSession = [name] { return std::make_unique<X11GrabSession>(name); };
    platform.displays = std::make_shared<X11DisplayDirectory>(name);
    platform.makeEncoder = makeFFmpegEncoderFactory(EncoderChoice::libx264);
    platform.screenAccess = [] { return true; };
    auto engine = CaptureEngine::create(CaptureConfiguration{}, std::nullopt, {}, {}, platform,
                                        caller, nullptr, sessionQueue);
    std::optional<Result<void>> started;
    engine->start([&](Result<void> result) { started = std::move(result); });
    ASSERT_TRUE(testing::eventually([&] {
        sessionQueue->runUntilIdle();
        caller.runUntilIdle();
        return started.has_value();
    }));
    ASSERT_TRUE(started->hasValue()) << started->error().description();

    const std::weak_ptr<CaptureEngine> gone = engine;
    engine.reset();
    ASSERT_TRUE(testing::eventually([&] {
        caller.runUntilIdle();
        return gone.expired();
    }));
    // The segment is listed until the server has processed our detach.
    EXPECT_TRUE(testing::eventually([&] {
        sessionQueue->runUntilIdle();
        return ourSegments().empty();
    }));
}

// ---- Fallback grab session ----

TEST_F(X11CaptureTest, DirectoryFindsTheXvfbOutputAndRefusesUnknownOnes) {
    X11DisplayDirectory directory(server->displayName());
    auto displays = listX11Displays(server->displayName());
    ASSERT_TRUE(displays.hasValue());
    ASSERT_EQ(displays->size(), 1u);
    const DisplayInfo& screen = displays->front();
    EXPECT_NE(screen.id, 0u);
    EXPECT_TRUE(screen.active);
    EXPECT_EQ(screen.width, 640);
    EXPECT_EQ(screen.height, 480);

    EXPECT_EQ(directory.mainDisplayID(), screen.id);
    EXPECT_TRUE(directory.isActive(screen.id));
    EXPECT_EQ(directory.bounds(screen.id), (std::pair<std::int64_t, std::int64_t>{640, 480}));
    EXPECT_FALSE(directory.isActive(screen.id + 1000));
    EXPECT_FALSE(directory.bounds(screen.id + 1000));

    // An inactive primary output is not the main display; the first active one is.
    DisplayInfo off{.id = 5, .name = "HDMI-1", .active = false, .primary = true};
    DisplayInfo on{.id = 9, .name = "DP-1", .width = 10, .height = 10, .active = true};
    EXPECT_EQ(mainX11Display({off, on}), 9u);
    EXPECT_EQ(mainX11Display({off}), std::nullopt);
}

TEST_F(X11CaptureTest, InputIsRefusedForAnUnknownDisplayOrBadOutputSize) {
    X11DisplayDirectory directory(server->displayName());
    X11GrabSession session(server->displayName());
    EXPECT_FALSE(session.addScreenInput(12345, 15, true));
    EXPECT_FALSE(session.addVideoOutput(320, 240)) << "no input yet";
    ASSERT_TRUE(session.addScreenInput(*directory.mainDisplayID(), 15, true));
    EXPECT_FALSE(session.addVideoOutput(1280, 960)) << "larger than the display";
    EXPECT_FALSE(session.addVideoOutput(321, 240)) << "odd width";

    X11GrabSession nowhere(":9999");
    EXPECT_FALSE(nowhere.addScreenInput(1, 15, true));
}

TEST_F(X11CaptureTest, DeliversConvertedFramesWithMonotonicHostTimesNearNow) {
    auto session = openSession(320, 240);
    session->startRunning(queueOwner, received.grabCallbacks());
    EXPECT_TRUE(session->isRunning());
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.images.size() >= 10; }));
    session->stopRunning();
    EXPECT_FALSE(session->isRunning());

    std::lock_guard lock(received.mutex);
    for (const ScreenImage& image : received.images) {
        ASSERT_TRUE(image.isValid());
        EXPECT_EQ(image.width, 320);
        EXPECT_EQ(image.height, 240);
        EXPECT_EQ(image.pixelFormat, AV_PIX_FMT_NV12);
        EXPECT_EQ(image.frame->width, 320);
    }
    const double now = monotonicSeconds();
    std::optional<double> previous;
    for (double time : received.times) {
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
    const double span = received.times.back() - received.times.front();
    const double interval = span / static_cast<double>(received.times.size() - 1);
    EXPECT_GT(interval, 1.0 / 60);
    EXPECT_LT(interval, 1.0 / 4);
}

TEST_F(X11CaptureTest, StopRunningEndsDeliveryAndNothingArrivesAfterIt) {
    auto session = openSession(640, 480);
    session->startRunning(queueOwner, received.grabCallbacks());
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.images.size() >= 3; }));
    session->stopRunning();
    const std::size_t atStop = received.imageCount();
    queue.drain();
    EXPECT_EQ(received.imageCount(), atStop);
    session->removeInputsAndOutputs();
    session.reset();
    queue.drain();
    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.images.size(), atStop);
    EXPECT_TRUE(received.notifications.empty()) << "a requested stop is no notification";
}

TEST_F(X11CaptureTest, ABlockedMediaQueueCausesDropsNotABacklog) {
    auto session = openSession(320, 240, 30);
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    queue.post([&] {
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return open; });
    });
    session->startRunning(queueOwner, received.grabCallbacks());
    // The reader keeps grabbing while the queue is stuck; a dozen frame periods is
    // ample to use up the allowance of queued frames.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.drops > 0; }));
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.images.size() >= 5; }));
    session->stopRunning();
}

TEST_F(X11CaptureTest, AVanishedServerIsOneSourceUnavailableRuntimeError) {
    auto session = openSession(320, 240);
    session->startRunning(queueOwner, received.grabCallbacks());
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.images.size() >= 2; }));
    server->kill();
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return !c.notifications.empty(); }));
    EXPECT_FALSE(session->isRunning());
    session->stopRunning();
    queue.drain();

    std::lock_guard lock(received.mutex);
    ASSERT_EQ(received.notifications.size(), 1u);
    const auto& [notification, error] = received.notifications.front();
    EXPECT_EQ(notification, GrabSessionNotification::runtimeError);
    ASSERT_TRUE(error.has_value());
    const CaptureFailure failure(*error);
    EXPECT_EQ(failure.domain, kAVFoundationErrorDomain);
    EXPECT_EQ(failure.code, AVErrorCode::deviceDisconnected);
    EXPECT_EQ(failure.kind, CaptureFailure::Kind::sourceUnavailable);
}

// A server already back on the same display shows the grabbed output unchanged;
// the old one's death must still not read as a refusal.
TEST_F(X11CaptureTest, AServerRestartedAtOnceIsStillAVanishedSource) {
    auto session = openSession(320, 240);
    session->startRunning(queueOwner, received.grabCallbacks());
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return c.images.size() >= 2; }));
    server->kill();
    ASSERT_TRUE(server->restart());
    ASSERT_TRUE(received.waitFor([](Delivered& c) { return !c.notifications.empty(); }));
    session->stopRunning();
    queue.drain();

    std::lock_guard lock(received.mutex);
    const auto& [notification, error] = received.notifications.front();
    EXPECT_EQ(notification, GrabSessionNotification::runtimeError);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(CaptureFailure(*error).kind, CaptureFailure::Kind::sourceUnavailable)
        << error->description();
}

TEST_F(X11CaptureTest, ReadFailuresAreRefusalsOnlyWhileTheOutputIsUnchanged) {
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

} // namespace
} // namespace snagreel
