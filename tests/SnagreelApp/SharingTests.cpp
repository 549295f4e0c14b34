#include "EventPump.hpp"
#include "SnagreelApp/Linux/LinuxDesktopServices.hpp"
#include "SnagreelApp/Sharing/CaptureSharing.hpp"
#include "SnagreelApp/Sharing/SharePackage.hpp"
#include "support/FileContents.hpp"
#include "support/TemporaryDirectory.hpp"

#include <QCoreApplication>
#include <QThreadPool>

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

namespace snagreel::app {
namespace {

namespace fs = std::filesystem;
constexpr const char* kCaptureID = "3f0c5e4a-8d1b-4c1e-9a51-0d4c7b2a9e10";
constexpr const char* kReportID = "report-local-1.md";

using testing::readFileContents;
using testing::writeFileContents;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// Every entry of a ZIP with its bytes, read back with libarchive.
std::map<std::string, std::string> entriesOf(const fs::path& zip) {
    std::map<std::string, std::string> entries;
    archive* reader = archive_read_new();
    archive_read_support_format_zip(reader);
    EXPECT_EQ(archive_read_open_filename(reader, zip.c_str(), 1 << 16), ARCHIVE_OK);
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
        std::string bytes(static_cast<std::size_t>(archive_entry_size(entry)), '\0');
        if (!bytes.empty()) {
            EXPECT_EQ(archive_read_data(reader, bytes.data(), bytes.size()),
                      static_cast<la_ssize_t>(bytes.size()));
        }
        entries[archive_entry_pathname(entry)] = bytes;
    }
    archive_read_free(reader);
    return entries;
}

template <typename T> T waitFor(std::optional<T>& delivered) {
    EXPECT_TRUE(testing::pumpUntil([&] { return delivered.has_value(); }));
    return std::move(*delivered);
}

struct RecordingFileManager final : FileManager {
    void revealFile(const fs::path& file) override { revealed.push_back(file); }
    Result<void> openFolder(const fs::path& folder) override {
        opened.push_back(folder);
        return {};
    }
    std::vector<fs::path> revealed, opened;
};

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& value) override { text = value; }
    std::string text;
};

class SharingTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::canonical(folder_.path());
        captures_ = root_ / "captures";
        capture_ = captures_ / kCaptureID;
        temporary_ = root_ / "tmp";
        fs::create_directories(temporary_);
        writeFileContents(capture_ / "clip.mp4", std::string(300000, '\x42') + "end");
        writeFileContents(capture_ / kReportID, "# Broken upload\n[the clip](clip.mp4#t=3)\n");
        sharing_ = std::make_unique<CaptureSharing>(
            CaptureSharing::Services{nullptr, &fileManager_, &trash_, &clipboard_}, temporary_,
            captures_);
    }

    fs::path buildPackage() {
        auto store = reports::ReportStore::create(capture_);
        EXPECT_TRUE(store);
        auto plan = reports::prepareExport(*store, kReportID);
        EXPECT_TRUE(plan);
        std::optional<Result<fs::path>> built;
        sharing_->buildPackage(*store, *plan,
                               [&](Result<fs::path> result) { built = std::move(result); });
        auto zip = waitFor(built);
        EXPECT_TRUE(zip) << zip.error().description();
        return zip ? *zip : fs::path();
    }

    testing::TemporaryDirectory folder_;
    fs::path root_, captures_, capture_, temporary_;
    RecordingFileManager fileManager_;
    RecordingClipboard clipboard_;
    LinuxTrash trash_;
    std::unique_ptr<CaptureSharing> sharing_;
};

TEST_F(SharingTest, ThePackageIsOnePrivateReportFolderZippedAndHandedOver) {
    const fs::path zip = buildPackage();
    ASSERT_FALSE(zip.empty());
    EXPECT_EQ(zip.filename(), "Snagreel report.zip");
    EXPECT_EQ(zip.parent_path().parent_path(), temporary_);
    EXPECT_EQ(modeOf(zip.parent_path()), 0700u);
    EXPECT_EQ(modeOf(zip), 0600u);

    auto entries = entriesOf(zip);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : entries) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Snagreel report/", "Snagreel report/clip.mp4",
                                               "Snagreel report/index.html",
                                               "Snagreel report/report.md"}));
    EXPECT_EQ(entries["Snagreel report/clip.mp4"], readFileContents(capture_ / "clip.mp4"));
    EXPECT_NE(entries["Snagreel report/index.html"].find("clip.mp4"), std::string::npos);
    EXPECT_NE(entries["Snagreel report/index.html"].find("<title>Snagreel report</title>"),
              std::string::npos);

    EXPECT_EQ(sharing_->handOver(zip), sharingmessages::kShared);
    EXPECT_EQ(fileManager_.revealed, std::vector{zip});
    EXPECT_EQ(clipboard_.text, zip.string());

    // Saving a copy over an existing file replaces it and removes the package.
    const fs::path saved = root_ / "Snagreel-report.zip";
    writeFileContents(saved, "old");
    std::optional<Result<void>> copied;
    sharing_->saveCopy(zip, saved, [&](Result<void> result) { copied = std::move(result); });
    EXPECT_TRUE(waitFor(copied));
    EXPECT_EQ(entriesOf(saved).size(), 4u);
    EXPECT_FALSE(fs::exists(zip.parent_path()));
}

