#include "SnagreelCore/Export/MP4Exporter.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <algorithm>
#include <cmath>

namespace snagreel {

namespace {

// Frames appended per turn of the queue, so that the deadline and the writer's own
// reports are not held back behind a whole minute of samples.
constexpr std::size_t kFramesPerTurn = 64;

Error unavailableError(const char* message) {
    return Error(CaptureError::unavailable(message));
}

Error writerError(const MovieWriter& writer, const char* fallback) {
    if (auto error = writer.error()) {
        return *error;
    }
    return unavailableError(fallback);
}

struct ExportJob {
    std::vector<EncodedFrame> frames;
    double endingAt = 0;
    double firstTimestamp = 0;
    std::int64_t firstPresentationTime = 0;
    std::int64_t sessionEnd = 0;
    std::shared_ptr<MovieWriter> writer;
    std::shared_ptr<Executor> queue;
    std::shared_ptr<ExportOperation> operation;
    std::size_t index = 0;
    bool inputFinished = false;

    void markInputFinished() {
        if (!inputFinished) {
            inputFinished = true;
            writer->markAsFinished();
        }
    }
};

void feed(const std::shared_ptr<ExportJob>& job) {
    ExportOperation& operation = *job->operation;
    if (operation.phase() != ExportOperation::Phase::feeding) {
        return;
    }
    MovieWriter& writer = *job->writer;
    if (writer.status() == MovieWriter::Status::failed) {
        operation.resolve(Unexpected{writerError(writer, "Movie export failed.")}, true);
        return;
    }
    const std::size_t count = job->frames.size();
    for (std::size_t turn = 0; turn < kFramesPerTurn && job->index < count; ++turn) {
        const EncodedFrame& frame = job->frames[job->index];
        const std::int64_t presentationTime =
            frame.payload.presentationTime - job->firstPresentationTime;
        const double next =
            job->index + 1 < count ? job->frames[job->index + 1].timestamp : job->endingAt;
        const std::int64_t duration = MP4Exporter::durationTicks(next - frame.timestamp);
        if (!frame.payload.packet || frame.payload.size() <= 0) {
            operation.resolve(
                Unexpected{Error(CaptureError::status("Retiming video", kInvalidSampleStatus))},
                true);
            return;
        }
        if (!writer.append(frame.payload, presentationTime, duration)) {
            operation.resolve(Unexpected{writerError(writer, "Cannot write a video frame.")}, true);
            return;
        }
        ++job->index;
    }
    if (job->index < count) {
        job->queue->post([job] { feed(job); });
        return;
    }
    job->markInputFinished();
    writer.endSession(job->sessionEnd);
    std::weak_ptr<MovieWriter> weakWriter = job->writer;
    operation.finalize([weakWriter](ExportOperation::FinishReport report) {
        auto writer = weakWriter.lock();
        if (!writer) {
            report(Unexpected{unavailableError("Movie export failed.")});
            return;
        }
        writer->finishWriting([weakWriter, report] {
            auto writer = weakWriter.lock();
            if (writer && writer->status() == MovieWriter::Status::completed) {
                report({});
            } else if (writer) {
                report(Unexpected{writerError(*writer, "Movie export failed.")});
            } else {
                report(Unexpected{unavailableError("Movie export failed.")});
            }
        });
    });
}

} // namespace

std::int64_t MP4Exporter::durationTicks(double seconds) {
    const double clamped = std::isfinite(seconds) ? std::max(seconds, 0.000001) : 0.000001;
    return std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::llround(clamped * static_cast<double>(kMediaTimescale))));
}

void MP4Exporter::exportMovie(std::vector<EncodedFrame> frames, double endingAt,
                              std::filesystem::path path, Completion<void> done,
                              ExportEnvironment environment) {
    if (frames.empty() || !frames.front().payload.format) {
        done(Unexpected{unavailableError("There are no decodable video frames yet.")});
        return;
    }
    if (!environment.makeWriter) {
        done(Unexpected{unavailableError("No movie writer is available.")});
        return;
    }
    auto created = environment.makeWriter(path);
    if (!created) {
        done(Unexpected{std::move(created).error()});
        return;
    }
    std::shared_ptr<MovieWriter> writer = std::move(created).value();
    if (!writer->addVideoTrack(*frames.front().payload.format)) {
        done(Unexpected{unavailableError("Cannot create the H.264 movie track.")});
        return;
    }
    if (!writer->startWriting()) {
        done(Unexpected{writerError(*writer, "Cannot begin movie export.")});
        return;
    }

    auto job = std::make_shared<ExportJob>();
    job->endingAt = endingAt;
    job->firstTimestamp = frames.front().timestamp;
    job->firstPresentationTime = frames.front().payload.presentationTime;
    job->sessionEnd = static_cast<std::int64_t>(
        std::llround(std::max(0.0, endingAt - job->firstTimestamp) * kMediaTimescale));
    job->frames = std::move(frames);
    job->writer = std::move(writer);
    job->queue = environment.queue ? environment.queue
                                   : std::make_shared<SerialQueue>(kMovieExportQueueLabel);

    const double timeout = environment.timeout;
    auto schedule = environment.scheduleDeadline;
    job->queue->post([job, timeout, schedule, done = std::move(done)]() mutable {
        // The cancel step keeps the job (and with it the queue and the writer) alive
        // until the result is delivered; resolving drops it.
        job->operation = ExportOperation::create(
            job->queue, timeout, std::move(schedule),
            [job] {
                job->markInputFinished();
                job->writer->cancelWriting();
            },
            std::move(done));
        feed(job);
    });
}

} // namespace snagreel
