#include "SnagreelApp/SingleInstance.hpp"

#include <QDBusConnectionInterface>
#include <QDBusReply>

namespace snagreel::app {

namespace {

constexpr int kSaveTimeoutMilliseconds = 120 * 1000;

QDBusMessage call(const char* method) {
    return QDBusMessage::createMethodCall(QLatin1String(kInstanceService),
                                          QLatin1String(kInstancePath),
                                          QLatin1String(kInstanceInterface), QLatin1String(method));
}

} // namespace

InstanceService::InstanceService(QDBusConnection bus, InstanceHandlers handlers, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), handlers_(std::move(handlers)) {}

InstanceService::~InstanceService() {
    if (claimed_) {
        bus_.unregisterService(QLatin1String(kInstanceService));
    }
    if (registered_) {
        bus_.unregisterObject(QLatin1String(kInstancePath));
    }
}

bool InstanceService::claim() {
    if (!bus_.isConnected()) {
        return false;
    }
    registered_ = bus_.registerObject(QLatin1String(kInstancePath), this,
                                      QDBusConnection::ExportScriptableSlots);
    if (!registered_) {
        return false;
    }
    // Without queueing or replacement: the first launch keeps the name.
    const auto reply = bus_.interface()->registerService(
        QLatin1String(kInstanceService), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    claimed_ = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    if (!claimed_) {
        bus_.unregisterObject(QLatin1String(kInstancePath));
        registered_ = false;
    }
    return claimed_;
}

void InstanceService::ShowWindow() {
    if (handlers_.showWindow) {
        handlers_.showWindow();
    }
}

void InstanceService::SaveClip(double seconds, bool writeReport, const QDBusMessage& message) {
    if (!(seconds == 0 || seconds == 30 || seconds == 60)) {
        bus_.send(message.createReply({false, QStringLiteral("A clip is 30 or 60 seconds long.")}));
        return;
    }
    if (!handlers_.saveClip) {
        bus_.send(message.createReply({false, QStringLiteral("Saving clips is not available.")}));
        return;
    }
    message.setDelayedReply(true);
    handlers_.saveClip(seconds == 0 ? std::nullopt : std::optional<double>(seconds), writeReport,
                       [bus = bus_, message](bool saved, QString line) mutable {
                           bus.send(message.createReply({saved, line}));
                       });
}

bool requestShowWindow(QDBusConnection bus) {
    if (!bus.isConnected()) {
        return false;
    }
    const QDBusMessage reply = bus.call(call("ShowWindow"));
    return reply.type() == QDBusMessage::ReplyMessage;
}

SaveRequestOutcome requestSave(QDBusConnection bus, std::optional<double> seconds,
                               bool writeReport) {
    if (!bus.isConnected()) {
        return {3, QStringLiteral("Snagreel is not running: there is no session bus.")};
    }
    QDBusMessage message = call("SaveClip");
    message << seconds.value_or(0) << writeReport;
    const QDBusMessage reply = bus.call(message, QDBus::Block, kSaveTimeoutMilliseconds);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
            return {3, QStringLiteral("Snagreel is not running.")};
        }
        return {1, QStringLiteral("Snagreel did not answer: ") + reply.errorMessage()};
    }
    const QList<QVariant> arguments = reply.arguments();
    if (arguments.size() != 2) {
        return {1, QStringLiteral("Snagreel gave an answer this program does not understand.")};
    }
    const bool saved = arguments[0].toBool();
    return {saved ? 0 : 1, arguments[1].toString()};
}

} // namespace snagreel::app
