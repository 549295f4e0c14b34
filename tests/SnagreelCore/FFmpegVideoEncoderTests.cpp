#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Capture/H264SkipFrames.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/TestSamples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

using namespace snagreel;
using namespace snagreel::testing;

namespace {

FFmpegEncoderOptions softwareOptions() {
    FFmpegEncoderOptions options;
    options.choice = EncoderChoice::libx264;
    options.readEnvironment = false;
    return options;
}

EncoderSettings settings(int width = 320, int height = 240, std::int64_t fps = 15) {
    EncoderSettings s;
    s.width = width;
    s.height = height;
    s.framesPerSecond = fps;
    return s;
}

struct Collected {
    std::vector<EncoderOutput> outputs;
    std::function<void(EncoderOutput)> sink() {
        return [this](EncoderOutput output) { outputs.push_back(std::move(output)); };
    }
    std::vector<EncodedSample> samples() const {
        std::vector<EncodedSample> result;
        for (const auto& output : outputs) {
            if (output.sample) {
                result.push_back(*output.sample);
            }
        }
        return result;
    }
};

std::vector<int> keyframeIndices(const std::vector<EncodedSample>& samples) {
    std::vector<int> indices;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].isKeyframe()) {
            indices.push_back(static_cast<int>(i));
        }
    }
    return indices;
}

// The NAL unit types of a length-prefixed packet; empty when the lengths do not add
// up to the packet exactly.
std::vector<int> lengthPrefixedNalTypes(const EncodedSample& sample) {
    std::vector<int> types;
    const std::uint8_t* data = sample.data();
    const std::int64_t size = sample.size();
    std::int64_t at = 0;
    while (at + 4 <= size) {
        const std::int64_t length = (std::int64_t{data[at]} << 24) | (data[at + 1] << 16) |
                                    (data[at + 2] << 8) | data[at + 3];
        if (length <= 0 || at + 4 + length > size) {
            return {};
        }
        types.push_back(data[at + 4] & 0x1F);
        at += 4 + length;
    }
    return at == size ? types : std::vector<int>{};
}

