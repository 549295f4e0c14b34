#include "SnagreelApp/Hosted/HostedServiceClient.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"
#include "SnagreelApp/Hosted/HostedKeyringStore.hpp"
#include "SnagreelApp/Hosted/HostedVideoPreparation.hpp"
#include "SnagreelCore/Support/Json.hpp"
#include "SnagreelCore/Support/Uuid.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>

namespace snagreel::app {

namespace {

using Case = HostedServiceError::Case;
using CancelFlag = std::shared_ptr<std::atomic<bool>>;
namespace linuxfs = reports::linuxfs;

constexpr qint64 kMaxResponseBytes = 2000000;
constexpr const char* kDeviceName = "Snagreel on Linux";
const std::set<std::string> kReportStatuses = {"uploading", "queued", "generating", "ready",
                                               "failed"};

Unexpected<Error> fail(Case kind) {
    return Unexpected{hostedError(kind)};
}

// Never stores or sends a cookie.
class NoCookies final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

struct ReplyOutcome {
    bool transportFailed = false;
    bool oversized = false;
    int status = 0;
    QByteArray body;
};

std::size_t characterCount(const QString& text) {
    return static_cast<std::size_t>(text.toUcs4().size());
}

bool isLineBreakOrSpace(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 || QChar::isSpace(c);
}

// Member readers that turn every missing member or wrong type into
// invalidResponse.
Result<std::string> stringMember(const nlohmann::json& object, const char* key) {
    auto value = jsonread::readString(object, key);
    if (!value) {
        return fail(Case::invalidResponse);
    }
    return *value;
}

Result<std::optional<std::string>> optionalStringMember(const nlohmann::json& object,
                                                        const char* key) {
    auto value = jsonread::optionalMember(object, key);
    if (!value) {
        return fail(Case::invalidResponse);
    }
    if (*value == nullptr) {
        return std::optional<std::string>();
    }
    if (!(*value)->is_string()) {
        return fail(Case::invalidResponse);
    }
    return std::optional<std::string>((*value)->get<std::string>());
}

// The JSON object of a successful response; a failed request passes its error on.
Result<nlohmann::json> decodeObject(const Result<QByteArray>& response) {
    if (!response) {
        return Unexpected{response.error()};
    }
    const QByteArray& body = *response;
    auto json =
        parseJson(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
    if (!json || !json->is_object()) {
        return fail(Case::invalidResponse);
    }
    return std::move(*json);
}

std::optional<double> futureTime(const std::string& text) {
    auto time = parseInternetDateTime(text);
    if (!time || *time <= hostedNow()) {
        return std::nullopt;
    }
    return time;
}

} // namespace

struct HostedServiceClient::Impl : std::enable_shared_from_this<Impl> {
    HostedServiceConfiguration configuration;
    std::shared_ptr<HostedCredentialStore> credentials;
    Options options;
    QThread thread;
    QObject* worker = nullptr;   // lives on `thread`
    QObject* delivery = nullptr; // lives on the creating thread
    // False once the client is gone: completions still queued are dropped.
    std::shared_ptr<bool> open = std::make_shared<bool>(true);
    QNetworkAccessManager* network = nullptr;
    QSslConfiguration tls;
    QThreadPool preparation;
    std::string sessionGeneration = uuidString(randomUuid());
    std::atomic<bool> shuttingDown = false;
    std::atomic<bool> preparationCancelled = false;
    // The reply each operation waits for, so that cancelling it can abandon it.
    std::map<const std::atomic<bool>*, QPointer<QNetworkReply>> inFlight;

    Impl(HostedServiceConfiguration c, std::shared_ptr<HostedCredentialStore> s, Options o)
        : configuration(std::move(c)), credentials(std::move(s)), options(std::move(o)) {}

    // --- executor plumbing -------------------------------------------------------

    template <typename F> void onExecutor(F work) {
        QMetaObject::invokeMethod(worker, std::move(work), Qt::QueuedConnection);
    }

    template <typename T> void deliver(const Completion<T>& done, Result<T> result) {
        QMetaObject::invokeMethod(
            delivery,
            [open = open, done, result = std::move(result)]() mutable {
                if (*open) {
                    done(std::move(result));
                }
            },
            Qt::QueuedConnection);
    }

    void report(const Progress& progress, const std::string& text) {
        if (progress) {
            QMetaObject::invokeMethod(
                delivery,
                [open = open, progress, text] {
                    if (*open) {
                        progress(text);
                    }
                },
                Qt::QueuedConnection);
        }
    }

    // Cancelled by the caller, or overtaken by a sign-in or sign-out.
    bool stale(const CancelFlag& cancel, const std::string& generation) const {
        return cancel->load() || generation != sessionGeneration;
    }

