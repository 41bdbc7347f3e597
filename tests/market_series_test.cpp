// The chart's bar series: history intake, finished bars, live updates, Heikin Ashi, the reset
// and its generations, and the locks under a writer and a reader thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "market/bar_series.h"
#include "market/heikin_ashi.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::LiveBar;
using test::SignalBar;
using test::Time;

// A chart of instrument 1 with `count` finished bars 1000..1000+count, newest first, laid out
// on an 800 x 600 client area.
class SeriesTest : public ::testing::Test {
  protected:
    void Fill(int count, int width = 800, int height = 600) {
        test::FillChart(chart, count, width, height);
        chart.hooks.invalidateAll = [this] { ++fullInvalidations; };
        chart.hooks.invalidateBand = [this](const PixelRect& r) { bands.push_back(r); };
    }
    KLineData chart;
    int fullInvalidations = 0;
    std::vector<PixelRect> bands;
};

TEST(HeikinAshiTest, OldestBarKeepsItsPricesButTheCloseIsTheTruncatedMean) {
    BarRecord raw = FinishedBar(1, 101, 103, 104, 99);
    BarRecord ha = HeikinAshiBar(raw, BarRecord{});
    EXPECT_EQ(ha.close, 101);  // 407 / 4 = 101.75
    EXPECT_EQ(ha.open, 101);
    EXPECT_EQ(ha.high, 104);
    EXPECT_EQ(ha.low, 99);
    EXPECT_EQ(ha.reference, raw.reference);
}

TEST(HeikinAshiTest, LaterBarsAverageThePreviousBarAndStretchHighAndLow) {
    std::deque<BarRecord> raw;
    raw.push_front(FinishedBar(1, 100, 103, 104, 99));  // HA close 101
    raw.push_front(FinishedBar(2, 102, 101, 103, 100));
    raw.push_front(FinishedBar(3, 5000, 5000, 5001, 4999));  // gap up: open below the low
    std::deque<BarRecord> ha;
    BuildHeikinAshi(raw, ha);
    ASSERT_EQ(ha.size(), 3u);
    EXPECT_EQ(Time(ha[1]), Time(raw[1]));
    EXPECT_EQ(ha[1].open, 100);  // (100 + 101) / 2, truncated
    EXPECT_EQ(ha[1].close, 101);
    EXPECT_EQ(ha[1].high, 103);
    EXPECT_EQ(ha[1].low, 100);
    EXPECT_EQ(ha[1].reference, 101);

    EXPECT_EQ(ha[0].open, 100);  // (100 + 101) / 2
    EXPECT_EQ(ha[0].close, 5000);
    EXPECT_EQ(ha[0].high, 5001);
    EXPECT_EQ(ha[0].low, 100);  // the open lies far below the raw low
}

TEST(HeikinAshiTest, PricesNearTheIntegerLimitDoNotOverflow) {
    const int big = 2'000'000'000;
    BarRecord a = FinishedBar(1, big, big, big, big);
    BarRecord b = FinishedBar(2, big, big + 100, big + 120, big - 50);
    BarRecord ha = HeikinAshiBar(b, HeikinAshiBar(a, BarRecord{}));
    EXPECT_EQ(ha.open, big);
    EXPECT_EQ(ha.close, big + 42);  // (4 big + 170) / 4
}

TEST_F(SeriesTest, HistoryIntakeKeepsOrderAndRoutesSignalsAndForeignBars) {
    chart.Reset(3, 60);
    std::vector<BarRecord> signals;
    chart.hooks.historySignal = [&](const BarRecord& s) { signals.push_back(s); };
    EXPECT_TRUE(chart.AppendHistoryBar(FinishedBar(9, 1, 1, 1, 1, 3)));
    EXPECT_FALSE(chart.AppendHistoryBar(SignalBar(3)));
    EXPECT_FALSE(chart.AppendHistoryBar(FinishedBar(8, 1, 1, 1, 1, 4)));
    EXPECT_TRUE(chart.AppendHistoryBar(FinishedBar(7, 1, 1, 1, 1, 3)));

    auto raw = chart.RawBars();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(Time(raw[0]), "00000009");
    EXPECT_EQ(Time(raw[1]), "00000007");
    EXPECT_EQ(signals.size(), 1u);
}

