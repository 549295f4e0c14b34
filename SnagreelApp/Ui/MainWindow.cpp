#include "SnagreelApp/Ui/MainWindow.hpp"

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/Ui/ReplayPlayer.hpp"
#include "SnagreelApp/Ui/ReportPreview.hpp"
#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace snagreel::app {
namespace {

namespace t = editortexts;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QString captureTitle(const SavedCapture& capture) {
    return capture.name.empty() ? text(t::kUntitled) : QString::fromStdString(capture.name);
}

QLabel* wrappedLabel(const QString& content, QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    return label;
}

QHBoxLayout* row(QWidget* owner) {
    auto* layout = new QHBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

} // namespace

MainWindow::MainWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window), state_(state) {
    setWindowTitle(text(t::kTitle));
    setWindowIcon(applicationIcon());
    setObjectName(QStringLiteral("SnagreelEditor"));
    resize(960, 820);
    setMinimumSize(740, 620);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildHeader());
    pages_ = new QStackedWidget(this);
    pages_->addWidget(buildEmptyPage());
    pages_->addWidget(buildCapturePage());
    layout->addWidget(pages_, 1);
    layout->addWidget(buildFooter());

    // Ctrl+S saves; Ctrl+E saves the report with its video when that is possible.
    auto* save = new QShortcut(QKeySequence::Save, this);
    connect(save, &QShortcut::activated, this, [this] { state_.saveReport(); });
    auto* share = new QShortcut(QKeySequence(QStringLiteral("Ctrl+E")), this);
    connect(share, &QShortcut::activated, this, [this] {
        if (state_.canShare())
            state_.exportReport();
    });

    connect(&state_, &AppState::stateChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::recorderChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::capturesChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::selectedIDChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::generatingChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::cancellingChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::progressChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::selectedReportIDChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::saveErrorChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::messageChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::errorChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::deferredCaptureIDChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::processingModeChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::lookbackChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::capturingChanged, this, &MainWindow::refresh);
    connect(&state_, &AppState::markdownChanged, this, &MainWindow::refreshReport);
    connect(&state_, &AppState::originalMarkdownChanged, this, &MainWindow::refreshReport);
    connect(&state_, &AppState::showingOriginalChanged, this, &MainWindow::refreshReport);
    connect(&state_, &AppState::playerSourceChanged, this,
            [this] { player_->setClip(state_.playerSource().toLocalFile().toStdString()); });
    player_->setClip(state_.playerSource().toLocalFile().toStdString());
    refresh();
    refreshReport();
}

QWidget* MainWindow::buildHeader() {
    auto* header = new QWidget(this);
    auto* layout = row(header);
    auto* name = new QLabel(text(t::kTitle), header);
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    name->setFont(bold);
    layout->addWidget(name);
    layout->addStretch(1);

    auto* history = new QToolButton(header);
    history->setText(text(t::kHistory));
    history->setIcon(QIcon::fromTheme(QStringLiteral("document-open-recent")));
    history->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    history->setPopupMode(QToolButton::InstantPopup);
    historyMenu_ = new QMenu(history);
    history->setMenu(historyMenu_);
    connect(historyMenu_, &QMenu::aboutToShow, this, &MainWindow::refreshHistory);
    layout->addWidget(history);

    auto* settings = new QToolButton(header);
    settings->setText(text(t::kSettings));
    settings->setIcon(QIcon::fromTheme(QStringLiteral("preferences-system")));
    settings->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(settings, &QToolButton::clicked, this, [this] {
        if (openSettings)
            openSettings();
    });
    layout->addWidget(settings);
    return header;
}

QWidget* MainWindow::buildEmptyPage() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    auto* symbol = new QLabel(page);
    symbol->setPixmap(style()->standardIcon(QStyle::SP_ArrowBack).pixmap(48, 48));
    symbol->setAlignment(Qt::AlignCenter);
    layout->addWidget(symbol);
    auto* title = new QLabel(text(t::kEmptyTitle), page);
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    title->setFont(big);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    auto* body = new QLabel(text(t::kEmptyBody), page);
    body->setAlignment(Qt::AlignCenter);
    layout->addWidget(body);
    layout->addStretch(1);
    return page;
}

