#include "SnagreelReports/ReportPresentation.hpp"
#include "SnagreelReports/PercentDecoding.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace snagreel::ReportPresentation {
namespace {

using reports::hexDigitValue;
using reports::isControlOrFormat;
using reports::percentDecodedBytes;

constexpr std::size_t npos = std::string_view::npos;

// ---------------------------------------------------------------------------
// UTF-8

// Length of the well-formed sequence at `i` (no overlongs, surrogates or
// values past U+10FFFF), or 0.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, value = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, value = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, value = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    cp = value;
    return length;
}

// Input is decoded only after this, so the scanners may assume valid UTF-8.
class ValidText {
public:
    explicit ValidText(std::string_view in) {
        std::size_t i = 0;
        char32_t cp = 0;
        while (i < in.size()) {
            const std::size_t length = decodeAt(in, i, cp);
            if (length == 0) {
                break;
            }
            i += length;
        }
        if (i == in.size()) {
            view_ = in;
            return;
        }
        repaired_.reserve(in.size() + 16);
        repaired_.append(in.substr(0, i));
        while (i < in.size()) {
            const std::size_t length = decodeAt(in, i, cp);
            if (length == 0) {
                repaired_.append("\xEF\xBF\xBD");
                ++i;
            } else {
                repaired_.append(in.substr(i, length));
                i += length;
            }
        }
        view_ = repaired_;
    }
    ValidText(const ValidText&) = delete;
    ValidText& operator=(const ValidText&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string repaired_;
    std::string_view view_;
};

char32_t codePointAt(std::string_view s, std::size_t i, std::size_t& length) {
    char32_t cp = 0;
    length = decodeAt(s, i, cp);
    if (length == 0) { // unreachable on ValidText; treat a stray byte as itself
        length = 1;
        return static_cast<unsigned char>(s[i]);
    }
    return cp;
}

char32_t codePointBefore(std::string_view s, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) {
        --start;
    }
    std::size_t length = 0;
    const char32_t cp = codePointAt(s, start, length);
    return start + length == end ? cp : static_cast<unsigned char>(s[end - 1]);
}

// The Unicode White_Space property: what both the inline pattern's \s and a
// whitespace character after a heading or list marker mean.
bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool whitespaceAt(std::string_view s, std::size_t i) {
    if (i >= s.size()) {
        return false;
    }
    std::size_t length = 0;
    return isWhitespace(codePointAt(s, i, length));
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) {
        --end;
    }
    return s.substr(begin, end - begin);
}

bool isBlankTitle(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t length = 0;
        if (!isWhitespace(codePointAt(s, i, length))) {
            return false;
        }
        i += length;
    }
    return true;
}

void escapeInto(std::string& out, std::string_view text) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* entity = nullptr;
        switch (text[i]) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        case '\'':
            entity = "&#39;";
            break;
        default:
            continue;
        }
        out.append(text.substr(run, i - run));
        out.append(entity);
        run = i + 1;
    }
    out.append(text.substr(run));
}

// ---------------------------------------------------------------------------
// Links

std::optional<std::string> percentDecoded(std::string_view s) {
    auto decoded = percentDecodedBytes(s);
    if (!decoded) {
        return std::nullopt;
    }
    std::string& out = *decoded;
    // Decoded bytes that are not text are not a name anybody meant.
    std::size_t i = 0;
    char32_t cp = 0;
    while (i < out.size()) {
        const std::size_t length = decodeAt(out, i, cp);
        if (length == 0) {
            return std::nullopt;
        }
        i += length;
    }
    return out;
}

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
        return true;
    default:
        return false;
    }
}
// pchar without the percent sign: escapes were already checked while decoding.
bool isPathChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '%';
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = asciiLower(c);
    }
    return out;
}

// The strict RFC 3986 reference grammar: anything a browser would have to
// repair (spaces, quotes, angle brackets, backslashes, non-ASCII) is refused
// rather than guessed at.
struct UrlParts {
    std::optional<std::string_view> scheme;
    std::optional<std::string_view> host; // present when there is an authority
    std::string_view port;
    bool hasUserInfo = false;
    std::string_view path;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};

bool allCharsAre(std::string_view s, bool (*allowed)(char)) {
    for (const char c : s) {
        if (!allowed(c)) {
            return false;
        }
    }
    return true;
}

