#include "SnagreelApp/AppState.hpp"

#include "SnagreelApp/EngineOutput.hpp"
#include "SnagreelCore/Capture/CaptureVocabulary.hpp"
#include "SnagreelCore/Linux/PrivateFiles.hpp"
#include "SnagreelCore/Support/Uuid.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"
#include "SnagreelReports/ReportExport.hpp"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace snagreel::app {

namespace {

namespace linuxfs = reports::linuxfs;

QString fromUtf8(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string toUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

QString firstCharacters(const QString& text, qsizetype count) {
    const QList<uint> codePoints = text.toUcs4();
    if (codePoints.size() <= count) {
        return text;
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()), count);
}

// The text of the first "# " line, empty lines skipped.
QString heading(const QString& text) {
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QStringLiteral("# "))) {
            return line.mid(2);
        }
    }
    return {};
}

QString readIntent(const reports::ReportStore* store) {
    if (store == nullptr) {
        return {};
    }
    auto bytes = store->readFile("intent.txt", reports::readlimits::kReport);
    return bytes ? fromUtf8(*bytes) : QString();
}

// The engine's environment: ours, with the standard program folders in front of PATH
// and unbuffered Python output, so that progress lines arrive as they are printed.
std::map<std::string, std::string> engineEnvironment() {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string item = *entry;
        const auto equals = item.find('=');
        if (equals != std::string::npos) {
            environment.emplace(item.substr(0, equals), item.substr(equals + 1));
        }
    }
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    if (auto old = environment.find("PATH"); old != environment.end() && !old->second.empty()) {
        path += ":" + old->second;
    }
    environment["PATH"] = path;
    environment["PYTHONUNBUFFERED"] = "1";
    return environment;
}

std::string reportFileName(ProcessingMode mode, std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%SZ", &utc);
    const std::string uuid = uuidString(randomUuid(), UuidCase::upper);
    return "report-" + std::string(rawValue(mode)) + "-" + stamp + "-" + uuid.substr(0, 8) + ".md";
}

// A boolean preference judged by its stored text: true, false, or not a boolean.
std::optional<bool> storedBoolean(const QSettings& settings, const char* key) {
    const QVariant value = settings.value(QLatin1String(key));
    if (!value.isValid()) {
        return std::nullopt;
    }
    const QString text = value.toString();
    if (text == QLatin1String("true")) {
        return true;
    }
    if (text == QLatin1String("false")) {
        return false;
    }
    return std::nullopt;
}

} // namespace

AppState::AppState(AppStateEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), recorder_(environment_.recorder),
      settings_(*environment_.settings) {
    if (!environment_.now) {
        environment_.now = [] { return std::chrono::system_clock::now(); };
    }
    bool isNumber = false;
    const double clipLength =
        settings_.value(QLatin1String(kClipLengthKey)).toString().toDouble(&isNumber);
    lookback_ = isNumber && clipLength == 60 ? 60 : 30;
    // A fresh install starts with the engine that needs no service set up; a stored
    // value other than "local" still means cloud.
    const QVariant mode = settings_.value(QLatin1String(kProcessingModeKey));
    processingMode_ = !mode.isValid() || mode.toString() == QLatin1String("local")
                          ? ProcessingMode::local
                          : ProcessingMode::cloud;

    recorder_->onRecordingIntentChanged = [this](bool wanted) {
        settings_.setValue(QLatin1String(kRecordingEnabledKey), wanted);
    };
    recorderObserver_ = recorder_->addObserver([this] {
        emit recorderChanged();
        emit stateChanged();
    });

    if (auto* hotKey = environment_.hotKey.get()) {
        hotKey->action = [this] { capture(true); };
    }
    refreshCaptures();

    autosave_.setSingleShot(true);
    autosave_.setInterval(environment_.autosaveMilliseconds);
    connect(&autosave_, &QTimer::timeout, this, [this] {
        if (!generating_) {
            saveReport();
        }
    });

    if (auto* hotKey = environment_.hotKey.get();
        hotKey && hotKey->shortcut() && !hotKey->isLive()) {
        assign(message_,
               QStringLiteral("Shortcut unavailable. Choose a different shortcut in Settings or "
                              "save a clip from the system tray."),
               &AppState::messageChanged);
    }
    const QString stored = settings_.value(QLatin1String(kSelectedCaptureKey)).toString();
    if (!stored.isEmpty() && std::any_of(captures_.begin(), captures_.end(), [&](const auto& c) {
            return fromUtf8(c.id()) == stored;
        })) {
        select(stored);
    }
    const auto enabled = storedBoolean(settings_, kRecordingEnabledKey);
    if (!enabled || *enabled) {
        start();
    }
}

