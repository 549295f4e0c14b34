// The local report engine from the build tree's workspace, on clips made here with
// FFmpeg: what it writes must be a report the presentation and the portable export
// take as it is, and a capture it cannot read must be left exactly as it was.

#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportPresentation.hpp"
#include "SnagreelReports/ReportStore.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using snagreel::testing::runProgram;
using snagreel::testing::TemporaryDirectory;

namespace {

const fs::path kRoot = SNAGREEL_ENGINES_ROOT;
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kReportName = "report-local-2026-12-07T04-30-00Z-0A1B2C3D.md";

std::string readAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Three screens of text, the way a failing upload might look.
void makeClip(const fs::path& clip, const std::string& codec = "libx264") {
    auto text = [](const char* words, int y, const char* when) {
        return std::string("drawtext=fontfile=") + kFont + ":text='" + words +
               "':x=60:y=" + std::to_string(y) + ":fontsize=36:fontcolor=black:enable='" + when +
               "'";
    };
    const std::string filters = text("Welcome to the dashboard", 80, "lt(t,2)") + "," +
                                text("ERROR 503 Service Unavailable", 220, "between(t,2,4)") + "," +
                                text("Upload failed\\: permission denied", 360, "gte(t,4)");
    auto made = runProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "color=c=white:s=1024x576:r=15:d=6", "-vf", filters, "-c:v", codec,
                            "-pix_fmt", "yuv420p", clip.string()});
    ASSERT_TRUE(made && made->exitStatus == 0) << (made ? made->err : "ffmpeg missing");
}

void writeManifest(const fs::path& capture) {
    writeAll(capture / "manifest.json", R"({
  "actualSeconds": 6, "captureId": "6f1c1b9e-8f0a-4a59-9d55-0f2c3c7e1a11",
  "capturedAt": "2026-12-07T04:30:00Z", "codec": "h264", "requestedSeconds": 30,
  "gaps": [{"endSeconds": 5.5, "reason": "displayAsleep", "startSeconds": 5}],
  "diagnostics": {"v": 1, "timeReference": "clip",
    "networkPath": {"historyTruncated": false, "samples": [
      {"atSeconds": 0, "interfaceTypes": ["wifi"], "status": "satisfied"},
      {"atSeconds": 3.5, "interfaceTypes": [], "status": "unsatisfied"}]},
    "systemState": {"historyTruncated": false, "samples": [
      {"atSeconds": 0, "thermalState": "nominal"}, {"atSeconds": 4.5, "thermalState": "serious"}]}}
})");
}

snagreel::testing::RunOutput runEngine(const fs::path& capture, const std::string& intent,
                                       std::vector<std::string> prefix = {}) {
    std::vector<std::string> command = std::move(prefix);
    for (const std::string& argument :
         {std::string("env"), std::string("-C"), kRoot.string(),
          (kRoot / ".venv/bin/python").string(), (kRoot / "scripts/local_report.py").string(),
          std::string("--capture"), capture.string(), "--intent=" + intent, std::string("--output"),
          (capture / kReportName).string()}) {
        command.push_back(argument);
    }
    auto run = runProgram(command);
    EXPECT_TRUE(run.has_value());
    return run.value_or(snagreel::testing::RunOutput{});
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            result.push_back(line);
        }
    }
    return result;
}

std::vector<std::string>
blockTexts(const std::vector<snagreel::ReportPresentation::Block>& blocks) {
    using namespace snagreel::ReportPresentation;
    std::vector<std::string> texts;
    for (const Block& block : blocks) {
        if (auto* heading = std::get_if<Heading>(&block)) {
            texts.push_back(heading->text);
        } else if (auto* paragraph = std::get_if<Paragraph>(&block)) {
            texts.push_back(paragraph->text);
        } else if (auto* bullets = std::get_if<BulletList>(&block)) {
            texts.insert(texts.end(), bullets->items.begin(), bullets->items.end());
        } else if (auto* numbered = std::get_if<NumberedList>(&block)) {
            texts.insert(texts.end(), numbered->items.begin(), numbered->items.end());
        }
    }
    return texts;
}

class LocalReportEngine : public ::testing::Test {
protected:
    void SetUp() override {
        capture_ = directory_.path() / "6f1c1b9e-8f0a-4a59-9d55-0f2c3c7e1a11";
        fs::create_directory(capture_);
        makeClip(capture_ / "clip.mp4");
        writeManifest(capture_);
    }

    TemporaryDirectory directory_{"snagreel-engine"};
    fs::path capture_;
};