bool isQueryChar(char c) {
    return isPathChar(c) || c == '/' || c == '?';
}
bool isSegmentOrSlash(char c) {
    return isPathChar(c) || c == '/';
}
// Narrower than the grammar's reg-name: sub-delimiters (quotes, parentheses,
// "&", "=") never occur in a real host name and only help to disguise one.
bool isHostChar(char c) {
    return isUnreserved(c);
}
bool isIpLiteralChar(char c) {
    return hexDigitValue(c) >= 0 || c == ':' || c == '.';
}

std::optional<UrlParts> parseReference(std::string_view s) {
    UrlParts parts;
    std::size_t i = 0;
    if (!s.empty() && isAlpha(s[0])) {
        std::size_t k = 1;
        while (k < s.size() &&
               (isAlpha(s[k]) || isDigit(s[k]) || s[k] == '+' || s[k] == '-' || s[k] == '.')) {
            ++k;
        }
        if (k < s.size() && s[k] == ':') {
            parts.scheme = s.substr(0, k);
            i = k + 1;
        }
    }
    std::string_view rest = s.substr(i);
    const std::size_t fragmentAt = rest.find('#');
    if (fragmentAt != npos) {
        parts.fragment = rest.substr(fragmentAt + 1);
        rest = rest.substr(0, fragmentAt);
        if (!allCharsAre(*parts.fragment, isQueryChar)) {
            return std::nullopt;
        }
    }
    const std::size_t queryAt = rest.find('?');
    if (queryAt != npos) {
        parts.query = rest.substr(queryAt + 1);
        rest = rest.substr(0, queryAt);
        if (!allCharsAre(*parts.query, isQueryChar)) {
            return std::nullopt;
        }
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t pathAt = rest.find('/');
        std::string_view authority = rest.substr(0, pathAt);
        rest = pathAt == npos ? std::string_view{} : rest.substr(pathAt);
        const std::size_t at = authority.rfind('@');
        if (at != npos) {
            parts.hasUserInfo = true;
            authority = authority.substr(at + 1);
        }
        if (authority.starts_with('[')) {
            const std::size_t close = authority.find(']');
            if (close == npos || !allCharsAre(authority.substr(1, close - 1), isIpLiteralChar) ||
                close == 1) {
                return std::nullopt;
            }
            parts.host = authority.substr(0, close + 1);
            authority = authority.substr(close + 1);
            if (!authority.empty() && authority[0] != ':') {
                return std::nullopt;
            }
        } else {
            const std::size_t colon = authority.find(':');
            parts.host = authority.substr(0, colon);
            if (!allCharsAre(*parts.host, isHostChar)) {
                return std::nullopt;
            }
            authority = colon == npos ? std::string_view{} : authority.substr(colon);
        }
        if (!authority.empty()) { // ":port"
            parts.port = authority.substr(1);
            if (parts.port.size() > 5 || !allCharsAre(parts.port, isDigit)) {
                return std::nullopt;
            }
            int port = 0;
            for (const char c : parts.port) {
                port = port * 10 + (c - '0');
            }
            if (port > 65535) {
                return std::nullopt;
            }
        }
    }
    if (!allCharsAre(rest, isSegmentOrSlash)) {
        return std::nullopt;
    }
    parts.path = rest;
    return parts;
}

// Files the portable export carries under evidence/: images and the evidence
// index. Anything else there (an HTML or SVG page, say) could run script of
// its own, outside this page's policy, so it never becomes a link.
bool isEvidenceFile(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == npos) {
        return false;
    }
    const std::string extension = lowered(name.substr(dot + 1));
    return extension == "png" || extension == "jpg" || extension == "jpeg" || extension == "gif" ||
           extension == "webp" || extension == "json";
}

bool acceptableRelativePath(std::string_view decodedPath) {
    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    while (true) {
        const std::size_t slash = decodedPath.find('/', begin);
        pieces.push_back(decodedPath.substr(begin, slash == npos ? npos : slash - begin));
        if (slash == npos) {
            break;
        }
        begin = slash + 1;
    }
    std::size_t first = 0;
    if (pieces[0] == ".") {
        first = 1;
    }
    if (first == pieces.size()) {
        return false;
    }
    for (std::size_t k = first; k < pieces.size(); ++k) {
        if (pieces[k].empty() || pieces[k] == "." || pieces[k] == "..") {
            return false;
        }
    }
    const std::size_t count = pieces.size() - first;
    if (count == 1 && pieces[first] == "clip.mp4") {
        return true;
    }
    return count >= 2 && pieces[first] == "evidence" && isEvidenceFile(pieces.back());
}

