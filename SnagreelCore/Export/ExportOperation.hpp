#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace snagreel {

inline constexpr const char* kMovieExportTimedOutMessage =
    "Movie export timed out. The draft was removed; try capturing again.";

// A one-shot timer on `queue` firing `expired` after `timeout` seconds. The returned
// callback cancels it.
std::function<void()> scheduleDeadline(Executor& queue, double timeout,
                                       std::function<void()> expired);

// Guarantees that one movie export ends exactly once: with the writer's own result,
// with the first failure, or with the deadline, whichever comes first. Everything it
// holds is touched only on its queue, so the phase needs no lock; a timed-out
// writer is cancelled and whatever it reports later is ignored.
class ExportOperation : public std::enable_shared_from_this<ExportOperation> {
public:
    enum class Phase { feeding, finalizing, finished };

    using DeadlineScheduler = std::function<std::function<void()>(Executor& queue, double timeout,
                                                                  std::function<void()> expired)>;
    // Reports the finishing step's result; callable from any thread, once.
    using FinishReport = std::function<void(Result<void>)>;

    // Starts in `feeding` with the deadline armed. Must be called on `queue`.
    static std::shared_ptr<ExportOperation> create(std::shared_ptr<Executor> queue, double timeout,
                                                   DeadlineScheduler schedule,
                                                   std::function<void()> cancelWriting,
                                                   Completion<void> completion);

    ExportOperation(const ExportOperation&) = delete;
    ExportOperation& operator=(const ExportOperation&) = delete;

    // From `feeding` only: moves to `finalizing` and runs `start`, whose report is
    // brought back to the queue and resolved without cancelling the writer.
    void finalize(std::function<void(FinishReport)> start);
    // Delivers `result` unless one was delivered already; then runs the cancel step
    // when asked to.
    void resolve(Result<void> result, bool cancelWriter);

    Phase phase() const { return phase_; }
    Executor& queue() const { return *queue_; }

private:
    ExportOperation(std::shared_ptr<Executor> queue, std::function<void()> cancelWriting,
                    Completion<void> completion);

    std::shared_ptr<Executor> queue_;
    Phase phase_ = Phase::feeding;
    std::function<void()> cancelDeadline_;
    std::function<void()> cancelWriting_;
    Completion<void> completion_;
};

} // namespace snagreel
