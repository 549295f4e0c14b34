#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Export/ExportOperation.hpp"
#include "SnagreelCore/Export/MP4Exporter.hpp"
#include "SnagreelCore/Linux/FFmpegMovieWriter.hpp"
#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"
#include "SnagreelCore/Support/Executor.hpp"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/error.h>
}

#include "devsupport/Waiting.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/TestSamples.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <cmath>
#include <optional>
#include <vector>

namespace snagreel {
namespace {

using testing::TemporaryDirectory;

// A writer that records what the exporter asks of it and fails where told to.
class FakeMovieWriter final : public MovieWriter {
public:
    struct Appended {
        std::int64_t presentationTime;
        std::int64_t duration;
        std::int64_t size;
    };

    bool trackAccepted = true;
    bool startAccepted = true;
    std::optional<std::size_t> failAppendAt;
    bool holdFinish = false; // never reports by itself
    Status finishStatus = Status::completed;
    std::optional<Error> reportedError;

    std::vector<Appended> appended;
    std::vector<std::string> calls;
    std::optional<std::int64_t> sessionEnd;
    std::function<void()> heldFinish;
    std::function<void()> beforeStart;
    Status current = Status::unknown;

    bool addVideoTrack(const CodecParameters&) override {
        note("addVideoTrack");
        return trackAccepted;
    }
    bool startWriting() override {
        note("startWriting");
        if (beforeStart) {
            beforeStart();
        }
        if (startAccepted && current == Status::unknown) {
            current = Status::writing;
        }
        return startAccepted;
    }
    bool append(const EncodedSample& sample, std::int64_t pts, std::int64_t duration) override {
        if (failAppendAt && appended.size() == *failAppendAt) {
            current = Status::failed;
            return false;
        }
        appended.push_back({pts, duration, sample.size()});
        return true;
    }
    void markAsFinished() override { note("markAsFinished"); }
    void endSession(std::int64_t time) override { sessionEnd = time; }
    void finishWriting(std::function<void()> done) override {
        note("finishWriting");
        if (holdFinish) {
            heldFinish = std::move(done);
            return;
        }
        current = finishStatus;
        done();
    }
    void cancelWriting() override {
        note("cancelWriting");
        current = Status::cancelled;
    }
    Status status() const override { return current; }
    std::optional<Error> error() const override { return reportedError; }

    int count(const std::string& call) const {
        std::lock_guard lock(callsMutex);
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }

private:
    // Calls may come from an export's writer thread while a test reads them.
    void note(const char* call) {
        std::lock_guard lock(callsMutex);
        calls.push_back(call);
    }
    mutable std::mutex callsMutex;
};

std::shared_ptr<const CodecParameters> testFormat() {
    auto format = std::make_shared<CodecParameters>();
    format->width = 64;
    format->height = 48;
    format->extradata = {1, 0x42, 0xc0, 0x1e, 0xff};
    return format;
}

EncodedFrame syntheticFrame(double timestamp, bool keyframe,
                            std::shared_ptr<const CodecParameters> format, int size = 100) {
    AVPacket* packet = av_packet_alloc();
    EXPECT_EQ(av_new_packet(packet, size), 0);
    packet->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
    const auto pts = static_cast<std::int64_t>(std::llround(timestamp * kMediaTimescale));
    EncodedFrame frame;
    frame.timestamp = timestamp;
    frame.duration = 1.0 / 15;
    frame.byteCount = size;
    frame.isKeyframe = keyframe;
    frame.payload = EncodedSample::referencing(*packet, std::move(format), pts, 40000);
    av_packet_free(&packet);
    return frame;
}

std::vector<EncodedFrame> framesAt(double start, int count, double fps = 15) {
    auto format = testFormat();
    std::vector<EncodedFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(syntheticFrame(start + i / fps, i % 15 == 0, format));
    }
    return frames;
}

std::int64_t ticks(double seconds) {
    return static_cast<std::int64_t>(std::llround(seconds * kMediaTimescale));
}

struct Harness {
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>(0);
    std::shared_ptr<FakeMovieWriter> writer = std::make_shared<FakeMovieWriter>();
    int writersMade = 0;
    std::vector<Result<void>> results;

    ExportEnvironment environment() {
        ExportEnvironment env;
        env.queue = queue;
        env.writerQueue = queue;
        env.makeWriter =
            [this](const std::filesystem::path&) -> Result<std::shared_ptr<MovieWriter>> {
            ++writersMade;
            return std::shared_ptr<MovieWriter>(writer);
        };
        return env;
    }

