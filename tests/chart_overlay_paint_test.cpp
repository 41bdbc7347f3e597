// The overlays as a person sees them: the texts and their formats, the dashed lines in their
// colours and patterns, the label boxes of positions and orders below (buy) or above (sell)
// their lines with the rectangles stored for the hit test, the take-profit and stop-loss lines,
// the support and resistance texts on their sides of the line, the signals that are skipped;
// and, through the chart window with a trading model, a right click on a label that opens the
// position or order menu and selects the record.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "chart/overlay_layout.h"
#include "chart/ui/chart_painter.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/overlay_painter.h"
#include "market/wire/signal_record.h"
#include "net/wire/ansi_text.h"
#include "tests/market_fixtures.h"
#include "tests/support/pixels.h"
#include "tests/trading_fixtures.h"
#include "widgets/command_ids.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

using test::MakeOrder;
using test::MakePosition;

constexpr int kW = 600;
constexpr int kH = 400;
constexpr QRgb kBlack = 0xFF000000;

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

ChartPaintContext Context(int decimals = 2) {
    ChartPaintContext ctx;
    ctx.client = QRect(0, 0, kW, kH);
    ctx.instrument = 1;
    ctx.decimals = decimals;
    ctx.scale = {200000, 1.0f, 0};
    ctx.rowHeight = 80;
    return ctx;
}

BarRecord Signal(std::int32_t y, std::uint8_t side, int instrument = 1,
                 std::int32_t price = 165050) {
    SignalRecord s{};
    s.instrument = static_cast<std::int8_t>(instrument);
    s.price = price;
    s.stopLoss = 164000;
    s.amount = 350;
    s.side = side;
    s.lots = 200;
    s.lineY = y;
    s.published = 1710466200;  // 2024-03-15 01:30 UTC, 09:30 in China
    s.marker = kSignalMarker;
    return AsBar(s);
}

// One cache for all cases, as the chart keeps one for all its paints.
OverlayTextCache& TheTexts() {
    static OverlayTextCache texts;
    return texts;
}

// Paints with one of the overlay painters on a black image.
QImage Painted(const std::function<void(QPainter&)>& paint) {
    QImage image = MakeChartImage(kW, kH);
    QPainter p(&image);
    paint(p);
    p.end();
    return image;
}
// Positions or orders as the layout placed them, at the rows given.
template <class Record>
PlacedTrade<Record> At(Record r, std::int32_t price, std::int32_t take = 0, std::int32_t stop = 0) {
    return {r, {price, stop, take}};
}
// The labels one paint left, in the order drawn.
std::vector<TradeLabel> labels;
QImage PaintedPositions(const std::vector<PlacedPosition>& positions,
                        const ChartPaintContext& ctx = Context()) {
    labels.clear();
    return Painted([&](QPainter& p) { PaintPositions(p, positions, ctx, TheTexts(), labels); });
}
// The rectangle of the i-th label drawn.
PixelRect LabelAt(std::size_t i) {
    return i < labels.size() ? labels[i].rect : PixelRect{};
}
QImage PaintedSignals(const std::vector<BarRecord>& signals,
                      const ChartPaintContext& ctx = Context()) {
    SignalList list;
    for (const BarRecord& r : signals) list.Publish(r);
    return Painted([&](QPainter& p) { PaintSignals(p, list, ctx, TheTexts()); });
}

using test::InkBox;
bool NotBlack(QRgb c) {
    return (c & 0xFFFFFF) != 0;
}
// Antialiased text in a colour of the given hue over black.
bool Reddish(QRgb c) {
    return qRed(c) > 60 && qGreen(c) < qRed(c) / 3 && qBlue(c) < qRed(c) / 3;
}
bool Greenish(QRgb c) {
    return qGreen(c) > 60 && qRed(c) < qGreen(c) / 3 && qBlue(c) < qGreen(c) / 3;
}
bool Greyish(QRgb c) {
    return qRed(c) > 40 && std::abs(qRed(c) - qGreen(c)) < 12 && std::abs(qRed(c) - qBlue(c)) < 12;
}

