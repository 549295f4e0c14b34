// Report Markdown rendering, for any input:
// - the page is well formed: every '<' in the article opens or closes one of
//   the elements the renderer writes, tags balance, and no quote or angle
//   bracket from the input is left raw;
// - every href is http(s) or a relative path into the package, as a browser
//   would read it after decoding entities;
// - the hand-written inline scanner finds exactly the matches of the inline
//   regular expression (checked against ICU's engine, the one the pattern was
//   written for).

#include "SnagreelReports/ReportPresentation.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace snagreel::ReportPresentation;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string decodeEntities(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        bool replaced = false;
        for (const auto& [entity, c] :
             {std::pair{"&amp;", '&'}, std::pair{"&lt;", '<'}, std::pair{"&gt;", '>'},
              std::pair{"&quot;", '"'}, std::pair{"&#39;", '\''}}) {
            if (s.substr(i).starts_with(entity)) {
                out.push_back(c);
                i += std::string_view(entity).size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            if (s[i] == '&') {
                fail("bare ampersand in attribute", s);
            }
            out.push_back(s[i++]);
        }
    }
    return out;
}

// The scheme a browser would see: leading spaces and controls dropped, tabs
// and line feeds removed anywhere.
void checkHref(std::string_view escaped) {
    const std::string href = decodeEntities(escaped);
    std::string url;
    for (const char c : href) {
        if (c == '\t' || c == '\n' || c == '\r') {
            fail("whitespace in href", href);
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\' || c == ' ') {
            fail("control, space or backslash in href", href);
        }
        url.push_back(c);
    }
    const auto colon = url.find(':');
    const auto stop = url.find_first_of("/?#");
    if (colon != std::string::npos && (stop == std::string::npos || colon < stop)) {
        if (!url.starts_with("http://") && !url.starts_with("https://")) {
            fail("unsafe scheme survived", url);
        }
        return;
    }
    if (url.empty() || url[0] == '/') {
        fail("relative href leaves the package", url);
    }
    const std::string_view path(url.data(), std::min(url.size(), url.find_first_of("?#")));
    if (path != "clip.mp4" && path != "./clip.mp4" && !path.starts_with("evidence/") &&
        !path.starts_with("./evidence/")) {
        fail("relative href outside clip.mp4 and evidence/", url);
    }
    if (path.find("..") != std::string_view::npos &&
        (path.find("/../") != std::string_view::npos || path.ends_with("/.."))) {
        fail("relative href climbs", url);
    }
}

void checkArticle(std::string_view article) {
    static const std::vector<std::string_view> plain{"h1", "h2", "h3",  "h4",   "h5",     "h6", "p",
                                                     "ul", "li", "pre", "code", "strong", "em"};
    std::vector<std::string> open;
    std::size_t i = 0;
    while (i < article.size()) {
        const char c = article[i];
        if (c == '>' || c == '"' || c == '\'') {
            fail("raw character from input", article.substr(i, 40));
        }
        if (c != '<') {
            ++i;
            continue;
        }
        const auto close = article.find('>', i);
        if (close == std::string_view::npos) {
            fail("unterminated tag", article.substr(i, 40));
        }
        std::string_view tag = article.substr(i + 1, close - i - 1);
        i = close + 1;
        if (tag.starts_with('/')) {
            tag.remove_prefix(1);
            if (open.empty() || open.back() != tag) {
                fail("unbalanced closing tag", tag);
            }
            open.pop_back();
            continue;
        }
        if (tag.starts_with("a href=\"")) {
            const std::string_view suffix = "\" rel=\"noreferrer noopener nofollow ugc\"";
            if (!tag.ends_with(suffix)) {
                fail("unexpected link attributes", tag);
            }
            const auto value = tag.substr(8, tag.size() - 8 - suffix.size());
            if (value.find('"') != std::string_view::npos) {
                fail("quote inside href", value);
            }
            checkHref(value);
            open.emplace_back("a");
            continue;
        }
        if (tag.starts_with("ol start=\"")) {
            const auto digits = tag.substr(10, tag.size() - 11);
            if (!tag.ends_with('"') || digits.empty() ||
                digits.find_first_not_of("0123456789") != std::string_view::npos) {
                fail("bad list start", tag);
            }
            open.emplace_back("ol");
            continue;
        }
        bool known = false;
        for (const auto name : plain) {
            known = known || tag == name;
        }
        if (!known) {
            fail("unknown tag", tag);
        }
        open.emplace_back(tag);
    }
    if (!open.empty()) {
        fail("unclosed tag", open.back());
    }
}

