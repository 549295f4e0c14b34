#include "SnagreelCore/Linux/PortalScreenCapture.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/CallbackGate.hpp"
#include "SnagreelCore/Linux/FrameConverter.hpp"
#include "SnagreelCore/Linux/PrivateFiles.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <utility>

namespace snagreel {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr std::uint64_t kQuickTimeoutMicroseconds = 10'000'000;

// Portal response codes.
constexpr std::uint32_t kResponseCancelled = 1;

const std::string kDeclined = "Screen sharing was not allowed. Choose Try recording again and "
                              "share a screen to record it.";
const std::string kNoPortal =
    "This Wayland session offers no screen-sharing portal, so Snagreel cannot record the screen.";

Error failure(std::int64_t code, std::string message) {
    return Error(streamError(code, std::move(message)));
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::string randomToken() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    return "snagreel" + std::to_string(device() % 1000000u) + "_" + std::to_string(++counter);
}

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPointer = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePointer = std::unique_ptr<sd_bus_message, MessageDeleter>;

struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPointer = std::unique_ptr<sd_bus_slot, SlotDeleter>;

BusPointer openSessionBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) {
        return nullptr;
    }
    return BusPointer(bus);
}

// What a Request's Response signal carried.
struct PortalResponse {
    bool arrived = false;
    std::uint32_t code = 2;
    std::string sessionHandle;
    std::string restoreToken;
    std::optional<std::uint32_t> node;
    int width = 0;
    int height = 0;
};

int skipValue(sd_bus_message* m) {
    return sd_bus_message_skip(m, "v");
}

// streams: a(ua{sv}); the first stream is the monitor asked for.
int readStreams(sd_bus_message* m, PortalResponse& response) {
    int r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
    if (r < 0) {
        return r;
    }
    if ((r = sd_bus_message_enter_container(m, 'a', "(ua{sv})")) < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
        std::uint32_t node = 0;
        if ((r = sd_bus_message_read(m, "u", &node)) < 0 ||
            (r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) {
            return r;
        }
        const bool first = !response.node.has_value();
        if (first) {
            response.node = node;
        }
        while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char* key = nullptr;
            if ((r = sd_bus_message_read(m, "s", &key)) < 0) {
                return r;
            }
            if (first && std::string_view(key) == "size") {
                std::int32_t w = 0;
                std::int32_t h = 0;
                if ((r = sd_bus_message_read(m, "v", "(ii)", &w, &h)) < 0) {
                    return r;
                }
                response.width = w;
                response.height = h;
            } else if ((r = skipValue(m)) < 0) {
                return r;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) {
                return r;
            }
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& response = *static_cast<PortalResponse*>(userdata);
    response.arrived = true;
    if (sd_bus_message_read(m, "u", &response.code) < 0 ||
        sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        response.code = 2;
        return 0;
    }
    int r = 0;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) {
            break;
        }
        const std::string_view name(key);
        const char* text = nullptr;
        if (name == "session_handle") {
            // A string in the response, though it names an object.
            r = sd_bus_message_read(m, "v", "s", &text);
            if (r >= 0 && text) {
                response.sessionHandle = text;
            }
        } else if (name == "restore_token") {
            r = sd_bus_message_read(m, "v", "s", &text);
            if (r >= 0 && text) {
                response.restoreToken = text;
            }
        } else if (name == "streams") {
            r = readStreams(m, response);
        } else {
            r = skipValue(m);
        }
        if (r < 0 || sd_bus_message_exit_container(m) < 0) {
            break;
        }
    }
    return 0;
}

using Appender = std::function<int(sd_bus_message*)>;

