// The hosted half of the application state against the fake service over TLS:
// signing in, sending a real H.264 capture, following the report, and the
// faults around it (sign-out or quitting mid-upload, a revoked device).
#include "AppHarness.hpp"
#include "EventPump.hpp"
#include "HostedTestSupport.hpp"
#include "SecretServiceSession.hpp"

#include "SnagreelApp/Hosted/HostedServiceClient.hpp"
#include "SnagreelApp/HostedTracker.hpp"
#include "SnagreelApp/Ui/DesktopShell.hpp"
#include "SnagreelApp/Ui/ServiceView.hpp"
#include "SnagreelCore/Support/Uuid.hpp"
#include "devsupport/FakeHostedService.hpp"
#include "devsupport/XvfbServer.hpp"

#include <QMenu>

#include <gtest/gtest.h>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::app::testing;
using snagreel::devsupport::FakeHostedService;
using snagreel::testing::pumpFor;
using snagreel::testing::pumpUntil;
namespace texts = snagreel::app::hostedtexts;

namespace {

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

class HostedTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString whyNot;
        service = FakeHostedService::start(&whyNot);
        ASSERT_TRUE(service) << whyNot.toStdString();
        captureID = uuidString(randomUuid());
        capture = harness.root / captureID;
        ASSERT_FALSE(::snagreel::testing::makeCaptureDirectory(capture).empty());
        clipHash = ::snagreel::testing::fileSha256(capture / "clip.mp4");
    }

    // The state of a hosted build; `keyring` keeps the sign-in in the real
    // keyring instead of the memory store.
    HostedTracker& create(bool keyring = false,
                          std::optional<LinuxRecorderOptions> recording = std::nullopt) {
        auto configuration = HostedServiceConfiguration::create(service->baseURL());
        HostedTrackerEnvironment hosted(*configuration);
        hosted.credentials = keyring ? nullptr : credentials;
        hosted.clientOptions.extraCaCertificates = service->certificates();
        hosted.clientOptions.requestTimeoutMs = 20000;
        hosted.openURL = [this](const QUrl& url) {
            opened.push_back(url);
            return true;
        };
        hosted.pollDelayMs = 20;
        hosted.acknowledgementMs = acknowledgementMs;
        CaptureControllerEnvironment recorder;
        if (recording) {
            recorder = linuxControllerEnvironment(harness.executor, *recording);
            recorder.factory = harness.engines.wrap(std::move(recorder.factory));
        } else {
            recorder.sleep = executorSleep(harness.executor);
        }
        harness.recorder =
            CaptureController::create(harness.executor, CaptureConfiguration{}, recorder);
        AppStateEnvironment environment;
        environment.recorder = harness.recorder;
        environment.settings = harness.settings.get();
        environment.captureRoot = harness.root;
        environment.workspace = harness.workspace;
        environment.hosted = std::move(hosted);
        harness.state = std::make_unique<AppState>(std::move(environment));
        harness.state->openMainWindow = [this] { ++harness.windowShown; };
        return *harness.state->hosted();
    }

    void quit() {
        harness.state->shutdown();
        harness.state.reset();
    }

    HostedTracker& hosted() { return *harness.state->hosted(); }
    QString id() const { return QString::fromStdString(captureID); }
    SavedCapture saved() const { return SavedCapture{capture, {}, {}, false}; }
    QString job() { return hosted().jobs().value(id()); }

    // The report exists on the service and its upload hangs.
    bool uploadStalls() {
        return pumpUntil([&] {
            return job() == "Uploading your saved video…" &&
                   std::filesystem::exists(capture / "hosted.json");
        });
    }

    void signIn() {
        hosted().signIn();
        ASSERT_TRUE(pumpUntil([&] { return hosted().signedIn() && !hosted().signingIn(); }));
    }

    // The local clip is never deleted or changed, whatever the service does.
    void expectClipIntact() {
        EXPECT_EQ(::snagreel::testing::fileSha256(capture / "clip.mp4"), clipHash);
    }

    std::size_t accountReads() const {
        return static_cast<std::size_t>(
            std::count_if(service->requests().begin(), service->requests().end(),
                          [](const auto& request) { return request.path == "/api/account"; }));
    }

    std::optional<HostedCaptureLink> linkOnDisk() {
        auto configuration = HostedServiceConfiguration::create(service->baseURL());
        auto link = loadHostedCaptureLink(capture, *configuration);
        return link ? *link : std::nullopt;
    }

    std::unique_ptr<FakeHostedService> service;
    std::shared_ptr<::snagreel::testing::MemoryCredentialStore> credentials =
        std::make_shared<::snagreel::testing::MemoryCredentialStore>();
    AppHarness harness;
    std::string captureID;
    std::filesystem::path capture;
    std::string clipHash;
    std::vector<QUrl> opened;
    int acknowledgementMs = 20;
};

