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

// Control (Cc) and format (Cf) characters: the latter include the bidi overrides and
// zero-width characters that disguise what a link points at. The page and the export
// refuse a link holding one alike.
inline bool isControlOrFormat(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true;
    }
    return c == 0xAD || (c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
           c == 0x890 || c == 0x891 || c == 0x8E2 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
           c == 0x110BD || c == 0x110CD || (c >= 0x13430 && c <= 0x1343F) ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || c == 0xE0001 ||
           (c >= 0xE0020 && c <= 0xE007F);
}

} // namespace snagreel::reports