// Muxes samples into an MP4 with libavformat the way an 'avc1' writer does: the avcC
// as the sample entry's configuration, the packets unchanged.
bool writeMp4(const std::vector<EncodedSample>& samples, const std::filesystem::path& path) {
    if (samples.empty()) {
        return false;
    }
    AVFormatContext* output = nullptr;
    if (avformat_alloc_output_context2(&output, nullptr, "mp4", path.c_str()) < 0) {
        return false;
    }
    bool ok = false;
    AVPacket* packet = av_packet_alloc();
    AVStream* stream = avformat_new_stream(output, nullptr);
    const CodecParameters& format = *samples.front().format;
    if (stream != nullptr && packet != nullptr) {
        stream->time_base = AVRational{1, static_cast<int>(kMediaTimescale)};
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = format.width;
        par->height = format.height;
        par->extradata = static_cast<std::uint8_t*>(
            av_mallocz(format.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        par->extradata_size = static_cast<int>(format.extradata.size());
        std::copy(format.extradata.begin(), format.extradata.end(), par->extradata);
        ok = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
             avformat_write_header(output, nullptr) >= 0;
        const std::int64_t origin = samples.front().presentationTime;
        for (std::size_t i = 0; ok && i < samples.size(); ++i) {
            ok = av_packet_ref(packet, samples[i].packet.get()) == 0;
            packet->stream_index = stream->index;
            packet->pts = packet->dts = samples[i].presentationTime - origin;
            packet->duration = samples[i].duration;
            av_packet_rescale_ts(packet, AVRational{1, static_cast<int>(kMediaTimescale)},
                                 stream->time_base);
            ok = ok && av_write_frame(output, packet) >= 0;
            av_packet_unref(packet);
        }
        ok = ok && av_write_trailer(output) >= 0;
    }
    av_packet_free(&packet);
    if (output->pb != nullptr) {
        avio_closep(&output->pb);
    }
    avformat_free_context(output);
    return ok;
}

std::string operationOf(const Error& error) {
    const CaptureError* capture = error.as<CaptureError>();
    return capture != nullptr ? capture->operation()
                              : "(not a CaptureError: " + error.description() + ")";
}

// ---- The stream as a decoder and ffprobe see it ----

TEST(FFmpegVideoEncoder, StreamIsHighProfileWithoutBFramesAndAnIdrEverySecond) {
    if (!ffprobeAvailable()) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    const auto frames = makeEncodedFrames(45, 15, 1000.0);
    ASSERT_EQ(frames.size(), 45u);
    std::vector<EncodedSample> samples;
    for (const auto& frame : frames) {
        samples.push_back(frame.payload);
        EXPECT_EQ(frame.byteCount, frame.payload.size());
        EXPECT_EQ(frame.isKeyframe, frame.payload.isKeyframe());
    }
    EXPECT_EQ(keyframeIndices(samples), (std::vector<int>{0, 15, 30}));
    EXPECT_EQ(samples.front().format->encoderName, "libx264");

    TemporaryDirectory directory;
    const auto file = directory.path() / "clip.mp4";
    ASSERT_TRUE(writeMp4(samples, file));
    std::string whyNot;
    const auto probe = ffprobe(file, &whyNot);
    ASSERT_TRUE(probe) << whyNot;
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_EQ(probe->profile, "High");
    EXPECT_EQ(probe->hasBFrames, 0);
    EXPECT_EQ(probe->codecTagString, "avc1");
    EXPECT_EQ(probe->width, 320);
    EXPECT_EQ(probe->height, 240);
    EXPECT_EQ(probe->avgFrameRate, "15/1");
    ASSERT_TRUE(probe->duration);
    EXPECT_NEAR(*probe->duration, 3.0, 0.01);
    EXPECT_EQ(probe->frameCount(), 45);
    EXPECT_EQ(probe->keyframeIndices, (std::vector<int>{0, 15, 30}));
    for (const auto& frame : probe->frames) {
        EXPECT_NE(frame.pictType, "B");
    }
    EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();

    const DecodeReport decoded = fullyDecodes(file);
    EXPECT_TRUE(decoded.ok()) << decoded.packets << " packets, " << decoded.frames << " frames, "
                              << (decoded.errors.empty() ? "" : decoded.errors.front());
}

TEST(FFmpegVideoEncoder, ExtradataIsAvcCAndPacketsAreLengthPrefixed) {
    // Two threads make libx264 cut frames into slices, whose later start codes are
    // three bytes long: the packets must still come out length-prefixed.
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        FFmpegEncoderOptions options = softwareOptions();
        options.x264Threads = threads;
        Collected collected;
        auto encoder = makeFFmpegEncoderFactory(options)(settings(640, 480), collected.sink());
        ASSERT_TRUE(encoder);
        for (int i = 0; i < 16; ++i) {
            ASSERT_EQ((*encoder)->encode(makeMovingImage(640, 480, i), i * 40000, 40000, false), 0);
        }
        const auto samples = collected.samples();
        ASSERT_EQ(samples.size(), 16u);

        const std::vector<std::uint8_t>& avcC = samples.front().format->extradata;
        ASSERT_GE(avcC.size(), 11u);
        EXPECT_EQ(avcC[0], 1);        // configurationVersion
        EXPECT_EQ(avcC[1], 100);      // High
        EXPECT_EQ(avcC[4] & 0x03, 3); // 4-byte NAL lengths
        EXPECT_EQ(avcC[5] & 0x1F, 1); // one SPS
        const std::size_t spsLength = (avcC[6] << 8) | avcC[7];
        ASSERT_LT(8 + spsLength + 3, avcC.size());
        EXPECT_EQ(avcC[8] & 0x1F, 7);
        EXPECT_EQ(avcC[8 + spsLength], 1); // one PPS
        const std::size_t ppsLength = (avcC[9 + spsLength] << 8) | avcC[10 + spsLength];
        EXPECT_EQ(avcC[11 + spsLength] & 0x1F, 8);
        // High profile records end with the 4:2:0, 8-bit extension.
        ASSERT_EQ(avcC.size(), 11 + spsLength + ppsLength + 4);
        EXPECT_EQ(avcC[avcC.size() - 4], 0xFD);
        EXPECT_EQ(avcC[avcC.size() - 3], 0xF8);

        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto types = lengthPrefixedNalTypes(samples[i]);
            ASSERT_FALSE(types.empty()) << "packet " << i << " is not length-prefixed";
            const bool hasIdr = std::find(types.begin(), types.end(), 5) != types.end();
            EXPECT_EQ(hasIdr, samples[i].isKeyframe()) << "packet " << i;
            EXPECT_EQ(std::count(types.begin(), types.end(), 7), 0) << "SPS in packet " << i;
        }
    }
}

