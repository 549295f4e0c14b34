#include "SnagreelReports/ReportDocument.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace snagreel::reports {

std::string_view rawValue(ReportKind kind) {
    switch (kind) {
    case ReportKind::local:
        return "local";
    case ReportKind::cloud:
        return "cloud";
    case ReportKind::manual:
        return "manual";
    }
    return "manual";
}

std::optional<ReportKind> reportKindFromRawValue(std::string_view raw) {
    for (ReportKind kind : {ReportKind::local, ReportKind::cloud, ReportKind::manual}) {
        if (rawValue(kind) == raw) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string title(ReportKind kind) {
    std::string text(rawValue(kind));
    // Raw values are single lower-case ASCII words, so this stays locale-free.
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    return text;
}

nlohmann::json encodeReportKind(ReportKind kind) {
    return std::string(rawValue(kind));
}

Decoded<ReportKind> decodeReportKind(const nlohmann::json& value) {
    if (!value.is_string()) {
        return Unexpected{DecodeError{"A report kind must be a string."}};
    }
    const auto kind = reportKindFromRawValue(value.get_ref<const std::string&>());
    if (!kind) {
        return Unexpected{DecodeError{"Unknown report kind."}};
    }
    return *kind;
}

ReportKind reportKindForID(std::string_view id) {
    if (id.starts_with("report-local")) {
        return ReportKind::local;
    }
    if (id.starts_with("report-cloud")) {
        return ReportKind::cloud;
    }
    return ReportKind::manual;
}

ReportDate distantPastReportDate() {
    return ReportDate::min();
}

std::string reportLabel(ReportKind kind, ReportDate createdAt) {
    return title(kind) + " \u00B7 " + formatReportDate(createdAt);
}

ReportEntry makeReportEntry(std::string id, std::optional<ReportDate> creationDate,
                            std::optional<ReportDate> modificationDate) {
    ReportEntry entry;
    entry.kind = reportKindForID(id);
    entry.createdAt = creationDate.value_or(modificationDate.value_or(distantPastReportDate()));
    entry.label = reportLabel(entry.kind, entry.createdAt);
    entry.id = std::move(id);
    return entry;
}

bool reportEntryPrecedes(const ReportEntry& a, const ReportEntry& b) {
    if (a.createdAt != b.createdAt) {
        return a.createdAt > b.createdAt;
    }
    return a.id > b.id;
}

void sortReportEntries(std::vector<ReportEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), reportEntryPrecedes);
}

} // namespace snagreel::reports
