#pragma once

#include "SnagreelCore/Capture/CaptureSession.hpp"
#include "SnagreelCore/Export/ExportOperation.hpp"
#include "SnagreelCore/Ring/EncodedSample.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace snagreel {

inline constexpr const char* kMovieExportQueueLabel = "snagreel.movie-export";
inline constexpr const char* kMovieWriterQueueLabel = "snagreel.movie-export.writer";
inline constexpr double kMovieExportTimeout = 60;
// The status of a "Retiming video" failure, for a sample with no data (the value a
// Linux writer reports for invalid data, so both read the same).
inline constexpr std::int32_t kInvalidSampleStatus = -1094995529;

// A movie file being written from already-compressed H.264 samples, one video track,
// times at kMediaTimescale. Called only on the export's queue.
class MovieWriter {
public:
    enum class Status { unknown, writing, completed, failed, cancelled };

    virtual ~MovieWriter() = default;
    // Adds the single pass-through track described by the first sample's parameters;
    // false when the track cannot be added.
    virtual bool addVideoTrack(const CodecParameters& format) = 0;
    // False when writing cannot begin (error() may say why).
    virtual bool startWriting() = 0;
    // Appends one sample at a new presentation time and duration, sharing its data.
    // There is no decode time: the stream has no reordering.
    virtual bool append(const EncodedSample& sample, std::int64_t presentationTime,
                        std::int64_t duration) = 0;
    // No sample follows.
    virtual void markAsFinished() = 0;
    // The movie ends at `time` (from the first sample's presentation time).
    virtual void endSession(std::int64_t time) = 0;
    // Completes the file; `done` may be called on any thread, once.
    virtual void finishWriting(std::function<void()> done) = 0;
    // Abandons the file; nothing of it is left behind.
    virtual void cancelWriting() = 0;
    virtual Status status() const = 0;
    virtual std::optional<Error> error() const = 0;
};

using MovieWriterFactory =
    std::function<Result<std::shared_ptr<MovieWriter>>(const std::filesystem::path& path)>;

struct ExportEnvironment {
    // Required: the platform's MPEG-4 writer (linuxExportEnvironment() on Linux).
    MovieWriterFactory makeWriter;
    // Empty: a new serial queue labelled kMovieExportQueueLabel for this export.
    std::shared_ptr<Executor> queue;
    // Where every writer call runs (they block on the file system). Empty: a new
    // serial queue labelled kMovieWriterQueueLabel, so that a writer that never
    // returns cannot hold back the deadline on `queue`.
    std::shared_ptr<Executor> writerQueue;
    double timeout = kMovieExportTimeout;
    // Empty: scheduleDeadline on the queue's timers.
    ExportOperation::DeadlineScheduler scheduleDeadline;
};

// Copies compressed frames into an MPEG-4 file without decoding anything. Times in
// the file start at zero; the movie lasts from the first frame's timestamp to
// `endingAt`.
namespace MP4Exporter {

// `frames` oldest first, starting with a keyframe; `endingAt` on the same clock as
// their timestamps. `done` is called exactly once: inline when there is nothing to
// export, otherwise on the export queue. Nothing touches the file system on the
// calling thread.
void exportMovie(std::vector<EncodedFrame> frames, double endingAt, std::filesystem::path path,
                 Completion<void> done, ExportEnvironment environment = {});

// Duration in ticks of kMediaTimescale for a span in seconds, never less than one
// microsecond (and never zero ticks).
std::int64_t durationTicks(double seconds);

} // namespace MP4Exporter

} // namespace snagreel
