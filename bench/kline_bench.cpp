// The K-line data path: a history transfer's chart side (intake of the downloaded records,
// merge with the cache, cache write), a full layout over series of 1,000 to 1,000,000 bars in
// both chart types, and one live update that stays inside the visible price range.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "market/bar_series.h"
#include "market/history_cache.h"

namespace {

using namespace zq;

using bench::Bar;

BarRecord Live(int price) {
    BarRecord r = Bar(0, price);
    std::snprintf(r.time, sizeof r.time, "15:30");
    return r;
}

// `count` bars newest first, seq from `newest` down; prices wander so the visible range moves.
std::vector<BarRecord> Series(int count, int newest) {
    std::vector<BarRecord> v;
    v.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        int seq = newest - i;
        v.push_back(Bar(seq, 200000 + (seq * 37) % 5000));
    }
    return v;
}

// What a history transfer hands the chart once it has the records of the archive. The zip
// items are unpacked before this; a transfer's unpacking belongs in front of this call.
void ApplyDownloadedRecords(KLineData& chart, const std::vector<BarRecord>& records,
                            std::uint64_t generation) {
    chart.AppendHistoryBars(records.data(), records.size(), generation);
}

// 100,000 downloaded bars whose oldest is the newest of 1,000 cached bars: intake, merge,
// atomic cache write (with its fsync).
void BM_HistoryTransfer(benchmark::State& state) {
    bench::TempDir dir("zq-kline-bench-");
    const auto download = Series(100000, 200999);
    std::deque<BarRecord> cached;
    for (const BarRecord& b : Series(1000, 101000)) cached.push_back(b);
    KLineData chart;
    for (auto _ : state) {
        chart.Reset(1, 15);
        chart.SetHistory(cached);
        const std::uint64_t generation = chart.Generation();
        ApplyDownloadedRecords(chart, download, generation);
        bool write = chart.MergeHistory(generation);
        if (!write || !WriteHistoryCache(dir.path.string(), chart, generation)) {
            state.SkipWithError("merge or write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_HistoryTransfer)->Unit(benchmark::kMillisecond);

void FillChart(KLineData& chart, int count, int type, unsigned indicators = 0) {
    chart.Reset(1, 15);
    chart.SetIndicators(indicators);
    const auto bars = Series(count, count);
    chart.AppendHistoryBars(bars.data(), bars.size());
    chart.AddFinishedBar(Live(200000));
    chart.SetChartType(type);
    chart.SetClientSize(1200, 800);
    chart.Layout();
}

// Full layout: widths, visible range, price scale and the geometry of the visible bars.
void BM_Layout(benchmark::State& state) {
    KLineData chart;
    FillChart(chart, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(chart.Layout());
    state.SetLabel(state.range(1) == chart_type::HeikinAshi ? "heikin-ashi" : "candles");
}
BENCHMARK(BM_Layout)
    ->ArgsProduct({{1000, 100000, 1000000}, {chart_type::Candles, chart_type::HeikinAshi}})
    ->Unit(benchmark::kMicrosecond);

// The same with the moving averages and Bollinger bands of the visible bars.
void BM_LayoutIndicators(benchmark::State& state) {
    KLineData chart;
    FillChart(chart, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              chart_indicator::All);
    for (auto _ : state) benchmark::DoNotOptimize(chart.Layout());
    state.SetLabel(state.range(1) == chart_type::HeikinAshi ? "heikin-ashi" : "candles");
}
BENCHMARK(BM_LayoutIndicators)
    ->ArgsProduct({{1000, 100000, 1000000}, {chart_type::Candles, chart_type::HeikinAshi}})
    ->Unit(benchmark::kMicrosecond);

// One live update inside the visible range: the newest geometry recomputed in place (and, with
// the indicators on, the newest bar's values).
void LiveUpdateInRange(benchmark::State& state, unsigned indicators) {
    KLineData chart;
    FillChart(chart, 100000, static_cast<int>(state.range(0)), indicators);
    const ChartState s = chart.State();
    const int mid = (s.hi + s.lo) / 2;
    BarRecord live = Live(mid);
    live.high = mid + 1;
    live.low = mid - 1;
    int i = 0;
    for (auto _ : state) {
        live.close = mid + (i++ & 1);
        if (chart.LiveUpdate(live) != LiveResult::Band) {
            state.SkipWithError("left the range");
            break;
        }
    }
    state.SetLabel(state.range(0) == chart_type::HeikinAshi ? "heikin-ashi" : "candles");
}
void BM_LiveUpdateInRange(benchmark::State& state) {
    LiveUpdateInRange(state, 0);
}
BENCHMARK(BM_LiveUpdateInRange)->Arg(chart_type::Candles)->Arg(chart_type::HeikinAshi);
void BM_LiveUpdateInRangeIndicators(benchmark::State& state) {
    LiveUpdateInRange(state, chart_indicator::All);
}
BENCHMARK(BM_LiveUpdateInRangeIndicators)->Arg(chart_type::Candles)->Arg(chart_type::HeikinAshi);

}  // namespace
