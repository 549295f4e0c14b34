#include "SnagreelCore/Capture/CaptureEngine.hpp"

#include "SnagreelCore/Diagnostics/BundleInfo.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace snagreel {

namespace {

constexpr double kGapThreshold = 0.5;
constexpr double kStatusInterval = 0.5;
constexpr double kGapMergeSlack = 0.1;
constexpr double kHealthyRunBreak = 5;
constexpr double kWatchdogPeriod = 0.25;
constexpr double kPermissionRecheck = 1;
constexpr std::int64_t kMaximumPendingFrames = 3;
constexpr std::int64_t kAverageBitRate = 4000000;
constexpr std::int64_t kBytesPerSecondLimit = 750000;

const char* const kInterruptedReason = "Capture was interrupted.";
const char* const kEncodingFailedReason = "Video encoding failed.";
const char* const kEncoderDroppedReason = "The hardware encoder dropped a frame.";
const char* const kSourceDroppedReason = "Screen capture dropped a frame.";
const char* const kDisplayUnavailable =
    "The selected display is unavailable. Rewind will resume when it returns.";

CaptureFailure displayUnavailable() {
    return CaptureFailure(kCaptureDomain, 1, CaptureFailure::Kind::sourceUnavailable,
                          kDisplayUnavailable);
}

CaptureFailure failureOf(CaptureError error) {
    return CaptureFailure(Error(std::move(error)));
}

std::int64_t mediaTicks(double seconds) {
    return static_cast<std::int64_t>(std::llround(seconds * static_cast<double>(kMediaTimescale)));
}

} // namespace

// ---- Construction ----

std::shared_ptr<CaptureEngine>
CaptureEngine::create(CaptureConfiguration configuration,
                      std::optional<std::uint32_t> preferredDisplayID,
                      std::function<void(CaptureEngineStatus)> onStatus,
                      std::function<void(CaptureFailure)> onUserStopped, CapturePlatform platform,
                      Executor& callerExecutor, std::shared_ptr<Executor> captureQueue,
                      std::shared_ptr<Executor> sessionQueue) {
    return std::shared_ptr<CaptureEngine>(new CaptureEngine(
        std::move(configuration), preferredDisplayID, std::move(onStatus), std::move(onUserStopped),
        std::move(platform), callerExecutor, std::move(captureQueue), std::move(sessionQueue)));
}

CaptureEngine::CaptureEngine(CaptureConfiguration configuration,
                             std::optional<std::uint32_t> preferredDisplayID,
                             std::function<void(CaptureEngineStatus)> onStatus,
                             std::function<void(CaptureFailure)> onUserStopped,
                             CapturePlatform platform, Executor& callerExecutor,
                             std::shared_ptr<Executor> captureQueue,
                             std::shared_ptr<Executor> sessionQueue)
    : configuration_(std::move(configuration)), onStatus_(std::move(onStatus)),
      onUserStopped_(std::move(onUserStopped)), preferredDisplayID_(preferredDisplayID),
      platform_(std::move(platform)), callerExecutor_(callerExecutor),
      queue_(captureQueue ? std::move(captureQueue)
                          : std::make_shared<SerialQueue>("snagreel.capture")),
      sessionQueue_(sessionQueue ? std::move(sessionQueue)
                                 : std::make_shared<SerialQueue>("snagreel.capture.av-session")),
      ring_(configuration_.maximumBytes, configuration_.maximumDuration) {
    if (!platform_.clock) {
        platform_.clock = monotonicSeconds;
    }
    diagnostics_ = std::make_unique<DiagnosticsCollector>(queue_, configuration_.maximumDuration,
                                                          platform_.diagnostics, platform_.clock);
}

CaptureEngine::~CaptureEngine() {
    // Whatever a stop did not hand back is released here: nothing may keep
    // reading the display once the engine is gone.
    avStopGate_->setStopping();
    timer_.cancel();
    if (encoder_) {
        encoder_->invalidate();
        encoder_.reset();
    }
    if (stream_) {
        stream_->stopCapture();
        stream_.reset();
    }
    if (avSource_) {
        avSource_->stop();
        avSource_.reset();
    }
    diagnostics_.reset();
}

// ---- Small helpers ----

double CaptureEngine::now() const {
    return platform_.clock();
}

double CaptureEngine::framePeriod() const {
    return 1.0 / static_cast<double>(std::max<std::int64_t>(configuration_.framesPerSecond, 1));
}

template <typename T> void CaptureEngine::complete(Completion<T> done, Result<T> result) {
    callerExecutor_.post([done = std::move(done), result = std::move(result)]() mutable {
        done(std::move(result));
    });
}

