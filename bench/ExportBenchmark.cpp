// What saving a full minute costs: 900 frames of 33 KB (a keyframe every 15)
// stream-copied into clip.mp4 with the index moved to the front, the manifest
// written, and both flushed to disk, the way the controller saves a bundle.

#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"
#include "SnagreelCore/Ring/EncodedSample.hpp"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/packet.h>
}

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <unistd.h>

namespace {

using namespace snagreel;
namespace fs = std::filesystem;

// Parameter sets of a 1920x1080 High profile stream in an avcC record. The muxer
// copies them into the track unread, so their exact contents do not affect timing.
std::shared_ptr<const CodecParameters> fullHDFormat() {
    auto format = std::make_shared<CodecParameters>();
    format->width = 1920;
    format->height = 1080;
    const std::vector<std::uint8_t> sps{0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                                        0x27, 0xe5, 0x84, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00,
                                        0x00, 0x03, 0x00, 0xf0, 0x3c, 0x60, 0xc6, 0x58};
    const std::vector<std::uint8_t> pps{0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
    auto& x = format->extradata;
    x = {1, sps[1], sps[2], sps[3], 0xff, 0xe1};
    x.push_back(static_cast<std::uint8_t>(sps.size() >> 8));
    x.push_back(static_cast<std::uint8_t>(sps.size()));
    x.insert(x.end(), sps.begin(), sps.end());
    x.push_back(1);
    x.push_back(static_cast<std::uint8_t>(pps.size() >> 8));
    x.push_back(static_cast<std::uint8_t>(pps.size()));
    x.insert(x.end(), pps.begin(), pps.end());
    x.insert(x.end(), {0xfc, 0xf9, 0xf8, 0x00}); // High profile: 4:2:0, 8-bit, no SPS ext
    format->encoderName = "libx264";
    return format;
}

std::vector<EncodedFrame> minuteOfFrames() {
    auto format = fullHDFormat();
    std::mt19937 random(7);
    std::vector<EncodedFrame> frames;
    const int size = 33 * 1024;
    for (int i = 0; i < 900; ++i) {
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, size);
        const std::uint32_t length = size - 4;
        packet->data[0] = static_cast<std::uint8_t>(length >> 24);
        packet->data[1] = static_cast<std::uint8_t>(length >> 16);
        packet->data[2] = static_cast<std::uint8_t>(length >> 8);
        packet->data[3] = static_cast<std::uint8_t>(length);
        const bool key = i % 15 == 0;
        packet->data[4] = key ? 0x65 : 0x41;
        for (int b = 5; b < size; ++b) {
            packet->data[b] = static_cast<std::uint8_t>(random() | 1);
        }
        packet->flags = key ? AV_PKT_FLAG_KEY : 0;
        EncodedFrame frame;
        frame.timestamp = 1000.0 + i / 15.0;
        frame.duration = 1.0 / 15;
        frame.byteCount = size;
        frame.isKeyframe = key;
        frame.payload = EncodedSample::referencing(*packet, format, 600000000 + i * 40000, 40000);
        av_packet_free(&packet);
        frames.push_back(std::move(frame));
    }
    return frames;
}

void BM_SaveSixtySecondBundle(benchmark::State& state) {
    const auto frames = minuteOfFrames();
    std::string pattern = (fs::temp_directory_path() / "snagreel-bench-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    std::int64_t bytes = 0;
    for (const auto& frame : frames) {
        bytes += frame.byteCount;
    }
    for (auto _ : state) {
        CaptureSnapshot snapshot;
        snapshot.frames = frames;
        snapshot.end = frames.back().timestamp + frames.back().duration;
        snapshot.source = CaptureSource{"display", 1, 1920, 1080};
        std::mutex mutex;
        std::condition_variable signal;
        std::optional<Result<CaptureBundle>> outcome;
        saveCaptureBundle(std::move(snapshot), 60, std::chrono::system_clock::now(),
                          CaptureConfiguration{}, root, [&](Result<CaptureBundle> result) {
                              std::lock_guard lock(mutex);
                              outcome = std::move(result);
                              signal.notify_all();
                          });
        {
            std::unique_lock lock(mutex);
            signal.wait(lock, [&] { return outcome.has_value(); });
        }
        if (!*outcome) {
            state.SkipWithError(outcome->error().description().c_str());
            break;
        }
        state.PauseTiming();
        fs::remove_all(outcome->value().directoryURL);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["clipMiB"] = static_cast<double>(bytes) / (1024 * 1024);
    fs::remove_all(root);
}
BENCHMARK(BM_SaveSixtySecondBundle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

} // namespace

BENCHMARK_MAIN();
