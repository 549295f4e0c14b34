#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Capture/CaptureSession.hpp"
#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Export/CaptureBundle.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace snagreel {

class CaptureLifecycleMonitor;

// One recorder lifecycle event, as written to the lifecycle log.
struct LifecycleLogRecord {
    std::string event;
    std::string generation; // upper-case UUID
    std::int64_t attempt = 0;
    std::string reason;
    std::optional<CaptureFailure> failure;
    double delaySeconds = 0;
    std::uint32_t sourceDisplayID = 0;
    CaptureBackend captureBackend = CaptureBackend::avFoundation;
};

// The lifecycle log's line for a record, in its fixed key=value format.
std::string formatLifecycleLine(const LifecycleLogRecord& record);

// Something held while recording so that the system does not throttle the process
// (on Linux a logind delay inhibitor). Released when destroyed.
class RecordingActivity {
public:
    virtual ~RecordingActivity() = default;
};

// A cancellable wait on the main executor; calls `done` with success after the
// delay, or with a cancellation error once cancelled.
class PendingWait {
public:
    virtual ~PendingWait() = default;
    virtual void cancel() = 0;
};
using SleepFunction =
    std::function<std::shared_ptr<PendingWait>(double seconds, Completion<void> done)>;

// A sleep on an executor's timers (the monotonic clock, which stops while the
// machine is suspended).
SleepFunction executorSleep(Executor& executor);

using EngineFactory = std::function<std::shared_ptr<CaptureSession>(
    const CaptureConfiguration&, std::optional<std::uint32_t> displayID,
    std::function<void(CaptureEngineStatus)> onStatus,
    std::function<void(CaptureFailure)> onStopped)>;

// Saves a snapshot as a capture directory (clip and manifest) under a root.
using BundleSaver = std::function<void(
    CaptureSnapshot snapshot, double requestedSeconds,
    std::chrono::system_clock::time_point capturedAt, const CaptureConfiguration& configuration,
    std::filesystem::path capturesRoot, Completion<CaptureBundle> done)>;

using MonitorFactory = std::function<std::shared_ptr<CaptureLifecycleMonitor>(
    std::function<void(const std::string& name, bool active)> suspension,
    std::function<void()> displayChanged)>;

struct CaptureControllerEnvironment {
    CaptureRecoveryPolicy recovery;
    SleepFunction sleep;
    EngineFactory factory;
    BundleSaver saveBundle;
    // Empty: no lifecycle monitoring (and no activity).
    MonitorFactory monitor;
    std::function<std::unique_ptr<RecordingActivity>()> beginActivity;
    std::function<void(const LifecycleLogRecord&)> log;
    std::function<std::chrono::system_clock::time_point()> wallClock;
};

// The one object the application talks to about recording: it holds the recording
// intent, owns at most one engine at a time, retries retryable failures, holds
// recording back while the screen or session is unavailable and saves clips.
// Confined to the main executor; every public call must be made there.
class CaptureController : public std::enable_shared_from_this<CaptureController> {
public:
    static std::shared_ptr<CaptureController> create(Executor& main,
                                                     CaptureConfiguration configuration,
                                                     CaptureControllerEnvironment environment);
    ~CaptureController();

    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    void start(Completion<void> done = {});
    void pause(std::function<void()> done = {});
    void shutdown();
    void clear();
    void capture(double seconds, std::filesystem::path outputRoot, Completion<CaptureBundle> done);
    void setSuspension(const std::string& name, bool active);
    void resetEpoch(const std::string& reason);

    bool isRecording() const { return isRecording_; }
    bool desiredRecording() const { return desiredRecording_; }
    CapturePhase phase() const { return phase_; }
    double bufferedSeconds() const { return bufferedSeconds_; }
    std::int64_t bufferedBytes() const { return bufferedBytes_; }
    const std::string& status() const { return status_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    const std::optional<CaptureFailure>& lastFailure() const { return lastFailure_; }
    bool isStarting() const { return phase_ == CapturePhase::starting; }
    bool needsScreenAccess() const;
    bool isExporting() const { return isExporting_; }
    bool holdsActivity() const { return activity_ != nullptr; }
    const std::set<std::string>& suspensions() const { return suspensions_; }
    std::optional<std::uint32_t> selectedDisplayID() const { return selectedDisplayID_; }
    const std::string& encoderName() const { return encoderName_; }
    const CaptureConfiguration& configuration() const { return configuration_; }

    // Called with the new intent whenever start, pause or an intent-ending failure
    // changes it (never from shutdown).
    std::function<void(bool)> onRecordingIntentChanged;
    // Called after any observable property changed.
    std::uint64_t addObserver(std::function<void()> observer);
    void removeObserver(std::uint64_t token);

private:
    class Task;
    using Uuid = std::array<std::uint8_t, 16>;

    CaptureController(Executor& main, CaptureConfiguration configuration,
                      CaptureControllerEnvironment environment);

    bool isCurrent(const Uuid& g) const;
    void setPhase(CapturePhase phase, std::string text);
    void invalidateCurrent();
    std::shared_ptr<Task> launchAttempt();
    void attemptBody(std::shared_ptr<Task> task, Uuid g, Uuid e, std::shared_ptr<Task> cleanup);
    void receive(const CaptureEngineStatus& status, const Uuid& g);
    void receiveStop(const CaptureFailure& failure, const Uuid& e);
    void handleFailure(const CaptureFailure& failure);
    void scheduleRetry();
    void holdBack();
    void logEvent(const std::string& event, const std::string& reason,
                  const std::optional<CaptureFailure>& failure = std::nullopt, double delay = 0);
    void changed();
    static Uuid newUuid();

    Executor& main_;
    CaptureConfiguration configuration_;
    CaptureControllerEnvironment environment_;

    bool isRecording_ = false;
    bool desiredRecording_ = false;
    CapturePhase phase_ = CapturePhase::paused;
    double bufferedSeconds_ = 0;
    std::int64_t bufferedBytes_ = 0;
    std::string status_ = "Rewind paused";
    std::optional<std::string> lastError_;
    std::optional<CaptureFailure> lastFailure_;
    std::string encoderName_;

    std::shared_ptr<CaptureSession> engine_;
    std::shared_ptr<Task> attemptTask_;
    std::shared_ptr<Task> cleanupTask_;
    std::shared_ptr<Task> retryTask_;
    Uuid generation_;
    Uuid intentEpoch_;
    std::int64_t failures_ = 0;
    std::optional<std::uint32_t> selectedDisplayID_;
    std::set<std::string> suspensions_;
    std::shared_ptr<CaptureLifecycleMonitor> platformMonitor_;
    std::unique_ptr<RecordingActivity> activity_;
    bool isShuttingDown_ = false;
    bool automaticRecoveryBlocked_ = false;
    bool isExporting_ = false;

    std::uint64_t nextObserver_ = 1;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> observers_;
};

} // namespace snagreel
