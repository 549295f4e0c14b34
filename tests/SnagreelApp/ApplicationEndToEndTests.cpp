// The real `snagreel` program on a display and a session bus of its own, with the
// build tree's report engines: the shortcut saves a clip, the local engine writes
// the report and the main window shows it.

#include "EventPump.hpp"
#include "SnagreelApp/SingleInstance.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/TestXServer.hpp"
#include "tests/support/Ffprobe.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TemporaryDirectory.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

namespace snagreel::app {
namespace {

namespace fs = std::filesystem;
using testing::pumpFor;
using testing::pumpUntil;

std::optional<fs::path> onlyCapture(const fs::path& root) {
    std::error_code error;
    std::optional<fs::path> found;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        if (found)
            return std::nullopt;
        found = entry.path();
    }
    return found;
}

std::optional<fs::path> report(const fs::path& capture) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(capture, error))
        if (entry.path().filename().string().starts_with("report-local-") &&
            entry.path().extension() == ".md")
            return entry.path();
    return std::nullopt;
}

TEST(ApplicationEndToEnd, ShortcutSavesAClipThatIsReportedAndShownThenSigtermQuits) {
    std::string whyNot;
    auto server = devsupport::TestXServer::xvfb(&whyNot);
    if (!server)
        GTEST_SKIP() << whyNot;
    auto bus = testing::PrivateBus::start(&whyNot);
    if (!bus)
        GTEST_SKIP() << whyNot;
    if (!testing::ffprobeAvailable())
        GTEST_SKIP() << "no ffprobe";
    auto content = devsupport::MovingContent::start(
        server->display(), devsupport::MovingContent::Mode::motion, 15, &whyNot);
    ASSERT_TRUE(content) << whyNot;

    testing::TemporaryDirectory home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("DISPLAY", QString::fromStdString(server->display()));
    environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus->address()));
    environment.insert("XDG_DATA_HOME", QString::fromStdString((home.path() / "data").string()));
    environment.insert("XDG_CONFIG_HOME",
                       QString::fromStdString((home.path() / "config").string()));
    // Under AddressSanitizer the program is still checked for memory errors, not for
    // leaks: the media and platform plugins it loads are unloaded before the leak
    // check runs, so their lifetime allocations could not even be told apart from ours
    // (the in-process application tests check our code for leaks).
    environment.insert("LSAN_OPTIONS", "detect_leaks=0");
    QProcess app;
    app.setProcessEnvironment(environment);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(SNAGREEL_EXECUTABLE, {});
    ASSERT_TRUE(app.waitForStarted());

    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(bus->address()), "end-to-end");
    auto shown = [&] {
        const QDBusMessage reply = connection.call(QDBusMessage::createMethodCall(
            kInstanceService, kInstancePath, kInstanceInterface, "ShownCapture"));
        return reply.type() == QDBusMessage::ReplyMessage
                   ? reply.arguments().value(0).toStringList()
                   : QStringList{};
    };
    // Without a system tray the window opens at launch, with nothing selected.
    ASSERT_TRUE(pumpUntil([&] { return shown().size() == 2; }, std::chrono::seconds(60)));

    // The rewind needs its first frames before there is anything to save, so the
    // shortcut is pressed again (through XTEST) until a capture appears.
    const fs::path captures = home.path() / "data" / "Snagreel" / "Captures";
    std::optional<fs::path> capture;
    for (int press = 0; press < 20 && !capture; ++press) {
        const auto typed = testing::runProgram(
            {"env", "DISPLAY=" + server->display(), "xdotool", "key", "ctrl+alt+super+f"});
        ASSERT_TRUE(typed && typed->exitStatus == 0) << "xdotool: " << (typed ? typed->err : "");
        pumpUntil([&] { return (capture = onlyCapture(captures)).has_value(); },
                  std::chrono::seconds(3));
    }
    ASSERT_TRUE(capture);

    // The report is written and shown for this capture.
    std::optional<fs::path> written;
    QStringList window;
    ASSERT_TRUE(pumpUntil(
        [&] {
            written = report(*capture);
            window = shown();
            return written &&
                   window.value(0) == QString::fromStdString(capture->filename().string()) &&
                   !window.value(1).isEmpty();
        },
        std::chrono::seconds(240)))
        << window.join('|').toStdString();
    std::ifstream reportFile(*written);
    std::string firstLine;
    std::getline(reportFile, firstLine);
    EXPECT_EQ("# " + window.value(1).toStdString(), firstLine);

    EXPECT_GT(fs::file_size(*capture / "manifest.json"), 0u);
    const auto probe = testing::ffprobe(*capture / "clip.mp4", &whyNot);
    ASSERT_TRUE(probe) << whyNot;
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_GT(probe->frameCount(), 0);
    EXPECT_TRUE(probe->decodeErrors.empty());

    // Logout's SIGTERM quits without an alert to answer.
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

} // namespace
} // namespace snagreel::app