    void prepareRequest(QNetworkRequest& request) const {
        request.setSslConfiguration(tls);
        request.setTransferTimeout(options.requestTimeoutMs);
        // A 3xx comes back to us as it is; it is never followed.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    }

    // Reads the reply as it arrives, stopping past `cap` bytes (a negative cap
    // discards the body: upload answers are not read), and hands over the outcome
    // once. Transport failures are told apart from HTTP answers by whether
    // a status line arrived and the network layer reported no error of its own.
    void watch(QNetworkReply* reply, qint64 cap, const CancelFlag& cancel,
               std::function<void(ReplyOutcome)> handler) {
        inFlight[cancel.get()] = reply;
        if (cancel->load()) {
            // Cancelled before the request went out: nothing to wait for.
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
        }
        auto outcome = std::make_shared<ReplyOutcome>();
        auto* resourceTimer = new QTimer(reply);
        resourceTimer->setSingleShot(true);
        QObject::connect(resourceTimer, &QTimer::timeout, reply, &QNetworkReply::abort);
        resourceTimer->start(options.resourceTimeoutMs);
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, outcome, cap] {
            if (outcome->oversized || cap < 0) {
                reply->readAll();
                return;
            }
            outcome->body += reply->readAll();
            if (outcome->body.size() > cap) {
                outcome->oversized = true;
                outcome->body.clear();
                // Not from inside the reply's own signal.
                QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
            }
        });
        QObject::connect(
            reply, &QNetworkReply::finished, reply, [this, reply, outcome, cap, handler] {
                reply->deleteLater();
                if (shuttingDown) {
                    return;
                }
                if (!outcome->oversized && cap >= 0 && reply->isOpen()) {
                    outcome->body += reply->readAll();
                    if (outcome->body.size() > cap) {
                        outcome->oversized = true;
                        outcome->body.clear();
                    }
                }
                const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                const int error = static_cast<int>(reply->error());
                const bool networkError = error >= 1 && error <= 199;
                outcome->status = status.isValid() ? status.toInt() : 0;
                outcome->transportFailed =
                    !outcome->oversized && (!status.isValid() || networkError);
                handler(std::move(*outcome));
            });
    }

    // --- credentials ---------------------------------------------------------------

    Result<std::string> activeBearer() {
        auto stored = credentials->load();
        if (!stored) {
            return Unexpected{stored.error()};
        }
        if (!*stored || !(*stored)->approved || (*stored)->expiresAt <= hostedNow()) {
            return fail(Case::signInRequired);
        }
        return (*stored)->accessToken;
    }

    // --- API requests --------------------------------------------------------------

    void sendApi(const QString& path, const QByteArray& method, std::optional<QByteArray> body,
                 std::optional<std::string> bearer, CancelFlag cancel,
                 std::function<void(Result<QByteArray>)> done) {
        auto url = configuration.sameOriginURL(path);
        if (!url) {
            return done(Unexpected{url.error()});
        }
        QNetworkRequest request(*url);
        prepareRequest(request);
        request.setRawHeader("Accept", "application/json");
        if (body) {
            request.setRawHeader("Content-Type", "application/json");
        }
        if (bearer) {
            request.setRawHeader("Authorization", "Bearer " + QByteArray::fromStdString(*bearer));
        }
        QNetworkReply* reply = nullptr;
        if (body) {
            reply = network->sendCustomRequest(request, method, *body);
        } else if (method == "GET") {
            reply = network->get(request);
        } else if (method == "DELETE") {
            reply = network->deleteResource(request);
        } else {
            reply = network->sendCustomRequest(request, method);
        }
        watch(reply, kMaxResponseBytes, cancel, [this, bearer, cancel, done](ReplyOutcome outcome) {
            if (outcome.transportFailed) {
                return done(Unexpected{cancel->load() ? Error::cancelled()
                                                      : hostedError(Case::serviceUnavailable)});
            }
            if (outcome.oversized) {
                return done(fail(Case::invalidResponse));
            }
            if (outcome.status >= 300 && outcome.status <= 399) {
                return done(fail(Case::redirectRejected));
            }
            if (outcome.status == 401) {
                if (bearer) {
                    // Only the credential that was refused goes; one that replaced
                    // it meanwhile stays.
                    auto stored = credentials->load();
                    if (!stored) {
                        return done(Unexpected{stored.error()});
                    }
                    if (*stored && (*stored)->accessToken == *bearer) {
                        if (auto removed = credentials->remove(); !removed) {
                            return done(Unexpected{removed.error()});
                        }
                    }
                }
                return done(fail(Case::signInRequired));
            }
            if (outcome.status >= 200 && outcome.status <= 299) {
                return done(std::move(outcome.body));
            }
            return done(Unexpected{Error(HostedServiceError::rejected(outcome.status))});
        });
    }