TEST(FFmpegVideoEncoder, AvcCFromAnnexBHandlesShortStartCodesAndEscapes) {
    // SPS: High (100), level 31, sps_id 0, chroma_format_idc 1, both bit depths 8:
    // ue(0)=1, ue(1)=010, ue(0)=1, ue(0)=1 -> 1010 11.. then escaped zeros.
    const std::vector<std::uint8_t> annexB{0,  0,    0,    1,    0x67, 100,  0,
                                           31, 0xAC, 0x00, 0x00, 0x03, 0x01, // SPS with an escape
                                           0,  0,    1,    0x06, 5,    1,    0x80, // SEI, ignored
                                           0,  0,    1,    0x68, 0xEE, 0x3C, 0x80, // PPS
                                           0,  0};                                 // trailing zeros
    const auto record = avcCFromAnnexB(annexB);
    ASSERT_TRUE(record);
    const std::vector<std::uint8_t> expected{1,    100,  0,    31,   0xFF, 0xE1, 0,    9, 0x67, 100,
                                             0,    31,   0xAC, 0x00, 0x00, 0x03, 0x01, 1, 0,    4,
                                             0x68, 0xEE, 0x3C, 0x80, 0xFD, 0xF8, 0xF8, 0};
    EXPECT_EQ(*record, expected);

    const std::vector<std::uint8_t> noPps(annexB.begin(), annexB.begin() + 13);
    EXPECT_FALSE(avcCFromAnnexB(noPps));
    EXPECT_FALSE(avcCFromAnnexB({}));
}

// ---- Timing, keyframes and draining ----

TEST(FFmpegVideoEncoder, TimesAreCarriedExactlyAndEachFrameComesOutInline) {
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    // Irregular: a late frame, a hole of two seconds, odd durations, a huge clock.
    const std::vector<std::pair<std::int64_t, std::int64_t>> times{
        {7'200'000'000'000, 40000}, {7'200'000'040'000, 40000}, {7'200'000'083'333, 39999},
        {7'200'001'283'333, 40000}, {7'200'001'323'334, 1},     {7'200'001'400'000, 600000}};
    for (std::size_t i = 0; i < times.size(); ++i) {
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, static_cast<int>(i)), times[i].first,
                                     times[i].second, i == 0),
                  0);
        ASSERT_EQ(collected.outputs.size(), i + 1) << "frame " << i << " was held back";
        const EncoderOutput& output = collected.outputs.back();
        EXPECT_EQ(output.status, 0);
        EXPECT_FALSE(output.dropped);
        ASSERT_TRUE(output.sample);
        EXPECT_EQ(output.sample->presentationTime, times[i].first);
        EXPECT_EQ(output.sample->duration, times[i].second);
        EXPECT_GT(output.sample->size(), 0);
    }
}

TEST(FFmpegVideoEncoder, ForcedKeyframeIsAnIdrAndRestartsTheSecond) {
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    for (int i = 0; i < 40; ++i) {
        const bool force = i == 0 || i == 7;
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, i), i * 40000, 40000, force), 0);
    }
    const auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 40u);
    EXPECT_EQ(keyframeIndices(samples), (std::vector<int>{0, 7, 22, 37}));
    const auto types = lengthPrefixedNalTypes(samples[7]);
    EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end());
}

