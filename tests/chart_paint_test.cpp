// The chart as a person sees it, pixel by pixel: grid rows from the row-height rule, candles of
// both directions, the price labels and the live price marker, the watermark and caption, the
// XOR cross; a band repaint that matches a full one; the chart window's mouse, keys, menus and
// worker-thread updates; the left panel's price scale and data window; the price label control.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "chart/ui/chart_painter.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "chart/ui/price_static.h"
#include "net/wire/ansi_text.h"
#include "tests/market_fixtures.h"
#include "tests/support/pixels.h"
#include "widgets/command_ids.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::LiveBar;
using test::Time;

constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kRed = 0xFFFF0000;

InstrumentRecord Gold(int decimals = 2) {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = decimals;
    PutField(r.name, sizeof r.name, ToAnsi("伦敦金(T+0)"));
    return r;
}

// The chart of instrument 1 at 15 minutes with the product record of gold.
void ResetGold(KLineData& data, int decimals = 2) {
    data.hooks.productRecord = [decimals](int) { return Gold(decimals); };
    data.Reset(1, 15);
}

BarRecord Bar(int seq, int open, int close, int high, int low, int reference) {
    BarRecord r = FinishedBar(seq, open, close, high, low);
    r.reference = reference;
    return r;
}

// Four bars, oldest first: falling, rising, and two with equal open and close, the first below
// its reference (falling), the second above it (rising). Highest high 1200 and lowest low 900
// both belong to the rising bar.
void FourBars(KLineData& data, int width = 400, int height = 300) {
    ResetGold(data);
    data.AppendHistoryBar(Bar(4, 1050, 1050, 1080, 1020, 1040));
    data.AppendHistoryBar(Bar(3, 1050, 1050, 1080, 1020, 1060));
    data.AppendHistoryBar(Bar(2, 1000, 1100, 1200, 900, 1000));
    data.AppendHistoryBar(Bar(1, 1100, 1000, 1150, 950, 1100));
    data.SetClientSize(width, height);
    ASSERT_TRUE(data.Layout());
    data.SetZoom(100);  // the widest bars, 53 pixels apart
    ASSERT_TRUE(data.Layout());
}

ChartTexts Texts(const KLineData& data) {
    return {WatermarkText(), CaptionText(data.Product(), data.Period())};
}

QImage Paint(KLineData& data, int width, int height) {
    QImage image = MakeChartImage(width, height);
    ChartPainter painter;
    painter.Paint(image, data, Texts(data));
    return image;
}

using test::InkBox;
bool Bright(QRgb c) {
    return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200;
}
bool Light(QRgb c) {
    return qRed(c) > 90 && qGreen(c) > 90 && qBlue(c) > 90;
}
bool Bluish(QRgb c) {
    return qBlue(c) > 40 && qBlue(c) > qRed(c) + 20;
}
bool Reddish(QRgb c) {
    return qRed(c) > 180 && qGreen(c) < 90 && qBlue(c) < 90;
}
bool Greenish(QRgb c) {
    return qGreen(c) > 80 && qGreen(c) > 2 * qRed(c) && qGreen(c) > 2 * qBlue(c);
}
std::function<bool(QRgb)> Exactly(QRgb colour) {
    return [colour](QRgb c) { return (c & 0xFFFFFF) == (colour & 0xFFFFFF); };
}

std::vector<int> GridRows(const QImage& image) {
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        bool dotted = true;
        for (int x = 0; x < 10; ++x)
            dotted = dotted && image.pixel(x, y) == (x % 2 == 0 ? chart_color::Grid : kBlack);
        if (dotted) rows.push_back(y);
    }
    return rows;
}

TEST(ChartPaintTest, GridRowsFollowTheRowHeightRule) {
    KLineData data;
    ResetGold(data);  // no bars: background, watermark, caption and grid only
    EXPECT_EQ(GridRows(Paint(data, 400, 199)), (std::vector<int>{20, 99, 178}));
    EXPECT_EQ(GridRows(Paint(data, 400, 600)),
              (std::vector<int>{20, 100, 180, 260, 340, 420, 500, 580}));
    // The grid runs across the full width.
    const QImage wide = Paint(data, 400, 600);
    EXPECT_EQ(wide.pixel(398, 100), chart_color::Grid);
    EXPECT_EQ(wide.pixel(399, 100), kBlack);

    // A chart too low for a row shows only its background.
    const QImage low = Paint(data, 400, 41);
    EXPECT_TRUE(InkBox(low, low.rect(), [](QRgb c) { return c != kBlack; }).isNull());
}

