#include "SnagreelCore/Linux/X11ScreenCapture.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/CallbackGate.hpp"
#include "SnagreelCore/Linux/FrameConverter.hpp"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace snagreel {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// X protocol error codes we tell apart.
constexpr std::uint8_t kBadWindow = 3;
constexpr std::uint8_t kBadMatch = 8;
constexpr std::uint8_t kBadDrawable = 9;

const std::string kNoXInWayland =
    "Snagreel records X11 displays; this Wayland session gives it no X display to read.";
const std::string kNoDisplaySet =
    "Snagreel records X11 displays; this session has no X display set.";
const std::string kConnectionLost = "The connection to the X display was lost.";

std::string shownName(const std::string& displayName) {
    if (!displayName.empty()) {
        return displayName;
    }
    const char* env = std::getenv("DISPLAY");
    return env ? env : "";
}

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

// Without a name to connect to there is nothing to try; which sentence applies
// depends on whether this is a Wayland session.
std::optional<PlatformError> missingDisplay(const std::string& displayName) {
    if (!displayName.empty() || isSet("DISPLAY")) {
        return std::nullopt;
    }
    if (isSet("WAYLAND_DISPLAY")) {
        return streamError(StreamErrorCode::userDeclined, kNoXInWayland);
    }
    return streamError(StreamErrorCode::connectionInvalid, kNoDisplaySet);
}

struct Connection {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (c) {
            xcb_disconnect(c);
        }
    }
    xcb_window_t root() const { return screen->root; }
    bool broken() const { return xcb_connection_has_error(c) != 0; }
    // A round trip: every request sent before it has been processed when it returns.
    void sync() const { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }
};

Result<std::unique_ptr<Connection>> connect(const std::string& displayName) {
    if (auto missing = missingDisplay(displayName)) {
        return Unexpected{Error(*missing)};
    }
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (connection->broken()) {
        return Unexpected{Error(streamError(StreamErrorCode::connectionInvalid,
                                            "Snagreel could not connect to the X display \"" +
                                                shownName(displayName) + "\"."))};
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection->c));
    for (int i = 0; i < screenNumber && it.rem; ++i) {
        xcb_screen_next(&it);
    }
    if (!it.rem || !it.data) {
        return Unexpected{Error(
            streamError(StreamErrorCode::connectionInvalid,
                        "The X display \"" + shownName(displayName) + "\" has no such screen."))};
    }
    connection->screen = it.data;
    return connection;
}

Error lostOr(const Connection& connection, std::int64_t code, std::string message) {
    if (connection.broken()) {
        return streamError(StreamErrorCode::connectionInterrupted, kConnectionLost);
    }
    return streamError(code, std::move(message));
}

// Connected outputs that a CRTC drives, in the server's order.
Result<std::vector<DisplayInfo>> listOutputs(const Connection& x) {
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.c, &xcb_randr_id);
    if (!randr || !randr->present) {
        return Unexpected{lostOr(x, StreamErrorCode::noDisplayList,
                                 "The X display does not describe its outputs (no RandR).")};
    }
    std::free(xcb_randr_query_version_reply(x.c, xcb_randr_query_version(x.c, 1, 5), nullptr));
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
        xcb_randr_get_screen_resources_current_reply(
            x.c, xcb_randr_get_screen_resources_current(x.c, x.root()), nullptr));
    if (!resources) {
        return Unexpected{
            lostOr(x, StreamErrorCode::noDisplayList, "The X display lists no outputs.")};
    }
    Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
        x.c, xcb_randr_get_output_primary(x.c, x.root()), nullptr));
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    std::vector<xcb_randr_get_output_info_cookie_t> infoCookies;
    for (int i = 0; i < count; ++i) {
        infoCookies.push_back(
            xcb_randr_get_output_info(x.c, outputs[i], resources->config_timestamp));
    }
    std::vector<DisplayInfo> displays;
    std::vector<std::pair<std::size_t, xcb_randr_get_crtc_info_cookie_t>> crtcCookies;
    for (int i = 0; i < count; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            x.c, infoCookies[static_cast<std::size_t>(i)], nullptr));
        if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) {
            continue;
        }
        DisplayInfo display;
        display.id = outputs[i];
        display.name.assign(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
        display.active = true;
        display.primary = primary && primary->output == outputs[i];
        crtcCookies.emplace_back(
            displays.size(), xcb_randr_get_crtc_info(x.c, info->crtc, resources->config_timestamp));
        displays.push_back(std::move(display));
    }
    std::vector<DisplayInfo> driven;
    for (auto& [index, cookie] : crtcCookies) {
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(
            xcb_randr_get_crtc_info_reply(x.c, cookie, nullptr));
        // A CRTC without a mode shows nothing, whatever the output says.
        if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0) {
            continue;
        }
        DisplayInfo display = displays[index];
        display.x = crtc->x;
        display.y = crtc->y;
        display.width = crtc->width;
        display.height = crtc->height;
        driven.push_back(std::move(display));
    }
    if (x.broken()) {
        return Unexpected{
            Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
    }
    if (driven.empty()) {
        return Unexpected{Error(
            streamError(StreamErrorCode::noDisplayList, "The X display has no active output."))};
    }
    return driven;
}

