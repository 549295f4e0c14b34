#include "EventPump.hpp"
#include "SnagreelApp/Linux/PortalHotKeyBackend.hpp"
#include "SnagreelApp/Linux/X11HotKeyBackend.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "devsupport/TestXServer.hpp"
#include "support/PrivateBus.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

namespace snagreel::app {
namespace {

using Shortcut = CaptureShortcut;
constexpr std::uint32_t kCtrlAltSuper = Shortcut::kCtrl | Shortcut::kAlt | Shortcut::kSuper;

class MemoryStorage final : public ShortcutStorage {
public:
    std::optional<std::string> read(const std::string& key) const override {
        auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    Result<void> write(const std::string& key, const std::string& bytes) override {
        if (failWrites) {
            return Unexpected{
                Error(PlatformError{"QSettings", 1, "The preferences file could not be written."})};
        }
        values[key] = bytes;
        return {};
    }
    std::optional<Shortcut> stored() const {
        return ShortcutPreference::decode(values.at(GlobalHotKey::kPreferenceKey))->shortcut;
    }
    std::map<std::string, std::string> values;
    bool failWrites = false;
};

// Records what is registered; refuses what the test says another program holds.
class FakeBackend final : public HotKeyBackend {
public:
    std::int32_t handlerStatus() const override { return kOk; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    std::int32_t registerShortcut(const Shortcut& shortcut, std::uint32_t id) override {
        ++calls;
        if (shortcut == taken) {
            return kTaken;
        }
        live[id] = shortcut;
        return kOk;
    }
    std::int32_t unregisterShortcut(std::uint32_t id) override {
        ++calls;
        live.erase(id);
        return kOk;
    }
    std::vector<Shortcut> liveShortcuts() const {
        std::vector<Shortcut> all;
        for (const auto& [id, shortcut] : live) {
            all.push_back(shortcut);
        }
        return all;
    }
    std::map<std::uint32_t, Shortcut> live;
    std::optional<Shortcut> taken;
    int calls = 0;
};

TEST(CaptureShortcutRules, ValidatesAndNamesKeysymCombinations) {
    EXPECT_EQ(Shortcut({'f', Shortcut::kShift}).validationError(),
              shortcutmessages::kInvalidModifiers);
    EXPECT_EQ(Shortcut({'f', Shortcut::kSuper | 0x1}).validationError(),
              shortcutmessages::kInvalidModifiers);
    EXPECT_EQ(Shortcut({0xff1b, Shortcut::kSuper}).validationError(),
              shortcutmessages::kInvalidKey); // Escape
    EXPECT_EQ(Shortcut({0xffe3, Shortcut::kSuper}).validationError(),
              shortcutmessages::kInvalidKey); // Control_L
    EXPECT_EQ(Shortcut({'F', Shortcut::kSuper}).validationError(), shortcutmessages::kInvalidKey);
    for (std::uint32_t accepted :
         {0x66u, 0x31u, 0x2fu, 0xffcau /* F13 */, 0xff8du /* KP_Enter */, 0xffffu}) {
        EXPECT_EQ(Shortcut({accepted, Shortcut::kSuper | Shortcut::kShift}).validationError(),
                  std::nullopt)
            << accepted;
    }

    EXPECT_EQ(Shortcut::defaultShortcut().displayName(), "Ctrl+Alt+Super+F");
    EXPECT_EQ(Shortcut({0xffbe, Shortcut::kShift | Shortcut::kSuper}).displayName(),
              "Shift+Super+F1");
    EXPECT_EQ(Shortcut({0xff0d, Shortcut::kSuper}).displayName(), "Super+Return");
    EXPECT_EQ(Shortcut({0xff8d, Shortcut::kAlt}).displayName(), "Alt+Keypad Enter");

    // The recorder builds combinations from key events; Shift+F must not become a
    // different stored key than F, and Meta is the Super key.
    QKeyEvent press(QEvent::KeyPress, Qt::Key_F,
                    Qt::ShiftModifier | Qt::MetaModifier | Qt::KeypadModifier);
    EXPECT_EQ(Shortcut::fromKeyEvent(press), Shortcut({'f', Shortcut::kShift | Shortcut::kSuper}));
}

TEST(CaptureShortcutRules, StoredPreferenceDecidesTheStartingShortcut) {
    auto startWith = [](std::optional<std::string> stored) {
        MemoryStorage storage;
        if (stored) {
            storage.values[GlobalHotKey::kPreferenceKey] = *stored;
        }
        auto backend = std::make_unique<FakeBackend>();
        FakeBackend* fake = backend.get();
        GlobalHotKey hotKey(storage, std::move(backend));
        EXPECT_TRUE(storage.values.size() == (stored ? 1u : 0u)) << "nothing is written back";
        return std::pair(hotKey.shortcut(), fake->liveShortcuts());
    };
    const Shortcut f1{0xffbe, Shortcut::kCtrl};
    EXPECT_EQ(startWith(std::nullopt).first, Shortcut::defaultShortcut());
    EXPECT_EQ(startWith(ShortcutPreference{1, f1}.encode()),
              std::pair(std::optional(f1), std::vector{f1}));
    // Chosen to have none: nothing registered, the default not restored.
    EXPECT_EQ(startWith(R"({"v":1})"),
              std::pair(std::optional<Shortcut>(), std::vector<Shortcut>{}));
    EXPECT_EQ(startWith(R"({"v":2})").first, Shortcut::defaultShortcut());
    EXPECT_EQ(startWith("\xff not json").first, Shortcut::defaultShortcut());
    EXPECT_EQ(startWith(ShortcutPreference{1, Shortcut{'f', Shortcut::kShift}}.encode()).first,
              Shortcut::defaultShortcut());
}

TEST(GlobalHotKeyChanges, AFailedChangeLeavesThePreviousShortcutLiveAndStored) {
    MemoryStorage storage;
    auto backend = std::make_unique<FakeBackend>();
    FakeBackend* fake = backend.get();
    GlobalHotKey hotKey(storage, std::move(backend));
    int saves = 0;
    hotKey.action = [&] { ++saves; };
    const Shortcut g{'g', kCtrlAltSuper};
    const Shortcut h{'h', kCtrlAltSuper};
    ASSERT_TRUE(hotKey.setShortcut(g));
    ASSERT_EQ(storage.stored(), g);

    // Same live combination again: no system call.
    const int calls = fake->calls;
    EXPECT_TRUE(hotKey.setShortcut(g));
    EXPECT_EQ(fake->calls, calls);

    // Held by another program.
    fake->taken = h;
    auto refused = hotKey.setShortcut(h);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().as<ShortcutError>()->isRegistration());
    EXPECT_EQ(hotKey.lastError(), shortcutmessages::kRegistration);
    EXPECT_EQ(fake->liveShortcuts(), std::vector{g});