std::optional<Error> CaptureEngine::gateError() const {
    if (startGate_.failure) {
        return Error(*startGate_.failure);
    }
    // A stop or invalidate already asked for counts before its queued task runs.
    if (startGate_.invalidated || cancelled_) {
        return Error::cancelled();
    }
    return std::nullopt;
}

bool CaptureEngine::isValid(const CaptureConfiguration& configuration) {
    return std::isfinite(configuration.maximumDuration) && configuration.maximumDuration > 0 &&
           configuration.maximumBytes >= 1 && configuration.maximumWidth >= 320 &&
           configuration.framesPerSecond >= 1 && configuration.framesPerSecond <= 60;
}

std::pair<std::int64_t, std::int64_t>
CaptureEngine::encodedSize(std::int64_t width, std::int64_t height, std::int64_t maximumWidth) {
    const double scale = std::min(1.0, static_cast<double>(maximumWidth) /
                                           static_cast<double>(std::max<std::int64_t>(width, 1)));
    const auto side = [scale](std::int64_t length) {
        auto scaled = static_cast<std::int64_t>(static_cast<double>(length) * scale);
        if (scaled % 2 != 0) {
            scaled -= 1;
        }
        return std::max<std::int64_t>(scaled, 2);
    };
    return {side(width), side(height)};
}

// ---- Start ----

void CaptureEngine::start(Completion<void> done) {
    if (!isValid(configuration_)) {
        complete<void>(
            std::move(done),
            Unexpected{Error(CaptureError::unavailable("Invalid recording configuration."))});
        return;
    }
    // Every platform call of a start (X connections, output queries, the access
    // probe, building and starting the source) runs on the session queue: a display
    // server that does not answer must not hold up the caller, which is the GUI
    // thread in the application.
    sessionQueue_->post([self = shared_from_this(), done = std::move(done)]() mutable {
        if (self->isFallback()) {
            self->startAVFoundation(std::move(done));
        } else {
            self->startStream(std::move(done));
        }
    });
}

void CaptureEngine::startStream(Completion<void> done) {
    if (!platform_.screenCapture) {
        complete<void>(std::move(done), Unexpected{Error(displayUnavailable())});
        return;
    }
    auto content = platform_.screenCapture->shareableContent();
    if (!content) {
        complete<void>(std::move(done), Unexpected{content.error()});
        return;
    }
    if (cancelled_) {
        complete<void>(std::move(done), Unexpected{Error::cancelled()});
        return;
    }

    ContentFilter filter;
    CaptureSource source;
    std::int64_t width = 0;
    std::int64_t height = 0;
    if (configuration_.windowID) {
        const std::uint32_t id = *configuration_.windowID;
        auto window = std::find_if(content->windows.begin(), content->windows.end(),
                                   [id](const WindowInfo& w) { return w.id == id; });
        if (window == content->windows.end()) {
            complete<void>(std::move(done), Unexpected{Error(CaptureError::unavailable(
                                                "The selected window is unavailable (window " +
                                                std::to_string(id) + ")."))});
            return;
        }
        filter.windowID = id;
        source.kind = "window";
        source.id = id;
        width = window->width;
        height = window->height;
    } else {
        const std::optional<std::uint32_t> target =
            preferredDisplayID_ ? preferredDisplayID_ : content->mainDisplayID;
        const DisplayInfo* chosen = nullptr;
        if (target) {
            for (const auto& display : content->displays) {
                if (display.id == *target) {
                    chosen = &display;
                    break;
                }
            }
        }
        if (chosen == nullptr && !preferredDisplayID_ && !content->displays.empty()) {
            chosen = &content->displays.front();
        }
        if (chosen == nullptr) {
            complete<void>(std::move(done), Unexpected{Error(displayUnavailable())});
            return;
        }
        filter.displayID = chosen->id;
        source.kind = "display";
        source.id = chosen->id;
        width = chosen->width;
        height = chosen->height;
    }
    std::tie(source.width, source.height) = encodedSize(width, height, configuration_.maximumWidth);

    auto self = shared_from_this();
    queue_->post([self, source, filter, done = std::move(done)]() mutable {
        if (auto error = self->gateError()) {
            self->complete<void>(std::move(done), Unexpected{*error});
            return;
        }
        if (auto created = self->createEncoder(source.width, source.height); !created) {
            self->complete<void>(std::move(done), Unexpected{created.error()});
            return;
        }
        self->activate(source);

        // The stream itself is built and started off the capture queue, where the
        // platform may block; its samples arrive on the queue.
        self->sessionQueue_->post([self, source, filter, done = std::move(done)]() mutable {
            const auto fail = [&](Error error) {
                self->queue_->post([self, error, done = std::move(done)]() mutable {
                    self->shutDown();
                    self->complete<void>(std::move(done), Unexpected{error});
                });
            };
            if (self->cancelled_) {
                fail(Error::cancelled());
                return;
            }
            StreamConfiguration streamConfiguration;
            streamConfiguration.width = source.width;
            streamConfiguration.height = source.height;
            streamConfiguration.framesPerSecond = self->configuration_.framesPerSecond;
            streamConfiguration.queueDepth = 5;
            streamConfiguration.showsCursor = true;
            const std::weak_ptr<CaptureEngine> weak = self;
            ScreenStreamCallbacks callbacks;
            callbacks.onSample = [weak](const ScreenSample& sample) {
                if (auto engine = weak.lock()) {
                    engine->receiveScreenSample(sample);
                }
            };
            callbacks.onStopped = [weak](const Error& error) {
                if (auto engine = weak.lock()) {
                    engine->streamStopped(error);
                }
            };
            auto stream = self->platform_.screenCapture->makeStream(
                filter, streamConfiguration, *self->queue_, std::move(callbacks));
            if (!stream) {
                fail(stream.error());
                return;
            }
            std::shared_ptr<ScreenStream> running = std::move(stream.value());
            if (auto started = running->startCapture(); !started) {
                running->stopCapture();
                fail(started.error());
                return;
            }
            self->queue_->post([self, running, done = std::move(done)]() mutable {
                self->finishStreamStart(std::move(running), std::move(done));
            });
        });
    });
}