std::vector<std::string> extensionNames(const Connection& x) {
    Reply<xcb_list_extensions_reply_t> reply(
        xcb_list_extensions_reply(x.c, xcb_list_extensions(x.c), nullptr));
    std::vector<std::string> names;
    if (!reply) {
        return names;
    }
    for (auto it = xcb_list_extensions_names_iterator(reply.get()); it.rem; xcb_str_next(&it)) {
        names.emplace_back(xcb_str_name(it.data),
                           static_cast<std::size_t>(xcb_str_name_length(it.data)));
    }
    return names;
}

// A GNOME or KDE Wayland session sets DISPLAY for its Xwayland, whose root window
// reads back black: recording it would save black clips while claiming to record.
bool runsOnXwayland(const Connection& x) {
    if (isXwayland(extensionNames(x), {})) {
        return true;
    }
    std::vector<std::string> names;
    if (auto outputs = listOutputs(x)) {
        for (const DisplayInfo& display : *outputs) {
            names.push_back(display.name);
        }
    }
    return isXwayland({}, names);
}

Error xwaylandRefusal() {
    return Error(streamError(StreamErrorCode::userDeclined, kXwaylandRefusal));
}

Result<std::vector<WindowInfo>> listWindows(const Connection& x) {
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(x.c, xcb_query_tree(x.c, x.root()), nullptr));
    if (!tree) {
        return Unexpected{
            lostOr(x, StreamErrorCode::noWindowList, "The X display's window list is unreadable.")};
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<std::pair<xcb_get_window_attributes_cookie_t, xcb_get_geometry_cookie_t>> cookies;
    for (int i = 0; i < count; ++i) {
        cookies.emplace_back(xcb_get_window_attributes(x.c, children[i]),
                             xcb_get_geometry(x.c, children[i]));
    }
    std::vector<WindowInfo> windows;
    for (int i = 0; i < count; ++i) {
        // A window destroyed since the tree was read answers with an error: skip it.
        Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
            x.c, cookies[static_cast<std::size_t>(i)].first, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(x.c, cookies[static_cast<std::size_t>(i)].second, nullptr));
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
            attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            continue;
        }
        windows.push_back(WindowInfo{children[i], geometry->width, geometry->height});
    }
    if (x.broken()) {
        return Unexpected{
            Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
    }
    return windows;
}

bool intersects(int ax, int ay, int aw, int ah, int bx, int by, int bw, int bh) {
    return ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah;
}

// Rows are read and converted in stripes of this many rows.
constexpr int kRowStripe = 16;
// More separate ranges than this are read as the one range that holds them all.
constexpr std::size_t kMaximumRanges = 8;

// Adds rows [top, bottom) of a `height`-row picture to sorted, disjoint ranges,
// widened to whole stripes.
void addRows(std::vector<RowRange>& ranges, int top, int bottom, int height) {
    top = std::max(0, top) / kRowStripe * kRowStripe;
    bottom = std::min(height, (bottom + kRowStripe - 1) / kRowStripe * kRowStripe);
    if (top >= bottom) {
        return;
    }
    ranges.push_back(RowRange{top, bottom});
    std::sort(ranges.begin(), ranges.end(),
              [](const RowRange& a, const RowRange& b) { return a.top < b.top; });
    std::vector<RowRange> merged;
    for (const RowRange& range : ranges) {
        if (!merged.empty() && range.top <= merged.back().bottom) {
            merged.back().bottom = std::max(merged.back().bottom, range.bottom);
        } else {
            merged.push_back(range);
        }
    }
    if (merged.size() > kMaximumRanges) {
        merged = {RowRange{merged.front().top, merged.back().bottom}};
    }
    ranges = std::move(merged);
}

} // namespace

