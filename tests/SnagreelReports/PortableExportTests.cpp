#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportPresentation.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace snagreel::reports {
namespace {

namespace fs = std::filesystem;
using namespace exportsteps;
using nlohmann::json;

constexpr const char* kExists = "Choose a new export folder; the destination already exists.";
constexpr const char* kReportID = "report-local-1.md";

template <typename T> std::string failure(const Result<T>& result) {
    return result ? std::string("<succeeded>") : result.error().description();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every item below `root` with its kind and mode: "d 700", "f 600" or "l".
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(item.path().c_str(), &info);
        const std::string relative = fs::relative(item.path(), root).generic_string();
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", info.st_mode & 07777);
        tree[relative] = S_ISLNK(info.st_mode)   ? std::string("l")
                         : S_ISDIR(info.st_mode) ? std::string("d ") + mode
                                                 : std::string("f ") + mode;
    }
    return tree;
}

bool hasStaging(const fs::path& folder) {
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().filename().string().starts_with(kExportStagingPrefix)) {
            return true;
        }
    }
    return false;
}

class PortableExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/snagreel-export-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = fs::canonical(pattern);
        capture_ = root_ / "captures" / "3f0c5e4a-8d1b-4c1e-9a51-0d4c7b2a9e10";
        outside_ = root_ / "outside";
        out_ = root_ / "out";
        fs::create_directories(capture_);
        fs::create_directories(outside_);
        fs::create_directories(out_);
        writeFile(capture_ / "clip.mp4", std::string(4096, '\x42'));
        writeFile(capture_ / "manifest.json", "{}");
        writeFile(capture_ / "evidence" / "a.png", "PNG-A");
        writeFile(capture_ / "evidence" / "run" / "shot.png", "PNG-SHOT");
        writeFile(outside_ / "secret.png", "SECRET");
    }
    void TearDown() override { fs::remove_all(root_); }

    ReportStore store() {
        auto made = ReportStore::create(capture_);
        EXPECT_TRUE(made) << failure(made);
        return *made;
    }

    Result<ReportExportPlan> prepare(const std::string& text) {
        writeFile(capture_ / kReportID, text);
        return prepareExport(store(), kReportID);
    }

    fs::path root_, capture_, outside_, out_;
};

TEST_F(PortableExportTest, ExportsTheReportClipAndLinkedEvidenceAsAPrivateFolder) {
    writeFile(capture_ / "evidence" / "run" / "evidence.json",
              R"({"durationSeconds": 10, "frames": [
                   {"id": "1", "timestampSeconds": 2, "path": "shot.png"},
                   {"id": "2", "timestampSeconds": 3, "path": ")" +
                  (capture_ / "evidence" / "a.png").string() + R"("}]})");
    writeFile(capture_ / "evidence" / "unlinked.png", "NOT-LINKED");
    const std::string text = "# Report\n![a](evidence/a.png) [index](evidence/run/evidence.json) "
                             "[clip](clip.mp4) [web](https://example.com)\n";
    writeFile(capture_ / kReportID, text);
    ReportStore reports = store();
    // The working copy is what the user sees, so it is what is exported.
    const std::string edited = text + "Edited.\n";
    ASSERT_TRUE(reports.save(kReportID, edited));

    auto plan = prepareExport(reports, kReportID);
    ASSERT_TRUE(plan) << failure(plan);
    EXPECT_EQ(plan->capturePath, capture_.string());
    std::vector<std::string> listed;
    for (const auto& item : plan->inventory) {
        listed.push_back(item.relativePath);
        EXPECT_EQ(item.byteCount,
                  static_cast<std::int64_t>(plan->files.at(item.relativePath).size()));
    }
    EXPECT_EQ(listed,
              (std::vector<std::string>{"clip.mp4", "evidence/a.png", "evidence/run/evidence.json",
                                        "evidence/run/shot.png", "report.md"}));

    const fs::path target = out_ / "bundle";
    ASSERT_TRUE(exportReport(reports, *plan, target));
    EXPECT_EQ(treeOf(target), (std::map<std::string, std::string>{
                                  {"clip.mp4", "f 600"},
                                  {"evidence", "d 700"},
                                  {"evidence/a.png", "f 600"},
                                  {"evidence/run", "d 700"},
                                  {"evidence/run/evidence.json", "f 600"},
                                  {"evidence/run/shot.png", "f 600"},
                                  {"report.md", "f 600"},
                              }));
    EXPECT_EQ(readFile(target / "report.md"), edited);
    EXPECT_EQ(readFile(target / "clip.mp4"), readFile(capture_ / "clip.mp4"));
    EXPECT_EQ(readFile(target / "evidence" / "run" / "shot.png"), "PNG-SHOT");
    const auto index = nlohmann::json::parse(readFile(target / "evidence/run/evidence.json"));
    EXPECT_EQ(index["clipPath"], "../../clip.mp4");
    EXPECT_EQ(index["frames"][0]["path"], "shot.png");
    EXPECT_EQ(index["frames"][1]["path"], "../a.png");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_FALSE(hasStaging(out_));

    // A plan is written once per destination.
    EXPECT_EQ(failure(exportReport(reports, *plan, target)), kExists);
}

