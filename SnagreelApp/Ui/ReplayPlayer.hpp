#pragma once

#include <QWidget>

#include <filesystem>

class QMediaPlayer;
class QVideoWidget;
class QPushButton;
class QSlider;
class QLabel;

namespace snagreel::app {

// The saved clip with inline controls: play/pause, a position slider and the
// time. No full-screen button.
class ReplayPlayer : public QWidget {
    Q_OBJECT
public:
    explicit ReplayPlayer(QWidget* parent = nullptr);

    // An empty path unloads the player.
    void setClip(const std::filesystem::path& clip);
    const std::filesystem::path& clip() const { return clip_; }

    // Seeks without starting playback; a time past the end goes to the end.
    void seek(double seconds);
    void togglePlayback();

    QMediaPlayer* mediaPlayer() const { return player_; }

private:
    void updateTime();

    std::filesystem::path clip_;
    QMediaPlayer* player_;
    QVideoWidget* video_;
    QPushButton* playButton_;
    QSlider* slider_;
    QLabel* time_;
};

} // namespace snagreel::app
