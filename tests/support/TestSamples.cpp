#include "support/TestSamples.hpp"

#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace snagreel::testing {

ScreenImage makeMovingImage(int width, int height, int index) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        return {};
    }
    frame->format = AV_PIX_FMT_NV12;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
        return {};
    }
    const int square = std::max(8, std::min(width, height) / 6);
    const int squareX = (index * 7) % std::max(1, width - square);
    const int squareY = (index * 3) % std::max(1, height - square);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < width; ++x) {
            const bool inSquare =
                x >= squareX && x < squareX + square && y >= squareY && y < squareY + square;
            row[x] = inSquare ? 235 : static_cast<std::uint8_t>(16 + ((x + y + index) % 200));
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        std::uint8_t* row = frame->data[1] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
        for (int x = 0; x < width / 2; ++x) {
            row[2 * x] = static_cast<std::uint8_t>(64 + (x + index) % 128);
            row[2 * x + 1] = static_cast<std::uint8_t>(64 + (y + 2 * index) % 128);
        }
    }
    ScreenImage image;
    image.frame = std::shared_ptr<const AVFrame>(frame, [](const AVFrame* f) {
        AVFrame* owned = const_cast<AVFrame*>(f);
        av_frame_free(&owned);
    });
    image.width = width;
    image.height = height;
    image.pixelFormat = AV_PIX_FMT_NV12;
    return image;
}

std::vector<EncodedFrame> makeEncodedFrames(int count, double fps, double startTime, int width,
                                            int height) {
    std::vector<EncodedFrame> frames;
    if (count <= 0 || !(fps > 0)) {
        return frames;
    }
    FFmpegEncoderOptions options;
    options.choice = EncoderChoice::libx264;
    options.readEnvironment = false;
    EncoderSettings settings;
    settings.width = width;
    settings.height = height;
    settings.framesPerSecond = std::max<std::int64_t>(1, std::llround(fps));
    auto encoder = makeFFmpegEncoderFactory(options)(settings, [&](EncoderOutput output) {
        if (output.status != 0 || output.dropped || !output.sample) {
            return;
        }
        const EncodedSample& sample = *output.sample;
        EncodedFrame frame;
        frame.timestamp = static_cast<double>(sample.presentationTime) / kMediaTimescale;
        frame.duration = static_cast<double>(sample.duration) / kMediaTimescale;
        frame.byteCount = sample.size();
        frame.isKeyframe = sample.isKeyframe();
        frame.payload = sample;
        frames.push_back(std::move(frame));
    });
    if (!encoder) {
        return frames;
    }
    const auto duration = static_cast<std::int64_t>(std::llround(kMediaTimescale / fps));
    std::int64_t last = 0;
    for (int i = 0; i < count; ++i) {
        const ScreenImage image = makeMovingImage(width, height, i);
        last = std::llround((startTime + i / fps) * kMediaTimescale);
        if ((*encoder)->encode(image, last, duration, i == 0) != 0) {
            break;
        }
    }
    (*encoder)->completeFrames(last);
    return frames;
}

} // namespace snagreel::testing
