#include "SnagreelCore/Export/CaptureManifest.hpp"

#include <nlohmann/json.hpp>

namespace snagreel {

#ifndef SNAGREEL_HAS_DIAGNOSTIC_TIMELINE
// TEMPORARY stand-in, see the header.
nlohmann::json toJson(const CaptureDiagnostics&) {
    return nlohmann::json::object();
}
Decoded<CaptureDiagnostics> decodeCaptureDiagnostics(const nlohmann::json& json) {
    if (!json.is_object()) {
        return Unexpected{DecodeError{"The diagnostics are not a JSON object."}};
    }
    return CaptureDiagnostics{};
}
#endif

nlohmann::json toJson(const CaptureManifest& manifest) {
    nlohmann::json gaps = nlohmann::json::array();
    for (const auto& gap : manifest.gaps) {
        gaps.push_back(toJson(gap));
    }
    nlohmann::json json = nlohmann::json::object();
    json["v"] = manifest.v;
    json["captureId"] = manifest.captureId;
    json["capturedAt"] = manifest.capturedAt;
    json["requestedSeconds"] = manifest.requestedSeconds;
    json["actualSeconds"] = manifest.actualSeconds;
    json["endedBeforeTriggerSeconds"] = manifest.endedBeforeTriggerSeconds;
    json["source"] = toJson(manifest.source);
    json["gaps"] = std::move(gaps);
    json["codec"] = manifest.codec;
    json["framesPerSecond"] = manifest.framesPerSecond;
    json["encodedFrameCount"] = manifest.encodedFrameCount;
    json["bufferedBytes"] = manifest.bufferedBytes;
    json["selection"] = manifest.selection;
    json["networkCapture"] = manifest.networkCapture;
    if (manifest.diagnostics) {
        json["diagnostics"] = toJson(*manifest.diagnostics);
    }
    if (manifest.captureBackend) {
        json["captureBackend"] = toJson(*manifest.captureBackend);
    }
    return json;
}

Expected<std::string, DecodeError> encodeManifest(const CaptureManifest& manifest) {
    nlohmann::json json;
    try {
        json = toJson(manifest);
    } catch (...) {
        return Unexpected{DecodeError{"The manifest could not be built."}};
    }
    auto text = dumpJson(json, 2);
    if (!text) {
        return Unexpected{std::move(text).error()};
    }
    text->push_back('\n');
    return text;
}

namespace {

// Moves a decoded member into place, or keeps the first error.
template <typename T> bool take(Decoded<T>&& decoded, T& into, std::optional<DecodeError>& error) {
    if (error) {
        return false;
    }
    if (!decoded) {
        error = std::move(decoded).error();
        return false;
    }
    into = std::move(decoded).value();
    return true;
}

DecodeError inMember(std::string_view key, const DecodeError& inner) {
    return DecodeError{"In \"" + std::string(key) + "\": " + inner.message};
}

Decoded<std::vector<CaptureGap>> decodeGaps(const nlohmann::json& object) {
    auto found = jsonread::member(object, "gaps");
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    const nlohmann::json& array = **found;
    if (!array.is_array()) {
        return Unexpected{DecodeError{"The member \"gaps\" is not an array."}};
    }
    std::vector<CaptureGap> gaps;
    gaps.reserve(array.size());
    for (std::size_t index = 0; index < array.size(); ++index) {
        auto gap = decodeCaptureGap(array[index]);
        if (!gap) {
            return Unexpected{
                DecodeError{"In gap " + std::to_string(index) + ": " + gap.error().message}};
        }
        gaps.push_back(std::move(gap).value());
    }
    return gaps;
}

Decoded<CaptureSource> decodeSource(const nlohmann::json& object) {
    auto found = jsonread::member(object, "source");
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    auto source = decodeCaptureSource(**found);
    if (!source) {
        return Unexpected{inMember("source", source.error())};
    }
    return source;
}

Decoded<std::optional<CaptureDiagnostics>> decodeDiagnostics(const nlohmann::json& object) {
    auto found = jsonread::optionalMember(object, "diagnostics");
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    if (*found == nullptr) {
        return std::optional<CaptureDiagnostics>();
    }
    auto diagnostics = decodeCaptureDiagnostics(**found);
    if (!diagnostics) {
        return Unexpected{inMember("diagnostics", diagnostics.error())};
    }
    return std::optional<CaptureDiagnostics>(std::move(diagnostics).value());
}

Decoded<std::optional<CaptureBackend>> decodeBackend(const nlohmann::json& object) {
    auto found = jsonread::optionalMember(object, "captureBackend");
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    if (*found == nullptr) {
        return std::optional<CaptureBackend>();
    }
    auto backend = decodeCaptureBackend(**found);
    if (!backend) {
        return Unexpected{inMember("captureBackend", backend.error())};
    }
    return std::optional<CaptureBackend>(*backend);
}

} // namespace

Decoded<CaptureManifest> decodeManifestJson(const nlohmann::json& json) {
    if (!json.is_object()) {
        return Unexpected{DecodeError{"The manifest is not a JSON object."}};
    }
    CaptureManifest manifest;
    std::optional<DecodeError> error;
    take(jsonread::readInt64(json, "v"), manifest.v, error);
    take(jsonread::readString(json, "captureId"), manifest.captureId, error);
    take(jsonread::readString(json, "capturedAt"), manifest.capturedAt, error);
    take(jsonread::readDouble(json, "requestedSeconds"), manifest.requestedSeconds, error);
    take(jsonread::readDouble(json, "actualSeconds"), manifest.actualSeconds, error);
    take(jsonread::readDouble(json, "endedBeforeTriggerSeconds"),
         manifest.endedBeforeTriggerSeconds, error);
    take(decodeSource(json), manifest.source, error);
    take(decodeGaps(json), manifest.gaps, error);
    take(jsonread::readString(json, "codec"), manifest.codec, error);
    take(jsonread::readInt64(json, "framesPerSecond"), manifest.framesPerSecond, error);
    take(jsonread::readInt64(json, "encodedFrameCount"), manifest.encodedFrameCount, error);
    take(jsonread::readInt64(json, "bufferedBytes"), manifest.bufferedBytes, error);
    take(jsonread::readString(json, "selection"), manifest.selection, error);
    take(jsonread::readString(json, "networkCapture"), manifest.networkCapture, error);
    take(decodeDiagnostics(json), manifest.diagnostics, error);
    take(decodeBackend(json), manifest.captureBackend, error);
    if (error) {
        return Unexpected{std::move(*error)};
    }
    return manifest;
}

Decoded<CaptureManifest> decodeManifest(std::string_view text) {
    auto json = parseJson(text);
    if (!json) {
        return Unexpected{std::move(json).error()};
    }
    try {
        return decodeManifestJson(*json);
    } catch (...) {
        // The readers check types before every access; this only guards allocation.
        return Unexpected{DecodeError{"The manifest could not be read."}};
    }
}

} // namespace snagreel
