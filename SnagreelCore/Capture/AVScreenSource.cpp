#include "SnagreelCore/Capture/AVScreenSource.hpp"

#include <cmath>
#include <utility>

namespace snagreel {

namespace {

constexpr const char* kStoppedMessage = "Screen capture stopped. Resume explicitly when ready.";

bool isReportedByPermissionCheck(CaptureFailure::Kind kind) {
    return kind == CaptureFailure::Kind::permission ||
           kind == CaptureFailure::Kind::sourceUnavailable;
}

} // namespace

// ---- Stop gate ----

void AVSourceStopGate::setStopping() {
    std::lock_guard lock(lock_);
    stopping_ = true;
}

bool AVSourceStopGate::isStopping() const {
    std::lock_guard lock(lock_);
    return stopping_;
}

std::optional<CaptureFailure> AVSourceStopGate::terminalFailure() const {
    std::lock_guard lock(lock_);
    return terminalFailure_;
}

void AVSourceStopGate::recordPermissionDenied(const CaptureFailure& failure) {
    std::lock_guard lock(lock_);
    if (stopping_ || terminalFailure_ || failure.domain != kAVFoundationErrorDomain ||
        failure.kind != CaptureFailure::Kind::permission) {
        return;
    }
    terminalFailure_ = failure;
}

std::optional<CaptureFailure> AVSourceStopGate::failure(GrabSessionNotification notification,
                                                        const std::optional<Error>& error) {
    std::lock_guard lock(lock_);
    if (stopping_) {
        return std::nullopt;
    }
    if (notification == GrabSessionNotification::didStopRunning && terminalFailure_ &&
        isReportedByPermissionCheck(terminalFailure_->kind)) {
        return std::nullopt;
    }
    CaptureFailure result;
    if (notification != GrabSessionNotification::runtimeError) {
        result = CaptureFailure(kAVFallbackDomain, 1, CaptureFailure::Kind::unclassifiedStop,
                                kStoppedMessage);
    } else {
        const Error cause =
            error ? *error
                  : Error(CaptureError::unavailable("Screen capture reported an unknown error."));
        result = CaptureFailure(cause);
        if (result.domain != kAVFoundationErrorDomain ||
            !isReportedByPermissionCheck(result.kind)) {
            result.kind = CaptureFailure::Kind::unclassifiedStop;
            result.message = kStoppedMessage;
        }
    }
    // A later failure that would only be retried must not hide one that already
    // decided to end recording.
    if (!terminalFailure_ || result.endsRecordingIntent()) {
        terminalFailure_ = result;
    }
    return result;
}

// ---- Timing ----

std::optional<AVSourceTiming::Acceptance> AVSourceTiming::receive(double presentationTime,
                                                                  double now) {
    const double p = presentationTime;
    if (!std::isfinite(p) || !std::isfinite(now) || p > now || now - p > maximumAge) {
        return std::nullopt;
    }
    Acceptance acceptance;
    if (!lastPresentationTime) {
        acceptance.resetsHistory = needsNewHistory;
    } else {
        if (!(p > *lastPresentationTime)) {
            return std::nullopt;
        }
        acceptance.resetsHistory = needsNewHistory || !lastReceiptTime ||
                                   *lastPresentationTime > now || *lastReceiptTime > now ||
                                   now - *lastReceiptTime > maximumAge ||
                                   now - *lastPresentationTime > maximumAge;
    }
    lastPresentationTime = p;
    lastReceiptTime = now;
    needsNewHistory = false;
    return acceptance;
}

bool AVSourceTiming::observeSilence(double now) {
    if (!lastPresentationTime || needsNewHistory) {
        return false;
    }
    if (!std::isfinite(now) || !lastReceiptTime) {
        needsNewHistory = true;
        return true;
    }
    const auto recent = [&](double t) { return t <= now && now - t <= maximumAge; };
    if (recent(*lastPresentationTime) && recent(*lastReceiptTime)) {
        return false;
    }
    needsNewHistory = true;
    return true;
}

bool AVSourceTiming::isFresh(double now) const {
    if (!lastPresentationTime || !lastReceiptTime || needsNewHistory || !std::isfinite(now)) {
        return false;
    }
    const auto recent = [&](double t) { return t <= now && now - t <= maximumAge; };
    return recent(*lastPresentationTime) && recent(*lastReceiptTime);
}

// ---- Source ----

std::shared_ptr<AVScreenSource>
AVScreenSource::create(std::unique_ptr<GrabSession> session, std::shared_ptr<Executor> sessionQueue,
                       std::shared_ptr<Executor> mediaQueue, std::uint32_t displayID,
                       std::int64_t width, std::int64_t height, std::int64_t fps,
                       std::shared_ptr<AVSourceStopGate> stopGate, Callbacks callbacks) {
    std::shared_ptr<AVScreenSource> source(new AVScreenSource());
    source->session_ = std::move(session);
    source->sessionQueue_ = std::move(sessionQueue);
    source->mediaQueue_ = mediaQueue;
    source->displayID_ = displayID;
    source->width_ = width;
    source->height_ = height;
    source->fps_ = fps;
    source->stopGate_ = stopGate ? std::move(stopGate) : std::make_shared<AVSourceStopGate>();
    source->callbacks_ = std::move(callbacks);
    return source;
}

void AVScreenSource::start(Completion<void> done) {
    sessionQueue_->post([self = shared_from_this(), done = std::move(done)] {
        Result<void> result = self->startOnSessionQueue();
        if (!result) {
            // Whatever part of the session came up must not outlive a failed start.
            self->tearDown();
        }
        if (done) {
            done(std::move(result));
        }
    });
}

Result<void> AVScreenSource::startOnSessionQueue() {
    if (stopGate_->isStopping() || started_) {
        return Unexpected{Error::cancelled()};
    }
    started_ = true;
    attached_->store(true);

    if (auto input = session_->addScreenInput(displayID_, fps_, true); !input) {
        return Unexpected{
            Error(avFoundationError(AVErrorCode::deviceNotConnected, input.error().description()))};
    }
    if (!session_->addVideoOutput(width_, height_)) {
        return Unexpected{
            Error(CaptureError::unavailable("Screen capture output is unavailable."))};
    }

    auto mediaQueue = mediaQueue_.lock();
    if (!mediaQueue) {
        return Unexpected{Error::cancelled()};
    }
    session_->startRunning(std::move(mediaQueue), makeSessionCallbacks());

    if (auto failure = stopGate_->terminalFailure()) {
        return Unexpected{Error(*failure)};
    }
    if (stopGate_->isStopping()) {
        return Unexpected{Error::cancelled()};
    }
    if (!session_->isRunning()) {
        return Unexpected{Error(CaptureError::unavailable("Screen capture could not start."))};
    }
    return {};
}

GrabSessionCallbacks AVScreenSource::makeSessionCallbacks() {
    // The callbacks hold the source weakly and check the attachment flag, the
    // counterpart of removed observers and a detached sample delegate.
    std::weak_ptr<AVScreenSource> weak = weak_from_this();
    auto attached = attached_;
    GrabSessionCallbacks callbacks;
    callbacks.onSample = [weak, attached](const ScreenImage& image, double presentationTime) {
        if (!attached->load()) {
            return;
        }
        if (auto self = weak.lock(); self && self->callbacks_.onSample) {
            self->callbacks_.onSample(image, presentationTime, self->session_.get());
        }
    };
    callbacks.onDrop = [weak, attached] {
        if (!attached->load()) {
            return;
        }
        if (auto self = weak.lock(); self && self->callbacks_.onDrop) {
            self->callbacks_.onDrop();
        }
    };
    callbacks.onNotification = [weak, attached](GrabSessionNotification notification,
                                                std::optional<Error> error) {
        if (!attached->load()) {
            return;
        }
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto failure = self->stopGate_->failure(notification, error);
        if (failure && self->callbacks_.onFailure) {
            self->callbacks_.onFailure(Error(*failure));
        }
    };
    return callbacks;
}

void AVScreenSource::stop(std::function<void()> done) {
    stopGate_->setStopping();
    sessionQueue_->post([self = shared_from_this(), done = std::move(done)] {
        self->tearDown();
        if (done) {
            done();
        }
    });
}

void AVScreenSource::tearDown() {
    attached_->store(false);
    if (session_->isRunning()) {
        session_->stopRunning();
    }
    session_->removeInputsAndOutputs();
}

} // namespace snagreel
