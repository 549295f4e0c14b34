#include "SnagreelApp/Linux/X11HotKeyBackend.hpp"

#include "SnagreelApp/Linux/PortalHotKeyBackend.hpp"

#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

namespace snagreel::app {

namespace {

constexpr const char* kNoDisplayReason = "Global shortcuts need an X11 display, and none is "
                                         "available. Save clips from the system tray instead.";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A backend that can deliver nothing, and says why.
class UnavailableHotKeyBackend final : public HotKeyBackend {
public:
    explicit UnavailableHotKeyBackend(std::string reason) : reason_(std::move(reason)) {}
    std::int32_t handlerStatus() const override { return kUnavailable; }
    std::optional<std::string> unavailableReason() const override { return reason_; }
    std::int32_t registerShortcut(const CaptureShortcut&, std::uint32_t) override {
        return kUnavailable;
    }
    std::int32_t unregisterShortcut(std::uint32_t) override { return kOk; }

private:
    std::string reason_;
};

namespace keysym {
constexpr xcb_keysym_t numLock = 0xff7f;
constexpr xcb_keysym_t metaL = 0xffe7;
constexpr xcb_keysym_t metaR = 0xffe8;
constexpr xcb_keysym_t altL = 0xffe9;
constexpr xcb_keysym_t altR = 0xffea;
constexpr xcb_keysym_t superL = 0xffeb;
constexpr xcb_keysym_t superR = 0xffec;
} // namespace keysym

struct KeyCombination {
    xcb_keycode_t keycode = 0;
    std::uint16_t modifiers = 0;
    auto operator<=>(const KeyCombination&) const = default;
};

} // namespace

class X11HotKeyBackend final : public HotKeyBackend {
public:
    explicit X11HotKeyBackend(const std::string& display) {
        int screenNumber = 0;
        connection_ = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
        if (xcb_connection_has_error(connection_)) {
            return;
        }
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
            xcb_screen_next(&screens);
        }
        if (screens.rem == 0) {
            return;
        }
        root_ = screens.data->root;
        symbols_ = xcb_key_symbols_alloc(connection_);
        readModifierMapping();
        notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                      QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [this] { drain(); });
        connected_ = true;
    }

    ~X11HotKeyBackend() override {
        notifier_.reset();
        if (connected_) {
            for (const auto& [id, grab] : grabs_) {
                ungrab(id, grab.combinations);
            }
            xcb_flush(connection_);
        }
        if (symbols_) {
            xcb_key_symbols_free(symbols_);
        }
        xcb_disconnect(connection_);
    }

    std::int32_t handlerStatus() const override {
        return connected_ && !xcb_connection_has_error(connection_) ? kOk : kUnavailable;
    }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }

    std::int32_t registerShortcut(const CaptureShortcut& shortcut,
                                  std::uint32_t registrationID) override {
        if (handlerStatus() != kOk) {
            return kUnavailable;
        }
        Grab grab;
        grab.shortcut = shortcut;
        const std::int32_t status = take(grab);
        scheduleDrain();
        if (status != kOk) {
            return status;
        }
        grabs_[registrationID] = std::move(grab);
        return kOk;
    }

    std::int32_t unregisterShortcut(std::uint32_t registrationID) override {
        auto found = grabs_.find(registrationID);
        if (found == grabs_.end()) {
            return kOk;
        }
        const std::vector<KeyCombination> combinations = found->second.combinations;
        grabs_.erase(found);
        if (handlerStatus() != kOk) {
            return kOk; // the server took the grabs with the connection
        }
        ungrab(registrationID, combinations);
        xcb_flush(connection_);
        return kOk;
    }

