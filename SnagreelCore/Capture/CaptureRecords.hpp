#pragma once

#include "SnagreelCore/Support/Expected.hpp"
#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace snagreel {

enum class CaptureBackend { screenCaptureKit, avFoundation };
std::string_view rawValue(CaptureBackend backend);
std::optional<CaptureBackend> captureBackendFromRaw(std::string_view raw);

struct CaptureConfiguration {
    std::optional<std::uint32_t> windowID;
    double maximumDuration = 60;
    std::int64_t maximumBytes = 134217728;
    std::int64_t maximumWidth = 1920;
    std::int64_t framesPerSecond = 15;
    CaptureBackend backend = CaptureBackend::avFoundation;

    bool operator==(const CaptureConfiguration&) const = default;
};

struct CaptureSource {
    std::string kind; // "display" or "window"
    std::uint32_t id = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const CaptureSource&) const = default;
};

struct CaptureGap {
    double startSeconds = 0;
    double endSeconds = 0;
    std::string reason;

    bool operator==(const CaptureGap&) const = default;
};

// JSON forms. Encoders never throw but build the tree as is: a non-finite gap time
// stays in it, so writers serialise with dumpJson (Support/Json.hpp), which fails
// instead of writing null. Decoders reject wrong types, missing keys, out-of-range
// integers, non-finite numbers and unknown backends with a DecodeError and never
// throw either; members with other names are ignored.
nlohmann::json toJson(CaptureBackend backend);
nlohmann::json toJson(const CaptureSource& source);
nlohmann::json toJson(const CaptureGap& gap);
Decoded<CaptureBackend> decodeCaptureBackend(const nlohmann::json& json);
Decoded<CaptureSource> decodeCaptureSource(const nlohmann::json& json);
Decoded<CaptureGap> decodeCaptureGap(const nlohmann::json& json);

} // namespace snagreel
