#pragma once

#include "SnagreelApp/Sharing/DesktopServices.hpp"

#include <QDBusConnection>

namespace snagreel::app {

// Reveals through org.freedesktop.FileManager1.ShowItems on the session bus and
// opens the folder instead when no file manager answers.
class LinuxFileManager final : public FileManager {
public:
    explicit LinuxFileManager(QDBusConnection bus = QDBusConnection::sessionBus())
        : bus_(std::move(bus)) {}
    void revealFile(const std::filesystem::path& file) override;
    Result<void> openFolder(const std::filesystem::path& folder) override;

private:
    QDBusConnection bus_;
};

// The freedesktop trash ($XDG_DATA_HOME/Trash, or the volume's own).
class LinuxTrash final : public Trash {
public:
    Result<void> moveToTrash(const std::filesystem::path& item) override;
};

// The clipboard selection (not the primary selection).
class LinuxClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
};

} // namespace snagreel::app
