#include "SnagreelCore/Capture/CaptureController.hpp"

#include "SnagreelCore/Capture/CaptureLifecycleMonitor.hpp"
#include "SnagreelCore/Support/Uuid.hpp"

#include <cmath>
#include <cstdio>

namespace snagreel {

namespace {

std::string logDomain(const std::optional<CaptureFailure>& failure) {
    if (!failure) {
        return "other";
    }
    if (failure->domain == kStreamErrorDomain) {
        return "SCStreamErrorDomain";
    }
    if (failure->domain == kAVFoundationErrorDomain || failure->domain == kAVFallbackDomain) {
        return failure->domain;
    }
    return "other";
}

} // namespace

std::string formatLifecycleLine(const LifecycleLogRecord& record) {
    const std::string domain = logDomain(record.failure);
    const long code = record.failure ? static_cast<long>(record.failure->code) : 0L;
    const std::string backend(rawValue(record.captureBackend));
    const int needed = std::snprintf(
        nullptr, 0,
        "event=%s generation=%s attempt=%ld reason=%s error_domain=%s error_code=%ld "
        "delay_seconds=%f source_display_id=%u capture_backend=%s",
        record.event.c_str(), record.generation.c_str(), static_cast<long>(record.attempt),
        record.reason.c_str(), domain.c_str(), code, record.delaySeconds,
        static_cast<unsigned>(record.sourceDisplayID), backend.c_str());
    std::string line(static_cast<std::size_t>(std::max(needed, 0)) + 1, '\0');
    std::snprintf(line.data(), line.size(),
                  "event=%s generation=%s attempt=%ld reason=%s error_domain=%s error_code=%ld "
                  "delay_seconds=%f source_display_id=%u capture_backend=%s",
                  record.event.c_str(), record.generation.c_str(),
                  static_cast<long>(record.attempt), record.reason.c_str(), domain.c_str(), code,
                  record.delaySeconds, static_cast<unsigned>(record.sourceDisplayID),
                  backend.c_str());
    line.resize(static_cast<std::size_t>(std::max(needed, 0)));
    return line;
}

namespace {

class ExecutorWait final : public PendingWait {
public:
    struct State {
        bool finished = false;
        Completion<void> done;
        TimerHandle timer;
    };
    explicit ExecutorWait(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void cancel() override {
        if (state_->finished) {
            return;
        }
        state_->finished = true;
        state_->timer.cancel();
        auto done = std::move(state_->done);
        if (done) {
            done(Unexpected{Error::cancelled()});
        }
    }

private:
    std::shared_ptr<State> state_;
};

} // namespace

SleepFunction executorSleep(Executor& executor) {
    return [&executor](double seconds, Completion<void> done) -> std::shared_ptr<PendingWait> {
        auto state = std::make_shared<ExecutorWait::State>();
        state->done = std::move(done);
        state->timer = executor.schedule(seconds, 0, [state] {
            if (state->finished) {
                return;
            }
            state->finished = true;
            auto finish = std::move(state->done);
            if (finish) {
                finish(Result<void>{});
            }
        });
        return std::make_shared<ExecutorWait>(state);
    };
}

// A unit of main-thread work others can wait for. Waiters resume asynchronously, on
// the main executor, like an awaiting task would.
class CaptureController::Task {
public:
    explicit Task(Executor& main) : main_(main) {}

