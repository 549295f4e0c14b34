// The tray and window parts that exist only in builds with a hosted report service.
#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/HostedTracker.hpp"
#include "SnagreelApp/Ui/DesktopShell.hpp"
#include "SnagreelApp/Ui/ServiceView.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

namespace snagreel::app {

namespace {
constexpr const char* kServiceGeometryKey = "SnagreelEditor/serviceGeometry";
} // namespace

void DesktopShell::connectHosted() {
    if (!state_.hosted())
        return;
    // Coming back to the app is when an account change made in the browser shows.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState active) {
                if (active == Qt::ApplicationActive && state_.hosted())
                    state_.hosted()->refreshAccount();
            });
}

void DesktopShell::addHostedMenuState(RecorderMenuState& menu) const {
    if (const HostedTracker* hosted = state_.hosted()) {
        menu.hosted = true;
        menu.signedIn = hosted->signedIn();
        menu.selectedHasHostedReport = hosted->links().count(state_.selectedID()) != 0;
    }
}

void DesktopShell::addHostedActions(RecorderMenuActions& actions) {
    HostedTracker* hosted = state_.hosted();
    if (!hosted)
        return;
    actions.openHostedLibrary = [hosted] { hosted->openLibrary(); };
    actions.signIn = [this, hosted] {
        showMainWindow();
        hosted->signIn();
    };
    actions.openLatestReport = [this, hosted] { hosted->openReport(state_.selectedID()); };
}

QString DesktopShell::trayFeedback() const {
    const HostedTracker* hosted = state_.hosted();
    return recorderFeedback(hosted != nullptr, hosted && hosted->captureAcknowledged(),
                            hosted && !hosted->readyReports().isEmpty());
}

void DesktopShell::showServiceView() {
    if (!serviceView_) {
        serviceView_ = std::make_unique<ServiceView>(state_, *state_.hosted());
        serviceView_->openSettings = [this] { showPreferences(); };
        if (!hasTray()) {
            // As with the editor: closing the only window is "Quit Snagreel", and
            // the window stays until the quit checks agree.
            serviceView_->mayClose = [this] {
                requestQuit();
                return false;
            };
        }
        serviceView_->closed = [this] {
            QSettings().setValue(kServiceGeometryKey, serviceView_->saveGeometry());
        };
        if (!serviceView_->restoreGeometry(QSettings().value(kServiceGeometryKey).toByteArray())) {
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                QRect frame = serviceView_->frameGeometry();
                frame.moveCenter(screen->availableGeometry().center());
                serviceView_->move(frame.topLeft());
            }
        }
    }
    serviceView_->show();
    serviceView_->setWindowState((serviceView_->windowState() & ~Qt::WindowMinimized) |
                                 Qt::WindowActive);
    serviceView_->raise();
    serviceView_->activateWindow();
}

} // namespace snagreel::app
