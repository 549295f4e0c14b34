#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <Qt>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

class QKeyEvent;

namespace snagreel::app {

// One key combination: an X11 keysym (the lower-case keysym for letters, so that
// the combination does not depend on Shift or Caps Lock) and a modifier mask.
struct CaptureShortcut {
    // Modifier bits, stored in preferences; never change their values.
    static constexpr std::uint32_t kSuper = 0x100;
    static constexpr std::uint32_t kShift = 0x200;
    static constexpr std::uint32_t kAlt = 0x800;
    static constexpr std::uint32_t kCtrl = 0x1000;
    static constexpr std::uint32_t kAllowedModifiers = kSuper | kShift | kAlt | kCtrl;
    static constexpr std::uint32_t kRequiredModifiers = kSuper | kAlt | kCtrl;

    std::uint32_t keyCode = 0;   // X11 keysym
    std::uint32_t modifiers = 0; // bits above

    bool operator==(const CaptureShortcut&) const = default;

    // Ctrl+Alt+Super+F.
    static CaptureShortcut defaultShortcut();

    // From a keysym and Qt modifiers as a key press delivers them: letters are
    // folded to lower case, Meta (the Super key under X11) maps to Super, and Caps
    // Lock, Num Lock and the keypad flag are dropped.
    static CaptureShortcut fromKeysym(std::uint32_t keysym, Qt::KeyboardModifiers modifiers);
    // From a key press: its native keysym where the platform gives one (xcb), else
    // the keysym for its Qt key (so that the offscreen platform works in tests).
    static CaptureShortcut fromKeyEvent(const QKeyEvent& event);

    // The text to show when the combination cannot be used, or none.
    std::optional<std::string> validationError() const;
    // "Ctrl+Alt+Super+F", "Shift+Super+F1", "Super+Return".
    std::string displayName() const;
};

namespace shortcutmessages {
inline constexpr const char* kInvalidModifiers = "Include Super, Ctrl, or Alt with another key.";
inline constexpr const char* kInvalidKey = "Choose a regular key or function key; Escape cancels.";
inline constexpr const char* kRegistration =
    "That shortcut is unavailable. Your previous shortcut is unchanged.";
inline constexpr const char* kEventHandler =
    "The shortcut handler is unavailable. Restart Snagreel to try again.";
inline constexpr const char* kSavedUnavailable =
    "The saved shortcut is unavailable. Choose a different shortcut.";
} // namespace shortcutmessages

// The stored form under "captureShortcut.v1": {"v":1,"shortcut":{"keyCode":..,"modifiers":..}},
// the "shortcut" key left out when the user chose to have none.
struct ShortcutPreference {
    int v = 1;
    std::optional<CaptureShortcut> shortcut;

    std::string encode() const;
    // None when the bytes are not a preference object.
    static std::optional<ShortcutPreference> decode(const std::string& bytes);
};

inline constexpr const char* kShortcutErrorDomain = "Snagreel.ShortcutError";

// Why a change of shortcut failed. Converts to Error (platformForm) so that it
// travels in a Result like any other failure.
struct ShortcutError {
    struct Invalid {
        std::string message;
        bool operator==(const Invalid&) const = default;
    };
    struct Registration {
        std::int32_t status = 0;
        bool operator==(const Registration&) const = default;
    };
    struct EventHandler {
        std::int32_t status = 0;
        bool operator==(const EventHandler&) const = default;
    };
    std::variant<Invalid, Registration, EventHandler> value;

    static ShortcutError invalid(std::string message) { return {Invalid{std::move(message)}}; }
    static ShortcutError registration(std::int32_t status) { return {Registration{status}}; }
    static ShortcutError eventHandler(std::int32_t status) { return {EventHandler{status}}; }

    bool isInvalid() const { return std::holds_alternative<Invalid>(value); }
    bool isRegistration() const { return std::holds_alternative<Registration>(value); }
    bool isEventHandler() const { return std::holds_alternative<EventHandler>(value); }

    std::string description() const;
    PlatformError platformForm() const;
    bool operator==(const ShortcutError&) const = default;
};

} // namespace snagreel::app
