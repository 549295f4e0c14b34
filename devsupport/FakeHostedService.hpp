#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QString>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace snagreel::devsupport {

struct FakeHttpRequest {
    QByteArray method;
    QByteArray path; // without the query
    QByteArray query;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

struct FakeHttpResponse {
    int status = 200;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    bool stall = false; // never answer
    bool drop = false;  // close the connection instead of answering
    bool hold = false;  // answer only at releaseHeld()

    static FakeHttpResponse json(int status, const nlohmann::json& body);
};

// The hosted report service on 127.0.0.1 over HTTPS, with a certificate made for
// it alone (clients trust it through certificates()). It speaks the whole
// protocol: device sign-in, account, report creation, uploads to its own origin,
// completion and report reads. Tests make it misbehave through an override that
// answers chosen requests, and through upload faults. It runs on the thread that
// started it, which must run a Qt event loop.
class FakeHostedService {
public:
    static std::unique_ptr<FakeHostedService> start(QString* whyNot = nullptr);
    ~FakeHostedService();

    QString baseURL() const;
    QList<QSslCertificate> certificates() const;

    // Answers a request instead of the protocol when it returns a response.
    using Override = std::function<std::optional<FakeHttpResponse>(const FakeHttpRequest&)>;
    void setOverride(Override override);

    // Uploads that never get read, or whose connection is closed as they begin.
    enum class UploadFault { none, stall, drop };
    void setUploadFault(UploadFault fault);
    // Whether polls report the device approved (the user approved it in a browser).
    void setApproving(bool approving);

    struct Report {
        std::string id;
        nlohmann::json submission;
        std::map<std::string, QByteArray> parts; // by grant kind
        std::string status;
    };
    const std::map<std::string, Report>& reports() const;
    const std::vector<FakeHttpRequest>& requests() const;
    std::set<std::string> revokedTokens() const;
    // Sends the answers held back so far.
    void releaseHeld();
    // Forgets a token, as a server does when the user revokes the device elsewhere.
    void revokeAll();

    struct State;

private:
    FakeHostedService();
    std::unique_ptr<State> state_;
};

} // namespace snagreel::devsupport