// ---------------------------------------------------------------------------
// Inline scanning
//
// A hand-written equivalent of the inline pattern
//   (?<!`)`([^`\n]+)`(?!`)
//   | (?<!\*)\*\*(?![\s*])([^*\n]*[^\s*])\*\*(?!\*)
//   | (?<!\*)\*(?![\s*])([^*\n]*[^\s*])\*(?!\*)
//   | (?<!!)\[([^\]\n]+)\]\(\s*(?:<([^>\n]+)>|([^\s\)]+))(?:\s+(?:"[^"\n]*"|'[^'\n]*'))?\s*\)
// Each repetition in it stops at a character it cannot contain, so a match has
// at most one shape and needs no backtracking. What would still be quadratic
// is rescanning the same long run from many starting points ("[[[[...",
// "**a **a **a"), so every run search goes through a `RunEnd` that remembers
// its last answer; each one is asked with non-decreasing positions, which
// makes every run scanned once in total.

// The first position at or after `from` where `stop` holds (or the end).
template <typename Stop> class RunEnd {
public:
    RunEnd(std::string_view text, Stop stop) : text_(text), stop_(stop) {}

    std::size_t from(std::size_t position) {
        if (position >= askedFrom_ && position <= answer_) {
            return answer_;
        }
        std::size_t i = position;
        while (i < text_.size()) {
            std::size_t length = 1;
            if (stop_(text_, i, length)) {
                break;
            }
            i += length;
        }
        askedFrom_ = position;
        answer_ = i;
        return i;
    }

private:
    std::string_view text_;
    Stop stop_;
    std::size_t askedFrom_ = 1;
    std::size_t answer_ = 0;
};

template <char A, char B> struct AtEither {
    bool operator()(std::string_view t, std::size_t i, std::size_t&) const {
        return t[i] == A || t[i] == B;
    }
};

struct AtNonSpace {
    bool operator()(std::string_view t, std::size_t i, std::size_t& length) const {
        return !isWhitespace(codePointAt(t, i, length));
    }
};

struct AtSpaceOrParen {
    bool operator()(std::string_view t, std::size_t i, std::size_t& length) const {
        return t[i] == ')' || isWhitespace(codePointAt(t, i, length));
    }
};

enum class MatchKind { code, strong, emphasis, link };

struct Match {
    MatchKind kind;
    std::size_t begin;
    std::size_t end;
    std::size_t textBegin; // code, strong or emphasis text; the link label
    std::size_t textEnd;
    std::size_t destinationBegin = 0;
    std::size_t destinationEnd = 0;
};

class InlineScanner {
public:
    explicit InlineScanner(std::string_view text)
        : t_(text), backticks_(text, {}), stars_(text, {}), labels_(text, {}),
          spaceAfterParen_(text, {}), angleEnds_(text, {}), spaceAfterAngle_(text, {}),
          doubleAfterAngle_(text, {}), singleAfterAngle_(text, {}), closeAfterAngleTitle_(text, {}),
          bareEnds_(text, {}), spaceAfterBare_(text, {}), doubleAfterBare_(text, {}),
          singleAfterBare_(text, {}), closeAfterBareTitle_(text, {}) {}

    // Calls `onText(begin, end)` for the plain runs and `onMatch(match)` for
    // the matches, left to right, covering the whole text.
    template <typename OnText, typename OnMatch> void run(OnText&& onText, OnMatch&& onMatch) {
        const std::size_t n = t_.size();
        std::size_t cursor = 0;
        std::size_t i = 0;
        while (i < n) {
            const char c = t_[i];
            std::optional<Match> match;
            if (c == '`') {
                match = codeAt(i);
            } else if (c == '*') {
                match = (i + 1 < n && t_[i + 1] == '*') ? strongAt(i) : emphasisAt(i);
            } else if (c == '[') {
                match = linkAt(i);
            }
            if (!match) {
                ++i;
                continue;
            }
            if (i > cursor) {
                onText(cursor, i);
            }
            onMatch(*match);
            cursor = i = match->end;
        }
        if (cursor < n) {
            onText(cursor, n);
        }
    }

private:
    std::optional<Match> codeAt(std::size_t i) {
        if (i > 0 && t_[i - 1] == '`') {
            return std::nullopt;
        }
        const std::size_t j = backticks_.from(i + 1);
        if (j >= t_.size() || t_[j] != '`' || j == i + 1) {
            return std::nullopt;
        }
        if (j + 1 < t_.size() && t_[j + 1] == '`') {
            return std::nullopt;
        }
        return Match{MatchKind::code, i, j + 1, i + 1, j};
    }