TEST(ChartPaintTest, WatermarkAndCaption) {
    KLineData data;
    ResetGold(data);
    const QImage image = Paint(data, 800, 600);
    // The caption: gold's name and the period caption, at (5, 4).
    const QRect caption = InkBox(image, QRect(0, 0, 400, 20), Exactly(chart_color::Caption));
    ASSERT_FALSE(caption.isNull());
    const QFontMetricsF fm(ArialFont(9), &image);
    const double width = fm.horizontalAdvance(QString::fromUtf8("伦敦金(T+0) 15分钟线"));
    EXPECT_NEAR(caption.left(), 5, 2);
    EXPECT_NEAR(caption.right(), 5 + width, 6);
    EXPECT_GE(caption.top(), 4);
    // The watermark: tiles from (20, 20) over the whole chart.
    const auto watermark = Exactly(chart_color::Watermark);
    const QRect first = InkBox(image, QRect(0, 21, 800, 30), watermark);
    ASSERT_FALSE(first.isNull());
    EXPECT_NEAR(first.left(), 20, 3);
    EXPECT_FALSE(InkBox(image, QRect(400, 450, 400, 150), watermark).isNull());
    EXPECT_TRUE(WatermarkText().startsWith(QStringLiteral("ZelvanQuorvex ")));
    EXPECT_FALSE(WatermarkText().contains(QStringLiteral("http")));
}

// The watermark is painted once and copied; every copy must have exactly the pixels of the text
// drawn at that place, including the copies cut by the right and bottom edges and at another
// resolution. Compared below the caption and off the grid rows, which lie over the watermark.
TEST(ChartPaintTest, WatermarkCopiesHaveThePixelsOfTheTextDrawnInPlace) {
    KLineData data;
    ResetGold(data);
    for (const auto& [w, h, dpi] :
         {std::tuple{800, 600, 96}, std::tuple{1931, 1087, 96}, std::tuple{517, 333, 120}}) {
        QImage painted = MakeChartImage(w, h, dpi);
        ChartPainter painter;
        painter.Paint(painted, data, Texts(data));

        QImage drawn = MakeChartImage(w, h, dpi);
        {
            QPainter p(&drawn);
            p.setFont(ArialFont(12));
            p.setPen(ChartColour(chart_color::Watermark));
            const QFontMetricsF fm(p.font(), &drawn);
            const int dx = static_cast<int>(fm.horizontalAdvance(WatermarkText()) + 50);
            const int dy = static_cast<int>(fm.height() + 50);
            for (int x = 20; x <= w; x += dx)
                for (int y = 20; y <= h; y += dy) TextAt(p, x, y, WatermarkText());
        }
        const std::vector<int> grid = GridRows(painted);
        int differing = 0, ink = 0;
        for (int y = 20; y < h; ++y) {
            if (std::find(grid.begin(), grid.end(), y) != grid.end()) continue;
            for (int x = 0; x < w; ++x) {
                differing += painted.pixel(x, y) != drawn.pixel(x, y);
                ink += drawn.pixel(x, y) != kBlack;
            }
        }
        EXPECT_EQ(differing, 0) << w << "x" << h << " at " << dpi << " dpi";
        EXPECT_GT(ink, 1000) << "the reference has its watermark";
    }
}

