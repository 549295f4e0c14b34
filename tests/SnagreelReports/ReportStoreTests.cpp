#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

using namespace snagreel;
using namespace snagreel::reports;
namespace fs = std::filesystem;
namespace msg = reportmessages;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeText(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

std::string storeMessage(const Error& error) {
    const auto* own = error.as<ReportStoreError>();
    return own == nullptr ? "(not a store error: " + error.description() + ")" : own->message;
}

template <typename T> std::string failureMessage(const Result<T>& result) {
    return result ? std::string("(succeeded)") : storeMessage(result.error());
}

class ReportStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(::testing::TempDir()) / "rstore-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern);
        capture = root / "3f2a6c1e-8d0b-4f6a-9c1e-2b7d5e4f6a10";
        outside = root / "outside";
        fs::create_directory(capture);
        fs::create_directory(outside);
        writeText(capture / "clip.mp4", "movie");
        writeText(capture / "manifest.json", "{}");
        writeText(outside / "secret.md", "outside secret");
    }
    void TearDown() override { fs::remove_all(root); }

    ReportStore makeStore(ReportStoreOptions options = {}) {
        auto store = ReportStore::create(capture, std::move(options));
        EXPECT_TRUE(store) << (store ? "" : store.error().description());
        return std::move(store).value();
    }

    void report(const std::string& name, std::string_view text = "# Report\n") {
        writeText(capture / name, text);
    }

    // What lies outside the capture must be exactly what SetUp put there (plus what
    // a test's own setup moved there on purpose).
    void expectOutsideUntouched(const std::set<std::string>& expected = {"secret.md"}) {
        EXPECT_EQ(namesIn(outside), expected);
        EXPECT_EQ(readText(outside / "secret.md"), "outside secret");
    }

    fs::path root, capture, outside;
};

// --- Listing and ordering ---

TEST_F(ReportStoreTest, ListKeepsOnlyPlainFilesWithValidNames) {
    report("a b.md");
    report("notes.MD");
    report(".hidden.md");
    report("report.txt");
    fs::create_directory(capture / "x.md");
    fs::create_symlink(capture / "a b.md", capture / "link.md");
    fs::create_symlink(outside / "secret.md", capture / "escape.md");
    fs::create_hard_link(outside / "secret.md", capture / "hard.md");
    ASSERT_EQ(::mkfifo((capture / "pipe.md").c_str(), 0600), 0);

    auto entries = makeStore().list();
    ASSERT_TRUE(entries) << entries.error().description();
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ((*entries)[0].id, "a b.md");
    EXPECT_EQ((*entries)[0].kind, ReportKind::manual);
    EXPECT_TRUE((*entries)[0].label.starts_with("Manual \u00B7 "));
}

TEST_F(ReportStoreTest, ListIsNewestFirstWithKindsFromNames) {
    // Created in this order; equal coarse timestamps fall back to the greater name,
    // which gives the same order.
    report("report-cloud-1.md");
    report("report-local-2.md");
    report("report-manual-3.md");
    auto entries = makeStore().list();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[0].id, "report-manual-3.md");
    EXPECT_EQ((*entries)[1].id, "report-local-2.md");
    EXPECT_EQ((*entries)[1].kind, ReportKind::local);
    EXPECT_EQ((*entries)[2].id, "report-cloud-1.md");
    EXPECT_EQ((*entries)[2].kind, ReportKind::cloud);
    EXPECT_GE((*entries)[0].createdAt, (*entries)[2].createdAt);
}

TEST_F(ReportStoreTest, FarOutDatesAreClampedNotOverflowed) {
    report("ancient.md");
    report("future.md");
    const struct timespec ancient[2] = {{-400'000'000'000LL, 0}, {-400'000'000'000LL, 0}};
    const struct timespec future[2] = {{400'000'000'000LL, 0}, {400'000'000'000LL, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (capture / "ancient.md").c_str(), ancient, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, (capture / "future.md").c_str(), future, 0), 0);
    auto entries = makeStore().list();
    ASSERT_TRUE(entries) << entries.error().description();
    EXPECT_EQ(entries->size(), 2u);
}