// The portal behind a session: calls methods that answer through a Request object
// and watches the session's Closed signal. Used by one thread at a time.
class PortalSession {
public:
    static Result<std::unique_ptr<PortalSession>> open(const PortalCaptureOptions& options) {
        auto bus = openSessionBus();
        if (!bus) {
            return Unexpected{failure(StreamErrorCode::missingEntitlements, kNoPortal)};
        }
        auto session = std::unique_ptr<PortalSession>(new PortalSession(std::move(bus), options));
        if (auto started = session->start(); !started) {
            session->close();
            return Unexpected{std::move(started).error()};
        }
        return session;
    }

    ~PortalSession() { close(); }

    std::uint32_t node() const { return node_; }
    int width() const { return width_; }
    int height() const { return height_; }
    bool closed() const { return closed_; }
    sd_bus* bus() const { return bus_.get(); }

    // The PipeWire connection the portal opened for this session.
    Result<int> openPipeWireRemote() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus_.get(), kPortalName, kPortalPath, kScreenCast,
                                         "OpenPipeWireRemote", &error, &reply, "oa{sv}",
                                         sessionHandle_.c_str(), 0);
        MessagePointer owned(reply);
        const std::string why = error.message ? error.message : "";
        sd_bus_error_free(&error);
        int fd = -1;
        if (r < 0 || sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) {
            return Unexpected{failure(StreamErrorCode::connectionInvalid,
                                      "Snagreel could not open the screen-sharing stream" +
                                          (why.empty() ? std::string(".") : ": " + why + "."))};
        }
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) {
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not open the screen-sharing stream.")};
        }
        return copy;
    }

    // Handles what the bus has for us; false once the portal closed the session or
    // the bus went away.
    bool dispatch() {
        for (;;) {
            const int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0) {
                closed_ = true;
                break;
            }
            if (r == 0) {
                break;
            }
        }
        return !closed_;
    }

    void close() {
        if (!bus_) {
            return;
        }
        closedSlot_.reset();
        if (!sessionHandle_.empty() && !closed_) {
            sd_bus_call_method(bus_.get(), kPortalName, sessionHandle_.c_str(), kSession, "Close",
                               nullptr, nullptr, "");
        }
        closed_ = true;
        bus_.reset();
    }

