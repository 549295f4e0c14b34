#include "devsupport/FakeHostedService.hpp"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QUuid>

namespace snagreel::devsupport {

namespace {

std::string inSeconds(int seconds) {
    return QDateTime::currentDateTimeUtc()
        .addSecs(seconds)
        .toString(Qt::ISODateWithMs)
        .toStdString();
}

std::string sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

QByteArray reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

FakeHttpResponse FakeHttpResponse::json(int status, const nlohmann::json& body) {
    FakeHttpResponse response;
    response.status = status;
    response.body = QByteArray::fromStdString(body.dump());
    return response;
}

struct FakeHostedService::State {
    QTemporaryDir directory;
    QSslServer server;
    QList<QSslCertificate> certificates;
    Override override;
    UploadFault uploadFault = UploadFault::none;
    bool approving = true;
    std::map<std::string, bool> tokens; // token -> approved
    std::set<std::string> revoked;
    std::map<std::string, Report> reports;
    std::vector<FakeHttpRequest> requests;
    std::vector<std::pair<QPointer<QSslSocket>, FakeHttpResponse>> held;

    QString base() const { return QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()); }

    std::optional<std::string> bearer(const FakeHttpRequest& request) const {
        const QByteArray value = request.headers.value("authorization");
        if (!value.startsWith("Bearer ")) {
            return std::nullopt;
        }
        const std::string token = value.mid(7).toStdString();
        if (!tokens.contains(token) || revoked.contains(token)) {
            return std::nullopt;
        }
        return token;
    }

    nlohmann::json reportBody(const Report& report) const {
        return {{"reportId", report.id},
                {"reportUrl", (base() + "/reports/").toStdString() + report.id},
                {"status", report.status}};
    }

    FakeHttpResponse handle(const FakeHttpRequest& request) {
        if (override) {
            if (auto answer = override(request)) {
                return *answer;
            }
        }
        const auto unauthorized = FakeHttpResponse::json(401, {{"error", "unauthorized"}});
        const std::string path = request.path.toStdString();
        if (request.method == "POST" && path == "/api/device/start") {
            const std::string token =
                "dev-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
            tokens[token] = false;
            return FakeHttpResponse::json(200, {{"deviceToken", token},
                                                {"verificationUrl", "/device?code=WXYZ-1234"},
                                                {"pairingCode", "WXYZ-1234"},
                                                {"expiresAt", inSeconds(600)},
                                                {"pollIntervalSeconds", 1}});
        }
        const auto token = bearer(request);
        if (request.method == "GET" && path == "/api/device/status") {
            if (!token) {
                return unauthorized;
            }
            tokens[*token] = tokens[*token] || approving;
            return FakeHttpResponse::json(200, {{"status", tokens[*token] ? "approved" : "pending"},
                                                {"expiresAt", inSeconds(3600)}});
        }
        if (request.method == "DELETE" && path == "/api/device/session") {
            if (!token) {
                return unauthorized;
            }
            revoked.insert(*token);
            FakeHttpResponse response;
            response.status = 204;
            return response;
        }
        if (path.starts_with("/upload/") && request.method == "PUT") {
            const auto rest = path.substr(8);
            const auto slash = rest.find('/');
            auto report = reports.find(rest.substr(0, slash));
            if (slash == std::string::npos || report == reports.end()) {
                return FakeHttpResponse::json(404, {{"error", "no such upload"}});
            }
            report->second.parts[rest.substr(slash + 1)] = request.body;
            return FakeHttpResponse::json(200, nlohmann::json::object());
        }
        if (!token || !tokens[*token]) {
            return unauthorized;
        }
        if (request.method == "GET" && path == "/api/account") {
            return FakeHttpResponse::json(
                200, {{"access", "allowed"}, {"email", "someone@example.com"}});
        }
        if (request.method == "POST" && path == "/api/reports") {
            auto submission = nlohmann::json::parse(request.body.toStdString(), nullptr, false);
            if (submission.is_discarded() || !submission.is_object()) {
                return FakeHttpResponse::json(400, {{"error", "bad submission"}});
            }
            Report report{QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(),
                          submission,
                          {},
                          "uploading"};
            nlohmann::json body = reportBody(report);
            body["uploads"] = nlohmann::json::array();
            for (const auto& [kind, type] : {std::pair{"video", "video/mp4"},
                                             {"firstFrame", "image/png"},
                                             {"finalFrame", "image/png"}}) {
                body["uploads"].push_back(
                    {{"kind", kind},
                     {"url", (base() + "/upload/").toStdString() + report.id + "/" + kind},
                     {"method", "PUT"},
                     {"headers", {{"Content-Type", type}}},
                     {"expiresAt", inSeconds(600)}});
            }
            reports[report.id] = report;
            return FakeHttpResponse::json(200, body);
        }
        if (path.starts_with("/api/reports/")) {
            std::string id = path.substr(13);
            const bool completing = request.method == "POST" && id.ends_with("/complete");
            if (completing) {
                id.resize(id.size() - 9);
            }
            auto found = reports.find(id);
            if (found == reports.end()) {
                return FakeHttpResponse::json(404, {{"error", "no such report"}});
            }
            Report& report = found->second;
            if (completing) {
                const auto& s = report.submission;
                const bool intact =
                    sha256(report.parts["video"]) == s.value("videoSHA256", "") &&
                    sha256(report.parts["firstFrame"]) == s.value("firstFrameSHA256", "") &&
                    sha256(report.parts["finalFrame"]) == s.value("finalFrameSHA256", "");
                if (!intact) {
                    return FakeHttpResponse::json(400, {{"error", "uploads do not match"}});
                }
                report.status = "queued";
                return FakeHttpResponse::json(200, reportBody(report));
            }
            if (request.method == "GET") {
                if (report.status == "queued") {
                    report.status = "ready";
                }
                nlohmann::json body = {
                    {"id", report.id},
                    {"title", "What happened on screen"},
                    {"markdown", "# What happened\n"},
                    {"version", 1},
                    {"status", report.status},
                    {"errorCode", nullptr},
                    {"reportUrl", (base() + "/reports/").toStdString() + report.id}};
                return FakeHttpResponse::json(200, body);
            }
        }
        return FakeHttpResponse::json(404, {{"error", "not found"}});
    }

