#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/Linux/PortalHotKeyBackend.hpp"
#include "SnagreelApp/Linux/X11HotKeyBackend.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/Ui/DesktopShell.hpp"
#include "SnagreelApp/Ui/MainWindow.hpp"
#include "SnagreelApp/Ui/ReplayPlayer.hpp"
#include "SnagreelApp/Ui/ReportPreview.hpp"
#include "SnagreelApp/Ui/SettingsWindow.hpp"
#include "SnagreelApp/Ui/ShortcutField.hpp"
#include "tests/support/TemporaryDirectory.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <fstream>

namespace snagreel::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCaptureID = "0b0e3f5c-2d7a-4c61-9a53-5d1f0f0e7a11";

// A paused recorder (no engine is ever built) over a captures folder holding
// one capture with one report.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture = directory.path() / "Captures" / kCaptureID;
        fs::create_directories(capture);
        std::ofstream(capture / "clip.mp4") << "not a movie";
        std::ofstream(capture / "report-local.md")
            << "# Checkout froze\n\nSee [the moment](clip.mp4#t=12.5).\n";
        settings = std::make_unique<QSettings>(
            QString::fromStdString((directory.path() / "prefs.ini").string()),
            QSettings::IniFormat);
        settings->setValue(AppState::kRecordingEnabledKey, false);
        CaptureControllerEnvironment recorderEnvironment;
        recorderEnvironment.sleep = executorSleep(executor);
        recorderEnvironment.factory = [](auto&&...) -> std::shared_ptr<CaptureSession> {
            return nullptr;
        };
        AppStateEnvironment environment;
        environment.recorder =
            CaptureController::create(executor, CaptureConfiguration{}, recorderEnvironment);
        environment.settings = settings.get();
        environment.captureRoot = directory.path() / "Captures";
        environment.workspace = directory.path() / "engines";
        environment.confirmQuitWithoutSaving = [this](std::function<void(bool)> answer) {
            quitAnswers.push_back(std::move(answer));
        };
        environment.askForContext = [this](const QString&,
                                           std::function<void(std::optional<QString>)> answer) {
            contextAnswers.push_back(std::move(answer));
        };
        state = std::make_unique<AppState>(std::move(environment));
    }

    testing::TemporaryDirectory directory;
    fs::path capture;
    QtMainExecutor executor{nullptr};
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<AppState> state;
    std::vector<std::function<void(bool)>> quitAnswers;
    std::vector<std::function<void(std::optional<QString>)>> contextAnswers;
};

TEST_F(ShellTest, TrayMenuAndSettingsFollowThePausedRecorder) {
    DesktopShell shell(*state, [] { return true; });
    EXPECT_TRUE(shell.hasTray());
    EXPECT_EQ(shell.mainWindow(), nullptr);
    emit shell.trayMenu()->aboutToShow();
    QStringList items;
    for (QAction* action : shell.trayMenu()->actions())
        if (!action->isSeparator() && !action->menu())
            items << action->text() + (action->isEnabled() ? "" : " (off)");
    EXPECT_TRUE(items.contains("Save last 30 seconds (off)")) << items.join('|').toStdString();
    EXPECT_TRUE(items.contains("Resume rewind"));
    EXPECT_FALSE(items.contains("Pause rewind"));

    shell.showPreferences();
    ASSERT_NE(shell.settingsWindow(), nullptr);
    EXPECT_EQ(shell.settingsWindow()->windowTitle(), "Snagreel Settings");
    EXPECT_EQ(shell.settingsWindow()->size(), QSize(470, 450));
    auto* pause = shell.settingsWindow()->findChild<QPushButton*>();
    ASSERT_NE(pause, nullptr);
    SettingsWindow* first = shell.settingsWindow();
    shell.showPreferences();
    EXPECT_EQ(shell.settingsWindow(), first);
}

// The status line changes every second; rebuilding the open menu for it would
// close the menu under the user's pointer.
TEST_F(ShellTest, AnOpenTrayMenuStaysOpenWhileTheStatusChanges) {
    DesktopShell shell(*state, [] { return true; });
    QMenu* menu = shell.trayMenu();
    menu->popup(QPoint(100, 100));
    ASSERT_TRUE(menu->isVisible());
    const QList<QAction*> items = menu->actions();
    emit state->recorderChanged();
    emit state->stateChanged();
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->actions(), items);
    menu->hide();
}

