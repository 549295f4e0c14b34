#pragma once

#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snagreel::reports {

// Who wrote a report. Declaration order is the order of the raw values below.
enum class ReportKind { local, cloud, manual };

std::string_view rawValue(ReportKind kind);
std::optional<ReportKind> reportKindFromRawValue(std::string_view raw);
// The raw value with its first letter upper-cased: "Local", "Cloud", "Manual".
std::string title(ReportKind kind);

// A kind is stored as its raw string; anything else fails to decode.
nlohmann::json encodeReportKind(ReportKind kind);
Decoded<ReportKind> decodeReportKind(const nlohmann::json& value);

// The prefix tests are case-sensitive and look at the start only, so
// "report-localized-notes.md" is local and "Report-cloud-1.md" is manual.
ReportKind reportKindForID(std::string_view id);

using ReportDate = std::chrono::system_clock::time_point;

// The earliest instant the clock type can hold (late 1677 with nanosecond ticks):
// earlier than any file date we can be given, so undated reports sort last.
ReportDate distantPastReportDate();

// The locale's medium date and medium time for `date` (current locale and zone).
std::string formatReportDate(ReportDate date);

// kind.title, " \u00B7 ", then the formatted date.
std::string reportLabel(ReportKind kind, ReportDate createdAt);

struct ReportEntry {
    std::string id; // the report's file name inside its capture directory
    std::string label;
    ReportKind kind = ReportKind::manual;
    ReportDate createdAt{};

    bool operator==(const ReportEntry&) const = default;
};

// The entry of report file `id` from the dates its file system gives: the creation
// date, else the modification date, else the distant past.
ReportEntry makeReportEntry(std::string id, std::optional<ReportDate> creationDate,
                            std::optional<ReportDate> modificationDate);

// Newer first; equal instants put the greater id first.
bool reportEntryPrecedes(const ReportEntry& a, const ReportEntry& b);
void sortReportEntries(std::vector<ReportEntry>& entries);

struct ReportDocument {
    ReportEntry entry;
    std::string text;         // the working copy when there is one, else originalText
    std::string originalText; // what the engine or manual creation wrote; never edited

    // Exact comparison: a trailing newline alone makes a document edited.
    bool isEdited() const { return text != originalText; }

    bool operator==(const ReportDocument&) const = default;
};

} // namespace snagreel::reports
