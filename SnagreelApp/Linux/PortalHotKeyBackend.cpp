#include "SnagreelApp/Linux/PortalHotKeyBackend.hpp"

#include "SnagreelApp/Linux/X11HotKeyBackend.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <xkbcommon/xkbcommon.h>

#include <map>

namespace {

// One entry of the portal's shortcut lists, a(sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
using PortalShortcuts = QList<PortalShortcut>;

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace snagreel::app {
namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString kShortcutID = QStringLiteral("save-clip");
constexpr int kPortalQueryTimeoutMs = 5000;

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcuts>();
        return true;
    }();
    (void)done;
}

// The portal names request and session objects after the caller's unique name
// and a token of ours, so that the answer can be listened for before asking.
QString portalObjectPath(const QDBusConnection& bus, const char* kind, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace(u'.', u'_');
    return QStringLiteral("/org/freedesktop/portal/desktop/%1/%2/%3")
        .arg(QLatin1String(kind), sender, token);
}

QString newToken() {
    return QStringLiteral("snagreel_") + QUuid::createUuid().toString(QUuid::Id128);
}

// The trigger description of `id` in a shortcut list as the portal sends it.
std::optional<std::string> triggerIn(const QVariant& list, const QString& id) {
    if (!list.canConvert<QDBusArgument>()) {
        return std::nullopt;
    }
    PortalShortcuts shortcuts;
    list.value<QDBusArgument>() >> shortcuts;
    for (const PortalShortcut& shortcut : shortcuts) {
        if (shortcut.id == id) {
            const QString text = shortcut.properties.value(QStringLiteral("trigger_description"))
                                     .toString()
                                     .trimmed();
            if (!text.isEmpty()) {
                return text.toStdString();
            }
        }
    }
    return std::nullopt;
}

// Waits for one request's Response signal, then goes away.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(std::uint32_t response, const QVariantMap& results)>;

    PortalRequest(QDBusConnection bus, QString path, Handler handler, QObject* parent)
        : QObject(parent), bus_(std::move(bus)), path_(std::move(path)),
          handler_(std::move(handler)) {
        bus_.connect(kPortalService, path_, kRequestInterface, QStringLiteral("Response"), this,
                     SLOT(response(uint, QVariantMap)));
    }

    // The call that creates the request failed: answers as an error response.
    void failed() { response(2, {}); }

public slots:
    void response(uint code, const QVariantMap& results) {
        if (!handler_) {
            return;
        }
        bus_.disconnect(kPortalService, path_, kRequestInterface, QStringLiteral("Response"), this,
                        SLOT(response(uint, QVariantMap)));
        Handler handler = std::move(handler_);
        handler_ = nullptr;
        deleteLater();
        handler(code, results);
    }

private:
    QDBusConnection bus_;
    QString path_;
    Handler handler_;
};

class PortalHotKeyBackend final : public QObject, public HotKeyBackend {
    Q_OBJECT
public:
    explicit PortalHotKeyBackend(QDBusConnection bus) : bus_(std::move(bus)) {
        registerTypes();
        bus_.connect(kPortalService, kPortalPath, kShortcutsInterface, QStringLiteral("Activated"),
                     this, SLOT(activated(QDBusMessage)));
        bus_.connect(kPortalService, kPortalPath, kShortcutsInterface,
                     QStringLiteral("ShortcutsChanged"), this,
                     SLOT(shortcutsChanged(QDBusMessage)));
    }

    ~PortalHotKeyBackend() override {
        for (const auto& [id, binding] : bindings_) {
            closeSession(binding.session);
        }
    }

    std::int32_t handlerStatus() const override { return kOk; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }

    std::optional<std::string> assignedTrigger(std::uint32_t registrationID) const override {
        auto found = bindings_.find(registrationID);
        return found == bindings_.end() ? std::nullopt : found->second.trigger;
    }

    // Accepted at once; the desktop answers later, and a refusal arrives as onLost.
    std::int32_t registerShortcut(const CaptureShortcut& shortcut,
                                  std::uint32_t registrationID) override {
        const QString sessionToken = newToken();
        Binding& binding = bindings_[registrationID];
        binding.session = portalObjectPath(bus_, "session", sessionToken);
        binding.preferredTrigger = QString::fromStdString(portalTrigger(shortcut));
        request("CreateSession", {}, {{QStringLiteral("session_handle_token"), sessionToken}},
                [this, registrationID, session = binding.session](std::uint32_t code,
                                                                  const QVariantMap&) {
                    if (!bindings_.contains(registrationID)) {
                        // Unregistered while the portal was still creating it.
                        if (code == 0) {
                            closeSession(session);
                        }
                        return;
                    }
                    if (code != 0) {
                        lost(registrationID);
                        return;
                    }
                    bind(registrationID);
                });
        return kOk;
    }