    // `marks` is 2 for strong, 1 for emphasis; the text between must start and
    // end with a non-space and hold no star or line feed.
    std::optional<Match> starredAt(std::size_t i, std::size_t marks) {
        const std::size_t n = t_.size();
        if (i > 0 && t_[i - 1] == '*') {
            return std::nullopt;
        }
        const std::size_t open = i + marks;
        if (open >= n || t_[open] == '*' || whitespaceAt(t_, open)) {
            return std::nullopt;
        }
        const std::size_t k = stars_.from(open);
        if (k >= n || t_[k] != '*' || isWhitespace(codePointBefore(t_, k))) {
            return std::nullopt;
        }
        for (std::size_t m = 1; m < marks; ++m) {
            if (k + m >= n || t_[k + m] != '*') {
                return std::nullopt;
            }
        }
        const std::size_t end = k + marks;
        if (end < n && t_[end] == '*') {
            return std::nullopt;
        }
        return Match{marks == 2 ? MatchKind::strong : MatchKind::emphasis, i, end, open, k};
    }
    std::optional<Match> strongAt(std::size_t i) { return starredAt(i, 2); }
    std::optional<Match> emphasisAt(std::size_t i) { return starredAt(i, 1); }

    std::optional<Match> linkAt(std::size_t i) {
        if (i > 0 && t_[i - 1] == '!') {
            return std::nullopt;
        }
        const std::size_t j = labels_.from(i + 1);
        if (j >= t_.size() || t_[j] != ']' || j == i + 1) {
            return std::nullopt;
        }
        // Every "[" before the same "]" shares what follows it.
        if (j != tailFor_) {
            tailFor_ = j;
            tail_ = destinationAfter(j);
        }
        if (!tail_) {
            return std::nullopt;
        }
        Match match = *tail_;
        match.begin = i;
        match.textBegin = i + 1;
        match.textEnd = j;
        return match;
    }

    // "(" destination [title] ")" after the label's closing bracket at `j`.
    std::optional<Match> destinationAfter(std::size_t j) {
        const std::size_t n = t_.size();
        if (j + 1 >= n || t_[j + 1] != '(') {
            return std::nullopt;
        }
        const std::size_t p = spaceAfterParen_.from(j + 2);
        if (p < n && t_[p] == '<') {
            const std::size_t q = angleEnds_.from(p + 1);
            if (q < n && t_[q] == '>' && q > p + 1) {
                const auto end = closeAfter(q + 1, spaceAfterAngle_, doubleAfterAngle_,
                                            singleAfterAngle_, closeAfterAngleTitle_);
                if (end) {
                    return Match{MatchKind::link, 0, *end, 0, 0, p + 1, q};
                }
            }
        }
        const std::size_t r = bareEnds_.from(p);
        if (r == p) {
            return std::nullopt;
        }
        const auto end = closeAfter(r, spaceAfterBare_, doubleAfterBare_, singleAfterBare_,
                                    closeAfterBareTitle_);
        if (!end) {
            return std::nullopt;
        }
        return Match{MatchKind::link, 0, *end, 0, 0, p, r};
    }

    using Spaces = RunEnd<AtNonSpace>;
    using DoubleQuoted = RunEnd<AtEither<'"', '\n'>>;
    using SingleQuoted = RunEnd<AtEither<'\'', '\n'>>;

    // (?:\s+(?:"…"|'…'))?\s*\) at `s`: the end of the match, or nothing.
    std::optional<std::size_t> closeAfter(std::size_t s, Spaces& spaces, DoubleQuoted& doubles,
                                          SingleQuoted& singles, Spaces& afterTitle) {
        const std::size_t n = t_.size();
        const std::size_t w = spaces.from(s);
        if (w > s && w < n && (t_[w] == '"' || t_[w] == '\'')) {
            const std::size_t c = t_[w] == '"' ? doubles.from(w + 1) : singles.from(w + 1);
            if (c < n && t_[c] == t_[w]) {
                const std::size_t u = afterTitle.from(c + 1);
                if (u < n && t_[u] == ')') {
                    return u + 1;
                }
            }
        }
        if (w < n && t_[w] == ')') {
            return w + 1;
        }
        return std::nullopt;
    }