    // A report page on the service: "/reports/" + id exactly, without a query.
    Result<QUrl> checkReportPage(const std::string& id, const std::string& text) const {
        if (!isUuidString(id)) {
            return fail(Case::invalidResponse);
        }
        auto url = configuration.sameOriginURL(QString::fromStdString(text));
        if (!url) {
            return url;
        }
        if (url->path(QUrl::FullyEncoded) != QString::fromStdString("/reports/" + id) ||
            url->hasQuery()) {
            return fail(Case::invalidResponse);
        }
        return url;
    }

    // --- operations ----------------------------------------------------------------

    void savedSignInStatus(const Completion<HostedSignInStatus>& done) {
        auto stored = credentials->load();
        if (!stored) {
            return deliver(done, Result<HostedSignInStatus>(Unexpected{stored.error()}));
        }
        if (!*stored) {
            return deliver(done, Result<HostedSignInStatus>(HostedSignInStatus::signedOut));
        }
        if ((*stored)->expiresAt <= hostedNow()) {
            if (auto removed = credentials->remove(); !removed) {
                return deliver(done, Result<HostedSignInStatus>(Unexpected{removed.error()}));
            }
            return deliver(done, Result<HostedSignInStatus>(HostedSignInStatus::signedOut));
        }
        deliver(done,
                Result<HostedSignInStatus>((*stored)->approved ? HostedSignInStatus::approved
                                                               : HostedSignInStatus::pending));
    }

    void beginSignIn(CancelFlag cancel, Completion<HostedSignInChallenge> done) {
        sessionGeneration = uuidString(randomUuid());
        const std::string generation = sessionGeneration;
        const nlohmann::json body = {{"name", kDeviceName}};
        sendApi(QStringLiteral("/api/device/start"), "POST", QByteArray::fromStdString(body.dump()),
                std::nullopt, cancel,
                [this, cancel, generation, done](Result<QByteArray> response) {
                    deliver(done, finishSignIn(std::move(response), cancel, generation));
                });
    }

    Result<HostedSignInChallenge> finishSignIn(Result<QByteArray> response,
                                               const CancelFlag& cancel,
                                               const std::string& generation) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        auto token = stringMember(*json, "deviceToken");
        auto verification = stringMember(*json, "verificationUrl");
        auto code = stringMember(*json, "pairingCode");
        auto expires = stringMember(*json, "expiresAt");
        auto interval = jsonread::readInt64(*json, "pollIntervalSeconds");
        if (!token || !verification || !code || !expires || !interval) {
            return fail(Case::invalidResponse);
        }
        if (stale(cancel, generation)) {
            return Unexpected{Error::cancelled()};
        }
        const QString tokenText = QString::fromStdString(*token);
        const auto tokenLength = characterCount(tokenText);
        bool tokenClean = tokenLength >= 1 && tokenLength <= 512;
        for (const char32_t c : tokenText.toUcs4()) {
            tokenClean = tokenClean && !isLineBreakOrSpace(c);
        }
        const auto codeLength = characterCount(QString::fromStdString(*code));
        const auto expiresAt = futureTime(*expires);
        auto verificationURL = configuration.sameOriginURL(QString::fromStdString(*verification));
        if (!tokenClean || codeLength < 1 || codeLength > 32 || !expiresAt || *interval < 1 ||
            *interval > 30 || !verificationURL) {
            return fail(Case::invalidResponse);
        }
        if (auto saved = credentials->save({*token, *expiresAt, false}); !saved) {
            return Unexpected{saved.error()};
        }
        return HostedSignInChallenge{*verificationURL, *code, *expiresAt,
                                     static_cast<int>(*interval)};
    }

    void pollSignIn(CancelFlag cancel, Completion<HostedSignInStatus> done) {
        auto stored = credentials->load();
        if (!stored) {
            return deliver(done, Result<HostedSignInStatus>(Unexpected{stored.error()}));
        }
        if (!*stored || (*stored)->expiresAt <= hostedNow()) {
            if (auto removed = credentials->remove(); !removed) {
                return deliver(done, Result<HostedSignInStatus>(Unexpected{removed.error()}));
            }
            return deliver(done, Result<HostedSignInStatus>(fail(Case::pairingExpired)));
        }
        const std::string generation = sessionGeneration;
        const std::string token = (*stored)->accessToken;
        sendApi(QStringLiteral("/api/device/status"), "GET", std::nullopt, token, cancel,
                [this, cancel, generation, token, done](Result<QByteArray> response) {
                    deliver(done, finishPoll(std::move(response), cancel, generation, token));
                });
    }

