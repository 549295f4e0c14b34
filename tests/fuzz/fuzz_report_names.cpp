#include "SnagreelReports/ReportDocument.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

// The name rule and the path splitter guard every file the report store opens: a
// name they accept must never be able to leave the capture directory.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    using namespace snagreel::reports;

    const bool valid = isValidReportID(input);
    if (valid) {
        check(input.size() >= 4 && input.size() <= NAME_MAX);
        check(input.front() != '.' && input.ends_with(".md"));
        check(input.find_first_of(std::string_view("/\\\0\n", 4)) == std::string_view::npos);
        const auto pieces = capturePathPieces(input);
        check(pieces && pieces->size() == 1 && (*pieces)[0] == input);
        const ReportKind kind = reportKindForID(input);
        check((kind == ReportKind::local) == input.starts_with("report-local"));
    }
    // An independent reading of the rule; std::regex recurses per character, so only
    // short inputs are compared.
    if (size <= 64) {
        static const std::regex rule("^[A-Za-z0-9][A-Za-z0-9._ -]*\\.md$");
        check(valid == std::regex_match(std::string(input), rule));
    }

    if (const auto pieces = capturePathPieces(input)) {
        std::string joined;
        for (const std::string& piece : *pieces) {
            check(!piece.empty() && piece != "." && piece != "..");
            check(piece.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos);
            check(piece.size() <= NAME_MAX);
            joined += (joined.empty() && &piece == &pieces->front() ? "" : "/") + piece;
        }
        check(joined == input);
    }
    return 0;
}