private:
    PortalSession(BusPointer bus, PortalCaptureOptions options)
        : bus_(std::move(bus)), options_(std::move(options)) {}

    Result<void> start() {
        const char* unique = nullptr;
        if (sd_bus_get_unique_name(bus_.get(), &unique) < 0 || !unique) {
            return Unexpected{failure(StreamErrorCode::missingEntitlements, kNoPortal)};
        }
        sender_ = unique[0] == ':' ? unique + 1 : unique;
        std::replace(sender_.begin(), sender_.end(), '.', '_');

        const std::string sessionToken = randomToken();
        auto created = request(
            "CreateSession", kQuickTimeoutMicroseconds, [&](sd_bus_message* m, const char* token) {
                return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token,
                                             "session_handle_token", "s", sessionToken.c_str());
            });
        if (!created) {
            return Unexpected{std::move(created).error()};
        }
        sessionHandle_ =
            created->sessionHandle.empty()
                ? "/org/freedesktop/portal/desktop/session/" + sender_ + "/" + sessionToken
                : created->sessionHandle;
        closedSlot_ = watchClosed();

        const std::string restoreToken = readRestoreToken();
        auto selected = request(
            "SelectSources", kQuickTimeoutMicroseconds, [&](sd_bus_message* m, const char* token) {
                // One monitor, the cursor drawn in, and kept until revoked.
                if (restoreToken.empty()) {
                    return sd_bus_message_append(m, "oa{sv}", sessionHandle_.c_str(), 5,
                                                 "handle_token", "s", token, "types", "u", 1u,
                                                 "multiple", "b", 0, "cursor_mode", "u", 2u,
                                                 "persist_mode", "u", 2u);
                }
                return sd_bus_message_append(m, "oa{sv}", sessionHandle_.c_str(), 6, "handle_token",
                                             "s", token, "types", "u", 1u, "multiple", "b", 0,
                                             "cursor_mode", "u", 2u, "persist_mode", "u", 2u,
                                             "restore_token", "s", restoreToken.c_str());
            });
        if (!selected) {
            return Unexpected{std::move(selected).error()};
        }
        const auto dialogTimeout =
            static_cast<std::uint64_t>(std::max(1.0, options_.dialogTimeoutSeconds) * 1e6);
        auto started = request("Start", dialogTimeout, [&](sd_bus_message* m, const char* token) {
            return sd_bus_message_append(m, "osa{sv}", sessionHandle_.c_str(), "", 1,
                                         "handle_token", "s", token);
        });
        if (!started) {
            return Unexpected{std::move(started).error()};
        }
        if (!started->node || started->width <= 0 || started->height <= 0) {
            return Unexpected{failure(StreamErrorCode::noCaptureSource,
                                      "The desktop shared no screen that Snagreel can record.")};
        }
        if (!started->restoreToken.empty() && started->restoreToken != restoreToken) {
            storeRestoreToken(started->restoreToken);
        }
        node_ = *started->node;
        width_ = started->width;
        height_ = started->height;
        return {};
    }

    // Calls a ScreenCast method whose answer comes as the Response of a Request
    // object, and waits for that answer.
    Result<PortalResponse> request(const char* method, std::uint64_t timeoutMicroseconds,
                                   const std::function<int(sd_bus_message*, const char*)>& append) {
        const std::string token = randomToken();
        const std::string requestPath =
            "/org/freedesktop/portal/desktop/request/" + sender_ + "/" + token;
        PortalResponse response;
        sd_bus_slot* slot = nullptr;
        // Subscribed before the call, so that a quick answer is not missed.
        if (sd_bus_match_signal(bus_.get(), &slot, nullptr, requestPath.c_str(), kRequest,
                                "Response", onResponse, &response) < 0) {
            return Unexpected{failure(StreamErrorCode::missingEntitlements, kNoPortal)};
        }
        SlotPointer subscription(slot);
        sd_bus_message* call = nullptr;
        if (sd_bus_message_new_method_call(bus_.get(), &call, kPortalName, kPortalPath, kScreenCast,
                                           method) < 0) {
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not ask the desktop to share the screen.")};
        }
        MessagePointer message(call);
        if (append(call, token.c_str()) < 0) {
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not ask the desktop to share the screen.")};
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call(bus_.get(), call, kQuickTimeoutMicroseconds, &error, &reply);
        MessagePointer ownedReply(reply);
        const bool missing =
            r < 0 && (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
                      sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
                      sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER));
        const std::string why = error.message ? error.message : "";
        sd_bus_error_free(&error);
        if (missing) {
            return Unexpected{failure(StreamErrorCode::missingEntitlements, kNoPortal)};
        }
        if (r < 0) {
            return Unexpected{failure(StreamErrorCode::connectionInvalid,
                                      "The screen-sharing portal did not answer" +
                                          (why.empty() ? std::string(".") : ": " + why + "."))};
        }
        const std::uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
        while (!response.arrived) {
            const int processed = sd_bus_process(bus_.get(), nullptr);
            if (processed < 0) {
                return Unexpected{failure(StreamErrorCode::connectionInterrupted,
                                          "The connection to the screen-sharing portal was lost.")};
            }
            if (processed > 0) {
                continue;
            }
            const std::uint64_t now = monotonicMicroseconds();
            if (closed_) {
                return Unexpected{failure(StreamErrorCode::systemStoppedStream,
                                          "The desktop ended screen sharing.")};
            }
            if (now >= deadline || sd_bus_wait(bus_.get(), deadline - now) < 0) {
                return Unexpected{failure(StreamErrorCode::connectionInterrupted,
                                          "The screen-sharing portal did not answer in time.")};
            }
        }
        if (response.code == kResponseCancelled) {
            return Unexpected{failure(StreamErrorCode::userDeclined, kDeclined)};
        }
        if (response.code != 0) {
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "The desktop could not start screen sharing.")};
        }
        return response;
    }

    SlotPointer watchClosed() {
        sd_bus_slot* slot = nullptr;
        sd_bus_match_signal(
            bus_.get(), &slot, nullptr, sessionHandle_.c_str(), kSession, "Closed",
            [](sd_bus_message*, void* userdata, sd_bus_error*) {
                static_cast<PortalSession*>(userdata)->closed_ = true;
                return 0;
            },
            this);
        return SlotPointer(slot);
    }

    std::string readRestoreToken() const {
        std::ifstream in(portalRestoreTokenPath(options_));
        std::string token;
        std::getline(in, token);
        return token;
    }

    // A lost token only means the dialog shows again, so failing to keep it is no error.
    void storeRestoreToken(const std::string& token) const {
        const auto path = portalRestoreTokenPath(options_);
        std::error_code ignored;
        if (!std::filesystem::exists(path.parent_path(), ignored)) {
            (void)createPrivateDirectory(path.parent_path());
        }
        (void)writeFileAtomically(path, token + "\n", 0600);
    }

    BusPointer bus_;
    PortalCaptureOptions options_;
    std::string sender_;
    std::string sessionHandle_;
    SlotPointer closedSlot_;
    bool closed_ = false;
    std::uint32_t node_ = 0;
    int width_ = 0;
    int height_ = 0;
};

