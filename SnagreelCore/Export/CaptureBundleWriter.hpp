#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Capture/CaptureSession.hpp"
#include "SnagreelCore/Export/CaptureBundle.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Export/MP4Exporter.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace snagreel {

struct BundleEnvironment {
    ExportEnvironment exportEnvironment;
    // Empty: a new random lower-case UUID per save.
    std::function<std::string()> makeIdentifier;
};

// Saves a snapshot as a new capture directory under `capturesRoot`: "clip.mp4" and
// then "manifest.json", both 0600 in a 0700 directory. On any failure the directory
// is removed and the failed step's error reported. `done` is called once, on the
// export's queue (or inline when nothing could be started). Matches BundleSaver.
void saveCaptureBundle(CaptureSnapshot snapshot, double requestedSeconds,
                       std::chrono::system_clock::time_point capturedAt,
                       const CaptureConfiguration& configuration,
                       std::filesystem::path capturesRoot, Completion<CaptureBundle> done);

// The same save with its collaborators replaced (the writer, the export queue, the
// identifiers), as a BundleSaver.
std::function<void(CaptureSnapshot, double, std::chrono::system_clock::time_point,
                   const CaptureConfiguration&, std::filesystem::path, Completion<CaptureBundle>)>
makeBundleSaver(BundleEnvironment environment);

// The manifest of a snapshot saved as `captureId`.
CaptureManifest makeCaptureManifest(const CaptureSnapshot& snapshot, double requestedSeconds,
                                    std::chrono::system_clock::time_point capturedAt,
                                    const CaptureConfiguration& configuration,
                                    std::string captureId);

// ISO 8601 in UTC with whole seconds and "Z", e.g. "2026-12-05T05:31:49Z".
std::string formatCaptureDate(std::chrono::system_clock::time_point time);

// A new random (version 4) UUID in canonical lower-case form.
std::string newCaptureIdentifier();

} // namespace snagreel