TEST_F(ReportStoreTest, SelectionIsRememberedAndForgottenWithItsReport) {
    report("report-local-a.md", "A");
    report("report-local-b.md", "B");
    ReportStore store = makeStore();
    EXPECT_EQ(*store.selectedID(), std::nullopt);

    auto selected = store.select("report-local-b.md");
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->text, "B");
    EXPECT_EQ(*store.selectedID(), std::optional<std::string>("report-local-b.md"));
    EXPECT_EQ(modeOf(capture / "working" / "selection.json"), 0600u);

    fs::remove(capture / "report-local-b.md");
    auto gone = store.selectedID();
    ASSERT_TRUE(gone);
    EXPECT_EQ(*gone, std::nullopt);

    writeText(capture / "working" / "selection.json", R"({"id":"../secret.md"})");
    EXPECT_EQ(failureMessage(store.selectedID()), msg::kUnsupportedFilename);
    writeText(capture / "working" / "selection.json", "not json");
    EXPECT_FALSE(store.selectedID());
}

// --- Open, edit, working copy ---

TEST_F(ReportStoreTest, SaveWritesOnlyTheWorkingCopy) {
    report("report-local-1.md", "engine text\n");
    ReportStore store = makeStore();

    ASSERT_TRUE(store.save("report-local-1.md", "edited"));
    ASSERT_TRUE(store.save("report-local-1.md", "edited twice"));
    EXPECT_EQ(readText(capture / "report-local-1.md"), "engine text\n");
    EXPECT_EQ(readText(capture / "working" / "report-local-1.md"), "edited twice");
    // The rename-into-place leaves no temporary file behind.
    EXPECT_EQ(namesIn(capture / "working"), std::set<std::string>{"report-local-1.md"});

    auto document = store.load("report-local-1.md");
    ASSERT_TRUE(document);
    EXPECT_EQ(document->text, "edited twice");
    EXPECT_EQ(document->originalText, "engine text\n");
    EXPECT_TRUE(document->isEdited());
    EXPECT_EQ(document->entry.kind, ReportKind::local);
}

TEST_F(ReportStoreTest, WorkingCopyThatIsNotUTF8FailsLoadButNotList) {
    report("report-cloud-1.md");
    fs::create_directory(capture / "working");
    writeText(capture / "working" / "report-cloud-1.md", "caf\xC3");
    ReportStore store = makeStore();
    EXPECT_EQ(failureMessage(store.load("report-cloud-1.md")), msg::kWorkingNotUTF8);
    ASSERT_TRUE(store.list());
    EXPECT_EQ(store.list()->size(), 1u);
}

TEST_F(ReportStoreTest, TextThatIsNotUTF8IsRefusedAndTheOldCopySurvives) {
    report("r.md");
    ReportStore store = makeStore();
    ASSERT_TRUE(store.save("r.md", "good"));
    // Overlong encoding of '/' and a lone surrogate.
    EXPECT_EQ(failureMessage(store.save("r.md", "\xC0\xAF")), msg::kWorkingNotUTF8);
    EXPECT_EQ(failureMessage(store.save("r.md", "\xED\xA0\x80")), msg::kWorkingNotUTF8);
    EXPECT_EQ(store.load("r.md")->text, "good");
}

TEST_F(ReportStoreTest, PlatformErrorsPassThroughUnwrapped) {
    ReportStore store = makeStore();
    auto missing = store.load("report-local-missing.md");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().as<ReportStoreError>(), nullptr);
    EXPECT_EQ(missing.error().domain(), kPosixDomain);
    EXPECT_EQ(missing.error().code(), ENOENT);
    EXPECT_FALSE(store.save("report-local-missing.md", "x"));
    EXPECT_FALSE(fs::exists(capture / "working" / "report-local-missing.md"));
}

// --- Manual reports ---

