// The rewind's bookkeeping cost: a ring of real packet references fed at 15 fps
// with 33 KB frames and a keyframe a second, under the application's 60 s /
// 128 MiB budget.

#include "SnagreelCore/Ring/EncodedSample.hpp"
#include "SnagreelCore/Ring/ReplayRing.hpp"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/packet.h>
}

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

// Counting allocations needs a replaced global operator new on top of malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<std::int64_t> allocations{0};

} // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

using namespace snagreel;

constexpr double kFramesPerSecond = 15;
constexpr std::int64_t kFrameBytes = 33 * 1024;
constexpr std::int64_t kBudgetBytes = 134217728;
constexpr double kBudgetSeconds = 60;

// A minute and a bit of distinct packets, made once: the ring holds references to
// them, as it holds references to the encoder's packets in the recorder.
std::vector<EncodedSample> makePackets() {
    auto format = std::make_shared<CodecParameters>();
    std::vector<EncodedSample> samples;
    for (int index = 0; index < 1000; ++index) {
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(kFrameBytes));
        samples.push_back(EncodedSample::referencing(*packet, format, 0, 40000));
        av_packet_free(&packet);
    }
    return samples;
}

ReplayFrame<EncodedSample> frameAt(std::int64_t index, const std::vector<EncodedSample>& packets) {
    return ReplayFrame<EncodedSample>{static_cast<double>(index) / kFramesPerSecond,
                                      1 / kFramesPerSecond, kFrameBytes, index % 15 == 0,
                                      packets[static_cast<std::size_t>(index) % packets.size()]};
}

void BM_AppendOneHour(benchmark::State& state) {
    const auto packets = makePackets();
    const std::int64_t frames = static_cast<std::int64_t>(3600 * kFramesPerSecond);
    std::int64_t allocated = 0;
    for (auto _ : state) {
        ReplayRing<EncodedSample> ring(kBudgetBytes, kBudgetSeconds);
        // The first two minutes fill the ring and settle its storage; the rest is
        // the steady state the recorder lives in all day.
        std::int64_t index = 0;
        for (; index < 1800; ++index) {
            ring.append(frameAt(index, packets));
        }
        const auto before = allocations.load();
        for (; index < frames; ++index) {
            ring.append(frameAt(index, packets));
        }
        allocated += allocations.load() - before;
        benchmark::DoNotOptimize(ring.byteCount());
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["allocationsPerSteadyAppend"] = benchmark::Counter(
        static_cast<double>(allocated) / static_cast<double>(state.iterations() * (frames - 1800)));
}
BENCHMARK(BM_AppendOneHour)->Unit(benchmark::kMillisecond);

void BM_Selection60s(benchmark::State& state) {
    const auto packets = makePackets();
    ReplayRing<EncodedSample> ring(kBudgetBytes, kBudgetSeconds);
    std::int64_t index = 0;
    for (; index < 3600; ++index) {
        ring.append(frameAt(index, packets));
    }
    const double trigger = static_cast<double>(index) / kFramesPerSecond;
    std::size_t held = 0;
    for (auto _ : state) {
        auto selection = ring.selection(60, trigger);
        held = selection->frames.size();
        benchmark::DoNotOptimize(selection);
    }
    state.counters["framesSelected"] = static_cast<double>(held);
    state.counters["framesHeld"] = static_cast<double>(ring.frames().size());
    // What the ring itself spends per held frame: its slot (timing, size, flags and
    // the two payload references) and the storage kept for compaction.
    state.counters["ringBytesPerHeldFrame"] =
        static_cast<double>(sizeof(ReplayFrame<EncodedSample>)) * 2.0;
}
BENCHMARK(BM_Selection60s)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
