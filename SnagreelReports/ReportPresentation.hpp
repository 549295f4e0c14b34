#pragma once

// Turns a report's Markdown into what a person reads: blocks for the in-app
// preview and a self-contained HTML page that sits beside clip.mp4 in a shared
// package. Only a small Markdown subset is understood; everything else is shown
// as escaped text, and only links that stay inside the package (or are plain
// web links) ever become live. Every function is pure and never fails.
//
// All work is linear in the input: the scanners never backtrack, so a
// hostile or enormous report costs no more than its size.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace snagreel::ReportPresentation {

struct Heading {
    int level = 1; // 1 to 6
    std::string text;
    bool operator==(const Heading&) const = default;
};

struct Paragraph {
    std::string text; // consecutive lines joined with a line feed
    bool operator==(const Paragraph&) const = default;
};

struct BulletList {
    std::vector<std::string> items;
    bool operator==(const BulletList&) const = default;
};

struct NumberedList {
    int start = 1;
    std::vector<std::string> items;
    bool operator==(const NumberedList&) const = default;
};

struct Code {
    std::string text; // the fenced lines joined with a line feed, indentation kept
    bool operator==(const Code&) const = default;
};

using Block = std::variant<Heading, Paragraph, BulletList, NumberedList, Code>;

// One piece of a block's text after inline markup. A link that `safeLink`
// refuses comes back as `text` holding its Markdown source, so the reader sees
// what was written rather than a live link.
struct InlineSpan {
    enum class Kind { text, code, strong, emphasis, link };
    Kind kind = Kind::text;
    std::string text;   // shown text (the label for a link)
    std::string target; // links only: the accepted target
    bool operator==(const InlineSpan&) const = default;
};

inline constexpr std::string_view defaultTitle = "Snagreel report";
inline constexpr std::string_view contentSecurityPolicy =
    "default-src 'none'; script-src 'none'; style-src 'unsafe-inline'; media-src 'self' file:; "
    "base-uri 'none'; form-action 'none'";
inline constexpr std::string_view emptyReportParagraph =
    "<p class=\"empty\">No written report yet. You can still watch the recording above.</p>";

// Input that is not valid UTF-8 has each bad byte replaced by U+FFFD first, so
// every string handed out (blocks, spans, the page) is valid UTF-8.
std::vector<Block> blocks(std::string_view markdown);
std::string html(std::string_view markdown, std::string_view title);

// The inline subset of one block's text: code spans, strong, emphasis, links.
// Markup never nests; adjacent plain text is merged into one span.
std::vector<InlineSpan> inlineSpans(std::string_view text);

// The target to use for a link destination, or nothing when it could leave the
// package or run code: only http(s) links with a host and no user name, and
// relative links to "clip.mp4" (a fragment such as "#t=12.5" is kept) or to an
// image or evidence index under "evidence/".
std::optional<std::string> safeLink(std::string_view destination);

// & < > " ' as entities, for text and attribute values alike.
std::string escapeText(std::string_view text);

// Where a clip link's fragment asks the player to seek: every "t=" is removed
// and the rest read as decimal seconds (0 when it does not read as a number);
// nothing when the time is negative or not finite.
std::optional<double> clipSeekSeconds(std::string_view fragment);

} // namespace snagreel::ReportPresentation
