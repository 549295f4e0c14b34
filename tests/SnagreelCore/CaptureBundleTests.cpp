#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Export/CaptureBundleWriter.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"
#include "SnagreelCore/Linux/CapturesRoot.hpp"
#include "SnagreelCore/Linux/FFmpegMovieWriter.hpp"
#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"
#include "SnagreelCore/Support/Executor.hpp"

#include "devsupport/Waiting.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/TestSamples.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>

namespace snagreel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using testing::TemporaryDirectory;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<fs::path> entries(const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool isLowerCaseUuid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) {
            return false;
        }
        if (!dash && !std::isdigit(static_cast<unsigned char>(text[i])) &&
            (text[i] < 'a' || text[i] > 'f')) {
            return false;
        }
    }
    return true;
}

CaptureSnapshot snapshotOf(std::vector<EncodedFrame> frames, double endedBeforeTrigger = 0.25) {
    CaptureSnapshot snapshot;
    snapshot.end = frames.empty() ? 0 : frames.back().timestamp + frames.back().duration;
    snapshot.frames = std::move(frames);
    snapshot.endedBeforeTrigger = endedBeforeTrigger;
    snapshot.source = CaptureSource{"display", 7, 320, 240};
    return snapshot;
}

// Runs a save to its end on whatever queue it finishes on.
Result<CaptureBundle> save(CaptureSnapshot snapshot, const fs::path& root,
                           BundleEnvironment environment = linuxBundleEnvironment(),
                           double requested = 30, Clock::time_point at = Clock::now()) {
    testing::Delivered<Result<CaptureBundle>> outcome;
    makeBundleSaver(std::move(environment))(std::move(snapshot), requested, at,
                                            CaptureConfiguration{}, root, outcome.receiver());
    return outcome.wait();
}

TEST(CaptureBundle, SavesAPlayableClipAndItsManifestPrivately) {
    auto frames = testing::makeEncodedFrames(45, 15, 2000.0);
    ASSERT_EQ(frames.size(), 45u);
    std::int64_t bytes = 0;
    for (const auto& frame : frames) {
        bytes += frame.byteCount;
    }
    TemporaryDirectory temporary;
    const fs::path root = temporary.path() / "data" / "Snagreel" / "Captures";
    auto snapshot = snapshotOf(std::move(frames));
    snapshot.gaps = {CaptureGap{1, 1.5, "Screen capture dropped a frame."}};
    auto bundle = save(std::move(snapshot), root, linuxBundleEnvironment(), 60);
    ASSERT_TRUE(bundle) << bundle.error().description();
    EXPECT_TRUE(isLowerCaseUuid(bundle->id)) << bundle->id;
    EXPECT_EQ(bundle->directoryURL, root / bundle->id);
    EXPECT_EQ(bundle->clipURL, root / bundle->id / "clip.mp4");
    EXPECT_EQ(bundle->manifestURL, root / bundle->id / "manifest.json");
    // Only the two files: no temporary names left behind.
    EXPECT_EQ(entries(bundle->directoryURL),
              (std::vector<fs::path>{bundle->clipURL, bundle->manifestURL}));
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root.parent_path()), 0700u);
    EXPECT_EQ(modeOf(bundle->directoryURL), 0700u);
    EXPECT_EQ(modeOf(bundle->clipURL), 0600u);
    EXPECT_EQ(modeOf(bundle->manifestURL), 0600u);

    // The manifest's form has a suite of its own; here it must describe this save.
    auto manifest = decodeManifest(readFile(bundle->manifestURL));
    ASSERT_TRUE(manifest) << manifest.error().message;
    EXPECT_EQ(manifest->captureId, bundle->id);
    EXPECT_EQ(manifest->requestedSeconds, 60);
    EXPECT_EQ(manifest->encodedFrameCount, 45);
    EXPECT_EQ(manifest->bufferedBytes, bytes);
    EXPECT_EQ(manifest->gaps.size(), 1u);

    if (!testing::ffprobeAvailable()) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    auto probe = testing::ffprobe(bundle->clipURL);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->codecName, "h264");
    EXPECT_EQ(probe->frameCount(), 45);
    EXPECT_NEAR(probe->duration.value_or(0), 3.0, 1.0 / 15);
    EXPECT_TRUE(testing::fullyDecodes(bundle->clipURL).ok());
}