AppState::~AppState() {
    if (recorderObserver_ != 0) {
        recorder_->removeObserver(recorderObserver_);
    }
    recorder_->onRecordingIntentChanged = nullptr;
}

template <typename T> void AppState::assign(T& field, T value, void (AppState::*signal)()) {
    if (field == value) {
        return;
    }
    field = std::move(value);
    emit(this->*signal)();
    emit stateChanged();
}

// --- Derived values ---

QString AppState::generationMode() const {
    return QString::fromLatin1(rawValue(generationMode_).data());
}

QString AppState::processingMode() const {
    return QString::fromLatin1(rawValue(processingMode_).data());
}

QString AppState::recorderPhase() const {
    const auto raw = rawValue(recorder_->phase());
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

QString AppState::recorderStatus() const {
    return fromUtf8(recorder_->status());
}

QString AppState::recorderError() const {
    return recorder_->lastError() ? fromUtf8(*recorder_->lastError()) : QString();
}

bool AppState::canCapture() const {
    return !capturing_ && !startRequested_ && !recorder_->isStarting() &&
           recorder_->isRecording() && recorder_->bufferedSeconds() >= 1.0;
}

bool AppState::canRetryRecording() const {
    const CapturePhase phase = recorder_->phase();
    return !startRequested_ && !recorder_->isStarting() &&
           (phase == CapturePhase::permissionRequired || phase == CapturePhase::unavailable);
}

bool AppState::canViewSource() const {
    return std::any_of(reportEntries_.begin(), reportEntries_.end(), [&](const auto& entry) {
        return fromUtf8(entry.id) == selectedReportID_ && entry.kind != reports::ReportKind::manual;
    });
}

std::optional<SavedCapture> AppState::selected() const {
    for (const auto& capture : captures_) {
        if (fromUtf8(capture.id()) == selectedID_) {
            return capture;
        }
    }
    return std::nullopt;
}

std::filesystem::path AppState::folderOf(const QString& id) const {
    return environment_.captureRoot / toUtf8(id);
}

// --- Setters ---

void AppState::setIntent(const QString& intent) {
    if (intent == intent_) {
        return;
    }
    assign(intent_, intent, &AppState::intentChanged);
    scheduleAutosave();
}

void AppState::setMarkdown(const QString& markdown) {
    if (markdown == markdown_) {
        return;
    }
    assign(markdown_, markdown, &AppState::markdownChanged);
    scheduleAutosave();
}

void AppState::setShowingOriginal(bool showing) {
    assign(showingOriginal_, showing, &AppState::showingOriginalChanged);
}

void AppState::setLookback(double seconds) {
    settings_.setValue(QLatin1String(kClipLengthKey), seconds);
    assign(lookback_, seconds, &AppState::lookbackChanged);
}

void AppState::setProcessingMode(const QString& raw) {
    const auto mode = processingModeFromRaw(toUtf8(raw));
    if (!mode) {
        return;
    }
    settings_.setValue(QLatin1String(kProcessingModeKey), raw);
    assign(processingMode_, *mode, &AppState::processingModeChanged);
}

void AppState::scheduleAutosave() {
    autosave_.start();
}

// --- Captures ---

void AppState::refreshCaptures() {
    struct Listed {
        SavedCapture capture;
        std::size_t order;
    };
    std::vector<Listed> listed;
    std::error_code error;
    std::filesystem::directory_iterator items(environment_.captureRoot, error);
    for (; !error && items != std::filesystem::directory_iterator(); items.increment(error)) {
        const std::string name = items->path().filename().string();
        if (name.empty() || name.front() == '.') {
            continue;
        }
        const auto clip = linuxfs::statPath(items->path() / "clip.mp4");
        if (!clip || clip->type != linuxfs::EntryType::regular) {
            continue;
        }
        SavedCapture capture;
        capture.directory = items->path();
        auto store = reports::ReportStore::create(capture.directory);
        const QString intent = readIntent(store ? &*store : nullptr);
        QString text;
        if (store) {
            auto entries = store->list();
            if (entries) {
                capture.hasReport = !entries->empty();
                std::optional<std::string> reportID;
                if (auto chosen = store->selectedID(); chosen && *chosen) {
                    reportID = **chosen;
                } else if (!entries->empty()) {
                    reportID = entries->front().id;
                }
                if (reportID) {
                    if (auto document = store->load(*reportID)) {
                        text = fromUtf8(document->text);
                    }
                }
            }
        }
        const QString title = heading(text);
        capture.name = toUtf8(firstCharacters((title.isEmpty() ? intent : title).trimmed(), 160));
        if (auto info = linuxfs::statPath(capture.directory)) {
            if (info->creationDate) {
                capture.date = *info->creationDate;
            } else if (info->modificationDate) {
                capture.date = *info->modificationDate;
            }
        }
        listed.push_back({std::move(capture), listed.size()});
    }
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.capture.date > b.capture.date;
    });
    QList<SavedCapture> captures;
    for (auto& item : listed) {
        captures.push_back(std::move(item.capture));
    }
    assign(captures_, std::move(captures), &AppState::capturesChanged);
}

