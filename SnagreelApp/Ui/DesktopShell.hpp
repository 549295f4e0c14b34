#pragma once

#include "SnagreelApp/Ui/RecorderMenu.hpp"

#include <QObject>

#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace snagreel::app {

class AppState;
class MainWindow;
class SettingsWindow;

// The application's face on the desktop: the tray item and its menu, and the
// main and settings windows, each made on first use and kept for the run.
// Without a system tray the main window opens at launch and closing it quits
// (after the same checks as "Quit Snagreel").
class DesktopShell : public QObject {
    Q_OBJECT
public:
    // `trayAvailable` says whether the desktop shows tray items; the platform's
    // answer when empty.
    explicit DesktopShell(AppState& state, std::function<bool()> trayAvailable = {},
                          QObject* parent = nullptr);
    ~DesktopShell() override;

    void showMainWindow();
    void showPreferences();
    // Quits when the application state agrees (nothing unsaved or still saving).
    void requestQuit();

    RecorderMenuState menuState() const;
    bool hasTray() const { return tray_ != nullptr; }
    MainWindow* mainWindow() const { return mainWindow_.get(); }
    SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }
    QMenu* trayMenu() const { return menu_.get(); }

private:
    void refreshTray();
    void fillMenu();

    AppState& state_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<SettingsWindow> settingsWindow_;
};

} // namespace snagreel::app
