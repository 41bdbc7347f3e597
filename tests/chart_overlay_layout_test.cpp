// The overlay rows a chart layout writes: the signal rows at offset 28 of the signal records of
// the chart's instrument only, the price, stop-loss and take-profit rows of positions and
// orders (rounded prices, none for a stop that is gone), the model's locks taken one at a time;
// and the right-click hit test on the stored label rectangles with the selection it leaves in
// the model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

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
        InstallOverlayLayout(chart.hooks, &model);
    }
    PriceScale Scale() const { return chart.State().Scale(); }

    TradingModel model;
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
    chart.WithSignals([&](std::vector<BarRecord>& s) {
        s.push_back(mine);
        s.push_back(other);
        s.push_back(Signal(1, 5000, signal_side::Resistance));  // far above the range
    });
    ASSERT_TRUE(chart.Layout());

    const PriceScale scale = Scale();
    const std::vector<BarRecord> s = chart.WithSignals([](std::vector<BarRecord>& v) { return v; });
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
    EXPECT_EQ(chart.WithSignals([](std::vector<BarRecord>& v) { return AsSignal(v[0]).lineY; }),
              y + 40);
}

TEST_F(OverlayLayoutTest, PositionAndOrderRowsOfTheChartsInstrument) {
    {
        std::lock_guard lock(model.positionLock);
        model.positions.push_back(MakePosition(1, direction::Buy, 10.5, 2, 10.2, 10.9));
        model.positions.push_back(MakePosition(1, direction::Sell, 10.57, 1));  // no stops
        model.positions.push_back(MakePosition(2, direction::Buy, 10.5, 1, 10.2, 10.9));
        model.positions[2].priceLineY = 5;  // another instrument's rows stay as they are
    }
    {
        std::lock_guard lock(model.orderLock);
        PendingOrderRecord o = MakeOrder(1, direction::Sell, trigger::SellBidRises, 10.8);
        o.stopLoss = 11.0;
        model.orders.push_back(o);
    }
    ASSERT_TRUE(chart.Layout());
    const PriceScale scale = Scale();

    const std::vector<PositionRecord> p = model.Positions();
    EXPECT_EQ(p[0].priceLineY, scale.Y(1050));
    EXPECT_EQ(p[0].stopLineY, scale.Y(1020));
    EXPECT_EQ(p[0].takeLineY, scale.Y(1090));
    EXPECT_LT(p[0].takeLineY, p[0].priceLineY);
    EXPECT_EQ(p[1].priceLineY, scale.Y(1057));  // rounded, not truncated to 1056
    EXPECT_EQ(p[1].stopLineY, 0);
    EXPECT_EQ(p[1].takeLineY, 0);
    EXPECT_EQ(p[2].priceLineY, 5);
    EXPECT_EQ(p[2].stopLineY, 0);

    const std::vector<PendingOrderRecord> o = model.Orders();
    EXPECT_EQ(o[0].priceLineY, scale.Y(1080));
    EXPECT_EQ(o[0].stopLineY, scale.Y(1100));
    EXPECT_EQ(o[0].takeLineY, 0);

    // A stop-loss taken off the position leaves no row behind for the painter.
    {
        std::lock_guard lock(model.positionLock);
        model.positions[0].stopLoss = 0;
    }
    ASSERT_TRUE(chart.Layout());
    EXPECT_EQ(model.Positions()[0].stopLineY, 0);
    EXPECT_EQ(model.Positions()[0].takeLineY, scale.Y(1090));
}

TEST_F(OverlayLayoutTest, TheModelsLocksAreTakenOneAtATime) {
    {
        std::lock_guard lock(model.positionLock);
        model.positions.push_back(MakePosition(1, direction::Buy, 10.5, 1));
    }
    {
        std::lock_guard lock(model.orderLock);
        model.orders.push_back(MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10.2));
    }
    // With the order lock held here, the layout gets through the positions and then waits for
    // the orders; by then it must have let go of the position lock.
    std::unique_lock orders(model.orderLock);
    std::atomic<bool> done{false};
    std::thread layout([&] {
        chart.Layout();
        done = true;
    });
    bool positionsFree = false;
    for (int i = 0; i < 500 && !positionsFree; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::unique_lock positions(model.positionLock, std::try_to_lock);
        positionsFree = positions.owns_lock() && model.positions[0].priceLineY != 0;
    }
    EXPECT_TRUE(positionsFree);
    EXPECT_FALSE(done);
    orders.unlock();
    layout.join();
    EXPECT_NE(model.Orders()[0].priceLineY, 0);
}

TEST_F(OverlayLayoutTest, WithoutAModelOnlyTheSignalsArePlaced) {
    KLineHooks hooks;
    InstallOverlayLayout(hooks, nullptr);
    EXPECT_TRUE(hooks.placeSignals);
    EXPECT_FALSE(hooks.placeTradingOverlays);
}

