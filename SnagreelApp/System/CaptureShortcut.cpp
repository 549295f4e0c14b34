#include "SnagreelApp/System/CaptureShortcut.hpp"

#include "SnagreelCore/Support/Json.hpp"

#include <QKeyEvent>

#include <nlohmann/json.hpp>

#include <cctype>
#include <limits>

namespace snagreel::app {

namespace {

// Keysyms (X11 keysymdef.h values) that the shortcut code names.
namespace ks {
constexpr std::uint32_t space = 0x20;
constexpr std::uint32_t backSpace = 0xff08;
constexpr std::uint32_t tab = 0xff09;
constexpr std::uint32_t returnKey = 0xff0d;
constexpr std::uint32_t escape = 0xff1b;
constexpr std::uint32_t home = 0xff50;
constexpr std::uint32_t left = 0xff51;
constexpr std::uint32_t up = 0xff52;
constexpr std::uint32_t right = 0xff53;
constexpr std::uint32_t down = 0xff54;
constexpr std::uint32_t pageUp = 0xff55;
constexpr std::uint32_t pageDown = 0xff56;
constexpr std::uint32_t end = 0xff57;
constexpr std::uint32_t insert = 0xff63;
constexpr std::uint32_t help = 0xff6a;
constexpr std::uint32_t kpEnter = 0xff8d;
constexpr std::uint32_t kpHome = 0xff95;
constexpr std::uint32_t kpDelete = 0xff9f;
constexpr std::uint32_t kpMultiply = 0xffaa;
constexpr std::uint32_t kpDecimal = 0xffae;
constexpr std::uint32_t kpDivide = 0xffaf;
constexpr std::uint32_t kp0 = 0xffb0;
constexpr std::uint32_t kp9 = 0xffb9;
constexpr std::uint32_t kpEqual = 0xffbd;
constexpr std::uint32_t f1 = 0xffbe;
constexpr std::uint32_t f20 = 0xffd1;
constexpr std::uint32_t deleteKey = 0xffff;
} // namespace ks

bool isAcceptedKey(std::uint32_t k) {
    if (k >= 0x20 && k <= 0x7e) {
        // Printable ASCII: letters only in their lower-case form.
        return !(k >= 'A' && k <= 'Z');
    }
    switch (k) {
    case ks::backSpace:
    case ks::tab:
    case ks::returnKey:
    case ks::insert:
    case ks::help:
    case ks::kpEnter:
    case ks::kpEqual:
    case ks::deleteKey:
        return true;
    default:
        break;
    }
    return (k >= ks::home && k <= ks::end) || (k >= ks::kpHome && k <= ks::kpDelete) ||
           (k >= ks::kpMultiply && k <= ks::kp9) || (k >= ks::f1 && k <= ks::f20);
}

std::string keypadName(std::uint32_t k) {
    static const char* const navigation[] = {"Home",  "Left",    "Up",        "Right",
                                             "Down",  "Page Up", "Page Down", "End",
                                             "Begin", "Insert",  "Delete"};
    if (k >= ks::kpHome && k <= ks::kpDelete) {
        return std::string("Keypad ") + navigation[k - ks::kpHome];
    }
    if (k >= ks::kp0 && k <= ks::kp9) {
        return "Keypad " + std::to_string(k - ks::kp0);
    }
    switch (k) {
    case ks::kpEnter:
        return "Keypad Enter";
    case ks::kpEqual:
        return "Keypad =";
    case ks::kpDivide:
        return "Keypad /";
    case ks::kpDecimal:
        return "Keypad .";
    case ks::kpMultiply:
        return "Keypad *";
    case ks::kpMultiply + 1:
        return "Keypad +";
    case ks::kpMultiply + 2:
        return "Keypad ,";
    case ks::kpMultiply + 3:
        return "Keypad -";
    default:
        return {};
    }
}

std::string keyName(std::uint32_t k) {
    switch (k) {
    case ks::space:
        return "Space";
    case ks::backSpace:
        return "Backspace";
    case ks::tab:
        return "Tab";
    case ks::returnKey:
        return "Return";
    case ks::escape:
        return "Escape";
    case ks::home:
        return "Home";
    case ks::left:
        return "Left";
    case ks::up:
        return "Up";
    case ks::right:
        return "Right";
    case ks::down:
        return "Down";
    case ks::pageUp:
        return "Page Up";
    case ks::pageDown:
        return "Page Down";
    case ks::end:
        return "End";
    case ks::insert:
        return "Insert";
    case ks::help:
        return "Help";
    case ks::deleteKey:
        return "Delete";
    default:
        break;
    }
    if (k >= ks::f1 && k <= ks::f20) {
        return "F" + std::to_string(k - ks::f1 + 1);
    }
    if (std::string keypad = keypadName(k); !keypad.empty()) {
        return keypad;
    }
    if (k > 0x20 && k <= 0x7e) {
        return std::string(1, static_cast<char>(std::toupper(static_cast<int>(k))));
    }
    return "Key " + std::to_string(k);
}

// The keysym of a Qt key where the two numberings differ; printable keys share
// their Latin-1 values.
std::uint32_t keysymOfQtKey(int key, bool keypad) {
    if (keypad) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9) {
            return ks::kp0 + static_cast<std::uint32_t>(key - Qt::Key_0);
        }
        switch (key) {
        case Qt::Key_Enter:
            return ks::kpEnter;
        case Qt::Key_Asterisk:
            return ks::kpMultiply;
        case Qt::Key_Plus:
            return ks::kpMultiply + 1;
        case Qt::Key_Comma:
            return ks::kpMultiply + 2;
        case Qt::Key_Minus:
            return ks::kpMultiply + 3;
        case Qt::Key_Period:
            return ks::kpDecimal;
        case Qt::Key_Slash:
            return ks::kpDivide;
        case Qt::Key_Equal:
            return ks::kpEqual;
        default:
            break;
        }
    }
    if (key >= 0x20 && key <= 0x7e) {
        return static_cast<std::uint32_t>(key);
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F20) {
        return ks::f1 + static_cast<std::uint32_t>(key - Qt::Key_F1);
    }
    switch (key) {
    case Qt::Key_Backspace:
        return ks::backSpace;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return ks::tab;
    case Qt::Key_Return:
        return ks::returnKey;
    case Qt::Key_Enter:
        return ks::kpEnter;
    case Qt::Key_Escape:
        return ks::escape;
    case Qt::Key_Home:
        return ks::home;
    case Qt::Key_Left:
        return ks::left;
    case Qt::Key_Up:
        return ks::up;
    case Qt::Key_Right:
        return ks::right;
    case Qt::Key_Down:
        return ks::down;
    case Qt::Key_PageUp:
        return ks::pageUp;
    case Qt::Key_PageDown:
        return ks::pageDown;
    case Qt::Key_End:
        return ks::end;
    case Qt::Key_Insert:
        return ks::insert;
    case Qt::Key_Help:
        return ks::help;
    case Qt::Key_Delete:
        return ks::deleteKey;
    default:
        return 0;
    }
}

} // namespace

