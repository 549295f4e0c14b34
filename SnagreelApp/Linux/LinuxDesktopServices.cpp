#include "SnagreelApp/Linux/LinuxDesktopServices.hpp"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QUrl>

namespace snagreel::app {

namespace {

QUrl urlOf(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

} // namespace

void LinuxFileManager::revealFile(const std::filesystem::path& file) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{urlOf(file).toString(QUrl::FullyEncoded)} << QString();
    const QUrl folder = urlOf(file.parent_path());
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder](QDBusPendingCallWatcher* done) {
                         if (done->isError()) {
                             // No file manager implements the interface: the folder at least.
                             QDesktopServices::openUrl(folder);
                         }
                         done->deleteLater();
                     });
}

Result<void> LinuxFileManager::openFolder(const std::filesystem::path& folder) {
    if (!QDesktopServices::openUrl(urlOf(folder))) {
        return Unexpected{Error(PlatformError{"FileManager", 1, "No application opens folders."})};
    }
    return {};
}

Result<void> LinuxTrash::moveToTrash(const std::filesystem::path& item) {
    QFile file(QString::fromStdString(item.string()));
    if (!file.moveToTrash()) {
        std::string reason = file.errorString().toStdString();
        if (reason.empty()) {
            reason = "The item could not be moved to the trash";
        }
        if (reason.back() != '.') {
            reason += '.';
        }
        return Unexpected{
            Error(PlatformError{"Trash", static_cast<std::int64_t>(file.error()), reason})};
    }
    return {};
}

void LinuxClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

} // namespace snagreel::app
