#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/Ui/ShortcutField.hpp"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <map>

namespace snagreel::app {
namespace {

class MemoryStorage final : public ShortcutStorage {
public:
    std::optional<std::string> read(const std::string& key) const override {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    Result<void> write(const std::string& key, const std::string& bytes) override {
        values[key] = bytes;
        return {};
    }
    std::map<std::string, std::string> values;
};

// Accepts every registration; presses are delivered by calling onPressed.
class AcceptingBackend final : public HotKeyBackend {
public:
    std::int32_t handlerStatus() const override { return kOk; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    std::int32_t registerShortcut(const CaptureShortcut&, std::uint32_t id) override {
        live = id;
        return kOk;
    }
    std::int32_t unregisterShortcut(std::uint32_t) override { return kOk; }
    std::uint32_t live = 0;
};

class ShortcutFieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<AcceptingBackend>();
        backend = owned.get();
        hotKey = std::make_unique<GlobalHotKey>(storage, std::move(owned));
        hotKey->action = [this] { ++saves; };
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        before = new QLineEdit(window.get());
        recorder = new ShortcutRecorder(*hotKey, window.get());
        after = new QLineEdit(window.get());
        layout->addWidget(before);
        layout->addWidget(recorder);
        layout->addWidget(after);
        window->show();
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        field = recorder->field();
    }

    void startRecording() {
        QTest::mouseClick(field, Qt::LeftButton);
        ASSERT_TRUE(field->isRecording());
        ASSERT_EQ(field->displayText(), "Press shortcut…");
    }

    MemoryStorage storage;
    AcceptingBackend* backend = nullptr;
    std::unique_ptr<GlobalHotKey> hotKey;
    std::unique_ptr<QWidget> window;
    QLineEdit* before = nullptr;
    QLineEdit* after = nullptr;
    ShortcutRecorder* recorder = nullptr;
    ShortcutField* field = nullptr;
    int saves = 0;
};

TEST_F(ShortcutFieldTest, ModifiersAndRepeatsWaitForTheKeyThenTheCombinationIsTaken) {
    EXPECT_EQ(field->displayText(), "Ctrl+Alt+Super+F");
    startRecording();
    QTest::keyPress(field, Qt::Key_Control, Qt::ControlModifier);
    QTest::keyPress(field, Qt::Key_Alt, Qt::ControlModifier | Qt::AltModifier);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_G, Qt::ControlModifier | Qt::AltModifier, "g", true);
    QApplication::sendEvent(field, &repeat);
    EXPECT_TRUE(field->isRecording());
    EXPECT_EQ(hotKey->shortcut(), CaptureShortcut::defaultShortcut());

    QTest::keyClick(field, Qt::Key_G, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(field->isRecording());
    EXPECT_FALSE(hotKey->isRecording());
    EXPECT_FALSE(field->hasFocus());
    EXPECT_EQ(field->displayText(), "Ctrl+Alt+G");
    EXPECT_EQ(recorder->errorText(), "");

    // Clear empties it and disables itself; Reset brings the default back.
    recorder->clearButton()->click();
    EXPECT_EQ(field->displayText(), "Click to record");
    EXPECT_FALSE(recorder->clearButton()->isEnabled());
    recorder->resetButton()->click();
    EXPECT_EQ(hotKey->shortcut(), CaptureShortcut::defaultShortcut());
}

TEST_F(ShortcutFieldTest, RefusalsEscapeTabAndFocusLossLeaveTheShortcut) {
    const auto original = hotKey->shortcut();

    startRecording();
    QTest::keyClick(field, Qt::Key_G, Qt::ShiftModifier);
    EXPECT_FALSE(field->isRecording());
    EXPECT_EQ(hotKey->shortcut(), original);
    EXPECT_EQ(recorder->errorText(), shortcutmessages::kInvalidModifiers);

    startRecording();
    EXPECT_EQ(recorder->errorText(), "");
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(field->isRecording());

    startRecording();
    QTest::keyClick(field, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_FALSE(field->isRecording());
    EXPECT_TRUE(before->hasFocus());

    startRecording();
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_FALSE(field->isRecording());
    EXPECT_TRUE(recorder->clearButton()->hasFocus());

    startRecording();
    after->setFocus();
    EXPECT_FALSE(field->isRecording());
    EXPECT_FALSE(hotKey->isRecording());

    // The registered combination pressed while recording is taken as the
    // answer and saves no clip.
    startRecording();
    backend->onPressed(backend->live);
    EXPECT_FALSE(field->isRecording());
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(hotKey->shortcut(), original);
    backend->onPressed(backend->live);
    EXPECT_EQ(saves, 1);
}

TEST_F(ShortcutFieldTest, IsAnAccessibleButtonThatStartsRecording) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(field);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::Button);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Capture shortcut");
    ASSERT_NE(accessible->actionInterface(), nullptr);
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(field->isRecording());
    EXPECT_EQ(field->sizeHint(), QSize(225, 30));
}

} // namespace
} // namespace snagreel::app
