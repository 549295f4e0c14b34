#include "SnagreelApp/Hosted/HostedVideoPreparation.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <openssl/evp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <memory>

namespace snagreel::app {

namespace {

using VideoCase = HostedVideoError::Case;
namespace limits = hostedlimits;

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct IOCloser {
    void operator()(AVIOContext* c) const {
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;

// The demuxer reads through the caller's descriptor with pread, so nothing is
// opened by name a second time.
struct FdReader {
    int fd;
    std::int64_t size;
    std::int64_t position = 0;

    static int read(void* opaque, std::uint8_t* buffer, int capacity) {
        auto* self = static_cast<FdReader*>(opaque);
        for (;;) {
            const ssize_t n =
                ::pread(self->fd, buffer, static_cast<std::size_t>(capacity), self->position);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return AVERROR(errno);
            }
            if (n == 0) {
                return AVERROR_EOF;
            }
            self->position += n;
            return static_cast<int>(n);
        }
    }
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* self = static_cast<FdReader*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return self->size;
        case SEEK_SET:
            self->position = offset;
            return offset;
        case SEEK_CUR:
            self->position += offset;
            return self->position;
        case SEEK_END:
            self->position = self->size + offset;
            return self->position;
        default:
            return AVERROR(EINVAL);
        }
    }
};

Error video(VideoCase kind) {
    return videoError(kind);
}

bool isCancelled(const HostedVideoPreparation::CancelCheck& cancelled) {
    return cancelled && cancelled();
}

Result<CodecPtr> openDecoder(const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    CodecPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    // A damaged frame is an error, not a picture patched up from its neighbours.
    context->err_recognition |= AV_EF_EXPLODE;
    context->flags2 &= ~AV_CODEC_FLAG2_SHOW_ALL;
    context->pkt_timebase = stream->time_base;
    // Slice threads only: frame threads would hold pictures back and decode
    // packets that are not needed.
    context->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    return context;
}

// Sends one packet (null to drain) and collects what comes out; a decode error of
// any kind fails.
Result<void> decode(AVCodecContext* decoder, const AVPacket* packet, std::vector<FramePtr>& out) {
    int status = avcodec_send_packet(decoder, packet);
    if (status < 0 && status != AVERROR_EOF) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    for (;;) {
        FramePtr frame(av_frame_alloc());
        status = avcodec_receive_frame(decoder, frame.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            return {};
        }
        if (status < 0) {
            return Unexpected{video(VideoCase::decodeFailed)};
        }
        if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
            return Unexpected{video(VideoCase::decodeFailed)};
        }
        out.push_back(std::move(frame));
    }
}

bool fullRange(const AVFrame* frame) {
    switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
        return true;
    default:
        return frame->color_range == AVCOL_RANGE_JPEG;
    }
}

Result<HostedVideoAnchor> makeAnchor(const AVFrame* frame, const char* position, std::int64_t index,
                                     double timestamp) {
    const int width = frame->width;
    const int height = frame->height;
    if (width < 1 || height < 1 || width > limits::kMaxFrameSide ||
        height > limits::kMaxFrameSide ||
        static_cast<std::int64_t>(width) * height > limits::kMaxFramePixels) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }
    QImage image(width, height, QImage::Format_RGB888);
    SwsContext* sws = sws_getContext(
        width, height, static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_RGB24,
        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (sws == nullptr || image.isNull()) {
        sws_freeContext(sws);
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    // The stream's own matrix and range: a BT.709 screen clip converted with the
    // BT.601 default would shift every colour.
    const int colorspace = frame->colorspace == AVCOL_SPC_UNSPECIFIED
                               ? SWS_CS_DEFAULT
                               : static_cast<int>(frame->colorspace);
    const int* coefficients = sws_getCoefficients(colorspace);
    sws_setColorspaceDetails(sws, coefficients, fullRange(frame) ? 1 : 0, coefficients, 1, 0,
                             1 << 16, 1 << 16);
    std::uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, height, planes, strides);
    sws_freeContext(sws);
    if (rows != height) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    if (png.size() > limits::kMaxAnchorBytes) {
        return Unexpected{video(VideoCase::anchorTooLarge)};
    }
    return HostedVideoAnchor{position, timestamp, index, width, height, std::move(png)};
}

