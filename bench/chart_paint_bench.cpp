// Painting the K-line chart on a 1920 x 1080 client area over 100,000 bars of gold: a full
// paint at the widest and the narrowest bars in both chart types (with the backdrop cached, as
// on every repaint of a window that keeps its size, and with a fresh painter that builds it),
// the repaint of the band after one live update inside the price range (each also with the
// moving averages and Bollinger bands on), and the chart window's
// own path from an invalidation to the painted image, with and without the cross cursor; and
// the full paint with a busy account on screen: 50 signals, 100 positions and 100 pending
// orders, each with a stop-loss and a take-profit; and crowds of 100,000 positions.
//
// The chart paints with Qt, so this program brings its own main(): the application object on
// the offscreen platform (unless QT_QPA_PLATFORM says otherwise), then the benchmarks.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMouseEvent>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/qt_bench_main.h"
#include "chart/overlay_layout.h"
#include "chart/ui/chart_painter.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/overlay_painter.h"
#include "market/bar_series.h"
#include "market/wire/signal_record.h"
#include "net/signal_feed.h"
#include "net/wire/ansi_text.h"
#include "trading/model.h"

namespace {

using namespace zq;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kBars = 100000;
constexpr int kDecimals = 2;
constexpr std::time_t kPeriodSeconds = 15 * 60;

// Zoom factors far beyond either clamp: the layout pulls them back to a step of 53 or 1.5 px.
constexpr float kZoomWidest = 1e6f;
constexpr float kZoomNarrowest = 1e-6f;

InstrumentRecord Gold() {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = kDecimals;
    PutField(r.name, sizeof r.name, ToAnsi("伦敦金(T+0)"));
    return r;
}

// A calendar field as two digits.
unsigned Two(int field) {
    return static_cast<unsigned>(field) % 100;
}

// 15-minute bars of a random walk around 1950.00, oldest from 1 March 2021, weekends left
// out; returned newest first as the history transfer delivers them. Finished bars carry the
// year as key number and "MMDDhhmm" as time text. `next` receives the start of the bar after
// the newest, the live bar's.
std::vector<BarRecord> GoldSeries(int count, std::time_t& next) {
    std::mt19937 rng(20210301);
    std::normal_distribution<double> move(0.0, 120.0);  // 1.20 per bar
    std::normal_distribution<double> wick(0.0, 60.0);
    std::vector<BarRecord> bars;
    bars.reserve(static_cast<std::size_t>(count));
    std::time_t t = 1614556800;  // 2021-03-01 00:00 UTC, a Monday
    double price = 195000;
    std::int32_t previousClose = static_cast<std::int32_t>(price);
    while (static_cast<int>(bars.size()) < count) {
        std::tm tm{};
        gmtime_r(&t, &tm);
        if (tm.tm_wday == 0 || tm.tm_wday == 6) {
            t += kPeriodSeconds;
            continue;
        }
        BarRecord r{};
        r.instrument = 1;
        r.decimals = kDecimals;
        r.open = previousClose;
        price += move(rng);
        if (price < 100000) price = 200000 - price;  // keep the walk well above zero
        r.close = static_cast<std::int32_t>(std::lround(price));
        r.high = std::max(r.open, r.close) + static_cast<std::int32_t>(std::abs(wick(rng)));
        r.low = std::min(r.open, r.close) - static_cast<std::int32_t>(std::abs(wick(rng)));
        r.reference = previousClose;
        r.keyNumber = tm.tm_year + 1900;
        std::snprintf(r.time, sizeof r.time, "%02u%02u%02u%02u", Two(tm.tm_mon + 1),
                      Two(tm.tm_mday), Two(tm.tm_hour), Two(tm.tm_min));
        bars.push_back(r);
        previousClose = r.close;
        t += kPeriodSeconds;
    }
    next = t;
    std::reverse(bars.begin(), bars.end());
    return bars;
}

// The live bar of the slot starting at `start`: time text "hh:mm".
BarRecord LiveBar(std::time_t start, std::int32_t open, std::int32_t close, std::int32_t high,
                  std::int32_t low) {
    std::tm tm{};
    gmtime_r(&start, &tm);
    BarRecord r{};
    r.instrument = 1;
    r.decimals = kDecimals;
    r.open = open;
    r.close = close;
    r.high = high;
    r.low = low;
    r.reference = open;
    r.keyNumber = tm.tm_year + 1900;
    std::snprintf(r.time, sizeof r.time, "%02u:%02u", Two(tm.tm_hour), Two(tm.tm_min));
    return r;
}

// The series, built once: every case loads it into its own chart.
struct Series {
    std::vector<BarRecord> bars;
    std::time_t liveStart = 0;
    Series() { bars = GoldSeries(kBars, liveStart); }
};
const Series& TheSeries() {
    static const Series s;
    return s;
}

// A chart as the history transfer leaves it, zoomed to a clamp, with a live bar in front whose
// high and low lie 0.80 either side of the newest close. Returns the live bar.
BarRecord LoadChart(KLineData& data, int type, float zoom) {
    const Series& s = TheSeries();
    data.hooks.productRecord = [](int) { return Gold(); };
    data.Reset(1, 15);
    data.SetChartType(type);
    data.AppendHistoryBars(s.bars.data(), s.bars.size(), data.Generation());
    data.MergeHistory(data.Generation());
    data.SetClientSize(kWidth, kHeight);
    data.Layout();
    data.SetZoom(zoom);
    data.Layout();
    const std::int32_t last = s.bars.front().close;
    const BarRecord live = LiveBar(s.liveStart, last, last, last + 80, last - 80);
    data.LiveUpdate(live);  // a new bar: laid out again
    return live;
}

ChartTexts Texts(const KLineData& data) {
    return {WatermarkText(), CaptionText(data.Product(), data.Period())};
}

const char* TypeName(int type) {
    return type == chart_type::HeikinAshi ? "heikin-ashi" : "candles";
}

// Labels the case and reports the bars the layout placed and their step in pixels.
void Describe(benchmark::State& state, const KLineData& data, int type) {
    const ChartState st = data.State();
    state.counters["bars"] = static_cast<double>(data.Geometry().size());
    state.counters["step_px"] = st.body + st.gap;
    state.SetLabel(TypeName(type));
}

float Zoom(std::int64_t arg) {
    return arg == 0 ? kZoomWidest : kZoomNarrowest;
}

// Args: chart type, zoom (0 widest, 1 narrowest).
void PaintArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"type", "narrow"});
    for (int type : {chart_type::Candles, chart_type::HeikinAshi})
        for (int narrow : {0, 1}) b->Args({type, narrow});
    b->Unit(benchmark::kMicrosecond);
}

