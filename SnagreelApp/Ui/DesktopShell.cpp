#include "SnagreelApp/Ui/DesktopShell.hpp"

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/System/LaunchAtLogin.hpp"
#include "SnagreelApp/Ui/MainWindow.hpp"
#include "SnagreelApp/Ui/ServiceView.hpp"
#include "SnagreelApp/Ui/SettingsWindow.hpp"
#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>

namespace snagreel::app {
namespace {

constexpr const char* kGeometryKey = "SnagreelEditor/geometry";

void centre(QWidget& window) {
    if (const QScreen* screen =
            window.screen() ? window.screen() : QGuiApplication::primaryScreen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
}

void bringToFront(QWidget& window) {
    window.show();
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.raise();
    window.activateWindow();
}

} // namespace

DesktopShell::DesktopShell(AppState& state, std::function<bool()> trayAvailable, QObject* parent)
    : QObject(parent), state_(state), menu_(std::make_unique<QMenu>()) {
    // Queued, so an alert that approved the quit has closed before the loop ends.
    // exit(), not quit(): quit() first asks every window to close, and the main
    // window answers a close by asking to quit again.
    connect(
        this, &DesktopShell::quitApproved, QCoreApplication::instance(),
        [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    QPointer<DesktopShell> self(this);
    state_.openMainWindow = [self] {
        if (self)
            self->showMainWindow();
    };
    state_.openPreferences = [self] {
        if (self)
            self->showPreferences();
    };

    connectHosted();
    if (trayAvailable ? trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(this);
        tray_->setContextMenu(menu_.get());
        // A left click shows the same menu: the tray item is the menu.
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger) {
                        fillMenu();
                        menu_->popup(QCursor::pos());
                    }
                });
        connect(menu_.get(), &QMenu::aboutToShow, this, &DesktopShell::fillMenu);
        for (auto signal : {&AppState::recorderChanged, &AppState::stateChanged})
            connect(&state_, signal, this, &DesktopShell::refreshTray);
        refreshTray();
        tray_->show();
    } else {
        showMainWindow();
    }
}

DesktopShell::~DesktopShell() {
    state_.openMainWindow = nullptr;
    state_.openPreferences = nullptr;
}

RecorderMenuState DesktopShell::menuState() const {
    RecorderMenuState menu;
    menu.status = state_.recorderStatus();
    if (GlobalHotKey* hotKey = state_.hotKey()) {
        if (hotKey->shortcut()) {
            // Where the desktop chose the key (Wayland), its choice is what works.
            menu.shortcutName = QString::fromStdString(
                hotKey->assignedTrigger().value_or(hotKey->shortcut()->displayName()));
            menu.shortcutUnavailable = !hotKey->isLive();
        }
    }
    menu.canCapture = state_.canCapture();
    menu.lookback = static_cast<int>(state_.lookback());
    menu.desiredRecording = state_.desiredRecording();
    menu.canRetryRecording = state_.canRetryRecording();
    menu.needsScreenAccess = state_.needsScreenAccess();
    addHostedMenuState(menu);
    return menu;
}

void DesktopShell::fillMenu() {
    RecorderMenuActions actions;
    actions.capture = [this](bool writeReport) { state_.capture(writeReport); };
    actions.setLookback = [this](int seconds) { state_.setLookback(seconds); };
    actions.openClipsFolder = [this] { state_.openClipsFolder(); };
    actions.openMainWindow = [this] { showMainWindow(); };
    actions.openSettings = [this] { showPreferences(); };
    actions.pause = [this] { state_.pause(); };
    actions.resume = [this] { state_.start(); };
    actions.retry = [this] { state_.start(); };
    actions.openScreenAccess = [this] { state_.openScreenAccessSettings(); };
    actions.quit = [this] { requestQuit(); };
    addHostedActions(actions);
    fillRecorderMenu(*menu_, menuState(), actions);
}

void DesktopShell::refreshTray() {
    if (!tray_)
        return;
    const QString feedback = trayFeedback();
    tray_->setIcon(recorderIcon(
        recorderIconState(state_.isRecording(), state_.desiredRecording(), !feedback.isEmpty())));
    tray_->setToolTip(recorderTooltip(feedback, state_.recorderStatus()));
    if (menu_->isVisible() && !updateOpenRecorderMenu(*menu_, menuState()))
        fillMenu();
}

void DesktopShell::showMainWindow() {
    if (state_.hosted()) {
        showServiceView();
        return;
    }
    if (!mainWindow_) {
        mainWindow_ = std::make_unique<MainWindow>(state_);
        mainWindow_->openSettings = [this] { showPreferences(); };
        if (!tray_) {
            // Closing the only window is "Quit Snagreel": the window stays until
            // the quit checks agree, which may take the user's answer.
            mainWindow_->mayClose = [this] {
                requestQuit();
                return false;
            };
        }
        mainWindow_->closed = [this] { saveWindowGeometry(); };
        if (!mainWindow_->restoreGeometry(QSettings().value(kGeometryKey).toByteArray()))
            centre(*mainWindow_);
    }
    bringToFront(*mainWindow_);
}

void DesktopShell::showPreferences() {
    if (!settingsWindow_) {
        settingsWindow_ =
            std::make_unique<SettingsWindow>(state_, state_.hotKey(), state_.launchAtLogin());
        centre(*settingsWindow_);
    }
    if (LaunchAtLogin* launchAtLogin = state_.launchAtLogin())
        launchAtLogin->refresh();
    bringToFront(*settingsWindow_);
}

void DesktopShell::requestQuit() {
    QPointer<DesktopShell> self(this);
    state_.prepareToQuit([self](bool mayQuit) {
        if (self && mayQuit) {
            self->saveWindowGeometry();
            emit self->quitApproved();
        }
    });
}

void DesktopShell::saveWindowGeometry() {
    if (mainWindow_)
        QSettings().setValue(kGeometryKey, mainWindow_->saveGeometry());
}

} // namespace snagreel::app