void CaptureEngine::finishStreamStart(std::shared_ptr<ScreenStream> stream, Completion<void> done) {
    if (auto error = gateError()) {
        // A failed start leaves no stream behind.
        sessionQueue_->post(
            [self = shared_from_this(), stream, error = *error, done = std::move(done)]() mutable {
                stream->stopCapture();
                self->complete<void>(std::move(done), Unexpected{error});
            });
        return;
    }
    stream_ = std::move(stream);
    running_ = true;
    diagnostics_->start();
    const std::weak_ptr<CaptureEngine> weak = shared_from_this();
    timer_ = queue_->schedule(0, framePeriod(), [weak] {
        if (auto engine = weak.lock()) {
            engine->encodeLatestFrame();
        }
    });
    publishStatus(std::nullopt);
    complete<void>(std::move(done), Result<void>{});
}

// ---- Stream samples and frame clock ----

void CaptureEngine::receiveScreenSample(const ScreenSample& sample) {
    if (!running_) {
        return;
    }
    switch (sample.status) {
    case FrameStatus::complete:
        if (!sample.image.isValid()) {
            return;
        }
        // One clip never mixes frame sizes: a source whose size changed is a
        // different source, which a fresh engine picks up.
        if (source_ &&
            (sample.image.width != source_->width || sample.image.height != source_->height)) {
            terminate(displayUnavailable());
            return;
        }
        latestImage_ = sample.image;
        markSourceHealthy(now());
        break;
    case FrameStatus::idle:
        if (latestImage_) {
            markSourceHealthy(now());
        }
        break;
    case FrameStatus::blank:
    case FrameStatus::suspended:
    case FrameStatus::stopped:
        latestImage_.reset();
        clearHealthyTimes();
        publishStatus(CaptureFailure(kCaptureDomain, 1, CaptureFailure::Kind::sourceUnavailable,
                                     "The screen capture source is temporarily unavailable."));
        break;
    default:
        break;
    }
}

void CaptureEngine::streamStopped(const Error& error) {
    CaptureFailure failure(error);
    if (failure.endsRecordingIntent()) {
        if (reportedUserStop_ || startGate_.invalidated) {
            return;
        }
        reportedUserStop_ = true;
        terminate(failure);
        if (onUserStopped_) {
            onUserStopped_(failure);
        }
        return;
    }
    if (!startGate_.invalidated) {
        terminate(failure);
    }
}

void CaptureEngine::encodeLatestFrame() {
    const double at = now();
    if (diagnostics_->isMonitoring()) {
        diagnostics_->advance(at);
    }
    if (running_ && encoder_ && latestImage_) {
        encodeImage(*latestImage_, at);
    }
}

// ---- Fallback backend ----