    void serve(QSslSocket* socket) {
        auto buffer = std::make_shared<QByteArray>();
        auto stopped = std::make_shared<bool>(false);
        QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer, stopped] {
            if (*stopped) {
                return;
            }
            *buffer += socket->readAll();
            for (;;) {
                const auto end = buffer->indexOf("\r\n\r\n");
                if (end < 0) {
                    return;
                }
                FakeHttpRequest request;
                const QList<QByteArray> lines = buffer->left(end).split('\n');
                const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                request.method = first.value(0);
                const QByteArray target = first.value(1);
                const auto question = target.indexOf('?');
                request.path = question < 0 ? target : target.left(question);
                request.query = question < 0 ? QByteArray() : target.mid(question + 1);
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const auto colon = lines[i].indexOf(':');
                    if (colon > 0) {
                        request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                               lines[i].mid(colon + 1).trimmed());
                    }
                }
                if (request.method == "PUT" && uploadFault != UploadFault::none) {
                    *stopped = true;
                    requests.push_back(request);
                    if (uploadFault == UploadFault::drop) {
                        socket->abort();
                    }
                    return;
                }
                const qsizetype length = request.headers.value("content-length", "0").toLongLong();
                if (buffer->size() < end + 4 + length) {
                    return;
                }
                request.body = buffer->mid(end + 4, length);
                buffer->remove(0, end + 4 + length);
                requests.push_back(request);
                const FakeHttpResponse response = handle(request);
                if (response.stall) {
                    *stopped = true;
                    return;
                }
                if (response.drop) {
                    socket->abort();
                    return;
                }
                if (response.hold) {
                    auto later = response;
                    later.hold = false;
                    held.emplace_back(socket, later);
                    continue;
                }
                send(socket, response);
            }
        });
    }

    static void send(QSslSocket* socket, const FakeHttpResponse& response) {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " " +
                          reason(response.status) + "\r\n";
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += "Content-Type: application/json\r\n";
        for (const auto& [name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
        }
        socket->write(head + "\r\n" + response.body);
    }
};

FakeHostedService::FakeHostedService() : state_(std::make_unique<State>()) {}

FakeHostedService::~FakeHostedService() = default;

std::unique_ptr<FakeHostedService> FakeHostedService::start(QString* whyNot) {
    std::unique_ptr<FakeHostedService> service(new FakeHostedService());
    State& state = *service->state_;
    const auto failed = [whyNot](const QString& why) {
        if (whyNot != nullptr) {
            *whyNot = why;
        }
        return nullptr;
    };
    if (!state.directory.isValid()) {
        return failed(QStringLiteral("no temporary directory"));
    }
    // A throw-away certificate for 127.0.0.1, valid for a day.
    const QString key = state.directory.filePath(QStringLiteral("key.pem"));
    const QString certificate = state.directory.filePath(QStringLiteral("certificate.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        return failed(QStringLiteral("openssl could not make a certificate: ") +
                      QString::fromLocal8Bit(openssl.readAllStandardError()));
    }
    QFile keyFile(key);
    QFile certificateFile(certificate);
    if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly)) {
        return failed(QStringLiteral("the certificate files cannot be read"));
    }
    state.certificates = QSslCertificate::fromData(certificateFile.readAll(), QSsl::Pem);
    const QSslKey privateKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
    if (state.certificates.isEmpty() || privateKey.isNull()) {
        return failed(QStringLiteral("the certificate cannot be loaded"));
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(state.certificates.first());
    tls.setPrivateKey(privateKey);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    state.server.setSslConfiguration(tls);
    QObject::connect(&state.server, &QTcpServer::pendingConnectionAvailable, &state.server,
                     [&state] {
                         while (auto* socket = state.server.nextPendingConnection()) {
                             state.serve(static_cast<QSslSocket*>(socket));
                         }
                     });
    if (!state.server.listen(QHostAddress::LocalHost, 0)) {
        return failed(state.server.errorString());
    }
    return service;
}

QString FakeHostedService::baseURL() const {
    return state_->base();
}

QList<QSslCertificate> FakeHostedService::certificates() const {
    return state_->certificates;
}

void FakeHostedService::setOverride(Override override) {
    state_->override = std::move(override);
}

void FakeHostedService::setUploadFault(UploadFault fault) {
    state_->uploadFault = fault;
}

void FakeHostedService::setApproving(bool approving) {
    state_->approving = approving;
}

const std::map<std::string, FakeHostedService::Report>& FakeHostedService::reports() const {
    return state_->reports;
}

const std::vector<FakeHttpRequest>& FakeHostedService::requests() const {
    return state_->requests;
}

std::set<std::string> FakeHostedService::revokedTokens() const {
    return state_->revoked;
}

void FakeHostedService::releaseHeld() {
    for (auto& [socket, response] : std::exchange(state_->held, {})) {
        if (socket) {
            State::send(socket, response);
        }
    }
}

void FakeHostedService::revokeAll() {
    for (const auto& [token, approved] : state_->tokens) {
        state_->revoked.insert(token);
    }
}

} // namespace snagreel::devsupport