// Row y holds a dashed line of `colour` from x = 0 to the right edge in `pattern`, and nothing
// else.
void ExpectDashedRow(const QImage& image, int y, QRgb colour, const std::vector<int>& pattern) {
    int period = 0;
    for (int n : pattern) period += n;
    for (int x = 0; x < image.width(); ++x) {
        int at = x % period;
        bool on = false;
        for (std::size_t i = 0; i < pattern.size(); at -= pattern[i], ++i) {
            if (at < pattern[i]) {
                on = i % 2 == 0;
                break;
            }
        }
        ASSERT_EQ(image.pixel(x, y), on ? colour : kBlack) << "row " << y << " x " << x;
    }
}

// The rows outside `except` that hold anything.
std::vector<int> InkedRows(const QImage& image, const QRect& except = QRect()) {
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!except.contains(x, y) && NotBlack(image.pixel(x, y))) {
                rows.push_back(y);
                break;
            }
    return rows;
}

QRect ToQRect(const PixelRect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

// --- Texts ---

TEST(OverlayTextTest, LabelsAndStopTexts) {
    const PositionRecord buy = MakePosition(1, direction::Buy, 1650.5, 2);
    EXPECT_EQ(PositionLabelText(buy, 2), U("买持仓 1650.50  2.00手"));
    const PositionRecord sell = MakePosition(1, direction::Sell, 6.81234, 12.5);
    EXPECT_EQ(PositionLabelText(sell, 4), U("卖持仓 6.8123 12.50手"));
    PendingOrderRecord order = MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 3150);
    order.quantity = 0.3;
    EXPECT_EQ(OrderLabelText(order, 0), U("买指价 3150  0.30手"));
    order.direction = direction::Sell;
    EXPECT_EQ(OrderLabelText(order, 1), U("卖指价 3150.0  0.30手"));
    EXPECT_EQ(TakeProfitText(1650.5, 1660, 2), U("1650.50盈 1660.00 "));
    EXPECT_EQ(StopLossText(1650.5, 1640.25, 2), U("1650.50损 1640.25 "));
}

TEST(OverlayTextTest, SignalTexts) {
    SignalRecord s = AsSignal(Signal(100, signal_side::Support));
    // The gaps are ideographic spaces (U+3000).
    EXPECT_EQ(SignalLevelText(s, 2), U("支撑位1650.50\u30002.00手/3.50万元\u30001640.00止损"));
    s.side = signal_side::Resistance;
    s.lots = 5;
    EXPECT_EQ(SignalLevelText(s, 3), U("阻力位165.050\u30000.05手/3.50万元\u3000164.000止损"));
    s.side = 31;
    EXPECT_TRUE(SignalLevelText(s, 2).isEmpty());
    // Publication times are shown in local time; here a machine at UTC+8.
    const std::string oldTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    const bool hadTz = std::getenv("TZ") != nullptr;
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
    EXPECT_EQ(SignalTimeText(1710466200), U("03月15日 09时30分发布"));
    EXPECT_EQ(SignalTimeText(1704067140), U("01月01日 07时59分发布"));  // 2023-12-31 23:59 UTC
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(SignalTimeText(1704067140), U("12月31日 23时59分发布"));
    if (hadTz)
        ::setenv("TZ", oldTz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(OverlayTextTest, DashSpansFollowThePatternFromTheLeftEdge) {
    const std::vector<DashSpan> s = DashSpans(10, 40, SignalDash());
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].first, 10);
    EXPECT_EQ(s[0].last, 14);
    EXPECT_EQ(s[1].first, 17);
    EXPECT_EQ(s[1].last, 31);
    EXPECT_EQ(s[2].first, 36);
    EXPECT_EQ(s[2].last, 39);  // cut at the right edge
    EXPECT_TRUE(DashSpans(10, 10, TradeDash()).empty());
}

// --- Positions and orders ---