// ---- Frame reader ----

struct X11FrameReader::State {
    std::unique_ptr<Connection> x;
    bool isWindow = false;
    std::uint32_t targetID = 0;
    xcb_drawable_t drawable = 0;
    int originX = 0; // the target's top-left corner on the root window
    int originY = 0;
    int width = 0;
    int height = 0;

    int segmentID = -1;
    bool segmentRemoved = false;
    std::uint8_t* pixels = nullptr;
    xcb_shm_seg_t segment = 0;
    bool attached = false;

    xcb_damage_damage_t damage = 0;
    std::uint8_t damageEventBase = 0;
    std::uint8_t randrEventBase = 0;
    bool dirty = true;
    // What the next read() takes: every row, or the rows damaged since the last.
    bool wholeDirty = true;
    std::vector<RowRange> damagedRows;
    std::vector<RowRange> rowsRead;
    // The rows the cursor was last drawn over, which a read must restore.
    std::optional<RowRange> cursorRows;

    bool showsCursor = false;
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
    struct CursorState {
        std::int16_t x, y;
        std::uint32_t serial;
        bool operator==(const CursorState&) const = default;
    };
    std::optional<CursorState> cursorAtRead;

    std::optional<CursorState> currentCursor() const {
        if (!cursor) {
            return std::nullopt;
        }
        return CursorState{cursor->x, cursor->y, cursor->cursor_serial};
    }

    void removeSegmentName() {
        if (segmentID >= 0 && !segmentRemoved) {
            ::shmctl(segmentID, IPC_RMID, nullptr);
            segmentRemoved = true;
        }
    }

    ~State() {
        if (attached) {
            xcb_shm_detach(x->c, segment);
            x->sync();
        }
        if (pixels) {
            ::shmdt(pixels);
        }
        removeSegmentName();
    }
};

X11FrameReader::X11FrameReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
X11FrameReader::~X11FrameReader() = default;

int X11FrameReader::width() const {
    return state_->width;
}
int X11FrameReader::height() const {
    return state_->height;
}
const std::uint8_t* X11FrameReader::pixels() const {
    return state_->pixels;
}
int X11FrameReader::stride() const {
    return state_->width * 4;
}
std::span<const RowRange> X11FrameReader::rowsRead() const {
    return state_->rowsRead;
}
int X11FrameReader::segmentID() const {
    return state_->segmentID;
}