// ---- Stream ----

void initialisePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

class PortalScreenStream final : public ScreenStream {
public:
    PortalScreenStream(std::unique_ptr<PortalSession> session, StreamConfiguration configuration,
                       Executor& queue, ScreenStreamCallbacks callbacks)
        : session_(std::move(session)), configuration_(configuration), queue_(queue),
          callbacks_(std::move(callbacks)) {}

    ~PortalScreenStream() override { stopCapture(); }

    Result<void> startCapture() override {
        if (loop_ || !session_) {
            return Unexpected{
                failure(StreamErrorCode::internalError, "The screen stream was already started.")};
        }
        const int width =
            configuration_.width > 0 ? static_cast<int>(configuration_.width) : session_->width();
        const int height = configuration_.height > 0 ? static_cast<int>(configuration_.height)
                                                     : session_->height();
        auto converter = FrameConverter::create(session_->width(), session_->height(), width,
                                                height, std::max(1, configuration_.queueDepth) + 3);
        if (!converter) {
            return Unexpected{std::move(converter).error()};
        }
        converter_ = std::move(*converter);
        auto remote = session_->openPipeWireRemote();
        if (!remote) {
            return Unexpected{std::move(remote).error()};
        }
        initialisePipeWire();
        loop_ = pw_thread_loop_new("snagreel-screen", nullptr);
        if (!loop_) {
            ::close(*remote);
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not start the screen-sharing stream.")};
        }
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (!context_ || pw_thread_loop_start(loop_) < 0) {
            ::close(*remote);
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not start the screen-sharing stream.")};
        }
        pw_thread_loop_lock(loop_);
        auto connected = connect(*remote);
        pw_thread_loop_unlock(loop_);
        return connected;
    }

    void stopCapture() override {
        if (loop_) {
            pw_thread_loop_stop(loop_);
            if (stream_) {
                spa_hook_remove(&streamListener_);
                pw_stream_destroy(stream_);
                stream_ = nullptr;
            }
            if (registry_) {
                spa_hook_remove(&registryListener_);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
                registry_ = nullptr;
            }
            if (core_) {
                spa_hook_remove(&coreListener_);
                pw_core_disconnect(core_);
                core_ = nullptr;
            }
            if (context_) {
                pw_context_destroy(context_);
                context_ = nullptr;
            }
            pw_thread_loop_destroy(loop_);
            loop_ = nullptr;
            // The timer and bus sources belong to the loop and went with it.
        }
        gate_->close();
        if (session_) {
            session_->close();
        }
        converter_.reset();
    }

private:
    Result<void> connect(int fd) {
        pw_loop* loop = pw_thread_loop_get_loop(loop_);
        core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
        if (!core_) {
            return Unexpected{failure(StreamErrorCode::connectionInvalid,
                                      "Snagreel could not connect to the screen-sharing stream.")};
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
                if (id == PW_ID_CORE && res == -EPIPE) {
                    static_cast<PortalScreenStream*>(data)->fail(
                        StreamErrorCode::connectionInterrupted,
                        std::string("The screen-sharing stream was lost: ") +
                            (message ? message : "connection closed") + ".");
                }
            };
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);