    // The preference cannot be written: the new combination must not stay live
    // while the stored one is the old.
    fake->taken.reset();
    storage.failWrites = true;
    auto unstored = hotKey.setShortcut(h);
    ASSERT_FALSE(unstored);
    EXPECT_EQ(hotKey.lastError(), "The preferences file could not be written.");
    EXPECT_EQ(fake->liveShortcuts(), std::vector{g});
    EXPECT_EQ(hotKey.shortcut(), g);
    EXPECT_FALSE(hotKey.setShortcut(std::nullopt));
    EXPECT_EQ(fake->liveShortcuts(), std::vector{g});
    EXPECT_EQ(storage.stored(), g);
    storage.failWrites = false;

    ASSERT_EQ(fake->live.size(), 1u);
    EXPECT_TRUE(hotKey.received(fake->live.begin()->first));
    EXPECT_EQ(saves, 1);

    EXPECT_EQ(hotKey.setShortcut(Shortcut{'x', Shortcut::kShift}).error().description(),
              shortcutmessages::kInvalidModifiers);
    ASSERT_TRUE(hotKey.setShortcut(std::nullopt));
    EXPECT_TRUE(fake->live.empty());
    EXPECT_EQ(storage.values[GlobalHotKey::kPreferenceKey], R"({"v":1})");
}

TEST(GlobalHotKeyChanges, ThePressGoesToTheRecorderWhileItListens) {
    MemoryStorage storage;
    auto backend = std::make_unique<FakeBackend>();
    FakeBackend* fake = backend.get();
    GlobalHotKey hotKey(storage, std::move(backend));
    int saves = 0;
    std::vector<Shortcut> accepted;
    hotKey.action = [&] { ++saves; };
    const QUuid session = QUuid::createUuid();
    hotKey.beginRecording(
        {session, [&](const Shortcut& shortcut) { accepted.push_back(shortcut); }});
    const std::uint32_t id = fake->live.begin()->first;
    EXPECT_TRUE(hotKey.received(id));
    EXPECT_FALSE(hotKey.received(id + 1000)) << "a stale registration";
    hotKey.endRecording(QUuid::createUuid());
    EXPECT_TRUE(hotKey.received(id));
    hotKey.endRecording(session);
    EXPECT_TRUE(hotKey.received(id));
    EXPECT_EQ(accepted, (std::vector{Shortcut::defaultShortcut(), Shortcut::defaultShortcut()}));
    EXPECT_EQ(saves, 1);
}

TEST(GlobalHotKeyWayland, ADesktopWithoutTheShortcutPortalSaysToBindTheCommand) {
    std::string whyNot;
    auto bus = testing::PrivateBus::start(&whyNot);
    if (!bus) {
        GTEST_SKIP() << whyNot;
    }
    MemoryStorage storage;
    GlobalHotKey hotKey(storage, makeWaylandHotKeyBackend(QDBusConnection::connectToBus(
                                     QString::fromStdString(bus->address()), "no-portal")));
    EXPECT_FALSE(hotKey.isLive());
    ASSERT_TRUE(hotKey.unavailableReason());
    EXPECT_NE(hotKey.unavailableReason()->find(kSaveCommand), std::string::npos);
    EXPECT_EQ(hotKey.lastError(), hotKey.unavailableReason());
    auto change = hotKey.setShortcut(Shortcut{'g', kCtrlAltSuper});
    ASSERT_FALSE(change);
    EXPECT_TRUE(change.error().as<ShortcutError>()->isEventHandler());
    EXPECT_TRUE(storage.values.empty());

    EXPECT_EQ(portalTrigger(Shortcut::defaultShortcut()), "CTRL+ALT+LOGO+f");
    EXPECT_EQ(portalTrigger(Shortcut{0xffbe, Shortcut::kShift | Shortcut::kSuper}),
              "SHIFT+LOGO+F1");
}

// ---- the desktop portal of the mock Wayland session (devsupport/wayland-session mock)

class MockDesktop {
public:
    static bool running() { return qgetenv("SNAGREEL_WAYLAND_SESSION") == "mock"; }