TEST(ChartPaintTest, CandlesOfBothDirections) {
    KLineData data;
    FourBars(data);
    const std::vector<BarGeometry> g = data.Geometry();
    ASSERT_EQ(g.size(), 4u);
    const QImage image = Paint(data, 400, 300);
    if (const char* dump = std::getenv("ZQ_DUMP")) image.save(QString(dump) + "/candles.png");
    KLineData empty;
    ResetGold(empty);
    const QImage backdrop = Paint(empty, 400, 300);

    // Falling: a white body filled from the open down to the close, wicks above and below.
    const BarGeometry& falling = g[3];
    ASSERT_EQ(falling.direction, -1);
    const int fc = falling.Centre();
    const int fClose = static_cast<int>(falling.yClose);
    ASSERT_GE(fClose - falling.yOpen, 2);
    for (int x = falling.left; x < falling.right; ++x) {
        EXPECT_EQ(image.pixel(x, falling.yOpen), kWhite) << x;
        EXPECT_EQ(image.pixel(x, fClose - 1), kWhite) << x;
    }
    EXPECT_EQ(image.pixel(falling.left - 1, falling.yOpen + 2),
              backdrop.pixel(falling.left - 1, falling.yOpen + 2));
    EXPECT_EQ(image.pixel(fc, falling.yHigh), kWhite);
    EXPECT_EQ(image.pixel(fc, falling.yLow), kWhite);
    EXPECT_EQ(image.pixel(fc + 1, falling.yHigh + 1), backdrop.pixel(fc + 1, falling.yHigh + 1));

    // Rising: a red outline from the close to the open, hollow inside, red wicks.
    const BarGeometry& rising = g[2];
    ASSERT_EQ(rising.direction, 1);
    const int rc = rising.Centre();
    const int rClose = static_cast<int>(rising.yClose);
    const int mid = (rClose + rising.yOpen) / 2;
    EXPECT_EQ(image.pixel(rising.left, mid), kRed);
    EXPECT_EQ(image.pixel(rising.right, mid), kRed);
    for (int x = rising.left; x <= rising.right; ++x) {
        EXPECT_EQ(image.pixel(x, rClose), kRed) << x;
        EXPECT_EQ(image.pixel(x, rising.yOpen), kRed) << x;
    }
    EXPECT_EQ(image.pixel(rising.left + 3, mid), backdrop.pixel(rising.left + 3, mid));
    EXPECT_EQ(image.pixel(rc, rising.yHigh + 3), kRed);  // below the label's arrow head
    EXPECT_EQ(image.pixel(rc, rising.yLow - 3), kRed);

    // Equal open and close: a horizontal line in the bar's colour, nothing above or below it.
    const BarGeometry& flatFalling = g[1];
    const BarGeometry& flatRising = g[0];
    ASSERT_EQ(flatFalling.direction, -1);
    ASSERT_EQ(flatRising.direction, 1);
    for (int x = flatFalling.left; x <= flatFalling.right; ++x) {
        EXPECT_EQ(image.pixel(x, flatFalling.yOpen), kWhite) << x;
        EXPECT_EQ(image.pixel(flatRising.left + (x - flatFalling.left), flatRising.yOpen), kRed);
    }
    const int beside = flatFalling.left + 2;
    EXPECT_EQ(image.pixel(beside, flatFalling.yOpen + 1),
              backdrop.pixel(beside, flatFalling.yOpen + 1));
}

TEST(ChartPaintTest, HighestLowestAndLivePriceLabels) {
    KLineData data;
    FourBars(data, 600, 400);
    // A live bar inside the range.
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1130, 1140, 1090)), LiveResult::FullLayout);
    const std::vector<BarGeometry> g = data.Geometry();
    ASSERT_EQ(g.size(), 5u);
    const QImage image = Paint(data, 600, 400);
    if (const char* dump = std::getenv("ZQ_DUMP")) image.save(QString(dump) + "/labels.png");

    const BarGeometry& rising = g[3];  // holds both the highest high and the lowest low
    const int c = rising.Centre();
    for (int y : {rising.yHigh, rising.yLow}) {
        // The arrow line runs 10 pixels to the right, its arrow head at the bar.
        EXPECT_EQ(image.pixel(c + 8, y), kWhite);
        EXPECT_EQ(image.pixel(c + 2, y - 1), kWhite);
        EXPECT_EQ(image.pixel(c + 2, y + 1), kWhite);
        // The price text from (c + 10, y - 5).
        const QRect text = InkBox(image, QRect(c + 11, y - 10, 80, 25), Light);
        ASSERT_FALSE(text.isNull()) << y;
        EXPECT_NEAR(text.left(), c + 11, 3) << y;
        EXPECT_GE(text.top(), y - 5) << y;
        EXPECT_LE(text.top(), y) << y;
    }
    // "12.00" and "9.00" are about five and four digits wide.
    const QFontMetricsF fm(SongFont(9), &image);
    const QRect high = InkBox(image, QRect(c + 11, rising.yHigh - 10, 80, 25), Light);
    EXPECT_NEAR(high.width(), fm.horizontalAdvance(QStringLiteral("12.00")), 4);

    // The live price marker: a green arrow line of 8 pixels and the last price beside it.
    const BarGeometry& live = g[0];
    ASSERT_TRUE(IsLiveBar(live.raw));
    const int y = static_cast<int>(live.yClose);
    EXPECT_EQ(image.pixel(live.right + 6, y), chart_color::LivePrice);
    EXPECT_EQ(image.pixel(live.right + 2, y - 1), chart_color::LivePrice);
    const QRect text = InkBox(image, QRect(live.right + 9, y - 12, 60, 30), Greenish);
    ASSERT_FALSE(text.isNull());
    EXPECT_NEAR(text.left(), live.right + 8, 3);
    EXPECT_GE(text.top(), y - 7);
    const QFontMetricsF fm10(SongFont(10), &image);
    EXPECT_NEAR(text.right() - (live.right + 7), fm10.horizontalAdvance(QStringLiteral("11.30")),
                4);

    // A live bar that sets the high has its label on the left, clear of the last price.
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1670, 1670, 1090)), LiveResult::FullLayout);
    const BarGeometry top = data.Geometry()[0];
    const QImage atHigh = Paint(data, 600, 400);
    EXPECT_TRUE(InkBox(atHigh, QRect(top.right + 9, top.yHigh - 12, 60, 30), Light).isNull());
    EXPECT_FALSE(InkBox(atHigh, QRect(top.Centre() - 52, top.yHigh - 8, 44, 20), Light).isNull());

    // Heikin Ashi: the marker stands at the last price it shows, not at the bar's average close.
    data.SetChartType(chart_type::HeikinAshi);
    ASSERT_TRUE(data.Layout());
    const BarGeometry ha = data.Geometry()[0];
    const int last = data.State().Scale().Y(1670);
    ASSERT_GT(std::abs(static_cast<int>(ha.yClose) - last), 10);
    EXPECT_EQ(Paint(data, 600, 400).pixel(ha.right + 6, last), chart_color::LivePrice);
}