    void run(std::vector<EncodedFrame> frames, double endingAt) {
        MP4Exporter::exportMovie(
            std::move(frames), endingAt, "/nonexistent/clip.mp4",
            [this](Result<void> result) { results.push_back(std::move(result)); }, environment());
        queue->runUntilIdle();
    }

    std::string onlyError() const {
        EXPECT_EQ(results.size(), 1u);
        if (results.size() != 1 || results[0]) {
            return "<no error>";
        }
        return results[0].error().description();
    }
};

TEST(MP4Exporter, RetimesFromZeroAndEndsTheMovieAtTheSnapshotEnd) {
    Harness h;
    const double start = 5000.25;
    const double endingAt = start + 9 / 15.0 + 0.05;
    h.run(framesAt(start, 10), endingAt);

    ASSERT_EQ(h.results.size(), 1u);
    EXPECT_TRUE(h.results[0].hasValue());
    ASSERT_EQ(h.writer->appended.size(), 10u);
    std::int64_t total = 0;
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(h.writer->appended[i].presentationTime, ticks(start + i / 15.0) - ticks(start))
            << i;
        total += h.writer->appended[i].duration;
    }
    EXPECT_EQ(h.writer->appended[0].presentationTime, 0);
    EXPECT_EQ(h.writer->appended[0].duration, 40000);
    EXPECT_EQ(h.writer->appended[9].duration, ticks(endingAt - (start + 9 / 15.0)));
    ASSERT_TRUE(h.writer->sessionEnd.has_value());
    EXPECT_EQ(*h.writer->sessionEnd, ticks(endingAt - start));
    EXPECT_NEAR(static_cast<double>(total), static_cast<double>(*h.writer->sessionEnd), 2);
    EXPECT_EQ(h.writer->calls, (std::vector<std::string>{"addVideoTrack", "startWriting",
                                                         "markAsFinished", "finishWriting"}));
    // The deadline was disarmed: a minute later nothing more happens.
    h.queue->advance(120);
    EXPECT_EQ(h.results.size(), 1u);
    EXPECT_EQ(h.writer->count("cancelWriting"), 0);
}

TEST(MP4Exporter, ASingleKeyframeLastsUntilTheEnd) {
    Harness h;
    h.run(framesAt(10, 1), 10.4);
    ASSERT_EQ(h.writer->appended.size(), 1u);
    EXPECT_EQ(h.writer->appended[0].presentationTime, 0);
    EXPECT_EQ(h.writer->appended[0].duration, ticks(0.4));
    EXPECT_EQ(*h.writer->sessionEnd, ticks(0.4));
    EXPECT_TRUE(h.results.at(0).hasValue());
}

TEST(MP4Exporter, DurationsAtOrBelowZeroBecomeOneMicrosecond) {
    EXPECT_EQ(MP4Exporter::durationTicks(0), 1);
    EXPECT_EQ(MP4Exporter::durationTicks(-3), 1);
    EXPECT_EQ(MP4Exporter::durationTicks(NAN), 1);
    EXPECT_EQ(MP4Exporter::durationTicks(1.0 / 15), 40000);

    Harness h;
    auto format = testFormat();
    std::vector<EncodedFrame> frames{syntheticFrame(1, true, format),
                                     syntheticFrame(1, false, format)};
    // The snapshot's end lies before the last frame: the movie still has a length.
    h.run(std::move(frames), 0.5);
    ASSERT_EQ(h.writer->appended.size(), 2u);
    EXPECT_EQ(h.writer->appended[0].duration, 1);
    EXPECT_EQ(h.writer->appended[1].duration, 1);
    EXPECT_EQ(*h.writer->sessionEnd, 0);
}

TEST(MP4Exporter, AMinuteOfFramesIsFedAcrossSeveralTurnsInOrder) {
    Harness h;
    h.run(framesAt(0, 900), 60);
    ASSERT_EQ(h.writer->appended.size(), 900u);
    for (std::size_t i = 1; i < 900; ++i) {
        ASSERT_GT(h.writer->appended[i].presentationTime,
                  h.writer->appended[i - 1].presentationTime);
    }
    EXPECT_TRUE(h.results.at(0).hasValue());
}

TEST(MP4Exporter, NothingToExportNeverCreatesAWriter) {
    Harness h;
    h.run({}, 10);
    EXPECT_EQ(h.onlyError(), "There are no decodable video frames yet.");

    Harness noFormat;
    auto frames = framesAt(0, 3);
    frames[0].payload.format = nullptr;
    noFormat.run(std::move(frames), 1);
    EXPECT_EQ(noFormat.onlyError(), "There are no decodable video frames yet.");
    EXPECT_EQ(h.writersMade + noFormat.writersMade, 0);
}