TEST_F(LocalReportEngine, ReportQuotesTheScreenAndIsTakenAsItIsByPreviewAndExport) {
    // The intent carries what could pass for a link and a code fence.
    const std::string intent = "Upload keeps failing [see](file:///etc/passwd)\n```\nthen?";
    const auto run = runEngine(capture_, intent);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_GE(lines(run.out).size(), 3u) << "one progress line per step";

    const std::string report = readAll(capture_ / kReportName);
    const auto errorAt = report.find("`ERROR 503 Service Unavailable`");
    const auto deniedAt = report.find("`Upload failed: permission denied`");
    const auto welcomeAt = report.find("Welcome to the dashboard");
    ASSERT_NE(errorAt, std::string::npos) << report;
    ASSERT_NE(deniedAt, std::string::npos) << report;
    ASSERT_NE(welcomeAt, std::string::npos) << report;
    EXPECT_LT(report.find("Upload keeps failing"), errorAt) << "the intent comes first";
    EXPECT_LT(errorAt, welcomeAt) << "error lines are pulled above the rest of the text";
    EXPECT_NE(report.find("Network: no connection."), std::string::npos);
    EXPECT_NE(report.find("Recording gap"), std::string::npos);
    EXPECT_NE(report.find("(clip.mp4#t=2"), std::string::npos) << "seek link to the error";

    // Every link the report writes is live in the preview: as many link spans as
    // link openings, each with a target the presentation accepted.
    namespace presentation = snagreel::ReportPresentation;
    std::size_t links = 0;
    for (const std::string& text : blockTexts(presentation::blocks(report))) {
        for (const auto& span : presentation::inlineSpans(text)) {
            if (span.kind == presentation::InlineSpan::Kind::link) {
                ++links;
                EXPECT_TRUE(span.target.starts_with("clip.mp4#t=") ||
                            span.target.starts_with("evidence/"))
                    << span.target;
            }
        }
    }
    std::size_t openings = 0;
    for (auto at = report.find("]("); at != std::string::npos; at = report.find("](", at + 2)) {
        ++openings;
    }
    EXPECT_GT(links, 6u);
    EXPECT_EQ(links, openings) << report;

    auto store = snagreel::reports::ReportStore::create(capture_);
    ASSERT_TRUE(store) << store.error().description();
    auto entries = store->list();
    ASSERT_TRUE(entries && entries->size() == 1);
    auto plan = snagreel::reports::prepareExport(*store, kReportName);
    ASSERT_TRUE(plan) << plan.error().description();
    const std::string run_ = "evidence/report-local-2026-12-07T04-30-00Z-0A1B2C3D/";
    ASSERT_TRUE(plan->files.contains(run_ + "evidence.json"));
    const auto index = nlohmann::json::parse(plan->files.at(run_ + "evidence.json"));
    ASSERT_GE(index["frames"].size(), 3u) << "start, two screen changes and the end";
    for (const auto& frame : index["frames"]) {
        const std::string image = run_ + frame["path"].get<std::string>();
        ASSERT_TRUE(plan->files.contains(image)) << image;
        EXPECT_EQ(plan->files.at(image).substr(1, 3), "PNG");
    }

    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(capture_)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"clip.mp4", "evidence", "manifest.json", kReportName}))
        << "no staging files are left behind";
}

TEST_F(LocalReportEngine, BrokenCapturesFailWithOneLineAndAreLeftAsTheyWere) {
    const std::string clip = readAll(capture_ / "clip.mp4");
    struct Case {
        const char* name;
        std::function<void()> damage;
    };
    const std::vector<Case> cases = {
        {"truncated clip",
         [&] { writeAll(capture_ / "clip.mp4", clip.substr(0, clip.size() * 2 / 3)); }},
        {"missing clip", [&] { fs::remove(capture_ / "clip.mp4"); }},
        {"not H.264", [&] { makeClip(capture_ / "clip.mp4", "mpeg4"); }},
        {"missing manifest", [&] { fs::remove(capture_ / "manifest.json"); }},
        {"malformed manifest",
         [&] { writeAll(capture_ / "manifest.json", "{\"v\": 1, \"gaps\": "); }},
        {"manifest of another codec",
         [&] {
             writeAll(capture_ / "manifest.json", R"({"actualSeconds": 6, "captureId": "x",
               "codec": "hevc", "requestedSeconds": 30, "gaps": []})");
         }},
    };
    for (const Case& broken : cases) {
        SCOPED_TRACE(broken.name);
        writeAll(capture_ / "clip.mp4", clip);
        writeManifest(capture_);
        broken.damage();
        std::vector<std::pair<std::string, std::string>> before;
        for (const auto& item : fs::recursive_directory_iterator(capture_)) {
            before.emplace_back(item.path().string(), readAll(item.path()));
        }
        const auto run = runEngine(capture_, "anything");
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
        std::vector<std::pair<std::string, std::string>> after;
        for (const auto& item : fs::recursive_directory_iterator(capture_)) {
            after.emplace_back(item.path().string(), readAll(item.path()));
        }
        EXPECT_EQ(before, after);
    }
}

// The sandbox the application starts the local engine in: no network at all,
// everything read-only but the capture folder.
std::vector<std::string> sandbox(const fs::path& capture) {
    return {"bwrap",
            "--unshare-all",
            "--die-with-parent",
            "--new-session",
            "--ro-bind",
            "/",
            "/",
            "--dev",
            "/dev",
            "--proc",
            "/proc",
            "--tmpfs",
            "/tmp",
            "--tmpfs",
            "/run",
            "--bind",
            capture.string(),
            capture.string()};
}

TEST_F(LocalReportEngine, WorksInsideTheSandboxWhereThereIsNoNetwork) {
    auto probe = runProgram({"bwrap", "--unshare-all", "--ro-bind", "/", "/", "true"});
    if (!probe || probe->exitStatus != 0) {
        GTEST_SKIP() << "bubblewrap cannot make namespaces here";
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const auto run = runEngine(capture_, "offline", sandbox(capture_));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(fs::exists(capture_ / kReportName));

    // The same interpreter in the same sandbox cannot reach a port that is open
    // on this machine's loopback.
    auto reach = sandbox(capture_);
    for (const std::string& argument :
         {(kRoot / ".venv/bin/python").string(), std::string("-c"),
          "import socket; socket.create_connection(('127.0.0.1', " + port + "), 2)"}) {
        reach.push_back(argument);
    }
    auto connected = runProgram(reach);
    ASSERT_TRUE(connected);
    EXPECT_NE(connected->exitStatus, 0);
    reach.erase(reach.begin(), reach.end() - 3);
    auto outside = runProgram(reach);
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->exitStatus, 0) << "the port is open outside the sandbox: " << outside->err;
    ::close(listener);
}

} // namespace