Result<std::unique_ptr<X11FrameReader>> X11FrameReader::open(const std::string& displayName,
                                                             const ContentFilter& filter,
                                                             bool showsCursor) {
    auto connection = connect(displayName);
    if (!connection) {
        return Unexpected{std::move(connection).error()};
    }
    auto state = std::make_unique<State>();
    state->x = std::move(*connection);
    Connection& x = *state->x;

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(x.c, &xcb_shm_id);
    if (!shm || !shm->present) {
        return Unexpected{lostOr(x, StreamErrorCode::missingEntitlements,
                                 "The X display does not offer shared-memory images (MIT-SHM).")};
    }

    if (filter.windowID) {
        state->isWindow = true;
        state->targetID = *filter.windowID;
        state->drawable = *filter.windowID;
        auto attributesCookie = xcb_get_window_attributes(x.c, state->drawable);
        auto geometryCookie = xcb_get_geometry(x.c, state->drawable);
        auto positionCookie = xcb_translate_coordinates(x.c, state->drawable, x.root(), 0, 0);
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(x.c, attributesCookie, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(x.c, geometryCookie, nullptr));
        Reply<xcb_translate_coordinates_reply_t> position(
            xcb_translate_coordinates_reply(x.c, positionCookie, nullptr));
        if (!attributes || !geometry || !position ||
            attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            return Unexpected{lostOr(x, StreamErrorCode::noCaptureSource,
                                     "The selected window is no longer on screen.")};
        }
        if (geometry->depth != 24 && geometry->depth != 32) {
            return Unexpected{
                Error(streamError(StreamErrorCode::internalError,
                                  "The selected window's pixel depth (" +
                                      std::to_string(geometry->depth) + ") cannot be recorded."))};
        }
        state->originX = position->dst_x;
        state->originY = position->dst_y;
        state->width = geometry->width;
        state->height = geometry->height;
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x.c, state->drawable, XCB_CW_EVENT_MASK, &mask);
    } else if (filter.displayID) {
        auto displays = listOutputs(x);
        if (!displays) {
            return Unexpected{std::move(displays).error()};
        }
        auto it = std::find_if(displays->begin(), displays->end(),
                               [&](const DisplayInfo& d) { return d.id == *filter.displayID; });
        if (it == displays->end()) {
            return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                                "The selected display is no longer connected."))};
        }
        state->targetID = it->id;
        state->drawable = x.root();
        state->originX = static_cast<int>(it->x);
        state->originY = static_cast<int>(it->y);
        state->width = static_cast<int>(it->width);
        state->height = static_cast<int>(it->height);
        if (x.screen->root_depth != 24) {
            return Unexpected{Error(streamError(StreamErrorCode::internalError,
                                                "The X display's pixel depth (" +
                                                    std::to_string(x.screen->root_depth) +
                                                    ") cannot be recorded."))};
        }
        const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.c, &xcb_randr_id);
        state->randrEventBase = randr->first_event;
        xcb_randr_select_input(x.c, x.root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
    } else {
        return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                            "The capture filter names no display or window."))};
    }

    // The segment is ours alone (0600) and loses its name as soon as the server
    // holds it, so that it goes away with the last process attached even if we die.
    const auto bytes = static_cast<std::size_t>(state->width) * state->height * 4;
    state->segmentID = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (state->segmentID < 0) {
        const int error = errno;
        const bool refused = error == EPERM || error == ENOSYS || error == EACCES;
        return Unexpected{Error(streamError(
            refused ? StreamErrorCode::missingEntitlements : StreamErrorCode::internalError,
            std::string("Snagreel could not create a shared-memory image (") +
                std::strerror(error) + ")."))};
    }
    void* address = ::shmat(state->segmentID, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        return Unexpected{
            Error(streamError(StreamErrorCode::internalError,
                              std::string("Snagreel could not map its shared-memory image (") +
                                  std::strerror(error) + ")."))};
    }
    state->pixels = static_cast<std::uint8_t*>(address);
    state->segment = xcb_generate_id(x.c);
    xcb_generic_error_t* attachError = xcb_request_check(
        x.c, xcb_shm_attach_checked(x.c, state->segment,
                                    static_cast<std::uint32_t>(state->segmentID), 0));
    if (attachError || x.broken()) {
        const int code = attachError ? attachError->error_code : 0;
        std::free(attachError);
        return Unexpected{
            lostOr(x, StreamErrorCode::internalError,
                   "The X server could not attach Snagreel's shared-memory image (error " +
                       std::to_string(code) + ").")};
    }
    state->attached = true;
    state->removeSegmentName();

    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(x.c, &xcb_damage_id);
    if (damage && damage->present) {
        std::free(
            xcb_damage_query_version_reply(x.c, xcb_damage_query_version(x.c, 1, 1), nullptr));
        state->damageEventBase = damage->first_event;
        state->damage = xcb_generate_id(x.c);
        xcb_damage_create(x.c, state->damage, state->drawable,
                          XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    }
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(x.c, &xcb_xfixes_id);
    if (showsCursor && fixes && fixes->present) {
        std::free(
            xcb_xfixes_query_version_reply(x.c, xcb_xfixes_query_version(x.c, 4, 0), nullptr));
        state->showsCursor = true;
    }
    x.sync();
    if (x.broken()) {
        return Unexpected{
            Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
    }
    return std::unique_ptr<X11FrameReader>(new X11FrameReader(std::move(state)));
}

Result<bool> X11FrameReader::poll() {
    State& s = *state_;
    Connection& x = *s.x;
    bool recheckOutput = false;
    while (xcb_generic_event_t* raw = xcb_poll_for_event(x.c)) {
        Reply<xcb_generic_event_t> event(raw);
        const std::uint8_t type = event->response_type & 0x7f;
        if (s.damage && type == s.damageEventBase + XCB_DAMAGE_NOTIFY) {
            const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(raw);
            const int readX = s.isWindow ? 0 : s.originX;
            const int readY = s.isWindow ? 0 : s.originY;
            if (intersects(notify->area.x, notify->area.y, notify->area.width, notify->area.height,
                           readX, readY, s.width, s.height)) {
                s.dirty = true;
                // The area is the bounding box of all damage since the last subtract.
                addRows(s.damagedRows, notify->area.y - readY,
                        notify->area.y + notify->area.height - readY, s.height);
            }
        } else if (s.randrEventBase && (type == s.randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                        type == s.randrEventBase + XCB_RANDR_NOTIFY)) {
            recheckOutput = true;
        } else if (s.isWindow && type == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(raw);
            if (configure->window != s.drawable) {
                continue;
            }
            if (configure->width != s.width || configure->height != s.height) {
                return Unexpected{Error(streamError(StreamErrorCode::systemStoppedStream,
                                                    "The selected window changed its size."))};
            }
            s.originX = configure->x;
            s.originY = configure->y;
            s.dirty = true;
            s.wholeDirty = true;
        } else if (s.isWindow && (type == XCB_DESTROY_NOTIFY || type == XCB_UNMAP_NOTIFY)) {
            return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                                "The selected window is no longer on screen."))};
        }
    }
    if (x.broken()) {
        return Unexpected{
            Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
    }
    if (recheckOutput) {
        auto displays = listOutputs(x);
        if (!displays) {
            if (x.broken()) {
                return Unexpected{std::move(displays).error()};
            }
            return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                                "The selected display is no longer connected."))};
        }
        auto it = std::find_if(displays->begin(), displays->end(),
                               [&](const DisplayInfo& d) { return d.id == s.targetID; });
        if (it == displays->end()) {
            return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                                "The selected display is no longer connected."))};
        }
        if (it->width != s.width || it->height != s.height) {
            return Unexpected{Error(streamError(StreamErrorCode::systemStoppedStream,
                                                "The selected display changed its resolution."))};
        }
        if (it->x != s.originX || it->y != s.originY) {
            s.originX = static_cast<int>(it->x);
            s.originY = static_cast<int>(it->y);
            s.dirty = true;
            s.wholeDirty = true;
        }
    }
    if (s.showsCursor) {
        xcb_generic_error_t* error = nullptr;
        s.cursor.reset(
            xcb_xfixes_get_cursor_image_reply(x.c, xcb_xfixes_get_cursor_image(x.c), &error));
        std::free(error);
        if (x.broken()) {
            return Unexpected{
                Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
        }
        if (s.currentCursor() != s.cursorAtRead) {
            s.dirty = true;
        }
    }
    return s.dirty || s.damage == 0;
}