// A full paint with the backdrop cached from the previous paint of the same size; with the
// indicator overlays of `indicators` (chart_indicator bits) on.
void FullPaint(benchmark::State& state, unsigned indicators) {
    const int type = static_cast<int>(state.range(0));
    KLineData data;
    data.SetIndicators(indicators);
    LoadChart(data, type, Zoom(state.range(1)));
    const ChartTexts texts = Texts(data);
    QImage image = MakeChartImage(kWidth, kHeight);
    ChartPainter painter;
    painter.Paint(image, data, texts);
    for (auto _ : state) {
        painter.Paint(image, data, texts);
        benchmark::DoNotOptimize(image.constBits());
    }
    Describe(state, data, type);
}
void BM_FullPaint(benchmark::State& state) {
    FullPaint(state, 0);
}
BENCHMARK(BM_FullPaint)->Apply(PaintArgs);
// The same with the moving averages and Bollinger bands on.
void BM_FullPaintIndicators(benchmark::State& state) {
    FullPaint(state, chart_indicator::All);
}
BENCHMARK(BM_FullPaintIndicators)->Apply(PaintArgs);

// The overlays of a busy account spread over the visible price range of the chart: signals
// alternating support and resistance, positions and waiting orders alternating buy and sell,
// every one with a stop-loss and a take-profit inside the range.
void FillOverlays(KLineData& data, TradingModel& model) {
    const ChartState st = data.State();
    const double scale = 1.0 / 100;  // two decimals
    auto at = [&](int i, int n) {
        return st.lo + static_cast<double>(st.hi - st.lo) * (i + 0.5) / n;
    };
    data.WithSignals([&](SignalList& signals) {
        for (int i = 0; i < 50; ++i) {
            SignalRecord s{};
            s.instrument = 1;
            s.price = static_cast<std::int32_t>(at(i, 50));
            s.stopLoss = s.price - 500;
            s.amount = 350;
            s.side = i % 2 ? signal_side::Resistance : signal_side::Support;
            s.lots = 200;
            s.published = 1710466200 + i * 60;
            s.marker = kSignalMarker;
            signals.Publish(AsBar(s));
        }
    });
    const double margin = (st.hi - st.lo) * scale / 20;
    std::vector<PositionRecord> positions;
    std::vector<PendingOrderRecord> orders;
    for (int i = 0; i < 100; ++i) {
        PositionRecord p{};
        std::snprintf(p.ticket, sizeof p.ticket, "P%d", i);
        p.instrument = 1;
        p.direction = i % 2 ? direction::Sell : direction::Buy;
        p.openPrice = at(i, 100) * scale;
        p.heldQuantity = p.openedQuantity = 1 + i % 5;
        p.stopLoss = p.openPrice + (i % 2 ? margin : -margin);
        p.takeProfit = p.openPrice - (i % 2 ? margin : -margin);
        positions.push_back(p);
        PendingOrderRecord o{};
        std::snprintf(o.orderNumber, sizeof o.orderNumber, "D%d", i);
        o.instrument = 1;
        o.direction = p.direction;
        o.price = at(99 - i, 100) * scale;
        o.quantity = 0.5;
        o.stopLoss = o.price + (i % 2 ? margin : -margin);
        o.takeProfit = o.price - (i % 2 ? margin : -margin);
        o.status = order_status::Waiting;
        orders.push_back(o);
    }
    model.SetPositions(std::move(positions));
    model.SetOrders(std::move(orders));
}

