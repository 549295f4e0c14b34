#pragma once

#include "SnagreelCore/Export/CaptureBundleWriter.hpp"
#include "SnagreelCore/Export/MP4Exporter.hpp"

#include <chrono>
#include <filesystem>

namespace snagreel {

// Exports through the FFmpeg MPEG-4 writer, on a new export queue per export.
ExportEnvironment linuxExportEnvironment();

// The FFmpeg writer and POSIX private files (fsync'd, renamed into place).
BundleFileOperations linuxBundleFiles();
BundleEnvironment linuxBundleEnvironment();

// makeBundleSaver(linuxBundleEnvironment()) for one save; matches BundleSaver.
void saveCaptureBundle(CaptureSnapshot snapshot, double requestedSeconds,
                       std::chrono::system_clock::time_point capturedAt,
                       const CaptureConfiguration& configuration,
                       std::filesystem::path capturesRoot, Completion<CaptureBundle> done);

} // namespace snagreel