    std::string_view t_;
    RunEnd<AtEither<'`', '\n'>> backticks_;
    RunEnd<AtEither<'*', '\n'>> stars_;
    RunEnd<AtEither<']', '\n'>> labels_;
    Spaces spaceAfterParen_;
    RunEnd<AtEither<'>', '\n'>> angleEnds_;
    Spaces spaceAfterAngle_;
    DoubleQuoted doubleAfterAngle_;
    SingleQuoted singleAfterAngle_;
    Spaces closeAfterAngleTitle_;
    RunEnd<AtSpaceOrParen> bareEnds_;
    Spaces spaceAfterBare_;
    DoubleQuoted doubleAfterBare_;
    SingleQuoted singleAfterBare_;
    Spaces closeAfterBareTitle_;
    std::size_t tailFor_ = npos;
    std::optional<Match> tail_;
};

std::string_view piece(std::string_view t, std::size_t begin, std::size_t end) {
    return t.substr(begin, end - begin);
}

void renderInline(std::string& out, std::string_view text) {
    InlineScanner scanner(text);
    scanner.run([&](std::size_t b, std::size_t e) { escapeInto(out, piece(text, b, e)); },
                [&](const Match& m) {
                    const std::string_view inner = piece(text, m.textBegin, m.textEnd);
                    switch (m.kind) {
                    case MatchKind::code:
                        out.append("<code>");
                        escapeInto(out, inner);
                        out.append("</code>");
                        return;
                    case MatchKind::strong:
                        out.append("<strong>");
                        escapeInto(out, inner);
                        out.append("</strong>");
                        return;
                    case MatchKind::emphasis:
                        out.append("<em>");
                        escapeInto(out, inner);
                        out.append("</em>");
                        return;
                    case MatchKind::link:
                        break;
                    }
                    const auto target = safeLink(piece(text, m.destinationBegin, m.destinationEnd));
                    if (!target) {
                        escapeInto(out, piece(text, m.begin, m.end));
                        return;
                    }
                    out.append("<a href=\"");
                    escapeInto(out, *target);
                    out.append("\" rel=\"noreferrer noopener nofollow ugc\">");
                    escapeInto(out, inner);
                    out.append("</a>");
                });
}

// ---------------------------------------------------------------------------
// Blocks

struct ListItem {
    bool ordered;
    long number;
    std::string_view text;
};

std::optional<ListItem> listItem(std::string_view line) {
    if (line.empty()) {
        return std::nullopt;
    }
    if ((line[0] == '-' || line[0] == '*' || line[0] == '+') && whitespaceAt(line, 1)) {
        return ListItem{false, 1, trimSpacesAndTabs(line.substr(1))};
    }
    std::size_t digits = 0;
    while (digits < line.size() && isDigit(line[digits])) {
        ++digits;
    }
    if (digits == 0 || digits > 9) {
        return std::nullopt;
    }
    long number = 0;
    for (std::size_t k = 0; k < digits; ++k) {
        number = number * 10 + (line[k] - '0');
    }
    if (digits >= line.size() || (line[digits] != '.' && line[digits] != ')') ||
        !whitespaceAt(line, digits + 1)) {
        return std::nullopt;
    }
    return ListItem{true, number, trimSpacesAndTabs(line.substr(digits + 1))};
}

