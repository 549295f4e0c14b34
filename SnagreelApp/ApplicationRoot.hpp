#pragma once

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/Linux/LinuxDesktopServices.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"
#include "SnagreelApp/QtSaveDialogs.hpp"
#include "SnagreelApp/SingleInstance.hpp"
#include "SnagreelApp/System/ShortcutStorage.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"

#include <QObject>
#include <QSettings>

#include <memory>

namespace snagreel::app {

// Remembers the engines a factory made, so that quitting can wait until they have
// stopped and gone: until then their queues still post to the main executor.
class EngineTracker {
public:
    EngineFactory wrap(EngineFactory factory);
    // Runs the event loop until every engine is gone or `milliseconds` passed; true
    // when they are all gone.
    bool waitUntilGone(int milliseconds);

private:
    std::shared_ptr<std::vector<std::weak_ptr<CaptureSession>>> engines_ =
        std::make_shared<std::vector<std::weak_ptr<CaptureSession>>>();
};

struct ApplicationRootOptions {
    LinuxRecorderOptions recorder;
    // Empty: $XDG_DATA_HOME/Snagreel/Captures.
    std::filesystem::path captureRoot;
    // Empty: the built-in engines folder and node path.
    std::filesystem::path workspace;
    std::string nodePath;
    // Null: the user's preferences.
    QSettings* settings = nullptr;
};

// Puts the application together on the main thread: the Qt executor, the recorder
// on this machine's capture adapters, the preferences and the application state.
class ApplicationRoot : public QObject {
    Q_OBJECT
public:
    explicit ApplicationRoot(ApplicationRootOptions options, QObject* parent = nullptr);
    ~ApplicationRoot() override;

    AppState& state() { return *state_; }
    Executor& executor() { return executor_; }
    // What a second launch and `snagreel --save` ask of this instance.
    InstanceHandlers instanceHandlers();

    // Saves edits, stops a running engine and the recorder; for quitting.
    void shutdown();

private:
    QtMainExecutor executor_;
    EngineTracker engines_;
    std::unique_ptr<QSettings> ownSettings_;
    std::unique_ptr<SettingsShortcutStorage> shortcutStorage_;
    LinuxFileManager fileManager_;
    LinuxTrash trash_;
    LinuxClipboard clipboard_;
    QtSaveDialogs saveDialogs_;
    std::shared_ptr<CaptureController> recorder_;
    std::unique_ptr<AppState> state_;
};

} // namespace snagreel::app