TEST(OverlayPaintTest, PositionWithoutStopsDrawsOneLineAndOneLabelBelowForBuy) {
    const QImage image = PaintedPositions({At(MakePosition(1, direction::Buy, 1650.5, 2), 200)});
    if (const char* dump = std::getenv("ZQ_DUMP")) image.save(QString(dump) + "/position.png");

    ExpectDashedRow(image, 200, overlay_color::TradeLine, TradeDash());
    // The label: below the line, 8 pixels in, as large as its text (in whole pixels, and
    // holding all of its glyphs).
    const QFontMetricsF fm(SongFont(9), &image);
    const QString text = U("买持仓 1650.50  2.00手");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0].owner.kind, ChartHitKind::Position);
    EXPECT_EQ(labels[0].owner.id, "P1");
    const PixelRect label = LabelAt(0);
    EXPECT_EQ(label.left, 8);
    EXPECT_EQ(label.top, 201);
    EXPECT_EQ(label.right, 8 + static_cast<int>(std::ceil(fm.horizontalAdvance(text))));
    EXPECT_GE(label.bottom - label.top, std::ceil(fm.height()));
    EXPECT_LE(label.bottom - label.top, std::ceil(fm.height()) + 3);
    const QRect box = ToQRect(label);
    EXPECT_EQ(image.pixel(box.topLeft()), overlay_color::LabelBox);
    EXPECT_EQ(image.pixel(box.bottomRight()), overlay_color::LabelBox);
    // Dark text inside the box.
    const QRect ink = InkBox(image, box, [](QRgb c) { return qRed(c) < 0xB0; });
    ASSERT_FALSE(ink.isNull());
    EXPECT_LE(ink.left(), box.left() + 3);
    EXPECT_GE(ink.right(), box.right() - 6);
    // Nothing but the line and the box.
    EXPECT_EQ(InkedRows(image, box), std::vector<int>{200});
}

TEST(OverlayPaintTest, SellLabelSitsAboveItsLine) {
    const QImage image = PaintedPositions({At(MakePosition(1, direction::Sell, 1650.5, 2), 200)});
    const PixelRect label = LabelAt(0);
    EXPECT_EQ(label.bottom, 200);  // the box's last row is the one above the line
    EXPECT_GE(label.bottom - label.top, std::ceil(QFontMetricsF(SongFont(9), &image).height()));
    EXPECT_EQ(image.pixel(label.left, 199), overlay_color::LabelBox);
    EXPECT_EQ(image.pixel(label.left + 1, 201), kBlack);
    ExpectDashedRow(image, 200, overlay_color::TradeLine, TradeDash());
    EXPECT_EQ(InkedRows(image, ToQRect(label)), std::vector<int>{200});
}

TEST(OverlayPaintTest, TakeProfitAndStopLossLinesWithTheirTexts) {
    const std::vector<PlacedPosition> positions{
        At(MakePosition(1, direction::Buy, 1650.5, 2, 1640, 1660), 200, 120, 300)};
    // A red candle body behind the texts.
    const QImage image = Painted([&](QPainter& p) {
        for (int y : {121, 301})
            p.fillRect(QRect(0, y, 60, 10), QColor::fromRgb(chart_color::Rising));
        PaintPositions(p, positions, Context(), TheTexts(), labels);
    });

    ExpectDashedRow(image, 120, overlay_color::TakeProfit, TradeDash());
    ExpectDashedRow(image, 300, overlay_color::StopLoss, TradeDash());
    ExpectDashedRow(image, 200, overlay_color::TradeLine, TradeDash());
    const int h = static_cast<int>(QFontMetricsF(SongFont(9), &image).height());
    for (int y : {120, 300}) {
        // Grey text under each line from x = 8; the line row itself stays a clean dash.
        const QRect text = InkBox(image, QRect(0, y + 1, kW, h), Greyish);
        ASSERT_FALSE(text.isNull()) << y;
        EXPECT_NEAR(text.left(), 9, 2) << y;
        EXPECT_GE(text.top(), y + 1);
        const QFontMetricsF fm(SongFont(9), &image);
        const double width = fm.horizontalAdvance(y == 120 ? TakeProfitText(1650.5, 1660, 2)
                                                           : StopLossText(1650.5, 1640, 2));
        EXPECT_NEAR(text.right(), 8 + width, 8) << y;
        // The text stands on the chart's background, not on the candle.
        for (int row = y + 1; row < y + 11; ++row)
            EXPECT_NE(image.pixel(text.left() + 1, row), chart_color::Rising) << y << " " << row;
    }
}