void CaptureEngine::startAVFoundation(Completion<void> done) {
    if (!platform_.screenAccess || !platform_.screenAccess()) {
        complete<void>(
            std::move(done),
            Unexpected{Error(avFoundationError(AVErrorCode::notAuthorized, screenAccessDenial()))});
        return;
    }
    if (configuration_.windowID) {
        complete<void>(std::move(done),
                       Unexpected{Error(CaptureError::unavailable(
                           "This capture mode supports a selected display only."))});
        return;
    }
    std::optional<std::uint32_t> displayID = preferredDisplayID_;
    if (!displayID && platform_.displays) {
        displayID = platform_.displays->mainDisplayID();
    }
    const Error inactive(
        avFoundationError(AVErrorCode::displayDisabled, "The selected display is not active."));
    if (!platform_.displays || !displayID || *displayID == 0 ||
        !platform_.displays->isActive(*displayID)) {
        complete<void>(std::move(done), Unexpected{inactive});
        return;
    }
    const auto bounds = platform_.displays->bounds(*displayID);
    if (!bounds) {
        complete<void>(std::move(done), Unexpected{inactive});
        return;
    }
    CaptureSource source;
    source.kind = "display";
    source.id = *displayID;
    std::tie(source.width, source.height) =
        encodedSize(bounds->first, bounds->second, configuration_.maximumWidth);
    auto self = shared_from_this();
    queue_->post([self, source, done = std::move(done)]() mutable {
        if (auto error = self->gateError()) {
            self->complete<void>(std::move(done), Unexpected{*error});
            return;
        }
        if (auto created = self->createEncoder(source.width, source.height); !created) {
            self->complete<void>(std::move(done), Unexpected{created.error()});
            return;
        }
        self->activate(source);
        self->diagnostics_->start();

        self->sessionQueue_->post([self, source, done = std::move(done)]() mutable {
            if (self->cancelled_ || !self->platform_.makeGrabSession) {
                Error error =
                    self->cancelled_
                        ? Error::cancelled()
                        : Error(CaptureError::unavailable("Screen capture could not start."));
                self->queue_->post([self, error, done = std::move(done)]() mutable {
                    self->shutDown();
                    self->complete<void>(std::move(done), Unexpected{error});
                });
                return;
            }
            const std::weak_ptr<CaptureEngine> weak = self;
            AVScreenSource::Callbacks callbacks;
            callbacks.onSample = [weak](const ScreenImage& image, double sessionTime,
                                        const GrabSession* session) {
                if (auto engine = weak.lock()) {
                    engine->receiveAVSample(image, sessionTime, session);
                }
            };
            callbacks.onFailure = [weak](const Error& error) {
                if (auto engine = weak.lock()) {
                    engine->avSourceFailed(error);
                }
            };
            callbacks.onDrop = [weak] {
                if (auto engine = weak.lock()) {
                    engine->avDroppedFrame();
                }
            };
            auto avSource = AVScreenSource::create(
                self->platform_.makeGrabSession(), self->sessionQueue_, self->queue_, source.id,
                source.width, source.height, self->configuration_.framesPerSecond,
                self->avStopGate_, std::move(callbacks));
            avSource->start([self, avSource, done = std::move(done)](Result<void> started) mutable {
                self->queue_->post([self, avSource, started = std::move(started),
                                    done = std::move(done)]() mutable {
                    self->finishAVStart(std::move(avSource), std::move(started), std::move(done));
                });
            });
        });
    });
}

void CaptureEngine::finishAVStart(std::shared_ptr<AVScreenSource> source, Result<void> started,
                                  Completion<void> done) {
    std::optional<Error> error = gateError();
    if (!error && !started) {
        error = started.error();
    }
    if (error) {
        // Whatever the session got to, it must not keep running for a dead start.
        source->stop();
        if (!startGate_.invalidated && !startGate_.failure) {
            shutDown();
        }
        complete<void>(std::move(done), Unexpected{*error});
        return;
    }
    avSource_ = std::move(source);
    avStartedAt_ = now();
    const std::weak_ptr<CaptureEngine> weak = shared_from_this();
    timer_ = queue_->schedule(kWatchdogPeriod, kWatchdogPeriod, [weak] {
        if (auto engine = weak.lock()) {
            engine->checkAVSource(std::nullopt);
        }
    });
    publishStatus(std::nullopt);
    complete<void>(std::move(done), Result<void>{});
}