TEST_F(HostedTrackerTest, SignsInUploadsAndOpensTheReadyReportThenRestoresAfterARestart) {
    std::string whyNot;
    ASSERT_NE(::snagreel::testing::SecretServiceSession::shared(whyNot), nullptr) << whyNot;
    HostedTracker& tracker = create(/*keyring=*/true);
    EXPECT_TRUE(pumpUntil([&] { return tracker.links().empty() && !tracker.signedIn(); }));
    // Signed out, a capture only says how to get a report.
    tracker.startReport(saved());
    EXPECT_EQ(job(), text(texts::kSignInToWrite));

    signIn();
    EXPECT_EQ(tracker.error(), text(texts::kConnected));
    ASSERT_FALSE(opened.empty());
    EXPECT_TRUE(opened.front().toString().startsWith(service->baseURL() + "/device"));

    tracker.startReport(saved());
    ASSERT_TRUE(pumpUntil([&] { return !tracker.hasTask(id()); }, std::chrono::seconds(60)));
    EXPECT_EQ(job(), text(texts::kReady));
    EXPECT_TRUE(tracker.readyReports().contains(id()));
    ASSERT_EQ(service->reports().size(), 1u);
    const std::string reportID = service->reports().begin()->first;
    auto link = linkOnDisk();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->status, "ready");
    EXPECT_EQ(link->reportID, reportID);
    EXPECT_EQ(tracker.titles().value(id()), "What happened on screen");

    {
        // The tray says so until the report is opened.
        DesktopShell shell(*harness.state, [] { return false; });
        EXPECT_EQ(shell.menuState().hosted, true);
        harness.state->select(id());
        EXPECT_TRUE(shell.menuState().selectedHasHostedReport);
        shell.showMainWindow();
        ASSERT_NE(shell.serviceView(), nullptr);
        EXPECT_EQ(shell.mainWindow(), nullptr);
        EXPECT_EQ(shell.serviceView()->minimumSize(), QSize(620, 520));
        EXPECT_EQ(shell.serviceView()->latestAction(), text(servicetexts::kOpenReport));
        shell.serviceView()->runLatestAction();
        EXPECT_EQ(opened.back().toString(), service->baseURL() + "/reports/" + reportID.c_str());
        EXPECT_TRUE(tracker.readyReports().isEmpty());
    }
    expectClipIntact();

    // After a restart the sign-in comes back from the keyring and the link from disk.
    quit();
    HostedTracker& again = create(/*keyring=*/true);
    ASSERT_TRUE(pumpUntil([&] { return again.signedIn() && !again.checkingAccount(); }));
    ASSERT_EQ(again.links().count(id()), 1u);
    EXPECT_EQ(again.links().at(id()).status, "ready");
    again.signOut();
    ASSERT_TRUE(pumpUntil([&] { return harness.state->message() == text(texts::kSignedOut); }));
}

TEST_F(HostedTrackerTest, AClipSavedWithTheShortcutIsAcknowledgedAndSentWithoutAWindow) {
    std::string whyNot;
    auto xvfb = devsupport::XvfbServer::start(640, 480, &whyNot);
    if (!xvfb) {
        GTEST_SKIP() << whyNot;
    }
    std::filesystem::remove_all(capture);
    harness.settings->remove(QLatin1String(AppState::kRecordingEnabledKey));
    LinuxRecorderOptions options;
    options.displayName = xvfb->displayName();
    options.monitorLifecycle = false;
    acknowledgementMs = 600000; // stays up for the whole test
    HostedTracker& tracker = create(false, options);
    signIn();
    AppState& state = *harness.state;
    ASSERT_TRUE(pumpUntil([&] { return state.canCapture(); }, std::chrono::seconds(30)))
        << state.recorderStatus().toStdString();

    state.capture(true);
    ASSERT_TRUE(pumpUntil([&] { return !state.capturing(); }, std::chrono::seconds(30)));
    ASSERT_EQ(state.captures().size(), 1);
    const QString saved = QString::fromStdString(state.captures().front().id());
    EXPECT_EQ(state.selectedID(), saved);
    EXPECT_EQ(state.message(), QStringLiteral("Moment saved."));
    EXPECT_TRUE(tracker.captureAcknowledged());
    EXPECT_EQ(harness.windowShown, 0);
    ASSERT_TRUE(pumpUntil([&] { return !tracker.hasTask(saved); }, std::chrono::seconds(60)));
    EXPECT_EQ(tracker.jobs().value(saved), text(texts::kReady));
    ASSERT_EQ(service->reports().size(), 1u);
    EXPECT_EQ(service->reports().begin()->second.parts.at("video").size(),
              std::filesystem::file_size(harness.root / saved.toStdString() / "clip.mp4"));
}