TEST(OverlayPaintTest, OrdersLikePositionsOnlyWaitingOnesOfTheInstrument) {
    const std::vector<PlacedOrder> orders{
        At(MakeOrder(1, direction::Sell, trigger::SellBidRises, 1660.0), 150, 0, 100),
        At(MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1640.0, order_status::Filled), 250),
        At(MakeOrder(2, direction::Buy, trigger::BuyAskFalls, 1640.0), 300),
    };
    labels.clear();
    const QImage image =
        Painted([&](QPainter& p) { PaintOrders(p, orders, Context(), TheTexts(), labels); });

    const QFontMetricsF fm(SongFont(9), &image);
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0].owner.kind, ChartHitKind::PendingOrder);
    EXPECT_EQ(labels[0].owner.id, "D1");
    const PixelRect label = LabelAt(0);
    EXPECT_EQ(label.left, 8);
    EXPECT_EQ(label.bottom, 150);
    EXPECT_EQ(label.right - label.left,
              static_cast<int>(std::ceil(fm.horizontalAdvance(U("卖指价 1660.00  1.00手")))));
    ExpectDashedRow(image, 150, overlay_color::TradeLine, TradeDash());
    ExpectDashedRow(image, 100, overlay_color::StopLoss, TradeDash());
    // The filled order and the other instrument's order are neither drawn nor labelled.
    EXPECT_TRUE(InkBox(image, QRect(0, 240, kW, 160), NotBlack).isNull());
}

TEST(OverlayPaintTest, TextsAtNearbyPricesKeepClearOfEachOther) {
    // Two buys and a sell a few pixels apart, one with its stops close by, and an order between.
    const std::vector<PlacedPosition> positions{
        At(MakePosition(1, direction::Buy, 1650.5, 2, 1650.1, 1650.9), 200, 196, 204),
        At(MakePosition(1, direction::Buy, 1650.4, 1), 202),
        At(MakePosition(1, direction::Sell, 1650.6, 1), 199)};
    const std::vector<PlacedOrder> orders{
        At(MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1650.45), 201)};
    LabelColumn column;
    labels.clear();
    const QImage image = Painted([&](QPainter& p) {
        PaintPositions(p, positions, Context(), TheTexts(), labels, &column);
        PaintOrders(p, orders, Context(), TheTexts(), labels, &column);
    });
    ASSERT_EQ(labels.size(), 4u);
    std::vector<QRect> boxes;
    for (const TradeLabel& l : labels) boxes.push_back(ToQRect(l.rect));
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_FALSE(boxes[i].isEmpty()) << i;
        for (std::size_t j = i + 1; j < boxes.size(); ++j)
            EXPECT_FALSE(boxes[i].intersects(boxes[j])) << i << " and " << j;
    }
    // A buy's label moved down stays below its line, the sell's moved up above its line.
    EXPECT_GT(boxes[1].top(), 202);
    EXPECT_LT(boxes[2].bottom(), 199);
    // The box drawn is the box stored, for the right click.
    for (const QRect& r : boxes) EXPECT_EQ(image.pixel(r.topLeft()), overlay_color::LabelBox);

    // Without a column each text stands where its line puts it, as before.
    PaintedPositions(positions);
    EXPECT_EQ(LabelAt(1).top, 203);
}

TEST(OverlayPaintTest, ACrowdAtOnePriceStacksAsManyTextsAsAChartHoldsAndLeavesTheRestOnTheirLine) {
    const std::vector<PlacedPosition> crowd(2000,
                                            At(MakePosition(1, direction::Buy, 1650.5, 1), 200));
    LabelColumn column;
    labels.clear();
    Painted([&](QPainter& p) { PaintPositions(p, crowd, Context(), TheTexts(), labels, &column); });
    // Those beyond the column are all alike: their one label, the first, is handed back.
    ASSERT_EQ(labels.size(), LabelColumn::kMostPlaced + 1);
    EXPECT_GT(labels[1].rect.top, labels[0].rect.top);      // moved apart
    EXPECT_EQ(labels.back().rect.top, labels[0].rect.top);  // beyond the column: on its line
}

// The owner of the first label holding (x, y), as the hit test finds it; empty for none.
std::string FirstHolding(const std::vector<TradeLabel>& all, int x, int y) {
    for (const TradeLabel& l : all)
        if (LabelContains(l.rect, x, y)) return l.owner.id;
    return {};
}

