#include <gtest/gtest.h>

#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::MakeInstrument;
using test::MakePosition;

TEST(TradingModel, FindInstrumentCopiesTheFirstMatchOrAnEmptyRecord) {
    TradingModel model;
    model.SetInstruments(
        {MakeInstrument(3, 4, 1), MakeInstrument(1, 2, 1), MakeInstrument(3, 5, 1)});
    EXPECT_EQ(model.FindInstrument(3).decimals, 4);
    InstrumentRecord none = model.FindInstrument(9);
    EXPECT_EQ(none.id, 9);
    EXPECT_EQ(none.name[0], '\0');
    EXPECT_EQ(none.decimals, 0);
    EXPECT_EQ(none.bid, 0.0f);
    EXPECT_EQ(PowerOfTen(0), 1.0f);
    EXPECT_EQ(PowerOfTen(5), 100000.0f);
    EXPECT_EQ(PowerOfTen(-2), 1.0f / 100.0f);
}

class Recompute : public ::testing::Test {
  protected:
    void SetUp() override {
        InstrumentRecord gold = MakeInstrument(1, 2, 1.0f);
        gold.bid = 1650.5f;
        gold.ask = 1651.0f;
        model.SetInstruments({gold});
    }
    TradingModel model;
};

TEST_F(Recompute, AccountFiguresFollowFromPositionsAndPrices) {
    model.SetPositions({
        MakePosition(1, direction::Buy, 1640.25, 2),    // (1650.5 - 1640.25) x 100 x 2 = 2050
        MakePosition(1, direction::Sell, 1660.0, 0.5),  // (1660 - 1651) x 100 x 0.5 = 450
        MakePosition(9, direction::Buy, 1.0, 100),      // instrument unknown: nothing
    });
    model.SetSummary({MakePosition(1, direction::Buy, 1.0, 1000)});  // never summed
    AccountBlock a{};
    a.freeFunds = 10000;
    a.occupiedMargin = 5000;
    a.frozenMargin = 100.5;
    a.frozenFees = 9.5;
    a.netDeposits = 12000;
    a.base1 = 3000;
    a.tradeCount = 7;
    model.SetAccount(a);
    model.RecomputeAccount();

    AccountBlock r = model.Account();
    EXPECT_EQ(r.floatingProfit, 2500.0);
    EXPECT_EQ(r.equity, 17610.0);  // 10000 + 5000 + 100.5 + 9.5 + 2500
    EXPECT_EQ(r.availableMargin, 12500.0);
    EXPECT_EQ(r.riskRate, 352.2f);      // 17610 x 100 / 5000
    EXPECT_EQ(r.averageReturn, 17.4f);  // (17610 - 15000) x 100 / 15000
    EXPECT_EQ(r.tradeCount, 7.0f);      // the server's figures stay
    EXPECT_EQ(PositionProfit(model.Positions()[1], model.Instruments()[0]), Decimal::FromInt(450));

    // Without occupied margin there is no risk rate; without a positive base no return.
    test::EditAccount(model, [](AccountBlock& b) {
        b.occupiedMargin = 0;
        b.netDeposits = -3000;
    });
    model.RecomputeAccount();
    EXPECT_EQ(model.Account().riskRate, 0.0f);
    EXPECT_EQ(model.Account().averageReturn, 0.0f);
    test::EditAccount(model, [](AccountBlock& b) { b.netDeposits = -4000; });  // a negative base
    model.RecomputeAccount();
    EXPECT_EQ(model.Account().averageReturn, 0.0f);
}

TEST_F(Recompute, ManyPositionsSumToTheExactDecimalFigure) {
    InstrumentRecord fx = MakeInstrument(2, 2, 0.01f);
    fx.bid = 1.07f;
    fx.ask = 1.08f;
    test::EditInstruments(model, [&](auto& list) { list.push_back(fx); });
    float binary = 0;
    for (int i = 0; i < 3333; ++i) binary += (fx.bid - 1.0f) * 100.0f * fx.pointValue;
    model.SetPositions(std::vector(3333, MakePosition(2, direction::Buy, 1.00, 1)));  // 0.07 each
    model.RecomputeAccount();
    EXPECT_EQ(model.Account().floatingProfit, static_cast<double>(233.31f));
    EXPECT_NE(binary, 233.31f);  // the drift the decimal sum avoids
    EXPECT_EQ(model.Account().availableMargin, 233.31);
}

TEST_F(Recompute, APositionWithUnrepresentableFiguresAddsNothing) {
    InstrumentRecord wild = MakeInstrument(5, 2, 3.0e38f);
    wild.bid = 2.0f;
    test::EditInstruments(model, [&](auto& list) { list.push_back(wild); });
    model.SetPositions({MakePosition(1, direction::Buy, 1650.0, 1),  // 50
                        MakePosition(5, direction::Buy, 1.0, 1)});
    model.RecomputeAccount();
    EXPECT_EQ(model.Account().floatingProfit, 50.0);
    EXPECT_EQ(model.Account().equity, 50.0);
}

TEST(TickListeners, ARegisteredWindowIsListedOnceAtTheEnd) {
    TradingModel model;
    int a, b;
    model.RegisterTickListener(&a);
    model.RegisterTickListener(&b);
    model.RegisterTickListener(&a);
    EXPECT_EQ(model.TickListeners(), (std::vector<WindowHandle>{&b, &a}));
    model.UnregisterTickListener(&b);
    EXPECT_EQ(model.TickListeners(), (std::vector<WindowHandle>{&a}));
}

TEST(TickListeners, NotificationsGoToLiveWindowsInOrderAndDeadOnesAreDropped) {
    FakeUi ui;
    TradingModel model;
    int a, b, c;
    ui.SetLive(&a);
    ui.SetLive(&c);
    model.RegisterTickListener(&a);
    model.RegisterTickListener(&b);
    model.RegisterTickListener(&c);
    test::Quote q(1, 100);
    model.NotifyTickListeners(true, true, q.data());
    EXPECT_EQ(model.TickListeners(), (std::vector<WindowHandle>{&a, &c}));
    const std::vector<unsigned> all{WM_POSITIONS_CHANGED, WM_ORDERS_CHANGED, WM_QUOTE_TICK};
    EXPECT_EQ(ui.SendsTo(&a), all);
    EXPECT_EQ(ui.SendsTo(&c), all);
    EXPECT_EQ(ui.Sends().front().target, &a);

    ui.Clear();
    model.NotifyTickListeners(true, false);
    EXPECT_EQ(ui.SendsTo(&a), (std::vector<unsigned>{WM_POSITIONS_CHANGED}));
}

}  // namespace
}  // namespace zq
