#include "SnagreelApp/ApplicationRoot.hpp"

#include "SnagreelApp/BuildSettings.hpp"
#include "SnagreelApp/Linux/BubblewrapSandbox.hpp"
#include "SnagreelApp/Linux/X11HotKeyBackend.hpp"
#include "SnagreelApp/Linux/XdgAutostart.hpp"
#include "SnagreelCore/Linux/CapturesRoot.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QThread>

#include <algorithm>

namespace snagreel::app {

EngineFactory EngineTracker::wrap(EngineFactory factory) {
    return [factory = std::move(factory), engines = engines_](
               const CaptureConfiguration& configuration, std::optional<std::uint32_t> displayID,
               std::function<void(CaptureEngineStatus)> onStatus,
               std::function<void(CaptureFailure)> onStopped) {
        auto engine = factory(configuration, displayID, std::move(onStatus), std::move(onStopped));
        std::erase_if(*engines, [](const auto& weak) { return weak.expired(); });
        engines->push_back(engine);
        return engine;
    };
}

bool EngineTracker::waitUntilGone(int milliseconds) {
    const QDeadlineTimer deadline(milliseconds);
    auto alive = [&] {
        return std::any_of(engines_->begin(), engines_->end(),
                           [](const auto& weak) { return !weak.expired(); });
    };
    while (alive()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

ApplicationRoot::ApplicationRoot(ApplicationRootOptions options, QObject* parent)
    : QObject(parent), executor_(this) {
    QSettings* settings = options.settings;
    if (settings == nullptr) {
        ownSettings_ = std::make_unique<QSettings>();
        settings = ownSettings_.get();
    }
    auto recorderEnvironment = linuxControllerEnvironment(executor_, options.recorder);
    recorderEnvironment.factory = engines_.wrap(std::move(recorderEnvironment.factory));
    recorder_ = CaptureController::create(executor_, CaptureConfiguration{}, recorderEnvironment);
    AppStateEnvironment environment;
    environment.recorder = recorder_;
    environment.settings = settings;
    environment.captureRoot =
        options.captureRoot.empty() ? defaultCapturesRoot() : options.captureRoot;
    environment.workspace = options.workspace.empty() ? defaultWorkspaceRoot() : options.workspace;
    environment.nodePath = options.nodePath.empty() ? defaultNodePath() : options.nodePath;
    environment.sandbox = std::make_shared<BubblewrapSandbox>();
    shortcutStorage_ = std::make_unique<SettingsShortcutStorage>(*settings);
    environment.hotKey = std::make_unique<GlobalHotKey>(*shortcutStorage_, makeHotKeyBackend());
    environment.launchAtLogin = std::make_unique<LaunchAtLogin>(
        std::make_unique<XdgAutostart>(XdgAutostart::defaultOptions()));
    environment.sharing = std::make_unique<CaptureSharing>(
        CaptureSharing::Services{&saveDialogs_, &fileManager_, &trash_, &clipboard_},
        CaptureSharing::defaultTemporaryRoot(), environment.captureRoot);
    environment.saveDialogs = &saveDialogs_;
    state_ = std::make_unique<AppState>(std::move(environment));
}

ApplicationRoot::~ApplicationRoot() {
    shutdown();
    state_.reset();
}

InstanceHandlers ApplicationRoot::instanceHandlers() {
    QPointer<ApplicationRoot> self(this);
    InstanceHandlers handlers;
    handlers.showWindow = [self] {
        if (self) {
            self->state().showWindow();
        }
    };
    handlers.saveClip = [self](std::optional<double> seconds, bool writeReport,
                               std::function<void(bool, QString)> reply) {
        if (!self) {
            reply(false, QStringLiteral("Snagreel is quitting."));
            return;
        }
        self->state().captureOnRequest(seconds, writeReport, std::move(reply));
    };
    return handlers;
}

void ApplicationRoot::shutdown() {
    if (state_) {
        state_->saveReport();
        state_->shutdown();
        engines_.waitUntilGone(3000);
    }
}

} // namespace snagreel::app