void CaptureEngine::receiveAVSample(const ScreenImage& image, double sessionTime,
                                    const GrabSession* session) {
    if (!running_ || startGate_.invalidated || !image.isValid() || !encoder_) {
        return;
    }
    const double at = now();
    if (!checkAVPermission(at, false)) {
        return;
    }
    if (!source_ || image.width != source_->width || image.height != source_->height ||
        (image.pixelFormat != AV_PIX_FMT_NV12 && image.pixelFormat != AV_PIX_FMT_YUV420P)) {
        terminate(failureOf(
            CaptureError::unavailable("Screen capture returned an unexpected video format.")));
        return;
    }
    std::optional<double> presentationTime;
    if (session != nullptr && std::isfinite(sessionTime)) {
        presentationTime = session->toHostTime(sessionTime);
    }
    if (!presentationTime || !std::isfinite(*presentationTime)) {
        terminate(failureOf(CaptureError::unavailable("The screen capture clock is unavailable.")));
        return;
    }
    const auto acceptance = avTiming_.receive(*presentationTime, at);
    if (!acceptance) {
        checkAVSource(std::nullopt);
        return;
    }
    if (acceptance->resetsHistory) {
        clearAVHistory(*presentationTime);
    }
    markSourceHealthy(at);
    encodeImage(image, *presentationTime);
}

void CaptureEngine::checkAVSource(std::optional<double> at) {
    if (!running_ || startGate_.invalidated) {
        return;
    }
    const double time = at ? *at : now();
    if (!checkAVPermission(time, false)) {
        return;
    }
    if (diagnostics_->isMonitoring()) {
        diagnostics_->advance(time);
    }
    if (!avTiming_.lastPresentationTime && avStartedAt_ &&
        time - *avStartedAt_ > avTiming_.maximumAge) {
        terminate(
            failureOf(CaptureError::unavailable("Screen capture did not deliver current frames.")));
        return;
    }
    if (avTiming_.observeSilence(time)) {
        clearAVHistory(time);
        clearHealthyTimes();
        publishStatus(CaptureFailure(kCaptureDomain, 1, CaptureFailure::Kind::sourceUnavailable,
                                     "The screen is not delivering current frames."));
    }
}

// The platform knows why the display is closed to us; the user needs that
// reason, not only that it is closed.
std::string CaptureEngine::screenAccessDenial() const {
    if (platform_.screenAccessExplanation) {
        std::string explanation = platform_.screenAccessExplanation();
        if (!explanation.empty()) {
            return explanation;
        }
    }
    return "The display cannot be read.";
}

bool CaptureEngine::checkAVPermission(double at, bool force) {
    if (!running_ || !startGate_.isClean()) {
        return false;
    }
    if (!force && lastAVPermissionCheck_ && *lastAVPermissionCheck_ <= at &&
        at - *lastAVPermissionCheck_ < kPermissionRecheck) {
        return true;
    }
    lastAVPermissionCheck_ = at;
    ScreenAccessCheck access = ScreenAccessCheck::denied;
    if (platform_.recheckScreenAccess) {
        access = platform_.recheckScreenAccess();
    } else if (platform_.screenAccess && platform_.screenAccess()) {
        access = ScreenAccessCheck::granted;
    }
    if (access == ScreenAccessCheck::granted) {
        return true;
    }
    if (access == ScreenAccessCheck::unreachable) {
        // Not a verdict on permission: the next engine asks again.
        terminate(displayUnavailable());
        return false;
    }
    CaptureFailure failure(
        Error(avFoundationError(AVErrorCode::notAuthorized, screenAccessDenial())));
    avStopGate_->recordPermissionDenied(failure);
    terminate(failure);
    return false;
}

void CaptureEngine::clearAVHistory(double at) {
    minimumAcceptedTime_ = at;
    ring_.removeAll();
    diagnostics_->clear();
    absoluteGaps_.clear();
    previousEncodeTime_.reset();
    forceKeyframe_ = true;
    awaitingKeyframe_ = true;
}

void CaptureEngine::avDroppedFrame() {
    if (!running_ || startGate_.invalidated) {
        return;
    }
    const double at = now();
    forceKeyframe_ = true;
    awaitingKeyframe_ = true;
    recordGap(at - framePeriod(), at, kSourceDroppedReason);
}

void CaptureEngine::avSourceFailed(const Error& error) {
    // A failing fallback session is an outside stop, under the stream's rule.
    streamStopped(error);
}

// ---- Encoder ----

