// AppState on a real recorder: an Xvfb of the test's own, the X11 capture engine and
// libx264, clips checked by decoding them.

#include "AppHarness.hpp"

#include "devsupport/XvfbServer.hpp"
#include "support/Ffprobe.hpp"

#include <QProcess>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::app::testing;

namespace {

std::vector<std::string> folders(const std::filesystem::path& root) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(root, error)) {
        names.push_back(item.path().filename().string());
    }
    return names;
}

} // namespace

TEST(AppStateCaptureFlow, PressesSaveOneWholeClipAndClipsDuringAReportWaitInHistory) {
    std::string whyNot;
    auto xvfb = devsupport::XvfbServer::start(640, 480, &whyNot);
    if (!xvfb) {
        GTEST_SKIP() << whyNot;
    }
    AppHarness harness;
    harness.settings->remove(QLatin1String(AppState::kRecordingEnabledKey));
    harness.writeLocalEngine(R"(
while not os.path.exists(os.path.join(capture, 'go')):
    time.sleep(0.02)
open(output, 'w').write('# Engine report\n')
)");
    LinuxRecorderOptions options;
    options.displayName = xvfb->displayName();
    options.monitorLifecycle = false;
    AppState& state = harness.create(options);

    // Nothing to save yet: the window and a beep, no folder.
    ASSERT_TRUE(state.startRequested());
    state.capture(true);
    EXPECT_EQ(harness.beeps, 1);
    EXPECT_EQ(harness.windowShown, 1);
    EXPECT_TRUE(folders(harness.root).empty());

    ASSERT_TRUE(QTest::qWaitFor([&] { return state.canCapture(); }, 30000))
        << state.recorderStatus().toStdString();
    EXPECT_EQ(harness.settings->value(QLatin1String(AppState::kRecordingEnabledKey)).toString(),
              QStringLiteral("true"));

    // Two quick presses: one clip.
    state.capture(false);
    state.capture(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.capturing(); }, 30000));
    ASSERT_EQ(state.error(), QString());
    ASSERT_EQ(folders(harness.root).size(), 1u);
    const std::string first = folders(harness.root).front();
    EXPECT_EQ(state.selectedID().toStdString(), first);
    EXPECT_EQ(state.message(),
              QStringLiteral("Video saved on this computer. No report requested."));
    const auto decoded = ::snagreel::testing::fullyDecodes(harness.root / first / "clip.mp4");
    EXPECT_TRUE(decoded.ok()) << decoded.errors.size();

    // A press with a report: the clip opens and the engine starts on it.
    QTest::qWait(1100); // a distinct second for the folder's date
    state.capture(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state.generating(); }, 30000))
        << state.error().toStdString();
    const QString reported = state.selectedID();
    EXPECT_NE(reported.toStdString(), first);

    // A clip asked for from outside while the report runs waits in History.
    std::optional<std::pair<bool, QString>> reply;
    state.captureOnRequest(30, false,
                           [&](bool saved, QString line) { reply.emplace(saved, line); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reply.has_value(); }, 30000));
    ASSERT_TRUE(reply->first) << reply->second.toStdString();
    EXPECT_TRUE(std::filesystem::is_regular_file(reply->second.toStdString()));
    const QString deferred = QString::fromStdString(
        std::filesystem::path(reply->second.toStdString()).parent_path().filename().string());
    EXPECT_EQ(state.deferredCaptureID(), deferred);
    EXPECT_EQ(state.selectedID(), reported);
    EXPECT_EQ(
        state.message(),
        QStringLiteral("Another video is saved in History. No report requested for this clip."));

    writeFile(harness.root / reported.toStdString() / "go", "");
    ASSERT_TRUE(harness.generationFinishes());
    EXPECT_EQ(state.markdown(), QStringLiteral("# Engine report\n"));
    EXPECT_EQ(state.captures().size(), 3);
    EXPECT_EQ(state.captures().front().id(), deferred.toStdString()); // newest first
    EXPECT_TRUE(state.select(deferred));
    EXPECT_EQ(state.deferredCaptureID(), QString());
}

// Runs only as the child of the test below: types into a capture, waits for the
// autosave to finish and says so, then waits to be killed.
TEST(AppStateAutosave, DISABLED_ChildTypesAndWaitsToBeKilled) {
    const QByteArray base = qgetenv("SNAGREEL_AUTOSAVE_FOLDER");
    ASSERT_FALSE(base.isEmpty());
    AppHarness harness(base.toStdString());
    AppState& state = harness.create();
    state.setMarkdown(QStringLiteral("typed before the crash"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.hasUnsavedChanges(); }, 10000));
    std::printf("autosaved\n");
    std::fflush(stdout);
    QTest::qWait(60000);
}

TEST(AppStateAutosave, EditsSurviveAKillOfTheApplication) {
    AppHarness harness;
    const auto folder = harness.addCapture("capture");
    harness.settings->setValue(QLatin1String(AppState::kSelectedCaptureKey), "capture");
    harness.settings->sync();
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SNAGREEL_AUTOSAVE_FOLDER"),
                       QString::fromStdString(harness.folder.string()));
    child.setProcessEnvironment(environment);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_also_run_disabled_tests"),
         QStringLiteral("--gtest_filter=AppStateAutosave.DISABLED_ChildTypesAndWaitsToBeKilled")});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return child.readAllStandardOutput().contains("autosaved") ||
                   child.state() == QProcess::NotRunning;
        },
        20000));
    ASSERT_EQ(child.state(), QProcess::Running);
    child.kill(); // SIGKILL: nothing runs after this
    child.waitForFinished();

    auto store = reports::ReportStore::create(folder);
    ASSERT_TRUE(store);
    auto entries = store->list();
    ASSERT_TRUE(entries && entries->size() == 1);
    EXPECT_EQ(store->load(entries->front().id)->text, "typed before the crash");
}