    QDBusMessage control(const char* method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.impl.portal.desktop.snagreeltest", "/org/freedesktop/portal/desktop",
            "org.freedesktop.impl.portal.desktop.snagreeltest.Control", method);
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call);
    }
    // Shortcut id -> the trigger asked for, of every open shortcut session.
    QJsonObject bound() {
        const QString state = control("GetState").arguments().value(0).toString();
        return QJsonDocument::fromJson(state.toUtf8()).object().value("bound").toObject();
    }
    int press() { return control("Press", {QString("save-clip")}).arguments().value(0).toInt(); }
};

TEST(GlobalHotKeyPortalMock, BindsThroughTheDesktopAndItsPressSavesAClip) {
    if (!MockDesktop::running()) {
        GTEST_SKIP() << "needs devsupport/wayland-session mock";
    }
    MockDesktop desktop;
    MemoryStorage storage;
    GlobalHotKey hotKey(storage, makeHotKeyBackend({"", "", "wayland"}));
    int saves = 0;
    hotKey.action = [&] { ++saves; };
    ASSERT_FALSE(hotKey.unavailableReason());
    ASSERT_TRUE(testing::pumpUntil([&] { return hotKey.assignedTrigger().has_value(); }));
    EXPECT_EQ(*hotKey.assignedTrigger(), "CTRL+ALT+LOGO+f") << "the preferred one, granted";
    EXPECT_EQ(desktop.bound(), QJsonObject({{"save-clip", "CTRL+ALT+LOGO+f"}}));
    EXPECT_EQ(desktop.press(), 1);
    ASSERT_TRUE(testing::pumpUntil([&] { return saves == 1; }));

    // The desktop picks another key: that one is shown; the old binding is gone.
    desktop.control("AssignTrigger", {QString("Ctrl+Alt+F9")});
    int changes = 0;
    QObject::connect(&hotKey, &GlobalHotKey::assignedTriggerChanged, [&] { ++changes; });
    ASSERT_TRUE(hotKey.setShortcut(Shortcut{'g', kCtrlAltSuper}));
    ASSERT_TRUE(testing::pumpUntil([&] { return changes > 0; }));
    EXPECT_EQ(hotKey.assignedTrigger(), "Ctrl+Alt+F9");
    ASSERT_TRUE(testing::pumpUntil([&] { return desktop.bound().size() == 1; }));
    EXPECT_EQ(desktop.bound(), QJsonObject({{"save-clip", "CTRL+ALT+LOGO+g"}}));
    EXPECT_EQ(desktop.press(), 1);
    ASSERT_TRUE(testing::pumpUntil([&] { return saves == 2; }));

    // Refused by the desktop (the user cancelled its dialog): said, and no longer live.
    desktop.control("RefuseBind");
    ASSERT_TRUE(hotKey.setShortcut(Shortcut{'h', kCtrlAltSuper}));
    ASSERT_TRUE(testing::pumpUntil([&] { return hotKey.registrationStatus() != 0; }));
    EXPECT_EQ(hotKey.lastError(), shortcutmessages::kSavedUnavailable);
    EXPECT_FALSE(hotKey.isLive());
    EXPECT_FALSE(hotKey.assignedTrigger());
}

// ---- the real thing: key grabs on a private X server, keys pressed through XTEST

using testing::pumpFor;
using testing::pumpUntil;

// Another client of the same server: types through XTEST and can hold grabs.
class OtherClient {
public:
    explicit OtherClient(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        symbols_ = xcb_key_symbols_alloc(connection_);
    }
    ~OtherClient() {
        xcb_key_symbols_free(symbols_);
        xcb_disconnect(connection_);
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, keysym);
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    }
    void key(std::uint8_t type, xcb_keysym_t keysym) {
        xcb_test_fake_input(connection_, type, keycode(keysym), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
        sync();
    }
    // Ctrl+Alt+Super held around one press of the key, which `whileDown` may
    // keep down for a while.
    void chord(xcb_keysym_t keysym, const std::function<void()>& whileDown = {}) {
        const xcb_keysym_t modifiers[] = {0xffe3 /* Control_L */, 0xffe9 /* Alt_L */,
                                          0xffeb /* Super_L */};
        for (auto modifier : modifiers) {
            key(XCB_KEY_PRESS, modifier);
        }
        key(XCB_KEY_PRESS, keysym);
        if (whileDown) {
            whileDown();
        }
        key(XCB_KEY_RELEASE, keysym);
        for (auto modifier : modifiers) {
            key(XCB_KEY_RELEASE, modifier);
        }
    }
    bool grab(xcb_keysym_t keysym, std::uint16_t modifiers) {
        auto cookie = xcb_grab_key_checked(connection_, 0, root_, modifiers, keycode(keysym),
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
        std::free(error);
        return error == nullptr;
    }
    // Makes key code `code` type `keysym` (nothing for 0), as a layout switch would.
    void setKey(xcb_keycode_t code, xcb_keysym_t keysym) {
        const xcb_keysym_t symbols[2] = {keysym, keysym ? keysym - 0x20 : 0};
        xcb_change_keyboard_mapping(connection_, 1, code, 2, symbols);
        sync();
        xcb_key_symbols_free(symbols_);
        symbols_ = xcb_key_symbols_alloc(connection_);
    }
    std::uint16_t modifierState() {
        auto* reply =
            xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
        const std::uint16_t mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }
    void sync() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_key_symbols_t* symbols_ = nullptr;
};

class X11GlobalShortcut : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server_ = devsupport::TestXServer::xvfb(&whyNot);
        if (!server_) {
            GTEST_SKIP() << whyNot;
        }
        client_ = std::make_unique<OtherClient>(server_->display());
        hotKey_ =
            std::make_unique<GlobalHotKey>(storage_, makeX11HotKeyBackend(server_->display()));
        hotKey_->action = [this] { ++saves_; };
        ASSERT_TRUE(hotKey_->isLive()) << hotKey_->lastError().value_or("");
    }