TEST(FFmpegVideoEncoder, CompleteFramesDrainsWithoutEndingTheStream) {
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, i), i * 40000, 40000, i == 0), 0);
    }
    (*encoder)->completeFrames(4 * 40000);
    EXPECT_EQ(collected.samples().size(), 5u);
    (*encoder)->completeFrames(4 * 40000); // nothing left, nothing repeated
    EXPECT_EQ(collected.outputs.size(), 5u);

    // A flush would have ended the stream: encoding must go on after a drain.
    for (int i = 5; i < 20; ++i) {
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, i), i * 40000, 40000, false), 0);
    }
    (*encoder)->completeFrames(19 * 40000);
    const auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 20u);
    EXPECT_EQ(keyframeIndices(samples), (std::vector<int>{0, 15}));
}

// An encoder that holds frames back (frame threads here, a hardware queue in the
// field) must still hand out everything up to the cut, and go on afterwards with a
// stream that does not refer back across it.
TEST(FFmpegVideoEncoder, CompleteFramesGetsHeldBackFramesOutAndEncodingGoesOn) {
    FFmpegEncoderOptions delaying = softwareOptions();
    delaying.x264Tune.clear();
    delaying.x264Threads = 4;
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(delaying)(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, i), i * 40000, 40000, i == 0), 0);
    }
    ASSERT_LT(collected.samples().size(), 6u) << "this encoder was meant to hold frames back";
    (*encoder)->completeFrames(5 * 40000);
    auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 6u);
    EXPECT_EQ(samples.back().presentationTime, 5 * 40000);

    for (int i = 6; i < 12; ++i) {
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, i), i * 40000, 40000, false), 0);
    }
    (*encoder)->completeFrames(11 * 40000);
    samples = collected.samples();
    ASSERT_EQ(samples.size(), 12u);
    EXPECT_EQ(samples.back().presentationTime, 11 * 40000);
    TemporaryDirectory directory;
    const auto path = directory.path() / "cut.mp4";
    ASSERT_TRUE(writeMp4(samples, path));
    const DecodeReport decoded = fullyDecodes(path);
    EXPECT_TRUE(decoded.ok()) << decoded.frames << " of " << decoded.packets;
    EXPECT_EQ(decoded.frames, 12);
}

TEST(FFmpegVideoEncoder, PlanarImagesAreConvertedAndWrongSizesRefused) {
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(settings(), collected.sink());
    ASSERT_TRUE(encoder);

    AVFrame* planar = av_frame_alloc();
    planar->format = AV_PIX_FMT_YUV420P;
    planar->width = 320;
    planar->height = 240;
    ASSERT_EQ(av_frame_get_buffer(planar, 0), 0);
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? 240 : 120;
        for (int y = 0; y < rows; ++y) {
            std::fill_n(planar->data[plane] + y * planar->linesize[plane], plane == 0 ? 320 : 160,
                        static_cast<std::uint8_t>(plane == 0 ? 100 : 128));
        }
    }
    ScreenImage image{std::shared_ptr<const AVFrame>(planar,
                                                     [](const AVFrame* f) {
                                                         AVFrame* owned = const_cast<AVFrame*>(f);
                                                         av_frame_free(&owned);
                                                     }),
                      320, 240, AV_PIX_FMT_YUV420P};
    EXPECT_EQ((*encoder)->encode(image, 0, 40000, true), 0);
    EXPECT_EQ((*encoder)->encode(image, 40000, 40000, false), 0);
    EXPECT_EQ(collected.samples().size(), 2u);

    EXPECT_EQ((*encoder)->encode(makeMovingImage(640, 480, 0), 80000, 40000, false),
              AVERROR(EINVAL));
    EXPECT_EQ((*encoder)->encode(ScreenImage{}, 80000, 40000, false), AVERROR(EINVAL));
    // The stream goes on after a refused image.
    EXPECT_EQ((*encoder)->encode(makeMovingImage(320, 240, 1), 80000, 40000, false), 0);
    EXPECT_EQ(collected.samples().size(), 3u);
}

