#include "SnagreelReports/ReportDocument.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace snagreel::reports;
using namespace std::chrono_literals;

TEST(ReportKind, RawValuesTitlesAndDecoding) {
    const struct {
        ReportKind kind;
        const char* raw;
        const char* title;
    } table[] = {{ReportKind::local, "local", "Local"},
                 {ReportKind::cloud, "cloud", "Cloud"},
                 {ReportKind::manual, "manual", "Manual"}};
    for (const auto& row : table) {
        EXPECT_EQ(rawValue(row.kind), row.raw);
        EXPECT_EQ(title(row.kind), row.title);
        EXPECT_EQ(encodeReportKind(row.kind), nlohmann::json(row.raw));
        auto decoded = decodeReportKind(nlohmann::json(row.raw));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, row.kind);
    }
    EXPECT_FALSE(decodeReportKind(nlohmann::json("Local")));
    EXPECT_FALSE(decodeReportKind(nlohmann::json("hosted")));
    EXPECT_FALSE(decodeReportKind(nlohmann::json(1)));
}

TEST(ReportKind, DerivedFromCaseSensitivePrefixOnly) {
    EXPECT_EQ(reportKindForID("report-local-2026.md"), ReportKind::local);
    EXPECT_EQ(reportKindForID("report-localized-notes.md"), ReportKind::local);
    EXPECT_EQ(reportKindForID("report-cloud.md"), ReportKind::cloud);
    EXPECT_EQ(reportKindForID("Report-cloud-1.md"), ReportKind::manual);
    EXPECT_EQ(reportKindForID("report-manual-0B1C.md"), ReportKind::manual);
    EXPECT_EQ(reportKindForID("notes.md"), ReportKind::manual);
}

TEST(ReportEntry, DateFallsBackFromCreationToModificationToDistantPast) {
    const ReportDate created{1'700'000'000s};
    const ReportDate modified{1'800'000'000s};
    EXPECT_EQ(makeReportEntry("a.md", created, modified).createdAt, created);
    EXPECT_EQ(makeReportEntry("a.md", std::nullopt, modified).createdAt, modified);
    const ReportEntry undated = makeReportEntry("report-cloud-x.md", std::nullopt, std::nullopt);
    EXPECT_EQ(undated.createdAt, distantPastReportDate());
    EXPECT_LT(undated.createdAt, ReportDate{});
    EXPECT_EQ(undated.kind, ReportKind::cloud);
    // The distant past is still printable: the label carries a real date text.
    EXPECT_GT(undated.label.size(), std::string("Cloud \u00B7 ").size());
}

TEST(ReportEntry, LabelIsTitleMiddleDotAndFormattedDate) {
    const ReportDate when{1'764'912'709s};
    const ReportEntry entry = makeReportEntry("report-local-1.md", when, std::nullopt);
    EXPECT_EQ(entry.label, "Local \u00B7 " + formatReportDate(when));
    EXPECT_FALSE(formatReportDate(when).empty());
    EXPECT_NE(formatReportDate(when), formatReportDate(when + 24h));
}

TEST(ReportEntry, OrderIsNewestFirstThenGreaterIdFirst) {
    const ReportDate t0{1'000s};
    std::vector<ReportEntry> entries = {
        makeReportEntry("b.md", t0, std::nullopt),
        makeReportEntry("undated.md", std::nullopt, std::nullopt),
        makeReportEntry("a.md", t0 + 5s, std::nullopt),
        makeReportEntry("c.md", t0, std::nullopt),
        makeReportEntry("a2.md", t0, std::nullopt),
    };
    sortReportEntries(entries);
    std::vector<std::string> ids;
    for (const auto& e : entries) {
        ids.push_back(e.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"a.md", "c.md", "b.md", "a2.md", "undated.md"}));
}

TEST(ReportDocument, EditedIsExactComparison) {
    ReportDocument document;
    document.originalText = "# Title\r\n";
    document.text = document.originalText;
    EXPECT_FALSE(document.isEdited());
    document.text = "# Title\r\n\n";
    EXPECT_TRUE(document.isEdited());
    document.text = "# Title\n";
    EXPECT_TRUE(document.isEdited());
}
