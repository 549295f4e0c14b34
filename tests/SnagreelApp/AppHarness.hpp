#pragma once

// A captures root, an engine workspace and preferences of a test's own, and an
// AppState over them. Engines are scripts the tests write; the local one runs under
// the real sandbox.

#include "SnagreelApp/AppState.hpp"
#include "SnagreelApp/ApplicationRoot.hpp"
#include "SnagreelApp/Linux/BubblewrapSandbox.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"
#include "SnagreelCore/Linux/LinuxRecorder.hpp"
#include "support/TemporaryDirectory.hpp"

#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

// Readable failures for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace snagreel::app::testing {

inline void writeFile(const std::filesystem::path& path, const std::string& bytes,
                      std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                    std::filesystem::perms::owner_write) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    std::filesystem::permissions(path, mode);
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The Python preamble every fake local engine starts with: its arguments parsed.
inline const char* kEnginePreamble = R"(import sys, os, time
args = sys.argv[1:]
capture = args[args.index('--capture') + 1]
output = args[args.index('--output') + 1]
intent = [a for a in args if a.startswith('--intent=')][0][len('--intent='):]
)";

class AppHarness {
public:
    // Everything lives in a new temporary folder, or in `base` when given (a child
    // process sharing its parent's folder).
    explicit AppHarness(std::filesystem::path base = {}) {
        if (base.empty()) {
            temporary = std::make_unique<::snagreel::testing::TemporaryDirectory>("snagreel-app");
            base = temporary->path();
        }
        folder = base;
        root = folder / "Captures";
        workspace = folder / "engines";
        std::filesystem::create_directories(workspace / ".venv/bin");
        std::filesystem::create_directories(folder / "tmp"); // where share packages are built
        std::error_code exists;
        std::filesystem::create_symlink("/usr/bin/python3", workspace / ".venv/bin/python", exists);
        settings = std::make_unique<QSettings>(
            QString::fromStdString((folder / "settings.ini").string()), QSettings::IniFormat);
        // Most tests do not record; those that do say so.
        settings->setValue(QLatin1String(AppState::kRecordingEnabledKey), false);
    }

    ~AppHarness() {
        if (state) {
            state->shutdown();
            engines.waitUntilGone(5000);
            state.reset();
        }
        recorder.reset();
    }

    void writeLocalEngine(const std::string& body) {
        writeFile(workspace / "scripts/local_report.py", std::string(kEnginePreamble) + body);
    }
    // The cloud engine's runtime is /bin/sh here, so the "module" is a shell script.
    void writeCloudEngine(const std::string& script) {
        writeFile(workspace / "cloud/report.mjs", script);
        nodePath = "/bin/sh";
    }

    // A capture folder as the recorder leaves it (the clip's bytes do not matter to
    // the list).
    std::filesystem::path addCapture(const std::string& id, const std::string& intent = {}) {
        const auto folder = root / id;
        writeFile(folder / "clip.mp4", "clip bytes of " + id);
        writeFile(folder / "manifest.json", "{}");
        if (!intent.empty()) {
            writeFile(folder / "intent.txt", intent);
        }
        return folder;
    }

    // Builds the state; `recorderOptions` makes it record from that display.
    AppState& create(std::optional<LinuxRecorderOptions> recorderOptions = std::nullopt) {
        CaptureControllerEnvironment environment;
        if (recorderOptions) {
            environment = linuxControllerEnvironment(executor, *recorderOptions);
            environment.factory = engines.wrap(std::move(environment.factory));
        } else {
            environment.sleep = executorSleep(executor);
        }
        recorder = CaptureController::create(executor, CaptureConfiguration{}, environment);
        AppStateEnvironment appEnvironment;
        appEnvironment.recorder = recorder;
        appEnvironment.settings = settings.get();
        appEnvironment.captureRoot = root;
        appEnvironment.workspace = workspace;
        appEnvironment.nodePath = nodePath;
        appEnvironment.sandbox = sandbox;
        appEnvironment.cancelGraceSeconds = 0.5;
        appEnvironment.beep = [this] { ++beeps; };
        if (hotKeyBackend) {
            shortcutStorage = std::make_unique<SettingsShortcutStorage>(*settings);
            appEnvironment.hotKey =
                std::make_unique<GlobalHotKey>(*shortcutStorage, std::move(hotKeyBackend));
        }
        appEnvironment.sharing = std::make_unique<CaptureSharing>(
            CaptureSharing::Services{&dialogs, nullptr, &trash, nullptr}, folder / "tmp", root);
        appEnvironment.saveDialogs = &dialogs;
        state = std::make_unique<AppState>(std::move(appEnvironment));
        state->openMainWindow = [this] { ++windowShown; };
        return *state;
    }

    // Runs the event loop until the running generation has finished.
    bool generationFinishes() {
        return QTest::qWaitFor([&] { return !state->generating(); }, 20000);
    }

    std::unique_ptr<::snagreel::testing::TemporaryDirectory> temporary;
    std::filesystem::path folder;
    QObject context;
    QtMainExecutor executor{&context};
    std::filesystem::path root;
    std::filesystem::path workspace;
    std::string nodePath = "/bin/false";
    std::unique_ptr<QSettings> settings;
    std::shared_ptr<const SandboxLauncher> sandbox = std::make_shared<BubblewrapSandbox>();
    // Runs `move` for each folder sent to the Trash (on a worker thread).
    struct TrashDouble final : Trash {
        std::function<Result<void>(const std::filesystem::path&)> move;
        Result<void> moveToTrash(const std::filesystem::path& item) override { return move(item); }
    } trash;
    // Answers every save dialog with `answer`.
    struct DialogDouble final : SaveDialogs {
        std::optional<std::filesystem::path> answer;
        std::vector<SaveDialogRequest> asked;
        void chooseSaveLocation(
            const SaveDialogRequest& request,
            std::function<void(std::optional<std::filesystem::path>)> done) override {
            asked.push_back(request);
            done(answer);
        }
    } dialogs;
    // Set before create() for a state with a global shortcut.
    std::unique_ptr<HotKeyBackend> hotKeyBackend;
    std::unique_ptr<SettingsShortcutStorage> shortcutStorage;
    EngineTracker engines;
    std::shared_ptr<CaptureController> recorder;
    std::unique_ptr<AppState> state;
    int beeps = 0;
    int windowShown = 0;
};

} // namespace snagreel::app::testing