TEST(FFmpegVideoEncoder, InvalidatedEncoderRefusesFramesAndStaysSilent) {
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, 0), 0, 40000, true), 0);
    (*encoder)->invalidate();
    (*encoder)->invalidate();
    EXPECT_LT((*encoder)->encode(makeMovingImage(320, 240, 1), 40000, 40000, false), 0);
    (*encoder)->completeFrames(40000);
    EXPECT_EQ(collected.outputs.size(), 1u);
}

TEST(FFmpegVideoEncoder, NoSecondOfTheStreamExceedsTheByteLimit) {
    // Noise is what a rate cap has to hold back; a small limit makes it bite at a
    // small size. The first second includes the keyframe into a full buffer.
    EncoderSettings s = settings();
    s.averageBitRate = 200000;
    s.bytesPerSecondLimit = 40000;
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(softwareOptions())(s, collected.sink());
    ASSERT_TRUE(encoder);
    std::uint32_t state = 12345;
    for (int i = 0; i < 60; ++i) {
        AVFrame* frame = av_frame_clone(makeMovingImage(320, 240, i).frame.get());
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(av_frame_make_writable(frame), 0);
        for (int plane = 0; plane < 2; ++plane) {
            for (int y = 0; y < (plane == 0 ? 240 : 120); ++y) {
                for (int x = 0; x < 320; ++x) {
                    state = state * 1664525u + 1013904223u;
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        static_cast<std::uint8_t>(16 + (state >> 24) % 220);
                }
            }
        }
        ScreenImage image{std::shared_ptr<const AVFrame>(frame,
                                                         [](const AVFrame* f) {
                                                             AVFrame* owned =
                                                                 const_cast<AVFrame*>(f);
                                                             av_frame_free(&owned);
                                                         }),
                          320, 240, AV_PIX_FMT_NV12};
        ASSERT_EQ((*encoder)->encode(image, i * 40000, 40000, i == 0), 0);
    }
    const auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 60u);
    for (std::size_t start = 0; start + 15 <= samples.size(); ++start) {
        std::int64_t bytes = 0;
        for (std::size_t i = start; i < start + 15; ++i) {
            bytes += samples[i].size();
        }
        EXPECT_LE(bytes, 40000) << "frames " << start << " to " << start + 14;
    }
}

// ---- Building ----

TEST(FFmpegVideoEncoder, SettingsTheStreamCannotHaveAreRefusedWhileConfiguring) {
    std::vector<EncoderSettings> refused;
    refused.push_back(settings(321, 240));
    refused.push_back(settings(320, 241));
    refused.push_back(settings(0, 240));
    refused.push_back(settings(320, 240, 0));
    refused.push_back(settings(320, 240, -15));
    EncoderSettings noRate = settings();
    noRate.averageBitRate = 0;
    refused.push_back(noRate);
    EncoderSettings noLimit = settings();
    noLimit.bytesPerSecondLimit = 0;
    refused.push_back(noLimit);

    for (EncoderChoice choice : {EncoderChoice::libx264, EncoderChoice::automatic}) {
        FFmpegEncoderOptions options = softwareOptions();
        options.choice = choice;
        for (const EncoderSettings& s : refused) {
            SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + "@" +
                         std::to_string(s.framesPerSecond));
            bool called = false;
            auto encoder =
                makeFFmpegEncoderFactory(options)(s, [&](EncoderOutput) { called = true; });
            ASSERT_FALSE(encoder);
            EXPECT_EQ(operationOf(encoder.error()), "Configuring H.264 encoder");
            const CaptureError* capture = encoder.error().as<CaptureError>();
            ASSERT_NE(capture, nullptr);
            EXPECT_EQ(capture->statusCode(), AVERROR(EINVAL));
            EXPECT_EQ(encoder.error().description(), "Configuring H.264 encoder failed (" +
                                                         std::to_string(AVERROR(EINVAL)) + ").");
            EXPECT_FALSE(called);
        }
    }
}

