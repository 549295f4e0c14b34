#include "SnagreelCore/Linux/X11GrabSession.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/CallbackGate.hpp"
#include "SnagreelCore/Linux/FrameConverter.hpp"
#include "SnagreelCore/Linux/X11ScreenCapture.hpp"
#include "SnagreelCore/Support/Clock.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace snagreel {

namespace {

constexpr const char* kX11Domain = "Snagreel.X11";
// Frames the media queue may have waiting before new ones are dropped.
constexpr int kMaximumQueuedFrames = 2;

std::string resolvedDisplayName(const std::string& name) {
    if (!name.empty()) {
        return name;
    }
    const char* environment = std::getenv("DISPLAY");
    return environment != nullptr ? environment : "";
}

template <typename Reply> struct Freed {
    Reply* reply;
    explicit Freed(Reply* r) : reply(r) {}
    ~Freed() { std::free(reply); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

struct Connection {
    xcb_connection_t* connection = nullptr;
    int screenNumber = 0;

    explicit Connection(const std::string& name) {
        const std::string resolved = resolvedDisplayName(name);
        connection = xcb_connect(resolved.empty() ? nullptr : resolved.c_str(), &screenNumber);
    }
    ~Connection() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool isOpen() const {
        return connection != nullptr && xcb_connection_has_error(connection) == 0;
    }

    xcb_screen_t* screen() const {
        auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; iterator.rem > 0; ++i, xcb_screen_next(&iterator)) {
            if (i == screenNumber) {
                return iterator.data;
            }
        }
        return nullptr;
    }
};

DisplayInfo wholeScreen(const xcb_screen_t& screen) {
    DisplayInfo info;
    info.id = screen.root;
    info.name = "screen";
    info.width = screen.width_in_pixels;
    info.height = screen.height_in_pixels;
    info.active = true;
    info.primary = true;
    return info;
}

std::vector<DisplayInfo> randrOutputs(xcb_connection_t* c, xcb_window_t root) {
    std::vector<DisplayInfo> displays;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_randr_id);
    if (extension == nullptr || extension->present == 0) {
        return displays;
    }
    Freed version(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
    if (!version || (version->major_version == 1 && version->minor_version < 3)) {
        return displays;
    }
    Freed resources(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr));
    if (!resources) {
        return displays;
    }
    Freed primary(
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), nullptr));
    const xcb_randr_output_t primaryOutput = primary ? primary->output : XCB_NONE;
    const xcb_timestamp_t timestamp = resources->config_timestamp;

    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.reply);
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.reply);
    for (int i = 0; i < count; ++i) {
        Freed output(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], timestamp), nullptr));
        if (!output) {
            continue;
        }
        DisplayInfo info;
        info.id = outputs[i];
        info.name.assign(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.reply)),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(output.reply)));
        info.primary = outputs[i] == primaryOutput;
        if (output->connection == XCB_RANDR_CONNECTION_CONNECTED && output->crtc != XCB_NONE) {
            Freed crtc(xcb_randr_get_crtc_info_reply(
                c, xcb_randr_get_crtc_info(c, output->crtc, timestamp), nullptr));
            if (crtc && crtc->width > 0 && crtc->height > 0) {
                info.x = crtc->x;
                info.y = crtc->y;
                info.width = crtc->width;
                info.height = crtc->height;
                info.active = true;
            }
        }
        displays.push_back(std::move(info));
    }
    return displays;
}

} // namespace

Result<std::vector<DisplayInfo>> listX11Displays(const std::string& displayName) {
    Connection connection(displayName);
    if (!connection.isOpen()) {
        return Unexpected{Error(PlatformError{kX11Domain, 1,
                                              "The display " + resolvedDisplayName(displayName) +
                                                  " could not be opened."})};
    }
    xcb_screen_t* screen = connection.screen();
    if (screen == nullptr) {
        return Unexpected{Error(PlatformError{kX11Domain, 2, "The display has no such screen."})};
    }
    std::vector<DisplayInfo> displays = randrOutputs(connection.connection, screen->root);
    if (displays.empty()) {
        displays.push_back(wholeScreen(*screen));
    }
    return displays;
}

std::optional<std::uint32_t> mainX11Display(const std::vector<DisplayInfo>& displays) {
    for (const DisplayInfo& display : displays) {
        if (display.primary && display.active) {
            return display.id;
        }
    }
    for (const DisplayInfo& display : displays) {
        if (display.active) {
            return display.id;
        }
    }
    return std::nullopt;
}

// ---- Directory ----

X11DisplayDirectory::X11DisplayDirectory(std::string displayName)
    : displayName_(std::move(displayName)) {}