TEST_F(ReportStoreTest, CreateManualWithEmptyTextIsSelectedAndLeavesNoStaging) {
    ReportStore store = makeStore();
    auto document = store.createManual("");
    ASSERT_TRUE(document) << document.error().description();
    const std::string& id = document->entry.id;
    EXPECT_TRUE(id.starts_with("report-manual-"));
    EXPECT_EQ(id.size(), std::string("report-manual-").size() + 36 + 3);
    EXPECT_EQ(id, [&] {
        std::string upper = id;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        upper.replace(upper.size() - 3, 3, ".md");
        upper.replace(0, 14, "report-manual-");
        return upper;
    }());
    EXPECT_EQ(document->entry.kind, ReportKind::manual);
    EXPECT_EQ(document->text, "");
    EXPECT_FALSE(document->isEdited());
    EXPECT_EQ(*store.selectedID(), std::optional<std::string>(id));
    EXPECT_EQ(modeOf(capture / id), 0600u);
    EXPECT_EQ(fs::hard_link_count(capture / id), 1u);
    for (const auto& name : namesIn(capture)) {
        EXPECT_FALSE(name.starts_with(".report-")) << name;
    }
}

TEST_F(ReportStoreTest, CreateManualNeverOverwritesAnExistingReport) {
    ReportStoreOptions options;
    options.makeIdentifier = [] { return std::string("0b1c2d3e-0000-4000-8000-00000000abcd"); };
    ReportStore store = makeStore(options);
    const std::string name = "report-manual-0B1C2D3E-0000-4000-8000-00000000ABCD.md";

    auto first = store.createManual("first");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->entry.id, name);

    auto second = store.createManual("second");
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().domain(), kPosixDomain);
    EXPECT_EQ(second.error().code(), EEXIST);
    EXPECT_EQ(readText(capture / name), "first");
    EXPECT_EQ(*store.selectedID(), std::optional<std::string>(name));

    // A name taken by something else (here a link) is not replaced either.
    fs::remove(capture / name);
    fs::create_symlink(outside / "secret.md", capture / name);
    EXPECT_FALSE(store.createManual("third"));
    expectOutsideUntouched();
    for (const auto& item : namesIn(capture)) {
        EXPECT_FALSE(item.starts_with(".report-")) << item;
    }
}

// --- Path attacks ---

template <typename T> Result<void> drop(Result<T> result) {
    if (result) {
        return {};
    }
    return Unexpected{std::move(result).error()};
}

std::function<Result<void>(const ReportStore&)> loading(std::string id) {
    return [id](const ReportStore& s) { return drop(s.load(id)); };
}

std::function<Result<void>(const ReportStore&)> saving(std::string id) {
    return [id](const ReportStore& s) { return s.save(id, "pwned"); };
}

std::function<Result<void>(const ReportStore&)> reading(std::string path) {
    return [path](const ReportStore& s) { return drop(s.readFile(path, readlimits::kReport)); };
}

void expectRefusal(const Result<void>& outcome, const std::string& expected) {
    ASSERT_FALSE(outcome);
    if (expected.starts_with("errno:")) {
        EXPECT_EQ(outcome.error().domain(), kPosixDomain);
        EXPECT_EQ("errno:" + std::to_string(outcome.error().code()), expected);
    } else {
        EXPECT_EQ(storeMessage(outcome.error()), expected);
    }
}

