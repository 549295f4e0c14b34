#pragma once

#include "SnagreelApp/Hosted/HostedCaptureLink.hpp"
#include "SnagreelApp/Hosted/HostedCredential.hpp"
#include "SnagreelApp/Hosted/HostedServiceConfiguration.hpp"

#include <QList>
#include <QSslCertificate>
#include <QUrl>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace snagreel::app {

struct HostedSignInChallenge {
    QUrl verificationURL;
    std::string pairingCode;
    double expiresAt = 0; // seconds since 1970
    int pollIntervalSeconds = 0;
};

enum class HostedSignInStatus { signedOut, pending, approved };

struct HostedReportStatus {
    std::string id;
    std::string title;
    std::string markdown;
    std::int64_t version = 0;
    std::string status;
    std::optional<std::string> errorCode;
    QUrl reportURL;
};

struct HostedAccount {
    std::optional<std::string> access; // "allowed", "verify_email" or "invite_required"
    nlohmann::json document;           // the rest, uninterpreted
};

// How the client reaches the network; the defaults are the product's.
struct HostedClientOptions {
    // Extra trusted roots, for a test service with a certificate of its own.
    // Verification stays on.
    QList<QSslCertificate> extraCaCertificates;
    int requestTimeoutMs = 60000;
    int resourceTimeoutMs = 300000;
    // The blob-storage provider that uploads may also go to.
    QString blobApiHost = QStringLiteral("uploads.snagreel.app");
    QString blobDomainSuffix = QStringLiteral("blob.snagreel.app");
};

// The only code that talks to the hosted report service. Every operation runs on
// the client's own thread, one step at a time: operations interleave only while
// one waits for the network, and the session generation (replaced by beginSignIn
// and signOut) turns work that a sign-in or sign-out overtook into a cancellation.
// Completions and progress texts arrive on the thread that created the client (it
// needs a running Qt event loop); each completion is called exactly once, except
// that operations still pending when the client is destroyed end silently.
class HostedServiceClient {
public:
    struct Impl;
    using Options = HostedClientOptions;

    // Cancels the operation it came from: a request in flight is abandoned and the
    // completion reports a cancellation. Call it on the client's creating thread,
    // before the client is destroyed (afterwards it does nothing).
    class Call {
    public:
        Call() = default;
        void cancel() const;

    private:
        friend class HostedServiceClient;
        std::shared_ptr<std::atomic<bool>> flag_;
        std::weak_ptr<Impl> impl_;
    };

    using Progress = std::function<void(const std::string&)>;

    // Without a store, the keyring slot of the configuration's origin.
    explicit HostedServiceClient(HostedServiceConfiguration configuration,
                                 std::shared_ptr<HostedCredentialStore> credentials = nullptr,
                                 Options options = {});
    ~HostedServiceClient();
    HostedServiceClient(const HostedServiceClient&) = delete;
    HostedServiceClient& operator=(const HostedServiceClient&) = delete;

    const HostedServiceConfiguration& configuration() const;

    Call savedSignInStatus(Completion<HostedSignInStatus> done);
    Call beginSignIn(Completion<HostedSignInChallenge> done);
    Call pollSignIn(Completion<HostedSignInStatus> done);
    Call signOut(Completion<void> done);
    Call fetchAccount(Completion<HostedAccount> done);
    Call fetchReport(std::string id, Completion<HostedReportStatus> done);
    // Prepares the capture's clip, creates the hosted report, uploads the parts
    // the service asks for and writes the capture's "hosted.json".
    Call submitCapture(std::filesystem::path directory, std::string intent, Progress onProgress,
                       Completion<HostedCaptureLink> done);

    // Whether an upload may go to `text`: the provider's upload endpoint, a host
    // inside its blob-storage domain on the default port, or the service itself.
    static Result<QUrl> checkUploadURL(const HostedServiceConfiguration& configuration,
                                       const Options& options, const QString& text);

private:
    // Runs `operation(impl, flag)` on the executor and hands the caller its Call.
    template <typename Operation> static Call start(Impl* impl, Operation operation);
    std::shared_ptr<Impl> impl_;
};

} // namespace snagreel::app