TEST_F(HostedTrackerTest, SignInAgainOrSignOutDuringAnUploadClearsItsProgressAndKeepsTheClip) {
    HostedTracker& tracker = create();
    signIn();
    service->setUploadFault(FakeHostedService::UploadFault::stall);
    tracker.startReport(saved());
    ASSERT_TRUE(uploadStalls());

    // A new sign-in voids the upload: its progress line must not stay behind.
    tracker.signIn();
    EXPECT_FALSE(tracker.hasTask(id()));
    EXPECT_EQ(job(), QString());
    ASSERT_TRUE(pumpUntil([&] { return tracker.signedIn() && !tracker.signingIn(); }));
    EXPECT_EQ(job(), QString());

    tracker.startReport(saved());
    ASSERT_TRUE(uploadStalls());
    tracker.signOut();
    EXPECT_FALSE(tracker.signedIn());
    EXPECT_TRUE(tracker.jobs().isEmpty());
    ASSERT_TRUE(pumpUntil([&] { return harness.state->message() == text(texts::kSignedOut); }));
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(tracker.jobs().isEmpty());
    EXPECT_TRUE(tracker.readyReports().isEmpty());
    // The link stays, still waiting for its upload.
    auto link = linkOnDisk();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->status, "uploading");
    expectClipIntact();
}

TEST_F(HostedTrackerTest, AnUploadCutByQuittingIsNotResumedButFinishesOnRetry) {
    create();
    signIn();
    service->setUploadFault(FakeHostedService::UploadFault::stall);
    hosted().startReport(saved());
    ASSERT_TRUE(uploadStalls());
    quit();

    service->setUploadFault(FakeHostedService::UploadFault::none);
    HostedTracker& tracker = create();
    ASSERT_TRUE(pumpUntil([&] { return tracker.signedIn() && !tracker.checkingAccount(); }));
    ASSERT_EQ(tracker.links().count(id()), 1u);
    EXPECT_EQ(tracker.links().at(id()).status, "uploading");
    EXPECT_FALSE(tracker.hasTask(id()));
    EXPECT_TRUE(tracker.readyReports().isEmpty());

    DesktopShell shell(*harness.state, [] { return false; });
    shell.showMainWindow();
    harness.state->select(id());
    EXPECT_EQ(shell.serviceView()->latestAction(), text(servicetexts::kFinishUpload));
    shell.serviceView()->runLatestAction();
    ASSERT_TRUE(pumpUntil([&] { return !tracker.hasTask(id()); }, std::chrono::seconds(60)));
    EXPECT_EQ(job(), text(texts::kReady));
    EXPECT_EQ(linkOnDisk()->status, "ready");
    expectClipIntact();
}

TEST_F(HostedTrackerTest, ARevokedDeviceSignsOutWithoutShowingProgressOrAReport) {
    create();
    signIn();
    service->revokeAll();
    hosted().startReport(saved());
    ASSERT_TRUE(pumpUntil([&] { return !hosted().hasTask(id()); }));
    EXPECT_FALSE(hosted().signedIn());
    EXPECT_EQ(job(), text(texts::kSignInToWrite));
    EXPECT_TRUE(hosted().readyReports().isEmpty());

    // Revoked while the app was closed, with a report still being written: the
    // first reads at the next start find out, and the report is not taken for ready.
    signIn();
    quit();
    service->revokeAll();
    const std::string origin = service->baseURL().toStdString();
    const std::string reportID = uuidString(randomUuid());
    writeFile(capture / "hosted.json",
              HostedCaptureLink{captureID, reportID, origin, origin + "/reports/" + reportID,
                                "generating"}
                  .toJson());
    const std::size_t reads = accountReads();
    HostedTracker& tracker = create();
    ASSERT_TRUE(pumpUntil([&] {
        return accountReads() > reads && !tracker.checkingAccount() && !tracker.hasTask(id());
    }));
    EXPECT_FALSE(tracker.signedIn());
    EXPECT_EQ(job(), text(texts::kWatchFailed));
    EXPECT_TRUE(tracker.readyReports().isEmpty());
    EXPECT_EQ(linkOnDisk()->status, "generating");
    expectClipIntact();
}

TEST_F(HostedTrackerTest, LinksFromAnotherServiceOrToAnotherPageAreRefused) {
    auto configuration = HostedServiceConfiguration::create(service->baseURL());
    const std::string reportID = uuidString(randomUuid());
    const std::string origin = service->baseURL().toStdString();
    auto load = [&](HostedCaptureLink link) {
        writeFile(capture / "hosted.json", link.toJson());
        return loadHostedCaptureLink(capture, *configuration);
    };
    const HostedCaptureLink good{captureID, reportID, origin, origin + "/reports/" + reportID,
                                 "queued"};
    auto loaded = load(good);
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ(**loaded, good);
    for (auto bad :
         {HostedCaptureLink{captureID, reportID, "https://elsewhere.example", good.reportURL,
                            "queued"},
          HostedCaptureLink{captureID, reportID, origin,
                            "https://elsewhere.example/reports/" + reportID, "queued"},
          HostedCaptureLink{captureID, reportID, origin, origin + "/account", "queued"},
          HostedCaptureLink{captureID, reportID, origin, good.reportURL + "?x=1", "ready"},
          HostedCaptureLink{captureID, "../etc", origin, good.reportURL, "ready"}}) {
        EXPECT_FALSE(load(bad)) << bad.toJson();
    }
    writeFile(capture / "hosted.json", std::string(20000, ' ') + good.toJson());
    EXPECT_FALSE(loadHostedCaptureLink(capture, *configuration));
    std::filesystem::remove(capture / "hosted.json");
    auto none = loadHostedCaptureLink(capture, *configuration);
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

} // namespace
