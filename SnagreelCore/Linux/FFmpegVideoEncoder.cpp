#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Capture/H264Bitstream.hpp"
#include "SnagreelCore/Capture/H264SkipFrames.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace snagreel {

namespace {

constexpr const char* kCreating = "Creating hardware H.264 encoder";
constexpr const char* kConfiguring = "Configuring H.264 encoder";
constexpr const char* kPreparing = "Preparing H.264 encoder";

Error statusError(const char* operation, int status) {
    return Error(CaptureError::status(operation, status));
}

// ---- Annex B and avcC ----

struct NalUnit {
    std::size_t startCode = 0; // offset of the start code
    std::size_t startCodeLength = 0;
    std::size_t offset = 0; // offset of the NAL header byte
    std::size_t size = 0;
};

bool startsWithStartCode(std::span<const std::uint8_t> data) {
    return (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
           (data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

// Splits an Annex B byte stream at its start codes. Zero bytes that trail a NAL unit
// before the next start code belong to no unit (trailing_zero_8bits), except that
// one zero directly before 00 00 01 counts as a 4-byte start code.
template <typename Visit> void forEachNal(std::span<const std::uint8_t> data, Visit&& visit) {
    const std::size_t n = data.size();
    auto findStart = [&](std::size_t from) -> std::size_t {
        for (std::size_t i = from; i + 2 < n; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
                return i;
            }
        }
        return n;
    };
    std::size_t code = findStart(0);
    while (code < n) {
        std::size_t codeStart = code;
        if (codeStart > 0 && data[codeStart - 1] == 0) {
            --codeStart;
        }
        const std::size_t payload = code + 3;
        const std::size_t next = findStart(payload);
        std::size_t end = next;
        while (end > payload && data[end - 1] == 0) {
            --end;
        }
        if (end > payload) {
            visit(NalUnit{codeStart, payload - codeStart, payload, end - payload});
        }
        code = next;
    }
}

struct SpsFormat {
    std::uint32_t chromaFormat = 1;
    std::uint32_t bitDepthLumaMinus8 = 0;
    std::uint32_t bitDepthChromaMinus8 = 0;
};

std::optional<SpsFormat> readSpsFormat(std::span<const std::uint8_t> sps) {
    if (sps.empty()) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> rbsp = h264::unescape(sps);
    h264::BitReader reader(std::span<const std::uint8_t>(rbsp).subspan(1));
    const std::uint32_t profile = reader.bits(8);
    reader.bits(16);         // constraint flags, level
    reader.unsignedGolomb(); // seq_parameter_set_id
    if (reader.failed()) {
        return std::nullopt;
    }
    SpsFormat format;
    if (h264::profileHasFormatFields(profile)) {
        const std::uint32_t chroma = reader.unsignedGolomb();
        if (reader.failed() || chroma > 3) {
            return std::nullopt;
        }
        format.chromaFormat = chroma;
        if (chroma == 3) {
            reader.bits(1); // separate_colour_plane_flag
        }
        const std::uint32_t luma = reader.unsignedGolomb();
        const std::uint32_t chromaDepth = reader.unsignedGolomb();
        if (reader.failed() || luma > 6 || chromaDepth > 6) {
            return std::nullopt;
        }
        format.bitDepthLumaMinus8 = luma;
        format.bitDepthChromaMinus8 = chromaDepth;
    }
    return format;
}

void appendSized(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> nal) {
    out.push_back(static_cast<std::uint8_t>(nal.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(nal.size() & 0xFF));
    out.insert(out.end(), nal.begin(), nal.end());
}

void writeLength(std::uint8_t* at, std::size_t size) {
    at[0] = static_cast<std::uint8_t>(size >> 24);
    at[1] = static_cast<std::uint8_t>(size >> 16);
    at[2] = static_cast<std::uint8_t>(size >> 8);
    at[3] = static_cast<std::uint8_t>(size);
}

// Rewrites an Annex B packet as 4-byte length-prefixed NAL units. When every start
// code already has four bytes (libx264 with one slice per frame) the sizes replace
// the start codes in place; otherwise the units are copied into `scratch`'s new
// buffer, which then takes the packet's place.
int makeLengthPrefixed(AVPacket* packet, AVPacket* scratch) {
    std::span<const std::uint8_t> data(packet->data, static_cast<std::size_t>(packet->size));
    if (!startsWithStartCode(data)) {
        return 0; // already length-prefixed (or empty)
    }
    bool allLong = true;
    std::size_t total = 0;
    forEachNal(data, [&](const NalUnit& nal) {
        allLong = allLong && nal.startCodeLength == 4;
        total += 4 + nal.size;
    });
    if (allLong && total == data.size()) {
        if (int ret = av_packet_make_writable(packet); ret < 0) {
            return ret;
        }
        std::span<const std::uint8_t> writable(packet->data,
                                               static_cast<std::size_t>(packet->size));
        forEachNal(writable, [&](const NalUnit& nal) {
            writeLength(packet->data + nal.startCode, nal.size);
        });
        return 0;
    }
    if (total > static_cast<std::size_t>(INT32_MAX)) {
        return AVERROR(EINVAL);
    }
    if (int ret = av_new_packet(scratch, static_cast<int>(total)); ret < 0) {
        return ret;
    }
    std::uint8_t* out = scratch->data;
    forEachNal(data, [&](const NalUnit& nal) {
        writeLength(out, nal.size);
        std::memcpy(out + 4, data.data() + nal.offset, nal.size);
        out += 4 + nal.size;
    });
    if (int ret = av_packet_copy_props(scratch, packet); ret < 0) {
        av_packet_unref(scratch);
        return ret;
    }
    av_packet_unref(packet);
    av_packet_move_ref(packet, scratch);
    return 0;
}

// ---- Encoder candidates ----

enum class Backend { vaapi, nvenc, x264 };

const char* encoderName(Backend backend) {
    switch (backend) {
    case Backend::vaapi:
        return "h264_vaapi";
    case Backend::nvenc:
        return "h264_nvenc";
    case Backend::x264:
        return "libx264";
    }
    return "";
}

std::vector<std::string> renderNodes(const std::string& directory) {
    std::vector<std::string> nodes;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("renderD", 0) == 0) {
            nodes.push_back(it->path().string());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool nvidiaDevicePresent() {
    std::error_code error;
    return std::filesystem::exists("/dev/nvidiactl", error) ||
           std::filesystem::exists("/dev/nvidia0", error);
}

struct Pending {
    std::int64_t presentationTime = 0;
    std::int64_t duration = 0;
};

class FFmpegVideoEncoder final : public VideoEncoder {
public:
    FFmpegVideoEncoder(Backend backend, std::function<void(EncoderOutput)> onOutput)
        : backend_(backend), onOutput_(std::move(onOutput)) {}

    ~FFmpegVideoEncoder() override {
        avcodec_free_context(&context_);
        av_buffer_unref(&device_);
        av_frame_free(&input_);
        av_frame_free(&converted_);
        av_frame_free(&hardware_);
        av_packet_free(&packet_);
        av_packet_free(&scratch_);
        av_packet_free(&storedIdr_);
        sws_freeContext(scaler_);
    }

    FFmpegVideoEncoder(const FFmpegVideoEncoder&) = delete;
    FFmpegVideoEncoder& operator=(const FFmpegVideoEncoder&) = delete;

    Result<void> create(const FFmpegEncoderOptions& options) {
        const AVCodec* codec = avcodec_find_encoder_by_name(encoderName(backend_));
        if (codec == nullptr) {
            return Unexpected{statusError(kCreating, AVERROR_ENCODER_NOT_FOUND)};
        }
        if (backend_ == Backend::vaapi) {
            int ret = AVERROR(ENODEV);
            for (const std::string& node : renderNodes(options.renderNodeDirectory)) {
                ret = av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VAAPI, node.c_str(),
                                             nullptr, 0);
                if (ret >= 0) {
                    break;
                }
            }
            if (ret < 0) {
                return Unexpected{statusError(kCreating, ret)};
            }
        } else if (backend_ == Backend::nvenc && !nvidiaDevicePresent()) {
            return Unexpected{statusError(kCreating, AVERROR(ENODEV))};
        }
        context_ = avcodec_alloc_context3(codec);
        input_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        scratch_ = av_packet_alloc();
        if (context_ == nullptr || input_ == nullptr || packet_ == nullptr || scratch_ == nullptr) {
            return Unexpected{statusError(kCreating, AVERROR(ENOMEM))};
        }
        return {};
    }

    Result<void> configure(const EncoderSettings& settings, const FFmpegEncoderOptions& options) {
        AVCodecContext* c = context_;
        const int fps = static_cast<int>(settings.framesPerSecond);
        c->width = settings.width;
        c->height = settings.height;
        c->sample_aspect_ratio = AVRational{1, 1};
        c->time_base = AVRational{1, static_cast<int>(kMediaTimescale)};
        c->framerate = AVRational{fps, 1};
        c->gop_size = fps;
        c->keyint_min = fps;
        c->max_b_frames = 0;
        c->has_b_frames = 0;
        // The limit holds for any one-second window: the VBV lets at most its buffer
        // plus a second of its rate through in a second, so the two share the limit.
        // A fifth for the buffer still takes a 1080p keyframe of text in one piece.
        const std::int64_t bufferBytes = settings.bytesPerSecondLimit / 5;
        const std::int64_t maximumRate = (settings.bytesPerSecondLimit - bufferBytes) * 8;
        c->bit_rate = std::min(settings.averageBitRate, maximumRate);
        c->rc_max_rate = maximumRate;
        c->rc_buffer_size = static_cast<int>(bufferBytes * 8);
        c->rc_initial_buffer_occupancy = c->rc_buffer_size;
        c->profile = FF_PROFILE_H264_HIGH;
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        c->color_range = AVCOL_RANGE_MPEG;
        c->colorspace = AVCOL_SPC_BT709;
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_BT709;
        softwareFormat_ = AV_PIX_FMT_NV12;

        auto set = [&](const char* key, const char* value) {
            return av_opt_set(c->priv_data, key, value, 0);
        };
        int ret = 0;
        switch (backend_) {
        case Backend::x264:
            c->pix_fmt = AV_PIX_FMT_NV12;
            c->thread_count = std::max(1, options.x264Threads);
            // Scene cuts off: keyframes fall exactly every second and on request,
            // which is what the ring's group eviction and the clip start expect.
            // ultrafast drops the 8x8 transform, and with it High profile; it is
            // turned back on (cheap next to CABAC, which stays off).
            for (auto [key, value] :
                 {std::pair{"preset", options.x264Preset.c_str()},
                  std::pair{"tune", options.x264Tune.c_str()}, std::pair{"profile", "high"},
                  std::pair{"forced-idr", "1"}, std::pair{"x264-params", "scenecut=0:8x8dct=1"}}) {
                if (*value == '\0') {
                    continue;
                }
                if ((ret = set(key, value)) < 0) {
                    return Unexpected{statusError(kConfiguring, ret)};
                }
            }
            break;
        case Backend::nvenc:
            c->pix_fmt = AV_PIX_FMT_NV12;
            for (auto [key, value] :
                 {std::pair{"preset", "p2"}, std::pair{"tune", "ull"}, std::pair{"profile", "high"},
                  std::pair{"rc", "vbr"}, std::pair{"zerolatency", "1"}, std::pair{"delay", "0"},
                  std::pair{"forced-idr", "1"}}) {
                if ((ret = set(key, value)) < 0) {
                    return Unexpected{statusError(kConfiguring, ret)};
                }
            }
            break;
        case Backend::vaapi: {
            c->pix_fmt = AV_PIX_FMT_VAAPI;
            if ((ret = set("rc_mode", "VBR")) < 0) {
                return Unexpected{statusError(kConfiguring, ret)};
            }
            set("async_depth", "1"); // older libavcodec lacks it; latency is then higher
            AVBufferRef* frames = av_hwframe_ctx_alloc(device_);
            if (frames == nullptr) {
                return Unexpected{statusError(kConfiguring, AVERROR(ENOMEM))};
            }
            auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
            framesContext->format = AV_PIX_FMT_VAAPI;
            framesContext->sw_format = AV_PIX_FMT_NV12;
            framesContext->width = settings.width;
            framesContext->height = settings.height;
            framesContext->initial_pool_size = 8;
            if ((ret = av_hwframe_ctx_init(frames)) < 0) {
                av_buffer_unref(&frames);
                return Unexpected{statusError(kConfiguring, ret)};
            }
            c->hw_frames_ctx = frames; // the context owns it now
            hardware_ = av_frame_alloc();
            if (hardware_ == nullptr) {
                return Unexpected{statusError(kConfiguring, AVERROR(ENOMEM))};
            }
            break;
        }
        }
        return {};
    }

    Result<void> prepare(const EncoderSettings& settings) {
        if (int ret = avcodec_open2(context_, nullptr, nullptr); ret < 0) {
            return Unexpected{statusError(kPreparing, ret)};
        }
        auto parameters = std::make_shared<CodecParameters>();
        parameters->width = settings.width;
        parameters->height = settings.height;
        parameters->encoderName = encoderName(backend_);
        std::span<const std::uint8_t> extradata(
            context_->extradata, static_cast<std::size_t>(std::max(context_->extradata_size, 0)));
        if (!extradata.empty() && extradata[0] == 1) {
            parameters->extradata.assign(extradata.begin(), extradata.end());
        } else if (auto avcC = avcCFromAnnexB(extradata)) {
            parameters->extradata = std::move(*avcC);
        } else {
            return Unexpected{statusError(kPreparing, AVERROR_INVALIDDATA)};
        }
        format_ = std::move(parameters);
        // Each second must still start with an IDR of its own, so a one-frame second
        // has nothing to skip.
        if (backend_ == Backend::x264 && skipUnchanged_ && settings.framesPerSecond >= 2) {
            skip_ = H264SkipFrames::fromAvcC(format_->extradata);
        }
        return {};
    }

    void skipUnchangedImages(bool enabled) { skipUnchanged_ = enabled; }

    std::int32_t encode(const ScreenImage& image, std::int64_t presentationTime,
                        std::int64_t duration, bool forceKeyframe) override {
        if (invalidated_ || context_ == nullptr) {
            return AVERROR(EINVAL);
        }
        const AVFrame* source = image.frame.get();
        if (!image.isValid() || source->width != context_->width ||
            source->height != context_->height) {
            return AVERROR(EINVAL);
        }
        // Frames the encoder never sees do not count towards its keyframe interval,
        // so with skipping on the second's IDR is asked for here.
        if (skip_) {
            forceKeyframe = forceKeyframe || framesSinceKeyframe_ >= context_->gop_size;
            framesSinceKeyframe_ = forceKeyframe ? 1 : framesSinceKeyframe_ + 1;
        }
        // The same image again (an idle screen) repeats the picture before it without
        // the encoder. Only while the encoder holds no frame back: its packets and
        // ours must come out in order.
        if (skip_ && pending_.empty() && image.frame == lastImage_.lock()) {
            if (!forceKeyframe) {
                return emitSkip(presentationTime, duration);
            }
            if (storedIdr_ != nullptr && storedIdr_->size > 0) {
                return emitStoredIdr(presentationTime, duration);
            }
        }
        int ret = 0;
        if (source->format != softwareFormat_) {
            if ((ret = convert(*source)) < 0) {
                return ret;
            }
            source = converted_;
        }
        AVFrame* frame = input_;
        if (backend_ == Backend::vaapi) {
            if ((ret = av_hwframe_get_buffer(context_->hw_frames_ctx, hardware_, 0)) < 0) {
                return ret;
            }
            if ((ret = av_hwframe_transfer_data(hardware_, source, 0)) < 0) {
                av_frame_unref(hardware_);
                return ret;
            }
            frame = hardware_;
        } else if ((ret = av_frame_ref(input_, source)) < 0) {
            return ret;
        }
        frame->pts = presentationTime;
        frame->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
#ifdef AV_FRAME_FLAG_KEY
        if (forceKeyframe) {
            frame->flags |= AV_FRAME_FLAG_KEY;
        } else {
            frame->flags &= ~AV_FRAME_FLAG_KEY;
        }
#else
        frame->key_frame = forceKeyframe ? 1 : 0;
#endif
        pending_.push_back(Pending{presentationTime, duration});
        ret = avcodec_send_frame(context_, frame);
        if (ret == AVERROR(EAGAIN)) {
            drain();
            ret = avcodec_send_frame(context_, frame);
        }
        av_frame_unref(frame);
        if (ret < 0) {
            pending_.pop_back();
            return ret;
        }
        lastImage_ = image.frame;
        drain();
        return 0;
    }

    void completeFrames(std::int64_t until) override {
        if (invalidated_ || context_ == nullptr) {
            return;
        }
        drain();
        const bool heldBack =
            std::any_of(pending_.begin(), pending_.end(),
                        [until](const Pending& p) { return p.presentationTime <= until; });
        if (!heldBack) {
            return;
        }
        // The encoder keeps frames (frame threads, a hardware queue) that only the
        // end of the stream makes it give up. The stream then starts over, and the
        // frames after the cut must not refer to the ones before it.
        if (avcodec_send_frame(context_, nullptr) >= 0) {
            drain();
        }
        pending_.clear();
        if (!restart()) {
            invalidated_ = true;
        }
    }

    void invalidate() override {
        invalidated_ = true;
        pending_.clear();
    }

    std::string name() const override {
        return encoderName(backend_);
    }

    // Keeps what it takes to open the encoder again after a flush.
    void remember(const EncoderSettings& settings, const FFmpegEncoderOptions& options) {
        settings_ = settings;
        options_ = options;
    }

private:
    bool restart() {
        // Whatever the encoder does next, its next frame is an IDR of a new image:
        // nothing skipped or sent again may refer to what came before.
        lastImage_.reset();
        framesSinceKeyframe_ = INT32_MAX;
        if (storedIdr_ != nullptr) {
            av_packet_unref(storedIdr_);
        }
        if ((context_->codec->capabilities & AV_CODEC_CAP_ENCODER_FLUSH) != 0) {
            avcodec_flush_buffers(context_);
            return true;
        }
        avcodec_free_context(&context_);
        av_buffer_unref(&device_);
        av_frame_free(&hardware_);
        av_packet_free(&packet_);
        av_packet_free(&scratch_);
        av_frame_free(&input_);
        return create(options_) && configure(settings_, options_) && prepare(settings_);
    }

    int emitSkip(std::int64_t presentationTime, std::int64_t duration) {
        const std::vector<std::uint8_t> bytes = skip_->skipFrame(nextFrameNum_);
        if (int ret = av_new_packet(scratch_, static_cast<int>(bytes.size())); ret < 0) {
            return ret;
        }
        std::memcpy(scratch_->data, bytes.data(), bytes.size());
        scratch_->pts = scratch_->dts = presentationTime;
        scratch_->duration = duration;
        EncodedSample sample =
            EncodedSample::referencing(*scratch_, format_, presentationTime, duration);
        av_packet_unref(scratch_);
        if (!sample.packet) {
            return AVERROR(ENOMEM);
        }
        nextFrameNum_ = (nextFrameNum_ + 1) % skip_->maxFrameNum();
        deliver(EncoderOutput{0, false, std::move(sample)});
        return 0;
    }

    // The encoder's last output was an IDR of this very image, and its state has not
    // moved since: sending that IDR again leaves decoder and encoder where they were.
    int emitStoredIdr(std::int64_t presentationTime, std::int64_t duration) {
        EncodedSample sample =
            EncodedSample::referencing(*storedIdr_, format_, presentationTime, duration);
        if (!sample.packet) {
            return AVERROR(ENOMEM);
        }
        nextFrameNum_ = 1;
        deliver(EncoderOutput{0, false, std::move(sample)});
        return 0;
    }

    // Keeps the encoder's frame numbers in step with the frames skipped between its
    // own, and remembers its last IDR for the next still second.
    int followEncoderPacket() {
        if (storedIdr_ == nullptr && (storedIdr_ = av_packet_alloc()) == nullptr) {
            return AVERROR(ENOMEM);
        }
        av_packet_unref(storedIdr_);
        std::span<const std::uint8_t> unit(packet_->data, static_cast<std::size_t>(packet_->size));
        const auto slice = skip_->inspect(unit);
        if (!slice) {
            return AVERROR_INVALIDDATA;
        }
        if (slice->idr) {
            nextFrameNum_ = 1;
            return av_packet_ref(storedIdr_, packet_);
        }
        if (slice->frameNum != nextFrameNum_) {
            std::vector<std::uint8_t> bytes(unit.begin(), unit.end());
            if (!skip_->retimeSlices(bytes, nextFrameNum_)) {
                return AVERROR_INVALIDDATA;
            }
            if (int ret = av_new_packet(scratch_, static_cast<int>(bytes.size())); ret < 0) {
                return ret;
            }
            std::memcpy(scratch_->data, bytes.data(), bytes.size());
            if (int ret = av_packet_copy_props(scratch_, packet_); ret < 0) {
                av_packet_unref(scratch_);
                return ret;
            }
            av_packet_unref(packet_);
            av_packet_move_ref(packet_, scratch_);
        }
        nextFrameNum_ = (nextFrameNum_ + 1) % skip_->maxFrameNum();
        return 0;
    }

    int convert(const AVFrame& source) {
        if (converted_ == nullptr) {
            converted_ = av_frame_alloc();
            if (converted_ == nullptr) {
                return AVERROR(ENOMEM);
            }
            converted_->format = softwareFormat_;
            converted_->width = context_->width;
            converted_->height = context_->height;
            if (int ret = av_frame_get_buffer(converted_, 0); ret < 0) {
                return ret;
            }
        }
        scaler_ = sws_getCachedContext(scaler_, source.width, source.height,
                                       static_cast<AVPixelFormat>(source.format), converted_->width,
                                       converted_->height, softwareFormat_, SWS_POINT, nullptr,
                                       nullptr, nullptr);
        if (scaler_ == nullptr) {
            return AVERROR(EINVAL);
        }
        // The encoder may still hold the previous image; copy-on-write keeps it intact.
        if (int ret = av_frame_make_writable(converted_); ret < 0) {
            return ret;
        }
        sws_scale(scaler_, source.data, source.linesize, 0, source.height, converted_->data,
                  converted_->linesize);
        return 0;
    }

    void drain() {
        while (!invalidated_) {
            int ret = avcodec_receive_packet(context_, packet_);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
                return;
            }
            if (ret < 0) {
                if (!pending_.empty()) {
                    pending_.pop_front();
                }
                deliver(EncoderOutput{ret, false, std::nullopt});
                return;
            }
            deliverPacket();
        }
    }

    void deliverPacket() {
        // Frames the encoder skipped come before the one this packet belongs to;
        // each is reported as dropped so that the engine records the hole.
        Pending timing{packet_->pts, packet_->duration};
        auto match = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return p.presentationTime == timing.presentationTime;
        });
        if (match != pending_.end()) {
            const auto skipped = std::distance(pending_.begin(), match);
            timing = *match;
            pending_.erase(pending_.begin(), match + 1);
            for (std::ptrdiff_t i = 0; i < skipped && !invalidated_; ++i) {
                deliver(EncoderOutput{0, true, std::nullopt});
            }
        }
        int ret = makeLengthPrefixed(packet_, scratch_);
        if (ret >= 0 && skip_) {
            ret = followEncoderPacket();
        }
        if (ret < 0) {
            av_packet_unref(packet_);
            deliver(EncoderOutput{ret, false, std::nullopt});
            return;
        }
        EncodedSample sample =
            EncodedSample::referencing(*packet_, format_, timing.presentationTime, timing.duration);
        av_packet_unref(packet_);
        if (!sample.packet) {
            deliver(EncoderOutput{AVERROR(ENOMEM), false, std::nullopt});
            return;
        }
        deliver(EncoderOutput{0, false, std::move(sample)});
    }

    void deliver(EncoderOutput output) {
        if (!invalidated_ && onOutput_) {
            onOutput_(std::move(output));
        }
    }

    Backend backend_;
    std::function<void(EncoderOutput)> onOutput_;
    AVCodecContext* context_ = nullptr;
    AVBufferRef* device_ = nullptr;
    AVFrame* input_ = nullptr;
    AVFrame* converted_ = nullptr;
    AVFrame* hardware_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVPacket* scratch_ = nullptr;
    SwsContext* scaler_ = nullptr;
    AVPixelFormat softwareFormat_ = AV_PIX_FMT_NV12;
    std::shared_ptr<const CodecParameters> format_;
    std::deque<Pending> pending_;
    bool invalidated_ = false;
    EncoderSettings settings_;
    FFmpegEncoderOptions options_;
    // Unchanged images (libx264 only, where the stream's form allows it).
    bool skipUnchanged_ = true;
    std::optional<H264SkipFrames> skip_;
    std::weak_ptr<const AVFrame> lastImage_;
    std::uint32_t nextFrameNum_ = 0;
    int framesSinceKeyframe_ = INT32_MAX;
    AVPacket* storedIdr_ = nullptr;
};

Result<void> validate(const EncoderSettings& settings) {
    // H.264 4:2:0 needs even dimensions; the VBV buffer is an int in libavcodec.
    const bool sizeOK = settings.width >= 2 && settings.height >= 2 && settings.width <= 16384 &&
                        settings.height <= 16384 && settings.width % 2 == 0 &&
                        settings.height % 2 == 0;
    const bool rateOK = settings.framesPerSecond >= 1 && settings.framesPerSecond <= 240 &&
                        settings.averageBitRate > 0 && settings.bytesPerSecondLimit > 0 &&
                        settings.bytesPerSecondLimit <= INT32_MAX / 8;
    if (!sizeOK || !rateOK) {
        return Unexpected{statusError(kConfiguring, AVERROR(EINVAL))};
    }
    return {};
}

Result<std::unique_ptr<VideoEncoder>> open(Backend backend, const EncoderSettings& settings,
                                           const FFmpegEncoderOptions& options,
                                           std::function<void(EncoderOutput)> onOutput) {
    auto encoder = std::make_unique<FFmpegVideoEncoder>(backend, std::move(onOutput));
    encoder->skipUnchangedImages(options.skipUnchangedImages);
    if (auto r = encoder->create(options); !r) {
        return Unexpected{std::move(r).error()};
    }
    if (auto r = encoder->configure(settings, options); !r) {
        return Unexpected{std::move(r).error()};
    }
    if (auto r = encoder->prepare(settings); !r) {
        return Unexpected{std::move(r).error()};
    }
    encoder->remember(settings, options);
    return std::unique_ptr<VideoEncoder>(std::move(encoder));
}

} // namespace

