#include "AppHarness.hpp"

#include "SnagreelReports/ReportStore.hpp"

#include <sys/stat.h>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::app::testing;

TEST(AppStatePreferences, StoredTextDecidesLengthModeAndRecording) {
    struct Case {
        QVariant clipLength, mode, recording;
        double lookback;
        const char* processingMode;
        bool starts;
    };
    const Case cases[] = {
        // A fresh install: 30 s, the local engine (no service needed), recording.
        {{}, {}, {}, 30, "local", true},
        {QStringLiteral("60"), QStringLiteral("cloud"), QStringLiteral("true"), 60, "cloud", true},
        {QStringLiteral("45"), QStringLiteral("LOCAL"), QStringLiteral("false"), 30, "cloud",
         false},
        {QStringLiteral("60.0"), QStringLiteral("local"), QStringLiteral("yes"), 60, "local", true},
    };
    for (const Case& c : cases) {
        AppHarness harness;
        harness.settings->clear();
        for (auto [key, value] : {std::pair{AppState::kClipLengthKey, c.clipLength},
                                  std::pair{AppState::kProcessingModeKey, c.mode},
                                  std::pair{AppState::kRecordingEnabledKey, c.recording}}) {
            if (value.isValid()) {
                harness.settings->setValue(QLatin1String(key), value);
            }
        }
        AppState& state = harness.create();
        EXPECT_EQ(state.lookback(), c.lookback) << c.clipLength.toString().toStdString();
        EXPECT_EQ(state.processingMode(), QLatin1String(c.processingMode));
        EXPECT_EQ(state.startRequested(), c.starts) << c.recording.toString().toStdString();
        state.setLookback(60);
        state.setProcessingMode(QStringLiteral("Cloud")); // not a raw value: ignored
        EXPECT_EQ(harness.settings->value(QLatin1String(AppState::kClipLengthKey)).toDouble(), 60);
        EXPECT_EQ(state.processingMode(), QLatin1String(c.processingMode));
    }
}

TEST(AppStateCaptures, ListsWhatHoldsAClipAndNeverFailsTheList) {
    AppHarness harness;
    // No root yet: an empty list, not a failure.
    AppState& state = harness.create();
    EXPECT_TRUE(state.captures().isEmpty());

    harness.addCapture("a-broken-manifest", "  Checkout froze\n");
    writeFile(harness.root / "a-broken-manifest/manifest.json", "{not json");
    const auto titled = harness.addCapture("b-titled", "intent text");
    writeFile(titled / "report-local-1.md", "\n\n# Login fails twice\nbody");
    const auto odd = harness.addCapture("c-odd-report", std::string(200, 'x'));
    std::filesystem::create_directory(odd / "report-local-2.md"); // not a file
    ::mkfifo((odd / "report-cloud-3.md").c_str(), 0600);          // would block a reader
    std::filesystem::create_symlink("/etc/hostname", odd / "report-manual-4.md");
    std::filesystem::create_directories(harness.root / "d-no-clip");
    std::filesystem::create_directories(harness.root / "e-clip-folder/clip.mp4");
    harness.addCapture(".hidden");
    writeFile(harness.root / "stray-file", "x");

    state.refreshCaptures();
    std::map<std::string, SavedCapture> byID;
    for (const auto& capture : state.captures()) {
        byID[capture.id()] = capture;
    }
    ASSERT_EQ(byID.size(), 3u);
    EXPECT_EQ(byID["a-broken-manifest"].name, "Checkout froze");
    EXPECT_EQ(byID["b-titled"].name, "Login fails twice");
    EXPECT_TRUE(byID["b-titled"].hasReport);
    EXPECT_EQ(byID["c-odd-report"].name, std::string(160, 'x'));
    EXPECT_FALSE(byID["c-odd-report"].hasReport);
    for (std::size_t i = 1; i < std::size_t(state.captures().size()); ++i) {
        EXPECT_GE(state.captures()[i - 1].date, state.captures()[i].date);
    }
}

TEST(AppStateEditing, TypingCreatesOneManualReportThenSavesItsWorkingCopy) {
    AppHarness harness;
    const auto folder = harness.addCapture("capture", "old intent");
    harness.settings->setValue(QLatin1String(AppState::kSelectedCaptureKey), "capture");
    AppState& state = harness.create();
    ASSERT_EQ(state.selectedID(), QStringLiteral("capture"));
    EXPECT_EQ(state.intent(), QStringLiteral("old intent"));

    state.setMarkdown(QStringLiteral("# First\n"));
    state.setIntent(QStringLiteral("new intent"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.hasUnsavedChanges(); }, 5000));
    const QString manual = state.selectedReportID();
    EXPECT_TRUE(manual.startsWith(QStringLiteral("report-manual-")));
    EXPECT_EQ(readFile(folder / "intent.txt"), "new intent");

    state.setMarkdown(QStringLiteral("# First, edited\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.hasUnsavedChanges(); }, 5000));
    EXPECT_EQ(state.selectedReportID(), manual);
    EXPECT_EQ(state.reportEntries().size(), 1);
    auto store = reports::ReportStore::create(folder);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load(manual.toStdString())->text, "# First, edited\n");
    EXPECT_EQ(state.captures().front().name, "First, edited");

    // A capture that vanished is refused and the current one stays.
    EXPECT_FALSE(state.select(QStringLiteral("gone")));
    EXPECT_EQ(state.selectedID(), QStringLiteral("capture"));
    EXPECT_EQ(state.error(),
              QStringLiteral("This capture is no longer available. The previous capture is "
                             "still open."));
}

