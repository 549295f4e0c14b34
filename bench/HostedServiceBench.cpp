// Figures for the hosted report flow: preparing a 60-second 1080p clip (size
// checks, SHA-256, the first and final frames as PNG) and uploading it to the
// fake hosted service over TLS on loopback.
//
//   build/release/bench/snagreel-hosted-bench [runs]
#include "SnagreelApp/Hosted/HostedServiceClient.hpp"
#include "SnagreelApp/Hosted/HostedVideoPreparation.hpp"
#include "SnagreelCore/Support/Uuid.hpp"
#include "devsupport/FakeHostedService.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace snagreel;
using namespace snagreel::app;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir temporary;
    const std::filesystem::path capture = temporary.filePath("capture").toStdString();
    std::filesystem::create_directories(capture);
    const auto clip = capture / "clip.mp4";
    std::fprintf(stderr, "encoding a 60 s 1080p clip at 15 fps…\n");
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=15 -t 60 "
        "-c:v libx264 -preset ultrafast -tune zerolatency -g 15 -b:v 2M -pix_fmt yuv420p '" +
        clip.string() + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    std::ofstream(capture / "manifest.json")
        << R"({"v":1,"captureId":")" << uuidString(randomUuid()) << R"("})";

    std::vector<double> prepareSeconds;
    std::int64_t pngBytes = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        auto prepared = HostedVideoPreparation::prepare(clip);
        prepareSeconds.push_back(timer.nsecsElapsed() / 1e9);
        if (!prepared) {
            std::fprintf(stderr, "prepare failed: %s\n", prepared.error().description().c_str());
            return 1;
        }
        pngBytes = prepared->anchors[0].data.size() + prepared->anchors[1].data.size();
    }
    const auto clipBytes = static_cast<double>(std::filesystem::file_size(clip));
    std::printf("prepare 60 s 1080p clip (%.1f MB, PNGs %.1f MB): median %.3f s over %d runs\n",
                clipBytes / 1e6, pngBytes / 1e6, median(prepareSeconds), runs);

    QString whyNot;
    auto service = devsupport::FakeHostedService::start(&whyNot);
    if (!service) {
        std::fprintf(stderr, "fake service: %s\n", qPrintable(whyNot));
        return 1;
    }
    HostedClientOptions options;
    options.extraCaCertificates = service->certificates();
    struct Memory final : HostedCredentialStore {
        std::optional<HostedCredential> credential;
        Result<std::optional<HostedCredential>> load() override { return credential; }
        Result<void> save(const HostedCredential& c) override {
            credential = c;
            return {};
        }
        Result<void> remove() override {
            credential.reset();
            return {};
        }
    };
    auto memory = std::make_shared<Memory>();
    HostedServiceClient client(*HostedServiceConfiguration::create(service->baseURL()), memory,
                               options);
    const auto wait = [&](auto& result) {
        while (!result) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            50);
        }
    };
    std::optional<Result<HostedSignInChallenge>> challenge;
    client.beginSignIn([&](auto r) { challenge.emplace(std::move(r)); });
    wait(challenge);
    std::optional<Result<HostedSignInStatus>> approved;
    client.pollSignIn([&](auto r) { approved.emplace(std::move(r)); });
    wait(approved);

    std::vector<double> uploadRates;
    std::vector<double> submitSeconds;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer total;
        QElapsedTimer uploading;
        total.start();
        std::optional<Result<HostedCaptureLink>> link;
        client.submitCapture(
            capture, "benchmark",
            [&](const std::string& text) {
                if (text.starts_with("Uploading")) {
                    uploading.start();
                }
            },
            [&](auto r) { link.emplace(std::move(r)); });
        wait(link);
        if (!*link) {
            std::fprintf(stderr, "submit failed: %s\n", (*link).error().description().c_str());
            return 1;
        }
        const double seconds = uploading.nsecsElapsed() / 1e9;
        uploadRates.push_back((clipBytes + pngBytes) / seconds / 1e6);
        submitSeconds.push_back(total.nsecsElapsed() / 1e9);
    }
    std::printf(
        "create + upload + complete over TLS on loopback: median %.1f MB/s; whole submission "
        "median %.3f s over %d runs\n",
        median(uploadRates), median(submitSeconds), runs);
    return 0;
}
