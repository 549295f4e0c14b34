#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"
#include "SnagreelCore/Ring/EncodedSample.hpp"
#include "SnagreelCore/Ring/ReplayRing.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <functional>
#include <vector>

namespace snagreel {

using EncodedFrame = ReplayFrame<EncodedSample>;

// The frames, gaps, source and diagnostics of one saved interval.
struct CaptureSnapshot {
    std::vector<EncodedFrame> frames;
    double end = 0;
    double endedBeforeTrigger = 0;
    CaptureSource source;
    std::vector<CaptureGap> gaps; // seconds from the first frame
    CaptureDiagnostics diagnostics;
};

// What the controller holds of an engine. Completions are called on the executor
// the engine was built with for its caller (the main executor).
class CaptureSession {
public:
    virtual ~CaptureSession() = default;
    // Completes once the source and encoder run.
    virtual void start(Completion<void> done) = 0;
    // Stops the source, tears down the encoder and discards what was captured.
    virtual void stop(std::function<void()> done) = 0;
    // Empties the rewind without stopping.
    virtual void clear() = 0;
    // Marks the engine dead at once; safe from any thread, any number of times.
    virtual void invalidate() = 0;
    // The last `seconds` before now.
    virtual void snapshot(double seconds, Completion<CaptureSnapshot> done) = 0;
};

} // namespace snagreel