    // Waits for the count to reach `expected`, then a little longer so that an extra
    // press would show.
    int savesAfterReaching(int expected) {
        pumpUntil([&] { return saves_ >= expected; });
        pumpFor(std::chrono::milliseconds(150));
        return saves_;
    }

    MemoryStorage storage_;
    std::unique_ptr<devsupport::TestXServer> server_;
    std::unique_ptr<OtherClient> client_;
    std::unique_ptr<GlobalHotKey> hotKey_;
    int saves_ = 0;
};

TEST_F(X11GlobalShortcut, EachPressSavesOnceHoweverLongTheKeyIsHeldAndWithNumLockOn) {
    client_->chord('f');
    EXPECT_EQ(savesAfterReaching(1), 1);

    // Held past the server's auto-repeat delay (660 ms by default), the press
    // repeats.
    client_->chord('f', [] { pumpFor(std::chrono::milliseconds(1000)); });
    EXPECT_EQ(savesAfterReaching(2), 2);

    client_->key(XCB_KEY_PRESS, 0xff7f); // Num_Lock
    client_->key(XCB_KEY_RELEASE, 0xff7f);
    ASSERT_NE(client_->modifierState() & XCB_MOD_MASK_2, 0) << "Num Lock is on";
    client_->chord('f');
    EXPECT_EQ(savesAfterReaching(3), 3);

    // Another key with the same modifiers is not ours.
    client_->chord('g');
    client_->chord('f');
    EXPECT_EQ(savesAfterReaching(4), 4);
}

