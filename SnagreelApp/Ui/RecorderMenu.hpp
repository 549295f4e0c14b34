#pragma once

#include <QString>

#include <functional>

class QMenu;

namespace snagreel::app {

namespace recordermenutexts {
inline constexpr const char* kShortcutUnavailable =
    "Shortcut unavailable — choose another in Settings";
inline constexpr const char* kSaveLastPrefix = "Save last ";
inline constexpr const char* kSaveLastSuffix = " seconds";
inline constexpr const char* kSaveWithoutReport = "Save clip without a report";
inline constexpr const char* kClipLength = "Clip length";
inline constexpr const char* kThirtySeconds = "30 seconds";
inline constexpr const char* kSixtySeconds = "60 seconds";
inline constexpr const char* kOpenClipsFolder = "Open Clips Folder";
inline constexpr const char* kYourReports = "Your reports ↗";
inline constexpr const char* kSignIn = "Sign in for reports…";
inline constexpr const char* kOpenLatestReport = "Open latest report ↗";
inline constexpr const char* kOpenApp = "Open Snagreel";
inline constexpr const char* kSettings = "Settings…";
inline constexpr const char* kPause = "Pause rewind";
inline constexpr const char* kResume = "Resume rewind";
inline constexpr const char* kTryAgain = "Try recording again";
inline constexpr const char* kScreenAccess = "Screen access settings";
inline constexpr const char* kQuit = "Quit Snagreel";
inline constexpr const char* kSaved = "Saved";
inline constexpr const char* kReportReady = "Report ready";
} // namespace recordermenutexts

// What the tray menu shows, read from the application state when it opens.
struct RecorderMenuState {
    QString status;
    bool shortcutUnavailable = false;
    QString shortcutName; // empty when there is no shortcut
    bool canCapture = false;
    int lookback = 30;
    bool desiredRecording = false;
    bool canRetryRecording = false;
    bool needsScreenAccess = false;
    // Hosted builds only.
    bool hosted = false;
    bool signedIn = false;
    bool selectedHasHostedReport = false;
};

struct RecorderMenuActions {
    std::function<void(bool writeReport)> capture;
    std::function<void(int seconds)> setLookback;
    std::function<void()> openClipsFolder;
    std::function<void()> openHostedLibrary;
    std::function<void()> signIn;
    std::function<void()> openLatestReport;
    std::function<void()> openMainWindow;
    std::function<void()> openSettings;
    std::function<void()> pause;
    std::function<void()> resume;
    std::function<void()> retry;
    std::function<void()> openScreenAccess;
    std::function<void()> quit;
};

// Fills `menu` (cleared first) top to bottom; items whose condition is false
// are left out rather than disabled, except the two save items, which are
// disabled while a clip cannot be saved.
void fillRecorderMenu(QMenu& menu, const RecorderMenuState& state,
                      const RecorderMenuActions& actions);

// Brings a menu that is open up to date without rebuilding it: rebuilding an open
// menu closes it, and the status line changes every second. Returns false, and
// changes nothing, when the items themselves differ (then the caller rebuilds).
bool updateOpenRecorderMenu(QMenu& shown, const RecorderMenuState& state);

// "Saved" or "Report ready" in hosted builds, else nothing.
QString recorderFeedback(bool hosted, bool captureAcknowledged, bool hasUnopenedReadyReport);

} // namespace snagreel::app