Result<void> X11FrameReader::readRows(RowRange range, int readX, int readY) {
    State& s = *state_;
    Connection& x = *s.x;
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        x.c,
        xcb_shm_get_image(
            x.c, s.drawable, static_cast<std::int16_t>(readX),
            static_cast<std::int16_t>(readY + range.top), static_cast<std::uint16_t>(s.width),
            static_cast<std::uint16_t>(range.bottom - range.top), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
            s.segment,
            static_cast<std::uint32_t>(range.top) * static_cast<std::uint32_t>(s.width) * 4),
        &error));
    if (!reply) {
        const std::uint8_t code = error ? error->error_code : 0;
        std::free(error);
        if (x.broken()) {
            return Unexpected{
                Error(streamError(StreamErrorCode::connectionInterrupted, kConnectionLost))};
        }
        if (s.isWindow && (code == kBadMatch || code == kBadDrawable || code == kBadWindow)) {
            return Unexpected{Error(streamError(StreamErrorCode::noCaptureSource,
                                                "The selected window is no longer on screen."))};
        }
        if (!s.isWindow && code == kBadMatch) {
            // The rectangle left the root window: the screen shrank under us.
            return Unexpected{Error(streamError(StreamErrorCode::systemStoppedStream,
                                                "The selected display changed its resolution."))};
        }
        return Unexpected{Error(streamError(StreamErrorCode::internalError,
                                            "The X server failed to read the screen (error " +
                                                std::to_string(code) + ")."))};
    }
    return {};
}

