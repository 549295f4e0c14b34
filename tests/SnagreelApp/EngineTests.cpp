#include "AppHarness.hpp"

#include "SnagreelApp/BuildSettings.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <QLocalServer>
#include <QTcpServer>

#include <unistd.h>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::app::testing;

namespace {

std::vector<std::string> engineReports(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::string name = item.path().filename().string();
        if (name.rfind("report-local-", 0) == 0 || name.rfind("report-cloud-", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// Stands in for bubblewrap failing to build its namespaces: it prints why and exits
// without announcing the sandbox.
class UnbuildableSandbox final : public SandboxLauncher {
public:
    Result<EngineCommand> wrap(EngineCommand command, const std::filesystem::path&) const override {
        command.program = "/bin/sh";
        command.arguments = {"-c", "echo 'bwrap: Creating new namespace failed: Operation not "
                                   "permitted' >&2; exit 1"};
        command.announcesSandbox = true;
        return command;
    }
};

struct EngineFixture : ::testing::Test {
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/bwrap")) {
            GTEST_SKIP() << "bubblewrap is not installed";
        }
        folder = harness.addCapture("capture", "Submit \"twice\" fails\nsecond line");
        clipBefore = readFile(folder / "clip.mp4");
        harness.settings->setValue(QLatin1String(AppState::kSelectedCaptureKey), "capture");
    }

    AppHarness harness;
    std::filesystem::path folder;
    std::string clipBefore;
};

} // namespace

TEST_F(EngineFixture, LocalReportOpensAndEditsTypedMeanwhileAreKept) {
    harness.writeLocalEngine(R"(
print('Loading model', flush=True)
while not os.path.exists(os.path.join(capture, 'go')):
    time.sleep(0.02)
print('Writing\r99%', flush=True)
open(output, 'w').write('# From the engine\n' + repr(intent) + ' ' + str(len(args)) + '\n')
)");
    AppState& state = harness.create();
    state.generate(QStringLiteral("local"));
    ASSERT_TRUE(state.generating());
    EXPECT_EQ(state.generationMode(), QStringLiteral("local"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return state.progress() == QStringLiteral("Loading model"); },
                                20000));
    state.setMarkdown(QStringLiteral("notes typed while the engine runs"));
    QTest::qWait(800); // past the autosave delay: held back while generating
    writeFile(folder / "go", "");
    ASSERT_TRUE(harness.generationFinishes());

    EXPECT_EQ(state.error(), QString());
    EXPECT_EQ(state.progress(), QString());
    EXPECT_EQ(state.message(), QString());
    EXPECT_TRUE(state.selectedReportID().startsWith(QStringLiteral("report-local-")));
    // The intent arrives as one argument; five arguments in all.
    EXPECT_EQ(state.markdown(),
              QStringLiteral("# From the engine\n'Submit \"twice\" fails\\nsecond line' 5\n"));
    EXPECT_EQ(state.captures().front().name, "From the engine");
    ASSERT_EQ(state.reportEntries().size(), 2);
    auto store = reports::ReportStore::create(folder);
    bool keptNotes = false;
    const auto entries = store->list();
    ASSERT_TRUE(entries);
    for (const auto& entry : *entries) {
        keptNotes = keptNotes || store->load(entry.id)->text == "notes typed while the engine runs";
    }
    EXPECT_TRUE(keptNotes);
}