TEST(OverlayPaintTest, ACrowdOnAFewRowsPaintsAndIsHitAsEachPositionPaintedInTurn) {
    // Both sides and a few sizes on seven rows, some with stops on rows of their own or on
    // another one's price row, in an order where alike ones are rarely next to each other.
    std::vector<PlacedPosition> crowd;
    for (int i = 0; i < 3000; ++i) {
        const int row = 100 + i % 7 * 9;
        const double price = 1650 + i % 7 * 0.1;
        const bool buy = i % 3 != 0;
        const int take = i % 4 == 0 ? row + 27 : 0;
        const int stop = i % 6 == 0 ? 130 + i % 2 * 150 : 0;
        crowd.push_back(At(MakePosition(1, buy ? direction::Buy : direction::Sell, price,
                                        1 + i % 5 * 0.5, stop ? price - 1 : 0, take ? price + 1 : 0,
                                        1, ("P" + std::to_string(i)).c_str()),
                           row, take, stop));
    }
    std::vector<TradeLabel> whole, inTurn;
    const auto paint = [&](bool oneByOne, std::vector<TradeLabel>& out) {
        LabelColumn column;
        return Painted([&](QPainter& p) {
            if (!oneByOne) return PaintPositions(p, crowd, Context(), TheTexts(), out, &column);
            for (const PlacedPosition& t : crowd)
                PaintPositions(p, {t}, Context(), TheTexts(), out, &column);
        });
    };
    const QImage image = paint(false, whole);
    EXPECT_TRUE(image == paint(true, inTurn));
    EXPECT_EQ(inTurn.size(), crowd.size());
    EXPECT_LT(whole.size(), LabelColumn::kMostPlaced + 100);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < 200; x += 3)
            ASSERT_EQ(FirstHolding(whole, x, y), FirstHolding(inTurn, x, y)) << x << "," << y;
}

TEST(OverlayPaintTest, OfAHundredThousandPositionsThoseWithinReachPaintAsAllWould) {
    // One every 5 rows, from far below the chart to far above it, each with its stops a
    // hundred rows away on either side.
    std::vector<PositionRecord> all;
    for (int i = 0; i < 100000; ++i) {
        const double price = 1000 + i * 0.05;
        const bool buy = i % 2 == 0;
        all.push_back(MakePosition(1, buy ? direction::Buy : direction::Sell, price, 1,
                                   buy ? price - 1 : price + 1, buy ? price + 1 : price - 1, 1,
                                   ("P" + std::to_string(i)).c_str()));
    }
    LayoutContext layout;
    layout.instrument = 1;
    layout.decimals = 2;
    layout.clientHeight = kH;
    layout.scale = Context().scale;
    const std::vector<PlacedPosition> placed = PlacePositions(all, layout);
    EXPECT_LT(placed.size(), 200u);

    // Every position within a thousand rows, placed as a layout that kept them all would.
    std::vector<PlacedPosition> wide;
    for (const PositionRecord& r : all) {
        const TradeRows rows = TradeRowsOf(r, layout);
        if (std::abs(rows.price) < 1000) wide.push_back({r, rows});
    }
    ASSERT_GT(wide.size(), placed.size() + 200);
    const auto paint = [](const std::vector<PlacedPosition>& positions) {
        LabelColumn column;
        labels.clear();
        return Painted([&](QPainter& p) {
            PaintPositions(p, positions, Context(), TheTexts(), labels, &column);
        });
    };
    const QImage all1000 = paint(wide);
    const QImage shown = paint(placed);
    EXPECT_FALSE(InkBox(shown, shown.rect(), NotBlack).isNull());
    EXPECT_TRUE(shown == all1000);
}

TEST(OverlayPaintTest, NothingBeforeTheFirstLayout) {
    ChartPaintContext ctx = Context();
    ctx.scale = {};
    const QImage image =
        PaintedPositions({At(MakePosition(1, direction::Buy, 1650.5, 2), 200)}, ctx);
    EXPECT_TRUE(InkBox(image, image.rect(), NotBlack).isNull());
    EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(
        InkBox(PaintedSignals({Signal(200, signal_side::Support)}, ctx), image.rect(), NotBlack)
            .isNull());
}

// --- Signals ---

