// What a portable report export costs for a full minute: a 30 MB clip.mp4 and 50
// evidence images of 200 KiB (40 linked from the report, 10 listed by an evidence
// index), read and checked into memory, then written through the staging folder with
// every file and folder flushed. Peak memory is the process's high-water mark over
// one operation (reset through /proc/self/clear_refs before it).

#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <unistd.h>

namespace {

using namespace snagreel;
using namespace snagreel::reports;
namespace fs = std::filesystem;

constexpr std::size_t kClipBytes = 30u * 1000u * 1000u;
constexpr std::size_t kImageBytes = 200u * 1024u;
constexpr int kLinkedImages = 40;
constexpr int kIndexedImages = 10;
constexpr const char* kReportID = "report-local-bench.md";

std::string randomBytes(std::size_t count, std::mt19937_64& random) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i + 8 <= count; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(bytes.data() + i, &value, 8);
    }
    return bytes;
}

void write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct BenchCapture {
    fs::path root;
    fs::path capture;
    fs::path out;

    BenchCapture() {
        char pattern[] = "/tmp/snagreel-report-export-bench-XXXXXX";
        root = fs::canonical(::mkdtemp(pattern));
        capture = root / "3f0c5e4a-8d1b-4c1e-9a51-0d4c7b2a9e10";
        out = root / "out";
        fs::create_directories(out);
        std::mt19937_64 random(11);
        write(capture / "clip.mp4", randomBytes(kClipBytes, random));
        std::string report = "# What went wrong\n\n";
        for (int i = 0; i < kLinkedImages; ++i) {
            const std::string name = "evidence/frame-" + std::to_string(i) + ".png";
            write(capture / name, randomBytes(kImageBytes, random));
            report += "![frame " + std::to_string(i) + "](" + name + ")\n";
        }
        std::string frames;
        for (int i = 0; i < kIndexedImages; ++i) {
            const std::string name = "shot-" + std::to_string(i) + ".jpg";
            write(capture / "evidence" / "run" / name, randomBytes(kImageBytes, random));
            frames += std::string(i ? "," : "") + R"({"id": "s)" + std::to_string(i) +
                      R"(", "timestampSeconds": )" + std::to_string(i * 5) + R"(, "path": ")" +
                      name + "\"}";
        }
        write(capture / "evidence" / "run" / "evidence.json",
              R"({"durationSeconds": 60, "frames": [)" + frames + "]}");
        report += "\n[Evidence index](evidence/run/evidence.json) and [the clip](clip.mp4).\n";
        write(capture / kReportID, report);
    }
    ~BenchCapture() { fs::remove_all(root); }

    static BenchCapture& shared() {
        static BenchCapture instance;
        return instance;
    }
};

// glibc raises its mmap threshold after large blocks are freed and then keeps later
// ones resident in the heap, which would hide them from the per-operation peak. A
// fixed threshold returns every large block to the system when it is freed.
const bool kFixedMmapThreshold = [] { return mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1; }();

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double peakMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

double rssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

ReportStore makeStore(benchmark::State& state, const BenchCapture& capture) {
    auto store = ReportStore::create(capture.capture);
    if (!store) {
        state.SkipWithError(store.error().description().c_str());
    }
    return *store;
}

void BM_PrepareExport(benchmark::State& state) {
    BenchCapture& capture = BenchCapture::shared();
    ReportStore store = makeStore(state, capture);
    double peakAbove = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const double base = rssMiB();
        resetPeak();
        auto plan = prepareExport(store, kReportID);
        peakAbove = std::max(peakAbove, peakMiB() - base);
        if (!plan) {
            state.SkipWithError(plan.error().description().c_str());
            break;
        }
        bytes = 0;
        for (const auto& item : plan->inventory) {
            bytes += static_cast<std::size_t>(item.byteCount);
        }
        benchmark::DoNotOptimize(plan);
    }
    benchmark::DoNotOptimize(kFixedMmapThreshold);
    state.counters["files"] = 2 + kLinkedImages + kIndexedImages + 1;
    state.counters["planMiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.counters["peakMiB"] = peakAbove;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_PrepareExport)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_WriteExport(benchmark::State& state) {
    BenchCapture& capture = BenchCapture::shared();
    ReportStore store = makeStore(state, capture);
    auto plan = prepareExport(store, kReportID);
    if (!plan) {
        state.SkipWithError(plan.error().description().c_str());
        return;
    }
    int n = 0;
    double peakAbove = 0;
    for (auto _ : state) {
        const fs::path target = capture.out / ("bundle-" + std::to_string(n++));
        const double base = rssMiB();
        resetPeak();
        auto written = exportReport(store, *plan, target);
        peakAbove = std::max(peakAbove, peakMiB() - base);
        if (!written) {
            state.SkipWithError(written.error().description().c_str());
            break;
        }
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
    }
    state.counters["peakMiB"] = peakAbove;
}
BENCHMARK(BM_WriteExport)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_PrepareAndWriteExport(benchmark::State& state) {
    BenchCapture& capture = BenchCapture::shared();
    ReportStore store = makeStore(state, capture);
    int n = 0;
    double peakAbove = 0;
    for (auto _ : state) {
        const fs::path target = capture.out / ("whole-" + std::to_string(n++));
        const double base = rssMiB();
        resetPeak();
        auto plan = prepareExport(store, kReportID);
        auto written =
            plan ? exportReport(store, *plan, target) : Result<void>(Unexpected{plan.error()});
        peakAbove = std::max(peakAbove, peakMiB() - base);
        if (!written) {
            state.SkipWithError(written.error().description().c_str());
            break;
        }
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
    }
    state.counters["peakMiB"] = peakAbove;
}
BENCHMARK(BM_PrepareAndWriteExport)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

BENCHMARK_MAIN();