// The chart's trade overlays laid out once from the model, and a painter that paints them.
struct OverlayScene {
    OverlayScene(KLineData& data, TradingModel& model) {
        InstallOverlayLayout(data.hooks, &model, &overlays);
        data.Layout();
        texts = Texts(data);
        InstallOverlayPainters(painter.hooks, &overlays);
    }
    TradeOverlays overlays;
    ChartTexts texts;
    QImage image = MakeChartImage(kWidth, kHeight);
    ChartPainter painter;
};

// A full paint as BM_FullPaint with the overlays above on screen (candles). Args: zoom.
void BM_FullPaintWithOverlays(benchmark::State& state) {
    KLineData data;
    TradingModel model;
    LoadChart(data, chart_type::Candles, Zoom(state.range(0)));
    FillOverlays(data, model);
    OverlayScene scene(data, model);
    scene.painter.Paint(scene.image, data, scene.texts);
    int drawn = 0;
    for (const TradeLabel& l : scene.overlays.Labels())
        if (l.rect.right > 0 && l.rect.top >= 0 && l.rect.bottom <= kHeight) ++drawn;
    if (drawn != 200) {
        state.SkipWithError("not every position and order is on screen");
        return;
    }
    for (auto _ : state) {
        scene.painter.Paint(scene.image, data, scene.texts);
        benchmark::DoNotOptimize(scene.image.constBits());
    }
    Describe(state, data, chart_type::Candles);
    state.counters["overlays"] = 50 + drawn;
}
BENCHMARK(BM_FullPaintWithOverlays)
    ->ArgNames({"narrow"})
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// The layout with the same overlays: the bars' geometry and the rows of 50 signals, 100
// positions and 100 orders under their locks. Args: zoom.
void BM_LayoutWithOverlays(benchmark::State& state) {
    KLineData data;
    TradingModel model;
    LoadChart(data, chart_type::Candles, Zoom(state.range(0)));
    FillOverlays(data, model);
    TradeOverlays overlays;
    InstallOverlayLayout(data.hooks, &model, &overlays);
    for (auto _ : state) benchmark::DoNotOptimize(data.Layout());
    Describe(state, data, chart_type::Candles);
}
BENCHMARK(BM_LayoutWithOverlays)
    ->ArgNames({"narrow"})
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// A crowded chart: 100,000 positions of the chart's instrument spread over a thousand times the
// visible price range, and 100,000 signals of a history transfer spread likewise, taken in
// through the signal feed (the time of that intake is the counter "intake_ms").
struct Crowd {
    static constexpr int kCount = 100000;
    std::shared_ptr<KLineData> data = std::make_shared<KLineData>();
    TradingModel model;
    TradeOverlays overlays;
    double intakeMs = 0;