TEST(OverlayPaintTest, SupportTextBelowAndTimeAboveResistanceTheOtherWay) {
    for (std::uint8_t side : {signal_side::Support, signal_side::Resistance}) {
        const bool support = side == signal_side::Support;
        const QRgb colour = support ? overlay_color::Support : overlay_color::Resistance;
        const QImage image = PaintedSignals({Signal(200, side)});
        if (const char* dump = std::getenv("ZQ_DUMP"))
            image.save(QString(dump) + (support ? "/support.png" : "/resistance.png"));
        ExpectDashedRow(image, 200, colour, SignalDash());

        const auto levelInk = support ? Reddish : Greenish;
        const QRect above = QRect(0, 0, kW, 200);
        const QRect below = QRect(0, 201, kW, kH - 201);
        const QRect level = InkBox(image, support ? below : above, levelInk);
        const QRect time = InkBox(image, support ? above : below, Greyish);
        ASSERT_FALSE(level.isNull());
        ASSERT_FALSE(time.isNull());
        // Nothing of the level text on the time text's side and the other way round.
        EXPECT_TRUE(InkBox(image, support ? above : below, levelInk).isNull());
        EXPECT_TRUE(InkBox(image, support ? below : above, Greyish).isNull());

        // Both end 8 pixels short of the right edge.
        const QFontMetricsF levelFm(ArialFont(10), &image);
        const QFontMetricsF timeFm(ArialFont(8), &image);
        const SignalRecord s = AsSignal(Signal(200, side));
        const double levelW = levelFm.horizontalAdvance(SignalLevelText(s, 2));
        const double timeW = timeFm.horizontalAdvance(SignalTimeText(s.published));
        EXPECT_NEAR(level.right(), kW - 8, 4);
        EXPECT_NEAR(level.left(), kW - 8 - levelW, 3);
        EXPECT_NEAR(time.right(), kW - 8, 4);
        EXPECT_NEAR(time.left(), kW - 8 - timeW, 3);
        // Close to the line on either side (and off its row, which holds only the dashes).
        if (support) {
            EXPECT_LE(level.top(), 201 + levelFm.ascent());
            EXPECT_GE(time.bottom(), 200 - 4);
        } else {
            EXPECT_GE(level.bottom(), 200 - 4);
            EXPECT_LE(time.top(), 201 + timeFm.ascent());
        }
    }
}

TEST(OverlayPaintTest, OfAHundredThousandSignalsTheListKeepsTheNewestAndPaintsThoseInView) {
    // One every 3 rows from far below the chart to far above it, alternating sides, through
    // the list's intake.
    SignalList list;
    std::vector<BarRecord> all;
    for (int i = 0; i < 100000; ++i) {
        const std::int32_t price = 200035 + 3000 - 3 * (i % 5000) - i / 5000;
        BarRecord r = Signal(0, i % 2 ? signal_side::Resistance : signal_side::Support, 1, price);
        reinterpret_cast<SignalRecord*>(&r)->lots = 200 + i;
        all.push_back(r);
        list.Publish(r);
    }
    ASSERT_EQ(list.size(), kMaxSignalsPerSeries);
    EXPECT_EQ(
        std::memcmp(&*list.begin(), &all[all.size() - kMaxSignalsPerSeries], sizeof(BarRecord)), 0);
    LayoutContext layout;
    layout.instrument = 1;
    layout.scale = Context().scale;
    PlaceSignals(list, layout);

    // The list as painted, and only its signals with rows near the chart, painted the same.
    SignalList near;
    for (const BarRecord& r : list)
        if (std::abs(AsSignal(r).lineY - kH / 2) < 2 * kH) near.Publish(r);
    ASSERT_LT(near.size(), list.size() / 2);
    const auto paint = [](const SignalList& signals) {
        return Painted([&](QPainter& p) { PaintSignals(p, signals, Context(), TheTexts()); });
    };
    const QImage shown = paint(list);
    EXPECT_FALSE(InkBox(shown, shown.rect(), NotBlack).isNull());
    EXPECT_TRUE(shown == paint(near));
    EXPECT_EQ(list.Count(1), kMaxSignalsPerSeries);
    EXPECT_EQ(list.Count(2), 0u);
}

