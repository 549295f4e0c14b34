#pragma once

#include "SnagreelApp/EngineProcess.hpp"
#include "SnagreelApp/ProcessingMode.hpp"
#include "SnagreelApp/SavedCapture.hpp"
#include "SnagreelApp/Sharing/CaptureSharing.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/System/LaunchAtLogin.hpp"
#include "SnagreelCore/Capture/CaptureController.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace snagreel::app {

// What the application state is built from: the recorder and the platform services.
// Every function may be left empty for its platform default.
struct AppStateEnvironment {
    std::shared_ptr<CaptureController> recorder;
    // The per-user preferences; must outlive the state.
    QSettings* settings = nullptr;
    std::filesystem::path captureRoot;
    std::filesystem::path workspace;
    std::string nodePath;
    std::shared_ptr<const SandboxLauncher> sandbox;
    // How long a cancelled engine may take to stop before its group is killed.
    double cancelGraceSeconds = 10;
    int autosaveMilliseconds = 600;

    std::function<void()> beep;
    // The modal "What were you trying to do?" prompt; none when cancelled.
    std::function<std::optional<QString>(const QString& current)> askForContext;
    // The "Your latest changes could not be saved" alert; true for "Quit without saving".
    std::function<bool()> confirmQuitWithoutSaving;
    // The global capture shortcut and the login item; none where there is no such
    // service (tests).
    std::unique_ptr<GlobalHotKey> hotKey;
    std::unique_ptr<LaunchAtLogin> launchAtLogin;
    // Packaging, saving copies, the file manager and the Trash; none: those
    // operations do nothing.
    std::unique_ptr<CaptureSharing> sharing;
    SaveDialogs* saveDialogs = nullptr;
    std::function<std::chrono::system_clock::time_point()> now;
};

// The one coordinator behind every window and menu: the recorder, the saved captures,
// the report in the editor, report engines and autosave. Lives on the main thread;
// views observe its properties and call its operations.
class AppState : public QObject {
    Q_OBJECT
    // Saved captures, newest first.
    Q_PROPERTY(QList<snagreel::app::SavedCapture> captures READ captures NOTIFY capturesChanged)
    // Id (folder name) of the selected capture; empty for none.
    Q_PROPERTY(QString selectedID READ selectedID NOTIFY selectedIDChanged)
    // The selected capture's clip.mp4 for the view's player; empty for none.
    Q_PROPERTY(QUrl playerSource READ playerSource NOTIFY playerSourceChanged)
    // The user's context text for the selected capture.
    Q_PROPERTY(QString intent READ intent WRITE setIntent NOTIFY intentChanged)
    // The report text in the editor.
    Q_PROPERTY(QString markdown READ markdown WRITE setMarkdown NOTIFY markdownChanged)
    // The selected report as its engine (or manual creation) wrote it.
    Q_PROPERTY(QString originalMarkdown READ originalMarkdown NOTIFY originalMarkdownChanged)
    // Reports of the selected capture, newest first.
    Q_PROPERTY(QList<snagreel::reports::ReportEntry> reportEntries READ reportEntries NOTIFY
                   reportEntriesChanged)
    // File name of the report in the editor; empty for none.
    Q_PROPERTY(QString selectedReportID READ selectedReportID NOTIFY selectedReportIDChanged)
    // The editor shows originalMarkdown read-only instead of markdown.
    Q_PROPERTY(bool showingOriginal READ showingOriginal WRITE setShowingOriginal NOTIFY
                   showingOriginalChanged)
    // Last autosave or save failure; empty for none.
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)
    // Seconds of the next clip: 30 or 60.
    Q_PROPERTY(double lookback READ lookback WRITE setLookback NOTIFY lookbackChanged)
    // A clip saved while the app was busy, waiting for the user; empty for none.
    Q_PROPERTY(QString deferredCaptureID READ deferredCaptureID NOTIFY deferredCaptureIDChanged)
    // A "Save Video" copy is running.
    Q_PROPERTY(bool exportingVideo READ exportingVideo NOTIFY exportingVideoChanged)
    // A clip is being saved.
    Q_PROPERTY(bool capturing READ capturing NOTIFY capturingChanged)
    // A recorder start is pending.
    Q_PROPERTY(bool startRequested READ startRequested NOTIFY startRequestedChanged)
    // A report engine runs.
    Q_PROPERTY(bool generating READ generating NOTIFY generatingChanged)
    // The running engine has been asked to stop.
    Q_PROPERTY(bool cancelling READ cancelling NOTIFY cancellingChanged)
    // A share package is being built or saved.
    Q_PROPERTY(bool sharing READ sharing NOTIFY sharingChanged)
    // Engine of the running generation: "cloud" or "local".
    Q_PROPERTY(QString generationMode READ generationMode NOTIFY generationModeChanged)
    // Engine for new reports: "cloud" or "local".
    Q_PROPERTY(QString processingMode READ processingMode WRITE setProcessingMode NOTIFY
                   processingModeChanged)
    // Latest output line of the running engine.
    Q_PROPERTY(QString progress READ progress NOTIFY progressChanged)
    // Neutral status line under the editor.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    // Error line under the editor; empty for none.
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)

    // The recorder as the menu shows it (all change with recorderChanged).
    Q_PROPERTY(QString recorderPhase READ recorderPhase NOTIFY recorderChanged)
    Q_PROPERTY(QString recorderStatus READ recorderStatus NOTIFY recorderChanged)
    Q_PROPERTY(QString recorderError READ recorderError NOTIFY recorderChanged)
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY recorderChanged)
    Q_PROPERTY(bool desiredRecording READ desiredRecording NOTIFY recorderChanged)
    Q_PROPERTY(double bufferedSeconds READ bufferedSeconds NOTIFY recorderChanged)
    Q_PROPERTY(bool needsScreenAccess READ needsScreenAccess NOTIFY recorderChanged)

    // Derived values (all change with stateChanged).
    // capturing, generating, sharing or exportingVideo.
    Q_PROPERTY(bool busy READ busy NOTIFY stateChanged)
    // The recorder holds at least a second and nothing else is starting or saving.
    Q_PROPERTY(bool canCapture READ canCapture NOTIFY stateChanged)
    // The recorder stopped for screen access or unavailability and may be started again.
    Q_PROPERTY(bool canRetryRecording READ canRetryRecording NOTIFY stateChanged)
    // intent or markdown differ from what was last written.
    Q_PROPERTY(bool hasUnsavedChanges READ hasUnsavedChanges NOTIFY stateChanged)
    // A report is selected, nothing is busy and the editor shows the edited text.
    Q_PROPERTY(bool canShare READ canShare NOTIFY stateChanged)
    // The selected report was written by an engine and so has an original to show.
    Q_PROPERTY(bool canViewSource READ canViewSource NOTIFY stateChanged)