TEST(CaptureBundle, TwoSavesAreSiblingDirectoriesNamedByTheirIdentifiers) {
    auto frames = testing::makeEncodedFrames(4, 15, 10.0);
    ASSERT_FALSE(frames.empty());
    TemporaryDirectory temporary;
    auto first = save(snapshotOf(frames), temporary.path());
    auto second = save(snapshotOf(frames), temporary.path());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->id, second->id);
    EXPECT_EQ(entries(temporary.path()),
              (std::vector<fs::path>{std::min(first->directoryURL, second->directoryURL),
                                     std::max(first->directoryURL, second->directoryURL)}));
}

TEST(CaptureBundle, NothingToSaveCreatesNoDirectory) {
    TemporaryDirectory temporary;
    const fs::path root = temporary.path() / "Captures";
    auto result = save(snapshotOf({}), root);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "There are no decodable video frames yet.");
    EXPECT_FALSE(fs::exists(root));
}

TEST(CaptureBundle, ARootThatCannotBeCreatedFailsBeforeWriting) {
    TemporaryDirectory temporary;
    // A regular file where a parent folder should be defeats even root.
    std::ofstream(temporary.path() / "blocker") << "x";
    const fs::path root = temporary.path() / "blocker" / "Captures";
    auto result = save(snapshotOf(testing::makeEncodedFrames(2, 15, 0)), root);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().domain(), kPosixDomain);
    EXPECT_EQ(result.error().code(), ENOTDIR);
    EXPECT_NE(result.error().description().find("Cannot create the capture folder"),
              std::string::npos);
    EXPECT_EQ(entries(temporary.path()), (std::vector<fs::path>{temporary.path() / "blocker"}));
}

// Fails the export at a chosen step to see the directory go.
class FailingWriter final : public MovieWriter {
public:
    bool addVideoTrack(const CodecParameters&) override { return true; }
    bool startWriting() override { return true; }
    bool append(const EncodedSample&, std::int64_t, std::int64_t) override { return false; }
    void markAsFinished() override {}
    void endSession(std::int64_t) override {}
    void finishWriting(std::function<void()> done) override { held = std::move(done); }
    void cancelWriting() override {}
    Status status() const override { return Status::failed; }
    std::optional<Error> error() const override { return Error::posix(EIO); }
    std::function<void()> held;
};

// Passes everything to a real writer except finishing, which it never reports.
class StallingWriter final : public MovieWriter {
public:
    explicit StallingWriter(std::shared_ptr<MovieWriter> inner) : inner_(std::move(inner)) {}
    bool addVideoTrack(const CodecParameters& format) override {
        return inner_->addVideoTrack(format);
    }
    bool startWriting() override { return inner_->startWriting(); }
    bool append(const EncodedSample& sample, std::int64_t pts, std::int64_t duration) override {
        return inner_->append(sample, pts, duration);
    }
    void markAsFinished() override { inner_->markAsFinished(); }
    void endSession(std::int64_t time) override { inner_->endSession(time); }
    void finishWriting(std::function<void()>) override {}
    void cancelWriting() override { inner_->cancelWriting(); }
    Status status() const override { return inner_->status(); }
    std::optional<Error> error() const override { return inner_->error(); }

private:
    std::shared_ptr<MovieWriter> inner_;
};

TEST(CaptureBundle, AFailedOrTimedOutExportLeavesNoDirectory) {
    TemporaryDirectory temporary;
    auto frames = testing::makeEncodedFrames(3, 15, 0);
    ASSERT_FALSE(frames.empty());

    BundleEnvironment failing = linuxBundleEnvironment();
    failing.exportEnvironment.makeWriter =
        [](const fs::path& path) -> Result<std::shared_ptr<MovieWriter>> {
        std::ofstream(path) << "partial";
        return std::shared_ptr<MovieWriter>(std::make_shared<FailingWriter>());
    };
    auto result = save(snapshotOf(frames), temporary.path(), failing);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), EIO);
    EXPECT_TRUE(entries(temporary.path()).empty());

    // The real writer, whose finishing never reports: the deadline cancels it.
    auto queue = std::make_shared<ManualExecutor>(0);
    BundleEnvironment stalled = linuxBundleEnvironment();
    stalled.exportEnvironment.queue = queue;
    stalled.exportEnvironment.writerQueue = queue;
    std::shared_ptr<MovieWriter> real;
    stalled.exportEnvironment.makeWriter =
        [&real](const fs::path& path) -> Result<std::shared_ptr<MovieWriter>> {
        auto made = makeFFmpegMovieWriter(path);
        if (!made) {
            return made;
        }
        real = *made;
        return std::shared_ptr<MovieWriter>(std::make_shared<StallingWriter>(real));
    };
    std::optional<Result<CaptureBundle>> outcome;
    makeBundleSaver(stalled)(snapshotOf(frames), 30, Clock::now(), CaptureConfiguration{},
                             temporary.path(),
                             [&](Result<CaptureBundle> r) { outcome = std::move(r); });
    queue->runUntilIdle();
    const auto directories = entries(temporary.path());
    ASSERT_EQ(directories.size(), 1u);
    EXPECT_FALSE(entries(directories[0]).empty()); // the partial movie
    EXPECT_FALSE(outcome.has_value());
    queue->advance(61);
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(*outcome);
    EXPECT_EQ(outcome->error().description(),
              "Movie export timed out. The draft was removed; try capturing again.");
    EXPECT_TRUE(entries(temporary.path()).empty());
    EXPECT_EQ(real->status(), MovieWriter::Status::cancelled);
}

