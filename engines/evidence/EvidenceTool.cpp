// snagreel-evidence: the heavy half of the report engines. It decodes a saved
// clip once, picks the key moments (the first frame, the frames where the
// screen changed, the last frame), writes each one as a downscaled PNG, reads
// the text on it with Tesseract and, when asked, writes a downscaled JPEG about
// every N seconds for engines that show the clip to a model.
//
//   snagreel-evidence --clip FILE --out DIR [--max-width PIXELS]
//                     [--max-moments N] [--every SECONDS] [--sample-width PIXELS]
//                     [--no-ocr]
//
// It writes DIR/frames/*.png, DIR/samples/*.jpg and DIR/moments.json (what the
// driver scripts read), prints one short progress line per step on stdout, and
// on failure prints one sentence on stderr and exits 1 (2 for a usage error).
// DIR must exist; nothing outside it is written.

#include <tesseract/baseapi.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Failure {
    std::string sentence;
};

struct Options {
    fs::path clip;
    fs::path out;
    int maxWidth = 1280;
    int maxMoments = 16;
    double every = 0; // 0: no samples
    int sampleWidth = 768;
    bool ocr = true;
};

[[noreturn]] void usage(const std::string& message) {
    std::fprintf(stderr,
                 "%s\nusage: snagreel-evidence --clip FILE --out DIR [--max-width PIXELS] "
                 "[--max-moments N] [--every SECONDS] [--sample-width PIXELS] [--no-ocr]\n",
                 message.c_str());
    std::exit(2);
}

double positive(const char* text, const char* option) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || !std::isfinite(value)) {
        usage(std::string("not a positive number for ") + option);
    }
    return value;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage("missing value for " + arg);
            }
            return argv[++i];
        };
        if (arg == "--clip") {
            options.clip = value();
        } else if (arg == "--out") {
            options.out = value();
        } else if (arg == "--max-width") {
            options.maxWidth = std::max(16, static_cast<int>(positive(value(), "--max-width")));
        } else if (arg == "--max-moments") {
            options.maxMoments = std::max(2, static_cast<int>(positive(value(), "--max-moments")));
        } else if (arg == "--every") {
            options.every = positive(value(), "--every");
        } else if (arg == "--sample-width") {
            options.sampleWidth =
                std::max(16, static_cast<int>(positive(value(), "--sample-width")));
        } else if (arg == "--no-ocr") {
            options.ocr = false;
        } else {
            usage("unknown argument " + arg);
        }
    }
    if (options.clip.empty() || options.out.empty()) {
        usage("--clip and --out are required");
    }
    return options;
}

void progress(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

template <typename T, void (*Free)(T**)> struct Owned {
    T* p = nullptr;
    Owned() = default;
    explicit Owned(T* value) : p(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (p) {
            Free(&p);
        }
    }
    T* operator->() const { return p; }
    T* get() const { return p; }
};

void freeFrame(AVFrame** f) {
    av_frame_free(f);
}
void freePacket(AVPacket** p) {
    av_packet_free(p);
}
void freeCodec(AVCodecContext** c) {
    avcodec_free_context(c);
}
void closeInput(AVFormatContext** f) {
    avformat_close_input(f);
}

using Frame = Owned<AVFrame, freeFrame>;
using Packet = Owned<AVPacket, freePacket>;
using Codec = Owned<AVCodecContext, freeCodec>;
using Input = Owned<AVFormatContext, closeInput>;

struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};

// One plane of 8-bit pixels.
struct Gray {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// Converts `frame` to `format` at width x height; one cached context per use.
class Scaler {
public:
    Scaler(AVPixelFormat format) : format_(format) {}