TEST(ChartPaintTest, XorCrossErasesItself) {
    QImage image = MakeChartImage(200, 100);
    image.setPixel(50, 10, 0xFF102030);
    const QImage before = image.copy();
    XorCross(image, 50, 40);
    EXPECT_EQ(image.pixel(50, 0) & 0xFFFFFF, chart_color::Cross);
    EXPECT_EQ(image.pixel(50, 99) & 0xFFFFFF, chart_color::Cross);
    EXPECT_EQ(image.pixel(50, 10) & 0xFFFFFF, 0x102030u ^ chart_color::Cross);
    EXPECT_EQ(image.pixel(0, 40) & 0xFFFFFF, chart_color::Cross);
    EXPECT_EQ(image.pixel(199, 40) & 0xFFFFFF, chart_color::Cross);
    EXPECT_EQ(image.pixel(50, 40) & 0xFFFFFF, chart_color::Cross);  // the crossing once only
    EXPECT_EQ(image.pixel(51, 41), kBlack);
    XorCross(image, 50, 40);
    EXPECT_EQ(image, before);
    XorCross(image, 0, 0);  // hidden
    EXPECT_EQ(image, before);
}

// 300 bars of gold stepping up and down, laid out on 1000 x 600.
void ThreeHundredBars(KLineData& data) {
    ResetGold(data);
    for (int i = 299; i >= 0; --i) {
        const int p = 1000 + (i * 37) % 200;
        data.AppendHistoryBar(FinishedBar(i, p, p + 10, p + 30, p - 30));
    }
    data.SetClientSize(1000, 600);
    ASSERT_TRUE(data.Layout());
}

TEST(ChartPaintTest, BandRepaintAfterALiveUpdateMatchesAFullPaint) {
    KLineData data;
    PixelRect band;
    data.hooks.invalidateBand = [&](const PixelRect& b) { band = b; };
    ThreeHundredBars(data);
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1110, 1120, 1090)), LiveResult::FullLayout);
    data.SetCross(data.Geometry()[0].Centre(), 300);  // a cross through the band

    ChartPainter painter;
    QImage image = MakeChartImage(1000, 600);
    painter.Paint(image, data, Texts(data));
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1150, 1160, 1080)), LiveResult::Band);
    const QRect clip(QPoint(band.left, band.top), QPoint(band.right, band.bottom));
    painter.Paint(image, data, Texts(data), clip);

    const QImage full = Paint(data, 1000, 600);
    EXPECT_EQ(image, full);
}