TEST(OverlayPaintTest, SkippedSignals) {
    // Unplaced (row 0), of another instrument, of another side: nothing.
    EXPECT_TRUE(InkBox(PaintedSignals({Signal(0, signal_side::Support),
                                       Signal(200, signal_side::Support, 2), Signal(200, 31)}),
                       QRect(0, 0, kW, kH), NotBlack)
                    .isNull());
    // A resistance just below the bottom would show its text above the line: skipped.
    EXPECT_TRUE(InkBox(PaintedSignals({Signal(kH + 1, signal_side::Resistance)}),
                       QRect(0, 0, kW, kH), NotBlack)
                    .isNull());
    // On the bottom edge it is still drawn.
    EXPECT_FALSE(
        InkBox(PaintedSignals({Signal(kH, signal_side::Resistance)}), QRect(0, 0, kW, kH), Greenish)
            .isNull());
    // Above the top (a negative row) it is drawn: the support text under it shows.
    const QImage top = PaintedSignals({Signal(-3, signal_side::Support)});
    const QRect ink = InkBox(top, top.rect(), Reddish);
    ASSERT_FALSE(ink.isNull());
    EXPECT_EQ(ink.top(), 0);
}

// --- Through the chart window ---

InstrumentRecord Gold() {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = 2;
    PutField(r.name, sizeof r.name, ToAnsi("伦敦金(T+0)"));
    return r;
}

void Send(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
    QMouseEvent e(type, QPointF(pos), QPointF(w.mapToGlobal(pos)), button, button, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

// Gold at 15 minutes, 300 bars around 1650 on an 800 x 600 chart, with a trading model.
class OverlayWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetUi(&bridge);
        data.hooks.productRecord = [](int) { return Gold(); };
        data.Reset(1, 15);
        for (int i = 299; i >= 0; --i) {
            const int p = 164000 + (i * 37) % 2000;
            data.AppendHistoryBar(
                test::FinishedBar(i, p, i % 3 ? p + 150 : p - 150, p + 300, p - 300));
        }
        model.SetPositions({
            MakePosition(1, direction::Buy, 1650.5, 2, 1640.0, 1660.0, 1, "B1"),
            MakePosition(1, direction::Sell, 1652.0, 1.5, 0, 0, 1, "S1"),
            MakePosition(2, direction::Buy, 6.8, 1, 0, 0, 1, "X1"),
        });
        model.SetOrders({MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1645.0,
                                   order_status::Waiting, "D1")});
        chart.resize(800, 600);
        chart.InstallDataHooks();
        chart.SetTradingModel(&model);
        chart.runMenu = [this](const std::vector<ChartMenuItem>& items, const QPoint&) {
            menus.push_back(items);
            return menuAnswer;
        };
        chart.show();
        data.SetClientSize(800, 600);
        ASSERT_TRUE(data.Layout());
        // At prices apart from the positions.
        data.WithSignals([](SignalList& s) {
            s.Publish(Signal(0, signal_side::Support, 1, 164700));
            s.Publish(Signal(0, signal_side::Resistance, 1, 165700));
        });
        ASSERT_TRUE(data.Layout());
        chart.InvalidateAll();
        chart.Render();
    }
    void TearDown() override { SetUi(nullptr); }
    QPoint Inside(const PixelRect& r) const {
        return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
    // The label of the position or order with this ticket or number as the last paint left it.
    PixelRect LabelOf(const std::string& id) const {
        for (const TradeLabel& l : chart.Trades().Labels())
            if (l.owner.id == id) return l.rect;
        return {};
    }
    // The rows the last layout gave the position or order.
    TradeRows RowsOf(const std::string& id) const {
        for (const PlacedPosition& p : *chart.Trades().Positions())
            if (id == p.record.ticket) return p.rows;
        for (const PlacedOrder& o : *chart.Trades().Orders())
            if (id == o.record.orderNumber) return o.rows;
        return {};
    }

    QtBridge bridge;
    KLineData data;
    TradingModel model;
    std::vector<int> commands;
    std::vector<std::vector<ChartMenuItem>> menus;
    int menuAnswer = 0;
    CKMain chart{data, nullptr, {}, [this](int c) { commands.push_back(c); }};
};