TEST(MP4Exporter, SetupFailuresReportTheirOwnErrorWithoutWriting) {
    {
        Harness h;
        auto env = h.environment();
        env.makeWriter = [](const std::filesystem::path&) -> Result<std::shared_ptr<MovieWriter>> {
            return Unexpected{Error::posix(EACCES)};
        };
        std::optional<Result<void>> result;
        MP4Exporter::exportMovie(
            framesAt(0, 2), 1, "x.mp4", [&](Result<void> r) { result = std::move(r); }, env);
        h.queue->runUntilIdle();
        ASSERT_TRUE(result && !*result);
        EXPECT_EQ(result->error().code(), EACCES);
        EXPECT_EQ(result->error().domain(), kPosixDomain);
    }
    {
        Harness h;
        h.writer->trackAccepted = false;
        h.run(framesAt(0, 2), 1);
        EXPECT_EQ(h.onlyError(), "Cannot create the H.264 movie track.");
        EXPECT_EQ(h.writer->count("startWriting"), 0);
    }
    {
        Harness h;
        h.writer->startAccepted = false;
        h.run(framesAt(0, 2), 1);
        EXPECT_EQ(h.onlyError(), "Cannot begin movie export.");
        EXPECT_TRUE(h.writer->appended.empty());
        EXPECT_EQ(h.queue->pendingTimers(), 0u);
    }
    {
        Harness h;
        h.writer->startAccepted = false;
        h.writer->reportedError = Error::posix(EROFS);
        h.run(framesAt(0, 2), 1);
        ASSERT_EQ(h.results.size(), 1u);
        EXPECT_EQ(h.results[0].error().code(), EROFS);
        EXPECT_EQ(h.writer->count("cancelWriting"), 0);
    }
}

TEST(MP4Exporter, FailuresWhileFeedingCancelTheWriterOnce) {
    {
        Harness h;
        h.writer->failAppendAt = 3;
        h.run(framesAt(0, 10), 1);
        EXPECT_EQ(h.onlyError(), "Cannot write a video frame.");
        EXPECT_EQ(h.writer->appended.size(), 3u);
        EXPECT_EQ(h.writer->count("markAsFinished"), 1);
        EXPECT_EQ(h.writer->count("cancelWriting"), 1);
        EXPECT_EQ(h.writer->count("finishWriting"), 0);
    }
    {
        Harness h;
        h.writer->failAppendAt = 0;
        h.writer->reportedError = Error::posix(ENOSPC, "There is not enough free disk space.");
        h.run(framesAt(0, 10), 1);
        EXPECT_EQ(h.onlyError(), "There is not enough free disk space.");
    }
    {
        // Something failed inside the writer before any sample went in.
        Harness h;
        auto env = h.environment();
        auto writer = h.writer;
        env.makeWriter =
            [writer](const std::filesystem::path&) -> Result<std::shared_ptr<MovieWriter>> {
            return std::shared_ptr<MovieWriter>(writer);
        };
        writer->current = MovieWriter::Status::failed;
        MP4Exporter::exportMovie(
            framesAt(0, 4), 1, "x.mp4", [&](Result<void> r) { h.results.push_back(std::move(r)); },
            env);
        h.queue->runUntilIdle();
        EXPECT_EQ(h.onlyError(), "Movie export failed.");
        EXPECT_TRUE(writer->appended.empty());
        EXPECT_EQ(writer->count("cancelWriting"), 1);
    }
    {
        Harness h;
        auto frames = framesAt(0, 4);
        frames[2].payload.packet = nullptr;
        h.run(std::move(frames), 1);
        ASSERT_EQ(h.results.size(), 1u);
        const auto* error = h.results[0].error().as<CaptureError>();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->kind(), CaptureError::Case::status);
        EXPECT_EQ(error->operation(), "Retiming video");
        EXPECT_EQ(h.writer->count("cancelWriting"), 1);
    }
}

TEST(MP4Exporter, AFailedFinishIsReportedWithoutCancelling) {
    Harness h;
    h.writer->finishStatus = MovieWriter::Status::failed;
    h.run(framesAt(0, 5), 1);
    EXPECT_EQ(h.onlyError(), "Movie export failed.");
    EXPECT_EQ(h.writer->count("cancelWriting"), 0);

    Harness withError;
    withError.writer->finishStatus = MovieWriter::Status::failed;
    withError.writer->reportedError = Error::posix(EIO);
    withError.run(framesAt(0, 5), 1);
    ASSERT_EQ(withError.results.size(), 1u);
    EXPECT_EQ(withError.results[0].error().code(), EIO);
}