Result<void> X11FrameReader::read() {
    State& s = *state_;
    Connection& x = *s.x;
    // Repair before reading: whatever is drawn during the read raises a new event
    // and makes the next tick read again.
    if (s.damage) {
        xcb_damage_subtract(x.c, s.damage, XCB_NONE, XCB_NONE);
    }
    const int readX = s.isWindow ? 0 : s.originX;
    const int readY = s.isWindow ? 0 : s.originY;
    std::vector<RowRange> rows;
    if (s.wholeDirty || s.damage == 0) {
        addRows(rows, 0, s.height, s.height);
    } else {
        rows = s.damagedRows;
        if (s.cursorRows) {
            addRows(rows, s.cursorRows->top, s.cursorRows->bottom, s.height);
        }
        if (s.cursor) {
            const int top = s.cursor->y - s.cursor->yhot - s.originY;
            addRows(rows, top, top + s.cursor->height, s.height);
        }
    }
    for (const RowRange& range : rows) {
        if (auto done = readRows(range, readX, readY); !done) {
            s.wholeDirty = true;
            return done;
        }
    }
    s.rowsRead = std::move(rows);
    s.damagedRows.clear();
    s.wholeDirty = false;
    s.dirty = false;
    s.cursorAtRead = s.currentCursor();
    return {};
}

void X11FrameReader::compositeCursor() {
    State& s = *state_;
    s.cursorRows.reset();
    if (!s.cursor) {
        return;
    }
    const xcb_xfixes_get_cursor_image_reply_t& c = *s.cursor;
    const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(s.cursor.get());
    const int left = c.x - c.xhot - s.originX;
    const int top = c.y - c.yhot - s.originY;
    const int x0 = std::max(0, left);
    const int y0 = std::max(0, top);
    const int x1 = std::min(s.width, left + c.width);
    const int y1 = std::min(s.height, top + c.height);
    if (y0 < y1 && x0 < x1) {
        s.cursorRows = RowRange{y0, y1};
    }
    for (int y = y0; y < y1; ++y) {
        std::uint8_t* row = s.pixels + static_cast<std::size_t>(y) * s.width * 4;
        const std::uint32_t* source = image + static_cast<std::size_t>(y - top) * c.width;
        for (int px = x0; px < x1; ++px) {
            const std::uint32_t argb = source[px - left];
            const std::uint32_t alpha = argb >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* d = row + static_cast<std::size_t>(px) * 4;
            const std::uint32_t keep = 255 - alpha;
            // Premultiplied: the cursor's channel plus what shows through it.
            d[0] = static_cast<std::uint8_t>((argb & 0xff) + (d[0] * keep + 127) / 255);
            d[1] = static_cast<std::uint8_t>(((argb >> 8) & 0xff) + (d[1] * keep + 127) / 255);
            d[2] = static_cast<std::uint8_t>(((argb >> 16) & 0xff) + (d[2] * keep + 127) / 255);
        }
    }
}

// ---- Stream ----

namespace {

class X11ScreenStream final : public ScreenStream {
public:
    X11ScreenStream(std::string displayName, ContentFilter filter,
                    StreamConfiguration configuration, Executor& queue,
                    ScreenStreamCallbacks callbacks)
        : displayName_(std::move(displayName)), filter_(filter), configuration_(configuration),
          queue_(queue), callbacks_(std::move(callbacks)) {}

    ~X11ScreenStream() override { stopCapture(); }

    Result<void> startCapture() override {
        if (thread_.joinable() || stopped_) {
            return Unexpected{Error(streamError(StreamErrorCode::internalError,
                                                "The screen stream was already started."))};
        }
        auto reader = X11FrameReader::open(displayName_, filter_, configuration_.showsCursor);
        if (!reader) {
            return Unexpected{std::move(reader).error()};
        }
        const int width =
            configuration_.width > 0 ? static_cast<int>(configuration_.width) : (*reader)->width();
        const int height = configuration_.height > 0 ? static_cast<int>(configuration_.height)
                                                     : (*reader)->height();
        auto converter = FrameConverter::create((*reader)->width(), (*reader)->height(), width,
                                                height, std::max(1, configuration_.queueDepth) + 3);
        if (!converter) {
            return Unexpected{std::move(converter).error()};
        }
        reader_ = std::move(*reader);
        converter_ = std::move(*converter);
        thread_ = std::thread([this] { run(); });
        return {};
    }