Result<void> AppState::listEntries(const reports::ReportStore& store) {
    auto entries = store.list();
    if (!entries) {
        return Unexpected{entries.error()};
    }
    setEntries(*entries);
    return {};
}

void AppState::setEntries(const std::vector<reports::ReportEntry>& entries) {
    assign(reportEntries_, QList<reports::ReportEntry>(entries.begin(), entries.end()),
           &AppState::reportEntriesChanged);
}

void AppState::applyDocument(const reports::ReportDocument& document) {
    assign(selectedReportID_, fromUtf8(document.entry.id), &AppState::selectedReportIDChanged);
    assign(markdown_, fromUtf8(document.text), &AppState::markdownChanged);
    assign(originalMarkdown_, fromUtf8(document.originalText), &AppState::originalMarkdownChanged);
    savedMarkdown_ = markdown_;
    assign(showingOriginal_, false, &AppState::showingOriginalChanged);
    assign(saveError_, QString(), &AppState::saveErrorChanged);
    emit stateChanged();
}

bool AppState::select(const QString& id) {
    if (busy() || !saveReport()) {
        return false;
    }
    if (!std::any_of(captures_.begin(), captures_.end(),
                     [&](const auto& capture) { return fromUtf8(capture.id()) == id; })) {
        assign(error_,
               QStringLiteral(
                   "This capture is no longer available. The previous capture is still open."),
               &AppState::errorChanged);
        return false;
    }
    settings_.setValue(QLatin1String(kSelectedCaptureKey), id);
    assign(selectedID_, id, &AppState::selectedIDChanged);
    assign(markdown_, QString(), &AppState::markdownChanged);
    assign(originalMarkdown_, QString(), &AppState::originalMarkdownChanged);
    assign(error_, QString(), &AppState::errorChanged);
    assign(intent_, QString(), &AppState::intentChanged);
    if (deferredCaptureID_ == id) {
        assign(deferredCaptureID_, QString(), &AppState::deferredCaptureIDChanged);
    }
    savedIntent_.clear();
    savedMarkdown_.clear();
    assign(reportEntries_, QList<reports::ReportEntry>(), &AppState::reportEntriesChanged);
    assign(selectedReportID_, QString(), &AppState::selectedReportIDChanged);
    assign(showingOriginal_, false, &AppState::showingOriginalChanged);
    assign(saveError_, QString(), &AppState::saveErrorChanged);
    assign(message_, QString(), &AppState::messageChanged);

    const auto folder = folderOf(id);
    assign(playerSource_,
           QUrl::fromLocalFile(QString::fromStdString((folder / "clip.mp4").string())),
           &AppState::playerSourceChanged);
    auto store = reports::ReportStore::create(folder);
    assign(intent_, readIntent(store ? &*store : nullptr), &AppState::intentChanged);
    savedIntent_ = intent_;
    autosave_.stop();
    auto open = [&]() -> Result<void> {
        if (!store) {
            return Unexpected{store.error()};
        }
        if (auto listed = listEntries(*store); !listed) {
            return listed;
        }
        auto chosen = store->selectedID();
        if (!chosen) {
            return Unexpected{chosen.error()};
        }
        std::optional<std::string> reportID = *chosen;
        if (!reportID && !reportEntries_.isEmpty()) {
            reportID = reportEntries_.front().id;
        }
        if (reportID) {
            auto document = store->select(*reportID);
            if (!document) {
                return Unexpected{document.error()};
            }
            applyDocument(*document);
        }
        return {};
    };
    if (auto opened = open(); !opened) {
        assign(error_,
               QStringLiteral("Could not open the report: ") +
                   fromUtf8(opened.error().description()),
               &AppState::errorChanged);
    }
    emit stateChanged();
    return true;
}

