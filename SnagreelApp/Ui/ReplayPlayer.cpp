#include "SnagreelApp/Ui/ReplayPlayer.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>

#include <cmath>

namespace snagreel::app {
namespace {

QString clock(qint64 milliseconds) {
    const qint64 seconds = std::max<qint64>(0, milliseconds / 1000);
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ReplayPlayer::ReplayPlayer(QWidget* parent)
    : QWidget(parent), player_(new QMediaPlayer(this)), video_(new QVideoWidget(this)),
      playButton_(new QPushButton(this)), slider_(new QSlider(Qt::Horizontal, this)),
      time_(new QLabel(this)) {
    player_->setVideoOutput(video_);
    video_->setMinimumHeight(180);
    video_->setAspectRatioMode(Qt::KeepAspectRatio);

    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    playButton_->setAccessibleName(tr("Play"));
    playButton_->setFlat(true);
    slider_->setAccessibleName(tr("Position"));
    slider_->setRange(0, 0);

    auto* controls = new QHBoxLayout;
    controls->setContentsMargins(0, 0, 0, 0);
    controls->addWidget(playButton_);
    controls->addWidget(slider_, 1);
    controls->addWidget(time_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(video_, 1);
    layout->addLayout(controls);

    connect(playButton_, &QPushButton::clicked, this, &ReplayPlayer::togglePlayback);
    connect(slider_, &QSlider::sliderMoved, player_,
            [this](int position) { player_->setPosition(position); });
    connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 duration) {
        slider_->setRange(0, static_cast<int>(duration));
        updateTime();
    });
    connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 position) {
        if (!slider_->isSliderDown())
            slider_->setValue(static_cast<int>(position));
        updateTime();
    });
    connect(player_, &QMediaPlayer::playbackStateChanged, this,
            [this](QMediaPlayer::PlaybackState state) {
                const bool playing = state == QMediaPlayer::PlayingState;
                playButton_->setIcon(
                    style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
                playButton_->setAccessibleName(playing ? tr("Pause") : tr("Play"));
            });
    updateTime();
}

void ReplayPlayer::setClip(const std::filesystem::path& clip) {
    if (clip == clip_)
        return;
    clip_ = clip;
    player_->stop();
    player_->setSource(clip.empty() ? QUrl()
                                    : QUrl::fromLocalFile(QString::fromStdString(clip.string())));
    slider_->setValue(0);
    updateTime();
}

void ReplayPlayer::seek(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        return;
    // Millisecond positions are finer than the 1/600 s the clip links are read at.
    auto position = static_cast<qint64>(std::llround(seconds * 1000.0));
    if (player_->duration() > 0)
        position = std::min(position, player_->duration());
    player_->setPosition(position);
    slider_->setValue(static_cast<int>(position));
    updateTime();
}

void ReplayPlayer::togglePlayback() {
    if (player_->playbackState() == QMediaPlayer::PlayingState)
        player_->pause();
    else
        player_->play();
}

void ReplayPlayer::updateTime() {
    time_->setText(clock(player_->position()) + QStringLiteral(" / ") + clock(player_->duration()));
}

} // namespace snagreel::app