TEST(FFmpegVideoEncoder, AutomaticChoiceFallsBackToLibx264WithoutUsableHardware) {
    TemporaryDirectory directory;
    // A render node that is no device at all, and a tree without any.
    std::ofstream(directory.path() / "renderD128") << "not a device";
    for (const std::string& tree :
         {directory.path().string(), (directory.path() / "missing").string()}) {
        SCOPED_TRACE(tree);
        FFmpegEncoderOptions options;
        options.renderNodeDirectory = tree;
        options.readEnvironment = false;
        Collected collected;
        auto encoder = makeFFmpegEncoderFactory(options)(settings(), collected.sink());
        ASSERT_TRUE(encoder) << encoder.error().description();
        EXPECT_EQ((*encoder)->name(), "libx264");
        ASSERT_EQ((*encoder)->encode(makeMovingImage(320, 240, 0), 0, 40000, true), 0);
        ASSERT_EQ(collected.samples().size(), 1u);
        EXPECT_EQ(collected.samples().front().format->encoderName, "libx264");
        EXPECT_TRUE(collected.samples().front().isKeyframe());
    }
}

TEST(FFmpegVideoEncoder, EnvironmentForcesLibx264) {
    const char* previous = std::getenv("SNAGREEL_ENCODER");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("SNAGREEL_ENCODER", "libx264", 1);
    FFmpegEncoderOptions options; // automatic, reads the environment
    auto encoder = makeFFmpegEncoderFactory(options)(settings(), [](EncoderOutput) {});
    if (previous != nullptr) {
        ::setenv("SNAGREEL_ENCODER", saved.c_str(), 1);
    } else {
        ::unsetenv("SNAGREEL_ENCODER");
    }
    ASSERT_TRUE(encoder);
    EXPECT_EQ((*encoder)->name(), "libx264");
}

// ---- Unchanged images without the encoder ----

// The MD5 of each decoded picture, from ffmpeg with every decoding error fatal.
std::vector<std::string> decodedPictureDigests(const std::filesystem::path& file,
                                               std::string* errors) {
    auto run = runProgram(
        {"ffmpeg", "-xerror", "-v", "error", "-i", file.string(), "-f", "framemd5", "-"});
    std::vector<std::string> digests;
    if (!run || run->exitStatus != 0) {
        *errors = run ? run->err : "ffmpeg cannot be run";
        return digests;
    }
    *errors = run->err;
    std::istringstream lines(run->out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            digests.push_back(line.substr(line.rfind(',') + 1));
        }
    }
    return digests;
}

TEST(FFmpegVideoEncoder, StillImagesRepeatThePictureBeforeAcrossKeyframesAndChanges) {
    if (!ffprobeAvailable()) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    // Two threads cut every frame into slices, each with a frame number of its own.
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        FFmpegEncoderOptions options = softwareOptions();
        options.x264Threads = threads;
        Collected collected;
        auto encoder = makeFFmpegEncoderFactory(options)(settings(), collected.sink());
        ASSERT_TRUE(encoder);
        // moving 0-4, still 5-24 (the encoder's own IDR at 15), moving 25-29, still 30-49
        // (an encoded IDR at 30, the same IDR sent again at 45), moving 50-55.
        const ScreenImage first = makeMovingImage(320, 240, 100);
        const ScreenImage second = makeMovingImage(320, 240, 200);
        auto imageAt = [&](int i) -> ScreenImage {
            if (i >= 5 && i < 25) {
                return first;
            }
            if (i >= 30 && i < 50) {
                return second;
            }
            return makeMovingImage(320, 240, i);
        };
        const int count = 56;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ((*encoder)->encode(imageAt(i), 1000 * i, 1000, false), 0) << i;
        }
        const auto samples = collected.samples();
        ASSERT_EQ(samples.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(keyframeIndices(samples), (std::vector<int>{0, 15, 30, 45}));
        EXPECT_EQ(samples[45].size(), samples[30].size());

        TemporaryDirectory directory;
        const auto file = directory.path() / "clip.mp4";
        ASSERT_TRUE(writeMp4(samples, file));
        std::string whyNot;
        const auto probe = ffprobe(file, &whyNot);
        ASSERT_TRUE(probe) << whyNot;
        EXPECT_EQ(probe->profile, "High");
        EXPECT_EQ(probe->hasBFrames, 0);
        EXPECT_EQ(probe->keyframeIndices, (std::vector<int>{0, 15, 30, 45}));
        EXPECT_TRUE(probe->decodeErrors.empty()) << probe->decodeErrors.front();
        EXPECT_TRUE(fullyDecodes(file).ok());

        std::string errors;
        const auto digests = decodedPictureDigests(file, &errors);
        ASSERT_EQ(digests.size(), static_cast<std::size_t>(count)) << errors;
        EXPECT_TRUE(errors.empty()) << errors;
        for (int i = 1; i < count; ++i) {
            const bool repeated = (i > 5 && i < 25 && i != 15) || (i > 30 && i < 50);
            EXPECT_EQ(digests[static_cast<std::size_t>(i)] ==
                          digests[static_cast<std::size_t>(i - 1)],
                      repeated)
                << "picture " << i;
            if (repeated && i != 45) {
                EXPECT_LT(samples[static_cast<std::size_t>(i)].size(), 32) << "picture " << i;
            }
        }
    }
}