    void stopCapture() override {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        gate_->close();
        reader_.reset();
        converter_.reset();
    }

private:
    void run() {
        using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC
        const std::int64_t fps = std::clamp<std::int64_t>(configuration_.framesPerSecond, 1, 120);
        const auto period = std::chrono::nanoseconds(1'000'000'000LL / fps);
        auto next = Clock::now();
        std::unique_lock lock(mutex_);
        while (!stopped_) {
            if (wake_.wait_until(lock, next, [this] { return stopped_; })) {
                break;
            }
            // Late ticks are dropped rather than caught up: never more than the rate.
            next += period;
            if (next <= Clock::now()) {
                next = Clock::now() + period;
            }
            lock.unlock();
            const bool goOn = tick();
            lock.lock();
            if (!goOn) {
                break;
            }
        }
    }

    bool tick() {
        // A capture queue that has not taken the last samples yet gets no more; the
        // engine only ever wants the newest picture.
        if (pending_->load() >= std::max(1, configuration_.queueDepth)) {
            return true;
        }
        auto changed = reader_->poll();
        if (!changed) {
            stopWith(std::move(changed).error());
            return false;
        }
        if (!*changed && delivered_) {
            deliver(ScreenSample{FrameStatus::idle, {}});
            return true;
        }
        if (auto read = reader_->read(); !read) {
            stopWith(std::move(read).error());
            return false;
        }
        if (configuration_.showsCursor) {
            reader_->compositeCursor();
        }
        auto image = converter_->convert(reader_->pixels(), reader_->stride(), reader_->rowsRead());
        if (!image) {
            stopWith(streamError(StreamErrorCode::internalError,
                                 "Snagreel could not convert the screen image: " +
                                     image.error().description()));
            return false;
        }
        delivered_ = true;
        deliver(ScreenSample{FrameStatus::complete, std::move(*image)});
        return true;
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

    void stopWith(Error error) {
        queue_.post([gate = gate_, onStopped = callbacks_.onStopped, error = std::move(error)] {
            if (onStopped) {
                gate->invoke([&] { onStopped(error); });
            }
        });
    }

    std::string displayName_;
    ContentFilter filter_;
    StreamConfiguration configuration_;
    Executor& queue_;
    ScreenStreamCallbacks callbacks_;
    std::shared_ptr<CallbackGate> gate_ = std::make_shared<CallbackGate>();
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<X11FrameReader> reader_;
    std::unique_ptr<FrameConverter> converter_;
    bool delivered_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

class X11ScreenCaptureService final : public ScreenCaptureService {
public:
    explicit X11ScreenCaptureService(std::string displayName)
        : displayName_(std::move(displayName)) {}

    Result<ShareableContent> shareableContent() override {
        auto connection = connect(displayName_);
        if (!connection) {
            return Unexpected{std::move(connection).error()};
        }
        if (runsOnXwayland(**connection)) {
            return Unexpected{xwaylandRefusal()};
        }
        auto displays = listOutputs(**connection);
        if (!displays) {
            return Unexpected{std::move(displays).error()};
        }
        auto windows = listWindows(**connection);
        if (!windows) {
            return Unexpected{std::move(windows).error()};
        }
        ShareableContent content;
        content.displays = std::move(*displays);
        content.windows = std::move(*windows);
        auto primary = std::find_if(content.displays.begin(), content.displays.end(),
                                    [](const DisplayInfo& d) { return d.primary; });
        content.mainDisplayID =
            primary != content.displays.end() ? primary->id : content.displays.front().id;
        return content;
    }

    Result<std::unique_ptr<ScreenStream>> makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     Executor& queue,
                                                     ScreenStreamCallbacks callbacks) override {
        if (filter.displayID.has_value() == filter.windowID.has_value()) {
            return Unexpected{
                Error(streamError(StreamErrorCode::noCaptureSource,
                                  "The capture filter must name one display or one window."))};
        }
        if (configuration.framesPerSecond < 1 || configuration.framesPerSecond > 60 ||
            configuration.width < 0 || configuration.height < 0) {
            return Unexpected{Error(CaptureError::unavailable("Invalid recording configuration."))};
        }
        return std::unique_ptr<ScreenStream>(std::make_unique<X11ScreenStream>(
            displayName_, filter, configuration, queue, std::move(callbacks)));
    }

private:
    std::string displayName_;
};

} // namespace

std::shared_ptr<ScreenCaptureService> makeX11ScreenCaptureService(std::string displayName) {
    return std::make_shared<X11ScreenCaptureService>(std::move(displayName));
}

namespace {

// Why the display cannot be read, or none when it can.
std::optional<std::string> unreadable(Connection& x, const std::string& displayName) {
    Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        x.c, xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, 1, 1, ~0u), nullptr));
    if (!image) {
        return "The X display \"" + shownName(displayName) +
               "\" does not let Snagreel read its screen.";
    }
    return std::nullopt;
}

