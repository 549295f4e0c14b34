// What rendering a report costs as it grows: a realistic report (headings,
// paragraphs with inline markup and links, lists, code) of 1 MB and 10 MB, to
// the preview blocks and to the HTML page. Rendering must stay linear, so the
// 10 MB case should cost about ten times the 1 MB one; the peak resident size
// shows the copies the renderer makes.
//
//   build/rel/bench/ReportRenderBenchmark --benchmark_counters_tabular=true

#include "SnagreelReports/ReportPresentation.hpp"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <string>

namespace {

using namespace snagreel::ReportPresentation;

std::string realisticReport(std::size_t bytes) {
    const std::string section =
        "## Step {n}: the save button froze\n"
        "The user pressed **Save** and the window stopped answering for *about two seconds*.\n"
        "The network path was `satisfied` and the thermal state `nominal`; see the "
        "[moment in the clip](clip.mp4#t=12.5) and the [frame](evidence/run/frame-01.png).\n"
        "A related upstream issue: [tracker](https://example.com/issues/42 \"issue\"). An "
        "unsafe link stays text: [x](javascript:alert(1)) & <b>raw</b>.\n"
        "\n"
        "1. Open the document\n"
        "2. Press `Cmd-S` while *typing*\n"
        "3. Watch the spinner\n"
        "\n"
        "- frame drops: 3\n"
        "- gaps: none\n"
        "\n"
        "```log\n"
        "12:00:01.250 save started <main>\n"
        "12:00:03.400 save finished\n"
        "```\n\n";
    std::string text = "# Report\n\n";
    text.reserve(bytes + section.size());
    for (int n = 1; text.size() < bytes; ++n) {
        std::string copy = section;
        copy.replace(copy.find("{n}"), 3, std::to_string(n));
        text += copy;
    }
    return text;
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_RenderHtml(benchmark::State& state) {
    const std::string report = realisticReport(static_cast<std::size_t>(state.range(0)) << 20);
    std::size_t out = 0;
    for (auto _ : state) {
        const std::string page = html(report, "Snagreel report");
        out = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * report.size()));
    state.counters["in_MiB"] = static_cast<double>(report.size()) / (1 << 20);
    state.counters["out_MiB"] = static_cast<double>(out) / (1 << 20);
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

void BM_RenderBlocks(benchmark::State& state) {
    const std::string report = realisticReport(static_cast<std::size_t>(state.range(0)) << 20);
    std::size_t count = 0;
    for (auto _ : state) {
        const auto list = blocks(report);
        count = list.size();
        benchmark::DoNotOptimize(list.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * report.size()));
    state.counters["blocks"] = static_cast<double>(count);
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

// The worst shapes for a naive scanner: every "[" or "*" starts a search over
// the rest of one 1 or 10 MB line.
void BM_RenderHostileLine(benchmark::State& state) {
    std::string line;
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
    while (line.size() < bytes) {
        line += "[a](x](   **b *c `d ";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(html(line, "").size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

BENCHMARK(BM_RenderHtml)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderBlocks)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderHostileLine)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