TEST(FFmpegVideoEncoder, SkippingCanBeTurnedOffAndFrameNumbersAreRewrittenWithEscapes) {
    FFmpegEncoderOptions options = softwareOptions();
    options.skipUnchangedImages = false;
    Collected collected;
    auto encoder = makeFFmpegEncoderFactory(options)(settings(), collected.sink());
    ASSERT_TRUE(encoder);
    const ScreenImage still = makeMovingImage(320, 240, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ((*encoder)->encode(still, 1000 * i, 1000, false), 0);
    }
    const auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_GT(samples[2].size(), 32); // the encoder's own frame, not a skip

    auto skip = H264SkipFrames::fromAvcC(samples[0].format->extradata);
    ASSERT_TRUE(skip);
    EXPECT_FALSE(H264SkipFrames::fromAvcC(std::vector<std::uint8_t>{1, 100, 0, 40, 0xFF}));
    // A P slice header (first_mb 0, type 5, PPS 0) with frame_num 1, zeros up to
    // bit 30 and a stop bit: frame_num 0 turns bytes 1-3 into 00 00 03, an emulated
    // start code that must be escaped.
    const int frameBits = std::countr_zero(skip->maxFrameNum());
    ASSERT_LE(frameBits, 16);
    const std::string bits = "1"
                             "00110"
                             "1" +
                             std::string(frameBits - 1, '0') + "1" +
                             std::string(23 - frameBits, '0') + "1" + "1";
    ASSERT_EQ(bits.size(), 32u);
    std::vector<std::uint8_t> nal{0x41};
    for (std::size_t at = 0; at < bits.size(); at += 8) {
        nal.push_back(static_cast<std::uint8_t>(std::stoi(bits.substr(at, 8), nullptr, 2)));
    }
    auto prefixed = [](std::vector<std::uint8_t> unit) {
        const auto n = static_cast<std::uint8_t>(unit.size());
        unit.insert(unit.begin(), {0, 0, 0, n});
        return unit;
    };
    const std::vector<std::uint8_t> original = prefixed(nal);
    const auto zeroPair = [](std::uint8_t a, std::uint8_t b) { return a == 0 && b == 0; };
    ASSERT_EQ(std::adjacent_find(original.begin() + 4, original.end(), zeroPair), original.end());
    std::vector<std::uint8_t> unit = original;
    ASSERT_TRUE(skip->retimeSlices(unit, 0));
    EXPECT_EQ(unit.size(), original.size() + 1);
    EXPECT_EQ(unit[3], original[3] + 1);
    EXPECT_EQ(skip->inspect(unit)->frameNum, 0u);
    ASSERT_TRUE(skip->retimeSlices(unit, skip->maxFrameNum() + 1)); // wraps to 1
    EXPECT_EQ(unit, original);
    const auto own =
        skip->inspect(std::span(samples[0].data(), static_cast<std::size_t>(samples[0].size())));
    ASSERT_TRUE(own);
    EXPECT_TRUE(own->idr);
    std::vector<std::uint8_t> broken = original;
    broken[3] += 1;
    EXPECT_FALSE(skip->retimeSlices(broken, 3));
    EXPECT_EQ(broken[3], original[3] + 1);
}

} // namespace
