#include "SnagreelApp/HostedTracker.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <QDateTime>
#include <QTimer>

#include <utility>

namespace snagreel::app {

namespace t = hostedtexts;
using Case = HostedServiceError::Case;

struct HostedTracker::Task : std::enable_shared_from_this<Task> {
    bool cancelled = false;
    HostedServiceClient::Call call;
    std::unique_ptr<QTimer> timer;
    std::function<void()> afterPause;

    // Runs the continuation of a pause once; it holds the task, so it is let go
    // before it runs.
    static void resume(const std::weak_ptr<Task>& weak) {
        if (auto task = weak.lock()) {
            auto then = std::move(task->afterPause);
            task->afterPause = nullptr;
            if (then) {
                then();
            }
        }
    }

    void cancel() {
        cancelled = true;
        call.cancel();
        // A pause ends at once so that the task can run its ending.
        if (timer && timer->isActive()) {
            timer->stop();
            QTimer::singleShot(0, timer.get(), [weak = weak_from_this()] { resume(weak); });
        }
    }
};

namespace {

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QString messageOf(const Error& error) {
    return QString::fromStdString(error.description());
}

// Runs `then` after `ms` on a monotonic timer, or at once when the task is
// cancelled meanwhile (then sees the flag).
void pause(const std::shared_ptr<HostedTracker::Task>& task, int ms, std::function<void()> then) {
    using Task = HostedTracker::Task;
    if (!task->timer) {
        task->timer = std::make_unique<QTimer>();
        task->timer->setSingleShot(true);
        task->timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(task->timer.get(), &QTimer::timeout, task->timer.get(),
                         [weak = std::weak_ptr<Task>(task)] { Task::resume(weak); });
    }
    task->afterPause = std::move(then);
    task->timer->start(ms);
}

} // namespace

QString hostedCaptureID(const SavedCapture& capture) {
    return QString::fromStdString(capture.id());
}

HostedTracker::HostedTracker(HostedTrackerEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

HostedTracker::~HostedTracker() {
    // Completions of a destroyed client never arrive. A paused task holds itself
    // through its continuation; letting that go lets the task go.
    client_.reset();
    for (auto& [captureID, task] : tasks_) {
        task->afterPause = nullptr;
    }
    for (const auto& task : {signInTask_, accountTask_, feedbackTask_}) {
        if (task) {
            task->afterPause = nullptr;
        }
    }
}

HostedServiceClient& HostedTracker::client() {
    if (!client_) {
        client_ = std::make_unique<HostedServiceClient>(
            environment_.configuration, environment_.credentials, environment_.clientOptions);
    }
    return *client_;
}

void HostedTracker::publish() {
    emit changed();
}

void HostedTracker::setJob(const QString& captureID, const QString& value) {
    jobs_[captureID] = value;
    publish();
}

void HostedTracker::setError(const QString& value) {
    error_ = value;
    publish();
}

void HostedTracker::setSignedIn(bool signedIn) {
    signedIn_ = signedIn;
    publish();
}

QString HostedTracker::accountMessage() const {
    if (!account_ || !account_->access) {
        return {};
    }
    if (*account_->access == "verify_email") {
        return text(t::kVerifyEmail);
    }
    if (*account_->access == "invite_required") {
        return text(t::kInviteRequired);
    }
    return {};
}

std::optional<HostedCaptureLink> HostedTracker::loadLink(const SavedCapture& capture) const {
    auto loaded = loadHostedCaptureLink(capture.directory, environment_.configuration);
    return loaded ? *loaded : std::nullopt;
}

void HostedTracker::resetAccountSession() {
    ++revision_;
    // The progress line of work that stops here would otherwise stay for good.
    for (auto& [captureID, task] : tasks_) {
        task->cancel();
        jobs_.remove(captureID);
    }
    tasks_.clear();
    if (accountTask_) {
        accountTask_->cancel();
        accountTask_.reset();
    }
    checkingAccount_ = false;
    account_.reset();
    retryAfterAccount_.reset();
    publish();
}

void HostedTracker::restoreSession() {
    const auto captures = environment_.captures();
    for (const auto& capture : captures) {
        if (auto link = loadLink(capture)) {
            links_[hostedCaptureID(capture)] = *link;
        } else {
            links_.erase(hostedCaptureID(capture));
        }
    }
    publish();
    const std::uint64_t revision = revision_;
    auto applied = [this, revision](Result<HostedSignInStatus> status) {
        if (revision != revision_) {
            return;
        }
        if (!status) {
            if (!status.error().isCancellation()) {
                error_ = messageOf(status.error());
            }
            if (isHostedError(status.error(), Case::signInRequired)) {
                signedIn_ = false;
            }
            publish();
            return;
        }
        signedIn_ = *status == HostedSignInStatus::approved;
        if (*status == HostedSignInStatus::pending) {
            error_ = text(t::kUnfinished);
        }
        publish();
        if (!signedIn_) {
            return;
        }
        refreshAccount();
        for (const auto& capture : environment_.captures()) {
            const auto link = links_.find(hostedCaptureID(capture));
            if (link != links_.end() &&
                (link->second.status == "queued" || link->second.status == "generating")) {
                watchReport(link->second, capture);
            }
        }
    };
    client().savedSignInStatus([this, applied](Result<HostedSignInStatus> status) {
        if (status && *status == HostedSignInStatus::pending) {
            // The user may have approved the code while the app was closed.
            client().pollSignIn(applied);
            return;
        }
        applied(std::move(status));
    });
}

void HostedTracker::signIn() {
    if (signingIn_) {
        return;
    }
    resetAccountSession();
    error_.clear();
    signingIn_ = true;
    pairingCode_.clear();
    publish();
    auto task = std::make_shared<Task>();
    signInTask_ = task;
    const std::uint64_t revision = revision_;
    task->call = client().beginSignIn([this, task, revision](Result<HostedSignInChallenge> begun) {
        if (!begun) {
            return finishSignIn(task, begun.error());
        }
        if (task->cancelled) {
            return finishSignIn(task, Error::cancelled());
        }
        pairingCode_ = QString::fromStdString(begun->pairingCode);
        publish();
        if (environment_.openURL) {
            environment_.openURL(begun->verificationURL);
        }
        pollSignIn(task, revision, begun->expiresAt, begun->pollIntervalSeconds);
    });
}

void HostedTracker::pollSignIn(std::shared_ptr<Task> task, std::uint64_t revision, double expiresAt,
                               int intervalSeconds) {
    const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    if (task->cancelled) {
        return finishSignIn(task, Error::cancelled());
    }
    if (now >= expiresAt) {
        setError(text(t::kExpired));
        return finishSignIn(task, std::nullopt);
    }
    pause(task, std::max(intervalSeconds, 1) * 1000,
          [this, task, revision, expiresAt, intervalSeconds] {
              if (task->cancelled) {
                  return finishSignIn(task, Error::cancelled());
              }
              task->call = client().pollSignIn([this, task, revision, expiresAt, intervalSeconds](
                                                   Result<HostedSignInStatus> status) {
                  if (!status) {
                      return finishSignIn(task, status.error());
                  }
                  if (task->cancelled) {
                      return finishSignIn(task, Error::cancelled());
                  }
                  if (*status == HostedSignInStatus::approved) {
                      signedIn_ = true;
                      pairingCode_.clear();
                      error_ = text(t::kConnected);
                      publish();
                      return finishSignIn(task, std::nullopt);
                  }
                  pollSignIn(task, revision, expiresAt, intervalSeconds);
              });
          });
}

void HostedTracker::finishSignIn(const std::shared_ptr<Task>& task, std::optional<Error> failure) {
    if (failure && !failure->isCancellation()) {
        error_ = messageOf(*failure);
    }
    if (signInTask_ == task) {
        signingIn_ = false;
        signInTask_.reset();
    }
    publish();
}

void HostedTracker::signOut() {
    if (signInTask_) {
        signInTask_->cancel();
    }
    resetAccountSession();
    signedIn_ = false;
    pairingCode_.clear();
    readyReports_.clear();
    jobs_.clear();
    publish();
    client().signOut([this](Result<void> done) {
        if (done) {
            if (environment_.showMessage) {
                environment_.showMessage(text(t::kSignedOut));
            }
        } else {
            setError(messageOf(done.error()));
        }
    });
}

void HostedTracker::acknowledgeCapture() {
    if (feedbackTask_) {
        feedbackTask_->cancel();
    }
    auto task = std::make_shared<Task>();
    feedbackTask_ = task;
    captureAcknowledged_ = true;
    publish();
    pause(task, environment_.acknowledgementMs, [this, task] {
        if (!task->cancelled) {
            captureAcknowledged_ = false;
            feedbackTask_.reset();
            publish();
        }
    });
}

void HostedTracker::startReport(const SavedCapture& capture) {
    const QString id = hostedCaptureID(capture);
    if (tasks_.count(id) != 0) {
        return;
    }
    if (!signedIn_) {
        setJob(id, text(t::kSignInToWrite));
        return;
    }
    error_.clear();
    std::string intent;
    if (auto store = reports::ReportStore::create(capture.directory)) {
        if (auto bytes = store->readFile("intent.txt", reports::readlimits::kReport)) {
            intent = *bytes;
        }
    }
    setJob(id, text(t::kPreparing));
    auto task = std::make_shared<Task>();
    tasks_[id] = task;
    const std::uint64_t revision = revision_;
    auto ended = [this, id, task, revision](Result<void> result) {
        if (revision != revision_) {
            return;
        }
        if (!result && !result.error().isCancellation()) {
            if (isHostedError(result.error(), Case::signInRequired)) {
                // Not the last progress line, which would then stay for good.
                signedIn_ = false;
                const auto link = links_.find(id);
                const bool uploaded = link != links_.end() && link->second.status != "uploading";
                jobs_[id] = text(uploaded ? t::kWatchFailed : t::kSignInToWrite);
            } else {
                jobs_[id] = messageOf(result.error());
            }
        }
        endTask(id, task);
    };
    task->call = client().submitCapture(
        capture.directory, intent,
        [this, id, task, revision](const std::string& progress) {
            if (revision == revision_ && !task->cancelled) {
                setJob(id, QString::fromStdString(progress));
            }
        },
        [this, id, task, revision, capture, ended](Result<HostedCaptureLink> link) {
            if (revision != revision_) {
                return;
            }
            if (!link) {
                return ended(Unexpected{link.error()});
            }
            if (task->cancelled) {
                return ended(Unexpected{Error::cancelled()});
            }
            links_[id] = *link;
            publish();
            poll(task, revision, *link, capture, 0, ended);
        });
}

void HostedTracker::poll(std::shared_ptr<Task> task, std::uint64_t revision, HostedCaptureLink link,
                         SavedCapture capture, int fetched,
                         std::function<void(Result<void>)> done) {
    if (task->cancelled) {
        return done(Unexpected{Error::cancelled()});
    }
    const QString id = hostedCaptureID(capture);
    if (fetched >= environment_.maxPolls) {
        setJob(id, text(t::kPollingBudget));
        return done({});
    }
    task->call =
        client().fetchReport(link.reportID, [this, task, revision, link, capture, fetched, done,
                                             id](Result<HostedReportStatus> answer) mutable {
            if (revision != revision_) {
                return;
            }
            if (!answer) {
                return done(Unexpected{answer.error()});
            }
            titles_[id] = QString::fromStdString(answer->title);
            link.status = answer->status;
            links_[id] = link;
            if (auto folder = reports::linuxfs::openPathWithoutLinks(capture.directory)) {
                // A failed write only costs the resume after a restart.
                (void)reports::linuxfs::replaceFile(folder->get(), "hosted.json", link.toJson(),
                                                    0600);
            }
            if (answer->status == "ready") {
                jobs_[id] = text(t::kReady);
                readyReports_.insert(id);
                publish();
                refreshAccount();
                return done({});
            }
            if (answer->status == "failed") {
                jobs_[id] = text(t::kFailed);
                publish();
                refreshAccount();
                return done({});
            }
            setJob(id, text(t::kWriting));
            pause(task, environment_.pollDelayMs,
                  [this, task, revision, link, capture, fetched, done] {
                      poll(task, revision, link, capture, fetched + 1, done);
                  });
        });
}

void HostedTracker::endTask(const QString& captureID, const std::shared_ptr<Task>& task) {
    const auto found = tasks_.find(captureID);
    if (found != tasks_.end() && found->second == task) {
        tasks_.erase(found);
    }
    publish();
}

void HostedTracker::watchReport(const HostedCaptureLink& link, const SavedCapture& capture) {
    const QString id = hostedCaptureID(capture);
    if (tasks_.count(id) != 0) {
        return;
    }
    auto task = std::make_shared<Task>();
    tasks_[id] = task;
    const std::uint64_t revision = revision_;
    poll(task, revision, link, capture, 0, [this, id, task, revision](Result<void> result) {
        if (revision != revision_) {
            return;
        }
        if (!result && !result.error().isCancellation()) {
            // "Writing your report…" must not outlive the tracking.
            jobs_[id] = text(t::kWatchFailed);
            if (isHostedError(result.error(), Case::signInRequired)) {
                signedIn_ = false;
            }
        }
        endTask(id, task);
    });
}

void HostedTracker::retryReport(const SavedCapture& capture) {
    const QString id = hostedCaptureID(capture);
    if (tasks_.count(id) != 0) {
        return;
    }
    const auto link = links_.find(id);
    if (link == links_.end() || link->second.status == "uploading") {
        return startReport(capture);
    }
    refreshAccountFor(capture);
}

void HostedTracker::refreshAccount() {
    refreshAccountFor(std::nullopt);
}

void HostedTracker::refreshAccountFor(std::optional<SavedCapture> retry) {
    if (!signedIn_) {
        return;
    }
    if (accountTask_) {
        // One read at a time; its answer decides this retry too.
        if (retry) {
            retryAfterAccount_ = std::move(retry);
        }
        return;
    }
    checkingAccount_ = true;
    publish();
    auto task = std::make_shared<Task>();
    accountTask_ = task;
    const std::uint64_t revision = revision_;
    task->call = client().fetchAccount([this, task, revision, retry](Result<HostedAccount> read) {
        const bool current = !task->cancelled && revision == revision_;
        if (current && read && signedIn_) {
            account_ = *read;
            error_ = accountMessage();
        } else if (current && !read && !read.error().isCancellation()) {
            if (isHostedError(read.error(), Case::signInRequired)) {
                signedIn_ = false;
            } else {
                error_ = messageOf(read.error());
            }
        }
        if (accountTask_ == task) {
            checkingAccount_ = false;
            accountTask_.reset();
        }
        publish();
        auto waiting = std::exchange(retryAfterAccount_, std::nullopt);
        if (current && read && signedIn_ && accountMessage().isEmpty()) {
            for (const auto& capture : {retry, waiting}) {
                if (capture) {
                    startReport(*capture);
                }
            }
        }
    });
}

bool HostedTracker::openReport(const QString& captureID) {
    const auto link = links_.find(captureID);
    if (link == links_.end() || !environment_.openURL) {
        return false;
    }
    readyReports_.remove(captureID);
    publish();
    return environment_.openURL(QUrl(QString::fromStdString(link->second.reportURL)));
}

bool HostedTracker::openLibrary() {
    QUrl url = environment_.configuration.baseURL();
    url.setPath(QStringLiteral("/reports"));
    return environment_.openURL && environment_.openURL(url);
}

bool HostedTracker::openAccount() {
    QUrl url = environment_.configuration.baseURL();
    url.setPath(QStringLiteral("/account"));
    return environment_.openURL && environment_.openURL(url);
}

} // namespace snagreel::app