bool AppState::selectReport(const QString& id) {
    if (busy() || selectedID_.isEmpty() || !saveReport()) {
        return false;
    }
    auto store = reports::ReportStore::create(folderOf(selectedID_));
    auto document = store ? store->select(toUtf8(id))
                          : Result<reports::ReportDocument>(Unexpected{store.error()});
    if (!document) {
        assign(error_,
               QStringLiteral("Could not switch reports: ") +
                   fromUtf8(document.error().description()),
               &AppState::errorChanged);
        return false;
    }
    applyDocument(*document);
    assign(error_, QString(), &AppState::errorChanged);
    assign(message_, QString(), &AppState::messageChanged);
    return true;
}

bool AppState::saveReport() {
    if (selectedID_.isEmpty()) {
        return true;
    }
    const auto folder = folderOf(selectedID_);
    auto fail = [&](const Error& failure) {
        assign(saveError_,
               QStringLiteral("Could not save report: ") + fromUtf8(failure.description()),
               &AppState::saveErrorChanged);
        return false;
    };
    bool wroteIntent = false;
    if (intent_ != savedIntent_) {
        if (auto written = writeFileAtomically(folder / "intent.txt", toUtf8(intent_)); !written) {
            return fail(written.error());
        }
        savedIntent_ = intent_;
        wroteIntent = true;
        emit stateChanged();
    }
    if (markdown_ != savedMarkdown_) {
        auto store = reports::ReportStore::create(folder);
        if (!store) {
            return fail(store.error());
        }
        if (!selectedReportID_.isEmpty()) {
            if (auto saved = store->save(toUtf8(selectedReportID_), toUtf8(markdown_)); !saved) {
                return fail(saved.error());
            }
            savedMarkdown_ = markdown_;
            emit stateChanged();
        } else if (!markdown_.isEmpty()) {
            auto document = store->createManual(toUtf8(markdown_));
            if (!document) {
                return fail(document.error());
            }
            applyDocument(*document);
            if (auto listed = listEntries(*store); !listed) {
                return fail(listed.error());
            }
        }
        assign(saveError_, QString(), &AppState::saveErrorChanged);
        refreshCaptures();
        return true;
    }
    assign(saveError_, QString(), &AppState::saveErrorChanged);
    if (wroteIntent) {
        refreshCaptures();
    }
    return true;
}

// --- Recorder ---

void AppState::start() {
    if (startRequested_ || recorder_->isStarting() || recorder_->isRecording() || shutDown_) {
        return;
    }
    settings_.setValue(QLatin1String(kRecordingEnabledKey), true);
    assign(message_, QString(), &AppState::messageChanged);
    assign(startRequested_, true, &AppState::startRequestedChanged);
    const std::uint64_t token = nextToken_++;
    recorderStartID_ = token;
    QPointer<AppState> self(this);
    QTimer::singleShot(0, this, [self, token] {
        if (!self || self->recorderStartID_ != token) {
            return;
        }
        self->recorder_->start([self, token](Result<void>) {
            if (self && self->recorderStartID_ == token) {
                self->assign(self->startRequested_, false, &AppState::startRequestedChanged);
            }
        });
    });
}

void AppState::cancelPendingStart() {
    recorderStartID_ = nextToken_++;
    assign(startRequested_, false, &AppState::startRequestedChanged);
}

void AppState::pause() {
    cancelPendingStart();
    settings_.setValue(QLatin1String(kRecordingEnabledKey), false);
    const std::uint64_t token = recorderStartID_;
    QPointer<AppState> self(this);
    QTimer::singleShot(0, this, [self, token] {
        if (self && self->recorderStartID_ == token) {
            self->recorder_->pause();
        }
    });
    assign(message_, QString(), &AppState::messageChanged);
}

void AppState::clear() {
    if (capturing_) {
        return;
    }
    recorder_->clear();
    assign(message_, QStringLiteral("Rolling buffer cleared."), &AppState::messageChanged);
}

// --- Saving a clip ---

void AppState::capture(bool writeReport) {
    captureClip(lookback_, writeReport, {});
}