    Result<HostedSignInStatus> finishPoll(Result<QByteArray> response, const CancelFlag& cancel,
                                          const std::string& generation, const std::string& token) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        auto status = stringMember(*json, "status");
        auto expires = stringMember(*json, "expiresAt");
        if (!status || !expires) {
            return fail(Case::invalidResponse);
        }
        if (stale(cancel, generation)) {
            return Unexpected{Error::cancelled()};
        }
        const auto expiresAt = futureTime(*expires);
        if ((*status != "pending" && *status != "approved") || !expiresAt) {
            return fail(Case::invalidResponse);
        }
        const bool approved = *status == "approved";
        if (auto saved = credentials->save({token, *expiresAt, approved}); !saved) {
            return Unexpected{saved.error()};
        }
        return approved ? HostedSignInStatus::approved : HostedSignInStatus::pending;
    }

    void signOut(CancelFlag cancel, Completion<void> done) {
        sessionGeneration = uuidString(randomUuid());
        // The item goes even when it cannot be read: a damaged item must not keep
        // the machine signed in for ever. Without a readable token the server
        // cannot be told.
        auto stored = credentials->load();
        if (auto removed = credentials->remove(); !removed) {
            return deliver(done, Result<void>(Unexpected{removed.error()}));
        }
        if (!stored) {
            return deliver(done, Result<void>(fail(Case::revokedLocallyOnly)));
        }
        if (!*stored) {
            return deliver(done, Result<void>());
        }
        sendApi(QStringLiteral("/api/device/session"), "DELETE", std::nullopt,
                (*stored)->accessToken, cancel, [this, done](Result<QByteArray> response) {
                    deliver(done, response ? Result<void>()
                                           : Result<void>(fail(Case::revokedLocallyOnly)));
                });
    }

    void fetchAccount(CancelFlag cancel, Completion<HostedAccount> done) {
        const std::string generation = sessionGeneration;
        auto bearer = activeBearer();
        if (!bearer) {
            return deliver(done, Result<HostedAccount>(Unexpected{bearer.error()}));
        }
        sendApi(QStringLiteral("/api/account"), "GET", std::nullopt, *bearer, cancel,
                [this, cancel, generation, done](Result<QByteArray> response) {
                    deliver(done, finishAccount(std::move(response), cancel, generation));
                });
    }

    Result<HostedAccount> finishAccount(Result<QByteArray> response, const CancelFlag& cancel,
                                        const std::string& generation) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        if (stale(cancel, generation)) {
            return Unexpected{Error::cancelled()};
        }
        auto access = optionalStringMember(*json, "access");
        if (!access || (*access && **access != "allowed" && **access != "verify_email" &&
                        **access != "invite_required")) {
            return fail(Case::invalidResponse);
        }
        return HostedAccount{*access, std::move(*json)};
    }

    void fetchReport(const std::string& id, CancelFlag cancel,
                     Completion<HostedReportStatus> done) {
        if (!isUuidString(id)) {
            return deliver(done, Result<HostedReportStatus>(fail(Case::invalidResponse)));
        }
        auto bearer = activeBearer();
        if (!bearer) {
            return deliver(done, Result<HostedReportStatus>(Unexpected{bearer.error()}));
        }
        sendApi(QString::fromStdString("/api/reports/" + id), "GET", std::nullopt, *bearer, cancel,
                [this, id, cancel, done](Result<QByteArray> response) {
                    deliver(done, finishReport(std::move(response), id, cancel));
                });
    }

    Result<HostedReportStatus> finishReport(Result<QByteArray> response, const std::string& id,
                                            const CancelFlag& cancel) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        if (cancel->load()) {
            return Unexpected{Error::cancelled()};
        }
        auto responseID = stringMember(*json, "id");
        auto title = optionalStringMember(*json, "title");
        auto markdown = optionalStringMember(*json, "markdown");
        auto version = jsonread::readInt64(*json, "version");
        auto status = stringMember(*json, "status");
        auto errorCode = optionalStringMember(*json, "errorCode");
        auto page = stringMember(*json, "reportUrl");
        if (!responseID || !title || !markdown || !version || !status || !errorCode || !page ||
            *responseID != id || !kReportStatuses.contains(*status)) {
            return fail(Case::invalidResponse);
        }
        auto reportURL = checkReportPage(id, *page);
        if (!reportURL) {
            return fail(Case::invalidResponse);
        }
        return HostedReportStatus{
            id,         title->value_or(""), markdown->value_or(""), *version, *status,
            *errorCode, *reportURL};
    }

    // --- submission ------------------------------------------------------------------

    struct Grant {
        std::string kind;
        std::string url;
        std::string method;
        nlohmann::json headers;
        std::string expiresAt;
    };

    struct Submission {
        CancelFlag cancel;
        std::string generation;
        std::string bearer;
        Progress progress;
        Completion<HostedCaptureLink> done;
        linuxfs::UniqueFd directory;
        linuxfs::UniqueFd clip;
        std::filesystem::path clipPath;
        nlohmann::json manifest;
        std::string captureID;
        std::string intent;
        HostedPreparedVideo prepared;
        HostedCaptureLink link;
        QUrl reportURL;
        std::vector<Grant> grants;
        std::size_t nextGrant = 0;
    };
    using SubmissionPtr = std::shared_ptr<Submission>;

    void finish(const SubmissionPtr& s, Result<HostedCaptureLink> result) {
        deliver(s->done, std::move(result));
    }

    void submitCapture(const std::filesystem::path& directory, std::string intent,
                       SubmissionPtr s) {
        auto bearer = activeBearer();
        if (!bearer) {
            return finish(s, Unexpected{bearer.error()});
        }
        s->bearer = *bearer;
        s->generation = sessionGeneration;
        if (auto read = readManifest(directory, intent, *s); !read) {
            return finish(s, Unexpected{read.error()});
        }
        report(s->progress, "Preparing your saved video…");
        // Decoding runs beside the executor, which stays free for other calls; the
        // result comes back to it.
        const int clipFd = s->clip.get();
        preparation.start([this, s, clipFd] {
            // The call's cancellation and the client's end both stop the decoder.
            auto prepared = HostedVideoPreparation::prepare(clipFd, s->clipPath, [this, s] {
                return s->cancel->load() || preparationCancelled.load();
            });
            if (preparationCancelled) {
                return;
            }
            onExecutor([this, s, prepared = std::move(prepared)]() mutable {
                if (!shuttingDown) {
                    afterPreparation(s, std::move(prepared));
                }
            });
        });
    }

    Result<void> readManifest(const std::filesystem::path& directory, std::string intent,
                              Submission& s) {
        if (!directory.is_absolute() ||
            characterCount(QString::fromStdString(intent)) >
                static_cast<std::size_t>(hostedlimits::kMaxIntentCharacters)) {
            return fail(Case::invalidCapture);
        }
        auto dir = linuxfs::openPathWithoutLinks(directory);
        if (!dir) {
            return Unexpected{dir.error()};
        }
        // A regular file only, never through a link: a link to some other small
        // JSON file must not be sent to the service.
        auto file = linuxfs::openFileAt(dir->get(), "manifest.json");
        if (!file) {
            if (file.error().code() == ELOOP || file.error().code() == ENOENT) {
                return fail(Case::invalidCapture);
            }
            return Unexpected{file.error()};
        }
        struct stat info {};
        if (::fstat(file->get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 1 ||
            info.st_size > hostedlimits::kMaxManifestBytes) {
            return fail(Case::invalidCapture);
        }
        auto text = linuxfs::readAll(file->get(),
                                     static_cast<std::size_t>(hostedlimits::kMaxManifestBytes));
        if (!text) {
            return Unexpected{text.error()};
        }
        auto json = parseJson(*text);
        if (!json || !json->is_object()) {
            return fail(Case::invalidCapture);
        }
        auto version = jsonread::readInt64(*json, "v");
        auto captureID = jsonread::readString(*json, "captureId");
        if (!version || *version != 1 || !captureID || !isUuidString(*captureID)) {
            return fail(Case::invalidCapture);
        }
        auto clip = linuxfs::openFileAt(dir->get(), "clip.mp4");
        if (!clip) {
            if (clip.error().code() == ELOOP || clip.error().code() == ENOENT) {
                return Unexpected{videoError(HostedVideoError::Case::invalidRecording)};
            }
            return Unexpected{clip.error()};
        }
        s.directory = std::move(*dir);
        s.clip = std::move(*clip);
        s.clipPath = directory / "clip.mp4";
        s.manifest = std::move(*json);
        s.captureID = *captureID;
        s.intent = std::move(intent);
        return {};
    }

    void afterPreparation(const SubmissionPtr& s, Result<HostedPreparedVideo> prepared) {
        if (!prepared) {
            return finish(s, Unexpected{prepared.error()});
        }
        if (stale(s->cancel, s->generation)) {
            return finish(s, Unexpected{Error::cancelled()});
        }
        s->prepared = std::move(*prepared);
        const auto& p = s->prepared;
        if (p.anchors.size() != 2) {
            return finish(s, fail(Case::invalidCapture));
        }
        const auto& first = p.anchors[0];
        const auto& final = p.anchors[1];
        if (p.clipBytes + first.data.size() + final.data.size() >
            hostedlimits::kMaxSubmissionBytes) {
            return finish(s, fail(Case::inputTooLarge));
        }
        const nlohmann::json submission = {
            {"captureId", s->captureID},
            {"durationSeconds", p.durationSeconds},
            {"videoBytes", p.clipBytes},
            {"firstFrameBytes", first.data.size()},
            {"finalFrameBytes", final.data.size()},
            {"videoSHA256", p.clipSHA256},
            {"firstFrameSHA256", first.sha256()},
            {"finalFrameSHA256", final.sha256()},
            {"firstFrameTimestampSeconds", first.timestampSeconds},
            {"finalFrameTimestampSeconds", final.timestampSeconds},
            {"firstFrameIndex", first.frameIndex},
            {"finalFrameIndex", final.frameIndex},
            {"manifest", s->manifest},
            {"intent", s->intent},
        };
        auto body = dumpJson(submission);
        if (!body) {
            return finish(s, fail(Case::invalidCapture));
        }
        report(s->progress, "Uploading your saved video…");
        sendApi(QStringLiteral("/api/reports"), "POST", QByteArray::fromStdString(*body), s->bearer,
                s->cancel,
                [this, s](Result<QByteArray> response) { created(s, std::move(response)); });
    }

    Result<std::vector<Grant>> decodeGrants(const nlohmann::json& response) {
        auto uploads = jsonread::member(response, "uploads");
        if (!uploads || !(*uploads)->is_array()) {
            return fail(Case::invalidResponse);
        }
        std::vector<Grant> grants;
        for (const auto& item : **uploads) {
            Grant grant;
            auto kind = stringMember(item, "kind");
            auto url = stringMember(item, "url");
            auto method = stringMember(item, "method");
            auto expires = stringMember(item, "expiresAt");
            auto headers = jsonread::member(item, "headers");
            if (!kind || !url || !method || !expires || !headers || !(*headers)->is_object()) {
                return fail(Case::invalidResponse);
            }
            for (const auto& [name, value] : (*headers)->items()) {
                if (!value.is_string()) {
                    return fail(Case::invalidResponse);
                }
            }
            grants.push_back({*kind, *url, *method, **headers, *expires});
        }
        return grants;
    }

    void created(const SubmissionPtr& s, Result<QByteArray> response) {
        auto checked = checkCreated(*s, std::move(response));
        if (!checked) {
            return finish(s, Unexpected{checked.error()});
        }
        if (auto written = writeLink(*s); !written) {
            return finish(s, Unexpected{written.error()});
        }
        if (s->link.status != "uploading") {
            return finish(s, s->link);
        }
        uploadNext(s);
    }

    Result<void> checkCreated(Submission& s, Result<QByteArray> response) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        auto reportID = stringMember(*json, "reportId");
        auto page = stringMember(*json, "reportUrl");
        auto status = stringMember(*json, "status");
        auto grants = decodeGrants(*json);
        if (!reportID || !page || !status || !grants) {
            return fail(Case::invalidResponse);
        }
        if (stale(s.cancel, s.generation)) {
            return Unexpected{Error::cancelled()};
        }
        auto reportURL = checkReportPage(*reportID, *page);
        if (!kReportStatuses.contains(*status) || !reportURL) {
            return fail(Case::invalidResponse);
        }
        if (*status != "uploading") {
            if (!grants->empty()) {
                return fail(Case::invalidResponse);
            }
        } else {
            std::set<std::string> kinds;
            for (const auto& grant : *grants) {
                if (grant.kind != "video" && grant.kind != "firstFrame" &&
                    grant.kind != "finalFrame") {
                    return fail(Case::invalidResponse);
                }
                kinds.insert(grant.kind);
            }
            if (kinds.size() != grants->size() || kinds.size() > 3) {
                return fail(Case::invalidResponse);
            }
        }
        s.grants = std::move(*grants);
        s.reportURL = *reportURL;
        s.link = HostedCaptureLink{s.captureID, *reportID, configuration.origin().toStdString(),
                                   reportURL->toString(QUrl::FullyEncoded).toStdString(), *status};
        return {};
    }

    Result<void> writeLink(const Submission& s) {
        const std::string json = s.link.toJson();
        if (json.empty()) {
            return fail(Case::invalidResponse);
        }
        return linuxfs::replaceFile(s.directory.get(), "hosted.json", json, 0600);
    }

    Result<QUrl> checkGrant(const Grant& grant, QByteArray& contentType) const {
        const std::string expected = grant.kind == "video" ? "video/mp4" : "image/png";
        if (grant.method != "PUT" || !futureTime(grant.expiresAt) || grant.headers.size() != 1) {
            return fail(Case::invalidResponse);
        }
        const auto entry = grant.headers.begin();
        if (QString::fromStdString(entry.key()).toLower() != u"content-type" ||
            entry.value().get<std::string>() != expected) {
            return fail(Case::invalidResponse);
        }
        contentType = QByteArray::fromStdString(expected);
        return HostedServiceClient::checkUploadURL(configuration, options,
                                                   QString::fromStdString(grant.url));
    }

    void uploadNext(const SubmissionPtr& s) {
        if (stale(s->cancel, s->generation)) {
            return finish(s, Unexpected{Error::cancelled()});
        }
        if (s->nextGrant == s->grants.size()) {
            return complete(s);
        }
        const Grant& grant = s->grants[s->nextGrant++];
        QByteArray contentType;
        auto url = checkGrant(grant, contentType);
        if (!url) {
            return finish(s, fail(Case::invalidResponse));
        }
        QNetworkRequest request(*url);
        prepareRequest(request);
        request.setRawHeader("Content-Type", contentType);
        QNetworkReply* reply = nullptr;
        if (grant.kind == "video") {
            // Streamed from the clip; a second descriptor of the same open file.
            auto* file = new QFile();
            const int fd = ::dup(s->clip.get());
            if (fd < 0 || !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
                if (fd >= 0) {
                    ::close(fd);
                }
                delete file;
                return finish(s, fail(Case::uploadFailed));
            }
            file->seek(0);
            reply = network->put(request, file);
            file->setParent(reply);
        } else {
            const auto& anchor = s->prepared.anchors[grant.kind == "firstFrame" ? 0 : 1];
            reply = network->put(request, anchor.data);
        }
        watch(reply, -1, s->cancel, [this, s](ReplyOutcome outcome) {
            if (outcome.transportFailed) {
                return finish(s, Unexpected{s->cancel->load() ? Error::cancelled()
                                                              : hostedError(Case::uploadFailed)});
            }
            if (outcome.status >= 300 && outcome.status <= 399) {
                return finish(s, fail(Case::redirectRejected));
            }
            if (outcome.status < 200 || outcome.status > 299) {
                return finish(s, fail(Case::uploadFailed));
            }
            uploadNext(s);
        });
    }

    void complete(const SubmissionPtr& s) {
        sendApi(QString::fromStdString("/api/reports/" + s->link.reportID + "/complete"), "POST",
                std::nullopt, s->bearer, s->cancel, [this, s](Result<QByteArray> response) {
                    auto done = checkCompleted(*s, std::move(response));
                    if (!done) {
                        return finish(s, Unexpected{done.error()});
                    }
                    if (auto written = writeLink(*s); !written) {
                        return finish(s, Unexpected{written.error()});
                    }
                    report(s->progress, "Writing your report…");
                    finish(s, s->link);
                });
    }

    Result<void> checkCompleted(Submission& s, Result<QByteArray> response) {
        auto json = decodeObject(response);
        if (!json) {
            return Unexpected{json.error()};
        }
        auto reportID = stringMember(*json, "reportId");
        auto page = stringMember(*json, "reportUrl");
        auto status = stringMember(*json, "status");
        if (!reportID || !page || !status) {
            return fail(Case::invalidResponse);
        }
        if (stale(s.cancel, s.generation)) {
            return Unexpected{Error::cancelled()};
        }
        auto reportURL = checkReportPage(*reportID, *page);
        if (*reportID != s.link.reportID || !reportURL || *reportURL != s.reportURL ||
            !kReportStatuses.contains(*status)) {
            return fail(Case::invalidResponse);
        }
        s.link.status = *status;
        return {};
    }
};

