#pragma once

// gnome-keyring on a session bus of the test process's own, unlocked with a
// password (an empty one fails without a display). The daemon and its bus serve
// the whole process, because libsecret binds to the first session bus it meets.

#include "support/PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace snagreel::testing {

class SecretServiceSession {
public:
    static SecretServiceSession* shared(std::string& whyNot) {
        static std::unique_ptr<SecretServiceSession> session = start(whyNot);
        static std::string firstWhyNot = whyNot;
        whyNot = firstWhyNot;
        return session.get();
    }

    ~SecretServiceSession() {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            ::waitpid(daemon_, nullptr, 0);
        }
    }

private:
    static std::unique_ptr<SecretServiceSession> start(std::string& whyNot) {
        auto session = std::unique_ptr<SecretServiceSession>(new SecretServiceSession());
        session->bus_ = PrivateBus::start(&whyNot);
        if (!session->bus_) {
            return nullptr;
        }
        const auto home = session->home_.path();
        int input[2];
        if (home.empty() || ::pipe(input) != 0) {
            whyNot = "no home or pipe for the keyring daemon";
            return nullptr;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::close(input[0]);
            ::close(input[1]);
            ::setenv("DBUS_SESSION_BUS_ADDRESS", session->bus_->address().c_str(), 1);
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
            ::execlp("gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground", "--unlock",
                     "--components=secrets", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(input[0]);
        const bool written = pid > 0 && ::write(input[1], "pw", 2) == 2;
        ::close(input[1]);
        if (!written) {
            whyNot = "gnome-keyring-daemon could not be started";
            return nullptr;
        }
        session->daemon_ = pid;
        auto connection = QDBusConnection::connectToBus(
            QString::fromStdString(session->bus_->address()), QStringLiteral("keyring-check"));
        for (int i = 0; i < 200; ++i) {
            if (connection.interface()->isServiceRegistered(
                    QStringLiteral("org.freedesktop.secrets"))) {
                ::setenv("DBUS_SESSION_BUS_ADDRESS", session->bus_->address().c_str(), 1);
                return session;
            }
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                session->daemon_ = -1;
                break;
            }
            QThread::msleep(50);
        }
        whyNot = "gnome-keyring-daemon did not come up on the private bus";
        return nullptr;
    }

    SecretServiceSession() = default;
    TemporaryDirectory home_{"snagreel-keyring"};
    std::unique_ptr<PrivateBus> bus_;
    pid_t daemon_ = -1;
};

} // namespace snagreel::testing
