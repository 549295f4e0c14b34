#pragma once

// Doubles at the capture engine's platform seams (screen stream, encoder, grab
// session, display directory, system state), each recording what it was asked in a
// log the test keeps after the engine or source has taken the double.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace snagreel::testing {

inline ScreenImage makeImage(int width, int height, int format = AV_PIX_FMT_NV12) {
    ScreenImage image;
    image.frame = std::shared_ptr<const AVFrame>(av_frame_alloc(), [](const AVFrame* frame) {
        AVFrame* owned = const_cast<AVFrame*>(frame);
        av_frame_free(&owned);
    });
    image.width = width;
    image.height = height;
    image.pixelFormat = format;
    return image;
}

inline ScreenSample sampleOf(FrameStatus status, ScreenImage image = {}) {
    ScreenSample sample;
    sample.status = status;
    sample.image = std::move(image);
    return sample;
}

// ---- Stream doubles ----

struct StreamLog {
    int starts = 0;
    int stops = 0;
    ContentFilter filter;
    StreamConfiguration configuration;
    ScreenStreamCallbacks callbacks;
    // Runs inside every platform call, to see on which thread it happens.
    std::function<void()> platformCall = [] {};
};

class FakeStream final : public ScreenStream {
public:
    explicit FakeStream(std::shared_ptr<StreamLog> log) : log_(std::move(log)) {}
    Result<void> startCapture() override {
        ++log_->starts;
        log_->platformCall();
        return {};
    }
    void stopCapture() override {
        ++log_->stops;
        log_->platformCall();
    }

private:
    std::shared_ptr<StreamLog> log_;
};

class FakeService final : public ScreenCaptureService {
public:
    ShareableContent content;
    int contentCalls = 0;
    std::shared_ptr<StreamLog> log = std::make_shared<StreamLog>();
    Executor* deliveryQueue = nullptr;

    Result<ShareableContent> shareableContent() override {
        ++contentCalls;
        log->platformCall();
        return content;
    }
    Result<std::unique_ptr<ScreenStream>> makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     Executor& queue,
                                                     ScreenStreamCallbacks callbacks) override {
        deliveryQueue = &queue;
        log->filter = filter;
        log->configuration = configuration;
        log->callbacks = std::move(callbacks);
        return std::unique_ptr<ScreenStream>(std::make_unique<FakeStream>(log));
    }
};

// ---- Encoder double ----

struct Submission {
    std::int64_t presentationTime = 0;
    bool forced = false;
    const AVFrame* frame = nullptr;
};

struct EncoderLog {
    EncoderSettings settings;
    std::function<void(EncoderOutput)> onOutput;
    std::vector<Submission> submissions;
    std::deque<Submission> pending;
    // Emit each frame inside encode(); otherwise frames wait for completeFrames.
    bool emitsAtOnce = true;
    std::int32_t encodeStatus = 0;
    // Report every n-th frame (counted from 1) as dropped; 0 for never.
    int dropEvery = 0;
    int emitted = 0;
    int factoryCalls = 0;
    bool invalidated = false;
    std::string name = "fake264";
    std::shared_ptr<const CodecParameters> format = std::make_shared<CodecParameters>();

    void emit(const Submission& submission) {
        ++emitted;
        EncoderOutput output;
        if (dropEvery > 0 && emitted % dropEvery == 0) {
            output.dropped = true;
            onOutput(output);
            return;
        }
        // Keyframes when asked and once a second, like the real encoder's GOP.
        const bool keyframe = submission.forced || emitted % 15 == 1;
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, 100);
        if (keyframe) {
            packet->flags |= AV_PKT_FLAG_KEY;
        }
        output.sample = EncodedSample::referencing(*packet, format, submission.presentationTime,
                                                   kMediaTimescale / 15);
        av_packet_free(&packet);
        onOutput(std::move(output));
    }
    void flush() {
        while (!pending.empty()) {
            Submission next = pending.front();
            pending.pop_front();
            emit(next);
        }
    }
    void drop(std::int32_t status = -1) {
        EncoderOutput output;
        output.status = status;
        output.dropped = true;
        onOutput(output);
    }
};

class FakeEncoder final : public VideoEncoder {
public:
    explicit FakeEncoder(std::shared_ptr<EncoderLog> log) : log_(std::move(log)) {}
    std::int32_t encode(const ScreenImage& image, std::int64_t presentationTime, std::int64_t,
                        bool forceKeyframe) override {
        Submission submission{presentationTime, forceKeyframe, image.frame.get()};
        log_->submissions.push_back(submission);
        if (log_->encodeStatus != 0) {
            return log_->encodeStatus;
        }
        if (log_->emitsAtOnce) {
            log_->emit(submission);
        } else {
            log_->pending.push_back(submission);
        }
        return 0;
    }
    void completeFrames(std::int64_t until) override {
        while (!log_->pending.empty() && log_->pending.front().presentationTime <= until) {
            Submission next = log_->pending.front();
            log_->pending.pop_front();
            log_->emit(next);
        }
    }
    void invalidate() override { log_->invalidated = true; }
    std::string name() const override { return log_->name; }

private:
    std::shared_ptr<EncoderLog> log_;
};

