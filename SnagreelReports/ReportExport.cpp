#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/PercentDecoding.hpp"

#include "SnagreelCore/Support/Json.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

namespace snagreel::reports::exportsteps {

namespace {

using nlohmann::json;

Error invalid(std::string message) {
    return Error(ReportStoreError{std::move(message)});
}

constexpr char32_t kInvalid = 0xFFFFFFFF;

// One code point of UTF-8 at `i` and its length; a byte that starts no valid sequence
// is returned alone as kInvalid.
std::pair<char32_t, std::size_t> decodeAt(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return {kInvalid, 1};
    }
    if (i + length > s.size()) {
        return {kInvalid, 1};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return {kInvalid, 1};
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return {kInvalid, 1};
    }
    return {cp, length};
}

// The white space of the link patterns: tab, line feed, form feed, carriage return
// and the Unicode separators.
bool isSpace(char32_t cp) {
    switch (cp) {
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case 0x20:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool isLineTerminator(char32_t cp) {
    return cp == '\n' || cp == '\v' || cp == '\f' || cp == '\r' || cp == 0x85 || cp == 0x2028 ||
           cp == 0x2029;
}

std::size_t skipSpaces(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        const auto [cp, length] = decodeAt(s, i);
        if (!isSpace(cp)) {
            break;
        }
        i += length;
    }
    return i;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

// "[label]:" right after a '[' that begins a line.
bool definitionAt(std::string_view s, std::size_t open) {
    std::size_t j = open + 1;
    while (j < s.size() && s[j] != ']' && s[j] != '\n') {
        ++j;
    }
    return j > open + 1 && j + 1 < s.size() && s[j] == ']' && s[j + 1] == ':';
}

bool isWordAt(std::string_view s, std::size_t i) {
    const auto [cp, length] = decodeAt(s, i);
    (void)length;
    if (cp < 0x80) {
        return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') ||
               cp == '_';
    }
    // Letters of other scripts continue a tag name; only separators end it.
    return !isSpace(cp) && cp != kInvalid;
}

// An HTML tag that would bring an asset the export does not carry: "<img", "<a",
// "<video" or "<source" in any letter case, ending at a word boundary.
bool assetTagAt(std::string_view s, std::size_t afterAngle) {
    for (std::string_view name : {"img", "a", "video", "source"}) {
        if (afterAngle + name.size() > s.size()) {
            continue;
        }
        if (lowered(s.substr(afterAngle, name.size())) != name) {
            continue;
        }
        const std::size_t end = afterAngle + name.size();
        if (end == s.size() || !isWordAt(s, end)) {
            return true;
        }
    }
    return false;
}

bool hasUnsupportedLinkForm(std::string_view s) {
    bool atLineStart = true;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto [cp, length] = decodeAt(s, i);
        if (isLineTerminator(cp)) {
            atLineStart = true;
        } else if (!isSpace(cp)) {
            if (cp == '[' && atLineStart && definitionAt(s, i)) {
                return true;
            }
            if (cp == '<' && assetTagAt(s, i + 1)) {
                return true;
            }
            atLineStart = false;
        }
        i += length;
    }
    return false;
}

// The rest of an inline link after its destination: an optional quoted title, then
// the closing parenthesis. Gives the position after ')'.
std::optional<std::size_t> linkTailAt(std::string_view s, std::size_t i) {
    const std::size_t title = skipSpaces(s, i);
    if (title > i && title < s.size() && (s[title] == '"' || s[title] == '\'')) {
        const char quote = s[title];
        std::size_t j = title + 1;
        while (j < s.size() && s[j] != quote && s[j] != '\n') {
            ++j;
        }
        if (j < s.size() && s[j] == quote) {
            const std::size_t close = skipSpaces(s, j + 1);
            if (close < s.size() && s[close] == ')') {
                return close + 1;
            }
        }
    }
    const std::size_t close = skipSpaces(s, i);
    if (close < s.size() && s[close] == ')') {
        return close + 1;
    }
    return std::nullopt;
}

struct LinkMatch {
    std::string destination;
    std::size_t end = 0;
};

// An inline destination starting right after "](": "<...>" without a line break, or a
// run without white space or ')'. The angle form is tried first, as a reader would.
std::optional<LinkMatch> inlineLinkAt(std::string_view s, std::size_t i) {
    const std::size_t start = skipSpaces(s, i);
    if (start < s.size() && s[start] == '<') {
        std::size_t j = start + 1;
        while (j < s.size() && s[j] != '>' && s[j] != '\n') {
            ++j;
        }
        if (j > start + 1 && j < s.size() && s[j] == '>') {
            if (auto end = linkTailAt(s, j + 1)) {
                return LinkMatch{std::string(s.substr(start + 1, j - start - 1)), *end};
            }
        }
    }
    std::size_t j = start;
    while (j < s.size()) {
        const auto [cp, length] = decodeAt(s, j);
        if (isSpace(cp) || cp == ')') {
            break;
        }
        j += length;
    }
    if (j > start) {
        if (auto end = linkTailAt(s, j)) {
            return LinkMatch{std::string(s.substr(start, j - start)), *end};
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view s) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = s.find('/', start);
        if (slash == std::string_view::npos) {
            pieces.push_back(s.substr(start));
            return pieces;
        }
        pieces.push_back(s.substr(start, slash - start));
        start = slash + 1;
    }
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view s) {
    std::vector<std::string_view> pieces = splitKeepingEmpty(s);
    std::erase_if(pieces, [](std::string_view p) { return p.empty(); });
    return pieces;
}

std::optional<std::string> percentDecoded(std::string_view s) {
    auto decoded = percentDecodedBytes(s);
    if (!decoded) {
        return std::nullopt;
    }
    std::string& out = *decoded;
    // The decoded bytes must be text; anything else is not a name a report can mean.
    for (std::size_t i = 0; i < out.size();) {
        const auto [cp, length] = decodeAt(out, i);
        if (cp == kInvalid) {
            return std::nullopt;
        }
        i += length;
    }
    return out;
}

// The scheme of a link, if it starts with one ("name:" where name begins with a
// letter and continues with letters, digits, "+", "-" or ".").
std::optional<std::string> schemeOf(std::string_view link) {
    if (link.empty() || !std::isalpha(static_cast<unsigned char>(link[0]))) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < link.size(); ++i) {
        const char c = link[i];
        if (c == ':') {
            return lowered(link.substr(0, i));
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string joined(const std::vector<std::string_view>& pieces) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            out.push_back('/');
        }
        out.append(pieces[i]);
    }
    return out;
}

Error jsonError(const DecodeError& error) {
    // The domain and code Foundation gives a document that is not JSON.
    return Error(PlatformError{"NSCocoaErrorDomain", 3840, error.message});
}

bool isFiniteNumber(const json& value) {
    return value.is_number() && std::isfinite(value.get<double>());
}

} // namespace