Result<void> CaptureEngine::createEncoder(std::int64_t width, std::int64_t height) {
    constexpr auto kInt32Max = std::numeric_limits<std::int32_t>::max();
    if (width < 1 || height < 1 || width > kInt32Max || height > kInt32Max ||
        !platform_.makeEncoder) {
        return Unexpected{Error(CaptureError::status("Creating hardware H.264 encoder", -1))};
    }
    EncoderSettings settings;
    settings.width = static_cast<int>(width);
    settings.height = static_cast<int>(height);
    settings.framesPerSecond = configuration_.framesPerSecond;
    settings.averageBitRate = kAverageBitRate;
    settings.bytesPerSecondLimit = kBytesPerSecondLimit;
    // The encoder may call back on its own thread; everything it hands back is
    // moved onto the capture queue before it touches the engine.
    const std::weak_ptr<CaptureEngine> weak = shared_from_this();
    const std::weak_ptr<Executor> queue = queue_;
    auto made = platform_.makeEncoder(settings, [weak, queue](EncoderOutput output) {
        if (auto executor = queue.lock()) {
            executor->post([weak, output = std::move(output)]() mutable {
                if (auto engine = weak.lock()) {
                    engine->encoderOutput(std::move(output));
                }
            });
        }
    });
    if (!made) {
        return Unexpected{made.error()};
    }
    encoder_ = std::move(made.value());
    encoderName_ = encoder_->name();
    return {};
}

void CaptureEngine::dropEncoder() {
    if (encoder_) {
        encoder_->invalidate();
        encoder_.reset();
    }
    avPendingFrames_ = 0;
}

void CaptureEngine::activate(CaptureSource source) {
    source_ = std::move(source);
    running_ = true;
}

void CaptureEngine::encodeImage(const ScreenImage& image, double presentationTime) {
    // A sample taken before a clear would only be refused once encoded, and would
    // use up the keyframe the clear asked for.
    if (!encoder_ || presentationTime < minimumAcceptedTime_) {
        return;
    }
    const double period = framePeriod();
    if (isFallback() && avPendingFrames_ >= kMaximumPendingFrames) {
        // An encoder that keeps the backlog full is as stuck as one that fails.
        avDroppedFrame();
        encoderWedged(now(), AVERROR(EAGAIN));
        return;
    }
    if (previousEncodeTime_ && presentationTime - *previousEncodeTime_ > kGapThreshold) {
        recordGap(*previousEncodeTime_ + period, presentationTime, kInterruptedReason);
        forceKeyframe_ = true;
        awaitingKeyframe_ = true;
    }
    previousEncodeTime_ = presentationTime;
    const bool force = forceKeyframe_;
    forceKeyframe_ = false;
    if (isFallback()) {
        avPendingFrames_ += 1;
    }
    const std::int32_t status =
        encoder_->encode(image, mediaTicks(presentationTime), mediaTicks(period), force);
    if (status == 0) {
        return;
    }
    if (isFallback()) {
        avPendingFrames_ = std::max<std::int64_t>(avPendingFrames_ - 1, 0);
    }
    recordGap(presentationTime, presentationTime + period, kEncodingFailedReason);
    forceKeyframe_ = true;
    awaitingKeyframe_ = true;
    if (!encoderWedged(now(), status)) {
        publishStatus(failureOf(CaptureError::status("Video encoding", status)));
    }
}

void CaptureEngine::encoderOutput(EncoderOutput output) {
    if (isFallback()) {
        avPendingFrames_ = std::max<std::int64_t>(avPendingFrames_ - 1, 0);
    }
    if (output.status != 0 || output.dropped || !output.sample) {
        if (!running_ || !startGate_.isClean()) {
            return;
        }
        const double at = now();
        forceKeyframe_ = true;
        awaitingKeyframe_ = true;
        recordGap(at - framePeriod(), at, kEncoderDroppedReason);
        if (!encoderWedged(at, output.status)) {
            publishStatus(
                failureOf(CaptureError::status("Hardware encoder dropped a frame", output.status)));
        }
        return;
    }
    receiveEncodedFrame(*output.sample);
}

void CaptureEngine::receiveEncodedFrame(const EncodedSample& sample) {
    if (!running_ || !startGate_.isClean()) {
        return;
    }
    encoderFailingSince_.reset();
    const double scale = static_cast<double>(kMediaTimescale);
    const double pts = static_cast<double>(sample.presentationTime) / scale;
    // Compared in media ticks: a frame encoded at the cut itself comes back rounded
    // to a tick and must not fall just short of it.
    const bool tooEarly = std::isfinite(minimumAcceptedTime_)
                              ? sample.presentationTime < mediaTicks(minimumAcceptedTime_)
                              : minimumAcceptedTime_ > 0;
    if (tooEarly) {
        return;
    }
    const bool isKeyframe = sample.isKeyframe();
    if (awaitingKeyframe_) {
        if (!isKeyframe) {
            return;
        }
        awaitingKeyframe_ = false;
    }
    double duration = static_cast<double>(sample.duration) / scale;
    if (!(std::isfinite(duration) && duration > 0)) {
        duration = framePeriod();
    }
    ReplayFrame<EncodedSample> frame;
    frame.timestamp = pts;
    frame.duration = duration;
    frame.byteCount = sample.size();
    frame.isKeyframe = isKeyframe;
    frame.payload = sample;
    ring_.append(std::move(frame));
    const double horizon = pts - configuration_.maximumDuration;
    std::erase_if(absoluteGaps_, [horizon](const AbsoluteGap& gap) { return gap.end < horizon; });
    if (pts - lastStatusTime_ >= kStatusInterval) {
        lastStatusTime_ = pts;
        publishStatus(std::nullopt);
    }
}

