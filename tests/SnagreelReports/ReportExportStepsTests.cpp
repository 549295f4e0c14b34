#include "SnagreelReports/ReportExport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace snagreel::reports {
namespace {

using namespace exportsteps;
using nlohmann::json;

constexpr const char* kReferenceOrHtml =
    "Portable export supports inline Markdown links, not reference-style or HTML assets.";
constexpr const char* kNotUnderstood = "A Markdown link cannot be exported. Use an inline link "
                                       "with an encoded path or an angle-bracket destination.";
constexpr const char* kScheme =
    "Portable export cannot include absolute file links or unsupported URL schemes.";
constexpr const char* kMalformed = "An evidence link is absolute, malformed, or unsupported.";
constexpr const char* kEscapes = "An evidence link escapes the selected capture.";
constexpr const char* kOnly =
    "Only the selected recording and evidence images/index may be included in a portable report.";
constexpr const char* kNotImage =
    "An evidence link is not a supported image or evidence.json index.";
constexpr const char* kLacks = "The evidence index lacks a valid duration or frames.";
constexpr const char* kBadFrame = "The evidence index has an invalid frame reference.";

template <typename T> std::string failure(const Result<T>& result) {
    return result ? std::string("<succeeded>") : result.error().description();
}

struct DestinationCase {
    std::string text;
    std::vector<std::string> destinations; // empty with a message: fails
    std::string message;
};

TEST(ReportExportSteps, MarkdownDestinationsReadInlineLinksAndRefuseWhatTheyCannotSee) {
    const std::vector<DestinationCase> cases = {
        {"No links at all.", {}, ""},
        {"![shot](evidence/a.png) and [site](https://example.com/x)",
         {"evidence/a.png", "https://example.com/x"},
         ""},
        {"[x](<evidence/a b.png>)", {"evidence/a b.png"}, ""},
        {"[x](evidence/a.png \"Title\") [y]( evidence/b.png 'T' )",
         {"evidence/a.png", "evidence/b.png"},
         ""},
        {"Code spans count too: `![x](evidence/code.png)`", {"evidence/code.png"}, ""},
        {"Not a definition: see [ref]: here", {}, ""},
        {"An <abbr>abbreviation</abbr> and <span>", {}, ""},
        // An angle destination that does not close the link falls back to the plain form.
        {"[x](<b>c)", {"<b>c"}, ""},
        {"[ref]: evidence/a.png", {}, kReferenceOrHtml},
        {"Intro\n\n   [ref]: evidence/a.png", {}, kReferenceOrHtml},
        {"Intro\r\t[ref]: evidence/a.png", {}, kReferenceOrHtml},
        {"<img src=\"evidence/a.png\">", {}, kReferenceOrHtml},
        {"<A HREF=\"evidence/a.png\">x</a>", {}, kReferenceOrHtml},
        {"<video controls>", {}, kReferenceOrHtml},
        {"text <source", {}, kReferenceOrHtml},
        {"[x](evidence/a b.png)", {}, kNotUnderstood},
        {"[x](evidence/a\u00A0b.png)", {}, kNotUnderstood},
        {"[x](evidence/a.png", {}, kNotUnderstood},
        {"a ]( b", {}, kNotUnderstood},
        {"[x](<evidence/a\nb.png>)", {}, kNotUnderstood},
        {"[x](evidence/a.png \"open title)", {}, kNotUnderstood},
        // A second link hidden inside the first one's angle brackets.
        {"[a](<x](evidence/b.png>)", {}, kNotUnderstood},
    };
    for (const DestinationCase& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = markdownDestinations(c.text);
        if (c.message.empty()) {
            ASSERT_TRUE(result) << failure(result);
            EXPECT_EQ(*result, c.destinations);
        } else {
            EXPECT_EQ(failure(result), c.message);
        }
    }
}

struct LocalCase {
    std::string link;
    std::optional<std::string> path;
    std::string message; // empty: succeeds with `path`
};

TEST(ReportExportSteps, LocalDestinationKeepsLinksInsideTheRecordingAndEvidence) {
    const std::vector<LocalCase> cases = {
        {"#top", std::nullopt, ""},
        {"https://example.com/a.png", std::nullopt, ""},
        {"HTTP://example.com", std::nullopt, ""},
        {"mailto:someone@example.com", std::nullopt, ""},
        {"clip.mp4", "clip.mp4", ""},
        {"./evidence/a.png", "evidence/a.png", ""},
        {"evidence/a%20b.png", "evidence/a b.png", ""},
        {"evidence/a.png#frame-2", "evidence/a.png", ""},
        {"evidence/%C3%A9t%C3%A9.png", "evidence/\u00E9t\u00E9.png", ""},
        {"file:///etc/passwd", std::nullopt, kScheme},
        {"javascript:alert(1)", std::nullopt, kScheme},
        {"data:image/png;base64,AAAA", std::nullopt, kScheme},
        {"/etc/passwd", std::nullopt, kMalformed},
        {"%2Fetc/passwd", std::nullopt, kMalformed},
        {"evidence/a%2", std::nullopt, kMalformed},
        {"evidence/a%zz.png", std::nullopt, kMalformed},
        {"evidence/%FF.png", std::nullopt, kMalformed},
        {"evidence/a%00.png", std::nullopt, kMalformed},
        {std::string("evidence/a\x01.png"), std::nullopt, kMalformed},
        {"evidence/a%7F.png", std::nullopt, kMalformed},
        {"evidence/a%C2%85.png", std::nullopt, kMalformed},
        {"evidence/a.png?v=2", std::nullopt, kMalformed},
        {"evidence\\a.png", std::nullopt, kMalformed},
        {"evidence/a%3A.png", std::nullopt, kMalformed},
        {"../clip.mp4", std::nullopt, kEscapes},
        {"evidence/%2e%2e/manifest.json", std::nullopt, kEscapes},
        {"evidence/%2F..%2Fmanifest.json", std::nullopt, kEscapes},
        {"evidence//a.png", std::nullopt, kEscapes},
        {"evidence/", std::nullopt, kEscapes},
        {"././evidence/a.png", std::nullopt, kEscapes},
        {".", std::nullopt, kEscapes},
        {"manifest.json", std::nullopt, kOnly},
        {"working/selection.json", std::nullopt, kOnly},
        {"report-local-1.md", std::nullopt, kOnly},
        {"evidence", std::nullopt, kOnly},
    };
    for (const LocalCase& c : cases) {
        SCOPED_TRACE(c.link);
        const auto result = localDestination(c.link);
        if (c.message.empty()) {
            ASSERT_TRUE(result) << failure(result);
            EXPECT_EQ(*result, c.path);
        } else {
            EXPECT_EQ(failure(result), c.message);
        }
    }
}

TEST(ReportExportSteps, ImagesAreKnownExtensionsUnderEvidence) {
    for (const char* good : {"evidence/a.png", "evidence/a.PNG", "evidence/sub/b.JpEg",
                             "evidence/c.jpg", "evidence/d.gif", "evidence/e.webp"}) {
        EXPECT_TRUE(validateImagePath(good)) << good;
    }
    for (const char* bad : {"evidence/a.svg", "evidence/a", "evidence/.png", "evidence/a.png.txt",
                            "other/a.png", "clip.mp4", "evidence/evidence.json"}) {
        EXPECT_EQ(failure(validateImagePath(bad)), kNotImage) << bad;
    }
}

TEST(ReportExportSteps, IndexedFramePathsAreCutBelowTheCaptureOnly) {
    EXPECT_EQ(*pathBelowCapture("/c/ID/evidence/a.png", "/c/ID"), "evidence/a.png");
    // A sibling whose name merely starts with the capture's is outside.
    EXPECT_EQ(failure(pathBelowCapture("/c/ID-other/evidence/a.png", "/c/ID")),
              "An indexed frame is outside the selected capture.");
    EXPECT_EQ(failure(pathBelowCapture("/etc/passwd", "/c/ID")),
              "An indexed frame is outside the selected capture.");

    EXPECT_TRUE(validateIndexedPath("/c/ID/evidence/a.png"));
    for (const std::string& bad :
         std::vector<std::string>{"/c//ID/a.png", "/c/./ID/a.png", "/c/ID/../ID/a.png",
                                  "/c/ID\\a.png", "/c/ID/evidence/", "/", "relative/a.png",
                                  std::string("/c/ID/evidence/a.png\0/x.png", 27)}) {
        EXPECT_EQ(failure(validateIndexedPath(bad)),
                  "An indexed frame path is malformed or escapes its capture.")
            << bad;
    }
}

TEST(ReportExportSteps, RelativeToStepsUpPerUnsharedFolder) {
    EXPECT_EQ(relativeTo("evidence/run/shot.png", "evidence/run"), "shot.png");
    EXPECT_EQ(relativeTo("evidence/shot.png", "evidence/run"), "../shot.png");
    EXPECT_EQ(relativeTo("evidence/a/b.png", "evidence/c/d"), "../../a/b.png");
}

// A capture held in memory: the reader refuses what it does not hold, as the store
// does for a missing file.
struct FakeCapture {
    std::map<std::string, std::string> files;
    std::vector<std::string> reads;

