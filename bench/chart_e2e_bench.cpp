// From the server's history answer to the first painted frame: a zipped answer of 100,000 or
// 1,000,000 bars, made by the stand-in server's own data-port code, is unpacked into a freshly
// reset chart, merged with 1,000 cached bars, laid out and painted in full on a 1920 x 1080
// image by a fresh painter (the first frame of a window). The cache file is then written
// atomically, after the frame as the history transfer may do it. The figure is the time to the
// painted frame; each step is a counter, and so is the cache write. A second case reports the
// memory a chart holds per bar at 1,000,000 bars: resident set after the load less before it,
// divided by the bar count.
//
// Painting needs a Qt application on the offscreen platform: this program has its own main().
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QtGlobal>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/qt_bench_main.h"
#include "chart/ui/chart_painter.h"
#include "market/bar_series.h"
#include "market/history_cache.h"
#include "net/history_link.h"
#include "server/links/data_link.h"

namespace {

using namespace zq;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kCached = 1000;

BarRecord Bar(int seq) {
    return bench::Bar(seq, 200000 + (seq * 37) % 5000);
}

// The downloaded bars (newest first, the oldest being the newest cached bar), the answer the
// data port sends for them and the cached bars behind them.
struct Transfer {
    std::vector<BarRecord> download;
    std::string answer;
    std::deque<BarRecord> cached;

    explicit Transfer(int count) {
        const int newest = kCached + count;
        for (int i = 0; i < count; ++i) download.push_back(Bar(newest - i));
        for (int seq = kCached + 1; seq > 1; --seq) cached.push_back(Bar(seq));
        answer = server::ZipBarRecords(download).value_or(std::string());
    }
};

InstrumentRecord Product(int) {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = 2;
    return r;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Unpacks the answer into the chart and merges it; false when a bar went missing.
bool Intake(KLineData& chart, const Transfer& t, std::uint64_t generation) {
    std::size_t added = 0;
    const bool opened = UnpackHistory(
        t.answer.data(), t.answer.size(), [&](const BarRecord* records, std::size_t count) {
            added += chart.AppendHistoryBars(records, count, generation);
            return true;
        });
    return opened && added == t.download.size();
}

void BM_AnswerToFirstFrame(benchmark::State& state) {
    const Transfer t(static_cast<int>(state.range(0)));
    if (t.answer.empty()) return state.SkipWithError("no archive");
    bench::TempDir dir("zq-e2e-bench-");
    KLineData chart;
    chart.hooks.productRecord = Product;
    chart.SetClientSize(kWidth, kHeight);
    QImage image = MakeChartImage(kWidth, kHeight);
    double unzip = 0, merge = 0, layout = 0, paint = 0, write = 0;
    for (auto _ : state) {
        state.PauseTiming();
        chart.Reset(1, 15);
        chart.SetHistory(t.cached);  // read from the cache before the transfer starts
        const std::uint64_t generation = chart.Generation();
        auto painter = std::make_unique<ChartPainter>();
        const ChartTexts texts{WatermarkText(), CaptionText(chart.Product(), chart.Period())};
        state.ResumeTiming();

        const auto t0 = Clock::now();
        if (!Intake(chart, t, generation)) return state.SkipWithError("bars lost");
        const auto t1 = Clock::now();
        const bool writeCache = chart.MergeHistory(generation);
        const auto t2 = Clock::now();
        chart.Layout();
        const auto t3 = Clock::now();
        painter->Paint(image, chart, texts);
        const auto t4 = Clock::now();
        if (!writeCache || !WriteHistoryCache(dir.path.string(), chart, generation))
            return state.SkipWithError("cache not written");
        const auto t5 = Clock::now();

        state.SetIterationTime(std::chrono::duration<double>(t4 - t0).count());
        unzip += Ms(t1 - t0);
        merge += Ms(t2 - t1);
        layout += Ms(t3 - t2);
        paint += Ms(t4 - t3);
        write += Ms(t5 - t4);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["unzip_intake_ms"] = unzip / n;
    state.counters["merge_ms"] = merge / n;
    state.counters["layout_ms"] = layout / n;
    state.counters["paint_ms"] = paint / n;
    state.counters["cache_write_ms"] = write / n;
    state.counters["answer_bytes"] = static_cast<double>(t.answer.size());
}
BENCHMARK(BM_AnswerToFirstFrame)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

long ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

// The chart's own memory per bar after a transfer of 1,000,000 bars, laid out and painted.
void BM_MemoryPerBar(benchmark::State& state) {
    const Transfer t(static_cast<int>(state.range(0)));
    QImage image = MakeChartImage(kWidth, kHeight);
    double perBar = 0;
    for (auto _ : state) {
        ::malloc_trim(0);
        const long before = ResidentBytes();
        auto chart = std::make_unique<KLineData>();
        chart->hooks.productRecord = Product;
        chart->SetClientSize(kWidth, kHeight);
        chart->Reset(1, 15);
        chart->SetHistory(t.cached);
        if (!Intake(*chart, t, chart->Generation()) || !chart->MergeHistory())
            return state.SkipWithError("load failed");
        chart->Layout();
        ChartPainter painter;
        painter.Paint(image, *chart, {WatermarkText(), CaptionText(Product(1), 15)});
        perBar =
            static_cast<double>(ResidentBytes() - before) / static_cast<double>(chart->BarCount());
        state.PauseTiming();
        chart.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_bar"] = perBar;
}
BENCHMARK(BM_MemoryPerBar)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return zq::bench::RunQtBenchmarks(argc, argv);
}