Result<std::vector<std::string>> markdownDestinations(std::string_view text) {
    if (hasUnsupportedLinkForm(text)) {
        return Unexpected{invalid(
            "Portable export supports inline Markdown links, not reference-style or HTML assets.")};
    }
    std::vector<std::string> destinations;
    std::size_t openers = 0;
    for (std::size_t at = text.find("]("); at != std::string_view::npos;
         at = text.find("](", at + 1)) {
        ++openers;
    }
    std::size_t at = text.find("](");
    while (at != std::string_view::npos) {
        if (auto match = inlineLinkAt(text, at + 2)) {
            destinations.push_back(std::move(match->destination));
            at = text.find("](", match->end);
        } else {
            at = text.find("](", at + 1);
        }
    }
    // A "](" that did not start a link, or that a link swallowed, means a destination
    // this reading did not see; exporting anyway could leave its file behind.
    if (destinations.size() != openers) {
        return Unexpected{invalid("A Markdown link cannot be exported. Use an inline link with an "
                                  "encoded path or an angle-bracket destination.")};
    }
    return destinations;
}

Result<std::optional<std::string>> localDestination(std::string_view link) {
    if (startsWith(link, "#")) {
        return std::optional<std::string>{};
    }
    if (auto scheme = schemeOf(link)) {
        if (*scheme == "http" || *scheme == "https" || *scheme == "mailto") {
            return std::optional<std::string>{};
        }
        return Unexpected{
            invalid("Portable export cannot include absolute file links or unsupported URL "
                    "schemes.")};
    }
    const std::string_view withoutFragment = link.substr(0, link.find('#'));
    const std::optional<std::string> decoded = percentDecoded(withoutFragment);
    const auto malformed = [&] {
        if (!decoded || decoded->empty() || decoded->front() == '/' ||
            decoded->find_first_of("?\\:") != std::string::npos) {
            return true;
        }
        for (std::size_t i = 0; i < decoded->size();) {
            const auto [cp, length] = decodeAt(*decoded, i);
            if (isControlOrFormat(cp)) {
                return true;
            }
            i += length;
        }
        return false;
    };
    if (malformed()) {
        return Unexpected{invalid("An evidence link is absolute, malformed, or unsupported.")};
    }
    std::vector<std::string_view> pieces = splitKeepingEmpty(*decoded);
    if (!pieces.empty() && pieces.front() == ".") {
        pieces.erase(pieces.begin());
    }
    const bool escapes = pieces.empty() || std::any_of(pieces.begin(), pieces.end(), [](auto p) {
                             return p.empty() || p == "." || p == "..";
                         });
    if (escapes) {
        return Unexpected{invalid("An evidence link escapes the selected capture.")};
    }
    std::string path = joined(pieces);
    if (path == "clip.mp4" || startsWith(path, "evidence/")) {
        return std::optional<std::string>{std::move(path)};
    }
    return Unexpected{invalid(
        "Only the selected recording and evidence images/index may be included in a portable "
        "report.")};
}

