#include "SnagreelCore/Export/MP4Exporter.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace snagreel {

namespace {

// Frames appended per turn of the writer queue, so that an export abandoned by its
// deadline stops soon, and so that, on a queue shared with the operation, the
// deadline is not held back behind a whole minute of samples.
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

// One export. The operation and its deadline live on the export queue; every call
// into the writer (which creates files, writes and syncs them) runs on the writer
// queue, so a writer stuck in the file system holds back neither the caller nor the
// deadline. Each writer-queue task holds the job, so that queue is released only
// from its own thread, never joined while a call is stuck in it.
struct ExportJob {
    std::vector<EncodedFrame> frames;
    double endingAt = 0;
    double firstTimestamp = 0;
    std::int64_t firstPresentationTime = 0;
    std::int64_t sessionEnd = 0;
    std::filesystem::path path;
    MovieWriterFactory makeWriter;
    std::shared_ptr<Executor> queue;
    std::shared_ptr<Executor> writerQueue;
    // Export queue only.
    std::shared_ptr<ExportOperation> operation;
    // Writer queue only.
    std::shared_ptr<MovieWriter> writer;
    std::size_t index = 0;
    bool inputFinished = false;
    // Set once the result is out and the writer is to be cancelled; read by the
    // writer queue between calls.
    std::atomic<bool> abandoned{false};

    void markInputFinished() {
        if (!inputFinished) {
            inputFinished = true;
            writer->markAsFinished();
        }
    }

    // Writer queue: resolves on the export queue.
    void report(Result<void> result, bool cancelWriter) {
        queue->post([job = self(), result = std::move(result), cancelWriter]() mutable {
            job->operation->resolve(std::move(result), cancelWriter);
        });
    }

    std::shared_ptr<ExportJob> self() { return weakSelf.lock(); }
    std::weak_ptr<ExportJob> weakSelf;
};

void feed(const std::shared_ptr<ExportJob>& job);

// Writer queue.
void setUp(const std::shared_ptr<ExportJob>& job) {
    if (job->abandoned) {
        return;
    }
    auto created = job->makeWriter(job->path);
    if (!created) {
        job->report(Unexpected{std::move(created).error()}, false);
        return;
    }
    std::shared_ptr<MovieWriter> writer = std::move(created).value();
    if (job->abandoned) {
        return; // released without writing
    }
    if (!writer->addVideoTrack(*job->frames.front().payload.format)) {
        job->report(Unexpected{unavailableError("Cannot create the H.264 movie track.")}, false);
        return;
    }
    if (!writer->startWriting()) {
        job->report(Unexpected{writerError(*writer, "Cannot begin movie export.")}, false);
        return;
    }
    job->writer = std::move(writer);
    feed(job);
}

// Writer queue.
void feed(const std::shared_ptr<ExportJob>& job) {
    if (job->abandoned) {
        return;
    }
    MovieWriter& writer = *job->writer;
    if (writer.status() == MovieWriter::Status::failed) {
        job->report(Unexpected{writerError(writer, "Movie export failed.")}, true);
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
            job->report(
                Unexpected{Error(CaptureError::status("Retiming video", kInvalidSampleStatus))},
                true);
            return;
        }
        if (!writer.append(frame.payload, presentationTime, duration)) {
            job->report(Unexpected{writerError(writer, "Cannot write a video frame.")}, true);
            return;
        }
        ++job->index;
    }
    if (job->index < count) {
        job->writerQueue->post([job] { feed(job); });
        return;
    }
    job->markInputFinished();
    writer.endSession(job->sessionEnd);
    job->queue->post([job] {
        job->operation->finalize([job](ExportOperation::FinishReport report) {
            job->writerQueue->post([job, report] {
                if (job->abandoned) {
                    return;
                }
                std::weak_ptr<MovieWriter> weakWriter = job->writer;
                job->writer->finishWriting([weakWriter, report] {
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
    auto job = std::make_shared<ExportJob>();
    job->weakSelf = job;
    job->endingAt = endingAt;
    job->firstTimestamp = frames.front().timestamp;
    job->firstPresentationTime = frames.front().payload.presentationTime;
    job->sessionEnd = static_cast<std::int64_t>(
        std::llround(std::max(0.0, endingAt - job->firstTimestamp) * kMediaTimescale));
    job->frames = std::move(frames);
    job->path = std::move(path);
    job->makeWriter = std::move(environment.makeWriter);
    job->queue = environment.queue ? environment.queue
                                   : std::make_shared<SerialQueue>(kMovieExportQueueLabel);
    job->writerQueue = environment.writerQueue
                           ? environment.writerQueue
                           : std::make_shared<SerialQueue>(kMovieWriterQueueLabel);

    const double timeout = environment.timeout;
    auto schedule = environment.scheduleDeadline;
    job->queue->post([job, timeout, schedule, done = std::move(done)]() mutable {
        // The deadline covers the writer's setup too: opening the file and writing
        // its header block just as well on a stuck file system. The cancel step runs
        // on the writer queue after whatever call is in progress there returns.
        job->operation = ExportOperation::create(
            job->queue, timeout, std::move(schedule),
            [job] {
                job->abandoned = true;
                job->writerQueue->post([job] {
                    if (job->writer) {
                        job->markInputFinished();
                        job->writer->cancelWriting();
                    }
                });
            },
            [job, done = std::move(done)](Result<void> result) {
                job->abandoned = true;
                done(std::move(result));
            });
        job->writerQueue->post([job] { setUp(job); });
    });
}

} // namespace snagreel
