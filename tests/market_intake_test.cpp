// Downloaded bars handed to the chart many at a time: bars of the chart's instrument keep their
// order across signals and bars of other instruments between them, the signals reach the
// signal intake in order, and a refused generation takes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "market/bar_series.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::SignalBar;
using test::Time;

TEST(HistoryBlockIntakeTest, MixedRecordsInOneCall) {
    KLineData chart;
    chart.Reset(3, 60);
    std::vector<int> signals;
    chart.hooks.historySignal = [&](const BarRecord& s) { signals.push_back(s.word0); };

    // Runs of every length, at the start, in the middle and at the end, with signals and
    // foreign bars alone and side by side.
    std::vector<BarRecord> records;
    std::vector<std::string> kept;
    int seq = 1000;
    const std::string pattern = "SbbFbSSbbbFFbSbFbbbbbS";
    for (char c : pattern) {
        if (c == 'b') {
            records.push_back(FinishedBar(seq, 5, 6, 7, 4, 3));
            kept.push_back(Time(records.back()));
        } else if (c == 'F') {
            records.push_back(FinishedBar(seq, 5, 6, 7, 4, 8));
        } else {
            records.push_back(SignalBar());
            records.back().word0 = seq;  // tells the signals apart
        }
        --seq;
    }
    EXPECT_EQ(chart.AppendHistoryBars(records.data(), records.size(), chart.Generation()),
              kept.size());
    std::vector<std::string> raw;
    for (const BarRecord& r : chart.RawBars()) raw.push_back(Time(r));
    EXPECT_EQ(raw, kept);

    std::vector<int> expectedSignals;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] == 'S') expectedSignals.push_back(1000 - static_cast<int>(i));
    EXPECT_EQ(signals, expectedSignals);

    // Appended behind what is there; a stale generation adds nothing.
    const BarRecord more = FinishedBar(1, 5, 6, 7, 4, 3);
    EXPECT_EQ(chart.AppendHistoryBars(&more, 1, chart.Generation()), 1u);
    EXPECT_EQ(Time(chart.RawBars().back()), Time(more));
    const std::uint64_t old = chart.Generation();
    chart.Reset(3, 60);
    EXPECT_EQ(chart.AppendHistoryBars(records.data(), records.size(), old), 0u);
    EXPECT_EQ(chart.BarCount(), 0u);
}

// Paging further back, transfer after transfer, never takes the series past its bound: the
// newest bars stay and the oldest of the last transfer are dropped.
TEST(HistoryBlockIntakeTest, PagingStopsAtTheSeriesBound) {
    KLineData chart;
    chart.Reset(3, 60);
    const std::size_t run = kMaxBarsPerSeries / 2 + 1;
    // Three pages, each older than the one before, newest first.
    std::vector<BarRecord> records;
    records.reserve(3 * run);
    for (std::size_t i = 3 * run; i > 0; --i)
        records.push_back(FinishedBar(static_cast<int>(i), 5, 6, 7, 4, 3));
    EXPECT_EQ(chart.AppendHistoryBars(records.data(), run), run);
    EXPECT_EQ(chart.AppendHistoryBars(records.data() + run, run), kMaxBarsPerSeries - run);
    EXPECT_EQ(chart.AppendHistoryBars(records.data() + 2 * run, run), 0u);
    EXPECT_EQ(chart.BarCount(), kMaxBarsPerSeries);
    EXPECT_TRUE(SameBar(chart.RawBars().back(), records[kMaxBarsPerSeries - 1]));
}

// A page answered with bars the series holds already (all of them again, or overlapping the
// oldest) adds only the bars older than the oldest held, so the chart and the cache written
// from it hold every bar once.
TEST(HistoryBlockIntakeTest, APageOfBarsAlreadyHeldAddsNoneTwice) {
    KLineData chart;
    chart.Reset(3, 60);
    std::vector<BarRecord> page;
    for (int i = 100; i > 50; --i) page.push_back(FinishedBar(i, 5, 6, 7, 4, 3));
    ASSERT_EQ(chart.AppendHistoryBars(page.data(), page.size()), 50u);
    EXPECT_EQ(chart.AppendHistoryBars(page.data(), page.size()), 0u);
    std::vector<BarRecord> overlapping;
    for (int i = 60; i > 40; --i) overlapping.push_back(FinishedBar(i, 5, 6, 7, 4, 3));
    // A bar repeated within the page counts once.
    overlapping.insert(overlapping.begin() + 15, overlapping[14]);
    EXPECT_EQ(chart.AppendHistoryBars(overlapping.data(), overlapping.size()), 10u);
    const std::vector<BarRecord> bars = chart.RawBars();
    ASSERT_EQ(bars.size(), 60u);
    for (std::size_t i = 0; i < bars.size(); ++i)
        EXPECT_EQ(Time(bars[i]), Time(FinishedBar(100 - static_cast<int>(i), 0, 0, 0, 0))) << i;
}

}  // namespace
}  // namespace zq
