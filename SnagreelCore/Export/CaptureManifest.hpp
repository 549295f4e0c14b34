#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Support/Expected.hpp"
#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// TEMPORARY: until the diagnostics timeline is merged, an empty stand-in with the
// same names keeps this building. Delete the #else branch (and its twin in the
// .cpp) once DiagnosticTimeline.hpp is on main.
#if __has_include("SnagreelCore/Diagnostics/DiagnosticTimeline.hpp")
#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"
#define SNAGREEL_HAS_DIAGNOSTIC_TIMELINE 1
#else
namespace snagreel {
struct CaptureDiagnostics {
    bool operator==(const CaptureDiagnostics&) const = default;
};
nlohmann::json toJson(const CaptureDiagnostics& diagnostics);
Decoded<CaptureDiagnostics> decodeCaptureDiagnostics(const nlohmann::json& json);
} // namespace snagreel
#endif

namespace snagreel {

inline constexpr std::int64_t kManifestVersion = 1;
inline constexpr const char* kManifestCodec = "h264";
inline constexpr const char* kManifestSelectionText =
    "Starts at the first retained keyframe at or after the requested start; ends at the last "
    "valid frame at or before the capture trigger. Warm-up, interruptions and keyframe "
    "alignment may shorten the clip.";
inline constexpr const char* kManifestNetworkCaptureText =
    "request capture not implemented; passive path state only";

// The machine-readable description of one saved clip ("manifest.json").
struct CaptureManifest {
    std::int64_t v = kManifestVersion;
    std::string captureId;
    // ISO 8601 UTC with whole seconds and "Z": when the save was requested.
    std::string capturedAt;
    double requestedSeconds = 0;
    double actualSeconds = 0;
    double endedBeforeTriggerSeconds = 0;
    CaptureSource source;
    std::vector<CaptureGap> gaps;
    std::string codec = kManifestCodec;
    std::int64_t framesPerSecond = 0;
    std::int64_t encodedFrameCount = 0;
    std::int64_t bufferedBytes = 0;
    std::string selection = kManifestSelectionText;
    std::string networkCapture = kManifestNetworkCaptureText;
    std::optional<CaptureDiagnostics> diagnostics;
    std::optional<CaptureBackend> captureBackend;

    bool operator==(const CaptureManifest&) const = default;
};

// The JSON tree; absent optionals are left out, "gaps" is always an array.
nlohmann::json toJson(const CaptureManifest& manifest);

// The bytes of "manifest.json": members in ascending key order at every level,
// two-space indentation, a trailing newline. Fails when a number is not finite or
// a text is not valid UTF-8, so that the save can fail instead of writing null.
Expected<std::string, DecodeError> encodeManifest(const CaptureManifest& manifest);

// Required members must be present with the right JSON type; "diagnostics" and
// "captureBackend" may be absent or null; other members are ignored; an unknown
// backend or malformed JSON fails the whole read. Never throws.
Decoded<CaptureManifest> decodeManifest(std::string_view text);
Decoded<CaptureManifest> decodeManifestJson(const nlohmann::json& json);

} // namespace snagreel