TEST_F(ReportStoreTest, NamesAndPathsThatLeaveTheirFolderAreRefused) {
    struct Attack {
        const char* name;
        std::function<void()> setup;
        std::function<Result<void>(const ReportStore&)> action;
        std::string expected; // a store message, or "errno:<n>"
        std::set<std::string> outsideAfter = {"secret.md"};
    };
    const auto none = [] {};
    const auto engineReport = [&] { report("r.md", "engine"); };
    const std::vector<Attack> attacks = {
        {"dot-dot id", none, loading("../outside/secret.md"), msg::kUnsupportedFilename},
        {"slash id", none, saving("working/r.md"), msg::kUnsupportedFilename},
        {"NUL in id", none, loading(std::string("a\0.md", 5)), msg::kUnsupportedFilename},
        {"leading dot", none, loading(".r.md"), msg::kUnsupportedFilename},
        {"newline before end", none, loading("r.md\n"), msg::kUnsupportedFilename},
        {"upper-case extension", none, loading("r.MD"), msg::kUnsupportedFilename},
        {"over NAME_MAX", none, loading(std::string(253, 'a') + ".md"), msg::kUnsupportedFilename},
        {"working folder links outside (save)",
         [&] {
             engineReport();
             fs::create_directory_symlink(outside, capture / "working");
         },
         saving("r.md"), msg::kNotPlainFile},
        {"working folder links outside (load)",
         [&] {
             engineReport();
             writeText(outside / "r.md", "planted");
             fs::create_directory_symlink(outside, capture / "working");
         },
         loading("r.md"),
         msg::kNotPlainFile,
         {"secret.md", "r.md"}},
        {"working folder is a file",
         [&] {
             engineReport();
             writeText(capture / "working", "");
         },
         [](const ReportStore& s) { return drop(s.createManual("x")); }, msg::kNotPlainFile},
        {"evidence folder links outside",
         [&] { fs::create_directory_symlink(outside, capture / "evidence"); },
         reading("evidence/secret.md"), msg::kNotPlainFile},
        {"parent step in evidence path", none, reading("evidence/../clip.mp4"), msg::kPathEscapes},
        {"empty piece", none, reading("evidence//a.png"), msg::kPathEscapes},
        {"single dot piece", none, reading("./clip.mp4"), msg::kPathEscapes},
        {"backslash piece", none, reading("evidence\\..\\clip.mp4"), msg::kPathEscapes},
        {"absolute path", none, reading("/etc/passwd"), msg::kPathEscapes},
        {"empty path", none, reading(""), msg::kPathEscapes},
        {"missing evidence", none, reading("evidence/a.png"), "errno:" + std::to_string(ENOENT)},
        {"clip read as a folder", none,
         [](const ReportStore& s) { return drop(s.checkedPath("clip.mp4", true)); },
         msg::kNotPlainFile},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        TearDown();
        SetUp();
        attack.setup();
        expectRefusal(attack.action(makeStore()), attack.expected);
        expectOutsideUntouched(attack.outsideAfter);
    }
}