        // A stream whose source node goes away (the compositor quit or restarted)
        // only stops receiving; the registry says why.
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global_remove = [](void* data, std::uint32_t id) {
                auto* self = static_cast<PortalScreenStream*>(data);
                if (id == self->session_->node()) {
                    self->fail(StreamErrorCode::connectionInterrupted,
                               "The shared screen went away.");
                }
            };
            return events;
        }();
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_) {
            pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        }

        stream_ = pw_stream_new(core_, "Snagreel screen",
                                pw_properties_new(PW_KEY_NODE_NAME, "snagreel-screen",
                                                  PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (!stream_) {
            return Unexpected{failure(StreamErrorCode::internalError,
                                      "Snagreel could not start the screen-sharing stream.")};
        }
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                      const char* error) {
                static_cast<PortalScreenStream*>(data)->stateChanged(state, error);
            };
            events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
                static_cast<PortalScreenStream*>(data)->paramChanged(id, param);
            };
            events.process = [](void* data) { static_cast<PortalScreenStream*>(data)->process(); };
            return events;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

        // Shared memory only: without a GPU encoder that takes DMA-BUF frames there is
        // nothing a DMA-BUF would save.
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
        const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
        const spa_rectangle defaultSize =
            SPA_RECTANGLE(static_cast<std::uint32_t>(session_->width()),
                          static_cast<std::uint32_t>(session_->height()));
        const spa_fraction noRate = SPA_FRACTION(0, 1);
        const spa_fraction maxRate = SPA_FRACTION(240, 1);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&noRate, &noRate, &maxRate)));
        if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, session_->node(),
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_DONT_RECONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS),
                              params, 1) < 0) {
            return Unexpected{failure(StreamErrorCode::connectionInvalid,
                                      "Snagreel could not connect to the screen-sharing stream.")};
        }

        // Frames come only when the screen changes; the clock between them says
        // "nothing new" at the configured rate.
        idleTimer_ = pw_loop_add_timer(
            loop, [](void* data, std::uint64_t) { static_cast<PortalScreenStream*>(data)->tick(); },
            this);
        const std::int64_t fps = std::clamp<std::int64_t>(configuration_.framesPerSecond, 1, 120);
        timespec period{0, static_cast<long>(1'000'000'000LL / fps)};
        pw_loop_update_timer(loop, idleTimer_, &period, &period, false);

        busSource_ = pw_loop_add_io(
            loop, sd_bus_get_fd(session_->bus()), SPA_IO_IN | SPA_IO_ERR | SPA_IO_HUP, false,
            [](void* data, int, std::uint32_t) { static_cast<PortalScreenStream*>(data)->bus(); },
            this);
        // Messages may already wait in the connection's buffer.
        bus();
        return {};
    }

    void bus() {
        if (!session_->dispatch()) {
            // A connection that hung up stays readable; watching it would spin.
            if (busSource_) {
                pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), busSource_);
                busSource_ = nullptr;
            }
            fail(StreamErrorCode::systemStoppedStream, "The desktop ended screen sharing.");
        }
    }

    void stateChanged(pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_STREAMING) {
            streaming_ = true;
        } else if (state == PW_STREAM_STATE_ERROR) {
            fail(StreamErrorCode::connectionInterrupted,
                 std::string("The screen-sharing stream failed: ") + (error ? error : "error") +
                     ".");
        } else if (state == PW_STREAM_STATE_UNCONNECTED && streaming_) {
            fail(StreamErrorCode::connectionInterrupted, "The screen-sharing stream ended.");
        }
    }

    void paramChanged(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || param == nullptr) {
            return;
        }
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) {
            return;
        }
        if (static_cast<int>(info.size.width) != session_->width() ||
            static_cast<int>(info.size.height) != session_->height()) {
            // One clip never mixes sizes: a fresh engine takes the new size.
            fail(StreamErrorCode::noCaptureSource, "The shared screen changed size.");
            return;
        }
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[2];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
        pw_stream_update_params(stream_, params, 2);
    }

    void process() {
        // Only the newest picture matters; older queued ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
            if (newest) {
                pw_stream_queue_buffer(stream_, newest);
            }
            newest = next;
        }
        if (!newest) {
            return;
        }
        std::optional<ScreenImage> image = convert(newest->buffer);
        pw_stream_queue_buffer(stream_, newest);
        if (image) {
            delivered_ = true;
            changedSinceTick_ = true;
            deliver(ScreenSample{FrameStatus::complete, std::move(*image)});
        }
    }

    std::optional<ScreenImage> convert(spa_buffer* buffer) {
        if (failed_ || buffer->n_datas < 1) {
            return std::nullopt;
        }
        const spa_data& data = buffer->datas[0];
        if (data.data == nullptr || data.chunk == nullptr || data.chunk->size == 0 ||
            (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
            return std::nullopt;
        }
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
            if ((header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) {
                return std::nullopt;
            }
            // The engine stamps frames on its own clock; a picture older than the last
            // one delivered would only move the screen backwards.
            if (header->pts > 0 && lastPresentation_ > 0 && header->pts <= lastPresentation_) {
                return std::nullopt;
            }
            lastPresentation_ = header->pts;
        }
        // Too far behind: the capture queue still holds samples it has not taken.
        if (pending_->load() >= std::max(1, configuration_.queueDepth)) {
            return std::nullopt;
        }
        const int stride =
            data.chunk->stride > 0 ? data.chunk->stride : converter_->sourceWidth() * 4;
        const std::uint64_t needed = static_cast<std::uint64_t>(stride) *
                                     static_cast<std::uint64_t>(converter_->sourceHeight());
        if (static_cast<std::uint64_t>(data.chunk->offset) + needed > data.maxsize) {
            return std::nullopt;
        }
        auto image = converter_->convert(
            static_cast<const std::uint8_t*>(data.data) + data.chunk->offset, stride);
        if (!image) {
            fail(StreamErrorCode::internalError,
                 "Snagreel could not convert the screen image: " + image.error().description());
            return std::nullopt;
        }
        return std::move(*image);
    }

    void tick() {
        if (!changedSinceTick_ && delivered_ && !failed_ &&
            pending_->load() < std::max(1, configuration_.queueDepth)) {
            deliver(ScreenSample{FrameStatus::idle, {}});
        }
        changedSinceTick_ = false;
    }

    void deliver(ScreenSample sample) {
        pending_->fetch_add(1);
        queue_.post([gate = gate_, pending = pending_, onSample = callbacks_.onSample,
                     sample = std::move(sample)] {
            pending->fetch_sub(1);
            if (onSample) {
                gate->invoke([&] { onSample(sample); });
            }
        });
    }

    // Reports the first failure only; the stream delivers nothing after it.
    void fail(std::int64_t code, std::string message) {
        if (failed_.exchange(true)) {
            return;
        }
        queue_.post([gate = gate_, onStopped = callbacks_.onStopped,
                     error = failure(code, std::move(message))] {
            if (onStopped) {
                gate->invoke([&] { onStopped(error); });
            }
        });
    }

    std::unique_ptr<PortalSession> session_;
    StreamConfiguration configuration_;
    Executor& queue_;
    ScreenStreamCallbacks callbacks_;
    std::shared_ptr<CallbackGate> gate_ = std::make_shared<CallbackGate>();
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<FrameConverter> converter_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    spa_hook coreListener_{};
    spa_hook streamListener_{};
    spa_source* idleTimer_ = nullptr;
    spa_source* busSource_ = nullptr;
    // Loop-thread state.
    bool streaming_ = false;
    bool delivered_ = false;
    bool changedSinceTick_ = false;
    std::int64_t lastPresentation_ = 0;
    std::atomic<bool> failed_{false};
};