// With the indicators on: each line in its colour through its value at the bars' centres, the
// caption's figures after the instrument and period, and a live update's band repaint (bar
// and caption) still matching a full paint. Off, the same chart paints as without them.
TEST(ChartPaintTest, IndicatorLinesAndCaptionFigures) {
    KLineData data;
    std::vector<PixelRect> bands;
    data.hooks.invalidateBand = [&](const PixelRect& b) { bands.push_back(b); };
    ThreeHundredBars(data);
    const QImage plain = Paint(data, 1000, 600);
    data.SetIndicators(chart_indicator::All);
    ASSERT_TRUE(data.Layout());
    EXPECT_NE(Paint(data, 1000, 600), plain);
    data.SetIndicators(0);
    ASSERT_TRUE(data.Layout());
    EXPECT_EQ(Paint(data, 1000, 600), plain);
    data.SetIndicators(chart_indicator::All);
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1110, 1120, 1090)), LiveResult::FullLayout);

    ChartPainter painter;
    QImage image = MakeChartImage(1000, 600);
    painter.Paint(image, data, Texts(data));
    data.WithLayout([&](const std::vector<BarGeometry>& g, const ChartState& st,
                        const IndicatorLines& lines, const auto&) {
        // Away from the newest bars (the labels), the middle of a bar's span on each line.
        const BarGeometry& bar = g[40];
        const IndicatorBar& v = lines.Visible()[40];
        const auto at = [&](const IndicatorValue& value) {
            return static_cast<int>(st.Scale().YAt(value.value));
        };
        const auto near = [&](int y, QRgb colour) {
            for (int dy = -1; dy <= 1; ++dy)
                if (image.pixel(bar.Centre(), y + dy) == colour) return true;
            return false;
        };
        EXPECT_TRUE(near(at(v.ma[0]), chart_color::Ma5));
        EXPECT_TRUE(near(at(v.ma[3]), chart_color::Ma60));
        EXPECT_TRUE(near(at(v.upper), chart_color::BollingerBand));
        EXPECT_TRUE(near(at(v.lower), chart_color::BollingerBand));
    });
    // The figures stand right of the caption, on its line.
    const int captionRight =
        5 + static_cast<int>(
                QFontMetricsF(ArialFont(9), &image).horizontalAdvance(Texts(data).caption));
    const QRect figures = InkBox(image, QRect(captionRight + 2, 0, 1000 - captionRight - 2, 19),
                                 Exactly(chart_color::Ma5));
    EXPECT_FALSE(figures.isEmpty());
    EXPECT_EQ(plain.copy(0, 0, captionRight, 19), image.copy(0, 0, captionRight, 19));

    bands.clear();
    ASSERT_EQ(data.LiveUpdate(LiveBar(1100, 1150, 1160, 1080)), LiveResult::Band);
    ASSERT_EQ(bands.size(), 2u);  // the bar with the lines' ends, and the caption
    for (const PixelRect& b : bands)
        painter.Paint(image, data, Texts(data),
                      QRect(QPoint(b.left, b.top), QPoint(b.right, b.bottom)));
    EXPECT_EQ(image, Paint(data, 1000, 600));
}

TEST(ChartPaintTest, OverlayAndToolHooksPaintInOrderUnderTheCross) {
    KLineData data;
    FourBars(data);
    data.WithSignals([](SignalList& s) { s.Publish(test::SignalBar()); });
    data.WithTools([](std::vector<ToolLineRecord>& t) { t.push_back(ToolLineRecord{}); });
    const BarGeometry falling = data.Geometry()[3];
    data.SetCross(falling.Centre(), 200);

    std::vector<std::string> order;
    ChartPainter painter;
    painter.hooks.paintSignals = [&](QPainter& p, const SignalList& s,
                                     const ChartPaintContext& ctx) {
        order.push_back("signals " + std::to_string(s.size()));
        EXPECT_EQ(ctx.instrument, 1);
        EXPECT_EQ(ctx.decimals, 2);
        EXPECT_EQ(ctx.client, QRect(0, 0, 400, 300));
        EXPECT_EQ(ctx.scale.hi, 1200);
        // Over the candles.
        p.fillRect(QRect(0, falling.yOpen + 1, 400, 1), QColor(0x123456));
    };
    painter.hooks.paintPositions = [&](QPainter&, const ChartPaintContext&) {
        order.push_back("positions");
    };
    painter.hooks.paintOrders = [&](QPainter&, const ChartPaintContext&) {
        order.push_back("orders");
    };
    painter.hooks.paintTools = [&](QPainter&, const std::vector<ToolLineRecord>& t,
                                   const ChartPaintContext&) {
        order.push_back("tools " + std::to_string(t.size()));
    };
    QImage image = MakeChartImage(400, 300);
    const ChartPainter::Result r = painter.Paint(image, data, Texts(data));
    EXPECT_EQ(order, (std::vector<std::string>{"signals 1", "positions", "orders", "tools 1"}));
    EXPECT_EQ(image.pixel(falling.left + 1, falling.yOpen + 1), 0xFF123456);
    // The cross comes last, XORed over everything.
    EXPECT_EQ(image.pixel(falling.Centre(), falling.yOpen + 1) & 0xFFFFFF,
              0x123456u ^ chart_color::Cross);
    EXPECT_EQ(r.crossX, falling.Centre());
    EXPECT_EQ(r.rowHeight, RowHeight(300));
}

// --- The chart window ---