public:
    static constexpr const char* kSelectedCaptureKey = "selectedCaptureID";
    static constexpr const char* kRecordingEnabledKey = "recordingEnabled";
    static constexpr const char* kClipLengthKey = "clipLength";
    static constexpr const char* kProcessingModeKey = "processingMode";

    // Runs the start-up sequence: preferences, captures, selection, recorder start.
    explicit AppState(AppStateEnvironment environment, QObject* parent = nullptr);
    ~AppState() override;

    // --- Published state ---
    const QList<SavedCapture>& captures() const { return captures_; }
    QString selectedID() const { return selectedID_; }
    QUrl playerSource() const { return playerSource_; }
    QString intent() const { return intent_; }
    QString markdown() const { return markdown_; }
    QString originalMarkdown() const { return originalMarkdown_; }
    const QList<reports::ReportEntry>& reportEntries() const { return reportEntries_; }
    QString selectedReportID() const { return selectedReportID_; }
    bool showingOriginal() const { return showingOriginal_; }
    QString saveError() const { return saveError_; }
    double lookback() const { return lookback_; }
    QString deferredCaptureID() const { return deferredCaptureID_; }
    bool exportingVideo() const { return exportingVideo_; }
    bool capturing() const { return capturing_; }
    bool startRequested() const { return startRequested_; }
    bool generating() const { return generating_; }
    bool cancelling() const { return cancelling_; }
    bool sharing() const { return sharing_; }
    QString generationMode() const;
    QString processingMode() const;
    ProcessingMode processingModeValue() const { return processingMode_; }
    QString progress() const { return progress_; }
    QString message() const { return message_; }
    QString error() const { return error_; }

    QString recorderPhase() const;
    QString recorderStatus() const;
    QString recorderError() const;
    bool isRecording() const { return recorder_->isRecording(); }
    bool desiredRecording() const { return recorder_->desiredRecording(); }
    double bufferedSeconds() const { return recorder_->bufferedSeconds(); }
    bool needsScreenAccess() const { return recorder_->needsScreenAccess(); }

    bool busy() const { return capturing_ || generating_ || sharing_ || exportingVideo_; }
    bool canCapture() const;
    bool canRetryRecording() const;
    bool hasUnsavedChanges() const {
        return intent_ != savedIntent_ || markdown_ != savedMarkdown_;
    }
    bool canShare() const { return !selectedReportID_.isEmpty() && !busy() && !showingOriginal_; }
    bool canViewSource() const;
    std::optional<SavedCapture> selected() const;

    const std::filesystem::path& captureRoot() const { return environment_.captureRoot; }
    const std::filesystem::path& workspace() const { return environment_.workspace; }
    const std::string& nodePath() const { return environment_.nodePath; }
    CaptureController& recorder() { return *recorder_; }
    // The global shortcut (the settings window changes it); null without one.
    GlobalHotKey* hotKey() { return environment_.hotKey.get(); }
    // The "Open at login" toggle; null without one.
    LaunchAtLogin* launchAtLogin() { return environment_.launchAtLogin.get(); }

    // --- Setters (the editor and the settings window) ---
    void setIntent(const QString& intent);
    void setMarkdown(const QString& markdown);
    void setShowingOriginal(bool showing);
    void setLookback(double seconds);
    void setProcessingMode(const QString& raw);

    // Set by the user interface.
    std::function<void()> openMainWindow;
    std::function<void()> openPreferences;

    // --- Operations ---
    // Saves the last `lookback` seconds; then opens it and, when asked, writes a report.
    Q_INVOKABLE void capture(bool writeReport);
    // The same for a request from outside (`snagreel --save`): `seconds` replaces the
    // lookback when given; `done` gets whether a clip was saved and the clip's path or
    // the reason why not.
    void captureOnRequest(std::optional<double> seconds, bool writeReport,
                          std::function<void(bool saved, QString line)> done);
    Q_INVOKABLE void refreshCaptures();
    Q_INVOKABLE bool select(const QString& id);
    Q_INVOKABLE bool selectReport(const QString& id);
    Q_INVOKABLE bool saveReport();
    Q_INVOKABLE void start();
    Q_INVOKABLE void pause();
    Q_INVOKABLE void clear();
    Q_INVOKABLE void editContext();
    Q_INVOKABLE bool prepareToQuit();
    Q_INVOKABLE void showWindow();
    Q_INVOKABLE void openScreenAccessSettings();
    Q_INVOKABLE void generate(const QString& mode);
    Q_INVOKABLE void cancelGeneration();
    // Packages the report with its clip, then shows the archive in Files with its
    // path on the clipboard.
    Q_INVOKABLE void shareReport();
    // Asks where to save the package, then copies it there.
    Q_INVOKABLE void exportReport();
    // Asks where to save the selected clip, then copies it there.
    Q_INVOKABLE void saveVideo();
    Q_INVOKABLE void discard();
    Q_INVOKABLE void revealVideo(const QString& id = {});
    Q_INVOKABLE void openClipsFolder();
    // For quitting: stops a running engine and shuts the recorder down.
    void shutdown();

