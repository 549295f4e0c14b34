#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any document either fails to decode or survives an encode/decode round trip.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded()) {
        return 0;
    }
    const auto decoded = snagreel::decodeCaptureDiagnostics(document);
    if (!decoded) {
        return 0;
    }
    const auto encoded = snagreel::encodeCaptureDiagnostics(*decoded);
    if (!encoded) {
        std::abort();
    }
    const auto again = snagreel::decodeCaptureDiagnostics(*encoded);
    if (!again || !(*again == *decoded)) {
        std::abort();
    }
    return 0;
}