    Crowd() {
        LoadChart(*data, chart_type::Candles, kZoomWidest);
        const ChartState st = data->State();
        const double span = static_cast<double>(st.hi - st.lo) * 1000;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> where(st.lo - span / 2, st.hi + span / 2);
        std::vector<PositionRecord> positions;
        for (int i = 0; i < kCount; ++i) {
            PositionRecord p{};
            std::snprintf(p.ticket, sizeof p.ticket, "P%d", i);
            p.instrument = 1;
            p.direction = i % 2 ? direction::Sell : direction::Buy;
            p.openPrice = std::max(1.0, where(rng)) / 100;
            p.heldQuantity = p.openedQuantity = 1 + i % 5;
            p.stopLoss = p.openPrice * (i % 2 ? 1.001 : 0.999);
            positions.push_back(p);
        }
        model.SetPositions(std::move(positions));
        SignalFeed feed(data);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCount; ++i) {
            SignalRecord s{};
            s.instrument = 1;
            s.price = static_cast<std::int32_t>(std::max(1.0, where(rng)));
            s.stopLoss = s.price - 500;
            s.amount = 350;
            s.side = i % 2 ? signal_side::Resistance : signal_side::Support;
            s.lots = 200 + i;
            s.published = 1710466200 + i * 60;
            s.marker = kSignalMarker;
            feed.HistoryIntake(AsBar(s));
        }
        intakeMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        InstallOverlayLayout(data->hooks, &model, &overlays);
    }
};

// Each iteration lays the crowded chart out.
void BM_CrowdedLayout(benchmark::State& state) {
    Crowd crowd;
    for (auto _ : state) benchmark::DoNotOptimize(crowd.data->Layout());
    Describe(state, *crowd.data, chart_type::Candles);
    state.counters["positions_placed"] = static_cast<double>(crowd.overlays.Positions()->size());
}
BENCHMARK(BM_CrowdedLayout)->Unit(benchmark::kMillisecond);

// Each iteration lays the crowded chart out and paints it in full.
void BM_CrowdedLayoutAndPaint(benchmark::State& state) {
    Crowd crowd;
    const ChartTexts texts = Texts(*crowd.data);
    QImage image = MakeChartImage(kWidth, kHeight);
    ChartPainter painter;
    InstallOverlayPainters(painter.hooks, &crowd.overlays);
    for (auto _ : state) {
        crowd.data->Layout();
        painter.Paint(image, *crowd.data, texts);
        benchmark::DoNotOptimize(image.constBits());
    }
    Describe(state, *crowd.data, chart_type::Candles);
    state.counters["intake_ms"] = crowd.intakeMs;
    state.counters["positions_drawn"] = static_cast<double>(crowd.overlays.Labels().size());
}
BENCHMARK(BM_CrowdedLayoutAndPaint)->Iterations(3)->Unit(benchmark::kMillisecond);

// 100,000 positions at one price in the middle of the chart, as a hostile server lists them:
// each iteration paints the chart in full (the layout placed them once). The counter
// "labels" is the labels handed back for the hit test.
void BM_CrowdAtOnePricePaint(benchmark::State& state) {
    KLineData data;
    TradingModel model;
    LoadChart(data, chart_type::Candles, kZoomWidest);
    const ChartState st = data.State();
    PositionRecord p{};
    p.instrument = 1;
    p.direction = direction::Buy;
    p.openPrice = static_cast<double>(st.lo + st.hi) / 2 / 100;
    p.heldQuantity = p.openedQuantity = 1;
    p.stopLoss = p.openPrice * 0.999;
    std::vector<PositionRecord> positions;
    for (int i = 0; i < Crowd::kCount; ++i) {
        std::snprintf(p.ticket, sizeof p.ticket, "%020d", i + 1);
        positions.push_back(p);
    }
    model.SetPositions(std::move(positions));
    OverlayScene scene(data, model);
    for (auto _ : state) {
        scene.painter.Paint(scene.image, data, scene.texts);
        benchmark::DoNotOptimize(scene.image.constBits());
    }
    Describe(state, data, chart_type::Candles);
    state.counters["positions_placed"] = static_cast<double>(scene.overlays.Positions()->size());
    state.counters["labels"] = static_cast<double>(scene.overlays.Labels().size());
}
BENCHMARK(BM_CrowdAtOnePricePaint)->Unit(benchmark::kMillisecond);

// A full paint by a painter that has not painted yet: the backdrop (watermark tiles, caption,
// grid) is built first, as after a resize or an instrument change.
void BM_FullPaintColdPainter(benchmark::State& state) {
    const int type = static_cast<int>(state.range(0));
    KLineData data;
    LoadChart(data, type, Zoom(state.range(1)));
    const ChartTexts texts = Texts(data);
    QImage image = MakeChartImage(kWidth, kHeight);
    for (auto _ : state) {
        ChartPainter painter;
        painter.Paint(image, data, texts);
        benchmark::DoNotOptimize(image.constBits());
    }
    Describe(state, data, type);
}
BENCHMARK(BM_FullPaintColdPainter)->Apply(PaintArgs);

