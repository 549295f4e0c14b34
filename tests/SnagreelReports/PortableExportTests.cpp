#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
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

constexpr const char* kNotPlain =
    "A report or evidence path is not a regular file/directory, or is a symbolic link.";
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
    const std::vector<Attack> attacks = {
        {"parent step", none, "![x](../outside/secret.png)",
         "An evidence link escapes the selected capture."},
        {"parent step inside evidence", none, "![x](evidence/../../outside/secret.png)",
         "An evidence link escapes the selected capture."},
        {"absolute path", none, "![x](/etc/passwd)",
         "An evidence link is absolute, malformed, or unsupported."},
        {"file URL", none, "![x](file:///etc/passwd)",
         "Portable export cannot include absolute file links or unsupported URL schemes."},
        {"NUL", none, "![x](evidence/a%00.png)",
         "An evidence link is absolute, malformed, or unsupported."},
        {"control character", none, "![x](evidence/a%1B.png)",
         "An evidence link is absolute, malformed, or unsupported."},
        {"over-long name", none, "![x](evidence/" + std::string(300, 'n') + ".png)",
         "An evidence path escapes the selected capture."},
        {"symlink to outside",
         [](const fs::path& c, const fs::path& o) {
             fs::create_symlink(o / "secret.png", c / "evidence" / "out.png");
         },
         "![x](evidence/out.png)", kNotPlain},
        {"symlink to inside",
         [](const fs::path& c, const fs::path&) {
             fs::create_symlink(c / "evidence" / "a.png", c / "evidence" / "in.png");
         },
         "![x](evidence/in.png)", kNotPlain},
        {"evidence folder is a symlink",
         [](const fs::path& c, const fs::path& o) {
             fs::remove_all(c / "evidence");
             fs::create_symlink(o, c / "evidence");
         },
         "![x](evidence/secret.png)", kNotPlain},
        {"hard link to a file outside",
         [](const fs::path& c, const fs::path& o) {
             fs::create_hard_link(o / "secret.png", c / "evidence" / "hard.png");
         },
         "![x](evidence/hard.png)", kNotPlain},
        {"a FIFO in an image's place",
         [](const fs::path& c, const fs::path&) {
             ::mkfifo((c / "evidence" / "pipe.png").c_str(), 0600);
         },
         "![x](evidence/pipe.png)", kNotPlain},
        {"clip is a symlink",
         [](const fs::path& c, const fs::path& o) {
             fs::remove(c / "clip.mp4");
             fs::create_symlink(o / "secret.png", c / "clip.mp4");
         },
         "No links.", kNotPlain},
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
        {"index is a symlink",
         [](const fs::path& c, const fs::path& o) {
             writeFile(o / "evidence.json", "{}");
             fs::create_symlink(o / "evidence.json", c / "evidence" / "evidence.json");
         },
         "[i](evidence/evidence.json)", kNotPlain},
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

} // namespace
} // namespace snagreel::reports