TEST(CaptureBundle, AFullDiskIsReportedPlainlyAndLeavesNoDirectory) {
    TemporaryDirectory temporary;
    const fs::path mountPoint = temporary.path() / "small";
    fs::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                     << "); the full-disk path needs one";
    }
    auto frames = testing::makeEncodedFrames(150, 15, 0, 640, 480);
    auto result = save(snapshotOf(std::move(frames)), mountPoint / "Captures");
    const auto left = entries(mountPoint / "Captures");
    ::umount(mountPoint.c_str());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), ENOSPC);
    EXPECT_EQ(result.error().description(), kDiskFullMessage);
    EXPECT_TRUE(left.empty());
}

TEST(CaptureBundle, GoesThroughTheFileOperationsItIsGiven) {
    TemporaryDirectory temporary;
    auto frames = testing::makeEncodedFrames(3, 15, 0);
    ASSERT_FALSE(frames.empty());

    // Without a writer or any one file operation nothing is attempted.
    BundleEnvironment incomplete = linuxBundleEnvironment();
    incomplete.files.removeDirectory = nullptr;
    auto refused = save(snapshotOf(frames), temporary.path(), incomplete);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), "Saving clips is not available.");
    incomplete = linuxBundleEnvironment();
    incomplete.exportEnvironment.makeWriter = nullptr;
    EXPECT_FALSE(save(snapshotOf(frames), temporary.path(), incomplete));
    EXPECT_TRUE(entries(temporary.path()).empty());

    // A manifest the platform cannot write undoes the directory through the same
    // operations, with the platform's error.
    std::vector<std::string> calls;
    BundleEnvironment recording = linuxBundleEnvironment();
    const BundleFileOperations real = recording.files;
    recording.files.createPrivateDirectory = [&](const fs::path& directory) {
        calls.push_back("create " + directory.filename().string());
        return real.createPrivateDirectory(directory);
    };
    recording.files.setFileMode = [&](const fs::path& path, unsigned mode) {
        calls.push_back("mode " + path.filename().string());
        return real.setFileMode(path, mode);
    };
    recording.files.writeFileAtomically = [&](const fs::path& path, std::string_view,
                                              unsigned) -> Result<void> {
        calls.push_back("write " + path.filename().string());
        return Unexpected{Error::posix(EROFS)};
    };
    recording.files.removeDirectory = [&](const fs::path& directory) {
        calls.push_back("remove " + directory.filename().string());
        real.removeDirectory(directory);
    };
    recording.makeIdentifier = [] { return std::string("fixed-id"); };
    auto failed = save(snapshotOf(frames), temporary.path(), recording);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code(), EROFS);
    EXPECT_EQ(calls, (std::vector<std::string>{"create fixed-id", "mode clip.mp4",
                                               "write manifest.json", "remove fixed-id"}));
    EXPECT_TRUE(entries(temporary.path()).empty());
}

TEST(CapturesRoot, FollowsTheDataHomeOfTheUser) {
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved =
        savedXdg ? std::optional<std::string>(savedXdg) : std::nullopt;
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(defaultCapturesRoot(), fs::path("/srv/data/Snagreel/Captures"));
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(defaultCapturesRoot().string().rfind("/.local/share/Snagreel/Captures"),
              defaultCapturesRoot().string().size() - 31);
    ::unsetenv("XDG_DATA_HOME");
    if (!home.empty() && home[0] == '/') {
        EXPECT_EQ(defaultCapturesRoot(), fs::path(home) / ".local/share/Snagreel/Captures");
    }
    if (saved) {
        ::setenv("XDG_DATA_HOME", saved->c_str(), 1);
    }
}

} // namespace
} // namespace snagreel