// One live update of the newest bar inside the price range and the repaint of the bands it
// invalidates (with the indicators on, the caption's too). Two closes alternate, so every
// update moves the bar.
void LiveUpdateBandRepaint(benchmark::State& state, unsigned indicators) {
    const int type = static_cast<int>(state.range(0));
    KLineData data;
    data.SetIndicators(indicators);
    std::vector<PixelRect> bands;
    data.hooks.invalidateBand = [&](const PixelRect& b) { bands.push_back(b); };
    BarRecord live = LoadChart(data, type, Zoom(state.range(1)));
    const ChartTexts texts = Texts(data);
    QImage image = MakeChartImage(kWidth, kHeight);
    ChartPainter painter;
    painter.Paint(image, data, texts);
    const std::int32_t closes[2] = {live.open + 35, live.open - 35};
    std::int64_t bandPixels = 0;
    std::int64_t updates = 0;
    int i = 0;
    for (auto _ : state) {
        live.close = closes[i++ & 1];
        bands.clear();
        if (data.LiveUpdate(live) != LiveResult::Band) {
            state.SkipWithError("the live bar left the price range");
            break;
        }
        for (const PixelRect& band : bands) {
            const QRect clip(QPoint(band.left, band.top), QPoint(band.right, band.bottom));
            painter.Paint(image, data, texts, clip);
            bandPixels += (clip & image.rect()).width() * (clip & image.rect()).height();
        }
        benchmark::DoNotOptimize(image.constBits());
        ++updates;
    }
    if (updates > 0) state.counters["band_px"] = static_cast<double>(bandPixels) / updates;
    Describe(state, data, type);
}
void BM_LiveUpdateBandRepaint(benchmark::State& state) {
    LiveUpdateBandRepaint(state, 0);
}
BENCHMARK(BM_LiveUpdateBandRepaint)->Apply(PaintArgs);
// The same with the moving averages and Bollinger bands on.
void BM_LiveUpdateBandRepaintIndicators(benchmark::State& state) {
    LiveUpdateBandRepaint(state, chart_indicator::All);
}
BENCHMARK(BM_LiveUpdateBandRepaintIndicators)->Apply(PaintArgs);

// The chart window: InvalidateAll, then Render, which moves the XOR cross where the chart
// state has it, paints the dirty part (all of it) and draws the cross into the image.
// Args: zoom (0 widest, 1 narrowest), cross (0 hidden, 1 shown through the middle).
void BM_ChartWindowRender(benchmark::State& state) {
    KLineData data;
    LoadChart(data, chart_type::Candles, Zoom(state.range(0)));
    CKMain chart(data, nullptr, {}, {});
    chart.resize(kWidth, kHeight);
    chart.show();
    QApplication::processEvents();  // the resize event: client size and input state
    data.SetClientSize(kWidth, kHeight);
    data.Layout();
    if (state.range(1) != 0) {
        chart.SelectMode(ChartMode::Cross);
        // Over the bar nearest the middle (at the widest bars the middle may be a gap).
        const std::vector<BarGeometry> g = data.Geometry();
        const auto middle = std::min_element(g.begin(), g.end(), [](const auto& a, const auto& b) {
            return std::abs(a.Centre() - kWidth / 2) < std::abs(b.Centre() - kWidth / 2);
        });
        const QPoint at(middle == g.end() ? kWidth / 2 : middle->Centre(), kHeight / 2);
        QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(chart.mapToGlobal(at)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&chart, &move);
    }
    chart.Render();
    if ((chart.DrawnCross() != QPoint(0, 0)) != (state.range(1) != 0)) {
        state.SkipWithError("the cross is not where the case wants it");
        return;
    }
    for (auto _ : state) {
        chart.InvalidateAll();
        benchmark::DoNotOptimize(chart.Render().constBits());
    }
    Describe(state, data, chart_type::Candles);
    QApplication::processEvents();
}
BENCHMARK(BM_ChartWindowRender)
    ->ArgNames({"narrow", "cross"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return zq::bench::RunQtBenchmarks(argc, argv);
}
