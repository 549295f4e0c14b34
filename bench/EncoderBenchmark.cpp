// What one 1920x1080 frame costs the software encoder, for each libx264 preset and
// thread count we could run, on a still screen, on a scrolling one and on noise (the
// case where only the rate cap keeps the stream in bounds). At 15 fps the frame
// budget is 66.7 ms, and capture and conversion share the same two cores.
//
// Counters: bits_per_second is the stream's rate at 15 fps; peak_bytes_per_second
// is the largest sum over any 15 consecutive frames (the cap is 750000);
// keyframe_bytes is the mean size of an IDR.

#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

namespace {

using namespace snagreel;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 15;
constexpr std::int64_t kPeriod = kMediaTimescale / kFps;

enum class Content { still, scrolling, noise };

ScreenImage wrap(AVFrame* frame) {
    ScreenImage image;
    image.frame = std::shared_ptr<const AVFrame>(frame, [](const AVFrame* f) {
        AVFrame* owned = const_cast<AVFrame*>(f);
        av_frame_free(&owned);
    });
    image.width = frame->width;
    image.height = frame->height;
    image.pixelFormat = frame->format;
    return image;
}

// Something like a page of text: light background, dark glyph-sized blocks in
// lines, a few coloured panels; `offset` scrolls it vertically.
ScreenImage page(int offset, std::mt19937& random, bool noise) {
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = kWidth;
    frame->height = kHeight;
    av_frame_get_buffer(frame, 0);
    std::uniform_int_distribution<int> byte(16, 235);
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        const int line = (y + offset) % 24;
        const int lineIndex = (y + offset) / 24;
        for (int x = 0; x < kWidth; ++x) {
            if (noise) {
                row[x] = static_cast<std::uint8_t>(byte(random));
                continue;
            }
            const int glyph = (x / 9 + lineIndex * 7) % 13;
            const bool ink = line > 4 && line < 18 && glyph > 2 && (x % 9) < 6 &&
                             ((x * 31 + (y + offset) * 17 + lineIndex) % 5) < 3;
            row[x] = ink ? 40 : (x < 300 ? 200 : 230);
        }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        std::uint8_t* row = frame->data[1] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
        for (int x = 0; x < kWidth / 2; ++x) {
            row[2 * x] = noise ? static_cast<std::uint8_t>(byte(random)) : (x < 150 ? 150 : 128);
            row[2 * x + 1] = noise ? static_cast<std::uint8_t>(byte(random)) : 128;
        }
    }
    return wrap(frame);
}

std::vector<ScreenImage> images(Content content) {
    std::mt19937 random(7);
    std::vector<ScreenImage> result;
    const int count = content == Content::still ? 1 : 30;
    for (int i = 0; i < count; ++i) {
        result.push_back(
            page(content == Content::scrolling ? i * 6 : 0, random, content == Content::noise));
    }
    return result;
}

void encodeFrames(benchmark::State& state, const char* preset, int threads, Content content) {
    av_log_set_level(AV_LOG_ERROR);
    const auto pictures = images(content);
    FFmpegEncoderOptions options;
    options.choice = EncoderChoice::libx264;
    options.readEnvironment = false;
    options.x264Preset = preset;
    options.x264Threads = threads;
    EncoderSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.framesPerSecond = kFps;

    std::int64_t bytes = 0;
    std::int64_t frames = 0;
    std::int64_t keyframeBytes = 0;
    std::int64_t keyframes = 0;
    std::deque<std::int64_t> window;
    std::int64_t windowBytes = 0;
    std::int64_t peak = 0;
    auto encoder = makeFFmpegEncoderFactory(options)(settings, [&](EncoderOutput output) {
        if (!output.sample) {
            return;
        }
        const std::int64_t size = output.sample->size();
        bytes += size;
        ++frames;
        if (output.sample->isKeyframe()) {
            keyframeBytes += size;
            ++keyframes;
        }
        window.push_back(size);
        windowBytes += size;
        if (window.size() > static_cast<std::size_t>(kFps)) {
            windowBytes -= window.front();
            window.pop_front();
        }
        peak = std::max(peak, windowBytes);
    });
    if (!encoder) {
        state.SkipWithError(encoder.error().description().c_str());
        return;
    }
    std::int64_t index = 0;
    for (auto _ : state) {
        const ScreenImage& image = pictures[static_cast<std::size_t>(index) % pictures.size()];
        benchmark::DoNotOptimize((*encoder)->encode(image, index * kPeriod, kPeriod, index == 0));
        ++index;
    }
    (*encoder)->completeFrames(index * kPeriod);
    if (frames > 0) {
        state.counters["bits_per_second"] =
            static_cast<double>(bytes) * 8 * kFps / static_cast<double>(frames);
        state.counters["peak_bytes_per_second"] = static_cast<double>(peak);
    }
    if (keyframes > 0) {
        state.counters["keyframe_bytes"] =
            static_cast<double>(keyframeBytes) / static_cast<double>(keyframes);
    }
}

void registerAll() {
    const std::pair<const char*, Content> contents[] = {
        {"still", Content::still}, {"scrolling", Content::scrolling}, {"noise", Content::noise}};
    for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
        for (int threads : {1, 2}) {
            for (const auto& [name, content] : contents) {
                const std::string label = std::string("Encode1080p/") + preset +
                                          "/threads:" + std::to_string(threads) + "/" + name;
                benchmark::RegisterBenchmark(
                    label.c_str(),
                    [preset, threads, content = content](benchmark::State& state) {
                        encodeFrames(state, preset, threads, content);
                    })
                    ->Unit(benchmark::kMillisecond)
                    ->Iterations(150)
                    ->UseRealTime();
            }
        }
    }
}

const bool registered = (registerAll(), true);

} // namespace

BENCHMARK_MAIN();