TEST_F(PortableExportTest, AReportWithoutLinksExportsOnlyTheClipAndTheReport) {
    auto plan = prepare("Nothing to see.");
    ASSERT_TRUE(plan) << failure(plan);
    EXPECT_EQ(plan->inventory,
              (std::vector<ReportExportItem>{{"clip.mp4", 4096}, {"report.md", 15}}));
    ASSERT_TRUE(exportReport(store(), *plan, out_ / "plain/"));
    EXPECT_EQ(treeOf(out_ / "plain"),
              (std::map<std::string, std::string>{{"clip.mp4", "f 600"}, {"report.md", "f 600"}}));
}

struct Attack {
    const char* name;
    std::function<void(const fs::path& capture, const fs::path& outside)> arrange;
    std::string text;
    std::string message; // empty: any failure
};

TEST_F(PortableExportTest, LinksThatLeaveTheCaptureOrUseLinksAreRefusedBeforeAnythingIsWritten) {
    const auto none = [](const fs::path&, const fs::path&) {};
    // The link rules are tabled in LocalDestinationKeepsLinksInsideTheRecordingAndEvidence
    // and the file rules in the store's EveryFileTheStoreOrTheExportReadsFollowsOneRule;
    // these need the capture's files and the index.
    const std::vector<Attack> attacks = {
        {"over-long name", none, "![x](evidence/" + std::string(300, 'n') + ".png)",
         "An evidence path escapes the selected capture."},
        {"missing image", none, "![x](evidence/none.png)", ""},
        {"index frame with a parent step",
         [](const fs::path& c, const fs::path&) {
             writeFile(c / "evidence" / "evidence.json",
                       R"({"durationSeconds": 1, "frames": [
                            {"id": "a", "timestampSeconds": 0, "path": "../../outside/secret.png"}]})");
         },
         "[i](evidence/evidence.json)", "An evidence path escapes the selected capture."},
        {"index frame absolute outside",
         [](const fs::path& c, const fs::path& o) {
             writeFile(c / "evidence" / "evidence.json",
                       R"({"durationSeconds": 1, "frames": [
                            {"id": "a", "timestampSeconds": 0, "path": ")" +
                           (o / "secret.png").string() + R"("}]})");
         },
         "[i](evidence/evidence.json)", "An indexed frame is outside the selected capture."},
        {"index frame absolute through a link to outside",
         [](const fs::path& c, const fs::path& o) {
             fs::create_symlink(o / "secret.png", c / "evidence" / "out.png");
             writeFile(c / "evidence" / "evidence.json",
                       R"({"durationSeconds": 1, "frames": [
                            {"id": "a", "timestampSeconds": 0, "path": ")" +
                           (c / "evidence" / "out.png").string() + R"("}]})");
         },
         "[i](evidence/evidence.json)", "An indexed frame is outside the selected capture."},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        TearDown();
        SetUp();
        attack.arrange(capture_, outside_);
        auto plan = prepare(attack.text);
        ASSERT_FALSE(plan);
        if (!attack.message.empty()) {
            EXPECT_EQ(plan.error().description(), attack.message);
        }
        EXPECT_TRUE(fs::is_empty(out_));
        EXPECT_EQ(readFile(outside_ / "secret.png"), "SECRET");
    }
}