    std::int32_t unregisterShortcut(std::uint32_t registrationID) override {
        auto found = bindings_.find(registrationID);
        if (found != bindings_.end()) {
            closeSession(found->second.session);
            bindings_.erase(found);
        }
        return kOk;
    }

private slots:
    // Activated(o session, s shortcut, t timestamp, a{sv} options)
    void activated(const QDBusMessage& signal) {
        const QVariantList arguments = signal.arguments();
        if (arguments.size() < 2 || arguments[1].toString() != kShortcutID) {
            return;
        }
        const QString session = arguments[0].value<QDBusObjectPath>().path();
        for (const auto& [id, binding] : bindings_) {
            if (binding.session == session && binding.bound) {
                if (onPressed) {
                    onPressed(id);
                }
                return;
            }
        }
    }

    // ShortcutsChanged(o session, a(sa{sv}) shortcuts): the user changed the key in
    // the desktop's settings.
    void shortcutsChanged(const QDBusMessage& signal) {
        const QVariantList arguments = signal.arguments();
        if (arguments.size() < 2) {
            return;
        }
        const QString session = arguments[0].value<QDBusObjectPath>().path();
        for (auto& [id, binding] : bindings_) {
            if (binding.session == session && binding.bound) {
                binding.trigger = triggerIn(arguments[1], kShortcutID);
                if (onTriggerAssigned) {
                    onTriggerAssigned(id);
                }
            }
        }
    }

private:
    struct Binding {
        QString session;
        QString preferredTrigger;
        std::optional<std::string> trigger;
        bool bound = false;
    };

    void bind(std::uint32_t registrationID) {
        const Binding& binding = bindings_.at(registrationID);
        const PortalShortcuts shortcuts{
            {kShortcutID,
             {{QStringLiteral("description"), QStringLiteral("Save a clip")},
              {QStringLiteral("preferred_trigger"), binding.preferredTrigger}}}};
        request("BindShortcuts",
                {QVariant::fromValue(QDBusObjectPath(binding.session)),
                 QVariant::fromValue(shortcuts), QString()},
                {}, [this, registrationID](std::uint32_t code, const QVariantMap& results) {
                    auto found = bindings_.find(registrationID);
                    if (found == bindings_.end()) {
                        return;
                    }
                    if (code != 0) {
                        lost(registrationID);
                        return;
                    }
                    found->second.bound = true;
                    found->second.trigger =
                        triggerIn(results.value(QStringLiteral("shortcuts")), kShortcutID);
                    if (onTriggerAssigned) {
                        onTriggerAssigned(registrationID);
                    }
                });
    }

    // Calls `method` with `arguments` and then the options (with a handle token
    // added), and hands the request's response to `handler`.
    void request(const char* method, QVariantList arguments, QVariantMap options,
                 PortalRequest::Handler handler) {
        const QString token = newToken();
        options.insert(QStringLiteral("handle_token"), token);
        auto* pending = new PortalRequest(bus_, portalObjectPath(bus_, "request", token),
                                          std::move(handler), this);
        QDBusMessage call = QDBusMessage::createMethodCall(
            kPortalService, kPortalPath, kShortcutsInterface, QLatin1String(method));
        arguments.append(options);
        call.setArguments(arguments);
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [pending = QPointer<PortalRequest>(pending)](QDBusPendingCallWatcher* finished) {
                    finished->deleteLater();
                    if (finished->isError() && pending) {
                        pending->failed();
                    }
                });
    }

    void lost(std::uint32_t registrationID) {
        bindings_.erase(registrationID);
        if (onLost) {
            onLost(registrationID, kTaken);
        }
    }

    void closeSession(const QString& session) {
        bus_.asyncCall(QDBusMessage::createMethodCall(kPortalService, session, kSessionInterface,
                                                      QStringLiteral("Close")));
    }

    QDBusConnection bus_;
    std::map<std::uint32_t, Binding> bindings_;
};

} // namespace

bool portalOffersGlobalShortcuts(const QDBusConnection& bus) {
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get.setArguments({kShortcutsInterface, QStringLiteral("version")});
    const QDBusMessage reply = bus.call(get, QDBus::Block, kPortalQueryTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

std::unique_ptr<HotKeyBackend> makeWaylandHotKeyBackend(const QDBusConnection& bus) {
    if (!portalOffersGlobalShortcuts(bus)) {
        return makeUnavailableHotKeyBackend(kNoPortalShortcutReason);
    }
    return std::make_unique<PortalHotKeyBackend>(bus);
}

std::string portalTrigger(const CaptureShortcut& shortcut) {
    std::string trigger;
    const std::pair<std::uint32_t, const char*> modifiers[] = {{CaptureShortcut::kCtrl, "CTRL+"},
                                                               {CaptureShortcut::kAlt, "ALT+"},
                                                               {CaptureShortcut::kShift, "SHIFT+"},
                                                               {CaptureShortcut::kSuper, "LOGO+"}};
    for (const auto& [bit, name] : modifiers) {
        if (shortcut.modifiers & bit) {
            trigger += name;
        }
    }
    char name[64] = {};
    if (xkb_keysym_get_name(shortcut.keyCode, name, sizeof name) > 0) {
        trigger += name;
    }
    return trigger;
}

} // namespace snagreel::app

#include "PortalHotKeyBackend.moc"
