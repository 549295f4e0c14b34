#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"

#include "SnagreelCore/Linux/FFmpegMovieWriter.hpp"
#include "SnagreelCore/Linux/PrivateFiles.hpp"

namespace snagreel {

ExportEnvironment linuxExportEnvironment() {
    ExportEnvironment environment;
    environment.makeWriter = makeFFmpegMovieWriter;
    return environment;
}

BundleFileOperations linuxBundleFiles() {
    BundleFileOperations files;
    files.createPrivateDirectory = createPrivateDirectory;
    files.writeFileAtomically = writeFileAtomically;
    files.setFileMode = setFileMode;
    files.removeDirectory = removeDirectory;
    return files;
}

BundleEnvironment linuxBundleEnvironment() {
    BundleEnvironment environment;
    environment.exportEnvironment = linuxExportEnvironment();
    environment.files = linuxBundleFiles();
    return environment;
}

void saveCaptureBundle(CaptureSnapshot snapshot, double requestedSeconds,
                       std::chrono::system_clock::time_point capturedAt,
                       const CaptureConfiguration& configuration,
                       std::filesystem::path capturesRoot, Completion<CaptureBundle> done) {
    makeBundleSaver(linuxBundleEnvironment())(std::move(snapshot), requestedSeconds, capturedAt,
                                              configuration, std::move(capturesRoot),
                                              std::move(done));
}

} // namespace snagreel