void AppState::captureOnRequest(std::optional<double> seconds, bool writeReport,
                                std::function<void(bool, QString)> done) {
    if (capturing_) {
        done(false, QStringLiteral("A clip is already being saved. Try again when it finishes."));
        return;
    }
    captureClip(seconds.value_or(lookback_), writeReport, std::move(done));
}

void AppState::captureClip(double seconds, bool writeReport,
                           std::function<void(bool, QString)> done) {
    if (capturing_) {
        return;
    }
    if (startRequested_ || recorder_->isStarting() || !recorder_->isRecording() ||
        recorder_->bufferedSeconds() < 1.0) {
        showWindow();
        beep();
        if (done) {
            done(false, QStringLiteral("Nothing to save yet: the rewind is not recording or "
                                       "holds less than a second of video."));
        }
        return;
    }
    const ProcessingMode mode = processingMode_;
    assign(capturing_, true, &AppState::capturingChanged);
    assign(error_, QString(), &AppState::errorChanged);
    assign(message_, QString(), &AppState::messageChanged);
    QPointer<AppState> self(this);
    recorder_->capture(
        seconds, environment_.captureRoot,
        [self, mode, writeReport, done](Result<CaptureBundle> bundle) {
            if (!self) {
                if (done) {
                    done(false, QStringLiteral("The application is quitting."));
                }
                return;
            }
            AppState& state = *self;
            if (!bundle) {
                state.assign(state.capturing_, false, &AppState::capturingChanged);
                const QString description = fromUtf8(bundle.error().description());
                state.assign(state.error_, description, &AppState::errorChanged);
                state.showWindow();
                state.beep();
                if (done) {
                    done(false, description);
                }
                return;
            }
            state.refreshCaptures();
            state.assign(state.capturing_, false, &AppState::capturingChanged);
            if (done) {
                done(true, QString::fromStdString(bundle->clipURL.string()));
            }
            const QString id = QString::fromStdString(bundle->id);
            if (!state.generating_ && !state.sharing_ && !state.exportingVideo_ &&
                state.select(id)) {
                if (!writeReport) {
                    state.assign(
                        state.message_,
                        QStringLiteral("Video saved on this computer. No report requested."),
                        &AppState::messageChanged);
                } else {
                    state.generate(QString::fromLatin1(rawValue(mode).data()));
                }
            } else {
                state.assign(state.deferredCaptureID_, id, &AppState::deferredCaptureIDChanged);
                state.assign(state.message_,
                             writeReport
                                 ? QStringLiteral("Another clip is saved in History. Open it "
                                                  "when ready to write its report.")
                                 : QStringLiteral("Another video is saved in History. No "
                                                  "report requested for this clip."),
                             &AppState::messageChanged);
            }
            state.showWindow();
        });
}

// --- Report engines ---

void AppState::generate(const QString& rawMode) {
    const auto current = selected();
    if (!current || busy() || !saveReport()) {
        return;
    }
    const ProcessingMode mode =
        rawMode == QLatin1String("local") ? ProcessingMode::local : ProcessingMode::cloud;
    assign(error_, QString(), &AppState::errorChanged);
    assign(generating_, true, &AppState::generatingChanged);
    assign(cancelling_, false, &AppState::cancellingChanged);
    assign(message_, QString(), &AppState::messageChanged);
    assign(generationMode_, mode, &AppState::generationModeChanged);
    const std::uint64_t token = nextToken_++;
    activeGenerationID_ = token;

    const auto folder = current->directory;
    const auto output = folder / reportFileName(mode, environment_.now());
    const std::string intentArgument = "--intent=" + toUtf8(intent_);
    const auto& workspace = environment_.workspace;
    EngineCommand command;
    command.workingDirectory = workspace;
    command.environment = engineEnvironment();
    Result<EngineCommand> prepared = command;
    if (mode == ProcessingMode::local) {
        command.program = (workspace / ".venv/bin/python").string();
        command.arguments = {(workspace / "scripts/local_report.py").string(),
                             "--capture",
                             folder.string(),
                             intentArgument,
                             "--output",
                             output.string()};
        // Inside the sandbox a missing engine would only show as bubblewrap's own
        // complaint; say plainly what is not installed.
        std::error_code missing;
        if (!std::filesystem::is_regular_file(command.program, missing) ||
            !std::filesystem::is_regular_file(command.arguments.front(), missing)) {
            prepared = Unexpected{Error(
                PlatformError{"Snagreel.Engine", 1,
                              "The local engine is not installed in " + workspace.string() + "."})};
        } else if (environment_.sandbox) {
            prepared = environment_.sandbox->wrap(command, folder);
        } else {
            prepared = Unexpected{Error(PlatformError{
                "Snagreel.Sandbox", 1, "The local engine has no sandbox to run in."})};
        }
        assign(progress_, QStringLiteral("Preparing local model…"), &AppState::progressChanged);
    } else {
        command.program = environment_.nodePath;
        command.arguments = {(workspace / "cloud/report.mjs").string(),
                             "--capture",
                             folder.string(),
                             intentArgument,
                             "--output",
                             output.string(),
                             "--input",
                             "video"};
        prepared = command;
        assign(progress_, QStringLiteral("Preparing the recording for cloud processing…"),
               &AppState::progressChanged);
    }
    auto process = prepared ? EngineProcess::start(*prepared)
                            : Result<std::unique_ptr<EngineProcess>>(Unexpected{prepared.error()});
    if (!process) {
        assign(generating_, false, &AppState::generatingChanged);
        activeGenerationID_ = 0;
        assign(error_,
               QStringLiteral("Could not start report engine: ") +
                   fromUtf8(process.error().description()),
               &AppState::errorChanged);
        return;
    }
    generationProcess_ = std::move(*process);
    connect(generationProcess_.get(), &EngineProcess::outputLine, this,
            [this, token](const QString& line) {
                if (activeGenerationID_ == token) {
                    assign(progress_, lastCharacters(line, 300), &AppState::progressChanged);
                }
            });
    const QString captureID = fromUtf8(current->id());
    connect(generationProcess_.get(), &EngineProcess::exited, this,
            [this, token, output, captureID](int status, bool sandboxFailed) {
                finishGeneration(token, status, sandboxFailed, output, captureID);
            });
}

