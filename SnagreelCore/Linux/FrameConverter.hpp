#pragma once

// Turns X11 screen pixels (32-bit BGRX, any stride) into the encoder's 4:2:0 image
// at the encoded size. Output frames come from a pool allocated once, so a running
// capture does not page-fault fresh memory for every frame.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <cstdint>
#include <memory>

namespace snagreel {

class FrameConverter {
public:
    // Source size in pixels, encoded size (even, at most the source), and the pool
    // size: how many converted images may be alive at once before the pool grows.
    static Result<std::unique_ptr<FrameConverter>> create(int sourceWidth, int sourceHeight,
                                                          int width, int height,
                                                          int poolSize = 8);
    ~FrameConverter();

    // NV12, BT.709 video range. `bgrx` points at sourceHeight rows of `stride` bytes.
    Result<ScreenImage> convert(const std::uint8_t* bgrx, int stride);

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