std::string hexDigits(const unsigned char* digest, unsigned int length) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

Result<std::string> hashFile(int fd) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return Unexpected{Error::posix(ENOMEM)};
    }
    std::vector<std::uint8_t> chunk(1048576);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, chunk.data(), chunk.size(), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Unexpected{Error::posix(errno)};
        }
        if (n == 0) {
            break;
        }
        EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(n));
        offset += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return hexDigits(digest, length);
}

Result<std::int64_t> regularFileSize(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return Unexpected{Error::posix(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }
    return static_cast<std::int64_t>(info.st_size);
}

} // namespace

std::string HostedVideoAnchor::sha256() const {
    return HostedVideoPreparation::sha256Hex(data.constData(),
                                             static_cast<std::size_t>(data.size()));
}

namespace HostedVideoPreparation {

std::string sha256Hex(const void* bytes, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr);
    return hexDigits(digest, length);
}

Result<HostedPreparedVideo> prepare(const std::filesystem::path& clipPath,
                                    const CancelCheck& cancelled) {
    if (!clipPath.is_absolute() || !clipPath.has_filename()) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }
    auto directory = reports::linuxfs::openPathWithoutLinks(clipPath.parent_path());
    if (!directory) {
        return Unexpected{directory.error()};
    }
    auto file = reports::linuxfs::openFileAt(directory->get(), clipPath.filename().string());
    if (!file) {
        // A symbolic link in the clip's place is refused like any other non-movie.
        if (file.error().code() == ELOOP) {
            return Unexpected{video(VideoCase::invalidRecording)};
        }
        return Unexpected{file.error()};
    }
    return prepare(file->get(), clipPath, cancelled);
}