TEST(MP4Exporter, AWriterThatNeverFinishesTimesOutAndItsLateReportIsIgnored) {
    for (auto late : {MovieWriter::Status::completed, MovieWriter::Status::failed}) {
        Harness h;
        h.writer->holdFinish = true;
        h.run(framesAt(0, 30), 2);
        ASSERT_TRUE(h.writer->heldFinish);
        h.queue->advance(59.9);
        EXPECT_TRUE(h.results.empty());
        h.queue->advance(0.2);
        EXPECT_EQ(h.onlyError(),
                  "Movie export timed out. The draft was removed; try capturing again.");
        EXPECT_EQ(h.writer->count("cancelWriting"), 1);
        EXPECT_EQ(h.writer->count("markAsFinished"), 1);

        h.writer->current = late;
        h.writer->reportedError = Error::posix(EIO);
        auto report = std::move(h.writer->heldFinish);
        report();
        h.queue->runUntilIdle();
        h.queue->advance(120);
        EXPECT_EQ(h.results.size(), 1u);
        EXPECT_EQ(h.writer->count("cancelWriting"), 1);
    }
}

// A writer stuck in the file system (here: in its header write, until released)
// holds back neither the caller nor the deadline, and the draft directory is gone
// when the timeout is reported; whatever the writer does once released is ignored.
TEST(MP4Exporter, AWriterThatNeverReturnsStillTimesOutAndLeavesNoDirectory) {
    TemporaryDirectory root;
    auto writer = std::make_shared<FakeMovieWriter>();
    std::mutex mutex;
    std::condition_variable signal;
    bool stuck = false;
    bool released = false;
    writer->beforeStart = [&] {
        std::unique_lock lock(mutex);
        stuck = true;
        signal.notify_all();
        // Bounded only so that a regression fails instead of hanging.
        signal.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    };
    writer->holdFinish = true;
    BundleEnvironment environment = linuxBundleEnvironment();
    auto queue = std::make_shared<SerialQueue>(kMovieExportQueueLabel);
    environment.exportEnvironment.queue = queue;
    environment.exportEnvironment.timeout = 0.2;
    environment.exportEnvironment.makeWriter =
        [writer](const std::filesystem::path&) -> Result<std::shared_ptr<MovieWriter>> {
        return std::shared_ptr<MovieWriter>(writer);
    };
    std::vector<Result<CaptureBundle>> results;
    CaptureSnapshot snapshot;
    snapshot.frames = framesAt(0, 10);
    snapshot.end = 1;
    makeBundleSaver(environment)(std::move(snapshot), 30, std::chrono::system_clock::now(),
                                 CaptureConfiguration{}, root.path(),
                                 [&](Result<CaptureBundle> result) {
                                     std::lock_guard lock(mutex);
                                     results.push_back(std::move(result));
                                     signal.notify_all();
                                 });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(signal.wait_for(lock, std::chrono::seconds(30), [&] { return stuck; }));
        ASSERT_TRUE(
            signal.wait_for(lock, std::chrono::seconds(30), [&] { return !results.empty(); }));
        ASSERT_FALSE(results[0]);
        EXPECT_EQ(results[0].error().description(),
                  "Movie export timed out. The draft was removed; try capturing again.");
        EXPECT_TRUE(std::filesystem::is_empty(root.path()));
        released = true;
        signal.notify_all();
    }
    // Once released the writer is cancelled, never finished, and no second result
    // comes; the export queue is drained after the writer's last call.
    ASSERT_TRUE(testing::eventually([&] { return writer->count("cancelWriting") == 1; }));
    queue->drain();
    std::lock_guard lock(mutex);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(writer->count("finishWriting"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(root.path()));
}