TEST_F(PortableExportTest, AbsoluteFramePathsInsideTheCaptureBecomeRelative) {
    // The engine may have recorded the capture through a linked folder.
    fs::create_directory_symlink(root_ / "captures", root_ / "linked");
    const fs::path viaLink = root_ / "linked" / capture_.filename() / "evidence" / "a.png";
    writeFile(capture_ / "evidence" / "evidence.json",
              R"({"durationSeconds": 1, "frames": [{"id": "a", "timestampSeconds": 1, "path": ")" +
                  viaLink.string() + R"("}]})");
    auto plan = prepare("[i](evidence/evidence.json)");
    ASSERT_TRUE(plan) << failure(plan);
    EXPECT_EQ(plan->files.at("evidence/a.png"), "PNG-A");
    EXPECT_EQ(nlohmann::json::parse(plan->files.at("evidence/evidence.json"))["frames"][0]["path"],
              "a.png");
}

TEST_F(PortableExportTest, DestinationsThatExistOrCannotHoldTheExportAreRefused) {
    auto plan = prepare("![a](evidence/a.png)");
    ASSERT_TRUE(plan) << failure(plan);
    fs::create_directory(out_ / "taken-dir");
    writeFile(out_ / "taken-file", "keep");
    fs::create_symlink(root_ / "nowhere", out_ / "dangling");
    writeFile(out_ / "file-parent", "x");
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {out_ / "taken-dir", kExists},
        {out_ / "taken-file", kExists},
        {out_ / "dangling", kExists},
        {out_ / "sub" / "..", kExists},
        {fs::path("/"), kExists},
        {out_ / "missing" / "bundle", "The export parent must be an existing directory."},
        {out_ / "file-parent" / "bundle", "The export parent must be an existing directory."},
    };
    const auto before = treeOf(out_);
    for (const auto& [destination, message] : cases) {
        SCOPED_TRACE(destination.string());
        EXPECT_EQ(failure(exportReport(store(), *plan, destination)), message);
    }
    EXPECT_EQ(treeOf(out_), before);
    EXPECT_TRUE(fs::is_empty(out_ / "taken-dir"));
    EXPECT_FALSE(fs::exists(root_ / "nowhere"));

    ReportExportPlan foreign = *plan;
    foreign.capturePath = outside_.string();
    EXPECT_EQ(failure(exportReport(store(), foreign, out_ / "foreign")),
              "This export was prepared for a different capture.");
    EXPECT_FALSE(fs::exists(out_ / "foreign"));
}

TEST_F(PortableExportTest, ADestinationThatAppearsBeforeTheMoveIsNeverReplaced) {
    auto plan = prepare("![a](evidence/a.png)");
    ASSERT_TRUE(plan) << failure(plan);
    const fs::path target = out_ / "bundle";
    for (const bool refuseNoReplace : {false, true}) {
        SCOPED_TRACE(refuseNoReplace);
        fs::remove_all(target);
        ReportExportOptions options;
        options.refuseNoReplaceRename = refuseNoReplace;
        options.beforeMove = [&] { fs::create_directory(target); };
        EXPECT_EQ(failure(exportReport(store(), *plan, target, options)), kExists);
        EXPECT_TRUE(fs::is_empty(target));
        EXPECT_FALSE(hasStaging(out_));
    }
    // Without a competitor the fallback rename writes the export.
    fs::remove_all(target);
    ReportExportOptions fallback;
    fallback.refuseNoReplaceRename = true;
    ASSERT_TRUE(exportReport(store(), *plan, target, fallback));
    EXPECT_EQ(readFile(target / "evidence" / "a.png"), "PNG-A");
}