    // Returns a frame owned by the caller.
    AVFrame* scale(const AVFrame* frame, int width, int height) {
        context_.reset(sws_getCachedContext(context_.release(), frame->width, frame->height,
                                            static_cast<AVPixelFormat>(frame->format), width,
                                            height, format_, SWS_AREA, nullptr, nullptr, nullptr));
        if (!context_) {
            throw Failure{"The recording's frames could not be converted."};
        }
        AVFrame* out = av_frame_alloc();
        if (out) {
            out->format = format_;
            out->width = width;
            out->height = height;
        }
        if (!out || av_frame_get_buffer(out, 0) < 0) {
            av_frame_free(&out);
            throw Failure{"Out of memory while reading the recording."};
        }
        sws_scale(context_.get(), frame->data, frame->linesize, 0, frame->height, out->data,
                  out->linesize);
        return out;
    }

    Gray gray(const AVFrame* frame, int width, int height) {
        Frame scaled(scale(frame, width, height));
        Gray result{width, height, std::vector<std::uint8_t>(std::size_t(width) * height)};
        for (int y = 0; y < height; ++y) {
            std::memcpy(result.pixels.data() + std::size_t(y) * width,
                        scaled->data[0] + std::size_t(y) * scaled->linesize[0], width);
        }
        return result;
    }

private:
    AVPixelFormat format_;
    std::unique_ptr<SwsContext, SwsDeleter> context_;
};

// A 160x90 thumbnail for change detection: each pixel the mean of its block, so
// a thin line of new text still shifts it. For the decoder's usual planar YUV
// output the luma plane is summed directly, much cheaper than a scaling pass.
Gray thumbnail(const AVFrame* frame, Scaler& scaler) {
    constexpr int kWidth = 160;
    constexpr int kHeight = 90;
    const auto format = static_cast<AVPixelFormat>(frame->format);
    if ((format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) || frame->width < kWidth ||
        frame->height < kHeight) {
        return scaler.gray(frame, kWidth, kHeight);
    }
    // Every other row is enough: text strokes are taller than one pixel.
    std::vector<std::uint32_t> sums(std::size_t(kWidth) * kHeight, 0);
    std::vector<std::uint32_t> counts(sums.size(), 0);
    std::vector<int> edges(kWidth + 1);
    for (int x = 0; x <= kWidth; ++x) {
        edges[x] = x * frame->width / kWidth;
    }
    for (int y = 0; y < frame->height; y += 2) {
        const std::uint8_t* row = frame->data[0] + std::size_t(y) * frame->linesize[0];
        const std::size_t base = std::size_t(y * kHeight / frame->height) * kWidth;
        for (int x = 0; x < kWidth; ++x) {
            std::uint32_t sum = 0;
            for (int i = edges[x]; i < edges[x + 1]; ++i) {
                sum += row[i];
            }
            sums[base + x] += sum;
            counts[base + x] += std::uint32_t(edges[x + 1] - edges[x]);
        }
    }
    Gray result{kWidth, kHeight, std::vector<std::uint8_t>(sums.size())};
    for (std::size_t i = 0; i < sums.size(); ++i) {
        result.pixels[i] = std::uint8_t(sums[i] / std::max<std::uint32_t>(1, counts[i]));
    }
    return result;
}

// Share of pixels that moved by more than a little between two thumbnails.
double changedShare(const Gray& a, const Gray& b) {
    if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) {
        return 1.0;
    }
    std::size_t changed = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) {
        if (std::abs(int(a.pixels[i]) - int(b.pixels[i])) > 16) {
            ++changed;
        }
    }
    return double(changed) / double(a.pixels.size());
}

// Encodes one picture with an FFmpeg image encoder and writes it to `path`.
void writeImage(const AVFrame* frame, AVCodecID id, const fs::path& path) {
    const AVCodec* encoder = avcodec_find_encoder(id);
    if (!encoder) {
        throw Failure{"This FFmpeg cannot write evidence images."};
    }
    Codec context(avcodec_alloc_context3(encoder));
    context->width = frame->width;
    context->height = frame->height;
    context->pix_fmt = static_cast<AVPixelFormat>(frame->format);
    context->time_base = AVRational{1, 1};
    if (id == AV_CODEC_ID_MJPEG) {
        context->flags |= AV_CODEC_FLAG_QSCALE;
        context->global_quality = FF_QP2LAMBDA * 4;
        context->color_range = AVCOL_RANGE_JPEG;
    }
    Packet packet(av_packet_alloc());
    if (avcodec_open2(context.get(), encoder, nullptr) < 0 ||
        avcodec_send_frame(context.get(), frame) < 0 ||
        avcodec_send_frame(context.get(), nullptr) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0) {
        throw Failure{"An evidence image could not be encoded."};
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(packet->data), packet->size);
    if (!file.flush()) {
        throw Failure{"An evidence image could not be written."};
    }
}