void AppState::finishGeneration(std::uint64_t token, int status, bool sandboxFailed,
                                std::filesystem::path output, QString captureID) {
    if (activeGenerationID_ != token) {
        return;
    }
    // Destroyed from the event loop, not from inside its own signal.
    if (generationProcess_) {
        generationProcess_.release()->deleteLater();
    }
    activeGenerationID_ = 0;
    assign(generating_, false, &AppState::generatingChanged);
    const auto removePartial = [&] {
        // A half-written report must not turn up in the History list.
        ::unlink(output.c_str());
    };
    std::error_code ignored;
    if (cancelling_) {
        removePartial();
        assign(cancelling_, false, &AppState::cancellingChanged);
        assign(progress_, QString(), &AppState::progressChanged);
        assign(message_, QStringLiteral("Report stopped. Your recording is saved."),
               &AppState::messageChanged);
    } else if (sandboxFailed) {
        removePartial();
        assign(error_,
               QStringLiteral("Could not start report engine: The local engine's sandbox could "
                              "not be set up: ") +
                   progress_,
               &AppState::errorChanged);
    } else if (status == 0 && std::filesystem::is_regular_file(output, ignored)) {
        if (auto loaded = loadGeneratedReport(output, captureID); loaded) {
            assign(message_, QString(), &AppState::messageChanged);
            assign(progress_, QString(), &AppState::progressChanged);
        } else {
            assign(error_,
                   QStringLiteral("The draft was generated but could not be opened: ") +
                       fromUtf8(loaded.error().description()),
                   &AppState::errorChanged);
        }
    } else {
        removePartial();
        assign(error_,
               QStringLiteral("Could not write the report. Your recording is saved. ") + progress_,
               &AppState::errorChanged);
    }
    if (hasUnsavedChanges()) {
        scheduleAutosave(); // autosave was held back during the run
    }
}

Result<void> AppState::loadGeneratedReport(const std::filesystem::path& output,
                                           const QString& captureID) {
    if (selectedID_ != captureID) {
        refreshCaptures();
        return {};
    }
    // Edits typed while the engine ran were not autosaved; keep them before the new
    // report takes the editor.
    if (hasUnsavedChanges() && !saveReport()) {
        refreshCaptures();
        return Unexpected{Error(PlatformError{"Snagreel.Editor", 1, toUtf8(saveError_)})};
    }
    auto store = reports::ReportStore::create(folderOf(selectedID_));
    if (!store) {
        return Unexpected{store.error()};
    }
    if (auto listed = listEntries(*store); !listed) {
        return listed;
    }
    auto document = store->select(output.filename().string());
    if (!document) {
        return Unexpected{document.error()};
    }
    applyDocument(*document);
    refreshCaptures();
    return {};
}