std::optional<std::vector<std::uint8_t>> avcCFromAnnexB(std::span<const std::uint8_t> annexB) {
    std::vector<std::span<const std::uint8_t>> sps;
    std::vector<std::span<const std::uint8_t>> pps;
    forEachNal(annexB, [&](const NalUnit& nal) {
        auto unit = annexB.subspan(nal.offset, nal.size);
        const int type = unit[0] & 0x1F;
        if (type == 7 && unit.size() >= 4 && sps.size() < 31) {
            sps.push_back(unit);
        } else if (type == 8 && pps.size() < 255) {
            pps.push_back(unit);
        }
    });
    if (sps.empty() || pps.empty()) {
        return std::nullopt;
    }
    for (auto unit : sps) {
        if (unit.size() > 0xFFFF) {
            return std::nullopt;
        }
    }
    for (auto unit : pps) {
        if (unit.size() > 0xFFFF) {
            return std::nullopt;
        }
    }
    auto format = readSpsFormat(sps[0]);
    if (!format) {
        return std::nullopt;
    }
    const std::uint8_t profile = sps[0][1];
    std::vector<std::uint8_t> out{1, profile, sps[0][2], sps[0][3], 0xFF};
    out.push_back(static_cast<std::uint8_t>(0xE0 | sps.size()));
    for (auto unit : sps) {
        appendSized(out, unit);
    }
    out.push_back(static_cast<std::uint8_t>(pps.size()));
    for (auto unit : pps) {
        appendSized(out, unit);
    }
    if (profile != 66 && profile != 77 && profile != 88) {
        out.push_back(static_cast<std::uint8_t>(0xFC | format->chromaFormat));
        out.push_back(static_cast<std::uint8_t>(0xF8 | format->bitDepthLumaMinus8));
        out.push_back(static_cast<std::uint8_t>(0xF8 | format->bitDepthChromaMinus8));
        out.push_back(0); // no SPS extensions
    }
    return out;
}

