#include "SnagreelApp/Ui/ServiceView.hpp"

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/HostedTracker.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QCloseEvent>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace snagreel::app {
namespace {

namespace t = servicetexts;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QLabel* wrapped(const QString& content, QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    return label;
}

QLabel* heading(const QString& content, QWidget* parent) {
    auto* label = wrapped(content, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    label->setFont(font);
    return label;
}

QString captureTitle(const SavedCapture& capture) {
    return capture.name.empty() ? text(t::kUntitled) : QString::fromStdString(capture.name);
}

// The moment the window leads with: the selected capture, else the newest.
std::optional<SavedCapture> latestCapture(const AppState& state) {
    if (auto chosen = state.selected()) {
        return chosen;
    }
    if (!state.captures().isEmpty()) {
        return state.captures().front();
    }
    return std::nullopt;
}

enum class Action { none, openReport, finishUpload, writeReport, tryAgain };

struct Moment {
    QString status;
    Action action = Action::none;
};

// What a capture's hosted state says, and the one action that moves it on.
Moment describe(const HostedTracker& hosted, const QString& id) {
    const QString job = hosted.jobs().value(id);
    const auto found = hosted.links().find(id);
    if (hosted.hasTask(id)) {
        return {job, Action::none};
    }
    if (found == hosted.links().end()) {
        if (!job.isEmpty()) {
            return {job, hosted.signedIn() ? Action::tryAgain : Action::none};
        }
        return {text(t::kSavedHere), hosted.signedIn() ? Action::writeReport : Action::none};
    }
    const std::string& status = found->second.status;
    if (status == "ready") {
        return {text(t::kOnTheWeb), Action::openReport};
    }
    if (status == "uploading") {
        return {job.isEmpty() ? text(t::kSavedHere) : job,
                hosted.signedIn() ? Action::finishUpload : Action::none};
    }
    if (status == "failed") {
        return {job.isEmpty() ? text(hostedtexts::kFailed) : job,
                hosted.signedIn() ? Action::tryAgain : Action::none};
    }
    return {job.isEmpty() ? text(hostedtexts::kWriting) : job, Action::openReport};
}

QString actionText(Action action) {
    switch (action) {
    case Action::openReport:
        return text(t::kOpenReport);
    case Action::finishUpload:
        return text(t::kFinishUpload);
    case Action::writeReport:
        return text(t::kWriteReport);
    case Action::tryAgain:
        return text(t::kTryAgain);
    case Action::none:
        break;
    }
    return {};
}

} // namespace

ServiceView::ServiceView(AppState& state, HostedTracker& hosted, QWidget* parent)
    : QWidget(parent, Qt::Window), state_(state), hosted_(hosted) {
    setWindowTitle(text(t::kTitle));
    setWindowIcon(applicationIcon());
    setObjectName(QStringLiteral("SnagreelEditor"));
    resize(680, 740);
    setMinimumSize(620, 520);

    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    header->addWidget(heading(text(t::kTitle), this));
    header->addStretch(1);
    auto* library = new QPushButton(text(t::kYourMoments), this);
    connect(library, &QPushButton::clicked, this, [this] { hosted_.openLibrary(); });
    auto* settings = new QPushButton(text(t::kSettings), this);
    connect(settings, &QPushButton::clicked, this, [this] {
        if (openSettings)
            openSettings();
    });
    header->addWidget(library);
    header->addWidget(settings);
    layout->addLayout(header);
    statusLine_ = wrapped({}, this);
    layout->addWidget(statusLine_);

    // Signed out: the pitch and "Sign in"; signing in: the code to type.
    signInArea_ = new QWidget(this);
    auto* signInLayout = new QVBoxLayout(signInArea_);
    signInPages_ = new QStackedWidget(signInArea_);
    auto* pitch = new QWidget(signInPages_);
    auto* pitchLayout = new QVBoxLayout(pitch);
    pitchLayout->addWidget(heading(text(t::kPitch), pitch));
    pitchLayout->addWidget(wrapped(text(t::kPitchBody), pitch));
    auto* signIn = new QPushButton(text(t::kSignIn), pitch);
    connect(signIn, &QPushButton::clicked, this, [this] { hosted_.signIn(); });
    pitchLayout->addWidget(signIn, 0, Qt::AlignLeft);
    auto* pairing = new QWidget(signInPages_);
    auto* pairingLayout = new QVBoxLayout(pairing);
    pairingCode_ = heading({}, pairing);
    pairingCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pairingLayout->addWidget(pairingCode_);
    pairingLayout->addWidget(wrapped(text(t::kEnterCode), pairing));
    pairingLayout->addWidget(wrapped(text(t::kWaiting), pairing));
    signInPages_->addWidget(pitch);
    signInPages_->addWidget(pairing);
    signInLayout->addWidget(signInPages_);
    layout->addWidget(signInArea_);

    // The latest moment and the others, or the note for a first run.
    momentPages_ = new QStackedWidget(this);
    auto* moments = new QWidget(momentPages_);
    auto* momentsLayout = new QVBoxLayout(moments);
    auto* latest = new QGroupBox(text(t::kLatest), moments);
    auto* latestLayout = new QVBoxLayout(latest);
    latestTitle_ = heading({}, latest);
    latestState_ = wrapped({}, latest);
    accountMessage_ = wrapped({}, latest);
    accountMessage_->setStyleSheet(QStringLiteral("color: #b3261e;"));
    action_ = new QPushButton(latest);
    connect(action_, &QPushButton::clicked, this, &ServiceView::runLatestAction);
    videoToggle_ = new QToolButton(latest);
    videoToggle_->setText(text(t::kVideo));
    videoToggle_->setCheckable(true);
    videoToggle_->setArrowType(Qt::RightArrow);
    videoToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    videoRow_ = new QWidget(latest);
    auto* videoLayout = new QHBoxLayout(videoRow_);
    videoLayout->setContentsMargins(0, 0, 0, 0);
    auto* reveal = new QPushButton(text(t::kShowInFiles), videoRow_);
    connect(reveal, &QPushButton::clicked, this, [this] { state_.revealVideo(latestID_); });
    auto* save = new QPushButton(text(t::kSaveVideo), videoRow_);
    connect(save, &QPushButton::clicked, this, [this] {
        if (state_.selectedID() == latestID_ || state_.select(latestID_))
            state_.saveVideo();
    });
    videoLayout->addWidget(reveal);
    videoLayout->addWidget(save);
    videoLayout->addStretch(1);
    videoRow_->hide();
    connect(videoToggle_, &QToolButton::toggled, this, [this](bool open) {
        videoToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        videoRow_->setVisible(open);
    });
    latestLayout->addWidget(latestTitle_);
    latestLayout->addWidget(latestState_);
    latestLayout->addWidget(accountMessage_);
    latestLayout->addWidget(action_, 0, Qt::AlignLeft);
    latestLayout->addWidget(videoToggle_, 0, Qt::AlignLeft);
    latestLayout->addWidget(videoRow_);
    momentsLayout->addWidget(latest);
    momentsLayout->addWidget(heading(text(t::kRecent), moments));
    recent_ = new QListWidget(moments);
    connect(recent_, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { state_.select(item->data(Qt::UserRole).toString()); });
    momentsLayout->addWidget(recent_, 1);
    auto* empty = new QWidget(momentPages_);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch(1);
    emptyLayout->addWidget(heading(text(t::kEmptyTitle), empty), 0, Qt::AlignHCenter);
    emptyLine_ = wrapped({}, empty);
    emptyLine_->setAlignment(Qt::AlignHCenter);
    emptyLayout->addWidget(emptyLine_);
    emptyLayout->addStretch(1);
    momentPages_->addWidget(moments);
    momentPages_->addWidget(empty);
    layout->addWidget(momentPages_, 1);

    connect(&state_, &AppState::stateChanged, this, &ServiceView::refresh);
    connect(&hosted_, &HostedTracker::changed, this, &ServiceView::refresh);
    refresh();
}

QString ServiceView::latestStatus() const {
    return latestID_.isEmpty() ? QString() : describe(hosted_, latestID_).status;
}

QString ServiceView::latestAction() const {
    return latestID_.isEmpty() ? QString() : actionText(describe(hosted_, latestID_).action);
}

void ServiceView::runLatestAction() {
    const auto capture = latestCapture(state_);
    if (!capture) {
        return;
    }
    switch (describe(hosted_, latestID_).action) {
    case Action::openReport:
        hosted_.openReport(latestID_);
        break;
    case Action::writeReport:
        hosted_.startReport(*capture);
        break;
    case Action::finishUpload:
    case Action::tryAgain:
        hosted_.retryReport(*capture);
        break;
    case Action::none:
        break;
    }
}

void ServiceView::refresh() {
    const QString status = !state_.message().isEmpty() && hosted_.error().isEmpty()
                               ? state_.message()
                               : hosted_.error();
    statusLine_->setText(status);
    statusLine_->setVisible(!status.isEmpty());
    signInArea_->setVisible(!hosted_.signedIn());
    signInPages_->setCurrentIndex(hosted_.signingIn() ? 1 : 0);
    pairingCode_->setText(hosted_.pairingCode());

    const auto latest = latestCapture(state_);
    latestID_ = latest ? hostedCaptureID(*latest) : QString();
    momentPages_->setCurrentIndex(latest ? 0 : 1);
    if (latest) {
        const QString hostedTitle = hosted_.titles().value(latestID_);
        latestTitle_->setText(
            latest->name.empty() && !hostedTitle.isEmpty() ? hostedTitle : captureTitle(*latest));
        const Moment moment = describe(hosted_, latestID_);
        latestState_->setText(moment.status);
        action_->setText(actionText(moment.action));
        action_->setVisible(moment.action != Action::none);
    }
    const QString account = hosted_.accountMessage();
    accountMessage_->setText(account);
    accountMessage_->setVisible(!account.isEmpty() && account != hosted_.error());

    recent_->clear();
    for (const auto& capture : state_.captures()) {
        const QString id = hostedCaptureID(capture);
        if (id == latestID_) {
            continue;
        }
        const QString hostedTitle = hosted_.titles().value(id);
        auto* item = new QListWidgetItem(
            capture.name.empty() && !hostedTitle.isEmpty() ? hostedTitle : captureTitle(capture),
            recent_);
        item->setData(Qt::UserRole, id);
    }

    QString shortcut;
    if (GlobalHotKey* hotKey = state_.hotKey(); hotKey && hotKey->shortcut()) {
        shortcut = QString::fromStdString(hotKey->shortcut()->displayName());
    }
    emptyLine_->setText(shortcut.isEmpty() ? text(t::kEmptyNoShortcut) + text(t::kEmptyEnd)
                                           : text(t::kEmptyPress) + shortcut + QLatin1Char(' ') +
                                                 text(t::kEmptyEnd));
}

void ServiceView::closeEvent(QCloseEvent* event) {
    if (mayClose && !mayClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (closed)
        closed();
}

} // namespace snagreel::app