std::optional<DisplayInfo> X11DisplayDirectory::find(std::uint32_t displayID) const {
    auto displays = listX11Displays(displayName_);
    if (!displays) {
        return std::nullopt;
    }
    for (const DisplayInfo& display : *displays) {
        if (display.id == displayID) {
            return display;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> X11DisplayDirectory::mainDisplayID() {
    auto displays = listX11Displays(displayName_);
    if (!displays) {
        return std::nullopt;
    }
    return mainX11Display(*displays);
}

bool X11DisplayDirectory::isActive(std::uint32_t displayID) {
    auto display = find(displayID);
    return display && display->active;
}

std::optional<std::pair<std::int64_t, std::int64_t>>
X11DisplayDirectory::bounds(std::uint32_t displayID) {
    auto display = find(displayID);
    if (!display || !display->active) {
        return std::nullopt;
    }
    return std::pair{display->width, display->height};
}

// ---- Grab session ----

// What the reader thread and the posted media-queue tasks share. The tasks may run
// after the session is gone, so they hold this, never the session; the queue is
// held weakly, so a queue whose engine is gone is never posted to.
struct X11GrabSession::Delivery {
    std::weak_ptr<Executor> queue;
    GrabSessionCallbacks callbacks;
    CallbackGate gate;
    std::atomic<int> queued{0};
    std::atomic<int> pendingDrops{0};

    void post(std::function<void()> task) {
        if (auto executor = queue.lock()) {
            executor->post(std::move(task));
        }
    }
    template <typename Call> void run(Call&& call) {
        gate.invoke([&] { call(callbacks); });
    }
};

X11GrabSession::X11GrabSession(std::string displayName)
    : displayName_(resolvedDisplayName(displayName)) {}

X11GrabSession::~X11GrabSession() {
    stopRunning();
    removeInputsAndOutputs();
}

Result<void> X11GrabSession::addScreenInput(std::uint32_t displayID, std::int64_t framesPerSecond,
                                            bool capturesCursor) {
    if (reader_ != nullptr) {
        return Unexpected{Error(PlatformError{kX11Domain, 3, "The session already has an input."})};
    }
    if (framesPerSecond <= 0 || framesPerSecond > 120) {
        return Unexpected{Error(PlatformError{kX11Domain, 4, "The frame rate is not valid."})};
    }
    auto displays = listX11Displays(displayName_);
    if (!displays) {
        return Unexpected{displays.error()};
    }
    std::optional<DisplayInfo> display;
    for (const DisplayInfo& candidate : *displays) {
        if (candidate.id == displayID && candidate.active) {
            display = candidate;
        }
    }
    if (!display) {
        return Unexpected{Error(PlatformError{kX11Domain, 5, "The display is not connected."})};
    }
    // The stream's reader: a segment only we can attach (0600), nameless once the
    // server holds it. Anything wider would hand the screen to every local user.
    auto reader =
        X11FrameReader::open(displayName_, ContentFilter{displayID, std::nullopt}, capturesCursor);
    if (!reader) {
        return Unexpected{Error(PlatformError{kX11Domain, 6,
                                              "The screen could not be opened for capture (" +
                                                  reader.error().description() + ")."})};
    }
    if ((*reader)->width() != display->width || (*reader)->height() != display->height) {
        return Unexpected{
            Error(PlatformError{kX11Domain, 7, "The display changed while capture started."})};
    }
    reader_ = std::move(*reader);
    display_ = display;
    framesPerSecond_ = framesPerSecond;
    return {};
}

Result<void> X11GrabSession::addVideoOutput(std::int64_t width, std::int64_t height) {
    if (reader_ == nullptr || !display_) {
        return Unexpected{Error(PlatformError{kX11Domain, 8, "The session has no screen input."})};
    }
    if (converter_ != nullptr) {
        return Unexpected{
            Error(PlatformError{kX11Domain, 9, "The session already has an output."})};
    }
    if (width < 2 || height < 2 || width > display_->width || height > display_->height) {
        return Unexpected{Error(PlatformError{kX11Domain, 10, "The output size is not valid."})};
    }
    auto converter = FrameConverter::create(static_cast<int>(display_->width),
                                            static_cast<int>(display_->height),
                                            static_cast<int>(width), static_cast<int>(height));
    if (!converter) {
        return Unexpected{converter.error()};
    }
    converter_ = std::move(*converter);
    return {};
}

void X11GrabSession::startRunning(std::shared_ptr<Executor> mediaQueue,
                                  GrabSessionCallbacks callbacks) {
    if (running_.load() || thread_.joinable() || reader_ == nullptr || converter_ == nullptr ||
        mediaQueue == nullptr) {
        return;
    }
    auto delivery = std::make_shared<Delivery>();
    delivery->queue = mediaQueue;
    delivery->callbacks = std::move(callbacks);
    delivery_ = delivery;
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    running_.store(true);
    thread_ = std::thread([this, delivery] { readLoop(delivery); });
}

void X11GrabSession::stopRunning() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    // The reader only posts to the media queue and never waits on it, so joining it
    // cannot deadlock with a media-queue task that is waiting on us.
    if (thread_.joinable()) {
        thread_.join();
    }
    if (delivery_ != nullptr) {
        delivery_->gate.close();
        delivery_.reset();
    }
    running_.store(false);
}

void X11GrabSession::removeInputsAndOutputs() {
    if (thread_.joinable()) {
        stopRunning();
    }
    converter_.reset();
    lastImage_.reset();
    reader_.reset();
    display_.reset();
}

std::optional<double> X11GrabSession::toHostTime(double sessionTime) const {
    if (!std::isfinite(sessionTime)) {
        return std::nullopt;
    }
    return sessionTime;
}

Error X11GrabSession::classify(const Error& readerError) const {
    // A restarted server may already show the same output; asking it would make the
    // old server's death look like a refusal.
    if (readerError.code() == StreamErrorCode::connectionInterrupted) {
        return Error(avFoundationError(AVErrorCode::deviceDisconnected,
                                       "The connection to the X display was lost."));
    }
    return classifyX11GrabFailure(displayName_, *display_);
}

bool X11GrabSession::tick(const std::shared_ptr<Delivery>& delivery) {
    const double presentationTime = monotonicSeconds();
    if (delivery->queued.load() > kMaximumQueuedFrames) {
        // One posted task per run of drops, so a stalled queue does not pile up work.
        if (delivery->pendingDrops.fetch_add(1) == 0) {
            delivery->post([delivery] {
                const int drops = delivery->pendingDrops.exchange(0);
                delivery->run([&](const GrabSessionCallbacks& callbacks) {
                    for (int i = 0; i < drops && callbacks.onDrop; ++i) {
                        callbacks.onDrop();
                    }
                });
            });
        }
        return true;
    }
    std::optional<Error> failure;
    auto changed = reader_->poll();
    if (!changed) {
        failure = classify(changed.error());
    } else if (*changed || !lastImage_) {
        if (auto read = reader_->read(); !read) {
            failure = classify(read.error());
        } else {
            reader_->compositeCursor();
            auto image = converter_->convert(reader_->pixels(), reader_->stride());
            if (!image) {
                failure = image.error();
            } else {
                lastImage_ = std::move(*image);
            }
        }
    }
    if (failure) {
        running_.store(false);
        delivery->post([delivery, error = std::move(*failure)] {
            delivery->run([&](const GrabSessionCallbacks& callbacks) {
                if (callbacks.onNotification) {
                    callbacks.onNotification(GrabSessionNotification::runtimeError, error);
                }
            });
        });
        return false;
    }
    // An unchanged screen still yields a sample each period: the engine counts
    // silence as a stalled source.
    delivery->queued.fetch_add(1);
    delivery->post([delivery, image = *lastImage_, presentationTime] {
        delivery->queued.fetch_sub(1);
        delivery->run([&](const GrabSessionCallbacks& callbacks) {
            if (callbacks.onSample) {
                callbacks.onSample(image, presentationTime);
            }
        });
    });
    return true;
}

void X11GrabSession::readLoop(std::shared_ptr<Delivery> delivery) {
    using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / framesPerSecond_);
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopRequested_) {
        if (wake_.wait_until(lock, next, [this] { return stopRequested_; })) {
            break;
        }
        // Late ticks are dropped rather than caught up: never more than the rate.
        next += period;
        if (next <= Clock::now()) {
            next = Clock::now() + period;
        }
        lock.unlock();
        const bool goOn = tick(delivery);
        lock.lock();
        if (!goOn) {
            break;
        }
    }
}

Error classifyX11GrabFailure(const std::string& displayName, const DisplayInfo& grabbed) {
    auto displays = listX11Displays(displayName);
    if (displays) {
        for (const DisplayInfo& display : *displays) {
            if (display.id == grabbed.id) {
                if (display.active && display.x == grabbed.x && display.y == grabbed.y &&
                    display.width == grabbed.width && display.height == grabbed.height) {
                    return Error(avFoundationError(AVErrorCode::notAuthorizedForDevice,
                                                   "The display refused screen capture."));
                }
                break;
            }
        }
    }
    return Error(avFoundationError(AVErrorCode::deviceDisconnected,
                                   "The captured display is no longer available."));
}

} // namespace snagreel
