#include "SnagreelCore/Linux/X11GrabSession.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/FrameConverter.hpp"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixfmt.h>
}

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cerrno>
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

// The wall clock x11grab stamps frames with, minus the monotonic clock, now.
std::optional<double> realtimeMinusMonotonic() {
    timespec realtime{};
    timespec monotonic{};
    if (clock_gettime(CLOCK_REALTIME, &realtime) != 0 ||
        clock_gettime(CLOCK_MONOTONIC, &monotonic) != 0) {
        return std::nullopt;
    }
    return static_cast<double>(realtime.tv_sec - monotonic.tv_sec) +
           static_cast<double>(realtime.tv_nsec - monotonic.tv_nsec) * 1e-9;
}

std::string ffmpegMessage(int status) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, buffer, sizeof(buffer));
    return buffer;
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
// after the session is gone, so they hold this, never the session.
struct X11GrabSession::Delivery {
    Executor* queue = nullptr;
    GrabSessionCallbacks callbacks;
    // Held while a callback runs, so that stopRunning can wait one out; never held
    // by the reader thread.
    std::mutex mutex;
    std::atomic<bool> active{true};
    std::atomic<int> queued{0};
    std::atomic<int> pendingDrops{0};

    template <typename Call> void run(Call&& call) {
        std::lock_guard lock(mutex);
        if (active.load()) {
            call(callbacks);
        }
    }
};

X11GrabSession::X11GrabSession(std::string displayName)
    : displayName_(resolvedDisplayName(displayName)) {
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });
}

X11GrabSession::~X11GrabSession() {
    stopRunning();
    removeInputsAndOutputs();
}

Result<void> X11GrabSession::addScreenInput(std::uint32_t displayID, std::int64_t framesPerSecond,
                                            bool capturesCursor) {
    if (input_ != nullptr) {
        return Unexpected{Error(PlatformError{kX11Domain, 3, "The session already has an input."})};
    }
    if (framesPerSecond <= 0) {
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

    const AVInputFormat* format = av_find_input_format("x11grab");
    if (format == nullptr) {
        return Unexpected{
            Error(PlatformError{kX11Domain, 6, "The X11 screen grabber is not available."})};
    }
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "framerate", framesPerSecond, 0);
    av_dict_set(&options, "video_size",
                (std::to_string(display->width) + "x" + std::to_string(display->height)).c_str(),
                0);
    av_dict_set_int(&options, "grab_x", display->x, 0);
    av_dict_set_int(&options, "grab_y", display->y, 0);
    av_dict_set_int(&options, "draw_mouse", capturesCursor ? 1 : 0, 0);
    AVFormatContext* context = nullptr;
    const int status = avformat_open_input(&context, displayName_.c_str(), format, &options);
    av_dict_free(&options);
    if (status < 0) {
        return Unexpected{Error(PlatformError{kX11Domain, status,
                                              "The screen grabber could not open the display (" +
                                                  ffmpegMessage(status) + ")."})};
    }
    const AVCodecParameters* parameters =
        context->nb_streams == 1 ? context->streams[0]->codecpar : nullptr;
    if (parameters == nullptr || parameters->format != AV_PIX_FMT_BGR0 ||
        parameters->width != display->width || parameters->height != display->height) {
        avformat_close_input(&context);
        return Unexpected{Error(PlatformError{
            kX11Domain, 7, "The display's pixel format is not supported by screen capture."})};
    }
    timeBase_ = av_q2d(context->streams[0]->time_base);
    input_ = context;
    display_ = display;
    witness_ = xcb_connect(displayName_.empty() ? nullptr : displayName_.c_str(), nullptr);
    if (xcb_connection_has_error(witness_)) {
        xcb_disconnect(witness_);
        witness_ = nullptr;
    }
    return {};
}

