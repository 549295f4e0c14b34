#include "SnagreelCore/Linux/X11DisplayEvents.hpp"

#include "SnagreelCore/Linux/LifecycleSubscribers.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace snagreel {

using Event = CaptureLifecycleMonitor::Event;
using Snapshot = CaptureLifecycleMonitor::Snapshot;

namespace {

template <typename T> struct FreeReply {
    void operator()(T* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply<T>>;

xcb_screen_t* screenOf(xcb_connection_t* connection, int number) {
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; roots.rem > 0 && i < number; ++i) {
        xcb_screen_next(&roots);
    }
    return roots.rem > 0 ? roots.data : nullptr;
}

bool hasExtension(xcb_connection_t* connection, xcb_extension_t* extension) {
    const auto* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present != 0;
}

// Whether DPMS has the monitor powered down; false without DPMS or when it is
// disabled (the server then never turns the monitor off on its own).
bool dpmsAsleep(xcb_connection_t* connection) {
    if (!hasExtension(connection, &xcb_dpms_id)) {
        return false;
    }
    Reply<xcb_dpms_info_reply_t> info(
        xcb_dpms_info_reply(connection, xcb_dpms_info(connection), nullptr));
    return info && info->state != 0 && info->power_level != XCB_DPMS_DPMS_MODE_ON;
}

double degrees(std::uint16_t rotation) {
    if (rotation & XCB_RANDR_ROTATION_ROTATE_90) {
        return 90;
    }
    if (rotation & XCB_RANDR_ROTATION_ROTATE_180) {
        return 180;
    }
    if (rotation & XCB_RANDR_ROTATION_ROTATE_270) {
        return 270;
    }
    return 0;
}

} // namespace

// ---- Events -----------------------------------------------------------------

// Everything that talks to the server, connecting included, runs on the worker's
// own thread, which holds the worker: a server that does not answer holds that
// thread, never the main one, not even when the source is destroyed (the thread is
// then left to end by itself, and posts nothing more).
struct X11DisplayEvents::Worker : std::enable_shared_from_this<Worker> {
    Worker(std::shared_ptr<LifecycleSubscribers> subscribers, const std::string& displayName,
           double pollSeconds)
        : subscribers(std::move(subscribers)), displayName(displayName),
          pollMilliseconds(static_cast<int>(std::lround(
              (std::isfinite(pollSeconds) && pollSeconds >= 0.01 ? std::min(pollSeconds, 3600.0)
                                                                 : 2.0) *
              1000))) {}

    void begin() {
        cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (cancelFd < 0) {
            return;
        }
        std::thread([self = shared_from_this()] {
            if (!self->open()) {
                // The server went away before we reached it (or is not up yet): a
                // reading now shows no display, and one that comes up must end that.
                self->post(Event::screenParametersChanged);
                if (!self->reconnect()) {
                    return;
                }
            }
            // A change made between the first reading and our subscription sent us
            // nothing: one more reading now that we listen catches it.
            self->post(Event::screenParametersChanged);
            self->connected = true;
            self->run();
            self->connected = false;
        }).detach();
    }

    // No event is posted once this returns; the thread ends at once, or as soon as
    // a call the server does not answer gives up.
    void cancel() {
        {
            std::lock_guard lock(postMutex);
            cancelled = true;
        }
        if (cancelFd >= 0) {
            const std::uint64_t one = 1;
            while (::write(cancelFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }

    ~Worker() {
        if (cancelFd >= 0) {
            ::close(cancelFd);
        }
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }

    void post(Event event) {
        std::lock_guard lock(postMutex);
        if (!cancelled) {
            subscribers->post(event);
        }
    }

    // Connects and asks for the RandR notifications; false when the server
    // cannot be reached.
    bool open() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
        int number = 0;
        connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &number);
        if (xcb_connection_has_error(connection)) {
            return false;
        }
        hasRandr = false;
        if (xcb_screen_t* screen = screenOf(connection, number);
            screen != nullptr && hasExtension(connection, &xcb_randr_id)) {
            Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
                connection, xcb_randr_query_version(connection, 1, 5), nullptr));
            const auto* randr = xcb_get_extension_data(connection, &xcb_randr_id);
            randrBase = randr->first_event;
            xcb_randr_select_input(connection, screen->root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
            hasRandr = true;
        }
        asleep = dpmsAsleep(connection);
        xcb_flush(connection);
        return true;
    }

    // Worker thread only.

    void drainEvents() {
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            const std::uint8_t type = event->response_type & 0x7f;
            if (hasRandr && (type == randrBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                             type == randrBase + XCB_RANDR_NOTIFY)) {
                changed = true;
            }
            std::free(event);
        }
        // One notification per batch: a mode switch arrives as several events and
        // the monitor settles them anyway.
        if (changed) {
            post(Event::screenParametersChanged);
        }
    }