void AppState::cancelGeneration() {
    if (!generating_ || cancelling_ || !generationProcess_) {
        return;
    }
    assign(cancelling_, true, &AppState::cancellingChanged);
    generationProcess_->terminate(environment_.cancelGraceSeconds);
    assign(progress_, QStringLiteral("Stopping…"), &AppState::progressChanged);
}

// --- Windows and the platform ---

void AppState::editContext() {
    if (busy() || selectedID_.isEmpty()) {
        return;
    }
    std::optional<QString> text;
    if (environment_.askForContext) {
        text = environment_.askForContext(intent_);
    } else {
        bool accepted = false;
        const QString typed =
            QInputDialog::getText(nullptr, QStringLiteral("What were you trying to do?"),
                                  QStringLiteral("Optional context for the next report."),
                                  QLineEdit::Normal, intent_, &accepted);
        if (accepted) {
            text = typed;
        }
    }
    if (text) {
        setIntent(*text);
        saveReport();
    }
}

bool AppState::prepareToQuit() {
    if (capturing_ || exportingVideo_) {
        assign(message_,
               QStringLiteral("Please wait for the video to finish saving before quitting."),
               &AppState::messageChanged);
        showWindow();
        return false;
    }
    if (saveReport()) {
        return true;
    }
    showWindow();
    if (environment_.confirmQuitWithoutSaving) {
        return environment_.confirmQuitWithoutSaving();
    }
    QMessageBox alert;
    alert.setText(QStringLiteral("Your latest changes could not be saved"));
    alert.setInformativeText(QStringLiteral("Cancel to keep editing or copy your changes from the "
                                            "editor. Quitting now will discard only the unsaved "
                                            "changes."));
    alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton* quit =
        alert.addButton(QStringLiteral("Quit without saving"), QMessageBox::DestructiveRole);
    alert.exec();
    return alert.clickedButton() == static_cast<QAbstractButton*>(quit);
}

void AppState::showWindow() {
    if (openMainWindow) {
        openMainWindow();
    }
}

void AppState::openScreenAccessSettings() {
    // An X display grants capture to any client it accepts; there is no privacy pane
    // to open. The recorder's status already says what the display refused.
}

void AppState::beep() {
    if (environment_.beep) {
        environment_.beep();
    } else {
        QApplication::beep();
    }
}

void AppState::discard() {
    const auto current = selected();
    if (!current || busy()) {
        return;
    }
    // The folder goes to the Trash, recoverable: let the edits go with it.
    saveReport();
    settings_.remove(QLatin1String(kSelectedCaptureKey));
    assign(playerSource_, QUrl(), &AppState::playerSourceChanged);
    assign(selectedID_, QString(), &AppState::selectedIDChanged);
    assign(markdown_, QString(), &AppState::markdownChanged);
    assign(originalMarkdown_, QString(), &AppState::originalMarkdownChanged);
    assign(intent_, QString(), &AppState::intentChanged);
    assign(selectedReportID_, QString(), &AppState::selectedReportIDChanged);
    assign(reportEntries_, QList<reports::ReportEntry>(), &AppState::reportEntriesChanged);
    assign(showingOriginal_, false, &AppState::showingOriginalChanged);
    assign(saveError_, QString(), &AppState::saveErrorChanged);
    savedIntent_.clear();
    savedMarkdown_.clear();
    autosave_.stop();
    assign(error_, QString(), &AppState::errorChanged);
    if (!environment_.sharing) {
        return;
    }
    QPointer<AppState> self(this);
    environment_.sharing->moveToTrash(current->directory, [self](Result<void> result) {
        if (!self) {
            return;
        }
        self->refreshCaptures();
        if (!result) {
            self->assign(self->error_, fromUtf8(result.error().description()),
                         &AppState::errorChanged);
        } else {
            self->assign(self->message_, QString::fromUtf8(sharingmessages::kMovedToTrash),
                         &AppState::messageChanged);
        }
    });
}

void AppState::revealVideo(const QString& id) {
    const QString wanted = id.isEmpty() ? selectedID_ : id;
    for (const auto& capture : captures_) {
        if (fromUtf8(capture.id()) == wanted && environment_.sharing) {
            environment_.sharing->revealFile(capture.directory / "clip.mp4");
            return;
        }
    }
}

void AppState::openClipsFolder() {
    if (!environment_.sharing) {
        return;
    }
    if (auto opened = environment_.sharing->openCapturesFolder(); !opened) {
        assign(error_, fromUtf8(opened.error().description()), &AppState::errorChanged);
    }
}