bool isValidUtf8(std::string_view s) {
    UErrorCode status = U_ZERO_ERROR;
    const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), s.size()));
    std::string back;
    text.toUTF8String(back);
    return U_SUCCESS(status) && back == s;
}

const icu::RegexPattern& inlinePattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        const char* source =
            "(?<!`)`([^`\\n]+)`(?!`)|(?<!\\*)\\*\\*(?![\\s*])([^*\\n]*[^\\s*])\\*\\*(?!\\*)|(?<!"
            "\\*)\\*(?![\\s*])([^*\\n]*[^\\s*])\\*(?!\\*)|(?<!!)\\[([^\\]\\n]+)\\]\\(\\s*(?:<([^>"
            "\\n]+)>|([^\\s\\)]+))(?:\\s+(?:\\\"[^\\\"\\n]*\\\"|'[^'\\n]*'))?\\s*\\)";
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(source), 0, status));
        if (U_FAILURE(status)) {
            std::abort();
        }
        return compiled;
    }();
    return *pattern;
}

std::vector<InlineSpan> spansByRegex(std::string_view text) {
    const auto subject = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(inlinePattern().matcher(subject, status));
    std::vector<InlineSpan> spans;
    const auto utf8 = [&](int32_t begin, int32_t end) {
        std::string out;
        subject.tempSubStringBetween(begin, end).toUTF8String(out);
        return out;
    };
    const auto addText = [&](std::string shown) {
        if (shown.empty()) {
            return;
        }
        if (!spans.empty() && spans.back().kind == InlineSpan::Kind::text) {
            spans.back().text += shown;
        } else {
            spans.push_back({InlineSpan::Kind::text, std::move(shown), {}});
        }
    };
    int32_t cursor = 0;
    while (matcher->find(status) && U_SUCCESS(status)) {
        const int32_t begin = matcher->start(status);
        const int32_t end = matcher->end(status);
        addText(utf8(cursor, begin));
        const auto group = [&](int g) {
            const int32_t s = matcher->start(g, status);
            return s < 0 ? std::optional<std::string>{} : utf8(s, matcher->end(g, status));
        };
        if (auto code = group(1)) {
            spans.push_back({InlineSpan::Kind::code, *code, {}});
        } else if (auto strong = group(2)) {
            spans.push_back({InlineSpan::Kind::strong, *strong, {}});
        } else if (auto em = group(3)) {
            spans.push_back({InlineSpan::Kind::emphasis, *em, {}});
        } else {
            const auto destination = group(5) ? *group(5) : *group(6);
            if (auto target = safeLink(destination)) {
                spans.push_back({InlineSpan::Kind::link, *group(4), *target});
            } else {
                addText(utf8(begin, end));
            }
        }
        cursor = end;
    }
    addText(utf8(cursor, subject.length()));
    return spans;
}

std::string describe(const std::vector<InlineSpan>& spans) {
    std::string out;
    for (const auto& span : spans) {
        out += "{" + std::to_string(static_cast<int>(span.kind)) + " '" + span.text + "' '" +
               span.target + "'}";
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const std::string_view title = input.substr(0, std::min(newline, std::size_t{40}));

    const std::string page = html(input, title);
    const std::string_view open = "<article aria-label=\"Written report\">";
    const auto begin = page.find(open);
    const auto end = page.rfind("</article>");
    if (begin == std::string::npos || end == std::string::npos || end < begin) {
        fail("page lost its article", page.substr(0, 200));
    }
    const std::string_view article =
        std::string_view(page).substr(begin + open.size(), end - begin - open.size());
    if (article != emptyReportParagraph) {
        checkArticle(article);
    }
    const auto header = page.find("<h1>");
    const auto headerEnd = page.find("</h1></header>");
    if (header == std::string::npos || headerEnd == std::string::npos ||
        page.substr(header + 4, headerEnd - header - 4).find('<') != std::string::npos) {
        fail("title not escaped", page.substr(0, 400));
    }

    for (const Block& block : blocks(input)) {
        if (const auto* heading = std::get_if<Heading>(&block);
            heading && (heading->level < 1 || heading->level > 6)) {
            fail("heading level", heading->text);
        }
    }

    // Differential check of the scanner against the regular expression, on
    // text ICU reads the same way (valid UTF-8).
    if (isValidUtf8(input)) {
        const auto mine = inlineSpans(input);
        const auto theirs = spansByRegex(input);
        if (mine != theirs) {
            const std::string detail = std::string(input.substr(0, 300)) +
                                       "\n  scanner: " + describe(mine) +
                                       "\n  pattern: " + describe(theirs);
            fail("scanner and pattern disagree", detail);
        }
    }
    return 0;
}