    void pollDpms() {
        const bool now = dpmsAsleep(connection);
        if (now != asleep) {
            asleep = now;
            post(now ? Event::displaySleep : Event::displayWake);
        }
    }

    void run() {
        auto nextPoll =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(pollMilliseconds);
        for (;;) {
            drainEvents();
            if (xcb_connection_has_error(connection)) {
                // The server went away: a reading now shows no display.
                post(Event::screenParametersChanged);
                connected = false;
                // Nothing else announces a server that comes back on the same
                // display (a restarted session, a crashed server respawned), and
                // the missing display would hold recording back for good.
                if (!reconnect()) {
                    return;
                }
                connected = true;
                post(Event::screenParametersChanged);
                nextPoll =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(pollMilliseconds);
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextPoll) {
                pollDpms();
                nextPoll = now + std::chrono::milliseconds(pollMilliseconds);
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - now).count();
            pollfd fds[2] = {{cancelFd, POLLIN, 0},
                             {xcb_get_file_descriptor(connection), POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left) + 1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents != 0) {
                return;
            }
        }
    }

    // Tries to connect again every kReconnectMilliseconds; false once cancelled.
    bool reconnect() {
        for (;;) {
            pollfd cancel{cancelFd, POLLIN, 0};
            const int ready = ::poll(&cancel, 1, kReconnectMilliseconds);
            if (ready < 0 && errno != EINTR) {
                return false;
            }
            if (ready > 0) {
                return false;
            }
            if (open()) {
                return true;
            }
        }
    }

    static constexpr int kReconnectMilliseconds = 250;

    std::shared_ptr<LifecycleSubscribers> subscribers;
    std::string displayName;
    int pollMilliseconds;
    xcb_connection_t* connection = nullptr;
    bool hasRandr = false;
    std::uint8_t randrBase = 0;
    bool asleep = false;
    std::atomic<bool> connected{false};
    int cancelFd = -1;
    std::mutex postMutex;
    bool cancelled = false;
};

std::shared_ptr<X11DisplayEvents>
X11DisplayEvents::start(Executor& main, const std::string& displayName, double dpmsPollSeconds) {
    std::shared_ptr<X11DisplayEvents> events(new X11DisplayEvents);
    events->subscribers_ = std::make_shared<LifecycleSubscribers>(main);
    events->worker_ = std::make_shared<Worker>(events->subscribers_, displayName, dpmsPollSeconds);
    events->worker_->begin();
    return events;
}

X11DisplayEvents::~X11DisplayEvents() {
    worker_->cancel();
}

std::uint64_t X11DisplayEvents::subscribe(std::function<void(Event)> handler) {
    return subscribers_->add(std::move(handler));
}

void X11DisplayEvents::unsubscribe(std::uint64_t token) {
    subscribers_->remove(token);
}

bool X11DisplayEvents::isConnected() const {
    return worker_ && worker_->connected.load();
}

// ---- Reader -----------------------------------------------------------------

struct X11DisplayReader::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool hasRandr = false;

    ~Connection() { xcb_disconnect(connection); }
};

// The reads run on a thread of the reader's own: a server that stops answering (hung,
// or stopped under a debugger) holds that thread, not the one asking, which is the
// GUI thread. Every task holds the state, so the thread is only ever released from
// itself while a read is stuck, never joined.
struct X11DisplayReader::State {
    std::string displayName;
    std::chrono::milliseconds patience;
    std::unique_ptr<Connection> connection; // worker only
    std::shared_ptr<SerialQueue> worker = std::make_shared<SerialQueue>("snagreel.display-reader");
    std::mutex mutex;
    std::condition_variable answered;
    bool busy = false; // a read is running on the worker
    Snapshot last;     // the last reading handed out
    std::uint64_t served = 0;

    Snapshot readNow(std::optional<std::uint32_t> displayID);
};

X11DisplayReader::X11DisplayReader(std::string displayName, double patienceSeconds)
    : state_(std::make_shared<State>()) {
    state_->displayName = std::move(displayName);
    state_->patience = std::chrono::milliseconds(static_cast<std::int64_t>(
        std::lround((std::isfinite(patienceSeconds) ? std::clamp(patienceSeconds, 0.001, 60.0)
                                                    : kPatienceSeconds) *
                    1000)));
}

X11DisplayReader::~X11DisplayReader() = default;

