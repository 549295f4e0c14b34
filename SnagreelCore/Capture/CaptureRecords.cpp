#include "SnagreelCore/Capture/CaptureRecords.hpp"

#include <nlohmann/json.hpp>

namespace snagreel {

std::string_view rawValue(CaptureBackend backend) {
    switch (backend) {
    case CaptureBackend::screenCaptureKit:
        return "screenCaptureKit";
    case CaptureBackend::avFoundation:
        return "avFoundation";
    }
    return {};
}

std::optional<CaptureBackend> captureBackendFromRaw(std::string_view raw) {
    if (raw == "screenCaptureKit") {
        return CaptureBackend::screenCaptureKit;
    }
    if (raw == "avFoundation") {
        return CaptureBackend::avFoundation;
    }
    return std::nullopt;
}

nlohmann::json toJson(CaptureBackend backend) {
    return std::string(rawValue(backend));
}

nlohmann::json toJson(const CaptureSource& source) {
    return nlohmann::json{
        {"kind", source.kind},
        {"id", source.id},
        {"width", source.width},
        {"height", source.height},
    };
}

nlohmann::json toJson(const CaptureGap& gap) {
    return nlohmann::json{
        {"startSeconds", gap.startSeconds},
        {"endSeconds", gap.endSeconds},
        {"reason", gap.reason},
    };
}

Decoded<CaptureBackend> decodeCaptureBackend(const nlohmann::json& json) {
    if (!json.is_string()) {
        return Unexpected{DecodeError{"The capture backend is not a string."}};
    }
    const auto backend = captureBackendFromRaw(json.get_ref<const std::string&>());
    if (!backend) {
        return Unexpected{DecodeError{"The capture backend is not a known backend."}};
    }
    return *backend;
}

Decoded<CaptureSource> decodeCaptureSource(const nlohmann::json& json) {
    auto kind = jsonread::readString(json, "kind");
    if (!kind) {
        return Unexpected{std::move(kind).error()};
    }
    auto id = jsonread::readUInt32(json, "id");
    if (!id) {
        return Unexpected{std::move(id).error()};
    }
    auto width = jsonread::readInt64(json, "width");
    if (!width) {
        return Unexpected{std::move(width).error()};
    }
    auto height = jsonread::readInt64(json, "height");
    if (!height) {
        return Unexpected{std::move(height).error()};
    }
    return CaptureSource{std::move(kind).value(), *id, *width, *height};
}

Decoded<CaptureGap> decodeCaptureGap(const nlohmann::json& json) {
    auto start = jsonread::readDouble(json, "startSeconds");
    if (!start) {
        return Unexpected{std::move(start).error()};
    }
    auto end = jsonread::readDouble(json, "endSeconds");
    if (!end) {
        return Unexpected{std::move(end).error()};
    }
    auto reason = jsonread::readString(json, "reason");
    if (!reason) {
        return Unexpected{std::move(reason).error()};
    }
    return CaptureGap{*start, *end, std::move(reason).value()};
}

} // namespace snagreel