TEST_F(SeriesTest, LiveUpdatesOverwriteTheFrontAndFinishedBarsReplaceIt) {
    chart.Reset(1, 15);
    EXPECT_EQ(chart.LiveUpdate(LiveBar(10, 11, 12, 9)), LiveResult::Ignored);
    EXPECT_EQ(chart.BarCount(), 0u);

    Fill(3);
    chart.LiveUpdate(LiveBar(1003, 1004, 1006, 1001));
    chart.LiveUpdate(LiveBar(1003, 1005, 1007, 1001));
    auto raw = chart.RawBars();
    ASSERT_EQ(raw.size(), 4u);  // two updates, one more bar
    EXPECT_EQ(raw[0].close, 1005);

    chart.AddFinishedBar(FinishedBar(3, 1003, 1006, 1007, 1001));
    raw = chart.RawBars();
    ASSERT_EQ(raw.size(), 4u);  // the live bar made room for the finished one
    EXPECT_EQ(Classify(raw[0]), BarKind::Finished);
    EXPECT_EQ(raw[0].close, 1006);

    chart.AddFinishedBar(FinishedBar(4, 1006, 1006, 1006, 1006));
    EXPECT_EQ(chart.BarCount(), 5u);  // no live bar in front: simply added
}

TEST_F(SeriesTest, BarsClosingDuringTheFirstTransferGoInFrontOfItOnce) {
    // The download was served before bar 101 closed: it ends with the stale live bar of 101.
    chart.Reset(1, 15);
    chart.HoldFinishedBar(FinishedBar(101, 1010, 1012, 1013, 1009));
    EXPECT_EQ(chart.BarCount(), 0u) << "kept aside while the download runs";
    std::vector<BarRecord> download = {LiveBar(1010, 1011, 1011, 1010)};
    for (int seq = 100; seq > 90; --seq)
        download.push_back(FinishedBar(seq, 1000, 1001, 1002, 999));
    chart.AppendHistoryBars(download.data(), download.size());
    EXPECT_TRUE(chart.MergeHistory());
    auto raw = chart.RawBars();
    ASSERT_EQ(raw.size(), 11u);  // the stale live bar made room for the finished one
    EXPECT_EQ(Time(raw[0]), "00000101");
    EXPECT_EQ(raw[0].close, 1012);
    EXPECT_EQ(Time(raw[1]), "00000100");

    // Once merged, a closing bar goes in front at once.
    chart.HoldFinishedBar(FinishedBar(102, 1012, 1014, 1015, 1011));
    EXPECT_EQ(chart.BarCount(), 12u);

    // Served after the close: the download holds bar 101 already and a new live bar.
    chart.Reset(1, 15);
    chart.HoldFinishedBar(FinishedBar(101, 1010, 1012, 1013, 1009));
    chart.HoldFinishedBar(FinishedBar(100, 1000, 1001, 1002, 999));
    download = {LiveBar(1012, 1012, 1012, 1012, 1, "15:45"),
                FinishedBar(101, 1010, 1012, 1013, 1009), FinishedBar(100, 1000, 1001, 1002, 999)};
    chart.AppendHistoryBars(download.data(), download.size());
    EXPECT_TRUE(chart.MergeHistory());
    raw = chart.RawBars();
    ASSERT_EQ(raw.size(), 3u) << "no bar twice";
    EXPECT_TRUE(IsLiveBar(raw[0]));
    EXPECT_EQ(Time(raw[1]), "00000101");

    // A reset forgets what was kept for the series before it.
    chart.Reset(1, 15);
    chart.HoldFinishedBar(FinishedBar(300, 1000, 1001, 1002, 999));
    chart.Reset(1, 30);
    download = {FinishedBar(200, 1000, 1001, 1002, 999)};
    chart.AppendHistoryBars(download.data(), download.size());
    chart.MergeHistory();
    EXPECT_EQ(chart.BarCount(), 1u);
}

TEST_F(SeriesTest, LiveUpdateRedrawsABandInsideTheRangeAndLaysOutOtherwise) {
    Fill(50);
    ASSERT_TRUE(chart.Layout());
    const ChartState before = chart.State();

    // A new live bar is a new bar: full layout.
    EXPECT_EQ(chart.LiveUpdate(LiveBar(1049, 1050, 1051, 1048)), LiveResult::FullLayout);
    EXPECT_EQ(fullInvalidations, 1);
    auto g = chart.Geometry();
    ASSERT_FALSE(g.empty());
    EXPECT_TRUE(IsLiveBar(g.front().raw));
    const BarGeometry oldNewest = g.front();

    // Inside the range: only the newest geometry changes, x stays.
    EXPECT_EQ(chart.LiveUpdate(LiveBar(1049, 1040, 1051, 1030)), LiveResult::Band);
    ASSERT_EQ(bands.size(), 1u);
    g = chart.Geometry();
    const ChartState s = chart.State();
    EXPECT_EQ(g.front().left, oldNewest.left);
    EXPECT_EQ(g.front().right, oldNewest.right);
    EXPECT_EQ(g.front().raw.close, 1040);
    EXPECT_EQ(g.front().direction, -1);
    EXPECT_EQ(g.front().yLow, s.Scale().Y(1030));
    EXPECT_EQ(g.front().yClose, static_cast<float>(s.Scale().Y(1040)));
    EXPECT_EQ(bands[0], (PixelRect{g.front().left - 100, g.front().yHigh - 10,
                                   g.front().right + 100, g.front().yLow + 15}));
    EXPECT_EQ(s.hi, before.hi);

    // Above the highest high: full layout, the range grows.
    EXPECT_EQ(chart.LiveUpdate(LiveBar(1049, 1100, 1200, 1040)), LiveResult::FullLayout);
    EXPECT_EQ(fullInvalidations, 2);
    EXPECT_EQ(chart.State().hi, 1200);
}

