#include "EventPump.hpp"
#include "SnagreelApp/Linux/LinuxDesktopServices.hpp"
#include "support/PrivateBus.hpp"

#include <QDBusConnection>
#include <QDesktopServices>
#include <QUrl>

#include <gtest/gtest.h>

namespace snagreel::app {
namespace {

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown += uris; }

public:
    QStringList shown;
};

class OpenedUrls : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls.push_back(url); }

public:
    std::vector<QUrl> urls;
};

TEST(LinuxFileManager, RevealsThroughTheFileManagerServiceElseOpensTheFolder) {
    std::string whyNot;
    auto bus = testing::PrivateBus::start(&whyNot);
    if (!bus) {
        GTEST_SKIP() << whyNot;
    }
    const QString address = QString::fromStdString(bus->address());
    OpenedUrls opened;
    QDesktopServices::setUrlHandler("file", &opened, "open");
    {
        LinuxFileManager manager(QDBusConnection::connectToBus(address, "snagreel-test-client"));
        const std::filesystem::path zip = "/tmp/Snagreel-share-X/Snagreel report.zip";

        manager.revealFile(zip);
        EXPECT_TRUE(testing::pumpUntil([&] { return !opened.urls.empty(); }));
        EXPECT_EQ(opened.urls, std::vector{QUrl::fromLocalFile("/tmp/Snagreel-share-X")});

        QDBusConnection service =
            QDBusConnection::connectToBus(address, "snagreel-test-file-manager");
        FakeFileManager fake;
        ASSERT_TRUE(service.registerObject("/org/freedesktop/FileManager1", &fake,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
        manager.revealFile(zip);
        EXPECT_TRUE(testing::pumpUntil([&] { return !fake.shown.isEmpty(); }));
        EXPECT_EQ(fake.shown.join(" ").toStdString(),
                  "file:///tmp/Snagreel-share-X/Snagreel%20report.zip");
        EXPECT_EQ(opened.urls.size(), 1u);

        EXPECT_TRUE(manager.openFolder("/tmp/Snagreel-share-X"));
        EXPECT_EQ(opened.urls.size(), 2u);
    }
    QDesktopServices::unsetUrlHandler("file");
    QDBusConnection::disconnectFromBus("snagreel-test-client");
    QDBusConnection::disconnectFromBus("snagreel-test-file-manager");
}

} // namespace
} // namespace snagreel::app

#include "FileManagerTests.moc"
