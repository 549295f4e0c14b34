#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"
#include "SnagreelApp/Ui/DesktopShell.hpp"
#include "SnagreelApp/Ui/MainWindow.hpp"
#include "SnagreelApp/Ui/ReplayPlayer.hpp"
#include "SnagreelApp/Ui/ReportPreview.hpp"
#include "SnagreelApp/Ui/SettingsWindow.hpp"
#include "tests/support/TemporaryDirectory.hpp"

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
        environment.confirmQuitWithoutSaving = [this] {
            ++quitQuestions;
            return false;
        };
        state = std::make_unique<AppState>(std::move(environment));
    }

    testing::TemporaryDirectory directory;
    fs::path capture;
    QtMainExecutor executor{nullptr};
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<AppState> state;
    int quitQuestions = 0;
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

    // An edit that cannot be saved keeps the window open; once it can, it closes.
    // A report swapped for a symbolic link is never written through.
    fs::rename(capture / "report-local.md", capture / "moved.md");
    fs::create_symlink(capture / "moved.md", capture / "report-local.md");
    window->setEditing(true);
    state->setMarkdown("# Checkout froze\n\nedited");
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(state->saveError().isEmpty());
    EXPECT_EQ(quitQuestions, 1);
    fs::remove(capture / "report-local.md");
    fs::rename(capture / "moved.md", capture / "report-local.md");
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
}

} // namespace
} // namespace snagreel::app