TEST_F(SeriesTest, ScrolledChartTakesLiveDataWithoutRedrawing) {
    Fill(500);
    ASSERT_TRUE(chart.Layout());
    chart.SetFirstVisible(10);
    ASSERT_TRUE(chart.Layout());
    const auto geometry = chart.Geometry();
    EXPECT_EQ(chart.LiveUpdate(LiveBar(1, 2, 99999, 1)), LiveResult::NotDrawn);
    EXPECT_EQ(fullInvalidations, 0);
    EXPECT_TRUE(bands.empty());
    EXPECT_EQ(chart.RawBars().front().high, 99999);
    EXPECT_EQ(chart.Geometry().front().raw.high, geometry.front().raw.high);
}

TEST_F(SeriesTest, CurrentLiveBarAndTheChartsBarKey) {
    BarRecord out = FinishedBar(1, 5, 5, 5, 5);
    EXPECT_FALSE(chart.CurrentLiveBar(out));
    EXPECT_EQ(out.close, 0);
    EXPECT_EQ(out.open, 5);  // only the close is touched
    EXPECT_EQ(KeyText(chart.OldestBarKey()), "0");

    chart.AddFinishedBar(LiveBar(1, 2, 3, 1));  // a chart holding only a live bar
    EXPECT_EQ(KeyText(chart.OldestBarKey()), "0");
    EXPECT_TRUE(chart.CurrentLiveBar(out));
    EXPECT_EQ(out.close, 2);

    Fill(3);
    EXPECT_EQ(KeyText(chart.OldestBarKey()), "202400000000");
}

TEST_F(SeriesTest, ResetEmptiesTheChartAndCopiesTheProduct) {
    Fill(300);
    chart.Layout();
    int reloads = 0;
    chart.hooks.productRecord = [](int id) {
        InstrumentRecord r{};
        r.id = id;
        r.decimals = id == 7 ? 3 : 2;
        return r;
    };
    chart.hooks.reloadTools = [&](int instrument, int period, KLineHooks::ToolDelivery deliver) {
        ++reloads;
        EXPECT_EQ(instrument, 7);
        EXPECT_EQ(period, 240);
        deliver({ToolLineRecord{}});
    };
    chart.SetCross(100, 100);
    chart.SetVerticalOffset(40);
    chart.WithSignals([](SignalList& s) { s.Publish(SignalBar()); });
    const std::uint64_t before = chart.Generation();

    chart.Reset(7, 240);
    const ChartState s = chart.State();
    EXPECT_EQ(chart.BarCount(), 0u);
    EXPECT_TRUE(chart.Geometry().empty());
    EXPECT_EQ(chart.Product().decimals, 3);
    EXPECT_EQ(chart.Instrument(), 7);
    EXPECT_EQ(chart.Period(), 240);
    EXPECT_EQ(s.zoom, 1.0f);
    EXPECT_EQ(s.hi, 0);
    EXPECT_EQ(s.lo, 1000000);
    EXPECT_EQ(s.body, 0.0f);
    EXPECT_EQ(s.scale, 0.0f);
    EXPECT_FALSE(s.CrossShown());
    EXPECT_EQ(s.vOffset, 0);
    EXPECT_EQ(s.firstVisible, 0);
    EXPECT_TRUE(s.firstLayout);
    EXPECT_EQ(chart.WithSignals([](auto& v) { return v.size(); }), 0u);
    EXPECT_EQ(chart.WithTools([](auto& v) { return v.size(); }), 1u);
    EXPECT_EQ(reloads, 1);
    EXPECT_NE(chart.Generation(), before);
}