// ---- Grab session ----

struct GrabLog {
    std::vector<std::string> calls;
    bool running = false;
    bool hasInput = false;
    bool hasOutput = false;
    std::int64_t outputWidth = 0;
    std::int64_t outputHeight = 0;
    GrabSessionCallbacks callbacks;
    Executor* mediaQueue = nullptr;
    // Added to session times to give host times.
    double hostOffset = 0;
    bool refuseInput = false;
    bool refuseOutput = false;
    bool failsToRun = false;
    // Runs inside startRunning, e.g. a failure recorded while the session starts.
    std::function<void()> whileStarting;
};

class FakeGrabSession final : public GrabSession {
public:
    explicit FakeGrabSession(std::shared_ptr<GrabLog> log) : log_(std::move(log)) {}

    Result<void> addScreenInput(std::uint32_t displayID, std::int64_t fps, bool cursor) override {
        log_->calls.push_back("input " + std::to_string(displayID) + " " + std::to_string(fps) +
                              (cursor ? " cursor" : ""));
        if (log_->refuseInput) {
            return Unexpected{Error(PlatformError{"X11", 2, "Cannot open display :9."})};
        }
        log_->hasInput = true;
        return {};
    }
    Result<void> addVideoOutput(std::int64_t width, std::int64_t height) override {
        log_->calls.push_back("output " + std::to_string(width) + "x" + std::to_string(height));
        if (log_->refuseOutput) {
            return Unexpected{Error(PlatformError{"X11", 3, "No output."})};
        }
        log_->hasOutput = true;
        log_->outputWidth = width;
        log_->outputHeight = height;
        return {};
    }
    void startRunning(std::shared_ptr<Executor> mediaQueue,
                      GrabSessionCallbacks callbacks) override {
        log_->calls.push_back("startRunning");
        log_->callbacks = std::move(callbacks);
        log_->mediaQueue = mediaQueue.get();
        log_->running = !log_->failsToRun;
        if (log_->whileStarting) {
            log_->whileStarting();
        }
    }
    bool isRunning() const override { return log_->running; }
    void stopRunning() override {
        log_->calls.push_back("stopRunning");
        log_->running = false;
        // The platform says so once the session is down, as after any stop.
        if (log_->callbacks.onNotification) {
            log_->callbacks.onNotification(GrabSessionNotification::didStopRunning, std::nullopt);
        }
    }
    void removeInputsAndOutputs() override {
        log_->calls.push_back("removeInputsAndOutputs");
        log_->hasInput = false;
        log_->hasOutput = false;
    }
    std::optional<double> toHostTime(double sessionTime) const override {
        return sessionTime + log_->hostOffset;
    }

private:
    std::shared_ptr<GrabLog> log_;
};

class FakeDisplays final : public DisplayDirectory {
public:
    std::uint32_t main = 7;
    bool active = true;
    std::int64_t width = 1280;
    std::int64_t height = 720;
    std::optional<std::uint32_t> mainDisplayID() override { return main; }
    bool isActive(std::uint32_t) override { return active; }
    std::optional<std::pair<std::int64_t, std::int64_t>> bounds(std::uint32_t) override {
        return std::make_pair(width, height);
    }
};

// ---- System state ----

class FakeSystemSource final : public SystemStateSource {
public:
    PlatformThermalState thermalState() override {
        std::lock_guard lock(mutex_);
        return thermal;
    }
    bool lowPowerMode() override {
        std::lock_guard lock(mutex_);
        return lowPower;
    }
    std::uint64_t addObserver(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
        observers_[++nextToken_] = std::move(onChange);
        return nextToken_;
    }
    void removeObserver(std::uint64_t token) override {
        std::lock_guard lock(mutex_);
        observers_.erase(token);
    }

    // Opens a round of change calls the way the platform does: the handlers are
    // taken under the lock and called after it is released, so a round opened
    // before an observer is removed still calls it.
    std::vector<std::function<void()>> openRound() {
        std::lock_guard lock(mutex_);
        std::vector<std::function<void()>> handlers;
        for (const auto& [token, handler] : observers_) {
            handlers.push_back(handler);
        }
        return handlers;
    }
    // A whole round, from whatever thread raises the change.
    void notify() {
        for (const auto& handler : openRound()) {
            handler();
        }
    }
    std::size_t observerCount() {
        std::lock_guard lock(mutex_);
        return observers_.size();
    }
    void set(PlatformThermalState newThermal, bool newLowPower) {
        std::lock_guard lock(mutex_);
        thermal = newThermal;
        lowPower = newLowPower;
    }

private:
    std::mutex mutex_;
    PlatformThermalState thermal = PlatformThermalState::nominal;
    bool lowPower = false;
    std::map<std::uint64_t, std::function<void()>> observers_;
    std::uint64_t nextToken_ = 0;
};

} // namespace snagreel::testing
