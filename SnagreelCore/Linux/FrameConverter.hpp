#pragma once

// Turns X11 screen pixels (32-bit BGRX, any stride) into the encoder's 4:2:0 image
// at the encoded size. Output frames come from a pool allocated once, so a running
// capture does not page-fault fresh memory for every frame.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace snagreel {

// Rows [top, bottom) of the source.
struct RowRange {
    int top = 0;
    int bottom = 0;
    bool operator==(const RowRange&) const = default;
};

class FrameConverter {
public:
    // Source size in pixels, encoded size (even, at most the source), and the pool
    // size: how many converted images may be alive at once before the pool grows.
    // Three cover a steady capture (the image in the queue, the engine's latest,
    // the converter's last); each more is 3 MiB at 1080p held for good.
    static Result<std::unique_ptr<FrameConverter>> create(int sourceWidth, int sourceHeight,
                                                          int width, int height, int poolSize = 3);
    ~FrameConverter();

    // NV12, BT.709 video range. `bgrx` points at sourceHeight rows of `stride` bytes.
    Result<ScreenImage> convert(const std::uint8_t* bgrx, int stride);
    // The same, for a source of which only `changed` rows differ from the one last
    // converted: the image is the last one with those rows converted again (a fresh
    // pooled frame; the last image stays as it was). Without a last image, or when
    // scaling, every row is converted.
    Result<ScreenImage> convert(const std::uint8_t* bgrx, int stride,
                                std::span<const RowRange> changed);

    int sourceWidth() const;
    int sourceHeight() const;
    int width() const;
    int height() const;

private:
    struct State;
    explicit FrameConverter(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace snagreel
