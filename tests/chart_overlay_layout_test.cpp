// The overlay rows a chart layout writes: the signal rows at offset 28 of the signal records of
// the chart's instrument only; the price, stop-loss and take-profit rows of positions and
// orders kept on the chart's side (rounded prices, none for a stop that is gone, only lines
// within reach of the client area, the model's records untouched), the model's locks taken one
// at a time; and the right-click hit test on the labels a paint left, with the selection it
// keeps on the chart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "chart/overlay_layout.h"
#include "market/wire/signal_record.h"
#include "tests/market_fixtures.h"
#include "tests/trading_fixtures.h"

namespace zq {
namespace {

using test::MakeOrder;
using test::MakePosition;

InstrumentRecord Gold() {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = 2;
    return r;
}

BarRecord Signal(int instrument, std::int32_t price, std::uint8_t side = signal_side::Support) {
    SignalRecord s{};
    s.instrument = static_cast<std::int8_t>(instrument);
    s.price = price;
    s.stopLoss = price - 500;
    s.side = side;
    s.lots = 200;
    s.marker = kSignalMarker;
    return AsBar(s);
}

// Gold at two decimals, 100 bars of prices 1000..1104 (10.00 to 11.04), laid out on 800 x 600.
class OverlayLayoutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chart.hooks.productRecord = [](int) { return Gold(); };
        test::FillChart(chart, 100);
        InstallOverlayLayout(chart.hooks, &model, &overlays);
    }
    PriceScale Scale() const { return chart.State().Scale(); }

    TradingModel model;
    TradeOverlays overlays;
    KLineData chart;
};

TEST(OverlayPriceTest, ScaledPricesAreRoundedNotTruncated) {
    EXPECT_EQ(ScaledPrice(1650.5, 2), 165050);
    // 1650.57 * 100 is 165056.99999999997 in doubles.
    EXPECT_EQ(ScaledPrice(1650.57, 2), 165057);
    EXPECT_EQ(ScaledPrice(6.8123, 4), 68123);
    EXPECT_EQ(ScaledPrice(3150, 0), 3150);
    // Absurd values stay finite rather than overflowing.
    EXPECT_GT(ScaledPrice(1e300, 2), 0);
    EXPECT_LT(ScaledPrice(-1e300, 2), 0);
}

TEST_F(OverlayLayoutTest, SignalRowsOfTheChartsInstrumentOnlyAtOffset28) {
    const BarRecord mine = Signal(1, 1050);
    BarRecord other = Signal(2, 1050);
    std::int32_t stale = 77;
    std::memcpy(reinterpret_cast<char*>(&other) + 28, &stale, 4);
    chart.WithSignals([&](SignalList& s) {
        s.Publish(mine);
        s.Publish(other);
        s.Publish(Signal(1, 5000, signal_side::Resistance));  // far above the range
    });
    ASSERT_TRUE(chart.Layout());

    const PriceScale scale = Scale();
    const std::vector<BarRecord> s = chart.WithSignals([](SignalList& v) { return v.Records(); });
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(AsSignal(s[0]).lineY, scale.Y(1050));
    EXPECT_GT(AsSignal(s[0]).lineY, 35);
    EXPECT_LT(AsSignal(s[0]).lineY, 565);
    EXPECT_LT(AsSignal(s[2]).lineY, 0);  // off the top, still placed
    EXPECT_EQ(AsSignal(s[1]).lineY, stale);
    // Only the four bytes of the row changed.
    BarRecord expected = mine;
    const std::int32_t y = scale.Y(1050);
    std::memcpy(reinterpret_cast<char*>(&expected) + 28, &y, 4);
    EXPECT_EQ(std::memcmp(&s[0], &expected, sizeof expected), 0);

    // Scrolling moves them with the chart.
    chart.SetVerticalOffset(40);
    ASSERT_TRUE(chart.Layout());
    EXPECT_EQ(chart.WithSignals([](SignalList& v) { return AsSignal(*v.begin()).lineY; }), y + 40);
}

