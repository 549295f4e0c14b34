// The Snagreel application: one instance per user session, recording from launch.
//
//   snagreel                 starts the application, or shows the running one's window
//   snagreel --save [--seconds 30|60] [--no-report]
//                            asks the running instance to save a clip; prints where it
//                            went (exit 0) or why not (exit 1; 3 when none runs)

#include "SnagreelApp/ApplicationRoot.hpp"
#include "SnagreelApp/SingleInstance.hpp"
#include "SnagreelApp/Ui/DesktopShell.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace snagreel::app;

namespace {

int usage(const char* problem) {
    std::fprintf(stderr,
                 "%s\nusage: snagreel\n       snagreel --save [--seconds 30|60] [--no-report]\n",
                 problem);
    return 2;
}

int runSave(int argc, char** argv) {
    std::optional<double> seconds;
    bool writeReport = true;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--save") {
            continue;
        }
        if (argument == "--no-report") {
            writeReport = false;
        } else if (argument == "--seconds" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value != "30" && value != "60") {
                return usage("--seconds takes 30 or 60");
            }
            seconds = std::stod(value);
        } else {
            return usage(("unknown option " + argument).c_str());
        }
    }
    QCoreApplication application(argc, argv);
    const SaveRequestOutcome outcome =
        requestSave(QDBusConnection::sessionBus(), seconds, writeReport);
    std::printf("%s\n", outcome.line.toUtf8().constData());
    return outcome.exitStatus;
}

int quitPipe[2] = {-1, -1};

void requestQuit(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(quitPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--save") == 0) {
            return runSave(argc, argv);
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Snagreel"));
    QApplication::setOrganizationName(QStringLiteral("Snagreel"));
    QApplication::setQuitOnLastWindowClosed(false);
    if (QCoreApplication::arguments().size() > 1) {
        return usage(
            ("unknown option " + QCoreApplication::arguments().at(1).toStdString()).c_str());
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (requestShowWindow(bus)) {
        return 0; // the running instance shows itself
    }
    ApplicationRoot root(ApplicationRootOptions{});
    InstanceService instance(bus, root.instanceHandlers());
    if (bus.isConnected() && !instance.claim()) {
        // Another launch won the name meanwhile.
        requestShowWindow(bus);
        return 0;
    }

    // SIGTERM and SIGINT end the run like a quit: edits saved, recorder stopped.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitPipe) == 0) {
        auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &application);
        QObject::connect(notifier, &QSocketNotifier::activated, &application,
                         [] { QCoreApplication::quit(); });
        std::signal(SIGTERM, requestQuit);
        std::signal(SIGINT, requestQuit);
    }
    // The tray and the windows; without a tray the main window opens now. Made after
    // the instance claim so a second launch never flashes a window, and destroyed
    // before the root whose state it shows.
    auto shell = std::make_unique<DesktopShell>(root.state());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &root, [&root, &shell] {
        root.shutdown();
        shell.reset();
    });
    return QApplication::exec();
}
