#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <vector>

namespace snagreel {

namespace {

DecodeError error(std::string message) {
    return DecodeError{std::move(message)};
}

std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

} // namespace

Decoded<nlohmann::json> parseJson(std::string_view text) {
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    } catch (...) {
        // Only allocation failure can get here with exceptions disabled in the parser.
        return Unexpected{error("The JSON document could not be read.")};
    }
    if (parsed.is_discarded()) {
        return Unexpected{error("The document is not valid JSON.")};
    }
    return parsed;
}

Expected<void, DecodeError> checkEncodable(const nlohmann::json& json) {
    // Iterative so that a deep tree cannot exhaust the stack.
    std::vector<const nlohmann::json*> pending{&json};
    while (!pending.empty()) {
        const nlohmann::json* node = pending.back();
        pending.pop_back();
        if (node->is_number_float() && !std::isfinite(node->get<double>())) {
            return Unexpected{error("A number is not finite and cannot be written as JSON.")};
        }
        if (node->is_structured()) {
            for (const auto& child : *node) {
                pending.push_back(&child);
            }
        }
    }
    return {};
}

Expected<std::string, DecodeError> dumpJson(const nlohmann::json& json, int indent) {
    if (auto checked = checkEncodable(json); !checked) {
        return Unexpected{checked.error()};
    }
    try {
        return json.dump(indent, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error&) {
        return Unexpected{error("A text is not valid UTF-8 and cannot be written as JSON.")};
    } catch (...) {
        return Unexpected{error("The JSON document could not be written.")};
    }
}

namespace jsonread {

Decoded<const nlohmann::json*> member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) {
        return Unexpected{error("Expected a JSON object holding " + quoted(key) + ".")};
    }
    const auto found = object.find(key);
    if (found == object.end()) {
        return Unexpected{error("The member " + quoted(key) + " is missing.")};
    }
    return &*found;
}

Decoded<const nlohmann::json*> optionalMember(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) {
        return Unexpected{error("Expected a JSON object holding " + quoted(key) + ".")};
    }
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return static_cast<const nlohmann::json*>(nullptr);
    }
    return &*found;
}

Decoded<std::string> readString(const nlohmann::json& object, std::string_view key) {
    auto found = member(object, key);
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    if (!(*found)->is_string()) {
        return Unexpected{error("The member " + quoted(key) + " is not a string.")};
    }
    return (*found)->get_ref<const std::string&>();
}

Decoded<double> asDouble(const nlohmann::json& value, std::string_view what) {
    if (!value.is_number()) {
        return Unexpected{error(std::string(what) + " is not a number.")};
    }
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
        return Unexpected{error(std::string(what) + " is not a finite number.")};
    }
    return number;
}

Decoded<std::int64_t> asInt64(const nlohmann::json& value, std::string_view what) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Unexpected{error(std::string(what) + " is out of range.")};
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return Unexpected{error(std::string(what) + " is not an integer.")};
}

Decoded<double> readDouble(const nlohmann::json& object, std::string_view key) {
    auto found = member(object, key);
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    return asDouble(**found, "The member " + quoted(key));
}

Decoded<std::int64_t> readInt64(const nlohmann::json& object, std::string_view key) {
    auto found = member(object, key);
    if (!found) {
        return Unexpected{std::move(found).error()};
    }
    return asInt64(**found, "The member " + quoted(key));
}

Decoded<std::uint32_t> readUInt32(const nlohmann::json& object, std::string_view key) {
    auto number = readInt64(object, key);
    if (!number) {
        return Unexpected{std::move(number).error()};
    }
    if (*number < 0 || *number > std::numeric_limits<std::uint32_t>::max()) {
        return Unexpected{error("The member " + quoted(key) + " is out of range.")};
    }
    return static_cast<std::uint32_t>(*number);
}

} // namespace jsonread

} // namespace snagreel