std::pair<int, int> fitWidth(int width, int height, int maxWidth) {
    if (width <= maxWidth) {
        return {width & ~1, height & ~1};
    }
    const int h = int(std::lround(double(height) * maxWidth / width));
    return {maxWidth & ~1, std::max(2, h & ~1)};
}

std::string ocrText(const Gray& image) {
    tesseract::TessBaseAPI api;
    if (api.Init(nullptr, "eng", tesseract::OEM_DEFAULT) != 0) {
        throw Failure{"Tesseract's English data is missing; install tesseract-ocr-eng."};
    }
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(image.pixels.data(), image.width, image.height, 1, image.width);
    api.SetSourceResolution(96);
    std::unique_ptr<char[]> text(api.GetUTF8Text());
    api.End();
    return text ? std::string(text.get()) : std::string();
}

struct Moment {
    std::string id;
    double time = 0;
    std::string reason; // "start", "change", "end"
    double change = 0;
    std::string path;
    std::future<std::string> text;
};

struct Sample {
    double time = 0;
    std::string path;
};

class Extractor {
public:
    explicit Extractor(Options options)
        : options_(std::move(options)), rgb_(AV_PIX_FMT_RGB24), yuvj_(AV_PIX_FMT_YUVJ420P),
          thumb_(AV_PIX_FMT_GRAY8), ocrScale_(AV_PIX_FMT_GRAY8) {}

