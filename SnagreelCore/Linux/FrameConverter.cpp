#include "SnagreelCore/Linux/FrameConverter.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace snagreel {

namespace {

constexpr int kRowAlignment = 64;

// Rows per stripe of a partial conversion: even, as 4:2:0 chroma rows pair them.
constexpr int kStripe = 16;

int alignedStride(int width) {
    return (width + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
}

Error conversionError(const char* message) {
    return Error(CaptureError::unavailable(message));
}

// Whether two NV12 frames of one pool agree in the given rows (stripes as
// converted) of both planes.
bool sameRows(const AVFrame& a, const AVFrame& b, const std::vector<RowRange>& rows, int width,
              int height) {
    for (const RowRange& range : rows) {
        const int top = std::max(0, range.top / kStripe * kStripe);
        const int bottom = std::min(height, (range.bottom + kStripe - 1) / kStripe * kStripe);
        for (int plane = 0; plane < 2; ++plane) {
            const int first = plane == 0 ? top : top / 2;
            const int last = plane == 0 ? bottom : bottom / 2;
            const std::ptrdiff_t line = a.linesize[plane];
            const std::uint8_t* pa = a.data[plane] + first * line;
            const std::uint8_t* pb = b.data[plane] + first * line;
            // Rows are padded to the same stride: compare the block in one go, and
            // row by row only if the padding may differ.
            if (std::memcmp(pa, pb, static_cast<std::size_t>(line * (last - first))) != 0) {
                for (int y = first; y < last; ++y, pa += line, pb += line) {
                    if (std::memcmp(pa, pb, static_cast<std::size_t>(width)) != 0) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

} // namespace

struct FrameConverter::State {
    int sourceWidth = 0;
    int sourceHeight = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    SwsContext* scaler = nullptr;
    // Changed rows are converted in stripes of kStripe rows, each its own small
    // picture: the last stripe of an image whose height is no multiple of kStripe
    // has a context of its own.
    SwsContext* stripe = nullptr;
    SwsContext* lastStripe = nullptr;
    std::shared_ptr<const AVFrame> previous;
    // Pixel memory is recycled through the pool: a buffer returns to it when the last
    // image referring to it goes away, so steady-state capture touches no new pages.
    AVBufferPool* pool = nullptr;

    ~State() {
        sws_freeContext(scaler);
        sws_freeContext(stripe);
        sws_freeContext(lastStripe);
        // Buffers still referenced by live images keep the pool alive until released.
        av_buffer_pool_uninit(&pool);
    }
};

Result<std::unique_ptr<FrameConverter>>
FrameConverter::create(int sourceWidth, int sourceHeight, int width, int height, int poolSize) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || width < 2 || height < 2 || width % 2 != 0 ||
        height % 2 != 0 || poolSize < 1) {
        return Unexpected{conversionError("Screen capture returned an unexpected video format.")};
    }
    auto state = std::make_unique<State>();
    state->sourceWidth = sourceWidth;
    state->sourceHeight = sourceHeight;
    state->width = width;
    state->height = height;
    state->stride = alignedStride(width);
    const bool scaled = sourceWidth != width || sourceHeight != height;
    state->scaler =
        sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGR0, width, height, AV_PIX_FMT_NV12,
                       scaled ? SWS_FAST_BILINEAR : SWS_POINT, nullptr, nullptr, nullptr);
    if (state->scaler == nullptr) {
        return Unexpected{conversionError("Screen capture returned an unexpected video format.")};
    }
    // Screen pixels are full-range sRGB; the encoder expects BT.709 video range.
    sws_setColorspaceDetails(state->scaler, sws_getCoefficients(SWS_CS_ITU709), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    if (!scaled) {
        auto stripeContext = [&](int rows) -> SwsContext* {
            SwsContext* context =
                sws_getContext(width, rows, AV_PIX_FMT_BGR0, width, rows, AV_PIX_FMT_NV12,
                               SWS_POINT, nullptr, nullptr, nullptr);
            if (context != nullptr) {
                sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_ITU709), 1,
                                         sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16,
                                         1 << 16);
            }
            return context;
        };
        state->stripe = stripeContext(std::min(kStripe, height));
        if (height % kStripe != 0 && height > kStripe) {
            state->lastStripe = stripeContext(height % kStripe);
        }
    }
    const std::size_t bytes =
        static_cast<std::size_t>(state->stride) * static_cast<std::size_t>(height + height / 2);
    state->pool = av_buffer_pool_init(bytes, av_buffer_allocz);
    if (state->pool == nullptr) {
        return Unexpected{Error(PlatformError{kPosixDomain, ENOMEM, "Out of memory."})};
    }
    // Touch the first buffers now so the first captured frames do not pay for it.
    std::vector<AVBufferRef*> warm;
    for (int i = 0; i < poolSize; ++i) {
        if (AVBufferRef* buffer = av_buffer_pool_get(state->pool)) {
            warm.push_back(buffer);
        }
    }
    for (AVBufferRef*& buffer : warm) {
        av_buffer_unref(&buffer);
    }
    return std::unique_ptr<FrameConverter>(new FrameConverter(std::move(state)));
}

FrameConverter::FrameConverter(std::unique_ptr<State> state) : state_(std::move(state)) {}
FrameConverter::~FrameConverter() = default;

int FrameConverter::sourceWidth() const {
    return state_->sourceWidth;
}
int FrameConverter::sourceHeight() const {
    return state_->sourceHeight;
}
int FrameConverter::width() const {
    return state_->width;
}
int FrameConverter::height() const {
    return state_->height;
}

Result<ScreenImage> FrameConverter::convert(const std::uint8_t* bgrx, int stride) {
    const RowRange all{0, state_->sourceHeight};
    return convert(bgrx, stride, std::span(&all, 1));
}

Result<ScreenImage> FrameConverter::convert(const std::uint8_t* bgrx, int stride,
                                            std::span<const RowRange> changed) {
    State& s = *state_;
    if (bgrx == nullptr || stride < s.sourceWidth * 4) {
        return Unexpected{conversionError("Screen capture returned an unexpected video format.")};
    }
    const AVFrame* previous = s.previous.get();
    const bool everything = std::any_of(changed.begin(), changed.end(), [&](const RowRange& r) {
        return r.top <= 0 && r.bottom >= s.sourceHeight;
    });
    const bool partial = previous != nullptr && !everything && s.stripe != nullptr &&
                         (s.height % kStripe == 0 || s.height < kStripe || s.lastStripe);
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        return Unexpected{Error(PlatformError{kPosixDomain, ENOMEM, "Out of memory."})};
    }
    std::shared_ptr<const AVFrame> owned(frame, [](const AVFrame* f) {
        AVFrame* mutableFrame = const_cast<AVFrame*>(f);
        av_frame_free(&mutableFrame);
    });
    frame->buf[0] = av_buffer_pool_get(s.pool);
    if (frame->buf[0] == nullptr) {
        return Unexpected{Error(PlatformError{kPosixDomain, ENOMEM, "Out of memory."})};
    }
    frame->format = AV_PIX_FMT_NV12;
    frame->width = s.width;
    frame->height = s.height;
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = s.stride;
    frame->data[1] = frame->data[0] + static_cast<std::ptrdiff_t>(s.stride) * s.height;
    frame->linesize[1] = s.stride;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;

    const int sourceStrides[4] = {stride, 0, 0, 0};
    if (partial) {
        std::memcpy(frame->data[0], previous->data[0],
                    static_cast<std::size_t>(s.stride) * static_cast<std::size_t>(s.height) * 3 /
                        2);
        for (const RowRange& range : changed) {
            const int top = std::max(0, range.top / kStripe * kStripe);
            const int bottom = std::min(s.height, range.bottom);
            for (int y = top; y < bottom; y += kStripe) {
                const int rows = std::min(kStripe, s.height - y);
                SwsContext* context =
                    rows == kStripe || s.lastStripe == nullptr ? s.stripe : s.lastStripe;
                const std::uint8_t* const sourcePlanes[4] = {
                    bgrx + static_cast<std::ptrdiff_t>(y) * stride, nullptr, nullptr, nullptr};
                std::uint8_t* const planes[4] = {
                    frame->data[0] + static_cast<std::ptrdiff_t>(y) * s.stride,
                    frame->data[1] + static_cast<std::ptrdiff_t>(y / 2) * s.stride, nullptr,
                    nullptr};
                if (sws_scale(context, sourcePlanes, sourceStrides, 0, rows, planes,
                              frame->linesize) != rows) {
                    return Unexpected{
                        conversionError("Screen capture returned an unexpected video format.")};
                }
            }
        }
    } else {
        const std::uint8_t* const sourcePlanes[4] = {bgrx, nullptr, nullptr, nullptr};
        const int rows = sws_scale(s.scaler, sourcePlanes, sourceStrides, 0, s.sourceHeight,
                                   frame->data, frame->linesize);
        if (rows != s.height) {
            return Unexpected{
                conversionError("Screen capture returned an unexpected video format.")};
        }
    }
    // Pixels drawn again as they were (or a source that reads every frame whole)
    // give the last image itself, which the encoder then need not encode again.
    if (previous != nullptr) {
        const auto rows = partial ? std::vector<RowRange>(changed.begin(), changed.end())
                                  : std::vector<RowRange>{RowRange{0, s.height}};
        if (sameRows(*frame, *previous, rows, s.width, s.height)) {
            owned = s.previous;
        }
    }
    s.previous = owned;
    ScreenImage image;
    image.frame = std::move(owned);
    image.width = s.width;
    image.height = s.height;
    image.pixelFormat = AV_PIX_FMT_NV12;
    return image;
}

} // namespace snagreel