bool CaptureEngine::encoderWedged(double at, std::int32_t status) {
    if (!encoderFailingSince_ || *encoderFailingSince_ > at) {
        encoderFailingSince_ = at;
    }
    if (at - *encoderFailingSince_ < kWedgedEncoderSeconds) {
        return false;
    }
    // Retryable: a fresh engine builds a fresh encoder, and not this one again
    // when there is another to choose.
    if (encoder_) {
        encoder_->markFailed();
    }
    CaptureFailure failure = failureOf(CaptureError::status("Video encoding", status));
    failure.kind = CaptureFailure::Kind::transient;
    terminate(std::move(failure));
    return true;
}

// ---- Gaps, health and status ----

void CaptureEngine::recordGap(double start, double end, std::string reason) {
    if (!absoluteGaps_.empty() && absoluteGaps_.back().reason == reason &&
        absoluteGaps_.back().end + kGapMergeSlack >= start) {
        AbsoluteGap& last = absoluteGaps_.back();
        last.start = std::min(last.start, start);
        last.end = std::max(last.end, end);
    } else {
        absoluteGaps_.push_back(AbsoluteGap{start, end, std::move(reason)});
    }
    const double horizon = end - configuration_.maximumDuration;
    std::erase_if(absoluteGaps_, [horizon](const AbsoluteGap& gap) { return gap.end < horizon; });
    if (absoluteGaps_.size() > kMaximumGaps) {
        absoluteGaps_.erase(absoluteGaps_.begin(),
                            absoluteGaps_.begin() +
                                static_cast<std::ptrdiff_t>(absoluteGaps_.size() - kMaximumGaps));
    }
}

void CaptureEngine::markSourceHealthy(double at) {
    if (!firstHealthySourceTime_ || at - latestHealthySourceTime_.value_or(0) > kHealthyRunBreak) {
        firstHealthySourceTime_ = at;
    }
    latestHealthySourceTime_ = at;
}

void CaptureEngine::clearHealthyTimes() {
    firstHealthySourceTime_.reset();
    latestHealthySourceTime_.reset();
}

void CaptureEngine::publishStatus(std::optional<CaptureFailure> failure) {
    CaptureEngineStatus status;
    status.seconds = ring_.span();
    status.bytes = ring_.byteCount();
    status.failure = startGate_.failure ? startGate_.failure : std::move(failure);
    status.running = running_;
    status.sourceAvailable = isFallback() ? avTiming_.isFresh(now()) : latestImage_.has_value();
    status.source = source_;
    status.healthySourceSeconds =
        std::max(0.0, latestHealthySourceTime_.value_or(0) - firstHealthySourceTime_.value_or(0));
    status.encoderName = encoderName_;
    if (onStatus_) {
        onStatus_(std::move(status));
    }
}

// ---- Ending ----

void CaptureEngine::terminate(CaptureFailure failure) {
    if (!startGate_.isClean()) {
        return;
    }
    startGate_.failure = std::move(failure);
    running_ = false;
    discardUntriggeredMedia();
    dropEncoder();
    timer_.cancel();
    timer_ = TimerHandle();
    latestImage_.reset();
    clearHealthyTimes();
    publishStatus(std::nullopt);
}

void CaptureEngine::discardUntriggeredMedia() {
    minimumAcceptedTime_ = std::numeric_limits<double>::infinity();
    ring_.removeAll();
    diagnostics_->stop();
    absoluteGaps_.clear();
    latestImage_.reset();
    avTiming_.reset();
    avStartedAt_.reset();
    previousEncodeTime_.reset();
    forceKeyframe_ = true;
    awaitingKeyframe_ = true;
    clearHealthyTimes();
    encoderFailingSince_.reset();
}

