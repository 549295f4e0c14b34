#include "SnagreelReports/ReportExport.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr const char* kReferenceOrHtml =
    "Portable export supports inline Markdown links, not reference-style or HTML assets.";

// The two link patterns as regular expressions, to read short ASCII texts a second
// way. Line feed and carriage return are the only line ends both readings share.
bool unsupportedByRegex(const std::string& text) {
    static const std::regex reference(R"(^\s*\[[^\]\n]+\]:|<(?:img|a|video|source)\b)",
                                      std::regex::ECMAScript | std::regex::icase |
                                          std::regex::multiline);
    return std::regex_search(text, reference);
}

std::vector<std::string> destinationsByRegex(const std::string& text) {
    static const std::regex destination(
        R"(\]\(\s*(?:<([^>\n]+)>|([^\s\)]+))(?:\s+(?:"[^"\n]*"|'[^'\n]*'))?\s*\))");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), destination);
         it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return found;
}

} // namespace

// The export decides from these readings which files leave the capture: a link it
// misreads is either a file left behind or a path it never checked.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace snagreel::reports::exportsteps;
    const std::string input(reinterpret_cast<const char*>(data), size);

    const auto destinations = markdownDestinations(input);
    const bool comparable =
        size <= 96 && input.find_first_of(std::string_view("\v\f\0", 3)) == std::string::npos &&
        std::all_of(input.begin(), input.end(), [](char c) { return (c & 0x80) == 0; });
    if (comparable) {
        if (unsupportedByRegex(input)) {
            check(!destinations && destinations.error().description() == kReferenceOrHtml);
        } else {
            const std::vector<std::string> expected = destinationsByRegex(input);
            std::size_t openers = 0;
            for (auto at = input.find("]("); at != std::string::npos;
                 at = input.find("](", at + 1)) {
                ++openers;
            }
            check(destinations.hasValue() == (expected.size() == openers));
            if (destinations) {
                check(*destinations == expected);
            }
        }
    }

    const auto local = localDestination(input);
    if (local && local->has_value()) {
        const std::string& path = **local;
        check(path == "clip.mp4" || path.starts_with("evidence/"));
        const auto pieces = snagreel::reports::capturePathPieces(path);
        check(pieces || path.size() > 255);
        for (unsigned char c : path) {
            check(c >= 0x20 && c != 0x7F && c != '\\' && c != ':' && c != '?');
        }
    }
    return 0;
}