CaptureShortcut CaptureShortcut::defaultShortcut() {
    return {'f', kCtrl | kAlt | kSuper};
}

CaptureShortcut CaptureShortcut::fromKeysym(std::uint32_t keysym, Qt::KeyboardModifiers modifiers) {
    CaptureShortcut shortcut;
    shortcut.keyCode = (keysym >= 'A' && keysym <= 'Z') ? keysym + ('a' - 'A') : keysym;
    if (modifiers & Qt::ShiftModifier) {
        shortcut.modifiers |= kShift;
    }
    if (modifiers & Qt::ControlModifier) {
        shortcut.modifiers |= kCtrl;
    }
    if (modifiers & Qt::AltModifier) {
        shortcut.modifiers |= kAlt;
    }
    if (modifiers & Qt::MetaModifier) {
        shortcut.modifiers |= kSuper;
    }
    return shortcut;
}

CaptureShortcut CaptureShortcut::fromKeyEvent(const QKeyEvent& event) {
    std::uint32_t keysym = event.nativeVirtualKey();
    if (keysym == 0) {
        keysym = keysymOfQtKey(event.key(), event.modifiers() & Qt::KeypadModifier);
    }
    return fromKeysym(keysym, event.modifiers());
}

std::optional<std::string> CaptureShortcut::validationError() const {
    if ((modifiers & ~kAllowedModifiers) != 0 || (modifiers & kRequiredModifiers) == 0) {
        return shortcutmessages::kInvalidModifiers;
    }
    if (!isAcceptedKey(keyCode)) {
        return shortcutmessages::kInvalidKey;
    }
    return std::nullopt;
}

std::string CaptureShortcut::displayName() const {
    std::string name;
    if (modifiers & kCtrl) {
        name += "Ctrl+";
    }
    if (modifiers & kAlt) {
        name += "Alt+";
    }
    if (modifiers & kShift) {
        name += "Shift+";
    }
    if (modifiers & kSuper) {
        name += "Super+";
    }
    return name + keyName(keyCode);
}

std::string ShortcutPreference::encode() const {
    nlohmann::json json = {{"v", v}};
    if (shortcut) {
        json["shortcut"] = {{"keyCode", shortcut->keyCode}, {"modifiers", shortcut->modifiers}};
    }
    return json.dump();
}

std::optional<ShortcutPreference> ShortcutPreference::decode(const std::string& bytes) {
    auto parsed = parseJson(bytes);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const nlohmann::json& json = *parsed;
    auto version = json.find("v");
    if (version == json.end() || !version->is_number_integer()) {
        return std::nullopt;
    }
    ShortcutPreference preference;
    const auto v = version->get<std::int64_t>();
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    preference.v = static_cast<int>(v);
    auto stored = json.find("shortcut");
    if (stored == json.end() || stored->is_null()) {
        return preference;
    }
    auto field = [&](const char* key) -> std::optional<std::uint32_t> {
        if (!stored->is_object()) {
            return std::nullopt;
        }
        auto value = stored->find(key);
        if (value == stored->end() || !value->is_number_unsigned()) {
            return std::nullopt;
        }
        const auto number = value->get<std::uint64_t>();
        if (number > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(number);
    };
    auto keyCode = field("keyCode");
    auto modifiers = field("modifiers");
    if (!keyCode || !modifiers) {
        return std::nullopt;
    }
    preference.shortcut = CaptureShortcut{*keyCode, *modifiers};
    return preference;
}

std::string ShortcutError::description() const {
    if (auto invalid = std::get_if<Invalid>(&value)) {
        return invalid->message;
    }
    if (isRegistration()) {
        return shortcutmessages::kRegistration;
    }
    return shortcutmessages::kEventHandler;
}

PlatformError ShortcutError::platformForm() const {
    std::int64_t code = 0;
    if (auto registration = std::get_if<Registration>(&value)) {
        code = registration->status;
    } else if (auto handler = std::get_if<EventHandler>(&value)) {
        code = handler->status;
    }
    return {kShortcutErrorDomain, code, description()};
}

} // namespace snagreel::app