    EvidenceReader reader() {
        EvidenceReader r;
        r.read = [this](const std::string& relative) -> Result<std::string> {
            reads.push_back(relative);
            const auto found = files.find(relative);
            if (found == files.end()) {
                return Unexpected{Error::posix(ENOENT)};
            }
            return found->second;
        };
        r.relativeIndexedPath = [](const std::string& absolute) -> Result<std::string> {
            return pathBelowCapture(absolute, "/captures/ID");
        };
        return r;
    }
};

TEST(ReportExportSteps, EvidenceIndexIsRewrittenToPointInsideTheExport) {
    FakeCapture capture;
    capture.files["evidence/run/evidence.json"] = R"({
        "v": 7, "kind": "engine-index", "clipPath": "/captures/ID/clip.mp4", "note": "dropped",
        "durationSeconds": 12.5,
        "frames": [
            {"id": "f1", "timestampSeconds": 0, "path": "shot.png", "label": "dropped"},
            {"id": "f2", "timestampSeconds": 12.5, "path": "/captures/ID/evidence/top.jpg"}
        ]})";
    capture.files["evidence/run/shot.png"] = "PNG";
    capture.files["evidence/top.jpg"] = "JPG";
    std::map<std::string, std::string> files{{"report.md", "r"}};
    ASSERT_TRUE(addEvidenceIndex("evidence/run/evidence.json", capture.reader(), files));

    EXPECT_EQ(files.at("evidence/run/shot.png"), "PNG");
    EXPECT_EQ(files.at("evidence/top.jpg"), "JPG");
    const std::string& written = files.at("evidence/run/evidence.json");
    const json index = json::parse(written);
    EXPECT_EQ(index, json::parse(R"({
        "v": 1, "kind": "portable-evidence-index", "durationSeconds": 12.5,
        "clipPath": "../../clip.mp4",
        "frames": [
            {"id": "f1", "timestampSeconds": 0, "path": "shot.png"},
            {"id": "f2", "timestampSeconds": 12.5, "path": "../top.jpg"}
        ]})"));
    // Keys in order, one member per line.
    EXPECT_LT(written.find("\"clipPath\""), written.find("\"durationSeconds\""));
    EXPECT_LT(written.find("\"frames\""), written.find("\"kind\""));
    EXPECT_NE(written.find("\n"), std::string::npos);
}