TEST(ExportOperation, ResolvesOnceAndOnlyFinalizesWhileFeeding) {
    auto queue = std::make_shared<ManualExecutor>(0);
    std::vector<std::string> events;
    std::shared_ptr<ExportOperation> operation;
    double armedFor = 0;
    bool deadlineCancelled = false;
    queue->post([&] {
        operation = ExportOperation::create(
            queue, 60,
            [&](Executor&, double timeout, std::function<void()>) {
                armedFor = timeout;
                return std::function<void()>([&] { deadlineCancelled = true; });
            },
            [&] { events.push_back("cancelWriting"); },
            [&](Result<void> r) { events.push_back(r ? "success" : r.error().description()); });
    });
    queue->runUntilIdle();
    EXPECT_EQ(armedFor, 60);
    ASSERT_EQ(operation->phase(), ExportOperation::Phase::feeding);

    ExportOperation::FinishReport report;
    queue->post([&] { operation->finalize([&](ExportOperation::FinishReport r) { report = r; }); });
    queue->runUntilIdle();
    EXPECT_EQ(operation->phase(), ExportOperation::Phase::finalizing);
    queue->post([&] {
        operation->finalize([&](ExportOperation::FinishReport) { events.push_back("again"); });
    });
    queue->runUntilIdle();

    // An error arriving while finishing wins; the finishing report then changes nothing.
    queue->post(
        [&] { operation->resolve(Unexpected{Error(CaptureError::unavailable("Boom."))}, true); });
    queue->runUntilIdle();
    report({});
    queue->runUntilIdle();
    queue->post([&] { operation->resolve({}, true); });
    queue->runUntilIdle();

    EXPECT_EQ(events, (std::vector<std::string>{"Boom.", "cancelWriting"}));
    EXPECT_TRUE(deadlineCancelled);
    EXPECT_EQ(operation->phase(), ExportOperation::Phase::finished);
}

// ---- The FFmpeg writer, on real frames ----

// An export on its own movie-export queue, waited for.
Result<void> exportAndWait(std::vector<EncodedFrame> frames, double endingAt,
                           const std::filesystem::path& path) {
    testing::Delivered<Result<void>> outcome;
    MP4Exporter::exportMovie(std::move(frames), endingAt, path, outcome.receiver(),
                             linuxExportEnvironment());
    return outcome.wait();
}

void expectPlayable(const std::filesystem::path& clip, int frames, double duration) {
    if (!testing::ffprobeAvailable()) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    std::string whyNot;
    auto probe = testing::ffprobe(clip, &whyNot);
    ASSERT_TRUE(probe) << whyNot;
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_EQ(probe->codecTagString, "avc1");
    EXPECT_EQ(probe->frameCount(), frames);
    ASSERT_FALSE(probe->frames.empty());
    EXPECT_TRUE(probe->frames[0].keyframe);
    EXPECT_NEAR(probe->frames[0].ptsTime.value_or(-1), 0, 1e-6);
    ASSERT_TRUE(probe->duration.has_value());
    EXPECT_NEAR(*probe->duration, duration, 1.0 / 15);
    EXPECT_TRUE(probe->decodeErrors.empty());
    auto decoded = testing::fullyDecodes(clip);
    EXPECT_TRUE(decoded.ok()) << decoded.frames << " of " << decoded.packets;
    EXPECT_EQ(decoded.frames, frames);
}

TEST(FFmpegMovieWriter, ExportsRealFramesAsAStreamCopiedMovie) {
    auto frames = testing::makeEncodedFrames(40, 15, 7200.125);
    ASSERT_EQ(frames.size(), 40u);
    const double first = frames.front().timestamp;
    const double endingAt = frames.back().timestamp + frames.back().duration + 0.2;
    TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    auto result = exportAndWait(std::move(frames), endingAt, clip);
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(directory.names(), std::vector<std::string>{"clip.mp4"});
    expectPlayable(clip, 40, endingAt - first);
}

TEST(FFmpegMovieWriter, ASingleKeyframeBecomesAOneFrameMovie) {
    auto frames = testing::makeEncodedFrames(1, 15, 3.0);
    ASSERT_EQ(frames.size(), 1u);
    TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    ASSERT_TRUE(exportAndWait(frames, 3.5, clip));
    expectPlayable(clip, 1, 0.5);
}

