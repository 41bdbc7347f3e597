// Moving averages and Bollinger bands against a straightforward recomputation over random bars:
// every visible window, a list shorter than the periods, live updates of the newest bar, and
// the same bars paged further back; and the chart's own lines over its display list (candles
// and Heikin Ashi) through layouts, live updates, scrolling and older bars paged in.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "market/bar_series.h"
#include "market/heikin_ashi.h"
#include "market/indicators.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

// The plain reading: the mean of `period` closes from index i back, and their spread.
IndicatorBar Recomputed(const std::vector<BarRecord>& bars, std::size_t i) {
    IndicatorBar v;
    const auto window = [&](int period, long double& mean, long double& deviation) {
        if (i + static_cast<std::size_t>(period) > bars.size()) return false;
        long double sum = 0, squares = 0;
        for (int j = 0; j < period; ++j) sum += bars[i + static_cast<std::size_t>(j)].close;
        mean = sum / period;
        for (int j = 0; j < period; ++j) {
            const long double d = bars[i + static_cast<std::size_t>(j)].close - mean;
            squares += d * d;
        }
        deviation = std::sqrt(squares / period);
        return true;
    };
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k) {
        long double mean = 0, deviation = 0;
        if (window(kMovingAveragePeriods[k], mean, deviation))
            v.ma[k] = {true, static_cast<double>(mean)};
    }
    long double mean = 0, deviation = 0;
    if (window(kBollingerPeriod, mean, deviation)) {
        v.middle = {true, static_cast<double>(mean)};
        v.upper = {true, static_cast<double>(mean + kBollingerWidth * deviation)};
        v.lower = {true, static_cast<double>(mean - kBollingerWidth * deviation)};
    }
    return v;
}

void ExpectSame(const IndicatorBar& got, const IndicatorBar& want, const std::string& where) {
    const auto same = [&](const IndicatorValue& a, const IndicatorValue& b, const char* what) {
        ASSERT_EQ(a.valid, b.valid) << where << " " << what;
        if (a.valid) {
            EXPECT_NEAR(a.value, b.value, 1e-6 * std::max(1.0, std::abs(b.value)))
                << where << " " << what;
        }
    };
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k)
        same(got.ma[k], want.ma[k], "MA");
    same(got.middle, want.middle, "middle");
    same(got.upper, want.upper, "upper");
    same(got.lower, want.lower, "lower");
}

std::vector<BarRecord> RandomBars(std::size_t n, std::mt19937& random, std::int32_t low,
                                  std::int32_t high) {
    std::uniform_int_distribution<std::int32_t> price(low, high);
    std::vector<BarRecord> bars;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t c = price(random);
        bars.push_back(test::FinishedBar(static_cast<int>(i), c, c, c, c));
    }
    return bars;
}

TEST(IndicatorLinesTest, EveryWindowMatchesTheRecomputation) {
    std::mt19937 random(11);
    // Ordinary prices, prices near the integer limit, and lists shorter than the periods.
    for (const auto& [n, low, high] :
         {std::tuple<std::size_t, std::int32_t, std::int32_t>{300, 150000, 170000},
          {120, std::numeric_limits<std::int32_t>::max() - 1000,
           std::numeric_limits<std::int32_t>::max()},
          {40, 1, 9},
          {3, 100, 200},
          {0, 1, 2}}) {
        const std::vector<BarRecord> bars = RandomBars(n, random, low, high);
        for (const auto& [first, count] : {std::pair<std::size_t, std::size_t>{0, 50},
                                           {0, 400},
                                           {37, 80},
                                           {n > 10 ? n - 10 : 0, 50},
                                           {n + 5, 10}}) {
            IndicatorLines lines;
            lines.Layout(bars.data(), bars.size(), first, count);
            const std::size_t shown = first >= n ? 0 : std::min(count, n - first);
            ASSERT_EQ(lines.Visible().size(), shown);
            for (std::size_t i = 0; i < shown; ++i)
                ExpectSame(lines.Visible()[i], Recomputed(bars, first + i),
                           "n " + std::to_string(n) + " bar " + std::to_string(first + i));
            if (n > 0) ExpectSame(lines.Current(), Recomputed(bars, 0), "current");
        }
    }
}

