// The portal source against the real xdg-desktop-portal frontend, a stand-in
// ScreenCast backend and a PipeWire test-pattern screen. These run inside
// devsupport/wayland-session (ctest's PortalScreenCaptureMock entry) and skip
// anywhere else.

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/PortalScreenCapture.hpp"
#include "SnagreelCore/Linux/SessionPlatform.hpp"
#include "devsupport/Waiting.hpp"
#include "support/TemporaryDirectory.hpp"

extern "C" {
#include <libavutil/frame.h>
}

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace snagreel {
namespace {

using testing::eventually;
using testing::TemporaryDirectory;

// Calls a method of the stand-in backend's control interface.
std::string control(const char* method) {
    sd_bus* bus = nullptr;
    EXPECT_GE(sd_bus_open_user(&bus), 0);
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(
        bus, "org.freedesktop.impl.portal.desktop.snagreeltest", "/org/freedesktop/portal/desktop",
        "org.freedesktop.impl.portal.desktop.snagreeltest.Control", method, &error, &reply, "");
    EXPECT_GE(r, 0) << method << ": " << (error.message ? error.message : "");
    std::string text;
    const char* s = nullptr;
    if (r >= 0 && std::strcmp(method, "GetState") == 0 &&
        sd_bus_message_read(reply, "s", &s) >= 0) {
        text = s;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return text;
}

nlohmann::json backendState() {
    return nlohmann::json::parse(control("GetState"));
}

// What a stream handed to the capture queue.
struct Received {
    std::mutex mutex;
    std::vector<ScreenImage> images;
    int idle = 0;
    std::optional<CaptureFailure> stopped;

    ScreenStreamCallbacks callbacks() {
        ScreenStreamCallbacks c;
        c.onSample = [this](const ScreenSample& sample) {
            std::lock_guard lock(mutex);
            if (sample.status == FrameStatus::complete) {
                images.push_back(sample.image);
            } else if (sample.status == FrameStatus::idle) {
                ++idle;
            }
        };
        c.onStopped = [this](const Error& error) {
            std::lock_guard lock(mutex);
            stopped = CaptureFailure(error);
        };
        return c;
    }
    std::size_t imageCount() {
        std::lock_guard lock(mutex);
        return images.size();
    }
    std::optional<CaptureFailure> failure() {
        std::lock_guard lock(mutex);
        return stopped;
    }
};

class PortalScreenCaptureMock : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tier = std::getenv("SNAGREEL_WAYLAND_SESSION");
        if (!tier || std::string(tier) != "mock") {
            GTEST_SKIP() << "needs devsupport/wayland-session mock";
        }
        options.stateDirectory = state.path() / "snagreel";
    }

    std::unique_ptr<ScreenStream> startStream(ScreenCaptureService& service, Received& received) {
        auto content = service.shareableContent();
        EXPECT_TRUE(content) << (content ? "" : content.error().description());
        if (!content) {
            return nullptr;
        }
        ContentFilter filter;
        filter.displayID = content->mainDisplayID;
        StreamConfiguration configuration;
        configuration.width = content->displays.front().width;
        configuration.height = content->displays.front().height;
        auto stream = service.makeStream(filter, configuration, queue, received.callbacks());
        EXPECT_TRUE(stream);
        if (!stream) {
            return nullptr;
        }
        auto started = (*stream)->startCapture();
        EXPECT_TRUE(started) << (started ? "" : started.error().description());
        return std::move(*stream);
    }

    TemporaryDirectory state;
    PortalCaptureOptions options;
    SerialQueue queue{"portal-test"};
};

TEST_F(PortalScreenCaptureMock, AsksOnceThenRestoresAndDeliversMovingPictures) {
    EXPECT_EQ(currentSessionPlatform(), SessionPlatform::wayland);
    const auto before = backendState();
    {
        auto service = makePortalScreenCaptureService(options);
        Received received;
        auto stream = startStream(*service, received);
        ASSERT_TRUE(stream);
        ASSERT_TRUE(eventually([&] { return received.imageCount() >= 3; }));
        stream->stopCapture();
        std::lock_guard lock(received.mutex);
        const ScreenImage& first = received.images.front();
        const ScreenImage& last = received.images.back();
        EXPECT_EQ(first.width, 640);
        EXPECT_EQ(first.height, 360);
        // The test pattern's ball moves: the luma planes differ somewhere.
        EXPECT_NE(std::memcmp(first.frame->data[0], last.frame->data[0],
                              static_cast<std::size_t>(first.frame->linesize[0]) * 360),
                  0);
        EXPECT_FALSE(received.stopped) << received.stopped->message;
    }
    EXPECT_EQ(backendState()["dialogs"], before["dialogs"].get<int>() + 1);
    EXPECT_EQ(backendState()["sessions"], 0) << "stopping closes the portal session";

    const auto token = portalRestoreTokenPath(options);
    struct stat info {};
    ASSERT_EQ(::stat(token.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A later launch reuses the token: no dialog.
    auto again = makePortalScreenCaptureService(options);
    Received received;
    auto stream = startStream(*again, received);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(eventually([&] { return received.imageCount() >= 1; }));
    EXPECT_EQ(backendState()["dialogs"], before["dialogs"].get<int>() + 1);
    EXPECT_EQ(backendState()["restored"], before["restored"].get<int>() + 1);
}

TEST_F(PortalScreenCaptureMock, DenialAsksForPermissionAndSaysWhatToDo) {
    control("Deny");
    auto service = makePortalScreenCaptureService(options);
    auto content = service->shareableContent();
    ASSERT_FALSE(content);
    const CaptureFailure failure(content.error());
    EXPECT_EQ(failure.kind, CaptureFailure::Kind::permission);
    EXPECT_NE(failure.message.find("Try recording again"), std::string::npos) << failure.message;
    EXPECT_FALSE(std::filesystem::exists(portalRestoreTokenPath(options)));
    // Trying again asks again, and this time the user says yes.
    EXPECT_TRUE(service->shareableContent());
}

TEST_F(PortalScreenCaptureMock, ClosedSessionAndLostStreamAreRetryableAndRecover) {
    const int dialogs = backendState()["dialogs"];
    auto service = makePortalScreenCaptureService(options);
    for (const char* end : {"CloseSessions", "StopScreen"}) {
        SCOPED_TRACE(end);
        Received received;
        auto stream = startStream(*service, received);
        ASSERT_TRUE(stream);
        ASSERT_TRUE(eventually([&] { return received.imageCount() >= 1; }));
        control(end);
        ASSERT_TRUE(eventually([&] { return received.failure().has_value(); }));
        EXPECT_TRUE(received.failure()->canRetry()) << received.failure()->message;
        stream->stopCapture();
        if (std::string(end) == "StopScreen") {
            control("StartScreen");
        }
        // What the controller's recovery does: a fresh start, without a dialog.
        Received recovered;
        auto next = startStream(*service, recovered);
        ASSERT_TRUE(next);
        EXPECT_TRUE(eventually([&] { return recovered.imageCount() >= 1; }));
    }
    EXPECT_EQ(backendState()["dialogs"], dialogs + 1);
}

// Outside any session: the environment alone decides, and the override wins.
TEST(SessionPlatformChoice, WaylandFromTheSessionUnlessForced) {
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const char* name : {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "SNAGREEL_SESSION_PLATFORM"}) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    EXPECT_EQ(currentSessionPlatform(), SessionPlatform::x11);
    ::setenv("XDG_SESSION_TYPE", "wayland", 1);
    EXPECT_EQ(currentSessionPlatform(), SessionPlatform::wayland);
    EXPECT_EQ(captureBackendFor(SessionPlatform::wayland, CaptureBackend::avFoundation),
              CaptureBackend::screenCaptureKit);
    ::setenv("SNAGREEL_SESSION_PLATFORM", "x11", 1);
    EXPECT_EQ(currentSessionPlatform(), SessionPlatform::x11);
    ::unsetenv("XDG_SESSION_TYPE");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    ::setenv("SNAGREEL_SESSION_PLATFORM", "wayland", 1);
    EXPECT_EQ(currentSessionPlatform(), SessionPlatform::wayland);
    for (const auto& [name, value] : saved) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

} // namespace
} // namespace snagreel
