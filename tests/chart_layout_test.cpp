// The chart layout: plot, row height, bar widths and their clamps, the visible range, the
// vertical scale and its flat case, price <-> y, and a full layout over the bar lists with the
// cross cursor and the overlay hooks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "market/bar_geometry.h"
#include "market/bar_series.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::Time;

TEST(GeometryTest, PlotAndRowHeight) {
    EXPECT_EQ(PlotRect(800, 600), (PixelRect{10, 35, 740, 565}));
    EXPECT_EQ(RowHeight(199), 79);  // (199 - 40) / 2
    EXPECT_EQ(RowHeight(600), 80);  // 560 divides by 80
    EXPECT_EQ(RowHeight(325), 95);  // 285 = 3 x 95
    // 200 rows: 100 fits exactly; 101 (remainder 99, one pixel short of two rows) does not
    // count as nearer.
    EXPECT_EQ(RowHeight(240), 100);
    for (int h = 200; h < 2000; h += 37) {
        int r = RowHeight(h);
        EXPECT_GE(r, 80) << h;
        EXPECT_LE(r, 119) << h;
    }
}

TEST(GeometryTest, BarStepIsClampedAndTheZoomFollows) {
    const int w = 730;
    BarWidths b = ComputeBarWidths(w, 200, 1.0f);
    EXPECT_FLOAT_EQ(b.step, 3.65f);
    EXPECT_FLOAT_EQ(b.gap, 0.365f);
    EXPECT_FLOAT_EQ(b.body + b.gap, b.step);
    EXPECT_FLOAT_EQ(b.zoom, 1.0f);

    b = ComputeBarWidths(w, 100000, 1.0f);  // far too many bars: 1.5 pixels each
    EXPECT_FLOAT_EQ(b.step, 1.5f);
    EXPECT_FLOAT_EQ(b.zoom, 100000 * 1.5f / w);
    EXPECT_FLOAT_EQ(b.gap, 0.3f);  // step / 10 would be 0.15
    EXPECT_EQ(b.visible, 486);     // 730 / 1.5

    b = ComputeBarWidths(w, 2, 1.0f);  // two bars would be 365 pixels wide
    EXPECT_FLOAT_EQ(b.step, 53.0f);
    EXPECT_FLOAT_EQ(b.zoom, 2 * 53.0f / w);
    EXPECT_EQ(b.visible, 13);

    // A zoom that is no number still yields a usable step.
    b = ComputeBarWidths(w, 50, std::numeric_limits<float>::quiet_NaN());
    EXPECT_FLOAT_EQ(b.step, 1.5f);
    EXPECT_FALSE(std::isnan(b.zoom));

    // The clamped zoom gives the clamped step back.
    for (float zoom : {0.001f, 0.3f, 1.0f, 7.0f, 500.0f}) {
        b = ComputeBarWidths(w, 1000, zoom);
        EXPECT_NEAR(w * b.zoom / 1000, b.step, 1e-3) << zoom;
        EXPECT_LE(b.visible * b.step, w + 1e-3) << zoom;
    }
}