Result<void> validateImagePath(std::string_view path) {
    const std::string_view name = path.substr(path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    // A name that is only a dot and an extension is a hidden file, not an image.
    const std::string extension =
        (dot == std::string_view::npos || dot == 0) ? std::string() : lowered(name.substr(dot + 1));
    static const std::set<std::string> images{"jpg", "jpeg", "png", "gif", "webp"};
    if (!startsWith(path, "evidence/") || !images.contains(extension)) {
        return Unexpected{
            invalid("An evidence link is not a supported image or evidence.json index.")};
    }
    return {};
}

std::string relativeTo(std::string_view file, std::string_view folder) {
    const std::vector<std::string_view> filePieces = splitDroppingEmpty(file);
    const std::vector<std::string_view> folderPieces = splitDroppingEmpty(folder);
    std::size_t common = 0;
    while (common < filePieces.size() && common < folderPieces.size() &&
           filePieces[common] == folderPieces[common]) {
        ++common;
    }
    std::vector<std::string_view> pieces(folderPieces.size() - common, "..");
    pieces.insert(pieces.end(), filePieces.begin() + static_cast<std::ptrdiff_t>(common),
                  filePieces.end());
    return joined(pieces);
}

Result<void> validateIndexedPath(std::string_view absolute) {
    const std::vector<std::string_view> pieces =
        splitKeepingEmpty(startsWith(absolute, "/") ? absolute.substr(1) : absolute);
    const bool malformed = !startsWith(absolute, "/") ||
                           std::any_of(pieces.begin(), pieces.end(), [](std::string_view p) {
                               // A NUL would cut the path short where the kernel reads it.
                               return p.empty() || p == "." || p == ".." ||
                                      p.find('\\') != std::string_view::npos ||
                                      p.find('\0') != std::string_view::npos;
                           });
    if (malformed) {
        return Unexpected{invalid("An indexed frame path is malformed or escapes its capture.")};
    }
    return {};
}

Result<std::string> pathBelowCapture(std::string_view resolved, std::string_view capturePath) {
    std::vector<std::string_view> collected;
    std::string_view remaining = resolved;
    while (remaining != capturePath) {
        const std::size_t slash = remaining.rfind('/');
        if (remaining.empty() || remaining == "/" || slash == std::string_view::npos) {
            return Unexpected{invalid("An indexed frame is outside the selected capture.")};
        }
        collected.push_back(remaining.substr(slash + 1));
        remaining = slash == 0 ? std::string_view("/") : remaining.substr(0, slash);
    }
    std::reverse(collected.begin(), collected.end());
    return joined(collected);
}

Result<void> addEvidenceIndex(const std::string& path, const EvidenceReader& reader,
                              std::map<std::string, std::string>& files) {
    if (!startsWith(path, "evidence/")) {
        return Unexpected{invalid("Invalid evidence index path.")};
    }
    Result<std::string> bytes = reader.read(path);
    if (!bytes) {
        return Unexpected{std::move(bytes).error()};
    }
    Decoded<json> parsed = parseJson(*bytes);
    if (!parsed) {
        return Unexpected{jsonError(parsed.error())};
    }
    const json& index = *parsed;
    const auto lacking = [] {
        return Unexpected{invalid("The evidence index lacks a valid duration or frames.")};
    };
    if (!index.is_object() || !index.contains("durationSeconds") || !index.contains("frames")) {
        return lacking();
    }
    const json& duration = index["durationSeconds"];
    const json& frames = index["frames"];
    if (!isFiniteNumber(duration) || duration.get<double>() <= 0 || !frames.is_array() ||
        frames.empty() ||
        !std::all_of(frames.begin(), frames.end(), [](const json& f) { return f.is_object(); })) {
        return lacking();
    }

    const std::string folder = path.substr(0, path.rfind('/'));
    std::map<std::string, std::string> added;
    std::set<std::string> ids;
    json rewrittenFrames = json::array();
    for (const json& frame : frames) {
        const auto id = frame.find("id");
        const auto timestamp = frame.find("timestampSeconds");
        const auto framePath = frame.find("path");
        const bool valid =
            id != frame.end() && id->is_string() && !id->get_ref<const std::string&>().empty() &&
            !ids.contains(id->get_ref<const std::string&>()) && timestamp != frame.end() &&
            isFiniteNumber(*timestamp) && timestamp->get<double>() >= 0 &&
            timestamp->get<double>() <= duration.get<double>() && framePath != frame.end() &&
            framePath->is_string();
        if (!valid) {
            return Unexpected{invalid("The evidence index has an invalid frame reference.")};
        }
        ids.insert(id->get<std::string>());
        const std::string& source = framePath->get_ref<const std::string&>();
        std::string file;
        if (!startsWith(source, "/")) {
            // Not normalised: a parent step here is refused by the store's path check.
            file = folder + "/" + source;
        } else {
            Result<std::string> relative = reader.relativeIndexedPath(source);
            if (!relative) {
                return Unexpected{std::move(relative).error()};
            }
            file = std::move(*relative);
        }
        if (auto image = validateImagePath(file); !image) {
            return Unexpected{image.error()};
        }
        if (!added.contains(file) && !files.contains(file)) {
            Result<std::string> image = reader.read(file);
            if (!image) {
                return Unexpected{std::move(image).error()};
            }
            added.emplace(file, std::move(*image));
        }
        rewrittenFrames.push_back(json{
            {"id", *id}, {"timestampSeconds", *timestamp}, {"path", relativeTo(file, folder)}});
    }

    std::string clipPath;
    for (std::size_t level = 0; level < splitDroppingEmpty(folder).size(); ++level) {
        clipPath += "../";
    }
    clipPath += "clip.mp4";
    // nlohmann keeps object members in key order, which is the order the file wants.
    const json rewritten{{"v", 1},
                         {"kind", "portable-evidence-index"},
                         {"durationSeconds", duration},
                         {"clipPath", clipPath},
                         {"frames", std::move(rewrittenFrames)}};
    Expected<std::string, DecodeError> encoded = dumpJson(rewritten, 2);
    if (!encoded) {
        return Unexpected{jsonError(encoded.error())};
    }
    added[path] = std::move(*encoded);
    for (auto& [name, content] : added) {
        files[name] = std::move(content);
    }
    return {};
}

std::vector<ReportExportItem> inventoryOf(const std::map<std::string, std::string>& files) {
    std::vector<ReportExportItem> items;
    items.reserve(files.size());
    for (const auto& [path, bytes] : files) {
        items.push_back({path, static_cast<std::int64_t>(bytes.size())});
    }
    return items;
}

Result<std::map<std::string, std::string>> exportFiles(std::string_view reportText,
                                                       const EvidenceReader& reader) {
    std::map<std::string, std::string> files{{"report.md", std::string(reportText)}};
    Result<std::string> clip = reader.read("clip.mp4");
    if (!clip) {
        return Unexpected{std::move(clip).error()};
    }
    files.emplace("clip.mp4", std::move(*clip));

    Result<std::vector<std::string>> links = markdownDestinations(reportText);
    if (!links) {
        return Unexpected{std::move(links).error()};
    }
    std::set<std::string> seen;
    for (const std::string& link : *links) {
        Result<std::optional<std::string>> local = localDestination(link);
        if (!local) {
            return Unexpected{std::move(local).error()};
        }
        if (!local->has_value() || **local == "clip.mp4" || !seen.insert(**local).second) {
            continue;
        }
        const std::string& path = **local;
        if (endsWith(path, "/evidence.json")) {
            if (auto added = addEvidenceIndex(path, reader, files); !added) {
                return Unexpected{added.error()};
            }
            continue;
        }
        if (auto image = validateImagePath(path); !image) {
            return Unexpected{image.error()};
        }
        if (files.contains(path)) {
            continue;
        }
        Result<std::string> bytes = reader.read(path);
        if (!bytes) {
            return Unexpected{std::move(bytes).error()};
        }
        files.emplace(path, std::move(*bytes));
    }
    return files;
}

} // namespace snagreel::reports::exportsteps
