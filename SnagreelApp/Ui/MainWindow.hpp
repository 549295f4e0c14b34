#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace snagreel::app {

class AppState;
class ReplayPlayer;
class ReportPreview;

namespace editortexts {
inline constexpr const char* kTitle = "Snagreel";
inline constexpr const char* kHistory = "History";
inline constexpr const char* kSettings = "Settings";
inline constexpr const char* kEdit = "Edit";
inline constexpr const char* kDone = "Done";
inline constexpr const char* kWriteAgain = "Write again";
inline constexpr const char* kAddContext = "Add context…";
inline constexpr const char* kEarlierDrafts = "Earlier drafts";
inline constexpr const char* kMore = "More";
inline constexpr const char* kViewSource = "View source draft";
inline constexpr const char* kViewEdited = "View edited report";
inline constexpr const char* kSaveReportAndVideo = "Save report and video…";
inline constexpr const char* kShowVideo = "Show video in Files";
inline constexpr const char* kDiscard = "Discard capture";
inline constexpr const char* kLocalReading = "Reading the recording on this computer.";
inline constexpr const char* kCloudReading = "Analyzing your video in the cloud.";
inline constexpr const char* kWriting = "Writing your report…";
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kStopping = "Stopping";
inline constexpr const char* kSavedNoReport = "Your recording is saved";
inline constexpr const char* kWriteReport = "Write report";
inline constexpr const char* kSavedHere = "Saved on this computer";
inline constexpr const char* kVideo = "Video";
inline constexpr const char* kEmptyTitle = "A replay for the unexpected.";
inline constexpr const char* kEmptyBody =
    "Keep Snagreel running in the system tray while you work.\nWhen something happens, save the "
    "last 30 or 60 seconds.";
inline constexpr const char* kCapturesTitle = "Your captures";
inline constexpr const char* kAllCaptures = "Your captures…";
inline constexpr const char* kUntitled = "Untitled capture";
inline constexpr const char* kNoCaptures = "Your captured moments will appear here.";
inline constexpr const char* kPrivacy =
    "Recent video and system diagnostics stay in memory until you save a clip.";
inline constexpr const char* kPrivacyLocal = "Reports stay on this computer.";
inline constexpr const char* kPrivacyCloud =
    "Saved clips are sent to your cloud model service for a report.";
inline constexpr const char* kTryAgain = "Try recording again";
inline constexpr const char* kScreenAccess = "Screen access settings";
inline constexpr const char* kNewerClip = "A newer clip is saved in History.";
inline constexpr const char* kShowNewerVideo = "Show video";
inline constexpr const char* kOpenNewerClip = "Open clip";
inline constexpr const char* kSaveLastPrefix = "Save last ";
inline constexpr const char* kSaveLastSuffix = " seconds";
inline constexpr const char* kSaving = "Saving…";
} // namespace editortexts

// The report editor window: the selected capture's report (rendered or as
// Markdown), its drafts, the generation line, the clip, and the recorder's
// status. Everything it shows comes from AppState; it keeps only which page,
// edit mode and disclosure are open.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(AppState& state, QWidget* parent = nullptr);

    // Set by the shell: the settings window.
    std::function<void()> openSettings;
    // Whether the window may close; saving the report when empty. Without a
    // system tray the shell asks the quit checks here instead.
    std::function<bool()> mayClose;
    // Called after the window closed.
    std::function<void()> closed;

    ReportPreview* preview() const { return preview_; }
    ReplayPlayer* player() const { return player_; }
    bool isEditing() const;
    void setEditing(bool editing);
    void showCapturesSheet();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildEmptyPage();
    QWidget* buildCapturePage();
    QWidget* buildFooter();
    void refresh();
    void refreshReport();
    void refreshHistory();
    void refreshDrafts();
    void refreshMore();
    void revealVideo();

    AppState& state_;
    QStackedWidget* pages_ = nullptr;
    QMenu* historyMenu_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* writeAgain_ = nullptr;
    QPushButton* addContext_ = nullptr;
    QToolButton* drafts_ = nullptr;
    QMenu* draftsMenu_ = nullptr;
    QToolButton* more_ = nullptr;
    QMenu* moreMenu_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QLabel* progressMode_ = nullptr;
    QLabel* progressText_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QWidget* savedRow_ = nullptr;
    QStackedWidget* reportPages_ = nullptr;
    ReportPreview* preview_ = nullptr;
    QPlainTextEdit* editor_ = nullptr;
    QToolButton* videoToggle_ = nullptr;
    ReplayPlayer* player_ = nullptr;
    QLabel* privacy_ = nullptr;
    QLabel* recorderStatus_ = nullptr;
    QPushButton* retry_ = nullptr;
    QPushButton* screenAccess_ = nullptr;
    QWidget* newerRow_ = nullptr;
    QLabel* saveError_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* captureButton_ = nullptr;
    QString shownCaptureID_;
};

} // namespace snagreel::app