class BlockBuilder {
public:
    std::vector<Block> build(std::string_view markdown) {
        // Carriage returns, alone or before a line feed, end lines too.
        std::size_t begin = 0;
        const std::size_t n = markdown.size();
        for (std::size_t i = 0; i <= n; ++i) {
            if (i < n && markdown[i] != '\n' && markdown[i] != '\r') {
                continue;
            }
            line(markdown.substr(begin, i - begin));
            if (i + 1 < n && markdown[i] == '\r' && markdown[i + 1] == '\n') {
                ++i;
            }
            begin = i + 1;
        }
        if (fence_) {
            out_.push_back(Code{std::move(fenceLines_)});
        }
        emitParagraph();
        emitList();
        return std::move(out_);
    }

private:
    void line(std::string_view raw) {
        const std::string_view trimmed = trimSpacesAndTabs(raw);
        if (fence_) {
            if (trimmed.size() >= fenceLength_ &&
                trimmed.find_first_not_of(fence_) == std::string_view::npos) {
                out_.push_back(Code{std::move(fenceLines_)});
                fenceLines_.clear();
                fence_ = 0;
                fenceHasLine_ = false;
                return;
            }
            if (fenceHasLine_) {
                fenceLines_.push_back('\n');
            }
            fenceLines_.append(raw);
            fenceHasLine_ = true;
            return;
        }
        if (trimmed.empty()) {
            emitParagraph();
            blankInsideList_ = listOpen_;
            return;
        }
        if (trimmed[0] == '`' || trimmed[0] == '~') {
            const char mark = trimmed[0];
            const std::size_t run = std::min(trimmed.find_first_not_of(mark), trimmed.size());
            if (run >= 3 && (mark == '~' || trimmed.find('`', run) == std::string_view::npos)) {
                emitParagraph();
                emitList();
                fence_ = mark;
                fenceLength_ = run;
                return;
            }
        }
        if (trimmed[0] == '#') {
            const std::size_t run = std::min(trimmed.find_first_not_of('#'), trimmed.size());
            if (run <= 6 && whitespaceAt(trimmed, run)) {
                emitParagraph();
                emitList();
                out_.push_back(Heading{static_cast<int>(run),
                                       std::string(trimSpacesAndTabs(trimmed.substr(run)))});
                return;
            }
        }
        if (const auto item = listItem(trimmed)) {
            emitParagraph();
            if (listOpen_ &&
                (item->ordered != listOrdered_ ||
                 (blankInsideList_ && item->ordered &&
                  item->number != listStart_ + static_cast<long>(listItems_.size())))) {
                emitList();
            }
            if (!listOpen_) {
                listOpen_ = true;
                listOrdered_ = item->ordered;
                listStart_ = item->number;
            }
            listItems_.emplace_back(item->text);
            blankInsideList_ = false;
            return;
        }
        emitList();
        if (paragraphHasLine_) {
            paragraph_.push_back('\n');
        }
        paragraph_.append(raw);
        paragraphHasLine_ = true;
        blankInsideList_ = false;
    }

    void emitParagraph() {
        if (!paragraphHasLine_) {
            return;
        }
        out_.push_back(Paragraph{std::move(paragraph_)});
        paragraph_.clear();
        paragraphHasLine_ = false;
    }

    void emitList() {
        if (!listOpen_) {
            return;
        }
        // Built member by member: clang has no parenthesised aggregate initialisation
        // for emplace, and GCC 12 warns falsely about a braced temporary here.
        if (listOrdered_) {
            NumberedList list;
            list.start = static_cast<int>(listStart_);
            list.items = std::move(listItems_);
            out_.emplace_back(std::move(list));
        } else {
            BulletList list;
            list.items = std::move(listItems_);
            out_.emplace_back(std::move(list));
        }
        listItems_.clear();
        listOpen_ = false;
    }

    std::vector<Block> out_;
    std::string paragraph_;
    bool paragraphHasLine_ = false;
    bool listOpen_ = false;
    bool listOrdered_ = false;
    long listStart_ = 1;
    std::vector<std::string> listItems_;
    bool blankInsideList_ = false;
    char fence_ = 0;
    std::size_t fenceLength_ = 0;
    std::string fenceLines_;
    bool fenceHasLine_ = false;
};

std::vector<Block> blocksOfValidText(std::string_view markdown) {
    return BlockBuilder().build(markdown);
}

void renderItems(std::string& out, const std::vector<std::string>& items) {
    for (const auto& item : items) {
        out.append("<li>");
        renderInline(out, item);
        out.append("</li>");
    }
}

void renderBlock(std::string& out, const Block& block) {
    if (const auto* heading = std::get_if<Heading>(&block)) {
        const char level = static_cast<char>('0' + heading->level);
        out.append("<h").push_back(level);
        out.push_back('>');
        renderInline(out, heading->text);
        out.append("</h").push_back(level);
        out.push_back('>');
    } else if (const auto* paragraph = std::get_if<Paragraph>(&block)) {
        out.append("<p>");
        renderInline(out, paragraph->text);
        out.append("</p>");
    } else if (const auto* bullets = std::get_if<BulletList>(&block)) {
        out.append("<ul>");
        renderItems(out, bullets->items);
        out.append("</ul>");
    } else if (const auto* numbered = std::get_if<NumberedList>(&block)) {
        out.append("<ol start=\"").append(std::to_string(numbered->start)).append("\">");
        renderItems(out, numbered->items);
        out.append("</ol>");
    } else if (const auto* code = std::get_if<Code>(&block)) {
        out.append("<pre><code>");
        escapeInto(out, code->text);
        out.append("</code></pre>");
    }
}