    void finish(std::optional<Error> error = std::nullopt) {
        if (done_) {
            return;
        }
        done_ = true;
        error_ = std::move(error);
        onCancel_ = nullptr;
        auto waiters = std::move(waiters_);
        waiters_.clear();
        for (auto& waiter : waiters) {
            main_.post([waiter = std::move(waiter), error = error_] { waiter(error); });
        }
    }
    void then(std::function<void(const std::optional<Error>&)> waiter) {
        if (done_) {
            main_.post([waiter = std::move(waiter), error = error_] { waiter(error); });
        } else {
            waiters_.push_back(std::move(waiter));
        }
    }
    void cancel() {
        cancelled_ = true;
        if (onCancel_) {
            auto onCancel = std::move(onCancel_);
            onCancel_ = nullptr;
            onCancel();
        }
    }
    bool isCancelled() const { return cancelled_; }
    bool isDone() const { return done_; }
    void setOnCancel(std::function<void()> onCancel) { onCancel_ = std::move(onCancel); }

private:
    Executor& main_;
    bool done_ = false;
    bool cancelled_ = false;
    std::optional<Error> error_;
    std::vector<std::function<void(const std::optional<Error>&)>> waiters_;
    std::function<void()> onCancel_;
};

namespace {

template <typename TaskPtr> void after(const TaskPtr& task, std::function<void()> next) {
    if (!task) {
        next();
        return;
    }
    task->then([next = std::move(next)](const std::optional<Error>&) { next(); });
}

Error unavailable(const char* message) {
    return Error(CaptureError::unavailable(message));
}

} // namespace

std::shared_ptr<CaptureController>
CaptureController::create(Executor& main, CaptureConfiguration configuration,
                          CaptureControllerEnvironment environment) {
    std::shared_ptr<CaptureController> controller(
        new CaptureController(main, std::move(configuration), std::move(environment)));
    if (controller->environment_.monitor) {
        std::weak_ptr<CaptureController> weak = controller;
        controller->platformMonitor_ = controller->environment_.monitor(
            [weak](const std::string& name, bool active) {
                if (auto self = weak.lock()) {
                    self->setSuspension(name, active);
                }
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->resetEpoch("display_changed");
                }
            });
        if (controller->platformMonitor_) {
            controller->platformMonitor_->begin();
        }
    }
    return controller;
}

CaptureController::CaptureController(Executor& main, CaptureConfiguration configuration,
                                     CaptureControllerEnvironment environment)
    : main_(main), configuration_(std::move(configuration)), environment_(std::move(environment)),
      generation_(newUuid()), intentEpoch_(newUuid()) {
    if (!environment_.sleep) {
        environment_.sleep = executorSleep(main_);
    }
    if (!environment_.wallClock) {
        environment_.wallClock = [] { return std::chrono::system_clock::now(); };
    }
}

CaptureController::~CaptureController() {
    if (platformMonitor_) {
        platformMonitor_->stop();
    }
    if (engine_) {
        engine_->invalidate();
    }
}

CaptureController::Uuid CaptureController::newUuid() {
    return randomUuid();
}

bool CaptureController::needsScreenAccess() const {
    return lastFailure_ && lastFailure_->kind == CaptureFailure::Kind::permission &&
           desiredRecording_;
}

std::uint64_t CaptureController::addObserver(std::function<void()> observer) {
    const std::uint64_t token = nextObserver_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void CaptureController::removeObserver(std::uint64_t token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void CaptureController::changed() {
    auto observers = observers_;
    for (auto& [token, observer] : observers) {
        observer();
    }
}

bool CaptureController::isCurrent(const Uuid& g) const {
    return g == generation_ && desiredRecording_ && !isShuttingDown_ && suspensions_.empty();
}

void CaptureController::setPhase(CapturePhase phase, std::string text) {
    phase_ = phase;
    status_ = std::move(text);
    isRecording_ = phase == CapturePhase::recording;
    if (isRecording_ && environment_.monitor && environment_.beginActivity && !activity_) {
        activity_ = environment_.beginActivity();
    } else if (!isRecording_ && activity_) {
        activity_.reset();
    }
    changed();
}

void CaptureController::invalidateCurrent() {
    generation_ = newUuid();
    if (retryTask_) {
        retryTask_->cancel();
        retryTask_.reset();
    }
    std::shared_ptr<Task> oldAttempt = std::move(attemptTask_);
    attemptTask_.reset();
    if (oldAttempt) {
        oldAttempt->cancel();
    }
    std::shared_ptr<CaptureSession> oldEngine = std::move(engine_);
    engine_.reset();
    if (oldEngine) {
        oldEngine->invalidate();
    }
    // The activity (a sleep delay inhibitor on Linux) is handed to the cleanup so
    // that it is released only once the engine has really stopped: a suspend then
    // waits for the recorder to let go of the display instead of cutting it off.
    std::shared_ptr<RecordingActivity> activity(std::move(activity_));
    activity_.reset();

    auto cleanup = std::make_shared<Task>(main_);
    std::shared_ptr<Task> previousCleanup = cleanupTask_;
    Executor& main = main_;
    after(oldAttempt, [cleanup, previousCleanup, oldEngine, activity, &main] {
        after(previousCleanup, [cleanup, oldEngine, activity, &main] {
            if (!oldEngine) {
                cleanup->finish();
                return;
            }
            oldEngine->stop([cleanup, activity, &main]() mutable {
                main.post([cleanup, activity]() mutable {
                    activity.reset();
                    cleanup->finish();
                });
            });
        });
    });
    cleanupTask_ = cleanup;

    bufferedSeconds_ = 0;
    bufferedBytes_ = 0;
    isRecording_ = false;
    changed();
}

std::shared_ptr<CaptureController::Task> CaptureController::launchAttempt() {
    const Uuid g = generation_;
    const Uuid e = intentEpoch_;
    std::shared_ptr<Task> c = cleanupTask_;
    setPhase(CapturePhase::starting, "Preparing rewind…");
    logEvent("start_requested", "attempt");
    auto task = std::make_shared<Task>(main_);
    attemptTask_ = task;
    std::weak_ptr<CaptureController> weak = weak_from_this();
    main_.post([weak, task, g, e, c] {
        if (auto self = weak.lock()) {
            self->attemptBody(task, g, e, c);
        } else {
            task->finish();
        }
    });
    return task;
}

void CaptureController::attemptBody(std::shared_ptr<Task> task, Uuid g, Uuid e,
                                    std::shared_ptr<Task> cleanup) {
    std::weak_ptr<CaptureController> weak = weak_from_this();
    Executor& main = main_;
    after(cleanup, [weak, task, g, e, &main] {
        auto self = weak.lock();
        if (!self || !self->isCurrent(g)) {
            task->finish();
            return;
        }
        auto onStatus = [weak, g, &main](CaptureEngineStatus status) {
            main.post([weak, g, status = std::move(status)] {
                if (auto controller = weak.lock()) {
                    controller->receive(status, g);
                }
            });
        };
        auto onStopped = [weak, e, &main](CaptureFailure failure) {
            main.post([weak, e, failure = std::move(failure)] {
                if (auto controller = weak.lock()) {
                    controller->receiveStop(failure, e);
                }
            });
        };
        self->engine_ = self->environment_.factory(self->configuration_, self->selectedDisplayID_,
                                                   onStatus, onStopped);
        std::shared_ptr<CaptureSession> engine = self->engine_;
        if (!engine) {
            const CaptureFailure failure(
                Error(CaptureError::unavailable("The screen recorder could not be created.")));
            self->handleFailure(failure);
            task->finish(Error(failure));
            return;
        }
        engine->start([weak, task, g, e, &main](Result<void> result) {
            main.post([weak, task, g, e, result = std::move(result)] {
                auto controller = weak.lock();
                if (!controller) {
                    task->finish();
                    return;
                }
                if (result) {
                    if (controller->isCurrent(g) && controller->attemptTask_ == task) {
                        controller->attemptTask_.reset();
                    }
                    task->finish();
                    return;
                }
                const CaptureFailure failure(result.error());
                if (failure.endsRecordingIntent()) {
                    if (controller->intentEpoch_ == e && controller->desiredRecording_ &&
                        !controller->isShuttingDown_) {
                        controller->handleFailure(failure);
                    }
                    task->finish();
                } else if (controller->isCurrent(g)) {
                    controller->handleFailure(failure);
                    task->finish(result.error());
                } else {
                    task->finish();
                }
            });
        });
    });
}

void CaptureController::receive(const CaptureEngineStatus& status, const Uuid& g) {
    if (g != generation_ || !desiredRecording_ || isShuttingDown_ || !suspensions_.empty()) {
        return;
    }
    if (status.source && status.source->kind == "display" && !selectedDisplayID_) {
        selectedDisplayID_ = status.source->id;
        if (platformMonitor_) {
            if (platformMonitor_->displayID() != selectedDisplayID_) {
                platformMonitor_->setDisplayID(selectedDisplayID_);
                platformMonitor_->forgetPrevious();
            }
            platformMonitor_->refresh();
        }
        if (!isCurrent(g)) {
            return;
        }
    }
    if (!status.encoderName.empty()) {
        encoderName_ = status.encoderName;
    }
    bufferedSeconds_ = status.seconds;
    bufferedBytes_ = status.bytes;
    if (!status.failure) {
        if (!(status.running && status.sourceAvailable)) {
            changed();
            return;
        }
    } else {
        if (!status.running) {
            handleFailure(*status.failure);
            return;
        }
        if (!status.sourceAvailable) {
            lastError_ = status.failure->message;
            lastFailure_ = status.failure;
            setPhase(CapturePhase::suspended, "Rewind waiting for the screen");
            return;
        }
    }
    const bool wasRecording = phase_ == CapturePhase::recording;
    if (status.failure) {
        lastError_ = status.failure->message;
        lastFailure_ = status.failure;
    } else {
        lastError_.reset();
        lastFailure_.reset();
    }
    const double whole = std::trunc(status.seconds);
    const long long seconds = std::isfinite(whole) ? static_cast<long long>(whole) : 0;
    setPhase(CapturePhase::recording,
             "Rewind running · " + std::to_string(seconds) + "s available");
    if (!wasRecording) {
        logEvent("first_frame", "source_available");
    }
    if (failures_ > 0 && status.healthySourceSeconds >= environment_.recovery.stableSourceSeconds) {
        failures_ = 0;
        logEvent("stable", "source_delivery");
    }
}

void CaptureController::receiveStop(const CaptureFailure& failure, const Uuid& e) {
    if (failure.endsRecordingIntent() && intentEpoch_ == e && desiredRecording_ &&
        !isShuttingDown_) {
        handleFailure(failure);
    }
}

void CaptureController::handleFailure(const CaptureFailure& failure) {
    logEvent("stopped", std::string(rawValue(failure.kind)), failure);
    invalidateCurrent();
    lastFailure_ = failure;
    lastError_ = failure.message;
    automaticRecoveryBlocked_ = !failure.canRetry();
    switch (failure.kind) {
    case CaptureFailure::Kind::userStopped:
    case CaptureFailure::Kind::unclassifiedStop: {
        lastError_.reset();
        if (desiredRecording_) {
            desiredRecording_ = false;
            if (onRecordingIntentChanged) {
                onRecordingIntentChanged(false);
            }
        }
        setPhase(CapturePhase::paused, failure.kind == CaptureFailure::Kind::userStopped
                                           ? "Rewind stopped by you"
                                           : "Rewind stopped · resume when ready");
        break;
    }
    case CaptureFailure::Kind::transient:
    case CaptureFailure::Kind::sourceUnavailable:
        failures_ += 1;
        scheduleRetry();
        break;
    case CaptureFailure::Kind::missingEntitlement:
    case CaptureFailure::Kind::other:
        setPhase(CapturePhase::unavailable, "Rewind unavailable");
        break;
    case CaptureFailure::Kind::permission:
        setPhase(CapturePhase::permissionRequired, "Screen recording access is required");
        break;
    }
    changed();
}

void CaptureController::scheduleRetry() {
    if (!desiredRecording_ || isShuttingDown_) {
        return;
    }
    if (!suspensions_.empty()) {
        holdBack();
        return;
    }
    const double delay = environment_.recovery.delay(failures_);
    const Uuid g = generation_;
    setPhase(CapturePhase::recovering, "Rewind interrupted · retrying automatically");
    logEvent("retry_scheduled", "transient", std::nullopt, delay);
    auto task = std::make_shared<Task>(main_);
    retryTask_ = task;
    std::weak_ptr<CaptureController> weak = weak_from_this();
    // The wait and the task refer to each other only weakly: a retry still pending when
    // the controller goes away must not keep itself alive.
    std::weak_ptr<Task> weakTask = task;
    auto wait = environment_.sleep(delay, [weak, weakTask, g](Result<void> slept) {
        auto task = weakTask.lock();
        if (!task) {
            return;
        }
        if (!slept) {
            task->finish();
            return;
        }
        auto self = weak.lock();
        if (!self || task->isCancelled() || !self->isCurrent(g)) {
            task->finish();
            return;
        }
        if (self->retryTask_ == task) {
            self->retryTask_.reset();
        }
        auto attempt = self->launchAttempt();
        attempt->then([task](const std::optional<Error>&) { task->finish(); });
    });
    if (wait) {
        task->setOnCancel([wait, weakTask] {
            wait->cancel();
            if (auto task = weakTask.lock()) {
                task->finish();
            }
        });
    }
}

void CaptureController::holdBack() {
    if (automaticRecoveryBlocked_) {
        if (needsScreenAccess()) {
            setPhase(CapturePhase::permissionRequired, "Screen recording access is required");
        } else {
            setPhase(CapturePhase::unavailable, "Rewind unavailable");
        }
    } else {
        setPhase(CapturePhase::suspended, "Rewind waiting for the screen or session");
    }
}

void CaptureController::start(Completion<void> done) {
    auto finish = [&done](Result<void> result) {
        if (done) {
            done(std::move(result));
        }
    };
    if (isShuttingDown_ || isRecording_ || isStarting()) {
        finish({});
        return;
    }
    intentEpoch_ = newUuid();
    if (!desiredRecording_) {
        desiredRecording_ = true;
        if (onRecordingIntentChanged) {
            onRecordingIntentChanged(true);
        }
    }
    invalidateCurrent();
    logEvent("explicit_resume", "explicit_resume");
    lastError_.reset();
    lastFailure_.reset();
    automaticRecoveryBlocked_ = false;
    failures_ = 0;
    if (suspensions_.empty()) {
        auto task = launchAttempt();
        task->then([done = std::move(done)](const std::optional<Error>& error) {
            if (!done) {
                return;
            }
            if (error) {
                done(Unexpected{*error});
            } else {
                done({});
            }
        });
    } else {
        holdBack();
        finish({});
    }
}

void CaptureController::pause(std::function<void()> done) {
    intentEpoch_ = newUuid();
    if (desiredRecording_) {
        desiredRecording_ = false;
        if (onRecordingIntentChanged) {
            onRecordingIntentChanged(false);
        }
    }
    invalidateCurrent();
    setPhase(CapturePhase::paused, "Rewind paused");
    lastError_.reset();
    lastFailure_.reset();
    logEvent("paused", "explicit_pause");
    changed();
    if (!done) {
        return;
    }
    after(cleanupTask_, std::move(done));
}

void CaptureController::shutdown() {
    if (isShuttingDown_) {
        return;
    }
    isShuttingDown_ = true;
    intentEpoch_ = newUuid();
    if (platformMonitor_) {
        platformMonitor_->stop();
        platformMonitor_.reset();
    }
    invalidateCurrent();
    setPhase(CapturePhase::paused, "Rewind stopped");
    logEvent("shutdown", "quit");
}

void CaptureController::clear() {
    if (engine_) {
        engine_->clear();
    }
    bufferedSeconds_ = 0;
    bufferedBytes_ = 0;
    if (isRecording_) {
        status_ = "Rewind running · buffer cleared";
    }
    changed();
}

void CaptureController::setSuspension(const std::string& name, bool active) {
    if (active) {
        const bool inserted = suspensions_.insert(name).second;
        if (inserted && !isShuttingDown_) {
            invalidateCurrent();
            if (desiredRecording_) {
                holdBack();
            }
            logEvent("suspended", name);
        }
        return;
    }
    const bool removed = suspensions_.erase(name) > 0;
    if (removed && !isShuttingDown_ && suspensions_.empty() && desiredRecording_ &&
        !automaticRecoveryBlocked_) {
        launchAttempt();
    }
}

void CaptureController::resetEpoch(const std::string& reason) {
    if (!desiredRecording_ || isShuttingDown_ || automaticRecoveryBlocked_) {
        return;
    }
    invalidateCurrent();
    logEvent("suspended", reason);
    if (!suspensions_.empty()) {
        holdBack();
    } else {
        launchAttempt();
    }
}

void CaptureController::capture(double seconds, std::filesystem::path outputRoot,
                                Completion<CaptureBundle> done) {
    if (!isRecording_ || !desiredRecording_) {
        done(Unexpected{unavailable("Rewind is not currently receiving screen frames.")});
        return;
    }
    if (!engine_) {
        done(Unexpected{unavailable("Start recording before capturing a replay.")});
        return;
    }
    if (isExporting_) {
        done(Unexpected{unavailable("A clip is already being saved. Try again when it finishes.")});
        return;
    }
    if (!std::isfinite(seconds) || seconds <= 0) {
        done(Unexpected{unavailable("Choose a positive replay duration.")});
        return;
    }
    isExporting_ = true;
    changed();
    std::shared_ptr<CaptureSession> engine = engine_;
    const auto capturedAt = environment_.wallClock();
    std::weak_ptr<CaptureController> weak = weak_from_this();
    Executor& main = main_;
    auto finished = std::make_shared<Completion<CaptureBundle>>(std::move(done));
    auto complete = [weak, finished](Result<CaptureBundle> result) {
        if (auto self = weak.lock()) {
            self->isExporting_ = false;
            self->changed();
        }
        auto done = std::move(*finished);
        if (done) {
            done(std::move(result));
        }
    };
    const CaptureConfiguration configuration = configuration_;
    BundleSaver save = environment_.saveBundle;
    engine->snapshot(seconds, [complete, &main, seconds, capturedAt, configuration, save,
                               outputRoot](Result<CaptureSnapshot> snapshot) mutable {
        main.post([complete, &main, seconds, capturedAt, configuration, save, outputRoot,
                   snapshot = std::move(snapshot)]() mutable {
            if (!snapshot) {
                complete(Unexpected{snapshot.error()});
                return;
            }
            if (!save) {
                complete(Unexpected{unavailable("Saving clips is not available.")});
                return;
            }
            save(std::move(snapshot).value(), seconds, capturedAt, configuration, outputRoot,
                 [complete, &main](Result<CaptureBundle> bundle) mutable {
                     main.post([complete, bundle = std::move(bundle)]() mutable {
                         complete(std::move(bundle));
                     });
                 });
        });
    });
}

void CaptureController::logEvent(const std::string& event, const std::string& reason,
                                 const std::optional<CaptureFailure>& failure, double delay) {
    if (!environment_.log) {
        return;
    }
    LifecycleLogRecord record;
    record.event = event;
    record.generation = uuidString(generation_, UuidCase::upper);
    record.attempt = failures_;
    record.reason = reason;
    record.failure = failure;
    record.delaySeconds = delay;
    record.sourceDisplayID = selectedDisplayID_.value_or(0);
    record.captureBackend = configuration_.backend;
    environment_.log(record);
}

} // namespace snagreel
