#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace snagreel::app {

class AppState;
class GlobalHotKey;
class LaunchAtLogin;
class ShortcutRecorder;

namespace settingstexts {
inline constexpr const char* kTitle = "Snagreel Settings";
inline constexpr const char* kSaveTheLast = "Save the last";
inline constexpr const char* kThirty = "30 seconds";
inline constexpr const char* kSixty = "60 seconds";
inline constexpr const char* kShortcut = "Shortcut";
inline constexpr const char* kOpenAtLogin = "Open at login";
inline constexpr const char* kReports = "Reports";
inline constexpr const char* kLocal = "On this computer · evidence notes";
inline constexpr const char* kCloud = "Cloud · full video with your model service";
inline constexpr const char* kReportsNote =
    "Saving a clip writes a report automatically. Cloud mode uploads only the clip you save. Use "
    "Save clip "
    "without a report to keep just the MP4 on your computer.";
inline constexpr const char* kRecording = "Recording";
inline constexpr const char* kRecordingNote =
    "Rewind runs in memory while the app is open. Closing the report window keeps it running; "
    "Pause and Quit "
    "stop it. Audio and typed keys are not recorded.";
inline constexpr const char* kBuffered = "In memory: ";
inline constexpr const char* kOpenClipsFolder = "Open Clips Folder";
inline constexpr const char* kPause = "Pause rewind";
inline constexpr const char* kResume = "Resume rewind";
inline constexpr const char* kClear = "Clear buffer";
} // namespace settingstexts

// "Snagreel Settings": clip length, the shortcut, opening at login, the report
// engine and the recorder. The shortcut and login rows are left out when the
// shell has no such service (a session without a global shortcut).
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    SettingsWindow(AppState& state, GlobalHotKey* hotKey, LaunchAtLogin* launchAtLogin,
                   QWidget* parent = nullptr);

    ShortcutRecorder* shortcutRecorder() const { return recorder_; }

private:
    void refresh();

    AppState& state_;
    LaunchAtLogin* launchAtLogin_;
    QComboBox* length_ = nullptr;
    ShortcutRecorder* recorder_ = nullptr;
    QLabel* shortcutError_ = nullptr;
    QCheckBox* login_ = nullptr;
    QLabel* loginStatus_ = nullptr;
    QLabel* loginError_ = nullptr;
    QComboBox* mode_ = nullptr;
    QLabel* buffered_ = nullptr;
    QPushButton* pause_ = nullptr;
};

} // namespace snagreel::app