TEST_F(OverlayLayoutTest, PositionAndOrderRowsOfTheChartsInstrument) {
    model.SetPositions({MakePosition(1, direction::Buy, 10.5, 2, 10.2, 10.9, 1, "B"),
                        MakePosition(1, direction::Sell, 10.57, 1, 0, 0, 1, "S"),
                        MakePosition(2, direction::Buy, 10.5, 1, 10.2, 10.9)});
    PendingOrderRecord o = MakeOrder(1, direction::Sell, trigger::SellBidRises, 10.8);
    o.stopLoss = 11.0;
    model.SetOrders(
        {o, MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10.1, order_status::Filled, "F")});
    const std::vector<PositionRecord> before = model.Positions();
    ASSERT_TRUE(chart.Layout());
    const PriceScale scale = Scale();

    // The other instrument's position and the filled order are not on the chart.
    const std::vector<PlacedPosition> p = *overlays.Positions();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_STREQ(p[0].record.ticket, "B");
    EXPECT_EQ(p[0].rows.price, scale.Y(1050));
    EXPECT_EQ(p[0].rows.stop, scale.Y(1020));
    EXPECT_EQ(p[0].rows.take, scale.Y(1090));
    EXPECT_LT(p[0].rows.take, p[0].rows.price);
    EXPECT_EQ(p[1].rows.price, scale.Y(1057));  // rounded, not truncated to 1056
    EXPECT_EQ(p[1].rows.stop, 0);
    EXPECT_EQ(p[1].rows.take, 0);
    // The model's records are the server's, byte for byte.
    const std::vector<PositionRecord> after = model.Positions();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(std::memcmp(after.data(), before.data(), sizeof(PositionRecord) * after.size()), 0);

    const std::vector<PlacedOrder> placed = *overlays.Orders();
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].rows.price, scale.Y(1080));
    EXPECT_EQ(placed[0].rows.stop, scale.Y(1100));
    EXPECT_EQ(placed[0].rows.take, 0);

    // A stop-loss taken off the position leaves no row behind for the painter.
    test::EditPositions(model, [](auto& list) { list[0].stopLoss = 0; });
    ASSERT_TRUE(chart.Layout());
    EXPECT_EQ(overlays.Positions()->at(0).rows.stop, 0);
    EXPECT_EQ(overlays.Positions()->at(0).rows.take, scale.Y(1090));
}

TEST_F(OverlayLayoutTest, OnlyLinesWithinReachOfTheClientAreaArePlaced) {
    // 100,000 positions of the chart's instrument, one in a thousand inside the bars' prices
    // 9.95..11.09, the others far above or below them; one far below has its take-profit
    // inside.
    std::vector<PositionRecord> positions;
    for (int i = 0; i < 100000; ++i) {
        const bool inside = i % 1000 == 0;
        const double price = inside ? 9.95 + (i / 1000) * 0.0115 : (i % 2 ? 50.0 : 1.0);
        const std::string ticket = "P" + std::to_string(i);
        positions.push_back(MakePosition(1, direction::Buy, price, 1, 0, 0, 1, ticket.c_str()));
    }
    positions[1].takeProfit = 10.9;
    model.SetPositions(positions);
    ASSERT_TRUE(chart.Layout());

    // Exactly those with a line on rows -64..664 of the 600-pixel chart, each with its rows.
    const PriceScale scale = Scale();
    const auto row = [&](double price) { return scale.Y(ScaledPrice(price, 2)); };
    const auto near = [](std::int32_t y) {
        return y >= -kOffscreenLineReach && y <= 600 + kOffscreenLineReach;
    };
    std::vector<std::string> expected;
    for (const PositionRecord& p : positions)
        if (near(row(p.openPrice)) || (p.takeProfit > 0 && near(row(p.takeProfit))))
            expected.emplace_back(p.ticket);
    ASSERT_GE(expected.size(), 10u);
    ASSERT_LE(expected.size(), 101u);
    EXPECT_EQ(expected[1], "P1");
    const std::vector<PlacedPosition> placed = *overlays.Positions();
    std::vector<std::string> tickets;
    for (const PlacedPosition& p : placed) {
        tickets.emplace_back(p.record.ticket);
        EXPECT_EQ(p.rows.price, row(p.record.openPrice));
    }
    EXPECT_EQ(tickets, expected);
    EXPECT_EQ(placed[1].rows.take, row(10.9));

    // Rows just beyond the edges still count: their labels reach into the chart.
    LayoutContext ctx;
    ctx.instrument = 1;
    ctx.decimals = 2;
    ctx.clientHeight = 600;
    ctx.scale = {1000, 1.0f, -35};  // the price 1000 on row 0, one row a unit
    const std::vector<PositionRecord> edges{
        MakePosition(1, direction::Sell, 10.0 + kOffscreenLineReach / 100.0, 1),         // row -64
        MakePosition(1, direction::Sell, 10.0 + (kOffscreenLineReach + 1) / 100.0, 1),   // row -65
        MakePosition(1, direction::Buy, 10.0 - (600 + kOffscreenLineReach) / 100.0, 1),  // row 664
    };
    const std::vector<PlacedPosition> atEdges = PlacePositions(edges, ctx);
    ASSERT_EQ(atEdges.size(), 2u);
    EXPECT_EQ(atEdges[0].rows.price, -kOffscreenLineReach);
    EXPECT_EQ(atEdges[1].rows.price, 600 + kOffscreenLineReach);
}