QWidget* MainWindow::buildCapturePage() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* toolbar = new QWidget(page);
    auto* tools = row(toolbar);
    editButton_ = new QPushButton(text(t::kEdit), toolbar);
    connect(editButton_, &QPushButton::clicked, this, [this] { setEditing(!isEditing()); });
    writeAgain_ = new QPushButton(text(t::kWriteAgain), toolbar);
    connect(writeAgain_, &QPushButton::clicked, this,
            [this] { state_.generate(state_.processingMode()); });
    addContext_ = new QPushButton(text(t::kAddContext), toolbar);
    connect(addContext_, &QPushButton::clicked, this, [this] { state_.editContext(); });
    drafts_ = new QToolButton(toolbar);
    drafts_->setText(text(t::kEarlierDrafts));
    drafts_->setPopupMode(QToolButton::InstantPopup);
    draftsMenu_ = new QMenu(drafts_);
    drafts_->setMenu(draftsMenu_);
    connect(draftsMenu_, &QMenu::aboutToShow, this, &MainWindow::refreshDrafts);
    more_ = new QToolButton(toolbar);
    more_->setText(QStringLiteral("…"));
    more_->setToolTip(text(t::kMore));
    more_->setAccessibleName(text(t::kMore));
    more_->setPopupMode(QToolButton::InstantPopup);
    moreMenu_ = new QMenu(more_);
    more_->setMenu(moreMenu_);
    connect(moreMenu_, &QMenu::aboutToShow, this, &MainWindow::refreshMore);
    for (QWidget* tool :
         std::initializer_list<QWidget*>{editButton_, writeAgain_, addContext_, drafts_})
        tools->addWidget(tool);
    tools->addStretch(1);
    tools->addWidget(more_);
    layout->addWidget(toolbar);

    progressRow_ = new QWidget(page);
    auto* progress = row(progressRow_);
    progressMode_ = new QLabel(progressRow_);
    progressText_ = new QLabel(progressRow_);
    progressText_->setTextFormat(Qt::PlainText);
    progressText_->setWordWrap(true);
    cancel_ = new QPushButton(text(t::kCancel), progressRow_);
    connect(cancel_, &QPushButton::clicked, this, [this] { state_.cancelGeneration(); });
    progress->addWidget(progressMode_);
    progress->addWidget(progressText_, 1);
    progress->addWidget(cancel_);
    layout->addWidget(progressRow_);

    savedRow_ = new QWidget(page);
    auto* saved = new QVBoxLayout(savedRow_);
    auto* savedTitle = new QLabel(text(t::kSavedNoReport), savedRow_);
    QFont bold = savedTitle->font();
    bold.setBold(true);
    savedTitle->setFont(bold);
    auto* writeReport = new QPushButton(text(t::kWriteReport), savedRow_);
    connect(writeReport, &QPushButton::clicked, this,
            [this] { state_.generate(state_.processingMode()); });
    saved->addWidget(savedTitle);
    saved->addWidget(writeReport, 0, Qt::AlignLeft);
    saved->addWidget(new QLabel(text(t::kSavedHere), savedRow_));
    layout->addWidget(savedRow_);

    reportPages_ = new QStackedWidget(page);
    preview_ = new ReportPreview(reportPages_);
    preview_->seekClip = [this](double seconds) {
        player_->seek(seconds);
        revealVideo();
    };
    editor_ = new QPlainTextEdit(reportPages_);
    editor_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(editor_, &QPlainTextEdit::textChanged, this, [this] {
        if (!state_.showingOriginal() && editor_->toPlainText() != state_.markdown())
            state_.setMarkdown(editor_->toPlainText());
    });
    reportPages_->addWidget(preview_);
    reportPages_->addWidget(editor_);
    layout->addWidget(reportPages_, 3);

    videoToggle_ = new QToolButton(page);
    videoToggle_->setText(text(t::kVideo));
    videoToggle_->setCheckable(true);
    videoToggle_->setChecked(true);
    videoToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    videoToggle_->setArrowType(Qt::DownArrow);
    videoToggle_->setAutoRaise(true);
    player_ = new ReplayPlayer(page);
    connect(videoToggle_, &QToolButton::toggled, this, [this](bool open) {
        videoToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        player_->setVisible(open);
    });
    layout->addWidget(videoToggle_, 0, Qt::AlignLeft);
    layout->addWidget(player_, 2);
    return page;
}