private:
    struct Grab {
        CaptureShortcut shortcut;
        std::vector<KeyCombination> combinations; // as grabbed, lock states included
    };

    // The X modifier bits of a shortcut under the current modifier mapping.
    std::uint16_t modifierMask(const CaptureShortcut& shortcut) const {
        std::uint16_t mask = 0;
        if (shortcut.modifiers & CaptureShortcut::kShift) {
            mask |= XCB_MOD_MASK_SHIFT;
        }
        if (shortcut.modifiers & CaptureShortcut::kCtrl) {
            mask |= XCB_MOD_MASK_CONTROL;
        }
        if (shortcut.modifiers & CaptureShortcut::kAlt) {
            mask |= altMask_;
        }
        if (shortcut.modifiers & CaptureShortcut::kSuper) {
            mask |= superMask_;
        }
        return mask;
    }

    std::uint16_t significantModifiers() const {
        return XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | altMask_ | superMask_;
    }

    // Grabs every key that types the keysym, once for each state of Caps Lock and
    // Num Lock, since the server matches the modifier state exactly. All or nothing.
    std::int32_t take(Grab& grab) {
        grab.combinations.clear();
        xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols_, grab.shortcut.keyCode);
        if (!keycodes || keycodes[0] == XCB_NO_SYMBOL) {
            std::free(keycodes);
            return kNoKeyCode;
        }
        const std::uint16_t base = modifierMask(grab.shortcut);
        const std::uint16_t locks[] = {
            0, XCB_MOD_MASK_LOCK, numLockMask_,
            static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask_)};
        std::set<KeyCombination> wanted;
        for (xcb_keycode_t* keycode = keycodes; *keycode != XCB_NO_SYMBOL; ++keycode) {
            for (std::uint16_t lock : locks) {
                wanted.insert({*keycode, static_cast<std::uint16_t>(base | lock)});
            }
        }
        std::free(keycodes);

        std::vector<std::pair<KeyCombination, xcb_void_cookie_t>> requests;
        for (const KeyCombination& combination : wanted) {
            requests.emplace_back(combination,
                                  xcb_grab_key_checked(connection_, 0, root_, combination.modifiers,
                                                       combination.keycode, XCB_GRAB_MODE_ASYNC,
                                                       XCB_GRAB_MODE_ASYNC));
        }
        std::int32_t status = kOk;
        for (auto& [combination, cookie] : requests) {
            if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
                if (status == kOk) {
                    status = error->error_code == XCB_ACCESS ? kTaken : error->error_code;
                }
                std::free(error);
            } else {
                grab.combinations.push_back(combination);
            }
        }
        if (xcb_connection_has_error(connection_)) {
            return kUnavailable;
        }
        if (status != kOk) {
            ungrab(0, grab.combinations);
            xcb_flush(connection_);
            grab.combinations.clear();
        }
        return status;
    }

    // Releases combinations, except those another live registration also holds
    // (the server keeps one grab per key and modifier state per client).
    void ungrab(std::uint32_t except, const std::vector<KeyCombination>& combinations) {
        for (const KeyCombination& combination : combinations) {
            bool shared = false;
            for (const auto& [id, other] : grabs_) {
                if (id != except && std::find(other.combinations.begin(), other.combinations.end(),
                                              combination) != other.combinations.end()) {
                    shared = true;
                }
            }
            if (!shared) {
                xcb_ungrab_key(connection_, combination.keycode, root_, combination.modifiers);
            }
        }
    }

    void readModifierMapping() {
        altMask_ = XCB_MOD_MASK_1;
        superMask_ = XCB_MOD_MASK_4;
        numLockMask_ = XCB_MOD_MASK_2;
        xcb_get_modifier_mapping_reply_t* reply = xcb_get_modifier_mapping_reply(
            connection_, xcb_get_modifier_mapping(connection_), nullptr);
        if (!reply) {
            return;
        }
        const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        std::uint16_t alt = 0, meta = 0, super = 0, numLock = 0;
        for (int modifier = 3; modifier < 8; ++modifier) { // Mod1 to Mod5
            for (int i = 0; i < perModifier; ++i) {
                const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
                if (keycode == 0) {
                    continue;
                }
                for (int column = 0; column < 4; ++column) {
                    const xcb_keysym_t sym = xcb_key_symbols_get_keysym(symbols_, keycode, column);
                    const auto bit = static_cast<std::uint16_t>(1u << modifier);
                    if (sym == keysym::altL || sym == keysym::altR) {
                        alt |= bit;
                    } else if (sym == keysym::metaL || sym == keysym::metaR) {
                        meta |= bit;
                    } else if (sym == keysym::superL || sym == keysym::superR) {
                        super |= bit;
                    } else if (sym == keysym::numLock) {
                        numLock |= bit;
                    }
                }
            }
        }
        std::free(reply);
        if (alt || meta) {
            altMask_ = alt ? alt : meta;
        }
        if (super) {
            superMask_ = super;
        }
        if (numLock) {
            numLockMask_ = numLock;
        }
    }

    void scheduleDrain() {
        // Replies read while checking grabs may have queued events without the socket
        // turning readable again.
        QTimer::singleShot(0, notifier_.get(), [this] { drain(); });
    }

    void drain() {
        bool mappingChanged = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            switch (event->response_type & 0x7f) {
            case XCB_KEY_PRESS:
                pressed(*reinterpret_cast<xcb_key_press_event_t*>(event));
                break;
            case XCB_KEY_RELEASE: {
                const auto& release = *reinterpret_cast<xcb_key_release_event_t*>(event);
                releasedAt_[release.detail] = release.time;
                break;
            }
            case XCB_MAPPING_NOTIFY: {
                auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
                if (mapping->request != XCB_MAPPING_POINTER) {
                    xcb_refresh_keyboard_mapping(symbols_, mapping);
                    mappingChanged = true;
                }
                break;
            }
            default:
                break;
            }
            std::free(event);
        }
        if (xcb_connection_has_error(connection_)) {
            notifier_->setEnabled(false);
            for (const auto& [id, grab] : grabs_) {
                if (onLost) {
                    onLost(id, kUnavailable);
                }
            }
            return;
        }
        if (mappingChanged) {
            regrab();
        }
    }

    // A press fires once. This connection leaves detectable auto-repeat off, so
    // the server repeats a held key as a release and a press with the same time
    // stamp; no person releases and presses again within the same millisecond.
    void pressed(const xcb_key_press_event_t& press) {
        auto released = releasedAt_.find(press.detail);
        if (released != releasedAt_.end() && released->second == press.time) {
            return;
        }
        const std::uint16_t state = press.state & significantModifiers();
        for (const auto& [id, grab] : grabs_) {
            for (const KeyCombination& combination : grab.combinations) {
                if (combination.keycode == press.detail &&
                    (combination.modifiers & significantModifiers()) == state) {
                    if (onPressed) {
                        onPressed(id);
                    }
                    return;
                }
            }
        }
    }

    // Key codes and modifier bits may mean other keys after a mapping change, so
    // every grab is released and taken again from its keysym.
    void regrab() {
        for (const auto& [id, grab] : grabs_) {
            for (const KeyCombination& combination : grab.combinations) {
                xcb_ungrab_key(connection_, combination.keycode, root_, combination.modifiers);
            }
        }
        readModifierMapping();
        std::vector<std::pair<std::uint32_t, std::int32_t>> changes;
        for (auto& [id, grab] : grabs_) {
            const bool wasLive = !grab.combinations.empty();
            const std::int32_t status = take(grab);
            if (status != kOk || !wasLive) {
                changes.emplace_back(id, status);
            }
        }
        xcb_flush(connection_);
        for (auto [id, status] : changes) {
            if (status != kOk && onLost) {
                onLost(id, status);
            } else if (status == kOk && onRestored) {
                onRestored(id);
            }
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_key_symbols_t* symbols_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool connected_ = false;
    std::uint16_t altMask_ = XCB_MOD_MASK_1;
    std::uint16_t superMask_ = XCB_MOD_MASK_4;
    std::uint16_t numLockMask_ = XCB_MOD_MASK_2;
    std::map<std::uint32_t, Grab> grabs_;
    std::map<xcb_keycode_t, xcb_timestamp_t> releasedAt_;
};

DesktopSession DesktopSession::current() {
    return {environment("DISPLAY"), environment("WAYLAND_DISPLAY"),
            environment("XDG_SESSION_TYPE")};
}

std::unique_ptr<HotKeyBackend> makeHotKeyBackend(const DesktopSession& session) {
    // Under Xwayland a root-window grab sees keys only while an X window has the
    // focus, so it would seem to work and then not: Wayland shortcuts go through
    // the desktop or not at all.
    if (session.isWayland()) {
        return makeWaylandHotKeyBackend(QDBusConnection::sessionBus());
    }
    if (session.display.empty()) {
        return std::make_unique<UnavailableHotKeyBackend>(kNoDisplayReason);
    }
    return makeX11HotKeyBackend(session.display);
}

std::unique_ptr<HotKeyBackend> makeUnavailableHotKeyBackend(std::string reason) {
    return std::make_unique<UnavailableHotKeyBackend>(std::move(reason));
}

std::unique_ptr<HotKeyBackend> makeX11HotKeyBackend(const std::string& display) {
    return std::make_unique<X11HotKeyBackend>(display);
}

} // namespace snagreel::app