TEST_F(OverlayLayoutTest, TheModelsLocksAreTakenOneAtATime) {
    model.SetPositions({MakePosition(1, direction::Buy, 10.5, 1)});
    model.SetOrders({MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10.2)});
    // With the order list held by a visit here, the layout gets through the positions and then
    // waits for the orders; the positions can be read all the while.
    std::atomic<bool> holding{false}, release{false}, done{false};
    std::thread holder([&] {
        model.VisitOrders([&](const auto&) {
            holding = true;
            test::WaitUntil([&] { return release.load(); });
        });
    });
    test::WaitUntil([&] { return holding.load(); });
    std::thread layout([&] {
        chart.Layout();
        done = true;
    });
    std::vector<std::unique_ptr<test::ReaderThread>> readers;  // joined after the layout
    bool positionsFree = true;
    for (int i = 0; i < 50 && positionsFree; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        readers.push_back(std::make_unique<test::ReaderThread>([&] { model.Positions(); }));
        positionsFree = readers.back()->GotThrough();
    }
    EXPECT_TRUE(positionsFree);
    EXPECT_FALSE(done);
    release = true;
    holder.join();
    layout.join();
    ASSERT_EQ(overlays.Orders()->size(), 1u);
    EXPECT_NE(overlays.Orders()->at(0).rows.price, 0);
}

TEST_F(OverlayLayoutTest, WithoutAModelOnlyTheSignalsArePlaced) {
    KLineHooks hooks;
    InstallOverlayLayout(hooks, nullptr);
    EXPECT_TRUE(hooks.placeSignals);
    EXPECT_FALSE(hooks.placeTradingOverlays);
}

// --- Hit test ---

template <class Record>
PlacedTrade<Record> Placed(Record r) {
    return {r, {}};
}
TradeLabel Label(ChartHitKind kind, const char* id, PixelRect rect) {
    return {{kind, id}, rect};
}

