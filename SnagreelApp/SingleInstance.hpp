#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace snagreel::app {

inline constexpr const char* kInstanceService = "app.snagreel.Snagreel";
inline constexpr const char* kInstancePath = "/app/snagreel/Snagreel";
inline constexpr const char* kInstanceInterface = "app.snagreel.Snagreel1";

// What the running instance does for a second launch or a `snagreel --save`.
struct InstanceHandlers {
    std::function<void()> showWindow;
    // Saves a clip (of `seconds`, or the current clip length when none) and answers
    // once it is saved or refused, with the clip's path or the reason.
    std::function<void(std::optional<double> seconds, bool writeReport,
                       std::function<void(bool saved, QString line)> reply)>
        saveClip;
};

// The one instance of the application in a user session: owns the session bus name
// and answers the requests of later launches.
class InstanceService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.snagreel.Snagreel1")
    // SaveClip answers later, so its reply arguments are declared here.
    Q_CLASSINFO("D-Bus Introspection",
                "  <interface name=\"app.snagreel.Snagreel1\">\n"
                "    <method name=\"ShowWindow\"/>\n"
                "    <method name=\"SaveClip\">\n"
                "      <arg name=\"seconds\" type=\"d\" direction=\"in\"/>\n"
                "      <arg name=\"writeReport\" type=\"b\" direction=\"in\"/>\n"
                "      <arg name=\"saved\" type=\"b\" direction=\"out\"/>\n"
                "      <arg name=\"line\" type=\"s\" direction=\"out\"/>\n"
                "    </method>\n"
                "  </interface>\n")
public:
    InstanceService(QDBusConnection bus, InstanceHandlers handlers, QObject* parent = nullptr);
    ~InstanceService() override;

    // Registers the object and claims the name; false when another process owns it
    // (or the bus refused), and then nothing stays registered.
    bool claim();

public slots:
    Q_SCRIPTABLE void ShowWindow();
    // Replies (bool saved, string line); seconds 0 means the current clip length.
    Q_SCRIPTABLE void SaveClip(double seconds, bool writeReport, const QDBusMessage& message);

private:
    QDBusConnection bus_;
    InstanceHandlers handlers_;
    bool registered_ = false;
    bool claimed_ = false;
};

// A later launch's side. Asks the running instance to show its main window; false
// when none answers.
bool requestShowWindow(QDBusConnection bus);

struct SaveRequestOutcome {
    // 0 saved, 1 refused or failed, 3 no running instance.
    int exitStatus = 1;
    QString line;
};
SaveRequestOutcome requestSave(QDBusConnection bus, std::optional<double> seconds,
                               bool writeReport);

} // namespace snagreel::app