TEST(FFmpegMovieWriter, StartCodeFramedSamplesAreReframedForTheTrack) {
    // Same pictures, but every NAL unit behind a start code instead of its length.
    auto frames = testing::makeEncodedFrames(20, 15, 0);
    ASSERT_EQ(frames.size(), 20u);
    for (auto& frame : frames) {
        const std::uint8_t* data = frame.payload.data();
        const auto size = static_cast<std::size_t>(frame.payload.size());
        std::vector<std::uint8_t> annexB;
        for (std::size_t at = 0; at + 4 <= size;) {
            const std::size_t length = (std::size_t(data[at]) << 24) |
                                       (std::size_t(data[at + 1]) << 16) |
                                       (std::size_t(data[at + 2]) << 8) | data[at + 3];
            annexB.insert(annexB.end(), {0, 0, 0, 1});
            annexB.insert(annexB.end(), data + at + 4, data + at + 4 + length);
            at += 4 + length;
        }
        AVPacket* packet = av_packet_alloc();
        ASSERT_EQ(av_new_packet(packet, static_cast<int>(annexB.size())), 0);
        std::copy(annexB.begin(), annexB.end(), packet->data);
        packet->flags = frame.payload.packet->flags;
        frame.payload = EncodedSample::referencing(
            *packet, frame.payload.format, frame.payload.presentationTime, frame.payload.duration);
        av_packet_free(&packet);
    }
    TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    ASSERT_TRUE(exportAndWait(frames, 20 / 15.0, clip));
    expectPlayable(clip, 20, 20 / 15.0);
}

TEST(FFmpegMovieWriter, LengthFramedSamplesThatStartLikeAStartCodeAreKeptAsTheyAre) {
    // Each sample gets a 301-byte SEI (unregistered user data) in front, whose
    // length 00 00 01 2d reads like a start code.
    auto frames = testing::makeEncodedFrames(20, 15, 0);
    ASSERT_EQ(frames.size(), 20u);
    std::vector<std::uint8_t> sei{0, 0, 0x01, 0x2d, 0x06, 0x05, 0xff, 0x29};
    sei.resize(sei.size() + 296, 0x42); // UUID and payload
    sei.push_back(0x80);
    ASSERT_EQ(sei.size(), 4u + 0x12d);
    for (auto& frame : frames) {
        std::vector<std::uint8_t> bytes = sei;
        bytes.insert(bytes.end(), frame.payload.data(),
                     frame.payload.data() + frame.payload.size());
        AVPacket* packet = av_packet_alloc();
        ASSERT_EQ(av_new_packet(packet, static_cast<int>(bytes.size())), 0);
        std::copy(bytes.begin(), bytes.end(), packet->data);
        packet->flags = frame.payload.packet->flags;
        frame.payload = EncodedSample::referencing(
            *packet, frame.payload.format, frame.payload.presentationTime, frame.payload.duration);
        av_packet_free(&packet);
    }
    TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    ASSERT_TRUE(exportAndWait(frames, 20 / 15.0, clip));
    expectPlayable(clip, 20, 20 / 15.0);
}

TEST(FFmpegMovieWriter, CancelledOrAbandonedMoviesLeaveNoFile) {
    auto frames = testing::makeEncodedFrames(5, 15, 0);
    ASSERT_EQ(frames.size(), 5u);
    TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    for (bool cancel : {true, false}) {
        auto writer = makeFFmpegMovieWriter(clip);
        ASSERT_TRUE(writer);
        ASSERT_TRUE((*writer)->addVideoTrack(*frames[0].payload.format));
        ASSERT_TRUE((*writer)->startWriting());
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE((*writer)->append(frames[i].payload, i * 40000, 40000));
        }
        EXPECT_EQ(directory.names(), std::vector<std::string>{".clip.mp4.partial"});
        if (cancel) {
            (*writer)->cancelWriting();
            EXPECT_EQ((*writer)->status(), MovieWriter::Status::cancelled);
            EXPECT_FALSE((*writer)->append(frames[3].payload, 3 * 40000, 40000));
        }
        writer = Unexpected{Error::cancelled()};
        EXPECT_TRUE(directory.names().empty());
    }
}

TEST(FFmpegMovieWriter, ErrorsReadAsSentences) {
    const Error full = ffmpegError(AVERROR(ENOSPC));
    EXPECT_EQ(full.domain(), kPosixDomain);
    EXPECT_EQ(full.code(), ENOSPC);
    EXPECT_EQ(full.description(), "There is not enough free disk space to save the clip.");
    EXPECT_EQ(ffmpegError(AVERROR(EACCES)).code(), EACCES);
    const Error invalid = ffmpegError(AVERROR_INVALIDDATA);
    EXPECT_EQ(invalid.domain(), kFFmpegErrorDomain);
    EXPECT_EQ(invalid.code(), AVERROR_INVALIDDATA);
    EXPECT_EQ(invalid.description(), "Invalid data found when processing input.");

    // A movie whose folder is missing cannot even be created.
    auto writer = makeFFmpegMovieWriter("/nonexistent-snagreel-folder/clip.mp4");
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error().code(), ENOENT);
}

} // namespace
} // namespace snagreel