QWidget* MainWindow::buildFooter() {
    auto* footer = new QWidget(this);
    auto* layout = new QVBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    saveError_ = wrappedLabel({}, footer);
    saveError_->setStyleSheet(QStringLiteral("color: #b3261e;"));
    message_ = wrappedLabel({}, footer);
    layout->addWidget(saveError_);
    layout->addWidget(message_);

    newerRow_ = new QWidget(footer);
    auto* newer = row(newerRow_);
    newer->addWidget(new QLabel(text(t::kNewerClip), newerRow_));
    auto* showNewer = new QPushButton(text(t::kShowNewerVideo), newerRow_);
    connect(showNewer, &QPushButton::clicked, this, [this] {
        if (state_.select(state_.deferredCaptureID()))
            revealVideo();
    });
    auto* openNewer = new QPushButton(text(t::kOpenNewerClip), newerRow_);
    connect(openNewer, &QPushButton::clicked, this,
            [this] { state_.revealVideo(state_.deferredCaptureID()); });
    newer->addWidget(showNewer);
    newer->addWidget(openNewer);
    newer->addStretch(1);
    layout->addWidget(newerRow_);

    auto* statusRow = new QWidget(footer);
    auto* status = row(statusRow);
    recorderStatus_ = new QLabel(statusRow);
    recorderStatus_->setTextFormat(Qt::PlainText);
    retry_ = new QPushButton(text(t::kTryAgain), statusRow);
    connect(retry_, &QPushButton::clicked, this, [this] { state_.start(); });
    screenAccess_ = new QPushButton(text(t::kScreenAccess), statusRow);
    connect(screenAccess_, &QPushButton::clicked, this,
            [this] { state_.openScreenAccessSettings(); });
    captureButton_ = new QPushButton(statusRow);
    captureButton_->setDefault(true);
    connect(captureButton_, &QPushButton::clicked, this, [this] { state_.capture(true); });
    status->addWidget(recorderStatus_, 1);
    status->addWidget(retry_);
    status->addWidget(screenAccess_);
    status->addWidget(captureButton_);
    layout->addWidget(statusRow);

    privacy_ = wrappedLabel({}, footer);
    QFont small = privacy_->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    privacy_->setFont(small);
    layout->addWidget(privacy_);
    return footer;
}

bool MainWindow::isEditing() const {
    return reportPages_->currentWidget() == editor_;
}

void MainWindow::setEditing(bool editing) {
    reportPages_->setCurrentWidget(editing ? static_cast<QWidget*>(editor_) : preview_);
    editButton_->setText(text(editing ? t::kDone : t::kEdit));
    if (editing)
        editor_->setFocus();
    refreshReport();
}

void MainWindow::refresh() {
    const auto selected = state_.selected();
    pages_->setCurrentIndex(selected ? 1 : 0);
    if (state_.selectedID() != shownCaptureID_) {
        shownCaptureID_ = state_.selectedID();
        setEditing(false);
    }
    const bool generating = state_.generating();
    const bool hasReport = !state_.selectedReportID().isEmpty();
    progressRow_->setVisible(generating);
    progressMode_->setText(text(
        state_.generationMode() == QLatin1String("local") ? t::kLocalReading : t::kCloudReading));
    progressText_->setText(state_.progress().isEmpty()
                               ? text(t::kWriting)
                               : state_.progress() + QLatin1Char(' ') + text(t::kWriting));
    cancel_->setText(text(state_.cancelling() ? t::kStopping : t::kCancel));
    cancel_->setEnabled(!state_.cancelling());
    savedRow_->setVisible(selected && !hasReport && !generating);
    reportPages_->setVisible(hasReport);
    editButton_->setVisible(hasReport);
    editButton_->setEnabled(!state_.showingOriginal());
    writeAgain_->setEnabled(!state_.busy());
    writeAgain_->setVisible(hasReport);
    addContext_->setEnabled(!state_.busy());
    drafts_->setVisible(state_.reportEntries().size() > 1);

    recorderStatus_->setText(state_.recorderStatus());
    retry_->setVisible(state_.canRetryRecording());
    screenAccess_->setVisible(state_.needsScreenAccess());
    captureButton_->setText(state_.capturing()
                                ? text(t::kSaving)
                                : text(t::kSaveLastPrefix) +
                                      QString::number(static_cast<int>(state_.lookback())) +
                                      text(t::kSaveLastSuffix));
    captureButton_->setEnabled(state_.canCapture());
    const QString deferred = state_.deferredCaptureID();
    newerRow_->setVisible(!deferred.isEmpty() && deferred != state_.selectedID());
    saveError_->setText(state_.saveError().isEmpty() ? state_.error() : state_.saveError());
    saveError_->setVisible(!saveError_->text().isEmpty());
    message_->setText(state_.message());
    message_->setVisible(!state_.message().isEmpty());
    privacy_->setText(text(t::kPrivacy) + QLatin1Char(' ') +
                      text(state_.processingModeValue() == ProcessingMode::local
                               ? t::kPrivacyLocal
                               : t::kPrivacyCloud));
}