TEST(IndicatorLinesTest, LiveUpdatesAndPagingFollowTheBars) {
    std::mt19937 random(5);
    std::vector<BarRecord> bars = RandomBars(100, random, 160000, 166000);
    IndicatorLines lines, scrolled;
    lines.Layout(bars.data(), bars.size(), 0, 70);
    scrolled.Layout(bars.data(), bars.size(), 10, 70);
    std::uniform_int_distribution<std::int32_t> price(150000, 180000);
    for (int update = 0; update < 50; ++update) {
        bars[0].close = price(random);
        lines.LiveUpdate(bars[0].close);
        scrolled.LiveUpdate(bars[0].close);
        ExpectSame(lines.Current(), Recomputed(bars, 0), "live");
        ExpectSame(lines.Visible()[0], Recomputed(bars, 0), "live, shown");
        ExpectSame(scrolled.Current(), Recomputed(bars, 0), "live, scrolled");
        ExpectSame(scrolled.Visible()[0], Recomputed(bars, 10), "scrolled bar");
    }
    // Older bars paged in behind: the oldest visible bars' windows fill up.
    std::vector<BarRecord> paged = bars;
    const std::vector<BarRecord> older = RandomBars(200, random, 160000, 166000);
    paged.insert(paged.end(), older.begin(), older.end());
    lines.Layout(paged.data(), paged.size(), 50, 60);
    for (std::size_t i = 0; i < 60; ++i)
        ExpectSame(lines.Visible()[i], Recomputed(paged, 50 + i), "paged");
    // A live update before any layout changes nothing.
    IndicatorLines none;
    none.LiveUpdate(5);
    EXPECT_FALSE(none.Current().ma[0].valid);
}

// The chart's lines are those of the list it draws: the raw bars or their Heikin Ashi bars,
// live bar included, at the visible positions.
void ExpectChartFollowsItsBars(KLineData& chart, const std::string& where) {
    const std::vector<BarRecord> raw = chart.RawBars();
    std::vector<BarRecord> drawn = raw;
    if (chart.ChartType() == chart_type::HeikinAshi) {
        std::deque<BarRecord> ha;
        BuildHeikinAshi(std::deque<BarRecord>(raw.begin(), raw.end()), ha);
        drawn.assign(ha.begin(), ha.end());
    }
    chart.WithLayout([&](const std::vector<BarGeometry>& geometry, const ChartState& st,
                         const IndicatorLines& lines, const std::vector<IndicatorRows>& rows) {
        ASSERT_EQ(rows.size(), geometry.size()) << where;
        ASSERT_EQ(lines.Visible().size(), geometry.size()) << where;
        ASSERT_EQ(static_cast<int>(lines.First()), st.firstVisible) << where;
        for (std::size_t i = 0; i < geometry.size(); ++i)
            ExpectSame(lines.Visible()[i], Recomputed(drawn, lines.First() + i),
                       where + " bar " + std::to_string(lines.First() + i));
        ExpectSame(lines.Current(), Recomputed(drawn, 0), where + " current");
    });
}

TEST(IndicatorLinesTest, TheChartsLinesFollowItsDisplayList) {
    std::mt19937 random(23);
    std::uniform_int_distribution<int> price(1000, 1400), wick(0, 30), move(-20, 20);
    const auto bar = [&](int seq) {
        const int open = price(random), close = price(random);
        return test::FinishedBar(seq, open, close, std::max(open, close) + wick(random),
                                 std::min(open, close) - wick(random));
    };
    KLineData chart;
    chart.Reset(1, 15);
    for (int i = 0; i < 300; ++i) chart.AppendHistoryBar(bar(1000 - i));
    chart.SetClientSize(1000, 600);
    chart.SetIndicators(chart_indicator::All);
    ASSERT_TRUE(chart.Layout());

    for (int type : {chart_type::Candles, chart_type::HeikinAshi}) {
        const std::string name = type == chart_type::Candles ? "candles" : "heikin ashi";
        chart.SetChartType(type);
        chart.SetFirstVisible(0);
        ASSERT_TRUE(chart.Layout());
        ExpectChartFollowsItsBars(chart, name);
        // Live updates of one bar (the first lays out the new bar, the rest update it), then a
        // finished bar and the next live bar.
        for (int update = 0; update < 30; ++update) {
            chart.LiveUpdate(test::LiveBar(1200, 1200 + move(random), 1230, 1170));
            ExpectChartFollowsItsBars(chart, name + " live " + std::to_string(update));
        }
        chart.AddFinishedBar(bar(2000 + type));
        chart.LiveUpdate(test::LiveBar(1200, 1210, 1230, 1170));
        ExpectChartFollowsItsBars(chart, name + " next bar");
        // Scrolled back, then older bars paged in behind the oldest.
        chart.SetFirstVisible(150);
        ASSERT_TRUE(chart.Layout());
        ExpectChartFollowsItsBars(chart, name + " scrolled");
        for (int i = 0; i < 100; ++i) chart.AppendHistoryBar(bar(500 - i - 100 * type));
        chart.SetFirstVisible(1000);
        ASSERT_TRUE(chart.Layout());
        ExpectChartFollowsItsBars(chart, name + " paged");
    }

    // Switched off, a layout computes nothing.
    chart.SetIndicators(0);
    ASSERT_TRUE(chart.Layout());
    chart.WithLayout([](const auto&, const auto&, const IndicatorLines& lines, const auto& rows) {
        EXPECT_TRUE(lines.Visible().empty());
        EXPECT_TRUE(rows.empty());
    });
}

}  // namespace
}  // namespace zq