void AppState::preparePackage(std::function<void(std::filesystem::path)> completion) {
    if (selectedReportID_.isEmpty() || busy() || showingOriginal_ || !saveReport() ||
        selectedID_.isEmpty() || !environment_.sharing) {
        return;
    }
    const QString prefix = QString::fromUtf8(sharingmessages::kPrepareFailed);
    auto store = reports::ReportStore::create(folderOf(selectedID_));
    auto plan = store ? reports::prepareExport(*store, toUtf8(selectedReportID_))
                      : Result<reports::ReportExportPlan>(Unexpected{store.error()});
    if (!plan) {
        assign(error_, prefix + fromUtf8(plan.error().description()), &AppState::errorChanged);
        return;
    }
    assign(sharing_, true, &AppState::sharingChanged);
    assign(error_, QString(), &AppState::errorChanged);
    QPointer<AppState> self(this);
    environment_.sharing->buildPackage(
        *store, *plan,
        [self, prefix, completion = std::move(completion)](Result<std::filesystem::path> archive) {
            if (!self) {
                return;
            }
            self->assign(self->sharing_, false, &AppState::sharingChanged);
            if (!archive) {
                self->assign(self->error_, prefix + fromUtf8(archive.error().description()),
                             &AppState::errorChanged);
                return;
            }
            completion(*archive);
        });
}

void AppState::shareReport() {
    QPointer<AppState> self(this);
    preparePackage([self](std::filesystem::path archive) {
        if (self) {
            self->assign(self->message_, fromUtf8(self->environment_.sharing->handOver(archive)),
                         &AppState::messageChanged);
        }
    });
}

void AppState::exportReport() {
    if (selectedReportID_.isEmpty() || busy() || showingOriginal_ || !environment_.sharing ||
        environment_.saveDialogs == nullptr) {
        return;
    }
    QPointer<AppState> self(this);
    environment_.saveDialogs->chooseSaveLocation(
        CaptureSharing::saveReportRequest(),
        [self](std::optional<std::filesystem::path> destination) {
            if (!self || !destination) {
                return;
            }
            self->preparePackage([self, destination = *destination](std::filesystem::path archive) {
                if (!self) {
                    return;
                }
                self->assign(self->sharing_, true, &AppState::sharingChanged);
                self->environment_.sharing->saveCopy(
                    archive, destination, [self](Result<void> saved) {
                        if (!self) {
                            return;
                        }
                        if (saved) {
                            self->assign(self->message_,
                                         QString::fromUtf8(sharingmessages::kSavedPackage),
                                         &AppState::messageChanged);
                        } else {
                            self->assign(self->error_,
                                         QString::fromUtf8(sharingmessages::kSaveCopyFailed) +
                                             fromUtf8(saved.error().description()),
                                         &AppState::errorChanged);
                        }
                        self->assign(self->sharing_, false, &AppState::sharingChanged);
                    });
            });
        });
}

void AppState::saveVideo() {
    const auto current = selected();
    if (!current || exportingVideo_ || !environment_.sharing ||
        environment_.saveDialogs == nullptr) {
        return;
    }
    QPointer<AppState> self(this);
    const auto clip = current->directory / "clip.mp4";
    environment_.saveDialogs->chooseSaveLocation(
        CaptureSharing::saveVideoRequest(current->id()),
        [self, clip](std::optional<std::filesystem::path> destination) {
            if (!self || !destination || self->exportingVideo_) {
                return;
            }
            self->assign(self->exportingVideo_, true, &AppState::exportingVideoChanged);
            self->environment_.sharing->saveVideo(clip, *destination, [self](Result<bool> saved) {
                if (!self) {
                    return;
                }
                if (!saved) {
                    self->assign(self->error_,
                                 QString::fromUtf8(sharingmessages::kSaveVideoFailed) +
                                     fromUtf8(saved.error().description()),
                                 &AppState::errorChanged);
                } else if (*saved) {
                    self->assign(self->message_, QString::fromUtf8(sharingmessages::kVideoSaved),
                                 &AppState::messageChanged);
                }
                self->assign(self->exportingVideo_, false, &AppState::exportingVideoChanged);
            });
        });
}

void AppState::shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    autosave_.stop();
    activeGenerationID_ = 0;
    generationProcess_.reset(); // kills the engine's group
    recorder_->shutdown();
}

} // namespace snagreel::app