std::optional<std::string> accessProblem(const std::string& displayName) {
    auto connection = connect(displayName);
    if (!connection) {
        return connection.error().description();
    }
    if (runsOnXwayland(**connection)) {
        return std::string(kXwaylandRefusal);
    }
    return unreadable(**connection, displayName);
}

// Whether something listens on the local socket of a ":N" (or "unix:N") display,
// so that a failed connection was a refusal and not a missing server. Other names
// (TCP) cannot be told apart this cheaply and count as no server.
bool serverListens(const std::string& displayName) {
    std::string name = shownName(displayName);
    if (name.rfind("unix:", 0) == 0) {
        name.erase(0, 4);
    }
    if (name.empty() || name[0] != ':') {
        return false;
    }
    const std::string number = name.substr(1, name.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::string path = "/tmp/.X11-unix/X" + number;
    // The abstract name first, as xcb tries it, then the file.
    for (const std::size_t offset : {std::size_t{1}, std::size_t{0}}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        const bool accepted =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
        ::close(fd);
        if (accepted) {
            return true;
        }
    }
    return false;
}

} // namespace

bool x11ScreenAccess(const std::string& displayName) {
    auto connection = connect(displayName);
    if (!connection) {
        // Only a session without X or a server that turns us away withholds access.
        // A server that is not there, not yet or no more, is the source's failure,
        // retried like the stream's; as a permission it would stop all retries.
        return CaptureFailure(connection.error()).kind != CaptureFailure::Kind::permission &&
               !serverListens(displayName);
    }
    return !runsOnXwayland(**connection) && !unreadable(**connection, displayName).has_value();
}

bool isXwayland(const std::vector<std::string>& extensions,
                const std::vector<std::string>& outputNames) {
    const auto xwaylandOutput = [](const std::string& name) {
        return name.rfind("XWAYLAND", 0) == 0;
    };
    return std::find(extensions.begin(), extensions.end(), "XWAYLAND") != extensions.end() ||
           std::any_of(outputNames.begin(), outputNames.end(), xwaylandOutput);
}

struct X11ScreenAccessMonitor::State {
    std::mutex mutex;
    std::string displayName;
    std::unique_ptr<Connection> connection;
};

X11ScreenAccessMonitor::X11ScreenAccessMonitor(std::string displayName)
    : state_(std::make_unique<State>()) {
    state_->displayName = std::move(displayName);
}

X11ScreenAccessMonitor::~X11ScreenAccessMonitor() = default;

ScreenAccessCheck X11ScreenAccessMonitor::check() {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    // A kept connection to a server that has since gone (or restarted) only shows
    // that when asked; then one fresh connection decides.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (s.connection && s.connection->broken()) {
            s.connection.reset();
        }
        if (!s.connection) {
            auto connection = connect(s.displayName);
            if (!connection) {
                // A session that offers no X display at all is the one refusal that
                // needs no server to say so.
                return CaptureFailure(connection.error()).kind == CaptureFailure::Kind::permission
                           ? ScreenAccessCheck::denied
                           : ScreenAccessCheck::unreachable;
            }
            s.connection = std::move(*connection);
        }
        if (!unreadable(*s.connection, s.displayName)) {
            return ScreenAccessCheck::granted;
        }
        if (!s.connection->broken()) {
            return ScreenAccessCheck::denied;
        }
    }
    s.connection.reset();
    return ScreenAccessCheck::unreachable;
}

std::string screenAccessExplanation(const std::string& displayName) {
    if (auto problem = accessProblem(displayName)) {
        return *problem;
    }
    return "Snagreel can read the X display \"" + shownName(displayName) + "\".";
}

} // namespace snagreel