class PortalScreenCaptureService final : public ScreenCaptureService {
public:
    explicit PortalScreenCaptureService(PortalCaptureOptions options)
        : options_(std::move(options)) {}

    // Sharing starts here: the size of the shared monitor is known only once the
    // portal has started the session. The session waits for the stream made next.
    Result<ShareableContent> shareableContent() override {
        std::lock_guard lock(mutex_);
        if (!pending_ || pending_->closed()) {
            pending_.reset();
            auto session = PortalSession::open(options_);
            if (!session) {
                return Unexpected{std::move(session).error()};
            }
            pending_ = std::move(*session);
        }
        DisplayInfo display;
        display.id = kPortalDisplayID;
        display.name = "portal";
        display.width = pending_->width();
        display.height = pending_->height();
        display.active = true;
        display.primary = true;
        ShareableContent content;
        content.displays.push_back(display);
        content.mainDisplayID = display.id;
        return content;
    }

    Result<std::unique_ptr<ScreenStream>> makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     Executor& queue,
                                                     ScreenStreamCallbacks callbacks) override {
        if (filter.windowID || filter.displayID != kPortalDisplayID) {
            return Unexpected{failure(StreamErrorCode::noCaptureSource,
                                      "This desktop shares whole screens only.")};
        }
        if (configuration.framesPerSecond < 1 || configuration.framesPerSecond > 60 ||
            configuration.width < 0 || configuration.height < 0) {
            return Unexpected{Error(CaptureError::unavailable("Invalid recording configuration."))};
        }
        std::unique_ptr<PortalSession> session;
        {
            std::lock_guard lock(mutex_);
            session = std::move(pending_);
        }
        if (!session || session->closed()) {
            return Unexpected{
                failure(StreamErrorCode::systemStoppedStream, "The desktop ended screen sharing.")};
        }
        return std::unique_ptr<ScreenStream>(std::make_unique<PortalScreenStream>(
            std::move(session), configuration, queue, std::move(callbacks)));
    }

