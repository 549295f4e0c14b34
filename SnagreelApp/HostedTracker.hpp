#pragma once

#include "SnagreelApp/Hosted/HostedServiceClient.hpp"
#include "SnagreelApp/SavedCapture.hpp"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace snagreel::app {

namespace hostedtexts {
inline constexpr const char* kUnfinished =
    "This connection is unfinished. Choose Sign in to get a new code.";
inline constexpr const char* kConnected =
    "This computer is connected. Your next saved clip will get a report.";
inline constexpr const char* kExpired = "This connection expired. Sign in again when you’re ready.";
inline constexpr const char* kSignedOut = "Signed out on this computer.";
inline constexpr const char* kSignInToWrite = "Saved on this computer. Sign in to write a report.";
inline constexpr const char* kPreparing = "Preparing your saved video…";
inline constexpr const char* kWriting = "Writing your report…";
inline constexpr const char* kReady = "Your report is ready.";
inline constexpr const char* kFailed = "Your video is safe. The report could not be finished.";
inline constexpr const char* kPollingBudget =
    "Your video is uploaded. Open the report to check its progress.";
inline constexpr const char* kWatchFailed =
    "Open the report to check its progress. Your video is saved.";
inline constexpr const char* kVerifyEmail = "Verify your email in your account to write reports. "
                                            "Your recording is saved on this computer.";
inline constexpr const char* kInviteRequired = "Your account needs an invitation to write "
                                               "reports. Your recording is saved on this computer.";
} // namespace hostedtexts

// Everything the hosted tracker needs from outside.
struct HostedTrackerEnvironment {
    explicit HostedTrackerEnvironment(HostedServiceConfiguration service)
        : configuration(std::move(service)) {}

    HostedServiceConfiguration configuration;
    // Where the sign-in lives; the keyring slot of the service when null.
    std::shared_ptr<HostedCredentialStore> credentials;
    HostedClientOptions clientOptions;
    // Opens a page in the default browser; true when the browser took it.
    std::function<bool(const QUrl&)> openURL;
    // The saved captures as the coordinator lists them, newest first.
    std::function<QList<SavedCapture>()> captures;
    // The coordinator's neutral status line.
    std::function<void(const QString&)> showMessage;
    // Pause between two reads of a report that is still being written, and how
    // long the "Saved" acknowledgement stays.
    int pollDelayMs = 3000;
    int maxPolls = 160;
    int acknowledgementMs = 3000;
};

// The hosted half of the application state: signing this computer in, sending
// saved clips to the service, following each hosted report until it is ready or
// failed, and remembering the link in the capture's "hosted.json" so that
// tracking resumes after a restart. Main thread only; the network work runs in
// the client. Every asynchronous result is applied only while the session it
// started in is still current, so a sign-out or a new sign-in voids older work.
class HostedTracker : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY changed)
    Q_PROPERTY(bool signingIn READ signingIn NOTIFY changed)
    Q_PROPERTY(QString pairingCode READ pairingCode NOTIFY changed)
    Q_PROPERTY(QString error READ error NOTIFY changed)
    Q_PROPERTY(bool captureAcknowledged READ captureAcknowledged NOTIFY changed)
    Q_PROPERTY(bool checkingAccount READ checkingAccount NOTIFY changed)

public:
    explicit HostedTracker(HostedTrackerEnvironment environment, QObject* parent = nullptr);
    ~HostedTracker() override;

    const HostedServiceConfiguration& configuration() const { return environment_.configuration; }
    bool signedIn() const { return signedIn_; }
    bool signingIn() const { return signingIn_; }
    QString pairingCode() const { return pairingCode_; }
    // The service view's status line: errors and short confirmations.
    QString error() const { return error_; }
    const QMap<QString, QString>& jobs() const { return jobs_; }
    const std::map<QString, HostedCaptureLink>& links() const { return links_; }
    const QMap<QString, QString>& titles() const { return titles_; }
    const QSet<QString>& readyReports() const { return readyReports_; }
    bool captureAcknowledged() const { return captureAcknowledged_; }
    const std::optional<HostedAccount>& account() const { return account_; }
    bool checkingAccount() const { return checkingAccount_; }
    // The account's reason why reports cannot be written; empty when they can.
    QString accountMessage() const;
    bool hasTask(const QString& captureID) const { return tasks_.count(captureID) != 0; }

    void restoreSession();
    void signIn();
    void signOut();
    void startReport(const SavedCapture& capture);
    void retryReport(const SavedCapture& capture);
    void watchReport(const HostedCaptureLink& link, const SavedCapture& capture);
    void refreshAccount();
    void acknowledgeCapture();
    bool openReport(const QString& captureID);
    bool openLibrary();
    bool openAccount();

signals:
    void changed();

public:
    // A running piece of asynchronous work: a flag, the request in flight and
    // the pause it may be in.
    struct Task;

private:
    HostedServiceClient& client();
    void resetAccountSession();
    void poll(std::shared_ptr<Task> task, std::uint64_t revision, HostedCaptureLink link,
              SavedCapture capture, int fetched, std::function<void(Result<void>)> done);
    void pollSignIn(std::shared_ptr<Task> task, std::uint64_t revision, double expiresAt,
                    int intervalSeconds);
    void finishSignIn(const std::shared_ptr<Task>& task, std::optional<Error> failure);
    void refreshAccountFor(std::optional<SavedCapture> retry);
    void endTask(const QString& captureID, const std::shared_ptr<Task>& task);
    void setJob(const QString& captureID, const QString& text);
    void setError(const QString& text);
    void setSignedIn(bool signedIn);
    void publish();
    std::optional<HostedCaptureLink> loadLink(const SavedCapture& capture) const;

    HostedTrackerEnvironment environment_;
    bool signedIn_ = false;
    bool signingIn_ = false;
    QString pairingCode_;
    QString error_;
    QMap<QString, QString> jobs_;
    std::map<QString, HostedCaptureLink> links_;
    QMap<QString, QString> titles_;
    QSet<QString> readyReports_;
    bool captureAcknowledged_ = false;
    std::optional<HostedAccount> account_;
    bool checkingAccount_ = false;
    std::uint64_t revision_ = 1;
    std::map<QString, std::shared_ptr<Task>> tasks_;
    std::shared_ptr<Task> signInTask_;
    std::shared_ptr<Task> accountTask_;
    // A retry asked for while an account read was already running.
    std::optional<SavedCapture> retryAfterAccount_;
    std::shared_ptr<Task> feedbackTask_;
    // Last, so that it goes first: its pending completions then end silently
    // instead of reaching a half-destroyed tracker.
    std::unique_ptr<HostedServiceClient> client_;
};

// A capture's id: the last component of its folder.
QString hostedCaptureID(const SavedCapture& capture);

} // namespace snagreel::app
