#include "SnagreelApp/Ui/RecorderMenu.hpp"
#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QMenu>

#include <gtest/gtest.h>

namespace snagreel::app {
namespace {

// Visible items as "text" or "text (off)", separators and the submenu left out.
QStringList shown(const QMenu& menu) {
    QStringList items;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator() || action->menu())
            continue;
        items << action->text() + (action->isEnabled() ? QString() : QStringLiteral(" (off)"));
    }
    return items;
}

TEST(RecorderMenu, ItemsFollowTheRecorderState) {
    QMenu menu;
    RecorderMenuState recording;
    recording.status = "Recording";
    recording.shortcutName = "Ctrl+Alt+Super+F";
    recording.canCapture = true;
    recording.lookback = 60;
    recording.desiredRecording = true;
    int captured = 0;
    bool lastWriteReport = false;
    RecorderMenuActions actions;
    actions.capture = [&](bool writeReport) {
        ++captured;
        lastWriteReport = writeReport;
    };
    fillRecorderMenu(menu, recording, actions);
    EXPECT_EQ(shown(menu),
              QStringList({"Recording (off)", "Save last 60 seconds\tCtrl+Alt+Super+F",
                           "Save clip without a report", "Open Clips Folder", "Open Snagreel",
                           "Settings…", "Pause rewind", "Quit Snagreel"}));
    menu.actions().at(2)->trigger();
    EXPECT_EQ(captured, 1);
    EXPECT_FALSE(lastWriteReport);

    // Refilling replaces the items; a failed recorder that needs access offers
    // both ways out and cannot save.
    RecorderMenuState failed;
    failed.status = "Screen access is needed";
    failed.shortcutUnavailable = true;
    failed.desiredRecording = true;
    failed.canRetryRecording = true;
    failed.needsScreenAccess = true;
    fillRecorderMenu(menu, failed, {});
    EXPECT_EQ(shown(menu),
              QStringList({"Screen access is needed (off)",
                           "Shortcut unavailable — choose another in Settings (off)",
                           "Save last 30 seconds (off)", "Save clip without a report (off)",
                           "Open Clips Folder", "Open Snagreel", "Settings…", "Pause rewind",
                           "Try recording again", "Screen access settings", "Quit Snagreel"}));

    RecorderMenuState paused;
    paused.status = "Paused";
    paused.hosted = true;
    fillRecorderMenu(menu, paused, {});
    const QStringList items = shown(menu);
    EXPECT_TRUE(items.contains("Resume rewind"));
    EXPECT_TRUE(items.contains("Your reports ↗"));
    EXPECT_TRUE(items.contains("Sign in for reports…"));
    EXPECT_FALSE(items.contains("Open latest report ↗"));
}

TEST(RecorderMenu, ClipLengthChoiceAndTrayFaces) {
    QMenu menu;
    int chosen = 0;
    RecorderMenuActions actions;
    actions.setLookback = [&](int seconds) { chosen = seconds; };
    fillRecorderMenu(menu, RecorderMenuState(), actions);
    QMenu* length = nullptr;
    for (QAction* action : menu.actions())
        if (action->menu())
            length = action->menu();
    ASSERT_NE(length, nullptr);
    ASSERT_EQ(length->actions().size(), 2);
    EXPECT_TRUE(length->actions().at(0)->isChecked());
    length->actions().at(1)->trigger();
    EXPECT_EQ(chosen, 60);

    EXPECT_EQ(recorderIconState(true, true, true), RecorderIconState::feedback);
    EXPECT_EQ(recorderIconState(true, false, false), RecorderIconState::recording);
    EXPECT_EQ(recorderIconState(false, true, true), RecorderIconState::starting);
    EXPECT_EQ(recorderIconState(false, false, false), RecorderIconState::paused);
    for (auto state : {RecorderIconState::feedback, RecorderIconState::recording,
                       RecorderIconState::starting, RecorderIconState::paused})
        EXPECT_FALSE(recorderIcon(state).pixmap(22, 22).isNull());
    EXPECT_EQ(recorderFeedback(false, true, true), QString());
    EXPECT_EQ(recorderFeedback(true, false, true), "Report ready");
    EXPECT_EQ(recorderTooltip({}, "Recording"), "Recording");
    EXPECT_EQ(recorderTooltip("Saved", "Recording"), "Saved, Recording");
}

} // namespace
} // namespace snagreel::app