constexpr std::string_view pageHead = "<!doctype html>\n"
                                      "<html lang=\"en\">\n"
                                      "<head>\n"
                                      "  <meta charset=\"utf-8\">\n"
                                      "  <meta name=\"viewport\" content=\"width=device-width, "
                                      "initial-scale=1\">\n"
                                      "  <meta http-equiv=\"Content-Security-Policy\" content=\"";
constexpr std::string_view pageAfterPolicy = "\">\n"
                                             "  <meta name=\"referrer\" content=\"no-referrer\">\n"
                                             "  <title>";
constexpr std::string_view pageStyle =
    "</title>\n"
    "  <style>\n"
    "    :root { color-scheme: light; font-family: -apple-system, BlinkMacSystemFont, \"Segoe "
    "UI\", sans-serif; color: #202222; background: #f5f6f3; }\n"
    "    * { box-sizing: border-box; } body { margin: 0; } main { width: min(920px, 100%); "
    "margin: 0 auto; padding: 40px 24px 64px; }\n"
    "    header { margin-bottom: 26px; } .brand { font-size: 13px; font-weight: 600; "
    "letter-spacing: .04em; color: #56614f; } header h1 { margin: 10px 0 0; font-size: "
    "clamp(28px, 5vw, 38px); line-height: 1.15; }\n"
    "    video { display: block; width: 100%; max-height: 65vh; background: #151716; "
    "border-radius: 12px; } .recording-links { display: flex; gap: 20px; flex-wrap: wrap; "
    "font-size: 14px; margin: 14px 0 30px; }\n"
    "    article { background: white; padding: clamp(22px, 4vw, 40px); border: 1px solid "
    "#e1e5de; border-radius: 14px; line-height: 1.65; overflow-wrap: anywhere; }\n"
    "    article > :first-child { margin-top: 0; } article > :last-child { margin-bottom: 0; } "
    "h1, h2, h3, h4, h5, h6 { line-height: 1.25; margin: 1.35em 0 .55em; } article h1 { "
    "font-size: 28px; } article h2 { font-size: 22px; } article h3 { font-size: 18px; }\n"
    "    p, li { white-space: pre-wrap; } ul, ol { padding-left: 1.5em; } li + li { margin-top: "
    ".45em; } a { color: #285c3e; text-underline-offset: 3px; } a:focus-visible { outline: 2px "
    "solid currentColor; outline-offset: 3px; }\n"
    "    code { font: .9em ui-monospace, SFMono-Regular, Menlo, monospace; background: #eef1eb; "
    "padding: .1em .25em; border-radius: 3px; } pre { white-space: pre-wrap; background: "
    "#eef1eb; padding: 16px; border-radius: 8px; } pre code { padding: 0; } .empty { color: "
    "#626b60; }\n"
    "    @media (max-width: 540px) { main { padding: 24px 14px 40px; } article { padding: 22px "
    "18px; } }\n"
    "  </style>\n"
    "</head>\n"
    "<body><main>\n"
    "  <header><div class=\"brand\">Snagreel</div><h1>";
constexpr std::string_view pageRecording =
    "</h1></header>\n"
    "  <section aria-label=\"Recording\">\n"
    "    <video controls playsinline preload=\"metadata\" src=\"clip.mp4\">Your browser cannot "
    "play this recording. <a href=\"clip.mp4\">Open the recording</a>.</video>\n"
    "    <nav class=\"recording-links\" aria-label=\"Report files\"><a href=\"clip.mp4\">Open "
    "recording</a><a href=\"report.md\">Markdown source</a></nav>\n"
    "  </section>\n"
    "  <article aria-label=\"Written report\">";
constexpr std::string_view pageEnd = "</article>\n"
                                     "</main></body>\n"
                                     "</html>";

} // namespace

std::string escapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    escapeInto(out, text);
    return out;
}

