// Per-frame costs of the X11 screen stream at 1920x1080 on a private Xvfb: the
// shared-memory read, the cursor composite, the NV12 conversion, a whole complete
// tick and an idle tick (what a still screen costs).

#include "SnagreelCore/Linux/FrameConverter.hpp"
#include "SnagreelCore/Linux/X11ScreenCapture.hpp"
#include "devsupport/MovingContent.hpp"
#include "devsupport/XvfbServer.hpp"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace snagreel;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

devsupport::XvfbServer* display() {
    static std::unique_ptr<devsupport::XvfbServer> server =
        devsupport::XvfbServer::start(kWidth, kHeight);
    return server.get();
}

std::unique_ptr<X11FrameReader> openReader(benchmark::State& state, bool showsCursor) {
    if (!display()) {
        state.SkipWithError("no Xvfb");
        return nullptr;
    }
    auto service = makeX11ScreenCaptureService(display()->displayName());
    auto content = service->shareableContent();
    if (!content) {
        state.SkipWithError("no displays");
        return nullptr;
    }
    auto reader = X11FrameReader::open(
        display()->displayName(), ContentFilter{content->mainDisplayID, std::nullopt}, showsCursor);
    if (!reader) {
        state.SkipWithError(reader.error().description().c_str());
        return nullptr;
    }
    return std::move(*reader);
}

void BM_SharedMemoryRead(benchmark::State& state) {
    auto reader = openReader(state, false);
    if (!reader) {
        return;
    }
    for (auto _ : state) {
        auto read = reader->read();
        benchmark::DoNotOptimize(read);
    }
    state.SetBytesProcessed(state.iterations() * kWidth * kHeight * 4);
}
BENCHMARK(BM_SharedMemoryRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CursorComposite(benchmark::State& state) {
    auto reader = openReader(state, true);
    if (!reader) {
        return;
    }
    (void)reader->poll();
    (void)reader->read();
    for (auto _ : state) {
        reader->compositeCursor();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CursorComposite)->Unit(benchmark::kMicrosecond);

void BM_ConvertToNV12(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto converter = FrameConverter::create(kWidth, kHeight, width, height);
    if (!converter) {
        state.SkipWithError("no converter");
        return;
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 11));
    }
    for (auto _ : state) {
        auto image = (*converter)->convert(pixels.data(), kWidth * 4);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_ConvertToNV12)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// Read, cursor and conversion: what a changing screen costs per frame.
void BM_CompleteTick(benchmark::State& state) {
    auto reader = openReader(state, true);
    if (!reader) {
        return;
    }
    auto converter = FrameConverter::create(kWidth, kHeight, kWidth, kHeight);
    if (!converter) {
        state.SkipWithError("no converter");
        return;
    }
    for (auto _ : state) {
        (void)reader->poll();
        (void)reader->read();
        reader->compositeCursor();
        auto image = (*converter)->convert(reader->pixels(), reader->stride());
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_CompleteTick)->Unit(benchmark::kMillisecond)->UseRealTime();

// A still screen: events read, cursor looked at (arg 1) or not (arg 0), no read.
void BM_IdleTick(benchmark::State& state) {
    auto reader = openReader(state, state.range(0) != 0);
    if (!reader) {
        return;
    }
    (void)reader->poll();
    (void)reader->read();
    for (auto _ : state) {
        auto changed = reader->poll();
        if (!changed || *changed) {
            state.SkipWithError("the screen changed during the idle benchmark");
            return;
        }
    }
}
BENCHMARK(BM_IdleTick)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A screen in motion at 15 fps beside the reader: reads under load.
void BM_SharedMemoryReadUnderMotion(benchmark::State& state) {
    auto reader = openReader(state, false);
    if (!reader) {
        return;
    }
    auto content = devsupport::MovingContent::start(display()->displayName(),
                                                    devsupport::MovingContent::Mode::motion, 15);
    for (auto _ : state) {
        auto read = reader->read();
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_SharedMemoryReadUnderMotion)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
