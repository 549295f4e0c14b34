#include "HostedTestSupport.hpp"

#include "SnagreelApp/Hosted/HostedVideoPreparation.hpp"
#include "support/TemporaryDirectory.hpp"

#include <QImage>

#include <gtest/gtest.h>

#include <fstream>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::testing;
using VideoCase = HostedVideoError::Case;

TEST(HostedVideoPreparation, SummarisesAClipWithFullResolutionAnchorsInTheStreamsColours) {
    TemporaryDirectory dir;
    const auto clip = dir.path() / "clip.mp4";
    // A BT.709 full-range clip of one colour: converting it with the default
    // matrix or range would shift the colour well beyond rounding.
    ASSERT_TRUE(
        makeClip(clip, "color=c=0xC83C28:size=640x360:rate=15", 2.0,
                 "-vf scale=out_color_matrix=bt709:out_range=pc -c:v libx264 -preset ultrafast "
                 "-pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc bt709 "
                 "-color_range pc"));
    const std::string before = fileSha256(clip);

    auto prepared = HostedVideoPreparation::prepare(clip);
    ASSERT_TRUE(prepared) << prepared.error().description();
    EXPECT_EQ(prepared->clipSHA256, before);
    EXPECT_EQ(prepared->clipBytes, static_cast<std::int64_t>(std::filesystem::file_size(clip)));
    EXPECT_EQ(prepared->frameCount, 30);
    EXPECT_NEAR(prepared->durationSeconds, 2.0, 0.1);
    ASSERT_EQ(prepared->anchors.size(), 2u);
    const auto& first = prepared->anchors[0];
    const auto& final = prepared->anchors[1];
    EXPECT_EQ(first.position, "first");
    EXPECT_EQ(first.frameIndex, 0);
    EXPECT_EQ(final.position, "final");
    EXPECT_EQ(final.frameIndex, 29);
    EXPECT_NEAR(final.timestampSeconds, 29.0 / 15.0, 0.01);
    for (const auto& anchor : prepared->anchors) {
        const QImage image = QImage::fromData(anchor.data, "PNG");
        ASSERT_EQ(image.size(), QSize(640, 360));
        EXPECT_EQ(anchor.width, 640);
        const QColor pixel = image.pixelColor(320, 180);
        EXPECT_NEAR(pixel.red(), 0xC8, 4);
        EXPECT_NEAR(pixel.green(), 0x3C, 4);
        EXPECT_NEAR(pixel.blue(), 0x28, 4);
        EXPECT_EQ(anchor.sha256().size(), 64u);
    }
    EXPECT_EQ(fileSha256(clip), before);
}

TEST(HostedVideoPreparation, RefusesClipsItCannotVouchFor) {
    TemporaryDirectory dir;
    const auto expect = [&](const std::filesystem::path& path, VideoCase kind) {
        auto prepared = HostedVideoPreparation::prepare(path);
        ASSERT_FALSE(prepared) << path;
        EXPECT_EQ(videoCase(prepared.error()), kind)
            << path << ": " << prepared.error().description();
    };
    // One frame is not enough for two anchors.
    ASSERT_TRUE(makeClip(dir.path() / "one.mp4", "testsrc2=size=320x240:rate=15", 1.0 / 15));
    expect(dir.path() / "one.mp4", VideoCase::decodeFailed);
    // Another codec is not one of our recordings.
    ASSERT_TRUE(
        makeClip(dir.path() / "mpeg4.mp4", "testsrc2=size=320x240:rate=15", 1.0, "-c:v mpeg4"));
    expect(dir.path() / "mpeg4.mp4", VideoCase::invalidRecording);
    // Longer than the service takes.
    ASSERT_TRUE(makeClip(dir.path() / "long.mp4", "color=c=black:size=64x64:rate=2", 66.0));
    expect(dir.path() / "long.mp4", VideoCase::invalidRecording);
    // Cut short: the index at the end is gone.
    ASSERT_TRUE(makeClip(dir.path() / "full.mp4", "testsrc2=size=320x240:rate=15", 2.0));
    std::filesystem::copy_file(dir.path() / "full.mp4", dir.path() / "cut.mp4");
    std::filesystem::resize_file(dir.path() / "cut.mp4",
                                 std::filesystem::file_size(dir.path() / "cut.mp4") / 2);
    expect(dir.path() / "cut.mp4", VideoCase::invalidRecording);
    // Over the size limit: refused on its size alone (a sparse file, never decoded).
    { std::ofstream(dir.path() / "huge.mp4") << "x"; }
    std::filesystem::resize_file(dir.path() / "huge.mp4", hostedlimits::kMaxClipBytes + 1);
    expect(dir.path() / "huge.mp4", VideoCase::invalidRecording);
    // Empty, and a link in the clip's place.
    { std::ofstream(dir.path() / "empty.mp4"); }
    expect(dir.path() / "empty.mp4", VideoCase::invalidRecording);
    std::filesystem::create_symlink(dir.path() / "full.mp4", dir.path() / "link.mp4");
    expect(dir.path() / "link.mp4", VideoCase::invalidRecording);

    auto missing = HostedVideoPreparation::prepare(dir.path() / "missing.mp4");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code(), ENOENT);
}

TEST(HostedVideoPreparation, ADamagedFrameFailsInsteadOfBeingConcealed) {
    TemporaryDirectory dir;
    const auto clip = dir.path() / "clip.mp4";
    ASSERT_TRUE(makeClip(clip, "testsrc2=size=320x240:rate=15", 1.0));
    // Overwrite the middle of the first keyframe's data: the file still opens, but
    // the first picture cannot be decoded honestly.
    std::fstream file(clip, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto mdat = bytes.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    file.seekp(static_cast<std::streamoff>(mdat + 900));
    file << std::string(600, '\xff');
    file.close();
    auto prepared = HostedVideoPreparation::prepare(clip);
    ASSERT_FALSE(prepared);
    EXPECT_EQ(videoCase(prepared.error()), VideoCase::decodeFailed)
        << prepared.error().description();
}