HostedServiceClient::HostedServiceClient(HostedServiceConfiguration configuration,
                                         std::shared_ptr<HostedCredentialStore> credentials,
                                         Options options) {
    if (!credentials) {
        credentials = std::make_shared<HostedKeyringStore>(configuration.origin().toStdString());
    }
    impl_ = std::make_shared<Impl>(std::move(configuration), std::move(credentials),
                                   std::move(options));
    Impl& impl = *impl_;
    impl.delivery = new QObject();
    impl.worker = new QObject();
    impl.tls = QSslConfiguration::defaultConfiguration();
    impl.tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!impl.options.extraCaCertificates.isEmpty()) {
        impl.tls.addCaCertificates(impl.options.extraCaCertificates);
    }
    impl.preparation.setMaxThreadCount(1);
    impl.thread.setObjectName(QStringLiteral("hosted-service"));
    impl.worker->moveToThread(&impl.thread);
    impl.thread.start();
    QMetaObject::invokeMethod(
        impl.worker,
        [&impl] {
            impl.network = new QNetworkAccessManager();
            impl.network->setCookieJar(new NoCookies());
            impl.network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        },
        Qt::BlockingQueuedConnection);
}

HostedServiceClient::~HostedServiceClient() {
    Impl& impl = *impl_;
    impl.preparationCancelled = true;
    impl.preparation.waitForDone();
    QMetaObject::invokeMethod(
        impl.worker,
        [&impl] {
            impl.shuttingDown = true;
            delete impl.network;
            impl.network = nullptr;
        },
        Qt::BlockingQueuedConnection);
    impl.thread.quit();
    impl.thread.wait();
    delete impl.worker;
    // The client may be destroyed from one of its own completions.
    *impl.open = false;
    impl.delivery->deleteLater();
}