void Send(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent e(type, QPointF(pos), QPointF(w.mapToGlobal(pos)), button,
                  type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

class ChartWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetUi(&bridge);
        ResetGold(data);
        for (int i = 499; i >= 0; --i) {
            const int p = 1000 + (i * 53) % 300;
            BarRecord b = FinishedBar(i, p, i % 3 ? p + 20 : p - 20, p + 40, p - 40);
            data.AppendHistoryBar(b);
        }
        tips.resize(kLeftPanelWidth, 600);
        chart.resize(800, 600);
        chart.InstallDataHooks();
        chart.runMenu = [this](const std::vector<ChartMenuItem>& items, const QPoint&) {
            menus.push_back(items);
            return menuAnswer;
        };
        tips.show();
        chart.show();
        data.SetClientSize(800, 600);
        ASSERT_TRUE(data.Layout());
        chart.Render();
    }
    BarGeometry Bar(int i) const { return data.Geometry()[static_cast<std::size_t>(i)]; }
    // A fresh full paint of the chart as it stands.
    QImage Fresh() {
        chart.InvalidateAll();
        return chart.Render().copy();
    }

    void TearDown() override { SetUi(nullptr); }

    QtBridge bridge;
    KLineData data;
    int paging = 0;
    std::vector<int> commands;
    std::vector<std::vector<ChartMenuItem>> menus;
    int menuAnswer = 0;
    CLeftTips tips{data};
    CKMain chart{data, &tips, [this] { ++paging; }, [this](int c) { commands.push_back(c); }};
};

TEST_F(ChartWindowTest, TheMouseMovesAnXorCrossThatLeavesNoTrace) {
    const QImage clean = chart.Render().copy();
    Send(chart, QEvent::MouseButtonPress, {300, 300}, Qt::LeftButton);
    Send(chart, QEvent::MouseButtonRelease, {300, 300}, Qt::LeftButton);
    EXPECT_EQ(chart.View().Mode(), ChartMode::Cross);
    EXPECT_TRUE(tips.DataWindowVisible());

    const BarGeometry b = Bar(40);
    Send(chart, QEvent::MouseMove, {b.left, 250});
    EXPECT_EQ(chart.DrawnCross(), QPoint(b.Centre(), 250));
    EXPECT_EQ(Time(tips.DataWindowBar()), Time(b.raw));
    const QImage withCross = chart.Render().copy();
    const QImage reference = Fresh();
    EXPECT_EQ(withCross, reference);  // moving the cross equals painting it afresh
    for (QPoint p :
         {QPoint(b.Centre(), 5), QPoint(b.Centre(), 590), QPoint(3, 250), QPoint(795, 250)})
        EXPECT_EQ((withCross.pixel(p) ^ clean.pixel(p)) & 0xFFFFFF, chart_color::Cross) << p.x();
    EXPECT_EQ(withCross.pixel(b.Centre() + 5, 100), clean.pixel(b.Centre() + 5, 100));

    // Leaving the window erases it, and the image is the chart without a cross again.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&chart, &leave);
    EXPECT_EQ(chart.DrawnCross(), QPoint(0, 0));
    EXPECT_EQ(chart.Render(), clean);
}

TEST_F(ChartWindowTest, TheCrossStaysOnItsBarThroughLayouts) {
    chart.SelectMode(ChartMode::Cross);
    const BarGeometry b = Bar(60);
    Send(chart, QEvent::MouseMove, {b.left + 1, 300});
    const std::string bar = Time(b.raw);

    chart.OnKey(ChartKey::Up);  // wider bars: the bar moves
    const int at = data.State().selected;
    ASSERT_GE(at, 0);
    EXPECT_EQ(Time(Bar(at).raw), bar);
    EXPECT_NE(Bar(at).Centre(), b.Centre());
    chart.Render();
    EXPECT_EQ(chart.DrawnCross().x(), Bar(at).Centre());
    EXPECT_EQ(Time(tips.DataWindowBar()), bar);
    EXPECT_EQ(chart.Render(), Fresh());
}

TEST_F(ChartWindowTest, KeysReachTheChartAndLeftAndDownAskForHistory) {
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QApplication::sendEvent(&chart, &left);
    EXPECT_EQ(paging, 1);
    EXPECT_EQ(data.State().firstVisible, 1);
    chart.OnKey(ChartKey::Down);
    EXPECT_EQ(paging, 2);
    chart.OnKey(ChartKey::Up);
    chart.OnKey(ChartKey::Right);
    EXPECT_EQ(paging, 2);
    EXPECT_EQ(data.State().firstVisible, 0);
    ChartKey key;
    EXPECT_FALSE(CKMain::ToChartKey(Qt::Key_Space, key));
}