TEST(AppStateEditing, DiscardKeepsUnsavedEditsInTheTrashedFolder) {
    AppHarness harness;
    const auto folder = harness.addCapture("capture");
    writeFile(folder / "report-local-1.md", "engine text");
    harness.settings->setValue(QLatin1String(AppState::kSelectedCaptureKey), "capture");
    std::string trashedText;
    harness.trash.move = [&](const std::filesystem::path& path) -> Result<void> {
        auto store = reports::ReportStore::create(path);
        trashedText = store->load("report-local-1.md")->text;
        std::filesystem::rename(path, harness.folder / "trash");
        return {};
    };
    AppState& state = harness.create();
    state.setMarkdown(QStringLiteral("typed just now"));
    state.discard();
    EXPECT_TRUE(state.selectedID().isEmpty());
    EXPECT_FALSE(harness.settings->contains(QLatin1String(AppState::kSelectedCaptureKey)));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return state.message() == QStringLiteral("Capture moved to Trash."); }, 5000));
    EXPECT_TRUE(state.captures().isEmpty());
    EXPECT_EQ(trashedText, "typed just now");
}

namespace {

// Accepts or refuses registrations; a press is delivered by the test.
struct ScriptedHotKeys final : HotKeyBackend {
    std::int32_t answer = kOk;
    std::optional<std::uint32_t> registered;
    std::int32_t handlerStatus() const override { return kOk; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    std::int32_t registerShortcut(const CaptureShortcut&, std::uint32_t id) override {
        if (answer == kOk) {
            registered = id;
        }
        return answer;
    }
    std::int32_t unregisterShortcut(std::uint32_t) override { return kOk; }
};

} // namespace

TEST(AppStateShortcut, APressAsksForAClipAndADeadShortcutIsSaidAtStartUp) {
    {
        AppHarness harness;
        auto backend = std::make_unique<ScriptedHotKeys>();
        backend->answer = HotKeyBackend::kTaken;
        harness.hotKeyBackend = std::move(backend);
        AppState& state = harness.create();
        EXPECT_EQ(state.message(), QStringLiteral("Shortcut unavailable. Choose a different "
                                                  "shortcut in Settings or save a clip from the "
                                                  "system tray."));
    }
    AppHarness harness;
    auto backend = std::make_unique<ScriptedHotKeys>();
    ScriptedHotKeys& keys = *backend;
    harness.hotKeyBackend = std::move(backend);
    AppState& state = harness.create();
    EXPECT_EQ(state.message(), QString());
    ASSERT_TRUE(keys.registered);
    keys.onPressed(*keys.registered);
    // Nothing is recorded here, so the press ends in the window and a beep.
    EXPECT_EQ(harness.beeps, 1);
    EXPECT_EQ(harness.windowShown, 1);
}

TEST(AppStateSharing, ExportsTheEditedReportAndNeverCopiesAClipOntoItself) {
    AppHarness harness;
    const auto folder = harness.addCapture("capture");
    writeFile(folder / "report-local-1.md", "# Engine text\n");
    harness.settings->setValue(QLatin1String(AppState::kSelectedCaptureKey), "capture");
    AppState& state = harness.create();
    state.setMarkdown(QStringLiteral("# Edited text\n"));

    // The original on screen is not what would be shared: nothing happens.
    state.setShowingOriginal(true);
    state.exportReport();
    EXPECT_TRUE(harness.dialogs.asked.empty());
    state.setShowingOriginal(false);

    harness.dialogs.answer = harness.folder / "out/report.zip";
    std::filesystem::create_directories(harness.folder / "out");
    state.exportReport();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !state.busy() && (!state.message().isEmpty() || !state.error().isEmpty()); },
        10000));
    EXPECT_EQ(state.error(), QString());
    EXPECT_EQ(state.message(),
              QStringLiteral("Saved report and video. Unzip and open index.html."));
    EXPECT_GT(std::filesystem::file_size(harness.folder / "out/report.zip"), 0u);
    // The edit was saved before packaging.
    EXPECT_FALSE(state.hasUnsavedChanges());

    harness.dialogs.answer = folder / "clip.mp4";
    state.saveVideo();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.exportingVideo(); }, 10000));
    EXPECT_EQ(state.error(), QString());
    EXPECT_EQ(harness.dialogs.asked.back().proposedName, "Snagreel-capture.mp4");
    EXPECT_EQ(readFile(folder / "clip.mp4"), "clip bytes of capture");
}

TEST(AppStateRecording, PauseRightAfterStartWinsAndIsRemembered) {
    AppHarness harness;
    harness.settings->remove(QLatin1String(AppState::kRecordingEnabledKey));
    // This recorder has no engines: a start that reached it would fail the test.
    AppState& state = harness.create();
    ASSERT_TRUE(state.startRequested());
    state.pause();
    EXPECT_FALSE(state.startRequested());
    QTest::qWait(50);
    EXPECT_FALSE(state.desiredRecording());
    EXPECT_EQ(state.recorderPhase(), QStringLiteral("paused"));
    EXPECT_EQ(harness.settings->value(QLatin1String(AppState::kRecordingEnabledKey)).toString(),
              QStringLiteral("false"));
}
