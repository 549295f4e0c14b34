#pragma once

#include "SnagreelCore/Support/Expected.hpp"

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

// A sentence saying why a JSON document could not be read.
struct DecodeError {
    std::string message;
    bool operator==(const DecodeError&) const = default;
};
template <typename T> using Decoded = Expected<T, DecodeError>;

// JSON forms. Encoders never throw; decoders reject wrong types, missing keys and
// unknown backends with a DecodeError and never throw either.
nlohmann::json toJson(CaptureBackend backend);
nlohmann::json toJson(const CaptureSource& source);
nlohmann::json toJson(const CaptureGap& gap);
Decoded<CaptureBackend> decodeCaptureBackend(const nlohmann::json& json);
Decoded<CaptureSource> decodeCaptureSource(const nlohmann::json& json);
Decoded<CaptureGap> decodeCaptureGap(const nlohmann::json& json);

} // namespace snagreel