const HostedServiceConfiguration& HostedServiceClient::configuration() const {
    return impl_->configuration;
}

template <typename Operation>
HostedServiceClient::Call HostedServiceClient::start(Impl* impl, Operation operation) {
    Call call;
    call.flag_ = std::make_shared<std::atomic<bool>>(false);
    call.impl_ = impl->weak_from_this();
    impl->onExecutor([impl, flag = call.flag_, operation] { operation(*impl, flag); });
    return call;
}

HostedServiceClient::Call
HostedServiceClient::savedSignInStatus(Completion<HostedSignInStatus> done) {
    return start(impl_.get(),
                 [done](Impl& impl, const CancelFlag&) { impl.savedSignInStatus(done); });
}

HostedServiceClient::Call HostedServiceClient::beginSignIn(Completion<HostedSignInChallenge> done) {
    return start(impl_.get(),
                 [done](Impl& impl, CancelFlag flag) { impl.beginSignIn(flag, done); });
}

HostedServiceClient::Call HostedServiceClient::pollSignIn(Completion<HostedSignInStatus> done) {
    return start(impl_.get(), [done](Impl& impl, CancelFlag flag) { impl.pollSignIn(flag, done); });
}

HostedServiceClient::Call HostedServiceClient::signOut(Completion<void> done) {
    return start(impl_.get(), [done](Impl& impl, CancelFlag flag) { impl.signOut(flag, done); });
}