Snapshot X11DisplayReader::read(std::optional<std::uint32_t> displayID) {
    std::shared_ptr<State> state = state_;
    std::unique_lock lock(state->mutex);
    // A server that has not answered the last reading yet gets no second one queued
    // behind it; until it answers nothing is known to have changed.
    if (state->busy) {
        return state->last;
    }
    state->busy = true;
    const std::uint64_t ticket = ++state->served;
    lock.unlock();
    state->worker->post([state, displayID, ticket] {
        Snapshot s = state->readNow(displayID);
        std::lock_guard guard(state->mutex);
        state->busy = false;
        if (state->served == ticket) {
            state->last = s;
            ++state->served;
        }
        state->answered.notify_all();
    });
    lock.lock();
    state->answered.wait_for(lock, state->patience, [&] { return state->served != ticket; });
    if (state->served == ticket) {
        // Abandoned: its late answer is not handed out as if it were current.
        ++state->served;
    }
    return state->last;
}

Snapshot X11DisplayReader::State::readNow(std::optional<std::uint32_t> displayID) {
    if (connection && xcb_connection_has_error(connection->connection)) {
        connection.reset();
    }
    if (!connection) {
        auto fresh = std::make_unique<Connection>();
        int number = 0;
        fresh->connection =
            xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &number);
        xcb_screen_t* screen = xcb_connection_has_error(fresh->connection)
                                   ? nullptr
                                   : screenOf(fresh->connection, number);
        if (screen == nullptr) {
            return Snapshot{}; // no server: no display
        }
        fresh->root = screen->root;
        fresh->width = screen->width_in_pixels;
        fresh->height = screen->height_in_pixels;
        if (hasExtension(fresh->connection, &xcb_randr_id)) {
            Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
                fresh->connection, xcb_randr_query_version(fresh->connection, 1, 5), nullptr));
            fresh->hasRandr =
                version && (version->major_version > 1 || version->minor_version >= 3);
        }
        connection = std::move(fresh);
    }
    xcb_connection_t* c = connection->connection;

    Snapshot s;
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources;
    if (connection->hasRandr) {
        resources.reset(xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, connection->root), nullptr));
    }
    const int count =
        resources ? xcb_randr_get_screen_resources_current_outputs_length(resources.get()) : 0;
    if (count <= 0) {
        if (xcb_connection_has_error(c)) {
            connection.reset();
            return Snapshot{};
        }
        // A server without RandR outputs: its one screen is the display.
        s.displayID = displayID.value_or(connection->root);
        s.active = true;
        s.pixelSize = {static_cast<double>(connection->width),
                       static_cast<double>(connection->height)};
        s.logicalSize = s.pixelSize;
        s.asleep = dpmsAsleep(c);
        return s;
    }
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    const xcb_timestamp_t stamp = resources->config_timestamp;

    struct Lit {
        xcb_randr_output_t output = 0;
        Reply<xcb_randr_get_crtc_info_reply_t> crtc;
        bool connected = false;
    };
    auto inspect = [&](xcb_randr_output_t output) {
        Lit lit;
        lit.output = output;
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, output, stamp), nullptr));
        if (!info) {
            return lit;
        }
        lit.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
        if (info->crtc != XCB_NONE) {
            lit.crtc.reset(xcb_randr_get_crtc_info_reply(
                c, xcb_randr_get_crtc_info(c, info->crtc, stamp), nullptr));
        }
        return lit;
    };

    std::optional<Lit> chosen;
    if (displayID) {
        for (int i = 0; i < count; ++i) {
            if (outputs[i] == *displayID) {
                chosen = inspect(outputs[i]);
            }
        }
    } else {
        Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
            c, xcb_randr_get_output_primary(c, connection->root), nullptr));
        if (primary && primary->output != XCB_NONE) {
            if (Lit lit = inspect(primary->output); lit.connected && lit.crtc) {
                chosen = std::move(lit);
            }
        }
        for (int i = 0; !chosen && i < count; ++i) {
            if (Lit lit = inspect(outputs[i]); lit.connected && lit.crtc) {
                chosen = std::move(lit);
            }
        }
    }
    if (!chosen) {
        return s; // the output is gone (or nothing is lit): no display
    }
    s.displayID = chosen->output;
    s.active = chosen->connected && chosen->crtc && chosen->crtc->mode != XCB_NONE;
    if (chosen->crtc) {
        s.pixelSize = {static_cast<double>(chosen->crtc->width),
                       static_cast<double>(chosen->crtc->height)};
        s.logicalSize = s.pixelSize;
        s.rotation = degrees(chosen->crtc->rotation);
        s.origin = {static_cast<double>(chosen->crtc->x), static_cast<double>(chosen->crtc->y)};
    }
    s.asleep = s.active && dpmsAsleep(c);
    return s;
}

} // namespace snagreel