// --- Hit test ---

PositionRecord Labelled(PositionRecord p, PixelRect label) {
    StoreLabelRect(p, label);
    return p;
}
PendingOrderRecord Labelled(PendingOrderRecord o, PixelRect label) {
    StoreLabelRect(o, label);
    return o;
}

TEST(OverlayHitTest, LabelsOfDrawnRecordsPositionsFirst) {
    TradingModel model;
    model.positions = {
        // Another instrument's label from when the chart showed it.
        Labelled(MakePosition(2, direction::Buy, 10, 1, 0, 0, 1, "OTHER"), {0, 0, 500, 500}),
        Labelled(MakePosition(1, direction::Sell, 10, 1, 0, 0, 1, "P1"), {18, 100, 118, 112}),
        Labelled(MakePosition(1, direction::Buy, 10, 1, 0, 0, 1, "P2"), {18, 100, 200, 130}),
    };
    model.orders = {
        Labelled(
            MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10, order_status::Filled, "FILLED"),
            {18, 200, 118, 212}),
        Labelled(
            MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10, order_status::Waiting, "D1"),
            {18, 200, 118, 212}),
        Labelled(
            MakeOrder(1, direction::Sell, trigger::SellBidRises, 10, order_status::Waiting, "D2"),
            {18, 110, 118, 122}),
    };

    // Inside the first drawn position's label: corners included, right and bottom outside.
    for (auto [x, y] : {std::pair{18, 100}, std::pair{117, 111}, std::pair{60, 105}}) {
        const OverlayHit hit = HitTestOverlays(model, 1, x, y);
        EXPECT_EQ(hit.hit.kind, ChartHitKind::Position) << x << "," << y;
        EXPECT_EQ(hit.hit.id, "P1");
        ASSERT_TRUE(hit.position);
        EXPECT_EQ(hit.position->direction, direction::Sell);
        EXPECT_FALSE(hit.order);
    }
    // Overlapping labels: the position wins over the order, the first position over the second.
    EXPECT_EQ(HitTestOverlays(model, 1, 60, 115).hit.id, "P2");
    EXPECT_EQ(HitTestOverlays(model, 1, 150, 105).hit.id, "P2");

    // The waiting order, not the filled one under the same rectangle.
    const OverlayHit order = HitTestOverlays(model, 1, 60, 205);
    EXPECT_EQ(order.hit.kind, ChartHitKind::PendingOrder);
    EXPECT_EQ(order.hit.id, "D1");
    ASSERT_TRUE(order.order);
    EXPECT_FALSE(order.position);

    // Outside every label, on the stale label of the other instrument, and with nothing at all.
    EXPECT_EQ(HitTestOverlays(model, 1, 118, 105).hit.kind, ChartHitKind::Position);  // P2
    EXPECT_EQ(HitTestOverlays(model, 1, 300, 300).hit.kind, ChartHitKind::None);
    EXPECT_EQ(HitTestOverlays(model, 1, 10, 10).hit.kind, ChartHitKind::None);
    EXPECT_EQ(HitTestOverlays(model, 2, 10, 10).hit.id, "OTHER");
    EXPECT_EQ(HitTestOverlays(model, 1, 118, 212).hit.kind, ChartHitKind::None);
}

TEST(OverlayHitTest, TheHitRecordBecomesTheModelsSelection) {
    TradingModel model;
    // A ticket that fills its whole field has no terminating zero.
    PositionRecord full = MakePosition(1, direction::Buy, 10, 1);
    std::memset(full.ticket, 'A', sizeof full.ticket);
    model.positions = {Labelled(full, {0, 0, 50, 50})};
    model.orders = {Labelled(
        MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 10, order_status::Waiting, "D7"),
        {0, 60, 50, 70})};

    const OverlayHit position = HitTestOverlays(model, 1, 5, 5);
    EXPECT_EQ(position.hit.id, std::string(21, 'A'));
    SelectOverlayHit(model, position);
    ASSERT_TRUE(model.SelectedPosition());
    EXPECT_EQ(std::memcmp(model.SelectedPosition()->ticket, full.ticket, sizeof full.ticket), 0);

    SelectOverlayHit(model, HitTestOverlays(model, 1, 5, 65));
    ASSERT_TRUE(model.SelectedOrder());
    EXPECT_STREQ(model.SelectedOrder()->orderNumber, "D7");
    // A miss leaves the selections as they were.
    SelectOverlayHit(model, HitTestOverlays(model, 1, 200, 200));
    EXPECT_TRUE(model.SelectedPosition());
    EXPECT_TRUE(model.SelectedOrder());
}

}  // namespace
}  // namespace zq
