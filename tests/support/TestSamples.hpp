#pragma once

// Real H.264 frames for tests that need them (ring, export, upload): synthetic moving
// pictures encoded with the production encoder, forced to libx264.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Capture/CaptureSession.hpp"

#include <vector>

namespace snagreel::testing {

// An NV12 image, video range, with a gradient and a bright square whose position
// depends on `index` (so that consecutive images differ).
ScreenImage makeMovingImage(int width, int height, int index);

// `count` frames at `fps`, the first at `startTime` seconds, every frame one period
// long; the first frame is a keyframe and then one every round(fps) frames. Times
// are exact multiples of 1/kMediaTimescale (rounded), and the ReplayFrame fields
// match the sample (timestamp = presentationTime / kMediaTimescale, byteCount = the
// packet size). Empty when the encoder cannot be built.
std::vector<EncodedFrame> makeEncodedFrames(int count, double fps, double startTime,
                                            int width = 320, int height = 240);

} // namespace snagreel::testing