std::optional<std::string> safeLink(std::string_view destination) {
    const auto decoded = percentDecoded(destination);
    if (!decoded) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < decoded->size();) {
        std::size_t length = 0;
        const char32_t cp = codePointAt(*decoded, i, length);
        if (cp == '\\' || isControlOrFormat(cp)) {
            return std::nullopt;
        }
        i += length;
    }
    const auto parts = parseReference(destination);
    if (!parts) {
        return std::nullopt;
    }
    if (parts->scheme) {
        const std::string scheme = lowered(*parts->scheme);
        if (scheme != "http" && scheme != "https") {
            return std::nullopt;
        }
        // A percent sign in a host only disguises it.
        if (!parts->host || parts->host->empty() || parts->hasUserInfo ||
            parts->host->find('%') != npos) {
            return std::nullopt;
        }
        std::string target = scheme;
        target.append("://").append(lowered(*parts->host));
        if (!parts->port.empty()) {
            target.append(":").append(parts->port);
        }
        target.append(parts->path);
        if (parts->query) {
            target.append("?").append(*parts->query);
        }
        if (parts->fragment) {
            target.append("#").append(*parts->fragment);
        }
        return target;
    }
    if (parts->host || parts->query || parts->path.starts_with('/')) {
        return std::nullopt;
    }
    // The browser resolves "%2e%2e" as "..", so the checks see the decoded path.
    const auto path = percentDecoded(parts->path);
    if (!path || path->find(':') != npos || !acceptableRelativePath(*path)) {
        return std::nullopt;
    }
    return std::string(destination);
}

std::vector<InlineSpan> inlineSpans(std::string_view input) {
    const ValidText valid(input);
    const std::string_view text = valid.view();
    std::vector<InlineSpan> spans;
    const auto appendText = [&](std::string_view shown) {
        if (!spans.empty() && spans.back().kind == InlineSpan::Kind::text) {
            spans.back().text.append(shown);
        } else {
            spans.push_back({InlineSpan::Kind::text, std::string(shown), {}});
        }
    };
    InlineScanner scanner(text);
    scanner.run([&](std::size_t b, std::size_t e) { appendText(piece(text, b, e)); },
                [&](const Match& m) {
                    const std::string inner(piece(text, m.textBegin, m.textEnd));
                    switch (m.kind) {
                    case MatchKind::code:
                        spans.push_back({InlineSpan::Kind::code, inner, {}});
                        return;
                    case MatchKind::strong:
                        spans.push_back({InlineSpan::Kind::strong, inner, {}});
                        return;
                    case MatchKind::emphasis:
                        spans.push_back({InlineSpan::Kind::emphasis, inner, {}});
                        return;
                    case MatchKind::link:
                        break;
                    }
                    auto target = safeLink(piece(text, m.destinationBegin, m.destinationEnd));
                    if (!target) {
                        appendText(piece(text, m.begin, m.end));
                        return;
                    }
                    spans.push_back({InlineSpan::Kind::link, inner, std::move(*target)});
                });
    return spans;
}

std::vector<Block> blocks(std::string_view markdown) {
    const ValidText valid(markdown);
    return blocksOfValidText(valid.view());
}

std::string html(std::string_view markdown, std::string_view rawTitle) {
    const ValidText validMarkdown(markdown);
    const ValidText validTitle(rawTitle);
    const std::string_view title =
        isBlankTitle(validTitle.view()) ? defaultTitle : validTitle.view();

    std::string body;
    body.reserve(validMarkdown.view().size() + validMarkdown.view().size() / 4);
    bool first = true;
    for (const Block& block : blocksOfValidText(validMarkdown.view())) {
        if (!first) {
            body.push_back('\n');
        }
        first = false;
        renderBlock(body, block);
    }

    std::string page;
    page.reserve(body.size() + pageStyle.size() + 1024 + 2 * title.size());
    page.append(pageHead).append(contentSecurityPolicy).append(pageAfterPolicy);
    escapeInto(page, title);
    page.append(pageStyle);
    escapeInto(page, title);
    page.append(pageRecording);
    page.append(body.empty() ? emptyReportParagraph : std::string_view(body));
    page.append(pageEnd);
    return page;
}

std::optional<double> clipSeekSeconds(std::string_view fragment) {
    std::string number;
    number.reserve(fragment.size());
    for (std::size_t i = 0; i < fragment.size();) {
        if (fragment.substr(i, 2) == "t=") {
            i += 2;
            continue;
        }
        number.push_back(fragment[i++]);
    }
    // A sign may lead, once; anything else that is not a whole number reads as 0.
    std::string_view digits = number;
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
    }
    double seconds = 0;
    const char* last = digits.data() + digits.size();
    const auto [end, error] = std::from_chars(digits.data(), last, seconds);
    if (digits.empty() || digits.starts_with('+') ||
        (number.starts_with('+') && digits.starts_with('-')) || error != std::errc{} ||
        end != last) {
        seconds = 0;
    }
    if (!std::isfinite(seconds) || seconds < 0) {
        return std::nullopt;
    }
    return seconds;
}

} // namespace snagreel::ReportPresentation
