#include "SnagreelApp/ApplicationRoot.hpp"

#include "SnagreelApp/BuildSettings.hpp"
#include "SnagreelApp/Linux/BubblewrapSandbox.hpp"
#include "SnagreelCore/Linux/CapturesRoot.hpp"

#include <QPointer>

namespace snagreel::app {

ApplicationRoot::ApplicationRoot(ApplicationRootOptions options, QObject* parent)
    : QObject(parent), executor_(this) {
    QSettings* settings = options.settings;
    if (settings == nullptr) {
        ownSettings_ = std::make_unique<QSettings>();
        settings = ownSettings_.get();
    }
    recorder_ = CaptureController::create(executor_, CaptureConfiguration{},
                                          linuxControllerEnvironment(executor_, options.recorder));
    AppStateEnvironment environment;
    environment.recorder = recorder_;
    environment.settings = settings;
    environment.captureRoot =
        options.captureRoot.empty() ? defaultCapturesRoot() : options.captureRoot;
    environment.workspace = options.workspace.empty() ? defaultWorkspaceRoot() : options.workspace;
    environment.nodePath = options.nodePath.empty() ? defaultNodePath() : options.nodePath;
    environment.sandbox = std::make_shared<BubblewrapSandbox>();
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
    }
}

} // namespace snagreel::app