TEST_F(X11GlobalShortcut, ACombinationHeldByAnotherClientIsRefusedAndTheOldOneStays) {
    ASSERT_TRUE(client_->grab('g', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4));
    auto refused = hotKey_->setShortcut(Shortcut{'g', kCtrlAltSuper});
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().as<ShortcutError>()->isRegistration());
    EXPECT_EQ(hotKey_->lastError(), shortcutmessages::kRegistration);
    EXPECT_EQ(hotKey_->shortcut(), Shortcut::defaultShortcut());
    EXPECT_TRUE(storage_.values.empty());

    client_->chord('f');
    EXPECT_EQ(savesAfterReaching(1), 1);

    // A free combination replaces it, and the old one is released.
    ASSERT_TRUE(hotKey_->setShortcut(Shortcut{'h', kCtrlAltSuper}));
    EXPECT_TRUE(client_->grab('f', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4));
    client_->chord('h');
    EXPECT_EQ(savesAfterReaching(2), 2);
}

TEST_F(X11GlobalShortcut, TheKeyIsGrabbedAgainWhenTheKeyboardMappingChanges) {
    // Mapping changes reach the shortcut's own connection in their own time.
    auto pressedEventually = [&] {
        const int before = saves_;
        return pumpUntil([&] {
            client_->chord('f');
            pumpFor(std::chrono::milliseconds(20));
            return saves_ > before;
        });
    };
    const xcb_keycode_t original = client_->keycode('f');
    client_->setKey(original, 0);
    client_->setKey(250, 'f');
    EXPECT_TRUE(pressedEventually());

    // No key types it any more: the shortcut says so, and recovers with the key.
    client_->setKey(250, 0);
    EXPECT_TRUE(pumpUntil([&] { return !hotKey_->isLive(); }));
    EXPECT_EQ(hotKey_->lastError(), shortcutmessages::kSavedUnavailable);
    client_->setKey(original, 'f');
    EXPECT_TRUE(pumpUntil([&] { return hotKey_->isLive(); }));
    EXPECT_EQ(hotKey_->lastError(), std::nullopt);
    EXPECT_TRUE(pressedEventually());
}

} // namespace
} // namespace snagreel::app