TEST_F(PortableExportTest, AFailedWriteLeavesNoStagingFolderAndNothingOutside) {
    auto plan = prepare("No links.");
    ASSERT_TRUE(plan) << failure(plan);
    // A file and a folder of the same name cannot both be written.
    ReportExportPlan clash = *plan;
    clash.files["evidence"] = "file";
    clash.files["evidence/a.png"] = "image";
    EXPECT_FALSE(exportReport(store(), clash, out_ / "clash"));

    ReportExportPlan escaping = *plan;
    escaping.files["../escaped.png"] = "x";
    EXPECT_EQ(failure(exportReport(store(), escaping, out_ / "escaping")),
              "An evidence path escapes the selected capture.");

    EXPECT_TRUE(fs::is_empty(out_));
    EXPECT_FALSE(fs::exists(root_ / "escaped.png"));
}

TEST_F(PortableExportTest, ALinkedParentFolderIsResolvedAndTheExportLandsInItsTarget) {
    auto plan = prepare("No links.");
    ASSERT_TRUE(plan) << failure(plan);
    fs::create_directory_symlink(out_, root_ / "out-link");
    ASSERT_TRUE(exportReport(store(), *plan, root_ / "out-link" / "bundle"));
    EXPECT_EQ(readFile(out_ / "bundle" / "report.md"), "No links.");
}

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

struct DestinationCase {
    std::string text;
    std::vector<std::string> destinations; // empty with a message: fails
    std::string message;
};

TEST(PortableExportSteps, MarkdownDestinationsReadInlineLinksAndRefuseWhatTheyCannotSee) {
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

TEST(PortableExportSteps, LocalDestinationKeepsLinksInsideTheRecordingAndEvidence) {
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
        // Format characters hide what a name says: a right-to-left override, a zero
        // width space, a byte order mark.
        {"evidence/a%E2%80%AEgnp.exe.png", std::nullopt, kMalformed},
        {"evidence/a%E2%80%8B.png", std::nullopt, kMalformed},
        {"evidence/%EF%BB%BFa.png", std::nullopt, kMalformed},
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
        // The page shows no link the export would refuse for the characters in it.
        if (c.message == kMalformed && c.link.find('%') != std::string::npos) {
            EXPECT_EQ(ReportPresentation::safeLink(c.link), std::nullopt);
        }
    }
}

TEST(PortableExportSteps, ImagesAreKnownExtensionsUnderEvidence) {
    for (const char* good : {"evidence/a.png", "evidence/a.PNG", "evidence/sub/b.JpEg",
                             "evidence/c.jpg", "evidence/d.gif", "evidence/e.webp"}) {
        EXPECT_TRUE(validateImagePath(good)) << good;
    }
    for (const char* bad : {"evidence/a.svg", "evidence/a", "evidence/.png", "evidence/a.png.txt",
                            "other/a.png", "clip.mp4", "evidence/evidence.json"}) {
        EXPECT_EQ(failure(validateImagePath(bad)), kNotImage) << bad;
    }
}

TEST(PortableExportSteps, IndexedFramePathsAreCutBelowTheCaptureOnly) {
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

TEST(PortableExportSteps, EvidenceIndexIsRewrittenToPointInsideTheExport) {
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

TEST(PortableExportSteps, BadEvidenceIndexesFailAndAddNothing) {
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

TEST(PortableExportSteps, ExportFilesHoldTheReportClipAndEachLinkedImageOnce) {
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
}

} // namespace
} // namespace snagreel::reports
