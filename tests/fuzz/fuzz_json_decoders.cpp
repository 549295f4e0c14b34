#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// Whatever a decoder accepts must write out and read back as the same record.
template <typename T, typename Encode, typename Decode>
void checkRoundTrip(const snagreel::Decoded<T>& decoded, Encode encode, Decode decode) {
    if (!decoded) {
        return;
    }
    const nlohmann::json tree = encode(*decoded);
    const auto text = snagreel::dumpJson(tree);
    if (!text) {
        std::abort();
    }
    const auto reparsed = snagreel::parseJson(*text);
    if (!reparsed) {
        std::abort();
    }
    const auto again = decode(*reparsed);
    if (!again || !(*again == *decoded)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // The manifest reader takes the raw bytes, malformed JSON included.
    const auto manifest = snagreel::decodeManifest(bytes);
    if (manifest) {
        const auto encoded = snagreel::encodeManifest(*manifest);
        if (!encoded) {
            std::abort();
        }
        const auto again = snagreel::decodeManifest(*encoded);
        if (!again || !(*again == *manifest)) {
            std::abort();
        }
    }

    const auto document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded()) {
        return 0;
    }
    using snagreel::toJson;
    checkRoundTrip(
        snagreel::decodeCaptureSource(document), [](const auto& v) { return toJson(v); },
        [](const nlohmann::json& j) { return snagreel::decodeCaptureSource(j); });
    checkRoundTrip(
        snagreel::decodeCaptureGap(document), [](const auto& v) { return toJson(v); },
        [](const nlohmann::json& j) { return snagreel::decodeCaptureGap(j); });
    checkRoundTrip(
        snagreel::decodeCaptureBackend(document), [](const auto& v) { return toJson(v); },
        [](const nlohmann::json& j) { return snagreel::decodeCaptureBackend(j); });
    checkRoundTrip(
        snagreel::decodeCaptureDiagnostics(document), [](const auto& v) { return toJson(v); },
        [](const nlohmann::json& j) { return snagreel::decodeCaptureDiagnostics(j); });
    // Nested records are reached through their manifest member names as well.
    if (document.is_object()) {
        for (const char* key : {"source", "diagnostics"}) {
            const auto found = document.find(key);
            if (found == document.end()) {
                continue;
            }
            checkRoundTrip(
                snagreel::decodeCaptureSource(*found), [](const auto& v) { return toJson(v); },
                [](const nlohmann::json& j) { return snagreel::decodeCaptureSource(j); });
            checkRoundTrip(
                snagreel::decodeCaptureDiagnostics(*found), [](const auto& v) { return toJson(v); },
                [](const nlohmann::json& j) { return snagreel::decodeCaptureDiagnostics(j); });
        }
    }
    return 0;
}