void MainWindow::refreshReport() {
    const QString shown = state_.showingOriginal() ? state_.originalMarkdown() : state_.markdown();
    const auto selected = state_.selected();
    preview_->setReport(shown.toStdString(),
                        selected ? selected->directory : std::filesystem::path());
    editor_->setReadOnly(state_.showingOriginal());
    if (editor_->toPlainText() != shown) {
        const QSignalBlocker quiet(editor_);
        editor_->setPlainText(shown);
    }
    editButton_->setEnabled(!state_.showingOriginal());
}

void MainWindow::refreshHistory() {
    historyMenu_->clear();
    for (const SavedCapture& capture : state_.captures()) {
        QAction* item = historyMenu_->addAction(captureTitle(capture));
        const QString id = QString::fromStdString(capture.id());
        item->setCheckable(true);
        item->setChecked(id == state_.selectedID());
        connect(item, &QAction::triggered, this, [this, id] { state_.select(id); });
    }
    if (state_.captures().isEmpty())
        historyMenu_->addAction(text(t::kNoCaptures))->setEnabled(false);
    if (!state_.reportEntries().isEmpty()) {
        historyMenu_->addSection(text(t::kEarlierDrafts));
        for (const auto& entry : state_.reportEntries()) {
            const QString id = QString::fromStdString(entry.id);
            QAction* item = historyMenu_->addAction(QString::fromStdString(entry.label));
            item->setCheckable(true);
            item->setChecked(id == state_.selectedReportID());
            connect(item, &QAction::triggered, this, [this, id] { state_.selectReport(id); });
        }
    }
    historyMenu_->addSeparator();
    connect(historyMenu_->addAction(text(t::kAllCaptures)), &QAction::triggered, this,
            &MainWindow::showCapturesSheet);
}

void MainWindow::refreshDrafts() {
    draftsMenu_->clear();
    for (const auto& entry : state_.reportEntries()) {
        const QString id = QString::fromStdString(entry.id);
        QAction* item = draftsMenu_->addAction(QString::fromStdString(entry.label));
        item->setCheckable(true);
        item->setChecked(id == state_.selectedReportID());
        connect(item, &QAction::triggered, this, [this, id] { state_.selectReport(id); });
    }
}

void MainWindow::refreshMore() {
    moreMenu_->clear();
    if (state_.canViewSource()) {
        const bool original = state_.showingOriginal();
        connect(moreMenu_->addAction(text(original ? t::kViewEdited : t::kViewSource)),
                &QAction::triggered, this,
                [this, original] { state_.setShowingOriginal(!original); });
    }
    if (state_.canShare())
        connect(moreMenu_->addAction(text(t::kSaveReportAndVideo)), &QAction::triggered, this,
                [this] { state_.exportReport(); });
    connect(moreMenu_->addAction(text(t::kShowVideo)), &QAction::triggered, this,
            [this] { state_.revealVideo(); });
    moreMenu_->addSeparator();
    QAction* discard = moreMenu_->addAction(text(t::kDiscard));
    discard->setEnabled(!state_.busy());
    connect(discard, &QAction::triggered, this, [this] { state_.discard(); });
}

void MainWindow::revealVideo() {
    videoToggle_->setChecked(true);
    player_->show();
}

void MainWindow::showCapturesSheet() {
    // A sheet, not a modal loop: open() returns at once.
    auto* sheet = new QDialog(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowTitle(text(t::kCapturesTitle));
    auto* layout = new QVBoxLayout(sheet);
    auto* title = new QLabel(text(t::kCapturesTitle), sheet);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    if (state_.captures().isEmpty()) {
        layout->addWidget(new QLabel(text(t::kNoCaptures), sheet), 1);
    } else {
        auto* list = new QListWidget(sheet);
        for (const SavedCapture& capture : state_.captures()) {
            auto* item = new QListWidgetItem(captureTitle(capture), list);
            item->setData(Qt::UserRole, QString::fromStdString(capture.id()));
        }
        connect(list, &QListWidget::itemActivated, sheet, [this, sheet](QListWidgetItem* item) {
            state_.select(item->data(Qt::UserRole).toString());
            sheet->accept();
        });
        layout->addWidget(list, 1);
    }
    auto* buttons = new QDialogButtonBox(sheet);
    buttons->addButton(text(t::kDone), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, sheet, &QDialog::accept);
    layout->addWidget(buttons);
    sheet->resize(420, 480);
    sheet->open();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The window stays open when the report cannot be saved, so nothing typed is lost.
    if (!(mayClose ? mayClose() : state_.saveReport())) {
        event->ignore();
        return;
    }
    event->accept();
    if (closed)
        closed();
}

} // namespace snagreel::app