private:
    PortalCaptureOptions options_;
    std::mutex mutex_;
    std::unique_ptr<PortalSession> pending_;
};

std::filesystem::path defaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') {
        return std::filesystem::path(state) / "snagreel";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".local" / "state" / "snagreel";
}

} // namespace

std::shared_ptr<ScreenCaptureService> makePortalScreenCaptureService(PortalCaptureOptions options) {
    return std::make_shared<PortalScreenCaptureService>(std::move(options));
}

std::filesystem::path portalRestoreTokenPath(const PortalCaptureOptions& options) {
    const auto directory =
        options.stateDirectory.empty() ? defaultStateDirectory() : options.stateDirectory;
    return directory / "screencast-restore-token";
}

bool portalScreenCastAvailable() {
    auto bus = openSessionBus();
    if (!bus) {
        return false;
    }
    std::uint32_t version = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_get_property_trivial(bus.get(), kPortalName, kPortalPath, kScreenCast,
                                              "version", &error, 'u', &version);
    sd_bus_error_free(&error);
    return r >= 0 && version > 0;
}

std::string portalScreenCastExplanation() {
    if (portalScreenCastAvailable()) {
        return "Snagreel records the screen this Wayland desktop shares through its portal.";
    }
    return kNoPortal;
}

} // namespace snagreel