TEST_F(SharingTest, NothingIsEverWrittenIntoTheCapturesFolder) {
    auto saveVideo = [&](const fs::path& destination) {
        std::optional<Result<bool>> saved;
        sharing_->saveVideo(capture_ / "clip.mp4", destination,
                            [&](Result<bool> result) { saved = result; });
        return waitFor(saved);
    };
    const std::string clip = readFileContents(capture_ / "clip.mp4");

    auto ontoItself = saveVideo(capture_ / "." / "clip.mp4");
    ASSERT_TRUE(ontoItself);
    EXPECT_FALSE(*ontoItself);

    // Another capture's recording, reached through a link from outside.
    const fs::path other = captures_ / "0a0c5e4a-8d1b-4c1e-9a51-0d4c7b2a9e10";
    writeFileContents(other / "clip.mp4", "OTHER");
    fs::create_directory_symlink(other, root_ / "shortcut-to-capture");
    auto overOther = saveVideo(root_ / "shortcut-to-capture" / "clip.mp4");
    ASSERT_FALSE(overOther);
    EXPECT_EQ(overOther.error().description(), sharingmessages::kInsideCaptures);
    EXPECT_EQ(readFileContents(other / "clip.mp4"), "OTHER");

    auto outside = saveVideo(root_ / "Snagreel-3f0c5e4a.mp4");
    ASSERT_TRUE(outside);
    EXPECT_TRUE(*outside);
    EXPECT_EQ(readFileContents(root_ / "Snagreel-3f0c5e4a.mp4"), clip);

    const fs::path zip = buildPackage();
    std::optional<Result<void>> copied;
    sharing_->saveCopy(zip, capture_ / "clip.mp4",
                       [&](Result<void> result) { copied = std::move(result); });
    EXPECT_FALSE(waitFor(copied));
    EXPECT_EQ(readFileContents(capture_ / "clip.mp4"), clip);
    EXPECT_FALSE(fs::exists(zip.parent_path()));
}

TEST_F(SharingTest, StaleShareFoldersAreSweptAndNothingElse) {
    QThreadPool::globalInstance()->waitForDone(); // the sweep every start runs
    auto make = [&](const std::string& name, bool old) {
        fs::create_directories(temporary_ / name);
        if (old) {
            const struct timeval times[2] = {{1000, 0}, {1000, 0}};
            ::utimes((temporary_ / name).c_str(), times);
        }
        return temporary_ / name;
    };
    const fs::path stale = make("Snagreel-share-5A1F7C2E-0B4D-4E8A-9C3F-1D2E3F4A5B6C", true);
    const fs::path fresh = make("Snagreel-share-6B1F7C2E-0B4D-4E8A-9C3F-1D2E3F4A5B6C", false);
    const fs::path lookAlike = make("Snagreel-share-notes", true);
    const fs::path target = make("elsewhere", true);
    writeFileContents(target / "keep.txt", "keep");
    fs::create_directory_symlink(target, temporary_ /
                                             "Snagreel-share-7C1F7C2E-0B4D-4E8A-9C3F-1D2E3F4A5B6C");

    EXPECT_EQ(sharepackage::sweepStaleFolders(temporary_), 1);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(lookAlike));
    EXPECT_EQ(readFileContents(target / "keep.txt"), "keep");
}

TEST_F(SharingTest, ALinkInsideTheFolderFailsTheArchive) {
    writeFileContents(root_ / "out" / "Snagreel report" / "report.md", "# r\n");
    fs::create_symlink("/etc/passwd", root_ / "out" / "Snagreel report" / "clip.mp4");
    EXPECT_FALSE(
        sharepackage::zipFolder(root_ / "out" / "Snagreel report", root_ / "out" / "r.zip"));
    EXPECT_FALSE(fs::exists(root_ / "out" / "r.zip"));
}

TEST_F(SharingTest, DiscardMovesTheCaptureToTheTrash) {
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved =
        previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    fs::create_directories(root_ / "data");
    std::optional<Result<void>> moved;
    sharing_->moveToTrash(capture_, [&](Result<void> result) { moved = std::move(result); });
    auto result = waitFor(moved);
    saved ? (void)::setenv("XDG_DATA_HOME", saved->c_str(), 1) : (void)::unsetenv("XDG_DATA_HOME");
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_FALSE(fs::exists(capture_));
    EXPECT_TRUE(fs::exists(root_ / "data" / "Trash" / "files" / kCaptureID / "clip.mp4"));
    EXPECT_TRUE(
        fs::exists(root_ / "data" / "Trash" / "info" / (std::string(kCaptureID) + ".trashinfo")));
}

} // namespace
} // namespace snagreel::app