// One rule for every file the store or the export reads: what stands where a file is
// expected must be a plain, singly linked file of bounded size, and anything else is
// refused the same way whichever operation meets it.
TEST_F(ReportStoreTest, EveryFileTheStoreOrTheExportReadsFollowsOneRule) {
    using Action = std::function<Result<void>(const ReportStore&)>;
    const Action exporting = [](const ReportStore& s) { return drop(prepareExport(s, "r.md")); };
    struct Place {
        std::string path;
        std::string reportText; // of "r.md", when the place is not the report itself
        ReadLimit limit;
        Action read;
        Action write; // none: the place is only read
    };
    const std::vector<Place> places = {
        {"r.md", "", readlimits::kReport, loading("r.md"), saving("r.md")},
        {"working/r.md", "# R", readlimits::kReport, loading("r.md"), saving("r.md")},
        {"working/selection.json", "# R", readlimits::kSelection,
         [](const ReportStore& s) { return drop(s.selectedID()); },
         [](const ReportStore& s) { return drop(s.select("r.md")); }},
        {"clip.mp4", "# R", readlimits::kRecording, exporting, {}},
        {"evidence/x.png", "![x](evidence/x.png)", readlimits::kEvidenceImage, exporting, {}},
        {"evidence/evidence.json",
         "[i](evidence/evidence.json)",
         readlimits::kEvidenceIndex,
         exporting,
         {}},
    };
    struct Planted {
        const char* name;
        std::function<void(const fs::path& at, const Place& place)> plant;
        const char* message; // null: the place's own size message
    };
    const std::vector<Planted> planted = {
        {"link to a file outside",
         [&](const fs::path& at, const Place&) { fs::create_symlink(outside / "secret.md", at); },
         msg::kNotPlainFile},
        {"link to a file inside",
         [&](const fs::path& at, const Place&) {
             fs::create_symlink(capture / "manifest.json", at);
         },
         msg::kNotPlainFile},
        {"link to a folder",
         [&](const fs::path& at, const Place&) { fs::create_directory_symlink(outside, at); },
         msg::kNotPlainFile},
        {"hard link to a file outside",
         [&](const fs::path& at, const Place&) { fs::create_hard_link(outside / "secret.md", at); },
         msg::kHardLinked},
        {"FIFO", [](const fs::path& at, const Place&) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
         msg::kNotPlainFile},
        {"folder", [](const fs::path& at, const Place&) { fs::create_directory(at); },
         msg::kNotPlainFile},
        // Sparse: the size is there without the bytes.
        {"file one byte over its limit",
         [](const fs::path& at, const Place& place) {
             writeText(at, "");
             fs::resize_file(at, place.limit.bytes + 1);
         },
         nullptr},
    };
    for (const Place& place : places) {
        for (const Planted& thing : planted) {
            SCOPED_TRACE(place.path + ": " + thing.name);
            TearDown();
            SetUp();
            if (!place.reportText.empty()) {
                report("r.md", place.reportText);
            }
            const fs::path at = capture / place.path;
            fs::create_directories(at.parent_path());
            fs::remove(at);
            thing.plant(at, place);
            const ReportStore store = makeStore();
            expectRefusal(place.read(store), thing.message ? thing.message : place.limit.message);
            // Writing replaces an oversized copy, but never writes through a link.
            if (place.write && thing.message != nullptr) {
                expectRefusal(place.write(store), thing.message);
            }
            expectOutsideUntouched();
        }
    }
}

TEST_F(ReportStoreTest, TextTooLargeToLoadAgainIsNotSaved) {
    report("r.md");
    ReportStore store = makeStore();
    const std::string huge(readlimits::kReport.bytes + 1, 'x');
    EXPECT_EQ(failureMessage(store.save("r.md", huge)), msg::kReportTooLarge);
    EXPECT_EQ(failureMessage(store.createManual(huge)), msg::kReportTooLarge);
    EXPECT_FALSE(fs::exists(capture / "working" / "r.md"));
}

TEST_F(ReportStoreTest, ListShowsReportsThatCannotBeOpened) {
    report("report-local-a.md");
    report("report-local-b.md");
    // Root opens any file whatever its mode, so the seam stands in for a report
    // owned by another user: whatever opens it meets a link instead.
    ::chmod((capture / "report-local-b.md").c_str(), 0);
    ReportStoreOptions options;
    options.beforeOpen = [&](const std::string& relative) {
        fs::remove(capture / relative);
        fs::create_symlink(outside / "secret.md", capture / relative);
    };
    auto entries = makeStore(options).list();
    ASSERT_TRUE(entries) << entries.error().description();
    ASSERT_EQ(entries->size(), 2u);
}

TEST_F(ReportStoreTest, StoreRefusesCapturesThatAreNotRealDirectories) {
    fs::create_directory_symlink(capture, root / "linked");
    writeText(root / "file", "");
    EXPECT_EQ(failureMessage(ReportStore::create(root / "linked")), msg::kCaptureNotDirectory);
    EXPECT_EQ(failureMessage(ReportStore::create(root / "file")), msg::kCaptureNotDirectory);
    auto missing = ReportStore::create(root / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code(), ENOENT);

    // A linked parent is resolved once, at creation.
    fs::create_directory_symlink(root, root / "captures");
    auto viaParent = ReportStore::create(root / "captures" / "." / capture.filename() / "");
    ASSERT_TRUE(viaParent);
    EXPECT_EQ(viaParent->captureURL(), capture);
}

