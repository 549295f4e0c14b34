#pragma once

#include "SnagreelCore/Support/Expected.hpp"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace snagreel {

// A sentence saying why a JSON document could not be read, or why a record could
// not be written as JSON.
struct DecodeError {
    std::string message;
    bool operator==(const DecodeError&) const = default;
};
template <typename T> using Decoded = Expected<T, DecodeError>;

// Parses a document without throwing; malformed text is a DecodeError.
Decoded<nlohmann::json> parseJson(std::string_view text);

// JSON has no spelling for NaN or the infinities (nlohmann would write them as
// null), so every writer checks its tree before serialising it.
Expected<void, DecodeError> checkEncodable(const nlohmann::json& json);

// Serialises after checkEncodable; also fails, instead of throwing, on strings that
// are not valid UTF-8. indent < 0 writes the compact form.
Expected<std::string, DecodeError> dumpJson(const nlohmann::json& json, int indent = -1);

// Member readers for decoders: each rejects a non-object, a missing member and a
// member of the wrong JSON type with a DecodeError naming the member.
namespace jsonread {
Decoded<const nlohmann::json*> member(const nlohmann::json& object, std::string_view key);
// The member, or null when it is absent or JSON null (optional members).
Decoded<const nlohmann::json*> optionalMember(const nlohmann::json& object, std::string_view key);
Decoded<std::string> readString(const nlohmann::json& object, std::string_view key);
// Any finite JSON number, including integers written without a fraction.
Decoded<double> readDouble(const nlohmann::json& object, std::string_view key);
// Integers only (no fraction, no exponent form that parses as a float).
Decoded<std::int64_t> readInt64(const nlohmann::json& object, std::string_view key);
Decoded<std::uint32_t> readUInt32(const nlohmann::json& object, std::string_view key);

// Value readers for array elements and whole documents.
Decoded<double> asDouble(const nlohmann::json& value, std::string_view what);
Decoded<std::int64_t> asInt64(const nlohmann::json& value, std::string_view what);
} // namespace jsonread

} // namespace snagreel
