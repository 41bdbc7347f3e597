// The history transfer's unpacking in front of the chart intake: a downloaded archive of
// 100,000 bar records (one item, ten items of 10,000, or 400 items of 250) opened from memory,
// unpacked item by item and appended to a freshly reset chart, as the data link does it.
//
// A rebuild with a whole series (1,500,000 bars, 84 MB) in the cache, as the window thread
// meets it: reading the cache file and handing it to the chart, which the window thread did at
// every rebuild, against the rebuild itself, whose transfer reads the file on its own thread.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "market/bar_series.h"
#include "market/history_cache.h"
#include "net/history_link.h"
#include "net/server_links.h"
#include "tests/links_support.h"

namespace {

using namespace zq;

test::Bytes Archive(int items, int perItem) {
    std::vector<test::Bytes> parts;
    int newest = 10'000'000;
    for (int i = 0; i < items; ++i) {
        std::vector<BarRecord> bars;
        for (int k = 0; k < perItem; ++k, --newest)
            bars.push_back(test::HistoryBar(1, newest, 200000 + (newest * 37) % 5000));
        parts.push_back(test::RecordBytes(bars));
    }
    return test::MakeZip(parts);
}

void UnzipAndApply(benchmark::State& state, int items, int perItem,
                   UnpackThreads threads = UnpackThreads::Two) {
    const test::Bytes zip = Archive(items, perItem);
    KLineData chart;
    for (auto _ : state) {
        chart.Reset(1, 15);
        const std::uint64_t generation = chart.Generation();
        bool opened = UnpackHistory(
            zip.data(), zip.size(),
            [&](const BarRecord* records, std::size_t count) {
                chart.AppendHistoryBars(records, count, generation);
                return true;
            },
            threads);
        benchmark::DoNotOptimize(opened);
    }
    if (chart.BarCount() != static_cast<std::size_t>(items) * perItem)
        state.SkipWithError("bars lost");
    state.SetItemsProcessed(state.iterations() * items * perItem);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(zip.size()));
    state.counters["archive_bytes"] = static_cast<double>(zip.size());
}

void BM_UnzipAndApplyOneItem(benchmark::State& state) {
    UnzipAndApply(state, 1, 100000);
}
void BM_UnzipAndApplyTenItems(benchmark::State& state) {
    UnzipAndApply(state, 10, 10000);
}

// As the stand-in server packs an answer: items of 250 records; unpacked on one thread, and
// on two.
void BM_UnzipAndApplyServerItems(benchmark::State& state) {
    UnzipAndApply(state, 400, 250, state.range(0) == 1 ? UnpackThreads::One : UnpackThreads::Two);
}

// A data directory whose cache holds instrument 1 at 15 minutes at the series' bound; the links
// point at a port where nothing listens, so a transfer ends at its connection.
class FullCache {
  public:
    FullCache() {
        char path[] = "/tmp/zq-links-bench-XXXXXX";
        if (::mkdtemp(path)) dir_ = path;
        test::PointLinksAt(dir_, 1, 1);
        written_ = WriteHistoryFile(HistoryFilePath(HistoryDirectory(), 1, 15),
                                    test::HistoryBars(1, 90'000'000, kMaxBarsPerSeries));
    }
    ~FullCache() { test::ClearLinksEnvironment(dir_); }
    bool Written() const { return written_; }

  private:
    std::filesystem::path dir_;
    bool written_ = false;
};

void BM_ReadFullCacheAsTheWindowThreadDid(benchmark::State& state) {
    FullCache cache;
    KLineData chart;
    for (auto _ : state) {
        chart.Reset(1, 15);
        chart.SetHistory(ReadHistoryCache(HistoryDirectory(), 1, 15));
    }
    if (!cache.Written() || chart.HistorySize() != kMaxBarsPerSeries)
        state.SkipWithError("cache not read");
}

void BM_RebuildLinksWithFullCache(benchmark::State& state) {
    FullCache cache;
    ServerLinks links(nullptr, 1, {});
    for (auto _ : state) {
        links.RebuildLinks();
        state.PauseTiming();
        while (links.HistoryBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.ResumeTiming();
    }
    if (!cache.Written() || links.Chart().HistorySize() != kMaxBarsPerSeries)
        state.SkipWithError("cache not read");
}

BENCHMARK(BM_ReadFullCacheAsTheWindowThreadDid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildLinksWithFullCache)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_UnzipAndApplyOneItem)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnzipAndApplyTenItems)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnzipAndApplyServerItems)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