// Where the desktop lets no program bind a key: the reason, and the command to bind
// in its own settings, copyable.
TEST_F(ShellTest, SettingsOfferTheSaveCommandWhereNoShortcutCanBeBound) {
    SettingsShortcutStorage storage(*settings);
    GlobalHotKey hotKey(storage, makeUnavailableHotKeyBackend(kNoPortalShortcutReason));
    SettingsWindow window(*state, &hotKey, nullptr);
    auto* command = window.findChild<QLineEdit*>("saveCommand");
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->text(), "snagreel --save");
    EXPECT_TRUE(command->isReadOnly());
    QPushButton* copy = nullptr;
    for (auto* button : window.findChildren<QPushButton*>())
        if (button->text() == "Copy")
            copy = button;
    ASSERT_NE(copy, nullptr);
    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "snagreel --save");
    QStringList labels;
    for (auto* label : window.findChildren<QLabel*>())
        if (!label->isHidden())
            labels << label->text();
    EXPECT_TRUE(labels.contains(kNoPortalShortcutReason)) << labels.join('|').toStdString();
    EXPECT_TRUE(window.shortcutRecorder()->isHidden());
}

TEST_F(ShellTest, WithoutTrayTheEditorOpensShowsTheReportAndKeepsUnsavedEdits) {
    DesktopShell shell(*state, [] { return false; });
    MainWindow* window = shell.mainWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Snagreel");
    EXPECT_EQ(window->minimumSize(), QSize(740, 620));

    ASSERT_TRUE(state->select(kCaptureID));
    const QTextDocument* rendered = window->preview()->document();
    EXPECT_EQ(rendered->begin().text(), "Checkout froze");
    EXPECT_EQ(rendered->begin().blockFormat().headingLevel(), 1);

    // The player holds the selected capture's clip, and the report's clip link
    // lands on it.
    EXPECT_EQ(window->player()->clip(), capture / "clip.mp4");
    window->preview()->activateLink(QUrl("clip.mp4#t=12.5"));
    EXPECT_TRUE(window->player()->isVisible());

    // Closing the only window is a quit request. An edit that cannot be saved keeps
    // the window open behind one (non-blocking) alert however often the user closes;
    // "Cancel" keeps running, and once the report saves the quit goes through.
    // A report swapped for a symbolic link is never written through.
    int quits = 0;
    QObject::connect(&shell, &DesktopShell::quitApproved, [&quits] { ++quits; });
    fs::rename(capture / "report-local.md", capture / "moved.md");
    fs::create_symlink(capture / "moved.md", capture / "report-local.md");
    window->setEditing(true);
    state->setMarkdown("# Checkout froze\n\nedited");
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(state->saveError().isEmpty());
    ASSERT_EQ(quitAnswers.size(), 1u);
    quitAnswers[0](false);
    EXPECT_EQ(quits, 0);
    fs::remove(capture / "report-local.md");
    fs::rename(capture / "moved.md", capture / "report-local.md");
    EXPECT_FALSE(window->close());
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(quitAnswers.size(), 1u);
}

TEST_F(ShellTest, ContextAnswerAppliesOnlyToTheCaptureItWasAskedFor) {
    const char* otherID = "7d1c2b9a-5e4f-4a3b-8c2d-1e0f9a8b7c6d";
    fs::create_directories(capture.parent_path() / otherID);
    std::ofstream(capture.parent_path() / otherID / "clip.mp4") << "not a movie";
    std::ofstream(capture.parent_path() / otherID / "report-local.md") << "# Other\n";
    state->refreshCaptures();
    ASSERT_TRUE(state->select(kCaptureID));

    state->editContext();
    state->editContext();
    ASSERT_EQ(contextAnswers.size(), 2u);
    contextAnswers[0](std::nullopt);
    EXPECT_EQ(state->intent(), "");
    contextAnswers[1](QString("checking out"));
    EXPECT_EQ(state->intent(), "checking out");

    // A prompt left open while the user moved on does not write into the other capture.
    state->editContext();
    ASSERT_TRUE(state->select(otherID));
    contextAnswers.back()(QString("late answer"));
    EXPECT_EQ(state->intent(), "");
    ASSERT_TRUE(state->select(kCaptureID));
    EXPECT_EQ(state->intent(), "checking out");
}

} // namespace
} // namespace snagreel::app
