#include "SnagreelApp/Ui/SettingsWindow.hpp"

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/System/GlobalHotKey.hpp"
#include "SnagreelApp/System/LaunchAtLogin.hpp"
#include "SnagreelApp/Ui/ShortcutField.hpp"
#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace snagreel::app {
namespace {

namespace t = settingstexts;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QLabel* note(const QString& content, QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QLabel* errorLine(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #b3261e;"));
    label->hide();
    return label;
}

void showError(QLabel* label, const QString& content) {
    label->setText(content);
    label->setVisible(!content.isEmpty());
}

} // namespace

SettingsWindow::SettingsWindow(AppState& state, GlobalHotKey* hotKey, LaunchAtLogin* launchAtLogin,
                               QWidget* parent)
    : QWidget(parent, Qt::Window), state_(state), launchAtLogin_(launchAtLogin) {
    setWindowTitle(text(t::kTitle));
    setWindowIcon(applicationIcon());
    resize(470, 450);

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    // Labels above their fields keep the shortcut row inside the window's width.
    form->setRowWrapPolicy(QFormLayout::WrapAllRows);
    length_ = new QComboBox(this);
    length_->addItem(text(t::kThirty), 30);
    length_->addItem(text(t::kSixty), 60);
    connect(length_, &QComboBox::activated, this,
            [this](int index) { state_.setLookback(length_->itemData(index).toInt()); });
    form->addRow(text(t::kSaveTheLast), length_);

    if (hotKey) {
        auto* shortcut = new QWidget(this);
        auto* column = new QVBoxLayout(shortcut);
        column->setContentsMargins(0, 0, 0, 0);
        recorder_ = new ShortcutRecorder(*hotKey, shortcut);
        shortcutError_ = errorLine(shortcut);
        column->addWidget(recorder_);
        column->addWidget(note(text(shortcuttexts::kHelp), shortcut));
        column->addWidget(shortcutError_);
        form->addRow(text(t::kShortcut), shortcut);
        connect(recorder_, &ShortcutRecorder::errorTextChanged, this, &SettingsWindow::refresh);
    }

    if (launchAtLogin_) {
        auto* login = new QWidget(this);
        auto* column = new QVBoxLayout(login);
        column->setContentsMargins(0, 0, 0, 0);
        login_ = new QCheckBox(text(t::kOpenAtLogin), login);
        loginStatus_ = note({}, login);
        loginError_ = errorLine(login);
        column->addWidget(login_);
        column->addWidget(loginStatus_);
        column->addWidget(loginError_);
        form->addRow(QString(), login);
        connect(login_, &QCheckBox::clicked, this,
                [this](bool on) { launchAtLogin_->setEnabled(on); });
        connect(launchAtLogin_, &LaunchAtLogin::changed, this, &SettingsWindow::refresh);
    }
    layout->addLayout(form);

    auto* reports = new QGroupBox(text(t::kReports), this);
    auto* reportsLayout = new QVBoxLayout(reports);
    mode_ = new QComboBox(reports);
    mode_->addItem(text(t::kLocal), QStringLiteral("local"));
    mode_->addItem(text(t::kCloud), QStringLiteral("cloud"));
    connect(mode_, &QComboBox::activated, this,
            [this](int index) { state_.setProcessingMode(mode_->itemData(index).toString()); });
    reportsLayout->addWidget(mode_);
    reportsLayout->addWidget(note(text(t::kReportsNote), reports));
    layout->addWidget(reports);

    auto* recording = new QGroupBox(text(t::kRecording), this);
    auto* recordingLayout = new QVBoxLayout(recording);
    recordingLayout->addWidget(note(text(t::kRecordingNote), recording));
    buffered_ = new QLabel(recording);
    recordingLayout->addWidget(buffered_);
    auto* buttons = new QHBoxLayout;
    auto* folder = new QPushButton(text(t::kOpenClipsFolder), recording);
    connect(folder, &QPushButton::clicked, this, [this] { state_.openClipsFolder(); });
    pause_ = new QPushButton(recording);
    connect(pause_, &QPushButton::clicked, this, [this] {
        if (state_.desiredRecording())
            state_.pause();
        else
            state_.start();
    });
    auto* clear = new QPushButton(text(t::kClear), recording);
    connect(clear, &QPushButton::clicked, this, [this] { state_.clear(); });
    buttons->addWidget(folder);
    buttons->addWidget(pause_);
    buttons->addWidget(clear);
    buttons->addStretch(1);
    recordingLayout->addLayout(buttons);
    layout->addWidget(recording);
    layout->addStretch(1);

    connect(&state_, &AppState::lookbackChanged, this, &SettingsWindow::refresh);
    connect(&state_, &AppState::processingModeChanged, this, &SettingsWindow::refresh);
    connect(&state_, &AppState::recorderChanged, this, &SettingsWindow::refresh);
    refresh();
}

void SettingsWindow::refresh() {
    length_->setCurrentIndex(state_.lookback() >= 60 ? 1 : 0);
    mode_->setCurrentIndex(state_.processingModeValue() == ProcessingMode::local ? 0 : 1);
    buffered_->setText(text(t::kBuffered) +
                       QLocale().formattedDataSize(state_.recorder().bufferedBytes(), 1,
                                                   QLocale::DataSizeSIFormat));
    pause_->setText(text(state_.desiredRecording() ? t::kPause : t::kResume));
    if (recorder_)
        showError(shortcutError_, recorder_->errorText());
    if (launchAtLogin_) {
        login_->setChecked(launchAtLogin_->isRegistered());
        loginStatus_->setText(QString::fromStdString(launchAtLogin_->statusLine()));
        showError(loginError_,
                  QString::fromStdString(launchAtLogin_->error().value_or(std::string())));
    }
}

} // namespace snagreel::app