TEST(OverlayHitTest, LabelsOfDrawnRecordsPositionsFirst) {
    TradeOverlays overlays;
    const std::vector<PositionRecord> positions{
        MakePosition(1, direction::Sell, 10, 1, 0, 0, 1, "P1"),
        MakePosition(1, direction::Buy, 10, 1, 0, 0, 1, "P2"),
    };
    const std::vector<PendingOrderRecord> orders{
        MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10, order_status::Waiting, "D1"),
        MakeOrder(1, direction::Sell, trigger::SellBidRises, 10, order_status::Waiting, "D2"),
    };
    LayoutContext ctx;
    ctx.instrument = 1;
    ctx.decimals = 2;
    ctx.clientHeight = 600;
    ctx.scale = {1100, 1.0f, 0};
    overlays.Place(positions, orders, ctx);
    // As a paint leaves them: positions first, each in its list's order. "GONE" was drawn by a
    // paint before the layout that no longer places it.
    overlays.SetLabels({
        Label(ChartHitKind::Position, "GONE", {0, 0, 500, 500}),
        Label(ChartHitKind::Position, "P1", {18, 100, 118, 112}),
        Label(ChartHitKind::Position, "P2", {18, 100, 200, 130}),
        Label(ChartHitKind::PendingOrder, "D1", {18, 200, 118, 212}),
        Label(ChartHitKind::PendingOrder, "D2", {18, 110, 118, 122}),
    });

    // Inside the first drawn position's label: corners included, right and bottom outside.
    for (auto [x, y] : {std::pair{18, 100}, std::pair{117, 111}, std::pair{60, 105}}) {
        const OverlayHit hit = overlays.HitTest(x, y);
        EXPECT_EQ(hit.hit.kind, ChartHitKind::Position) << x << "," << y;
        EXPECT_EQ(hit.hit.id, "P1");
        ASSERT_TRUE(hit.position);
        EXPECT_EQ(hit.position->direction, direction::Sell);
        EXPECT_FALSE(hit.order);
    }
    // Overlapping labels: the position wins over the order, the first position over the second.
    EXPECT_EQ(overlays.HitTest(60, 115).hit.id, "P2");
    EXPECT_EQ(overlays.HitTest(150, 105).hit.id, "P2");

    const OverlayHit order = overlays.HitTest(60, 205);
    EXPECT_EQ(order.hit.kind, ChartHitKind::PendingOrder);
    EXPECT_EQ(order.hit.id, "D1");
    ASSERT_TRUE(order.order);
    EXPECT_FALSE(order.position);

    // Outside every label, and on the label of a record no longer placed.
    EXPECT_EQ(overlays.HitTest(118, 105).hit.kind, ChartHitKind::Position);  // P2
    EXPECT_EQ(overlays.HitTest(300, 300).hit.kind, ChartHitKind::None);
    EXPECT_EQ(overlays.HitTest(10, 10).hit.kind, ChartHitKind::None);
    EXPECT_EQ(overlays.HitTest(118, 212).hit.kind, ChartHitKind::None);
    // Without a model the chart forgets them all.
    overlays.Clear();
    EXPECT_EQ(overlays.HitTest(60, 105).hit.kind, ChartHitKind::None);
}

TEST(OverlayHitTest, TheHitRecordBecomesTheChartsSelection) {
    TradeOverlays overlays;
    // A ticket that fills its whole field has no terminating zero.
    PositionRecord full = MakePosition(1, direction::Buy, 10, 1);
    std::memset(full.ticket, 'A', sizeof full.ticket);
    LayoutContext ctx;
    ctx.instrument = 1;
    ctx.decimals = 2;
    ctx.clientHeight = 600;
    ctx.scale = {1100, 1.0f, 0};
    overlays.Place(
        {full},
        {MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10, order_status::Waiting, "D7")}, ctx);
    overlays.SetLabels({{{ChartHitKind::Position, std::string(21, 'A')}, {0, 0, 50, 50}},
                        Label(ChartHitKind::PendingOrder, "D7", {0, 60, 50, 70})});

    const OverlayHit position = overlays.HitTest(5, 5);
    EXPECT_EQ(position.hit.id, std::string(21, 'A'));
    EXPECT_FALSE(overlays.SelectedPosition());
    overlays.Select(position);
    ASSERT_TRUE(overlays.SelectedPosition());
    EXPECT_EQ(std::memcmp(overlays.SelectedPosition()->ticket, full.ticket, sizeof full.ticket), 0);

    overlays.Select(overlays.HitTest(5, 65));
    ASSERT_TRUE(overlays.SelectedOrder());
    EXPECT_STREQ(overlays.SelectedOrder()->orderNumber, "D7");
    // A miss leaves the selections as they were.
    overlays.Select(overlays.HitTest(200, 200));
    EXPECT_TRUE(overlays.SelectedPosition());
    EXPECT_TRUE(overlays.SelectedOrder());
}

}  // namespace
}  // namespace zq