TEST_F(OverlayWindowTest, LayoutRowsArePaintedAndLabelsStored) {
    const PriceScale scale = data.State().Scale();
    const TradeRows b1 = RowsOf("B1");
    EXPECT_EQ(b1.price, scale.Y(165050));
    EXPECT_EQ(b1.stop, scale.Y(164000));
    EXPECT_EQ(LabelOf("B1").top, b1.price + 1);
    EXPECT_EQ(LabelOf("S1").bottom, RowsOf("S1").price);
    EXPECT_EQ(LabelOf("X1"), PixelRect{});  // another instrument's position is not drawn
    EXPECT_EQ(LabelOf("D1").top, RowsOf("D1").price + 1);

    const QImage& image = chart.Render();
    if (const char* dump = std::getenv("ZQ_DUMP")) image.save(QString(dump) + "/overlays.png");
    EXPECT_EQ(image.pixel(LabelOf("B1").left, LabelOf("B1").top), overlay_color::LabelBox);
    EXPECT_EQ(image.pixel(0, b1.stop), overlay_color::StopLoss);
    EXPECT_EQ(image.pixel(0, b1.take), overlay_color::TakeProfit);
    const std::int32_t support =
        data.WithSignals([](SignalList& s) { return AsSignal(*s.begin()).lineY; });
    EXPECT_EQ(support, scale.Y(164700));
    EXPECT_EQ(image.pixel(0, support), overlay_color::Support);
}

TEST_F(OverlayWindowTest, RightClickOnALabelOpensItsMenuAndSelectsIt) {
    chart.SelectMode(ChartMode::Cross);  // a right click leaves the mode first
    menuAnswer = cmdid::ClosePosition;
    Send(chart, QEvent::MouseButtonPress, Inside(LabelOf("S1")), Qt::RightButton);
    EXPECT_EQ(chart.View().Mode(), ChartMode::Default);
    ASSERT_EQ(menus.size(), 1u);
    ASSERT_EQ(menus[0].size(), 2u);
    EXPECT_STREQ(menus[0][0].text, "修改订单");
    EXPECT_EQ(menus[0][0].command, cmdid::ModifyPosition);
    EXPECT_STREQ(menus[0][1].text, "市价平仓");
    EXPECT_EQ(menus[0][1].command, cmdid::ClosePosition);
    ASSERT_TRUE(chart.SelectedPosition());
    EXPECT_STREQ(chart.SelectedPosition()->ticket, "S1");
    EXPECT_EQ(commands, std::vector<int>{cmdid::ClosePosition});

    menuAnswer = cmdid::DeletePending;
    Send(chart, QEvent::MouseButtonPress, Inside(LabelOf("D1")), Qt::RightButton);
    ASSERT_EQ(menus.size(), 2u);
    ASSERT_EQ(menus[1].size(), 2u);
    EXPECT_STREQ(menus[1][0].text, "修改指价");
    EXPECT_EQ(menus[1][0].command, cmdid::ModifyPending);
    EXPECT_STREQ(menus[1][1].text, "删除指价");
    EXPECT_EQ(menus[1][1].command, cmdid::DeletePending);
    ASSERT_TRUE(chart.SelectedOrder());
    EXPECT_STREQ(chart.SelectedOrder()->orderNumber, "D1");
    EXPECT_EQ(commands, (std::vector<int>{cmdid::ClosePosition, cmdid::DeletePending}));

    // Beside the labels: the trade report.
    menuAnswer = cmdid::TradeReport;
    const PixelRect l = LabelOf("B1");
    Send(chart, QEvent::MouseButtonPress, {l.right + 5, (l.top + l.bottom) / 2}, Qt::RightButton);
    ASSERT_EQ(menus.size(), 3u);
    ASSERT_EQ(menus[2].size(), 1u);
    EXPECT_STREQ(menus[2][0].text, "交易报表");
    EXPECT_STREQ(chart.SelectedPosition()->ticket, "S1");

    // Without the model, only the trade report.
    const PixelRect s1 = LabelOf("S1");
    chart.SetTradingModel(nullptr);
    Send(chart, QEvent::MouseButtonPress, Inside(s1), Qt::RightButton);
    EXPECT_EQ(menus.back().size(), 1u);
}

}  // namespace
}  // namespace zq
