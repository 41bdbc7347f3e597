// The Heikin Ashi bars the chart keeps up to date bar by bar against the full rebuild from the
// raw bars: over a long random series with a transfer and its merge, finished bars, live
// updates and scrolling, the display list and every visible bar's geometry must be the same.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "market/bar_series.h"
#include "market/heikin_ashi.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::LiveBar;

class HeikinAshiSeriesTest : public ::testing::Test {
  protected:
    // A bar around `price` with random wicks; now and then prices near the 32-bit limit, where
    // the four-price sum needs 64 bits, and odd sums that the divisions truncate.
    BarRecord RandomPrices(BarRecord r) {
        std::uniform_int_distribution<int> move(-40, 40);
        std::uniform_int_distribution<int> wick(0, 25);
        std::uniform_int_distribution<int> rare(0, 200);
        const int base = rare(rng) == 0 ? 2'000'000'000 : 50'000;
        price = std::clamp(price + move(rng), 1000, 100'000);
        r.open = base + price;
        r.close = base + price + move(rng);
        r.high = std::max(r.open, r.close) + wick(rng);
        r.low = std::min(r.open, r.close) - wick(rng);
        r.reference = r.open - move(rng);
        return r;
    }
    BarRecord Finished() { return RandomPrices(FinishedBar(seq++, 0, 0, 0, 0)); }
    BarRecord Live() { return RandomPrices(LiveBar(0, 0, 0, 0)); }

    // The display list, and the visible geometry while it follows the bars (after a layout or
    // a live update drawn in place), against a rebuild from the raw bars.
    void ExpectSameAsRebuild(const char* when, bool geometryCurrent = true) {
        SCOPED_TRACE(when);
        std::deque<BarRecord> raw;
        for (const BarRecord& r : chart.RawBars()) raw.push_back(r);
        std::deque<BarRecord> all;
        BuildHeikinAshi(raw, all);
        const bool live = !raw.empty() && IsLiveBar(raw.front());

        const std::vector<BarRecord> display = chart.DisplayBars();
        ASSERT_EQ(display.size(), all.size() - (live ? 1 : 0));
        for (std::size_t i = 0; i < display.size(); ++i) {
            const BarRecord& want = all[i + (live ? 1 : 0)];
            ASSERT_EQ(display[i].open, want.open) << i;
            ASSERT_EQ(display[i].close, want.close) << i;
            ASSERT_EQ(display[i].high, want.high) << i;
            ASSERT_EQ(display[i].low, want.low) << i;
            ASSERT_EQ(display[i].reference, want.reference) << i;
            ASSERT_TRUE(SameBar(display[i], want)) << i;
        }

        if (!geometryCurrent) return;
        const ChartState s = chart.State();
        const std::vector<BarGeometry> g = chart.Geometry();
        for (std::size_t k = 0; k < g.size(); ++k) {
            const std::size_t at = static_cast<std::size_t>(s.firstVisible) + k;
            ASSERT_LT(at, all.size());
            const BarRecord& want = all[at];
            ASSERT_TRUE(SameBar(g[k].raw, raw[at])) << k;
            ASSERT_EQ(g[k].high, want.high) << k;
            ASSERT_EQ(g[k].low, want.low) << k;
            ASSERT_EQ(g[k].yHigh, s.Scale().Y(want.high)) << k;
            ASSERT_EQ(g[k].yLow, s.Scale().Y(want.low)) << k;
            ASSERT_EQ(g[k].yOpen, s.Scale().Y(want.open)) << k;
            ASSERT_EQ(g[k].direction, Direction(want.open, want.close, want.reference)) << k;
        }
    }

    std::mt19937 rng{15};
    int price = 50'000;
    int seq = 0;
    KLineData chart;
};

TEST_F(HeikinAshiSeriesTest, KeptUpToDateItEqualsTheFullRebuildBarForBar) {
    // The cache: 2,000 older bars; the transfer: 3,000 newer ones whose oldest is the newest
    // cached bar, with bars finishing while it runs.
    std::deque<BarRecord> cached;
    for (int i = 0; i < 2000; ++i) cached.push_front(Finished());
    std::vector<BarRecord> download{cached.front()};
    for (int i = 0; i < 3000; ++i) download.insert(download.begin(), Finished());

    chart.Reset(1, 15);
    chart.SetChartType(chart_type::HeikinAshi);
    chart.SetClientSize(1200, 700);
    chart.SetHistory(cached);
    chart.AppendHistoryBars(download.data(), 1500);
    ASSERT_TRUE(chart.Layout());
    ExpectSameAsRebuild("first part of the transfer");
    chart.AppendHistoryBars(download.data() + 1500, download.size() - 1500);
    chart.HoldFinishedBar(Finished());
    chart.HoldFinishedBar(Finished());
    ASSERT_TRUE(chart.MergeHistory());
    ASSERT_EQ(chart.BarCount(), 5002u);
    ASSERT_TRUE(chart.Layout());
    ExpectSameAsRebuild("after the merge");

    std::uniform_int_distribution<int> op(0, 99);
    bool current = true;
    int drawnInPlace = 0;
    for (int step = 0; step < 4000; ++step) {
        const int o = op(rng);
        if (o < 60) {
            const LiveResult r = chart.LiveUpdate(Live());
            if (r == LiveResult::Band) ++drawnInPlace;
            if (r == LiveResult::FullLayout) current = true;
            if (r == LiveResult::NotDrawn) current = false;
        } else if (o < 80) {
            chart.AddFinishedBar(Finished());
            current = false;
        } else {
            if (o < 85) chart.SetFirstVisible(std::uniform_int_distribution<int>(0, 300)(rng));
            if (o >= 85 && o < 90) chart.SetFirstVisible(0);
            chart.Layout();
            current = true;
        }
        if (step % 37 == 0) ExpectSameAsRebuild("during the feed", current);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(drawnInPlace, 100);  // the in-place path was taken, not only full layouts
    chart.Layout();
    ExpectSameAsRebuild("at the end");

    // Back to candles and again to Heikin Ashi: the list kept beside the raw bars still holds.
    chart.ToggleHeikinAshi();
    chart.AddFinishedBar(Finished());
    chart.LiveUpdate(Live());
    ASSERT_TRUE(chart.Layout());
    EXPECT_EQ(chart.DisplayBars().front().close, chart.RawBars()[1].close);
    chart.ToggleHeikinAshi();
    chart.AddFinishedBar(Finished());
    ASSERT_TRUE(chart.Layout());
    ExpectSameAsRebuild("after the toggles");
}

// Older bars joined behind a series built bar by bar change every Heikin Ashi bar after them.
TEST_F(HeikinAshiSeriesTest, OlderBarsJoinedBehindChangeEveryLaterBar) {
    chart.Reset(1, 15);
    chart.SetChartType(chart_type::HeikinAshi);
    chart.SetClientSize(800, 600);
    for (int i = 0; i < 50; ++i) chart.AddFinishedBar(Finished());
    ASSERT_TRUE(chart.Layout());
    ExpectSameAsRebuild("built from the front");
    // Older bars joined at the back.
    std::vector<BarRecord> older;
    for (int i = 0; i < 30; ++i) older.push_back(RandomPrices(FinishedBar(-1 - i, 0, 0, 0, 0)));
    chart.AppendHistoryBars(older.data(), older.size());
    chart.LiveUpdate(Live());
    ASSERT_TRUE(chart.Layout());
    ExpectSameAsRebuild("older bars joined");
}

}  // namespace
}  // namespace zq