TEST(ReportExportSteps, EvidenceIndexDirectlyInEvidenceStepsUpOnce) {
    FakeCapture capture;
    capture.files["evidence/evidence.json"] =
        R"({"durationSeconds": 3, "frames": [{"id": "a", "timestampSeconds": 1, "path": "a.png"}]})";
    capture.files["evidence/a.png"] = "A";
    std::map<std::string, std::string> files;
    ASSERT_TRUE(addEvidenceIndex("evidence/evidence.json", capture.reader(), files));
    EXPECT_EQ(json::parse(files.at("evidence/evidence.json"))["clipPath"], "../clip.mp4");
}

TEST(ReportExportSteps, BadEvidenceIndexesFailAndAddNothing) {
    const std::string frame = R"({"id": "a", "timestampSeconds": 1, "path": "a.png"})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[]", kLacks},
        {R"({"frames": [)" + frame + "]}", kLacks},
        {R"({"durationSeconds": 0, "frames": [)" + frame + "]}", kLacks},
        {R"({"durationSeconds": -1, "frames": [)" + frame + "]}", kLacks},
        {R"({"durationSeconds": "5", "frames": [)" + frame + "]}", kLacks},
        {R"({"durationSeconds": 5, "frames": []})", kLacks},
        {R"({"durationSeconds": 5, "frames": [)" + frame + ", 3]}", kLacks},
        {R"({"durationSeconds": 5, "frames": {"a": 1}})", kLacks},
        {R"({"durationSeconds": 5, "frames": [)" + frame + ", " + frame + "]}", kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "", "timestampSeconds": 1, "path": "a.png"}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": 1, "timestampSeconds": 1, "path": "a.png"}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": 5.01, "path": "a.png"}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": -0.5, "path": "a.png"}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": "1", "path": "a.png"}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": 1}]})", kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": 1, "path": 3}]})",
         kBadFrame},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": 1, "path": "a.txt"}]})",
         kNotImage},
        {R"({"durationSeconds": 5, "frames": [{"id": "a", "timestampSeconds": 1, "path": "/etc/a.png"}]})",
         "An indexed frame is outside the selected capture."},
        // The first frame is fine; the second names a file the capture lacks.
        {R"({"durationSeconds": 5, "frames": [)" + frame +
             R"(, {"id": "b", "timestampSeconds": 2, "path": "missing.png"}]})",
         std::strerror(ENOENT) + std::string(".")},
        {"{not json", "The document is not valid JSON."},
    };
    for (const auto& [source, message] : cases) {
        SCOPED_TRACE(source);
        FakeCapture capture;
        capture.files["evidence/evidence.json"] = source;
        capture.files["evidence/a.png"] = "A";
        std::map<std::string, std::string> files{{"report.md", "r"}};
        EXPECT_EQ(failure(addEvidenceIndex("evidence/evidence.json", capture.reader(), files)),
                  message);
        EXPECT_EQ(files, (std::map<std::string, std::string>{{"report.md", "r"}}));
    }
    FakeCapture capture;
    std::map<std::string, std::string> files;
    EXPECT_EQ(failure(addEvidenceIndex("other/evidence.json", capture.reader(), files)),
              "Invalid evidence index path.");
    EXPECT_TRUE(capture.reads.empty());
}

