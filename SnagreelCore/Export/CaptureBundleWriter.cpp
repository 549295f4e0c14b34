#include "SnagreelCore/Export/CaptureBundleWriter.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Support/Uuid.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>

namespace snagreel {

namespace {

bool complete(const BundleEnvironment& environment) {
    const BundleFileOperations& files = environment.files;
    return environment.exportEnvironment.makeWriter && files.createPrivateDirectory &&
           files.writeFileAtomically && files.setFileMode && files.removeDirectory;
}

void saveWith(const BundleEnvironment& environment, CaptureSnapshot snapshot,
              double requestedSeconds, std::chrono::system_clock::time_point capturedAt,
              const CaptureConfiguration& configuration, std::filesystem::path capturesRoot,
              Completion<CaptureBundle> done) {
    // Checked before anything touches the disk: with nothing to save, no directory
    // should appear even for a moment.
    if (snapshot.frames.empty() || !snapshot.frames.front().payload.format) {
        done(Unexpected{
            Error(CaptureError::unavailable("There are no decodable video frames yet."))});
        return;
    }
    if (!complete(environment)) {
        done(Unexpected{Error(CaptureError::unavailable("Saving clips is not available."))});
        return;
    }
    const BundleFileOperations& files = environment.files;
    CaptureBundle bundle;
    bundle.id = environment.makeIdentifier ? environment.makeIdentifier() : newCaptureIdentifier();
    bundle.directoryURL = capturesRoot / bundle.id;
    bundle.clipURL = bundle.directoryURL / kClipFileName;
    bundle.manifestURL = bundle.directoryURL / kManifestFileName;
    CaptureManifest manifest =
        makeCaptureManifest(snapshot, requestedSeconds, capturedAt, configuration, bundle.id);
    std::vector<EncodedFrame> frames = std::move(snapshot.frames);
    const double end = snapshot.end;

    // The directory is made on the export's writer queue, under its deadline, not on
    // the caller's thread. A creation that returns only after the export has failed
    // (and removed the directory) removes what it made: whichever of the two comes
    // second sees the other's mark.
    auto removed = std::make_shared<std::atomic<bool>>(false);
    ExportEnvironment exportEnvironment = environment.exportEnvironment;
    exportEnvironment.makeWriter =
        [files, bundle, removed, makeWriter = std::move(exportEnvironment.makeWriter)](
            const std::filesystem::path& path) -> Result<std::shared_ptr<MovieWriter>> {
        auto created = files.createPrivateDirectory(bundle.directoryURL);
        if (removed->load()) {
            if (created) {
                files.removeDirectory(bundle.directoryURL);
            }
            return Unexpected{Error::cancelled()};
        }
        if (!created) {
            return Unexpected{std::move(created).error()};
        }
        return makeWriter(path);
    };
    MP4Exporter::exportMovie(
        std::move(frames), end, bundle.clipURL,
        [files, bundle, removed, manifest = std::move(manifest),
         done = std::move(done)](Result<void> exported) {
            auto fail = [&](Error error) {
                removed->store(true);
                files.removeDirectory(bundle.directoryURL);
                done(Unexpected{std::move(error)});
            };
            if (!exported) {
                fail(std::move(exported).error());
                return;
            }
            if (auto mode = files.setFileMode(bundle.clipURL, 0600); !mode) {
                fail(std::move(mode).error());
                return;
            }
            auto text = encodeManifest(manifest);
            if (!text) {
                fail(Error(CaptureError::unavailable("The capture manifest cannot be written: " +
                                                     text.error().message)));
                return;
            }
            if (auto written = files.writeFileAtomically(bundle.manifestURL, *text, 0600);
                !written) {
                fail(std::move(written).error());
                return;
            }
            done(bundle);
        },
        std::move(exportEnvironment));
}

} // namespace

std::string formatCaptureDate(std::chrono::system_clock::time_point time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const std::time_t value = static_cast<std::time_t>(seconds.time_since_epoch().count());
    std::tm parts{};
    ::gmtime_r(&value, &parts);
    std::array<char, 32> text{};
    const std::size_t length =
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text.data(), length);
}

std::string newCaptureIdentifier() {
    return uuidString(randomUuid(), UuidCase::lower);
}

CaptureManifest makeCaptureManifest(const CaptureSnapshot& snapshot, double requestedSeconds,
                                    std::chrono::system_clock::time_point capturedAt,
                                    const CaptureConfiguration& configuration,
                                    std::string captureId) {
    CaptureManifest manifest;
    manifest.captureId = std::move(captureId);
    manifest.capturedAt = formatCaptureDate(capturedAt);
    manifest.requestedSeconds = requestedSeconds;
    manifest.actualSeconds =
        snapshot.frames.empty() ? 0 : snapshot.end - snapshot.frames.front().timestamp;
    manifest.endedBeforeTriggerSeconds = snapshot.endedBeforeTrigger;
    manifest.source = snapshot.source;
    manifest.gaps = snapshot.gaps;
    manifest.framesPerSecond = configuration.framesPerSecond;
    manifest.encodedFrameCount = static_cast<std::int64_t>(snapshot.frames.size());
    std::int64_t bytes = 0;
    for (const EncodedFrame& frame : snapshot.frames) {
        bytes += frame.byteCount;
    }
    manifest.bufferedBytes = bytes;
    manifest.diagnostics = snapshot.diagnostics;
    manifest.captureBackend = configuration.backend;
    return manifest;
}

CaptureBundleSaver makeBundleSaver(BundleEnvironment environment) {
    return [environment = std::move(environment)](CaptureSnapshot snapshot, double requestedSeconds,
                                                  std::chrono::system_clock::time_point capturedAt,
                                                  const CaptureConfiguration& configuration,
                                                  std::filesystem::path capturesRoot,
                                                  Completion<CaptureBundle> done) {
        saveWith(environment, std::move(snapshot), requestedSeconds, capturedAt, configuration,
                 std::move(capturesRoot), std::move(done));
    };
}

} // namespace snagreel
