#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace snagreel::reports {

// The value of one hexadecimal digit, either case; -1 for anything else.
inline int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The bytes a percent-encoded string stands for; none when a '%' is not followed by
// two hexadecimal digits. Callers decide whether the bytes must be text.
inline std::optional<std::string> percentDecodedBytes(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size()) {
            return std::nullopt;
        }
        const int high = hexDigitValue(s[i + 1]);
        const int low = hexDigitValue(s[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

} // namespace snagreel::reports