TEST_F(SeriesTest, ATransferFromBeforeTheResetCannotTouchTheNewSeries) {
    // A period change keeps the instrument, so only the generation tells the old transfer's
    // bars from the new series.
    chart.Reset(1, 15);
    const std::uint64_t old = chart.Generation();
    chart.Reset(1, 30);
    chart.SetHistory({FinishedBar(5, 1, 1, 1, 1)});
    EXPECT_FALSE(chart.AppendHistoryBar(FinishedBar(9, 1, 1, 1, 1), old));
    EXPECT_FALSE(chart.MergeHistory(old));
    EXPECT_FALSE(chart.FinishedBars(old).valid);
    EXPECT_EQ(chart.BarCount(), 0u);
    EXPECT_EQ(chart.HistorySize(), 1u);

    EXPECT_TRUE(chart.AppendHistoryBar(FinishedBar(9, 1, 1, 1, 1), chart.Generation()));
}

TEST_F(SeriesTest, HeikinAshiDisplayDropsTheLiveBarButItsGeometryStays) {
    Fill(10);
    chart.SetChartType(chart_type::HeikinAshi);
    chart.LiveUpdate(LiveBar(1010, 1011, 1012, 1009));
    ASSERT_TRUE(chart.Layout());

    std::deque<BarRecord> rawFinished;
    for (const BarRecord& r : chart.RawBars()) {
        if (!IsLiveBar(r)) rawFinished.push_back(r);
    }
    std::deque<BarRecord> expected;
    BuildHeikinAshi(rawFinished, expected);
    auto display = chart.DisplayBars();
    ASSERT_EQ(display.size(), 10u);
    for (std::size_t i = 0; i < display.size(); ++i) {
        EXPECT_EQ(display[i].open, expected[i].open) << i;
        EXPECT_EQ(display[i].close, expected[i].close) << i;
    }

    auto g = chart.Geometry();
    ASSERT_EQ(g.size(), 11u);
    EXPECT_TRUE(IsLiveBar(g.front().raw));
    // The geometry carries the raw bar, not the Heikin Ashi one.
    EXPECT_EQ(g[1].raw.close, chart.RawBars()[1].close);
    EXPECT_EQ(g[1].high, display[0].high);

    // A live update inside the range is drawn as the Heikin Ashi bar after the display front.
    BarRecord live = LiveBar(1010, 1010, 1011, 1009);
    ASSERT_EQ(chart.LiveUpdate(live), LiveResult::Band);
    BarRecord ha = HeikinAshiBar(live, display[0]);
    const ChartState s = chart.State();
    g = chart.Geometry();
    EXPECT_EQ(g.front().yOpen, s.Scale().Y(ha.open));
    EXPECT_EQ(g.front().yClose, static_cast<float>(s.Scale().Y(ha.close)));
    EXPECT_EQ(g.front().direction, Direction(ha.open, ha.close, ha.reference));

    chart.ToggleHeikinAshi();
    EXPECT_EQ(chart.ChartType(), chart_type::Candles);
    chart.Layout();
    EXPECT_EQ(chart.DisplayBars().front().close, chart.RawBars()[1].close);
}

// A writer feeds live updates and finished bars while a reader lays out and reads the
// geometry as painting would; run under ThreadSanitizer this also checks the lock order.
TEST_F(SeriesTest, LiveFeedAndLayoutRunTogether) {
    Fill(2000);
    chart.Layout();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            int p = 1000 + (i % 300);
            if (i % 500 == 499) {
                chart.AddFinishedBar(FinishedBar(5000 + i, p, p, p + 1, p - 1));
            } else {
                chart.LiveUpdate(LiveBar(p, p + 1, p + 3, p - 3));
            }
        }
        stop = true;
    });
    int layouts = 0;
    long checked = 0;
    // At least a few layouts even when the writer gets through before this thread runs.
    while (!stop || layouts < 10) {
        if (layouts % 3 == 0) chart.ToggleHeikinAshi();
        chart.Layout();
        ++layouts;
        chart.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState& s) {
            for (const BarGeometry& b : g) {
                checked += b.raw.instrument == 1;
                EXPECT_LE(b.left, b.right);
            }
            EXPECT_LE(static_cast<int>(g.size()), std::max(s.visible, 0));
        });
    }
    writer.join();
    EXPECT_GT(layouts, 0);
    EXPECT_GT(checked, 0);
    auto raw = chart.RawBars();
    int live = 0;
    for (const BarRecord& r : raw) live += IsLiveBar(r);
    EXPECT_LE(live, 1);
    EXPECT_EQ(raw.size(), 2000u + 20000 / 500 + (IsLiveBar(raw.front()) ? 1 : 0));
}

}  // namespace
}  // namespace zq
