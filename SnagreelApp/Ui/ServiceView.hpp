#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace snagreel::app {

class AppState;
class HostedTracker;

namespace servicetexts {
inline constexpr const char* kTitle = "Snagreel";
inline constexpr const char* kYourMoments = "Your moments ↗";
inline constexpr const char* kSettings = "Settings";
inline constexpr const char* kPitch = "Catch the moment. Skip the explaining.";
inline constexpr const char* kPitchBody =
    "Sign in once to turn the clips you save into a report and a link. Recent screen activity "
    "stays in memory; only saved clips are uploaded.";
inline constexpr const char* kSignIn = "Sign in";
inline constexpr const char* kEnterCode =
    "Enter this code in your browser, then choose Connect this computer.";
inline constexpr const char* kWaiting = "Waiting for your browser…";
inline constexpr const char* kLatest = "Your latest moment";
inline constexpr const char* kOnTheWeb = "Your report is on the web.";
inline constexpr const char* kOpenReport = "Open report ↗";
inline constexpr const char* kFinishUpload = "Finish upload";
inline constexpr const char* kWriteReport = "Write report";
inline constexpr const char* kTryAgain = "Try report again";
inline constexpr const char* kSavedHere = "Saved on this computer.";
inline constexpr const char* kVideo = "Video";
inline constexpr const char* kShowInFiles = "Show in Files";
inline constexpr const char* kSaveVideo = "Save video…";
inline constexpr const char* kRecent = "Recent moments";
inline constexpr const char* kUntitled = "Untitled capture";
inline constexpr const char* kEmptyTitle = "Next time something gets in your way…";
inline constexpr const char* kEmptyPress = "Press ";
inline constexpr const char* kEmptyNoShortcut = "Use Save last 30 seconds in the system tray ";
inline constexpr const char* kEmptyEnd =
    "to save what just happened. Your report will be ready shortly after.";
} // namespace servicetexts

// The main window of a build with a hosted report service: signing in, the
// latest saved moment with its hosted report and the one action that moves it
// on, and the other moments. It reads everything from the state and keeps only
// whether the video row is open.
class ServiceView : public QWidget {
    Q_OBJECT
public:
    ServiceView(AppState& state, HostedTracker& hosted, QWidget* parent = nullptr);

    // Set by the shell, as for the report editor.
    std::function<void()> openSettings;
    std::function<bool()> mayClose;
    std::function<void()> closed;

    // What the latest moment shows: its state line and its action ("" for none).
    QString latestStatus() const;
    QString latestAction() const;
    // Runs the latest moment's action.
    void runLatestAction();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void refresh();

    AppState& state_;
    HostedTracker& hosted_;
    QLabel* statusLine_ = nullptr;
    QStackedWidget* signInPages_ = nullptr;
    QWidget* signInArea_ = nullptr;
    QLabel* pairingCode_ = nullptr;
    QStackedWidget* momentPages_ = nullptr;
    QLabel* latestTitle_ = nullptr;
    QLabel* latestState_ = nullptr;
    QLabel* accountMessage_ = nullptr;
    QPushButton* action_ = nullptr;
    QToolButton* videoToggle_ = nullptr;
    QWidget* videoRow_ = nullptr;
    QListWidget* recent_ = nullptr;
    QLabel* emptyLine_ = nullptr;
    QString latestID_;
};

} // namespace snagreel::app