Result<HostedPreparedVideo> prepare(int fd, const std::filesystem::path& clipPath,
                                    const CancelCheck& cancelled) {
    // The size first: an oversized file is refused before a single byte is decoded.
    auto size = regularFileSize(fd);
    if (!size) {
        return Unexpected{size.error()};
    }
    if (*size < 1 || *size > limits::kMaxClipBytes) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }

    FdReader reader{fd, *size};
    constexpr int kBufferSize = 65536;
    auto* ioBuffer = static_cast<std::uint8_t*>(av_malloc(kBufferSize));
    std::unique_ptr<AVIOContext, IOCloser> io(avio_alloc_context(
        ioBuffer, kBufferSize, 0, &reader, &FdReader::read, nullptr, &FdReader::seek));
    if (!io) {
        av_free(ioBuffer);
        return Unexpected{Error::posix(ENOMEM)};
    }
    AVFormatContext* rawFormat = avformat_alloc_context();
    if (rawFormat == nullptr) {
        return Unexpected{Error::posix(ENOMEM)};
    }
    rawFormat->pb = io.get();
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&rawFormat, nullptr, nullptr, nullptr) < 0) {
        // avformat_open_input frees the context on failure.
        return Unexpected{video(VideoCase::invalidRecording)};
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);

    const AVStream* stream = nullptr;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            stream = format->streams[i];
            break;
        }
    }
    double duration = NAN;
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
        duration = static_cast<double>(format->duration) / AV_TIME_BASE;
    } else if (stream != nullptr && stream->duration != AV_NOPTS_VALUE) {
        duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    }
    if (!std::isfinite(duration) || duration <= 0 || duration > limits::kMaxDurationSeconds) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }
    // Clips are H.264 and nothing else: another codec is not a recording of ours.
    if (stream == nullptr || stream->codecpar->codec_id != AV_CODEC_ID_H264) {
        return Unexpected{video(VideoCase::invalidRecording)};
    }

    auto firstDecoder = openDecoder(stream);
    if (!firstDecoder) {
        return Unexpected{firstDecoder.error()};
    }
    const double timeBase = av_q2d(stream->time_base);
    PacketPtr packet(av_packet_alloc());
    std::vector<FramePtr> firstFrames;
    std::vector<PacketPtr> lastGroup; // from the last keyframe on
    std::int64_t count = 0;
    double previous = 0;
    double lastTime = 0;
    bool firstDecoding = true;
    for (;;) {
        if (isCancelled(cancelled)) {
            return Unexpected{Error::cancelled()};
        }
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) {
            break;
        }
        if (status < 0) {
            return Unexpected{video(VideoCase::decodeFailed)};
        }
        if (packet->stream_index != stream->index) {
            av_packet_unref(packet.get());
            continue;
        }
        const std::int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const double time = pts == AV_NOPTS_VALUE ? NAN : static_cast<double>(pts) * timeBase;
        if (!std::isfinite(time) || time < 0 || (count > 0 && time < previous) || time > duration ||
            count >= limits::kMaxFrames) {
            return Unexpected{video(VideoCase::invalidRecording)};
        }
        previous = time;
        lastTime = time;
        ++count;
        if (firstDecoding) {
            if (auto decoded = decode(firstDecoder->get(), packet.get(), firstFrames); !decoded) {
                return Unexpected{decoded.error()};
            }
            firstDecoding = firstFrames.empty();
        }
        if ((packet->flags & AV_PKT_FLAG_KEY) != 0) {
            lastGroup.clear();
        }
        lastGroup.emplace_back(av_packet_clone(packet.get()));
        av_packet_unref(packet.get());
    }
    if (firstDecoding) {
        if (auto drained = decode(firstDecoder->get(), nullptr, firstFrames); !drained) {
            return Unexpected{drained.error()};
        }
    }
    if (firstFrames.empty() || count < 2) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    const AVFrame* first = firstFrames.front().get();
    const double firstTime = first->best_effort_timestamp != AV_NOPTS_VALUE
                                 ? static_cast<double>(first->best_effort_timestamp) * timeBase
                                 : 0.0;
    auto firstAnchor = makeAnchor(first, "first", 0, firstTime);
    if (!firstAnchor) {
        return Unexpected{firstAnchor.error()};
    }
    firstFrames.clear();

    auto lastDecoder = openDecoder(stream);
    if (!lastDecoder) {
        return Unexpected{lastDecoder.error()};
    }
    std::vector<FramePtr> lastFrames;
    for (const auto& groupPacket : lastGroup) {
        if (isCancelled(cancelled)) {
            return Unexpected{Error::cancelled()};
        }
        if (auto decoded = decode(lastDecoder->get(), groupPacket.get(), lastFrames); !decoded) {
            return Unexpected{decoded.error()};
        }
        // Only the newest picture matters.
        if (lastFrames.size() > 1) {
            lastFrames.erase(lastFrames.begin(), lastFrames.end() - 1);
        }
    }
    if (auto drained = decode(lastDecoder->get(), nullptr, lastFrames); !drained) {
        return Unexpected{drained.error()};
    }
    if (lastFrames.empty()) {
        return Unexpected{video(VideoCase::decodeFailed)};
    }
    auto finalAnchor = makeAnchor(lastFrames.back().get(), "final", count - 1, lastTime);
    if (!finalAnchor) {
        return Unexpected{finalAnchor.error()};
    }

    auto digest = hashFile(fd);
    if (!digest) {
        return Unexpected{digest.error()};
    }
    auto sizeAfter = regularFileSize(fd);
    if (!sizeAfter || *sizeAfter != *size) {
        return Unexpected{video(VideoCase::recordingChanged)};
    }
    HostedPreparedVideo prepared;
    prepared.clipPath = clipPath;
    prepared.clipBytes = *size;
    prepared.clipSHA256 = std::move(*digest);
    prepared.durationSeconds = duration;
    prepared.frameCount = count;
    prepared.anchors.push_back(std::move(*firstAnchor));
    prepared.anchors.push_back(std::move(*finalAnchor));
    return prepared;
}

} // namespace HostedVideoPreparation

} // namespace snagreel::app