signals:
    void capturesChanged();
    void selectedIDChanged();
    void playerSourceChanged();
    void intentChanged();
    void markdownChanged();
    void originalMarkdownChanged();
    void reportEntriesChanged();
    void selectedReportIDChanged();
    void showingOriginalChanged();
    void saveErrorChanged();
    void lookbackChanged();
    void deferredCaptureIDChanged();
    void exportingVideoChanged();
    void capturingChanged();
    void startRequestedChanged();
    void generatingChanged();
    void cancellingChanged();
    void sharingChanged();
    void generationModeChanged();
    void processingModeChanged();
    void progressChanged();
    void messageChanged();
    void errorChanged();
    void recorderChanged();
    // Any published or derived value may have changed.
    void stateChanged();

private:
    template <typename T> void assign(T& field, T value, void (AppState::*signal)());
    void captureClip(double seconds, bool writeReport,
                     std::function<void(bool saved, QString line)> done);
    void applyDocument(const reports::ReportDocument& document);
    void setEntries(const std::vector<reports::ReportEntry>& entries);
    // Publishes the store's reports as reportEntries.
    Result<void> listEntries(const reports::ReportStore& store);
    void scheduleAutosave();
    void cancelPendingStart();
    void finishGeneration(std::uint64_t token, int status, bool sandboxFailed,
                          std::filesystem::path output, QString captureID);
    Result<void> loadGeneratedReport(const std::filesystem::path& output, const QString& captureID);
    std::filesystem::path folderOf(const QString& id) const;
    void beep();
    void preparePackage(std::function<void(std::filesystem::path archive)> completion);

    AppStateEnvironment environment_;
    std::shared_ptr<CaptureController> recorder_;
    QSettings& settings_;
    std::uint64_t recorderObserver_ = 0;

    QList<SavedCapture> captures_;
    QString selectedID_;
    QUrl playerSource_;
    QString intent_;
    QString markdown_;
    QString originalMarkdown_;
    QList<reports::ReportEntry> reportEntries_;
    QString selectedReportID_;
    bool showingOriginal_ = false;
    QString saveError_;
    double lookback_ = 30;
    QString deferredCaptureID_;
    bool exportingVideo_ = false;
    bool capturing_ = false;
    bool startRequested_ = false;
    bool generating_ = false;
    bool cancelling_ = false;
    bool sharing_ = false;
    ProcessingMode generationMode_ = ProcessingMode::cloud;
    ProcessingMode processingMode_ = ProcessingMode::local;
    QString progress_;
    QString message_;
    QString error_;

    std::unique_ptr<EngineProcess> generationProcess_;
    std::uint64_t activeGenerationID_ = 0;
    std::uint64_t nextToken_ = 1;
    QTimer autosave_;
    std::uint64_t recorderStartID_ = 0;
    QString savedIntent_;
    QString savedMarkdown_;
    bool shutDown_ = false;
};

} // namespace snagreel::app