HostedServiceClient::Call HostedServiceClient::fetchAccount(Completion<HostedAccount> done) {
    return start(impl_.get(),
                 [done](Impl& impl, CancelFlag flag) { impl.fetchAccount(flag, done); });
}

HostedServiceClient::Call HostedServiceClient::fetchReport(std::string id,
                                                           Completion<HostedReportStatus> done) {
    return start(impl_.get(),
                 [id, done](Impl& impl, CancelFlag flag) { impl.fetchReport(id, flag, done); });
}

HostedServiceClient::Call HostedServiceClient::submitCapture(std::filesystem::path directory,
                                                             std::string intent,
                                                             Progress onProgress,
                                                             Completion<HostedCaptureLink> done) {
    return start(impl_.get(), [directory, intent, onProgress, done](Impl& impl, CancelFlag flag) {
        auto submission = std::make_shared<Impl::Submission>();
        submission->cancel = std::move(flag);
        submission->progress = onProgress;
        submission->done = done;
        impl.submitCapture(directory, intent, submission);
    });
}

void HostedServiceClient::Call::cancel() const {
    if (!flag_) {
        return;
    }
    flag_->store(true);
    if (auto impl = impl_.lock()) {
        impl->onExecutor([raw = impl.get(), flag = flag_] {
            if (auto found = raw->inFlight.find(flag.get());
                found != raw->inFlight.end() && found->second) {
                found->second->abort();
            }
        });
    }
}

Result<QUrl> HostedServiceClient::checkUploadURL(const HostedServiceConfiguration& configuration,
                                                 const Options& options, const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userName().isEmpty() ||
        !url.password().isEmpty() || url.hasFragment()) {
        return fail(Case::invalidResponse);
    }
    const QString host = url.host().toLower();
    const bool https = url.scheme() == u"https";
    const bool defaultPort = url.port() == -1 || url.port() == 443;
    if (https && defaultPort && host == options.blobApiHost &&
        url.path(QUrl::FullyEncoded) == u"/api/blob/") {
        return url;
    }
    // A whole label match: "evil" + suffix is not inside the provider's domain.
    if (https && defaultPort && host.endsWith(u'.' + options.blobDomainSuffix)) {
        return url;
    }
    return configuration.sameOriginURL(text);
}

} // namespace snagreel::app