EncoderFactory makeFFmpegEncoderFactory(EncoderChoice choice) {
    FFmpegEncoderOptions options;
    options.choice = choice;
    return makeFFmpegEncoderFactory(std::move(options));
}

EncoderFactory makeFFmpegEncoderFactory(FFmpegEncoderOptions options) {
    const auto candidate = [options](Backend backend) -> EncoderFactory {
        return [options, backend](const EncoderSettings& settings,
                                  std::function<void(EncoderOutput)> onOutput)
                   -> Result<std::unique_ptr<VideoEncoder>> {
            if (auto valid = validate(settings); !valid) {
                return Unexpected{std::move(valid).error()};
            }
            if (backend != Backend::x264 && options.readEnvironment) {
                const char* forced = std::getenv("SNAGREEL_ENCODER");
                if (forced != nullptr && std::strcmp(forced, "libx264") == 0) {
                    return Unexpected{statusError(kCreating, AVERROR(ENODEV))};
                }
            }
            return open(backend, settings, options, std::move(onOutput));
        };
    };
    std::vector<EncoderFactory> candidates;
    if (options.choice != EncoderChoice::libx264) {
        candidates.push_back(candidate(Backend::vaapi));
        candidates.push_back(candidate(Backend::nvenc));
    }
    candidates.push_back(candidate(Backend::x264));
    return fallingBackEncoderFactory(std::move(candidates));
}

} // namespace snagreel