TEST(ReportExportSteps, ExportFilesHoldTheReportClipAndEachLinkedImageOnce) {
    FakeCapture capture;
    capture.files["clip.mp4"] = "MOVIE";
    capture.files["evidence/a b.png"] = "AB";
    capture.files["evidence/c.png"] = "C";
    capture.files["manifest.json"] = "{}";

    const std::string plain = "Nothing linked, [site](https://example.com).";
    auto bare = exportFiles(plain, capture.reader());
    ASSERT_TRUE(bare) << failure(bare);
    EXPECT_EQ(inventoryOf(*bare),
              (std::vector<ReportExportItem>{
                  {"clip.mp4", 5}, {"report.md", static_cast<std::int64_t>(plain.size())}}));

    const std::string text = "![one](evidence/a%20b.png) ![again](<evidence/a b.png>) "
                             "[clip](clip.mp4) ![c](./evidence/c.png#x)";
    capture.reads.clear();
    auto linked = exportFiles(text, capture.reader());
    ASSERT_TRUE(linked) << failure(linked);
    EXPECT_EQ(*linked, (std::map<std::string, std::string>{{"clip.mp4", "MOVIE"},
                                                           {"evidence/a b.png", "AB"},
                                                           {"evidence/c.png", "C"},
                                                           {"report.md", text}}));
    EXPECT_EQ(capture.reads,
              (std::vector<std::string>{"clip.mp4", "evidence/a b.png", "evidence/c.png"}));

    EXPECT_EQ(failure(exportFiles("[m](manifest.json)", capture.reader())), kOnly);
    EXPECT_EQ(failure(exportFiles("[f](file:///etc/passwd)", capture.reader())), kScheme);
    EXPECT_EQ(failure(exportFiles("[j](evidence/notes.txt)", capture.reader())), kNotImage);
}

} // namespace
} // namespace snagreel::reports