TEST_F(EngineFixture, FailedRunsExplainThemselvesAndLeaveOnlyTheRecording) {
    struct Case {
        const char* name;
        const char* body;
        QString error;
    };
    const QString prefix = QStringLiteral("Could not write the report. Your recording is saved. ");
    const Case cases[] = {
        {"exit 1 after garbage",
         R"(open(output, 'w').write('half a rep')
sys.stdout.buffer.write(b'\x00\xff\xfe garbage \xc3\n')
print('Model file is missing', flush=True)
sys.exit(1))",
         prefix + QStringLiteral("Model file is missing")},
        {"crash", R"(open(output, 'w').write('half'); print('about to crash', flush=True)
import signal; os.kill(os.getpid(), signal.SIGSEGV))",
         prefix + QStringLiteral("about to crash")},
        {"no file", "print('done, honestly')", prefix + QStringLiteral("done, honestly")},
    };
    AppState& state = harness.create();
    for (const Case& c : cases) {
        harness.writeLocalEngine(c.body);
        state.generate(QStringLiteral("local"));
        ASSERT_TRUE(harness.generationFinishes()) << c.name;
        EXPECT_EQ(state.error(), c.error) << c.name;
        EXPECT_TRUE(engineReports(folder).empty()) << c.name;
        EXPECT_EQ(readFile(folder / "clip.mp4"), clipBefore) << c.name;
        EXPECT_FALSE(state.busy());
    }
    state.refreshCaptures();
    EXPECT_FALSE(state.captures().front().hasReport);
}

TEST_F(EngineFixture, SandboxKeepsTheLocalEngineInsideItsCapture) {
    QTcpServer network;
    ASSERT_TRUE(network.listen(QHostAddress::LocalHost));
    QLocalServer sessionBus; // a path socket, as the session bus and X have
    const auto busPath = harness.folder / "bus";
    ASSERT_TRUE(sessionBus.listen(QString::fromStdString(busPath.string())));
    QLocalServer abstractX; // X also listens on an abstract socket
    abstractX.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    const QString abstractName =
        QStringLiteral("snagreel-test-x-%1").arg(QCoreApplication::applicationPid());
    ASSERT_TRUE(abstractX.listen(abstractName));
    const auto outside = harness.folder / "outside.txt";
    const auto inWorkspace = harness.workspace / "escaped.txt";
    const auto viaProc = harness.folder / "via-proc.txt";
    std::string engine = R"(
import socket
results = []
def attempt(name, action):
    try:
        action()
        results.append(name + ' reached')
    except Exception:
        results.append(name + ' blocked')
def write(path):
    open(path, 'w').write('escaped')
def connect(family, address):
    s = socket.socket(family, socket.SOCK_STREAM); s.settimeout(2); s.connect(address)
attempt('workspace', lambda: write(WORKSPACE))
attempt('network', lambda: connect(socket.AF_INET, ('127.0.0.1', PORT)))
attempt('bus', lambda: connect(socket.AF_UNIX, BUS))
attempt('x', lambda: connect(socket.AF_UNIX, '\0' + XNAME))
attempt('proc-root', lambda: write('/proc/HOSTPID/root' + VIAPROC))
write(OUTSIDE)  # lands in a private /tmp, never the real one
open(output, 'w').write('\n'.join(results))
)";
    auto replace = [&](const std::string& key, const std::string& value) {
        engine.replace(engine.find(key), key.size(), value);
    };
    replace("WORKSPACE", "'" + inWorkspace.string() + "'");
    replace("PORT", std::to_string(network.serverPort()));
    replace("BUS", "'" + busPath.string() + "'");
    replace("XNAME", "'" + abstractName.toStdString() + "'");
    replace("OUTSIDE", "'" + outside.string() + "'");
    replace("HOSTPID", std::to_string(::getpid()));
    replace("VIAPROC", "'" + viaProc.string() + "'");
    harness.writeLocalEngine(engine);
    AppState& state = harness.create();
    state.generate(QStringLiteral("local"));
    ASSERT_TRUE(harness.generationFinishes());
    ASSERT_EQ(state.error(), QString());
    EXPECT_EQ(state.markdown(), QStringLiteral("workspace blocked\nnetwork blocked\nbus "
                                               "blocked\nx blocked\nproc-root blocked"));
    EXPECT_FALSE(std::filesystem::exists(outside));
    EXPECT_FALSE(std::filesystem::exists(inWorkspace));
    EXPECT_FALSE(std::filesystem::exists(viaProc));
    EXPECT_FALSE(network.hasPendingConnections());
    EXPECT_FALSE(sessionBus.hasPendingConnections());
    EXPECT_FALSE(abstractX.hasPendingConnections());
}