void CaptureEngine::shutDown() {
    startGate_.invalidated = true;
    running_ = false;
    timer_.cancel();
    timer_ = TimerHandle();
    latestImage_.reset();
    discardUntriggeredMedia();
    dropEncoder();
}

void CaptureEngine::invalidate() {
    avStopGate_->setStopping();
    cancelled_ = true;
    auto self = shared_from_this();
    queue_->post([self] { self->shutDown(); });
}

void CaptureEngine::stop(std::function<void()> done) {
    avStopGate_->setStopping();
    cancelled_ = true;
    auto self = shared_from_this();
    queue_->post([self, done = std::move(done)]() mutable {
        self->shutDown();
        std::shared_ptr<ScreenStream> stream = std::move(self->stream_);
        std::shared_ptr<AVScreenSource> avSource = std::move(self->avSource_);
        self->stream_.reset();
        self->avSource_.reset();
        // The stream's stop joins its reader, which a stuck server can hold.
        self->sessionQueue_->post([self, stream, avSource, done = std::move(done)]() mutable {
            if (stream) {
                stream->stopCapture();
            }
            const auto finish = [self, done = std::move(done)] {
                if (done) {
                    self->callerExecutor_.post(done);
                }
            };
            if (avSource) {
                avSource->stop(finish);
            } else {
                finish();
            }
        });
    });
}

void CaptureEngine::clear() {
    const double at = now();
    auto self = shared_from_this();
    queue_->post([self, at] {
        self->minimumAcceptedTime_ = at;
        self->ring_.removeAll();
        self->diagnostics_->clear();
        self->absoluteGaps_.clear();
        self->forceKeyframe_ = true;
        self->awaitingKeyframe_ = true;
        if (!self->running_) {
            self->latestImage_.reset();
        }
        self->previousEncodeTime_.reset();
        if (self->isFallback()) {
            self->avTiming_.reset();
            self->avStartedAt_ = at;
        }
        self->publishStatus(std::nullopt);
    });
}

// ---- Snapshot ----

void CaptureEngine::snapshot(double seconds, Completion<CaptureSnapshot> done) {
    const double triggeredAt = now();
    auto self = shared_from_this();
    queue_->post([self, seconds, triggeredAt, done = std::move(done)]() mutable {
        if (self->encoder_) {
            self->encoder_->completeFrames(mediaTicks(triggeredAt));
        }
        // The flushed frames reach the queue as tasks of their own; the selection
        // waits behind them.
        self->queue_->post([self, seconds, triggeredAt, done = std::move(done)]() mutable {
            self->takeSnapshot(seconds, triggeredAt, std::move(done));
        });
    });
}

void CaptureEngine::takeSnapshot(double seconds, double triggeredAt,
                                 Completion<CaptureSnapshot> done) {
    const auto fail = [&](Error error) {
        complete<CaptureSnapshot>(std::move(done), Unexpected{std::move(error)});
    };
    if (isFallback()) {
        const double at = now();
        if (!checkAVPermission(at, true)) {
            fail(startGate_.failure
                     ? Error(*startGate_.failure)
                     : Error(failureOf(CaptureError::unavailable("Rewind is not recording."))));
            return;
        }
        if (!std::isfinite(at) || !avTiming_.isFresh(at)) {
            fail(Error(CaptureError::unavailable("The screen is not delivering current frames.")));
            return;
        }
    }
    if (ring_.empty() || !source_) {
        fail(Error(CaptureError::unavailable(
            "The replay buffer is warming up. Wait for a few seconds and try again.")));
        return;
    }
    auto selection = ring_.selection(seconds, triggeredAt);
    if (!selection || selection->frames.empty()) {
        fail(Error(CaptureError::unavailable(
            "No decodable frames are available in the requested interval.")));
        return;
    }
    const double start = selection->frames.front().timestamp;
    const double end = selection->end;
    CaptureSnapshot result;
    for (const AbsoluteGap& gap : absoluteGaps_) {
        if (gap.start < end && gap.end > start) {
            result.gaps.push_back(CaptureGap{std::max(0.0, gap.start - start),
                                             std::min(gap.end, end) - start, gap.reason});
        }
    }
    const SystemInformation system =
        platform_.systemInformation ? platform_.systemInformation() : SystemInformation{};
    result.diagnostics = diagnostics_->buffer().snapshot(
        start, end, DiagnosticEnvironment::current(BundleInfo::main(), system));
    result.frames = std::move(selection->frames);
    result.end = end;
    result.endedBeforeTrigger = selection->endedBeforeTrigger;
    result.source = *source_;
    complete<CaptureSnapshot>(std::move(done), std::move(result));
}

} // namespace snagreel