    nlohmann::json run() {
        open();
        fs::create_directories(options_.out / "frames");
        if (options_.every > 0) {
            fs::create_directories(options_.out / "samples");
        }
        progress("Reading the recording…");
        decodeAll();
        if (decoded_ == 0) {
            throw Failure{"The recording holds no frames that can be decoded."};
        }
        if (expected_ > 0 && decoded_ < expected_) {
            throw Failure{"The recording is truncated: only " + std::to_string(decoded_) +
                          " of its " + std::to_string(expected_) + " frames could be read."};
        }
        if (lastFrame_.get() && lastIndex_ != momentIndex_) {
            addMoment(lastFrame_.get(), lastTime_, "end", 0);
        } else if (!moments_.empty() && moments_.back().reason == "start") {
            moments_.back().reason = "start and end";
        }
        const double duration = std::max(lastTime_ + frameStep_, 1.0 / 1000);
        nlohmann::json result;
        result["durationSeconds"] = duration;
        result["width"] = width_;
        result["height"] = height_;
        result["frameCount"] = decoded_;
        result["keyMoments"] = nlohmann::json::array();
        std::size_t read = 0;
        for (Moment& moment : moments_) {
            if (options_.ocr) {
                ++read;
                progress("Reading on-screen text (" + std::to_string(read) + " of " +
                         std::to_string(moments_.size()) + ")…");
            }
            std::string text = moment.text.valid() ? moment.text.get() : std::string();
            result["keyMoments"].push_back({{"id", moment.id},
                                            {"timestampSeconds", std::min(moment.time, duration)},
                                            {"path", moment.path},
                                            {"reason", moment.reason},
                                            {"changedShare", moment.change},
                                            {"text", text}});
        }
        result["samples"] = nlohmann::json::array();
        for (const Sample& sample : samples_) {
            result["samples"].push_back(
                {{"timestampSeconds", std::min(sample.time, duration)}, {"path", sample.path}});
        }
        return result;
    }

private:
    void open() {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, options_.clip.c_str(), nullptr, nullptr) < 0) {
            throw Failure{fs::exists(options_.clip)
                              ? "The recording cannot be read; the file is damaged or truncated."
                              : "The capture has no recording (clip.mp4 is missing)."};
        }
        input_.p = raw;
        if (avformat_find_stream_info(input_.get(), nullptr) < 0) {
            throw Failure{"The recording cannot be read; the file is damaged or truncated."};
        }
        stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            throw Failure{"The recording holds no video."};
        }
        const AVStream* stream = input_->streams[stream_];
        if (stream->codecpar->codec_id != AV_CODEC_ID_H264) {
            throw Failure{"The recording is not H.264 video, so it was not made by Snagreel."};
        }
        const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
        decoder_.p = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
        decoder_->thread_count = 2;
        if (avcodec_open2(decoder_.get(), decoder, nullptr) < 0) {
            throw Failure{"The recording's video cannot be decoded."};
        }
        timeBase_ = stream->time_base;
        expected_ = stream->nb_frames;
        width_ = stream->codecpar->width;
        height_ = stream->codecpar->height;
        const AVRational rate =
            stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : AVRational{15, 1};
        frameStep_ = av_q2d(av_inv_q(rate));
        double duration = 0;
        if (stream->duration > 0) {
            duration = double(stream->duration) * av_q2d(timeBase_);
        } else if (input_->duration > 0) {
            duration = double(input_->duration) / AV_TIME_BASE;
        }
        // Screen changes closer together than this collapse into one key moment,
        // which bounds the number of moments (and of OCR runs) for any clip.
        spacing_ = std::max(1.0, duration / double(options_.maxMoments - 1));
    }

    void decodeAll() {
        Packet packet(av_packet_alloc());
        Frame frame(av_frame_alloc());
        for (;;) {
            const int read = av_read_frame(input_.get(), packet.get());
            if (read == AVERROR_EOF) {
                break;
            }
            if (read < 0) {
                throw Failure{"The recording is damaged: its data cannot be read to the end."};
            }
            if (packet->stream_index == stream_) {
                if (avcodec_send_packet(decoder_.get(), packet.get()) < 0) {
                    throw Failure{"The recording is damaged: a frame cannot be decoded."};
                }
                drain(frame.get());
            }
            av_packet_unref(packet.get());
        }
        avcodec_send_packet(decoder_.get(), nullptr);
        drain(frame.get());
    }

    void drain(AVFrame* frame) {
        for (;;) {
            const int got = avcodec_receive_frame(decoder_.get(), frame);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) {
                return;
            }
            if (got < 0) {
                throw Failure{"The recording is damaged: a frame cannot be decoded."};
            }
            if (frame->decode_error_flags != 0) {
                throw Failure{"The recording is damaged: a frame decodes with errors."};
            }
            onFrame(frame);
            av_frame_unref(frame);
        }
    }

    void onFrame(AVFrame* frame) {
        const std::int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                                     ? frame->best_effort_timestamp
                                     : frame->pts;
        double time =
            pts != AV_NOPTS_VALUE ? double(pts) * av_q2d(timeBase_) : double(decoded_) * frameStep_;
        if (!firstTime_) {
            firstTime_ = time;
        }
        time = std::max(0.0, time - *firstTime_);
        const std::int64_t index = decoded_++;
        Gray thumb = thumbnail(frame, thumb_);

        if (moments_.empty()) {
            addMoment(frame, time, "start", 0);
            reference_ = thumb;
        } else if (pending_) {
            // Wait for the screen to settle after a change before taking its
            // picture, so text that is still being drawn is read whole.
            const bool settled = changedShare(thumb, previous_) < 0.002;
            if (settled || time - pendingSince_ >= 0.6) {
                addMoment(frame, time, "change", pendingShare_);
                reference_ = thumb;
                pending_ = false;
            }
        } else if (time - moments_.back().time >= spacing_) {
            const double share = changedShare(thumb, reference_);
            if (share > 0.004) {
                pending_ = true;
                pendingSince_ = time;
                pendingShare_ = share;
                if (changedShare(thumb, previous_) < 0.002) {
                    addMoment(frame, time, "change", share);
                    reference_ = thumb;
                    pending_ = false;
                }
            }
        }
        if (options_.every > 0 && time + 1e-6 >= nextSample_) {
            addSample(frame, time);
            nextSample_ = (std::floor(time / options_.every + 1e-6) + 1) * options_.every;
        }
        previous_ = std::move(thumb);
        lastTime_ = time;
        lastIndex_ = index;
        if (!lastFrame_.get()) {
            lastFrame_.p = av_frame_alloc();
        }
        av_frame_unref(lastFrame_.get());
        av_frame_ref(lastFrame_.get(), frame);
    }

    void addMoment(const AVFrame* frame, double time, const char* reason, double share) {
        Moment moment;
        char id[16];
        std::snprintf(id, sizeof id, "moment-%02zu", moments_.size() + 1);
        moment.id = id;
        moment.time = time;
        moment.reason = reason;
        moment.change = share;
        moment.path = "frames/" + moment.id + ".png";
        const auto [w, h] = fitWidth(frame->width, frame->height, options_.maxWidth);
        Frame picture(rgb_.scale(frame, w, h));
        writeImage(picture.get(), AV_CODEC_ID_PNG, options_.out / moment.path);
        if (options_.ocr) {
            // Tesseract reads best near the screen's own pixel size; very large
            // screens are brought down to 1920 wide to keep each read short.
            const auto [ow, oh] = fitWidth(frame->width, frame->height, 1920);
            auto image = std::make_shared<Gray>(ocrScale_.gray(frame, ow, oh));
            // Two readers at a time at most: the machine is shared with the decoder.
            if (moments_.size() >= 2 && moments_[moments_.size() - 2].text.valid()) {
                moments_[moments_.size() - 2].text.wait();
            }
            moment.text = std::async(std::launch::async, [image] { return ocrText(*image); });
        }
        momentIndex_ = decoded_ - 1;
        moments_.push_back(std::move(moment));
        if (moments_.size() % 4 == 1) {
            progress("Found " + std::to_string(moments_.size()) + " key moment" +
                     (moments_.size() == 1 ? "" : "s") + "…");
        }
    }

    void addSample(const AVFrame* frame, double time) {
        char name[32];
        std::snprintf(name, sizeof name, "samples/sample-%03zu.jpg", samples_.size() + 1);
        const auto [w, h] = fitWidth(frame->width, frame->height, options_.sampleWidth);
        Frame picture(yuvj_.scale(frame, w, h));
        writeImage(picture.get(), AV_CODEC_ID_MJPEG, options_.out / name);
        samples_.push_back({time, name});
    }

    Options options_;
    Input input_;
    Codec decoder_;
    int stream_ = -1;
    AVRational timeBase_{1, 1};
    std::int64_t expected_ = 0;
    int width_ = 0;
    int height_ = 0;
    double frameStep_ = 1.0 / 15;
    double spacing_ = 1.0;
    Scaler rgb_;
    Scaler yuvj_;
    Scaler thumb_;
    Scaler ocrScale_;
    std::int64_t decoded_ = 0;
    std::optional<double> firstTime_;
    Gray reference_;
    Gray previous_;
    bool pending_ = false;
    double pendingSince_ = 0;
    double pendingShare_ = 0;
    double nextSample_ = 0;
    double lastTime_ = 0;
    std::int64_t lastIndex_ = -1;
    std::int64_t momentIndex_ = -1;
    Frame lastFrame_;
    std::vector<Moment> moments_;
    std::vector<Sample> samples_;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    // Each Tesseract reader runs on its own thread; letting every one of them
    // also fan out over OpenMP would only fight over the same cores.
    ::setenv("OMP_THREAD_LIMIT", "1", 0);
    av_log_set_level(AV_LOG_QUIET);
    try {
        if (!fs::is_directory(options.out)) {
            throw Failure{"The evidence folder does not exist."};
        }
        nlohmann::json result = Extractor(options).run();
        const fs::path index = options.out / "moments.json";
        std::ofstream file(index, std::ios::trunc);
        file << result.dump(2) << '\n';
        if (!file.flush()) {
            throw Failure{"The key moments could not be written."};
        }
        return 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.sentence.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "The recording could not be read: %s\n", error.what());
    }
    return 1;
}