TEST(GeometryTest, PriceAndYMapBothWays) {
    PriceScale ps{2000, 0.5f, 10};
    EXPECT_EQ(ps.Y(2000), 45);
    EXPECT_EQ(ps.Y(1999), 45);  // 0.5 truncated
    EXPECT_EQ(ps.Y(1998), 46);
    EXPECT_FLOAT_EQ(ps.YFloat(1999), 45.5f);
    EXPECT_DOUBLE_EQ(ps.PriceAt(46), 1998);
    EXPECT_EQ(ps.Y(2002), 44);  // above the high: trunc toward zero of -1
    EXPECT_EQ(PriceScale{}.PriceAt(100), 0);

    // Prices far off the scale do not overflow the pixel integers.
    PriceScale steep{2'000'000'000, 560.0f, 0};
    EXPECT_GT(steep.Y(-2'000'000'000), 0);
    PriceScale low{-2'000'000'000, 560.0f, 0};
    EXPECT_LT(low.Y(2'000'000'000), 0);

    EXPECT_EQ(Direction(10, 9, 0), -1);
    EXPECT_EQ(Direction(9, 10, 99), 1);
    EXPECT_EQ(Direction(10, 10, 11), -1);  // equal: against the reference
    EXPECT_EQ(Direction(10, 10, 10), 1);
}

class LayoutTest : public ::testing::Test {
  protected:
    void Fill(int count, int width = 800, int height = 600) {
        test::FillChart(chart, count, width, height);
    }
    KLineData chart;
};

TEST_F(LayoutTest, FirstLayoutFitsTwoHundredBarsNewestRightmost) {
    Fill(1000);
    ASSERT_TRUE(chart.Layout());
    const ChartState s = chart.State();
    EXPECT_FALSE(s.firstLayout);
    EXPECT_FLOAT_EQ(s.zoom, 5.0f);  // 1000 / 200
    EXPECT_FLOAT_EQ(s.body + s.gap, 3.65f);
    auto g = chart.Geometry();
    ASSERT_EQ(static_cast<int>(g.size()), s.visible);
    EXPECT_NEAR(s.visible, 200, 1);
    EXPECT_EQ(Time(g.front().raw), Time(FinishedBar(999, 0, 0, 0, 0)));
    EXPECT_LE(g.front().right, 740);
    for (std::size_t i = 1; i < g.size(); ++i) EXPECT_LT(g[i].left, g[i - 1].left);
    EXPECT_EQ(g.back().left, 10);

    // hi and lo over the visible bars only; the extremes sit on the plot's edges.
    const int oldestVisible = 1000 - s.visible;
    EXPECT_EQ(s.hi, 1000 + 999 + 5);
    EXPECT_EQ(s.lo, 1000 + oldestVisible - 5);
    EXPECT_EQ(g.front().yHigh, 35);
    EXPECT_NEAR(g.back().yLow, 565, 1);
}

TEST_F(LayoutTest, FewBarsStartAtTheLeftEdgeAndWideChartsClampTheStep) {
    Fill(50);
    ASSERT_TRUE(chart.Layout());
    auto g = chart.Geometry();
    ASSERT_EQ(g.size(), 50u);
    EXPECT_EQ(g.back().left, 10);
    EXPECT_EQ(chart.State().firstVisible, 0);

    Fill(3, 20070, 600);  // a first layout would give 100 pixels per bar
    ASSERT_TRUE(chart.Layout());
    ChartState s = chart.State();
    EXPECT_FLOAT_EQ(s.body + s.gap, 53.0f);
    EXPECT_FLOAT_EQ(s.zoom, 3 * 53.0f / 20000);

    Fill(100000, 800, 600);
    chart.SetZoom(0.0001f);  // zoomed out past the narrowest bars
    chart.Layout();          // the first layout still divides by 200
    chart.SetZoom(0.0001f);
    ASSERT_TRUE(chart.Layout());
    s = chart.State();
    EXPECT_FLOAT_EQ(s.body + s.gap, 1.5f);
    EXPECT_EQ(chart.Geometry().size(), 486u);
}

TEST_F(LayoutTest, ScrollingPastTheOldestBarStopsAtAFullScreen) {
    Fill(1000);
    chart.Layout();
    const int visible = chart.State().visible;
    chart.SetFirstVisible(990);
    ASSERT_TRUE(chart.Layout());
    const ChartState s = chart.State();
    EXPECT_EQ(s.firstVisible, 1000 - visible);
    auto g = chart.Geometry();
    ASSERT_EQ(static_cast<int>(g.size()), visible);
    EXPECT_EQ(Time(g.back().raw), Time(FinishedBar(0, 0, 0, 0, 0)));
    EXPECT_EQ(s.hi, 1000 + visible - 1 + 5);
}

TEST_F(LayoutTest, NarrowOrFlatChartsKeepTheirGeometry) {
    Fill(300);
    ASSERT_TRUE(chart.Layout());
    const auto before = chart.Geometry();
    for (auto [w, h] : {std::pair{49, 600}, {800, 0}, {60, 600}}) {
        chart.SetClientSize(w, h);
        EXPECT_FALSE(chart.Layout()) << w << "x" << h;
        ASSERT_EQ(chart.Geometry().size(), before.size());
        EXPECT_EQ(chart.Geometry().front().left, before.front().left);
    }
    chart.Reset(1, 15);
    EXPECT_FALSE(chart.Layout());  // no bars

    // Every visible bar at one price: a finite scale, every y on the plot's top line.
    chart.SetClientSize(800, 600);
    for (int i = 0; i < 20; ++i) chart.AppendHistoryBar(FinishedBar(i, 500, 500, 500, 500));
    ASSERT_TRUE(chart.Layout());
    const ChartState s = chart.State();
    EXPECT_TRUE(std::isfinite(s.scale));
    EXPECT_GT(s.scale, 0);
    for (const BarGeometry& b : chart.Geometry()) {
        EXPECT_EQ(b.yHigh, 35);
        EXPECT_EQ(b.yLow, 35);
        EXPECT_FLOAT_EQ(b.yClose, 35.0f);
    }
}

TEST_F(LayoutTest, CrossStaysOnItsBarOrFallsBackToTheOldestVisible) {
    Fill(1000);
    chart.Layout();
    std::vector<std::pair<float, std::string>> dataWindow;
    std::vector<std::array<int, 4>> moves;
    int scaleUpdates = 0;
    chart.hooks.dataWindow = [&](float y, const BarRecord& b) {
        dataWindow.emplace_back(y, Time(b));
    };
    chart.hooks.crossMoved = [&](int ox, int oy, int nx, int ny) {
        moves.push_back({ox, oy, nx, ny});
    };
    chart.hooks.priceScaleChanged = [&] { ++scaleUpdates; };

    auto g = chart.Geometry();
    const BarGeometry target = g[5];
    chart.SetCross(target.Centre(), 300);
    chart.SetSelected(5);

    // A new bar moves every bar one slot left; the cross follows its bar.
    chart.AddFinishedBar(FinishedBar(1000, 2000, 2002, 2005, 1995));
    ASSERT_TRUE(chart.Layout());
    ChartState s = chart.State();
    g = chart.Geometry();
    ASSERT_EQ(s.selected, 6);
    EXPECT_EQ(Time(g[6].raw), Time(target.raw));
    EXPECT_EQ(s.crossX, g[6].Centre());
    EXPECT_EQ(s.crossY, static_cast<int>(g[6].yClose));
    ASSERT_EQ(dataWindow.size(), 1u);
    EXPECT_EQ(dataWindow[0].second, Time(target.raw));
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0], (std::array<int, 4>{target.Centre(), 300, s.crossX, s.crossY}));
    EXPECT_EQ(scaleUpdates, 0);

    // Scrolled far back, the bar is gone: the cross goes to the oldest visible bar's open.
    chart.SetFirstVisible(500);
    ASSERT_TRUE(chart.Layout());
    s = chart.State();
    g = chart.Geometry();
    EXPECT_EQ(s.selected, static_cast<int>(g.size()) - 1);
    EXPECT_EQ(s.crossX, g.back().Centre());
    EXPECT_EQ(s.crossY, g.back().yOpen);
    EXPECT_EQ(scaleUpdates, 1);
    EXPECT_EQ(dataWindow.back().second, Time(g.back().raw));

    // Hidden cross: nothing moves, nothing is selected.
    chart.SetCross(0, 0);
    moves.clear();
    chart.Layout();
    EXPECT_TRUE(moves.empty());
    EXPECT_EQ(chart.State().selected, -1);
}

TEST_F(LayoutTest, OverlayAndToolHooksSeeTheNewScale) {
    Fill(400);
    chart.hooks.productRecord = [](int) {
        InstrumentRecord r{};
        r.decimals = 2;
        return r;
    };
    chart.Reset(1, 15);
    for (int i = 399; i >= 0; --i) chart.AppendHistoryBar(FinishedBar(i, 10, 12, 15, 5));
    chart.WithTools([](auto& t) { t.push_back(ToolLineRecord{}); });
    chart.WithSignals([](auto& s) { s.Publish(test::SignalBar()); });

    int anchors = 0, signals = 0, trading = 0, completes = 0;
    LayoutContext seen, tools;
    // The bar at index 5 is visible, the one at 390 far out of view at the left; "x" names
    // no bar.
    chart.hooks.toolAnchorTimes = [&](const auto&, std::vector<std::string>& times) {
        ++anchors;
        times = {"00000009", "x", "00000394", "00000009"};
    };
    chart.hooks.placeSignals = [&](SignalList& s, const LayoutContext& ctx) {
        signals += static_cast<int>(s.size());
        seen = ctx;
    };
    chart.hooks.placeTradingOverlays = [&](const LayoutContext&) { ++trading; };
    chart.hooks.completeTools = [&](auto&, const LayoutContext& ctx) {
        ++completes;
        tools = ctx;
    };
    ASSERT_TRUE(chart.Layout());

    const ChartState s = chart.State();
    const std::vector<BarGeometry> g = chart.Geometry();
    EXPECT_EQ(anchors, 1);
    // The newest bar is seq 399.
    EXPECT_EQ(tools.IndexOf("00000394"), 5);
    EXPECT_EQ(tools.IndexOf("00000009"), 390);
    EXPECT_EQ(tools.IndexOf("x"), -1);
    EXPECT_EQ(tools.IndexOf("00000393"), -1);  // not asked for
    EXPECT_EQ(tools.CentreOf(5), g[5].Centre());
    // Out of view: as far beyond the oldest visible bar as the bar steps say.
    const int oldest = static_cast<int>(g.size()) - 1;
    EXPECT_NEAR(tools.CentreOf(390), g.back().Centre() - (390 - oldest) * (s.body + s.gap), 2.0);
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(trading, 1);
    EXPECT_EQ(completes, 1);
    EXPECT_EQ(seen.decimals, 2);
    EXPECT_EQ(seen.scale.hi, 15);
    EXPECT_FLOAT_EQ(seen.scale.scale, s.scale);
    EXPECT_EQ(seen.scale.Y(5), chart.Geometry().front().yLow);
}

}  // namespace
}  // namespace zq