TEST_F(ReportStoreTest, CaptureReplacedAfterCreationFailsEveryOperation) {
    report("r.md");
    ReportStore store = makeStore();
    ASSERT_TRUE(store.list());

    fs::rename(capture, outside / "moved");
    fs::create_directory_symlink(outside / "moved", capture);
    EXPECT_EQ(failureMessage(store.list()), msg::kCaptureChanged);
    EXPECT_EQ(failureMessage(store.load("r.md")), msg::kCaptureChanged);
    EXPECT_EQ(failureMessage(store.save("r.md", "x")), msg::kCaptureChanged);

    // A different real directory in the same place is not the capture either.
    fs::remove(capture);
    fs::create_directory(capture);
    writeText(capture / "r.md", "impostor");
    EXPECT_EQ(failureMessage(store.load("r.md")), msg::kCaptureChanged);
    EXPECT_EQ(failureMessage(store.createManual("x")), msg::kCaptureChanged);
    EXPECT_FALSE(fs::exists(outside / "moved" / "working" / "r.md"));
}

// --- Races: a piece swapped for a link between two calls, and within one call ---

TEST_F(ReportStoreTest, WorkingFolderSwappedForLinkBetweenCallsIsRefused) {
    report("r.md", "engine");
    ReportStore store = makeStore();
    ASSERT_TRUE(store.save("r.md", "first"));

    fs::rename(capture / "working", outside / "w");
    fs::create_directory_symlink(outside / "w", capture / "working");
    EXPECT_EQ(failureMessage(store.save("r.md", "second")), msg::kNotPlainFile);
    EXPECT_EQ(failureMessage(store.load("r.md")), msg::kNotPlainFile);
    EXPECT_EQ(readText(outside / "w" / "r.md"), "first");
}

TEST_F(ReportStoreTest, PieceSwappedBetweenCheckAndOpenIsNeverFollowed) {
    report("r.md", "engine");
    fs::create_directory(capture / "working");
    ReportStoreOptions options;
    std::string swapAt;
    options.beforeOpen = [&](const std::string& relative) {
        if (relative != swapAt) {
            return;
        }
        const fs::path victim = capture / relative;
        fs::rename(victim, outside / ("was-" + victim.filename().string()));
        if (relative == "working") {
            fs::create_directory_symlink(outside, victim);
        } else {
            fs::create_symlink(outside / "secret.md", victim);
        }
        swapAt.clear();
    };
    ReportStore store = makeStore(options);

    swapAt = "r.md";
    auto read = store.load("r.md");
    EXPECT_EQ(failureMessage(read), msg::kNotPlainFile);

    fs::remove(capture / "r.md");
    fs::rename(outside / "was-r.md", capture / "r.md");
    swapAt = "working";
    EXPECT_EQ(failureMessage(store.save("r.md", "pwned")), msg::kNotPlainFile);
    expectOutsideUntouched({"secret.md", "was-working"});
}

// --- Modes ---

TEST_F(ReportStoreTest, FilesAre0600AndFoldersAre0700WhateverTheUmask) {
    report("r.md");
    const mode_t previous = ::umask(0);
    ReportStore store = makeStore();
    auto saved = store.save("r.md", "x");
    auto manual = store.createManual("m");
    ::umask(previous);
    ASSERT_TRUE(saved);
    ASSERT_TRUE(manual);
    EXPECT_EQ(modeOf(capture / "working"), 0700u);
    EXPECT_EQ(modeOf(capture / "working" / "r.md"), 0600u);
    EXPECT_EQ(modeOf(capture / "working" / "selection.json"), 0600u);
    EXPECT_EQ(modeOf(capture / manual->entry.id), 0600u);

    fs::remove_all(capture / "working");
    const mode_t strict = ::umask(0777);
    auto again = store.save("r.md", "y");
    ::umask(strict);
    ASSERT_TRUE(again);
    EXPECT_EQ(modeOf(capture / "working"), 0700u);
    EXPECT_EQ(modeOf(capture / "working" / "r.md"), 0600u);
}

} // namespace
