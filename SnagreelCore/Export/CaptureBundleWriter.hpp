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
#include <string_view>

namespace snagreel {

// What a save needs of the file system, supplied by the platform
// (linuxBundleEnvironment() on Linux).
struct BundleFileOperations {
    // Creates the directory and any missing parents with mode 0700; fails when the
    // directory itself already exists.
    std::function<Result<void>(const std::filesystem::path& directory)> createPrivateDirectory;
    // Replaces the file whole or not at all, durably, with `mode`.
    std::function<Result<void>(const std::filesystem::path& path, std::string_view bytes,
                               unsigned mode)>
        writeFileAtomically;
    std::function<Result<void>(const std::filesystem::path& path, unsigned mode)> setFileMode;
    // Removes the directory and everything in it, ignoring failures.
    std::function<void(const std::filesystem::path& directory)> removeDirectory;
};

struct BundleEnvironment {
    ExportEnvironment exportEnvironment;
    BundleFileOperations files;
    // Empty: a new random lower-case UUID per save.
    std::function<std::string()> makeIdentifier;
};

using CaptureBundleSaver = std::function<void(
    CaptureSnapshot, double, std::chrono::system_clock::time_point, const CaptureConfiguration&,
    std::filesystem::path, Completion<CaptureBundle>)>;

// Saves a snapshot as a new capture directory under the captures root given to the
// saver: "clip.mp4" and then "manifest.json", both 0600 in a 0700 directory. On any
// failure the directory is removed and the failed step's error reported. `done` is
// called once, on the export's queue (or inline when nothing could be started). A
// BundleSaver; an environment missing the writer or a file operation fails every save.
CaptureBundleSaver makeBundleSaver(BundleEnvironment environment);

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
