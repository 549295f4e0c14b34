#include "SnagreelCore/Linux/FFmpegMovieWriter.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace snagreel {

static_assert(kInvalidSampleStatus == AVERROR_INVALIDDATA);

Error ffmpegError(int status) {
    // AVERROR(e) is -e for system errors; FFmpeg's own codes are tagged far below.
    if (status < 0 && status > -4096) {
        const int code = -status;
        if (code == ENOSPC || code == EDQUOT) {
            return Error::posix(code, kDiskFullMessage);
        }
        return Error::posix(code);
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    std::string message = text;
    if (!message.empty()) {
        message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
    }
    if (message.empty() || message.back() != '.') {
        message += '.';
    }
    return Error(PlatformError{kFFmpegErrorDomain, status, std::move(message)});
}

std::filesystem::path partialMoviePath(const std::filesystem::path& path) {
    return path.parent_path() / ("." + path.filename().string() + ".partial");
}

namespace {

Error errnoError(int code) {
    return ffmpegError(AVERROR(code));
}

// Whether lengths of `lengthSize` bytes frame NAL units that fill the sample exactly.
bool framedByLengths(const std::uint8_t* data, std::size_t size, int lengthSize) {
    std::size_t at = 0;
    while (at < size) {
        if (size - at < static_cast<std::size_t>(lengthSize)) {
            return false;
        }
        std::size_t length = 0;
        for (int i = 0; i < lengthSize; ++i) {
            length = (length << 8) | data[at + static_cast<std::size_t>(i)];
        }
        at += static_cast<std::size_t>(lengthSize);
        if (length == 0 || length > size - at) {
            return false;
        }
        at += length;
    }
    return true;
}

// A sample framed by lengths may begin like a start code too (a first NAL unit of
// 256 to 511 bytes has the length 00 00 01 xx); the lengths decide.
bool isAnnexB(const std::uint8_t* data, std::size_t size, int lengthSize) {
    const bool startCode =
        (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) ||
        (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1);
    return startCode && !framedByLengths(data, size, lengthSize);
}

// Start-code framed NAL units re-framed with big-endian length prefixes, as the
// sample data of a track described by an avcC record must be.
std::vector<std::uint8_t> lengthPrefixed(const std::uint8_t* data, std::size_t size,
                                         int lengthSize) {
    std::vector<std::uint8_t> out;
    out.reserve(size + 16);
    std::size_t i = 0;
    auto startCodeAt = [&](std::size_t at) -> std::size_t {
        if (at + 3 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1) {
            return 3;
        }
        if (at + 4 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 0 &&
            data[at + 3] == 1) {
            return 4;
        }
        return 0;
    };
    while (i < size) {
        const std::size_t code = startCodeAt(i);
        if (code == 0) {
            ++i;
            continue;
        }
        const std::size_t begin = i + code;
        std::size_t end = begin;
        while (end < size && startCodeAt(end) == 0) {
            ++end;
        }
        // Trailing zero bytes before the next start code belong to no NAL unit.
        std::size_t last = end;
        while (last > begin && data[last - 1] == 0 && end < size) {
            --last;
        }
        const std::size_t length = last - begin;
        for (int shift = (lengthSize - 1) * 8; shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(length >> shift));
        }
        out.insert(out.end(), data + begin, data + last);
        i = end;
    }
    return out;
}

class FFmpegMovieWriter final : public MovieWriter {
public:
    explicit FFmpegMovieWriter(std::filesystem::path path)
        : path_(std::move(path)), partial_(partialMoviePath(path_)) {}

    ~FFmpegMovieWriter() override {
        if (status_ != Status::completed) {
            discard();
        }
        av_packet_free(&packet_);
        avformat_free_context(context_);
    }

    Result<void> open() {
        // Created here first so that the movie is private to the user from its first
        // byte; FFmpeg then opens the same file again for writing.
        const int fd =
            ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return Unexpected{errnoError(errno)};
        }
        ::fchmod(fd, 0600);
        ::close(fd);
        created_ = true;
        const std::string url = "file:" + partial_.string();
        int status = avformat_alloc_output_context2(&context_, nullptr, "mp4", url.c_str());
        if (status < 0 || context_ == nullptr) {
            discard();
            return Unexpected{ffmpegError(status < 0 ? status : AVERROR(ENOMEM))};
        }
        return {};
    }

    bool addVideoTrack(const CodecParameters& format) override {
        if (stream_ != nullptr || format.width <= 0 || format.height <= 0 ||
            format.extradata.empty()) {
            return false;
        }
        stream_ = avformat_new_stream(context_, nullptr);
        if (stream_ == nullptr) {
            return false;
        }
        AVCodecParameters* par = stream_->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = format.width;
        par->height = format.height;
        par->extradata = static_cast<std::uint8_t*>(
            av_mallocz(format.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            return false;
        }
        std::memcpy(par->extradata, format.extradata.data(), format.extradata.size());
        par->extradata_size = static_cast<int>(format.extradata.size());
        // An avcC record (version byte 1) means samples must be length-prefixed; with
        // Annex B parameter sets the muxer converts both itself.
        if (format.extradata[0] == 1 && format.extradata.size() >= 5) {
            avcLengthSize_ = (format.extradata[4] & 0x03) + 1;
        }
        stream_->time_base = AVRational{1, static_cast<int>(kMediaTimescale)};
        return true;
    }

    bool startWriting() override {
        if (stream_ == nullptr || status_ != Status::unknown) {
            return false;
        }
        int status = avio_open(&context_->pb, context_->url, AVIO_FLAG_WRITE);
        if (status < 0) {
            return fail(status);
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        status = avformat_write_header(context_, &options);
        av_dict_free(&options);
        if (status < 0) {
            return fail(status);
        }
        packet_ = av_packet_alloc();
        if (packet_ == nullptr) {
            return fail(AVERROR(ENOMEM));
        }
        status_ = Status::writing;
        return true;
    }

    bool append(const EncodedSample& sample, std::int64_t presentationTime,
                std::int64_t duration) override {
        if (status_ != Status::writing || finished_ || !sample.packet) {
            return false;
        }
        // Times only ever grow (the ring guarantees it); should two samples meet,
        // nudge the later one rather than have the muxer reject the whole movie.
        if (lastTime_ && presentationTime <= *lastTime_) {
            presentationTime = *lastTime_ + 1;
        }
        int status = av_packet_ref(packet_, sample.packet.get());
        if (status < 0) {
            return fail(status);
        }
        if (avcLengthSize_ > 0 &&
            isAnnexB(packet_->data, static_cast<std::size_t>(packet_->size), avcLengthSize_)) {
            std::vector<std::uint8_t> framed = lengthPrefixed(
                packet_->data, static_cast<std::size_t>(packet_->size), avcLengthSize_);
            const int flags = packet_->flags;
            av_packet_unref(packet_);
            if ((status = av_new_packet(packet_, static_cast<int>(framed.size()))) < 0) {
                return fail(status);
            }
            std::memcpy(packet_->data, framed.data(), framed.size());
            packet_->flags = flags;
        }
        const AVRational source{1, static_cast<int>(kMediaTimescale)};
        packet_->stream_index = stream_->index;
        packet_->pts = av_rescale_q(presentationTime, source, stream_->time_base);
        packet_->dts = packet_->pts;
        packet_->duration = av_rescale_q(duration, source, stream_->time_base);
        packet_->pos = -1;
        status = av_write_frame(context_, packet_);
        av_packet_unref(packet_);
        if (status < 0) {
            return fail(status);
        }
        if (context_->pb->error < 0) {
            return fail(context_->pb->error);
        }
        lastTime_ = presentationTime;
        return true;
    }

    void markAsFinished() override { finished_ = true; }

    void endSession(std::int64_t) override {
        // The last sample's duration already ends the track where the session ends.
    }

    void finishWriting(std::function<void()> done) override {
        if (status_ == Status::writing) {
            complete();
        }
        if (done) {
            done();
        }
    }

    void cancelWriting() override {
        if (status_ == Status::writing || status_ == Status::unknown) {
            status_ = Status::cancelled;
        }
        discard();
    }

    Status status() const override { return status_; }
    std::optional<Error> error() const override { return error_; }

private:
    bool fail(int status) {
        error_ = ffmpegError(status);
        status_ = Status::failed;
        return false;
    }

    bool failErrno(int code) { return fail(AVERROR(code)); }

    void complete() {
        int status = av_write_trailer(context_);
        if (status < 0) {
            fail(status);
            discard();
            return;
        }
        status = avio_closep(&context_->pb);
        if (status < 0) {
            fail(status);
            discard();
            return;
        }
        // The rename must never publish a file whose data is still only in memory.
        const int fd = ::open(partial_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failErrno(errno);
            discard();
            return;
        }
        if (::fsync(fd) != 0) {
            const int code = errno;
            ::close(fd);
            failErrno(code);
            discard();
            return;
        }
        ::close(fd);
        if (::rename(partial_.c_str(), path_.c_str()) != 0) {
            failErrno(errno);
            discard();
            return;
        }
        created_ = false;
        const std::string directory =
            path_.has_parent_path() ? path_.parent_path().string() : std::string(".");
        const int dirfd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirfd >= 0) {
            ::fsync(dirfd);
            ::close(dirfd);
        }
        status_ = Status::completed;
    }

    void discard() {
        if (context_ != nullptr && context_->pb != nullptr) {
            avio_closep(&context_->pb);
        }
        av_packet_free(&packet_);
        if (created_) {
            ::unlink(partial_.c_str());
            created_ = false;
        }
    }

    std::filesystem::path path_;
    std::filesystem::path partial_;
    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    int avcLengthSize_ = 0;
    bool created_ = false;
    bool finished_ = false;
    std::optional<std::int64_t> lastTime_;
    Status status_ = Status::unknown;
    std::optional<Error> error_;
};

} // namespace

Result<std::shared_ptr<MovieWriter>> makeFFmpegMovieWriter(const std::filesystem::path& path) {
    // The muxer narrates every export on stderr at its default level ("Starting second
    // pass: moving the moov atom..."); failures reach the caller as errors instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() >= AV_LOG_INFO) {
            av_log_set_level(AV_LOG_ERROR);
        }
    });
    auto writer = std::make_shared<FFmpegMovieWriter>(path);
    if (auto opened = writer->open(); !opened) {
        return Unexpected{std::move(opened).error()};
    }
    return std::shared_ptr<MovieWriter>(std::move(writer));
}

} // namespace snagreel