TEST_F(EngineFixture, CancelStopsAnEngineThatIgnoresTheRequest) {
    harness.writeCloudEngine(R"(trap '' TERM
printf 'partial' > "$5"
echo 'Uploading'
while :; do sleep 0.05; done
)");
    AppState& state = harness.create();
    state.generate(QStringLiteral("cloud"));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return state.progress() == QStringLiteral("Uploading"); }, 10000));
    state.cancelGeneration();
    state.cancelGeneration();
    EXPECT_EQ(state.progress(), QStringLiteral("Stopping…"));
    ASSERT_TRUE(harness.generationFinishes());
    EXPECT_EQ(state.message(), QStringLiteral("Report stopped. Your recording is saved."));
    EXPECT_EQ(state.error(), QString());
    EXPECT_TRUE(engineReports(folder).empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(folder / "clip.mp4"));
}

TEST_F(EngineFixture, RunEndsWhenTheEngineExitsThoughADescendantHoldsItsOutput) {
    harness.writeCloudEngine(R"(setsid sleep 5 &
printf '# Cloud says hi\n' > "$5"
echo 'Finished'
)");
    AppState& state = harness.create();
    state.generate(QStringLiteral("cloud"));
    ASSERT_TRUE(harness.generationFinishes());
    EXPECT_EQ(state.error(), QString());
    EXPECT_EQ(state.markdown(), QStringLiteral("# Cloud says hi\n"));
}

TEST_F(EngineFixture, EnginesThatCannotStartSayWhy) {
    harness.nodePath = "/nonexistent/node";
    AppState& state = harness.create();
    state.generate(QStringLiteral("cloud"));
    EXPECT_FALSE(state.generating());
    EXPECT_EQ(state.error(),
              QStringLiteral("Could not start report engine: The program “/nonexistent/node” "
                             "could not be run: No such file or directory."));

    state.generate(QStringLiteral("local"));
    EXPECT_EQ(state.error(), QStringLiteral("Could not start report engine: The local engine is "
                                            "not installed in ") +
                                 QString::fromStdString(harness.workspace.string()) +
                                 QLatin1Char('.'));

    harness.writeLocalEngine("open(output, 'w').write('must never run')");
    harness.sandbox = std::make_shared<UnbuildableSandbox>();
    harness.state.reset();
    AppState& unsandboxed = harness.create();
    unsandboxed.generate(QStringLiteral("local"));
    ASSERT_TRUE(harness.generationFinishes());
    EXPECT_EQ(unsandboxed.error(),
              QStringLiteral("Could not start report engine: The local engine's sandbox could not "
                             "be set up: bwrap: Creating new namespace failed: Operation not "
                             "permitted"));

    harness.sandbox = std::make_shared<BubblewrapSandbox>("/nonexistent/bwrap");
    harness.state.reset();
    AppState& missing = harness.create();
    missing.generate(QStringLiteral("local"));
    EXPECT_TRUE(missing.error().startsWith(
        QStringLiteral("Could not start report engine: The local engine runs only inside its "
                       "sandbox, and bubblewrap")));
    EXPECT_TRUE(engineReports(folder).empty());
}

TEST(EngineWorkspace, NeverTheCurrentDirectory) {
    // A stray engine where the app happens to be started must not be the one run.
    ::snagreel::testing::TemporaryDirectory elsewhere("snagreel-cwd");
    writeFile(elsewhere.path() / "scripts/local_report.py", "raise SystemExit('stray')");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(elsewhere.path());
    const auto workspace = defaultWorkspaceRoot();
    std::filesystem::current_path(previous);
    EXPECT_TRUE(workspace.is_absolute());
    EXPECT_EQ(workspace.filename(), "engines");
    EXPECT_NE(workspace, elsewhere.path());

    writeFile(elsewhere.path() / "bin/node", "", std::filesystem::perms::owner_all);
    EXPECT_EQ(findOnPath("node", "/nonexistent::" + (elsewhere.path() / "bin").string()),
              (elsewhere.path() / "bin/node").string());
    EXPECT_EQ(findOnPath("node", "/nonexistent"), "");
}
