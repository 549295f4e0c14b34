#include "SnagreelCore/Export/ExportOperation.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <cassert>

namespace snagreel {

std::function<void()> scheduleDeadline(Executor& queue, double timeout,
                                       std::function<void()> expired) {
    TimerHandle handle = queue.schedule(timeout, 0, std::move(expired));
    return [handle]() mutable { handle.cancel(); };
}

ExportOperation::ExportOperation(std::shared_ptr<Executor> queue,
                                 std::function<void()> cancelWriting, Completion<void> completion)
    : queue_(std::move(queue)), cancelWriting_(std::move(cancelWriting)),
      completion_(std::move(completion)) {}

std::shared_ptr<ExportOperation> ExportOperation::create(std::shared_ptr<Executor> queue,
                                                         double timeout, DeadlineScheduler schedule,
                                                         std::function<void()> cancelWriting,
                                                         Completion<void> completion) {
    std::shared_ptr<ExportOperation> operation(
        new ExportOperation(std::move(queue), std::move(cancelWriting), std::move(completion)));
    assert(operation->queue_->isCurrent());
    if (!schedule) {
        schedule = scheduleDeadline;
    }
    // The timer holds the operation weakly: an export that ended and was released
    // must not be kept alive, nor revived, by its pending deadline.
    std::weak_ptr<ExportOperation> weak = operation;
    operation->cancelDeadline_ = schedule(*operation->queue_, timeout, [weak] {
        if (auto self = weak.lock()) {
            self->resolve(Unexpected{Error(CaptureError::unavailable(kMovieExportTimedOutMessage))},
                          true);
        }
    });
    return operation;
}

void ExportOperation::finalize(std::function<void(FinishReport)> start) {
    assert(queue_->isCurrent());
    if (phase_ != Phase::feeding) {
        return;
    }
    phase_ = Phase::finalizing;
    std::shared_ptr<ExportOperation> self = shared_from_this();
    std::shared_ptr<Executor> queue = queue_;
    start([self, queue](Result<void> result) {
        queue->post([self, result = std::move(result)]() mutable {
            self->resolve(std::move(result), false);
        });
    });
}

void ExportOperation::resolve(Result<void> result, bool cancelWriter) {
    assert(queue_->isCurrent());
    if (phase_ == Phase::finished) {
        return;
    }
    phase_ = Phase::finished;
    if (auto cancel = std::move(cancelDeadline_)) {
        cancelDeadline_ = nullptr;
        cancel();
    }
    Completion<void> completion = std::move(completion_);
    std::function<void()> cancelWriting = std::move(cancelWriting_);
    completion_ = nullptr;
    cancelWriting_ = nullptr;
    if (completion) {
        completion(std::move(result));
    }
    if (cancelWriter && cancelWriting) {
        cancelWriting();
    }
}

} // namespace snagreel