TEST_F(ChartWindowTest, HandCursorOnlyInMoveMode) {
    chart.SelectMode(ChartMode::MoveKLine);
    EXPECT_EQ(chart.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_FALSE(tips.DataWindowVisible());
    chart.SelectMode(ChartMode::Cross);
    EXPECT_EQ(chart.cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(tips.DataWindowVisible());
}

TEST_F(ChartWindowTest, ContextMenusSendTheirCommandsToTheFrame) {
    menuAnswer = cmdid::TradeReport;
    Send(chart, QEvent::MouseButtonPress, {200, 200}, Qt::RightButton);
    ASSERT_EQ(menus.size(), 1u);
    ASSERT_EQ(menus[0].size(), 1u);
    EXPECT_STREQ(menus[0][0].text, "交易报表");
    EXPECT_EQ(commands, std::vector<int>{cmdid::TradeReport});

    std::vector<std::string> selected;
    chart.SetHitTest(
        [](int x, int) {
            return x < 100 ? ChartHit{ChartHitKind::Position, "T1"} : ChartHit{};
        },
        [&](const ChartHit& h) { selected.push_back(h.id); });
    chart.SelectMode(ChartMode::Cross);
    menuAnswer = cmdid::ClosePosition;
    Send(chart, QEvent::MouseButtonPress, {50, 200}, Qt::RightButton);
    EXPECT_EQ(chart.View().Mode(), ChartMode::Default);
    EXPECT_FALSE(tips.DataWindowVisible());
    EXPECT_EQ(selected, std::vector<std::string>{"T1"});
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[1][0].command, cmdid::ModifyPosition);
    EXPECT_EQ(commands, (std::vector<int>{cmdid::TradeReport, cmdid::ClosePosition}));

    menuAnswer = 0;  // dismissed
    Send(chart, QEvent::MouseButtonPress, {50, 200}, Qt::RightButton);
    EXPECT_EQ(commands.size(), 2u);
}

TEST_F(ChartWindowTest, LiveUpdatesFromAWorkerThreadRepaintOnTheWindowThread) {
    const QImage before = chart.Render().copy();
    // One new live bar (a full layout) and one update inside the range (a band).
    std::thread worker([this] {
        data.LiveUpdate(LiveBar(1100, 1120, 1130, 1090));
        data.LiveUpdate(LiveBar(1100, 1125, 1130, 1090));
    });
    worker.join();
    EXPECT_EQ(chart.Render(), before);  // nothing painted until the window's thread runs
    QCoreApplication::processEvents();
    const QImage after = chart.Render().copy();
    const BarGeometry live = Bar(0);
    ASSERT_TRUE(IsLiveBar(live.raw));
    EXPECT_EQ(after.pixel(live.right + 6, static_cast<int>(live.yClose)), chart_color::LivePrice);
    EXPECT_EQ(after, Fresh());
}

TEST_F(ChartWindowTest, ResizingHidesTheCrossAndLeavesTheMode) {
    chart.SelectMode(ChartMode::Cross);
    Send(chart, QEvent::MouseMove, {Bar(3).left, 300});
    ASSERT_NE(chart.DrawnCross(), QPoint(0, 0));
    chart.resize(700, 500);
    EXPECT_EQ(chart.View().Mode(), ChartMode::Default);
    EXPECT_FALSE(data.State().CrossShown());
    EXPECT_FALSE(tips.DataWindowVisible());
    EXPECT_EQ(data.ClientWidth(), 700);
    data.Layout();
    EXPECT_EQ(chart.Render().size(), QSize(700, 500));
    EXPECT_EQ(chart.DrawnCross(), QPoint(0, 0));
}

// --- The left panel ---

TEST(LeftPanelTest, PriceScaleRowsAndLabels) {
    KLineData data;
    ResetGold(data);
    CLeftTips tips(data);
    tips.resize(kLeftPanelWidth, 600);
    QImage image = tips.Render();
    // The red border on the right, nothing else without a scale.
    for (int y = 0; y < 600; y += 50) EXPECT_EQ(image.pixel(84, y), kRed) << y;
    EXPECT_TRUE(InkBox(image, QRect(0, 0, 84, 600), [](QRgb c) { return c != kBlack; }).isNull());

    // hi 1200.00, one pixel per 1.00: a label every 80 pixels from y = 15, each the price of
    // the grid line beside it, with one decimal fewer than the instrument.
    tips.UpdatePriceScale(80, 120000, 0.01f, 0, 1);
    EXPECT_EQ(tips.ScaleLabel(15), QStringLiteral("1215.0"));  // grid line at 20
    EXPECT_EQ(tips.ScaleLabel(95), QStringLiteral("1135.0"));  // grid line at 100
    image = tips.Render();
    if (const char* dump = std::getenv("ZQ_DUMP")) image.save(QString(dump) + "/panel.png");
    const auto label = Bluish;
    for (int row = 15; row < 600; row += 80) {
        const QRect text = InkBox(image, QRect(0, row - 10, 84, 30), label);
        ASSERT_FALSE(text.isNull()) << row;
        EXPECT_NEAR(text.left(), 40, 2) << row;
        EXPECT_GE(text.top(), row - 5) << row;
        EXPECT_LE(text.bottom(), row + 12) << row;
    }
    EXPECT_TRUE(InkBox(image, QRect(0, 36, 84, 50), label).isNull());

    // Row height -1 keeps the rows; no decimals at all keep the format whole.
    tips.UpdatePriceScale(-1, 120000, 0.01f, 0, 1);
    EXPECT_EQ(tips.RowHeight(), 80);
    KLineData plain;
    ResetGold(plain, 0);
    CLeftTips whole(plain);
    whole.UpdatePriceScale(80, 1200, 0.5f, 10, 1);
    EXPECT_EQ(whole.ScaleLabel(15), QStringLiteral("1250"));  // (20 - 10 - 35) / 0.5 below hi
}

TEST(LeftPanelTest, DataWindowRowsAndColours) {
    KLineData data;
    ResetGold(data);
    CLeftTips tips(data);
    tips.resize(kLeftPanelWidth, 600);
    tips.UpdatePriceScale(80, 120000, 0.01f, 0, 1);
    // Open and high above the reference, low below it, close equal to it.
    const BarRecord bar = Bar(7, 11100, 10500, 12000, 10000, 10500);
    tips.SetDataWindow(135, bar);
    EXPECT_FALSE(tips.DataWindowVisible());
    QImage image = tips.Render();
    EXPECT_EQ(image.pixel(40, 0), kBlack);  // hidden: no box

    tips.ShowDataWindow(true);
    image = tips.Render();
    EXPECT_NEAR(tips.DataWindowPrice(), 110000, 0.01);  // 100 pixels below the top
    for (int x = 0; x < 85; ++x) {
        EXPECT_EQ(image.pixel(x, 0), kRed) << x;
        EXPECT_EQ(image.pixel(x, 225), kRed) << x;
    }
    for (int y = 0; y <= 225; ++y) EXPECT_EQ(image.pixel(0, y), kRed) << y;
    EXPECT_EQ(image.pixel(40, 226), kBlack);

    struct Row {
        int y;
        std::function<bool(QRgb)> ink;
    };
    const Row rows[] = {
        {58, Reddish}, {94, Reddish}, {130, Reddish}, {166, Greenish}, {202, Bright}};
    for (const Row& r : rows) {
        const QRect text = InkBox(image, QRect(1, r.y, 83, 17), r.ink);
        ASSERT_FALSE(text.isNull()) << r.y;
        EXPECT_NEAR(text.right(), 85 - 10, 2) << r.y;  // right-aligned at W - 10
    }
    // Labels and the time in grey from x = 8.
    const auto grey = [](QRgb c) {
        return qRed(c) > 120 && qRed(c) == qGreen(c) && qRed(c) == qBlue(c);
    };
    for (int y : {4, 22, 40, 76, 112, 148, 184}) {
        const QRect text = InkBox(image, QRect(1, y, 83, 17), grey);
        ASSERT_FALSE(text.isNull()) << y;
        EXPECT_GE(text.left(), 8) << y;
        EXPECT_LE(text.left(), 13) << y;
    }

    // A bar without prices shows no data window.
    tips.SetDataWindow(135, BarRecord{});
    image = tips.Render();
    EXPECT_EQ(image.pixel(40, 0), kBlack);
}

TEST(PriceStaticTest, TextInItsColourOverTheDialogBackground) {
    QWidget dialog;
    dialog.resize(300, 100);
    QPalette pal = dialog.palette();
    pal.setColor(QPalette::Window, QColor(0x20, 0x80, 0x20));
    dialog.setPalette(pal);
    dialog.setAutoFillBackground(true);
    CPriceStatic price(&dialog);
    price.setGeometry(10, 10, 200, 60);
    price.SetText(QStringLiteral("1650.50"));
    price.SetColor(0xFFFF0000);
    dialog.show();
    const QImage image = dialog.grab().toImage();
    const QRect text = InkBox(image, QRect(10, 10, 200, 60), Reddish);
    ASSERT_FALSE(text.isNull());
    EXPECT_NEAR(text.left(), 10, 3);
    EXPECT_NEAR(text.center().y(), 10 + 30, 5);  // centred in the control's height
    EXPECT_EQ(image.pixel(205, 15), QColor(0x20, 0x80, 0x20).rgb());
    EXPECT_EQ(price.Text(), QStringLiteral("1650.50"));
}

}  // namespace
}  // namespace zq