Result<void> X11GrabSession::addVideoOutput(std::int64_t width, std::int64_t height) {
    if (input_ == nullptr || !display_) {
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

void X11GrabSession::startRunning(Executor& mediaQueue, GrabSessionCallbacks callbacks) {
    if (running_.load() || reader_.joinable() || input_ == nullptr || converter_ == nullptr) {
        return;
    }
    auto delivery = std::make_shared<Delivery>();
    delivery->queue = &mediaQueue;
    delivery->callbacks = std::move(callbacks);
    delivery_ = delivery;
    stopRequested_.store(false);
    running_.store(true);
    reader_ = std::thread([this, delivery] { readLoop(delivery); });
}

void X11GrabSession::stopRunning() {
    stopRequested_.store(true);
    // The reader only posts to the media queue and never waits on it, so joining it
    // cannot deadlock with a media-queue task that is waiting on us.
    if (reader_.joinable()) {
        reader_.join();
    }
    if (delivery_ != nullptr) {
        if (delivery_->queue->isCurrent()) {
            // Called from one of our own callbacks: its lock is held on this thread.
            delivery_->active.store(false);
        } else {
            std::lock_guard lock(delivery_->mutex);
            delivery_->active.store(false);
        }
        delivery_.reset();
    }
    running_.store(false);
}

void X11GrabSession::removeInputsAndOutputs() {
    if (reader_.joinable()) {
        stopRunning();
    }
    converter_.reset();
    if (input_ != nullptr) {
        avformat_close_input(&input_);
    }
    display_.reset();
    if (witness_ != nullptr) {
        xcb_disconnect(witness_);
        witness_ = nullptr;
    }
}

bool X11GrabSession::serverWentAway() const {
    if (witness_ == nullptr) {
        return false;
    }
    // A round trip: a server that is gone has closed the socket.
    std::free(xcb_get_input_focus_reply(witness_, xcb_get_input_focus(witness_), nullptr));
    return xcb_connection_has_error(witness_) != 0;
}

std::optional<double> X11GrabSession::toHostTime(double sessionTime) const {
    auto offset = realtimeMinusMonotonic();
    if (!offset || !std::isfinite(sessionTime)) {
        return std::nullopt;
    }
    return sessionTime - *offset;
}

void X11GrabSession::deliver(const std::shared_ptr<Delivery>& delivery, const ScreenImage& image,
                             double presentationTime) {
    delivery->queued.fetch_add(1);
    delivery->queue->post([delivery, image, presentationTime] {
        delivery->run([&](const GrabSessionCallbacks& callbacks) {
            if (callbacks.onSample) {
                callbacks.onSample(image, presentationTime);
            }
        });
        delivery->queued.fetch_sub(1);
    });
}

void X11GrabSession::readLoop(std::shared_ptr<Delivery> delivery) {
    AVPacket* packet = av_packet_alloc();
    std::optional<std::pair<GrabSessionNotification, std::optional<Error>>> ending;
    while (packet != nullptr && !stopRequested_.load()) {
        const int status = av_read_frame(input_, packet);
        if (stopRequested_.load()) {
            av_packet_unref(packet);
            break;
        }
        if (status == AVERROR(EAGAIN)) {
            continue;
        }
        if (status == AVERROR_EOF) {
            ending.emplace(GrabSessionNotification::didStopRunning, std::nullopt);
            break;
        }
        if (status < 0) {
            // A restarted server may already show the same output; asking it
            // would make the old server's death look like a refusal.
            ending.emplace(GrabSessionNotification::runtimeError,
                           serverWentAway() ? Error(avFoundationError(
                                                  AVErrorCode::deviceDisconnected,
                                                  "The connection to the X display was lost."))
                                            : classifyX11GrabFailure(displayName_, *display_));
            break;
        }
        if (delivery->queued.load() > kMaximumQueuedFrames) {
            // One posted task per run of drops, so a stalled queue does not pile up work.
            if (delivery->pendingDrops.fetch_add(1) == 0) {
                delivery->queue->post([delivery] {
                    const int drops = delivery->pendingDrops.exchange(0);
                    delivery->run([&](const GrabSessionCallbacks& callbacks) {
                        for (int i = 0; i < drops && callbacks.onDrop; ++i) {
                            callbacks.onDrop();
                        }
                    });
                });
            }
            av_packet_unref(packet);
            continue;
        }
        const int rows = converter_->sourceHeight();
        const int stride = rows > 0 ? packet->size / rows : 0;
        auto image = converter_->convert(packet->data, stride);
        const double presentationTime = static_cast<double>(packet->pts) * timeBase_;
        av_packet_unref(packet);
        if (!image) {
            ending.emplace(GrabSessionNotification::runtimeError, image.error());
            break;
        }
        deliver(delivery, *image, presentationTime);
    }
    av_packet_free(&packet);
    if (ending) {
        running_.store(false);
        delivery->queue->post([delivery, ending = std::move(*ending)] {
            delivery->run([&](const GrabSessionCallbacks& callbacks) {
                if (callbacks.onNotification) {
                    callbacks.onNotification(ending.first, ending.second);
                }
            });
        });
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
