#include "SnagreelApp/Ui/ReplayPlayer.hpp"
#include "tests/support/Ffprobe.hpp"
#include "tests/support/TemporaryDirectory.hpp"

#include <QMediaPlayer>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <limits>

namespace snagreel::app {
namespace {

// A three-second H.264 clip played through the platform's media back end; the
// links in a report seek inside it.
TEST(ReplayPlayer, LoadsAClipAndSeeksWhereLinksAsk) {
    testing::TemporaryDirectory directory;
    const auto clip = directory.path() / "clip.mp4";
    const int made =
        QProcess::execute("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc=size=320x240:rate=15", "-t", "3", "-c:v", "libx264",
                                     "-pix_fmt", "yuv420p", QString::fromStdString(clip.string())});
    ASSERT_EQ(made, 0);
    const auto probed = testing::ffprobe(clip);
    ASSERT_TRUE(probed);
    ASSERT_EQ(probed->codecName, "h264");

    ReplayPlayer player;
    player.setClip(clip);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return player.mediaPlayer()->mediaStatus() == QMediaPlayer::LoadedMedia; }, 20000))
        << player.mediaPlayer()->errorString().toStdString();
    EXPECT_EQ(player.mediaPlayer()->duration(), 3000);

    player.seek(1.5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return player.mediaPlayer()->position() == 1500; }, 10000));
    player.seek(-3);
    player.seek(std::numeric_limits<double>::infinity());
    EXPECT_EQ(player.mediaPlayer()->position(), 1500);
    player.seek(12.5); // past the end of this clip: its last moment
    EXPECT_TRUE(QTest::qWaitFor([&] { return player.mediaPlayer()->position() == 3000; }, 10000));

    player.setClip({});
    EXPECT_TRUE(player.mediaPlayer()->source().isEmpty());
}

} // namespace
} // namespace snagreel::app
