// The execution engine in process, on a store of its own, a market set by hand and a test clock:
// market and pending orders with their exact edges, every trigger kind and its fill price,
// stop-losses and take-profits, the margin call, fill records, validity running out, closed
// markets and the trading hours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <thread>

#include "server/links/options.h"
#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "server/market/trading_hours.h"
#include "server/trading/account_rows.h"
#include "server/trading/accounts.h"
#include "server/trading/execution.h"
#include "tests/order_request_builders.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/wait_until.h"

namespace zq::server {
namespace {

using account_rows::LoadRows;

using test::kWednesdayNoon;
constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;
// Beijing midnight starting that Wednesday.
constexpr std::int64_t kWednesday = kWednesdayNoon - 12 * kHour;

constexpr std::int32_t kGold = 1;    // 2 decimals, spread 0.25, distances 2, 1 % margin
constexpr std::int32_t kEuro = 14;   // 4 decimals, spread 0.0002, distances 0.002
constexpr std::int32_t kSilver = 4;  // 天通银: whole lots, fee on both sides
constexpr std::int32_t kIndex = 31;

class EngineTest : public test::EngineFixture {
  protected:
    EngineTest() : EngineFixture("zq-engine-test") {}
    void SetUp() override {
        EngineFixture::SetUp();
        kate_ = member_ = AddMember("kate");
        SetPrice(kGold, 1650.00);  // ask 1650.25, bid 1649.75
        SetPrice(kEuro, 1.3100);   // ask 1.3102, bid 1.3098
        SetPrice(kSilver, 6200);   // ask 6204, bid 6196
    }

    std::int32_t Open(const OpenOrderRequest& r, std::int64_t member = 0) {
        return engine_->Open(member ? member : kate_, r);
    }
    std::size_t Waiting(std::int64_t member = 0) {
        const auto orders = Orders(member);
        return static_cast<std::size_t>(
            std::count_if(orders.begin(), orders.end(),
                          [](const OrderRow& o) { return o.status == order_status::Waiting; }));
    }
    std::int64_t kate_ = 0;
};

TEST_F(EngineTest, MarketOrdersOpenAtTheAskOrBidAndPayTheirOpeningFee) {
    const InstrumentRules& gold = *FindRules(kGold);
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f, 1600, 1700)),
              order_result::Done);
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Sell, 0.3f, 1649.75f)),
              order_result::Done);
    const auto positions = Positions();
    ASSERT_EQ(positions.size(), 2u);
    const PositionRow& buy = positions[0];
    EXPECT_EQ(buy.direction, direction::Buy);
    EXPECT_DOUBLE_EQ(buy.openPrice, 1650.25);
    EXPECT_DOUBLE_EQ(buy.heldQuantity, 1);
    EXPECT_DOUBLE_EQ(buy.stopLoss, 1600);
    EXPECT_DOUBLE_EQ(buy.takeProfit, 1700);
    EXPECT_DOUBLE_EQ(buy.margin, MarginFor(gold, 1650.25, 1));  // 10,314.06
    EXPECT_DOUBLE_EQ(buy.fee1, SideFee(gold, 1650.25, 1));      // 309.42
    EXPECT_EQ(buy.openTime, now_.load());
    const PositionRow& sell = positions[1];
    EXPECT_DOUBLE_EQ(sell.openPrice, 1649.75);
    EXPECT_DOUBLE_EQ(sell.heldQuantity, 0.3);  // the float 0.3 taken as the decimal it shows

    const AccountRow account = Account();
    const double fees = RoundMoney(buy.fee1 + sell.fee1);
    EXPECT_DOUBLE_EQ(account.balance, RoundMoney(100000 - fees));
    EXPECT_DOUBLE_EQ(account.todayFees, fees);
    EXPECT_EQ(account.tradeCount, 0);

    const auto fills = Fills();
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[0].ticket, buy.ticket);
    EXPECT_EQ(fills[0].orderNumber, "");
    EXPECT_EQ(fills[0].openClose, open_close::Open);
    EXPECT_EQ(fills[0].reason, fill_reason::Market);
    EXPECT_EQ(fills[0].direction, direction::Buy);
    EXPECT_DOUBLE_EQ(fills[0].price, 1650.25);
    EXPECT_DOUBLE_EQ(fills[0].fee, buy.fee1);
    EXPECT_DOUBLE_EQ(fills[1].lots, 0.3);
    EXPECT_NE(fills[0].fillNumber, fills[1].fillNumber);
    EXPECT_EQ(engine_->Indexed().positions, 2u);
}

TEST_F(EngineTest, DistancesExactlyAtTheLimitAreAcceptedAndOneStepCloserRefused) {
    using order_result::Done;
    // Stops: buy at the ask 1650.25, stop distance 2.
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f, 1648.26f)),
              order_result::StopsTooClose);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f, 0, 1652.24f)),
              order_result::StopsTooClose);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f, 1648.25f, 1652.25f)),
              Done);
    // Sell at the bid 1649.75.
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Sell, 0.01f, 1649.75f, 1651.74f)),
              order_result::StopsTooClose);
    EXPECT_EQ(
        Open(test::MarketRequest(kGold, direction::Sell, 0.01f, 1649.75f, 1651.75f, 1647.75f)),
        Done);
    // A stop on the wrong side is never far enough.
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f, 1660)),
              order_result::StopsTooClose);

    // Deviation: the ask is 0.25 from the price shown.
    OpenOrderRequest late = test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.00f);
    late.deviation = 0.24f;
    EXPECT_EQ(Open(late), order_result::PriceMoved);
    late.deviation = 0.25f;
    EXPECT_EQ(Open(late), Done);
    late.price = 1600;  // any price goes without a deviation
    late.deviation = 0;
    EXPECT_EQ(Open(late), Done);

    // Pending distance 2 from the ask (buy) and the bid (sell).
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1648.26f)),
              order_result::PendingTooClose);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1652.24f)),
              order_result::PendingTooClose);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1648.25f)), Done);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1652.25f)), Done);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 0.01f, 1651.74f)),
              order_result::PendingTooClose);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 0.01f, 1651.75f)), Done);
    // A pending order's stops are measured from its own price.
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1640, 1638.01f)),
              order_result::StopsTooClose);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 0.01f, 1640, 1638, 1642)), Done);

    // Four decimals, where single-precision sums miss the decimal they stand for: the ask
    // 1.3102, distances 0.002.
    EXPECT_EQ(Open(test::PendingRequest(kEuro, direction::Buy, 0.01f, 1.3082f)), Done);
    EXPECT_EQ(Open(test::PendingRequest(kEuro, direction::Buy, 0.01f, 1.3083f)),
              order_result::PendingTooClose);
    EXPECT_EQ(Open(test::MarketRequest(kEuro, direction::Buy, 0.01f, 1.3102f, 1.3082f, 1.3122f)),
              Done);
    EXPECT_EQ(Open(test::MarketRequest(kEuro, direction::Sell, 0.01f, 1.3098f, 1.3118f, 1.3078f)),
              Done);
    EXPECT_EQ(Open(test::MarketRequest(kEuro, direction::Sell, 0.01f, 1.3098f, 1.3117f)),
              order_result::StopsTooClose);
}

TEST_F(EngineTest, LotsFollowTheInstrumentsRulesAndItsPositionLimit) {
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.005f, 1650.25f)),
              order_refusal::BadLots);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 50.01f, 1650.25f)),
              order_refusal::BadLots);
    EXPECT_EQ(Open(test::MarketRequest(kSilver, direction::Buy, 1.5f, 6204)),
              order_refusal::BadLots);
    EXPECT_EQ(Open(test::MarketRequest(kSilver, direction::Buy, 0, 6204)), order_refusal::BadLots);
    // 铜指 counts in tenths of a lot.
    EXPECT_EQ(Open(test::MarketRequest(42, direction::Buy, 0.15f, 8002)), order_refusal::BadLots);
    EXPECT_EQ(Open(test::MarketRequest(42, direction::Buy, 0.3f, 8002)), order_result::Done);
    // Free funds of 100,000 cover 9 lots of gold but not 10.
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 10, 1650.25f)),
              order_result::NoMargin);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 9, 1650.25f)), order_result::Done);
    EXPECT_EQ(Positions().size(), 2u);

    // At most 200 lots of gold held and waiting together, both sides.
    const std::int64_t rich = AddMember("rich");
    SetBalance(rich, 1e9);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 50, 1600), rich),
                  order_result::Done);
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Sell, 49.99f, 1649.75f), rich),
              order_result::Done);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.02f, 1650.25f), rich),
              order_refusal::BadLots);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f), rich),
              order_result::Done);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.01f, 1650.25f), rich),
              order_refusal::BadLots);
    // Other instruments have their own limit.
    EXPECT_EQ(Open(test::MarketRequest(kEuro, direction::Buy, 1, 1.3102f), rich),
              order_result::Done);
}

TEST_F(EngineTest, PendingOrdersFreezeMarginAndFeeAndFillOnEveryTriggerKind) {
    const InstrumentRules& gold = *FindRules(kGold);
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1640)),
              order_result::Done);  // below the ask
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 1, 1640)),
              order_result::Done);  // below the bid
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1660)),
              order_result::Done);  // above the ask
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 1, 1660, 1670, 1650)),
              order_result::Done);
    auto orders = Orders();
    ASSERT_EQ(orders.size(), 4u);
    EXPECT_EQ(orders[0].triggerKind, trigger::BuyAskFalls);
    EXPECT_EQ(orders[1].triggerKind, trigger::SellBidFalls);
    EXPECT_EQ(orders[2].triggerKind, trigger::BuyAskRises);
    EXPECT_EQ(orders[3].triggerKind, trigger::SellBidRises);
    double frozen = 0;
    for (const OrderRow& o : orders) {
        EXPECT_EQ(o.status, order_status::Waiting);
        EXPECT_EQ(o.validity, order_validity::ThisWeek);
        EXPECT_EQ(o.openClose, open_close::Open);
        EXPECT_DOUBLE_EQ(o.frozenMargin, MarginFor(gold, o.price, 1));
        EXPECT_DOUBLE_EQ(o.frozenFee, SideFee(gold, o.price, 1));
        frozen += o.frozenMargin + o.frozenFee;
    }
    EXPECT_DOUBLE_EQ(Account().balance, 100000);  // nothing is charged while orders wait
    EXPECT_NEAR(FundsOf(100000, 0, orders).free, 100000 - frozen, 0.005);
    // The frozen money counts against new orders: 6 lots more do not fit.
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 6, 1650.25f)),
              order_result::NoMargin);

    // The bid falls to 1640.01: nothing yet; to 1640.00: the sell stop fills at that bid.
    SetPrice(kGold, 1640.26);
    EXPECT_EQ(Waiting(), 4u);
    SetPrice(kGold, 1640.25);
    EXPECT_EQ(Waiting(), 3u);
    // The ask falls to 1640.00 exactly: the buy limit fills at its price.
    SetPrice(kGold, 1639.76);
    EXPECT_EQ(Waiting(), 3u);
    SetPrice(kGold, 1639.75);
    EXPECT_EQ(Waiting(), 2u);
    // A jump above 1660: the buy stop fills at the market's ask, the sell limit at its price.
    SetPrice(kGold, 1665.00);
    EXPECT_EQ(Waiting(), 0u);

    orders = Orders();
    for (const OrderRow& o : orders) {
        EXPECT_EQ(o.status, order_status::Filled);
        EXPECT_EQ(o.doneTime, now_.load());
    }
    const auto fills = Fills();
    ASSERT_EQ(fills.size(), 4u);
    const double expected[] = {1640.00, 1640.00, 1665.25, 1660.00};
    const std::string numbers[] = {orders[1].orderNumber, orders[0].orderNumber,
                                   orders[2].orderNumber, orders[3].orderNumber};
    const auto positions = Positions();
    ASSERT_EQ(positions.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fills[i].reason, fill_reason::Limit);
        EXPECT_EQ(fills[i].openClose, open_close::Open);
        EXPECT_EQ(fills[i].orderNumber, numbers[i]);
        EXPECT_DOUBLE_EQ(fills[i].price, expected[i]);
        EXPECT_EQ(fills[i].ticket, positions[i].ticket);
        EXPECT_DOUBLE_EQ(positions[i].openPrice, expected[i]);
        EXPECT_DOUBLE_EQ(positions[i].margin, MarginFor(gold, expected[i], 1));
    }
    // The sell limit's stops went to its position.
    EXPECT_DOUBLE_EQ(positions[3].stopLoss, 1670);
    EXPECT_DOUBLE_EQ(positions[3].takeProfit, 1650);
    EXPECT_EQ(engine_->Indexed().orders, 0u);
}

TEST_F(EngineTest, StopLossAndTakeProfitCloseAtTheClientsTrigger) {
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f, 1640, 1660)),
              order_result::Done);
    const std::string buy = Positions()[0].ticket;
    const double balance = Account().balance;
    SetPrice(kGold, 1660.24);  // bid 1659.99
    ASSERT_EQ(Positions().size(), 1u);
    SetPrice(kGold, 1660.25);  // bid 1660.00: the take-profit exactly
    EXPECT_TRUE(Positions().empty());
    AccountRow account = Account();
    const double won = (1660.00 - 1650.25) * 100 * 6.25;           // 6,093.75
    EXPECT_DOUBLE_EQ(account.balance, RoundMoney(balance + won));  // gold charges no closing fee
    EXPECT_DOUBLE_EQ(account.todayClosedProfit, won);
    EXPECT_EQ(account.tradeCount, 1);
    EXPECT_EQ(account.winningTradeCount, 1);
    auto fills = Fills();
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[1].ticket, buy);
    EXPECT_EQ(fills[1].openClose, open_close::Close);
    EXPECT_EQ(fills[1].direction, direction::Sell);
    EXPECT_EQ(fills[1].reason, fill_reason::TakeProfit);
    EXPECT_DOUBLE_EQ(fills[1].price, 1660.00);
    EXPECT_DOUBLE_EQ(fills[1].profit, won);
    EXPECT_DOUBLE_EQ(fills[1].fee, 0);

    // A sell's stop-loss reached by a jump closes at the market's ask, beyond the stop.
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Sell, 1, 1660.00f, 1670)),
              order_result::Done);
    SetPrice(kGold, 1669.74);  // ask 1669.99
    ASSERT_EQ(Positions().size(), 1u);
    SetPrice(kGold, 1675.00);  // ask 1675.25
    EXPECT_TRUE(Positions().empty());
    fills = Fills();
    ASSERT_EQ(fills.size(), 4u);
    EXPECT_EQ(fills[3].reason, fill_reason::StopLoss);
    EXPECT_EQ(fills[3].direction, direction::Buy);
    EXPECT_DOUBLE_EQ(fills[3].price, 1675.25);
    EXPECT_DOUBLE_EQ(fills[3].profit, (1660.00 - 1675.25) * 625);
    account = Account();
    EXPECT_EQ(account.tradeCount, 2);
    EXPECT_EQ(account.winningTradeCount, 1);
    EXPECT_DOUBLE_EQ(account.todayClosedProfit, RoundMoney(won + fills[3].profit));
    EXPECT_DOUBLE_EQ(account.todayFees, RoundMoney(fills[0].fee + fills[2].fee));

    // Both sides charged: 天通银 takes its fee again at closing.
    const InstrumentRules& silver = *FindRules(kSilver);
    ASSERT_EQ(Open(test::MarketRequest(kSilver, direction::Buy, 2, 6204, 0, 6300)),
              order_result::Done);
    SetPrice(kSilver, 6310);  // bid 6306
    EXPECT_TRUE(Positions().empty());
    fills = Fills();
    ASSERT_EQ(fills.size(), 6u);
    EXPECT_DOUBLE_EQ(fills[5].price, 6300);
    EXPECT_DOUBLE_EQ(fills[5].fee, ClosingFee(silver, 6300, 2));
    EXPECT_GT(fills[5].fee, 0);
    EXPECT_DOUBLE_EQ(fills[5].profit, (6300 - 6204) * 15 * 2);
    EXPECT_DOUBLE_EQ(Account().todayFees,
                     RoundMoney(fills[0].fee + fills[2].fee + fills[4].fee + fills[5].fee));
    EXPECT_EQ(engine_->Indexed().members, 0u);  // flat: nothing left to watch
}

TEST_F(EngineTest, MarginCallLiquidatesTheWorstPositionFirstUntilTheRiskRateRecovers) {
    // 天通银 first, then 5 and 3 lots of gold: about 92,000 of the 100,000 as margin.
    ASSERT_EQ(Open(test::MarketRequest(kSilver, direction::Buy, 1, 6204)), order_result::Done);
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 5, 1650.25f)), order_result::Done);
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 3, 1650.25f)), order_result::Done);
    const auto opened = Positions();
    ASSERT_EQ(opened.size(), 3u);
    const std::string silver = opened[0].ticket, five = opened[1].ticket, three = opened[2].ticket;
    // Another member's positions are not touched by kate's margin call.
    const std::int64_t other = AddMember("other");
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 0.5f, 1650.25f), other),
              order_result::Done);

    // Gold's bid down 11.50: 8 lots lose 57,500, the risk rate stays above 30.
    SetPrice(kGold, 1639.00);
    EXPECT_EQ(Positions().size(), 3u);
    // Down 14.50: they lose 72,500, the risk rate falls to about 27: the 5 lots go, and the
    // rate is back above 60.
    SetPrice(kGold, 1636.00);
    auto left = Positions();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].ticket, silver);
    EXPECT_EQ(left[1].ticket, three);
    auto fills = Fills();
    ASSERT_EQ(fills.size(), 4u);
    EXPECT_EQ(fills[3].ticket, five);
    EXPECT_EQ(fills[3].reason, fill_reason::MarginCall);
    EXPECT_DOUBLE_EQ(fills[3].price, 1635.75);
    EXPECT_DOUBLE_EQ(fills[3].profit, (1635.75 - 1650.25) * 625 * 5);
    AccountBlock block = accounts_->Block(kate_);
    EXPECT_GT(block.riskRate, kMarginCallLevel);
    EXPECT_EQ(Account().tradeCount, 1);

    // While 天通银's market is closed, a crash of gold takes the 3 lots but leaves 天通银 open.
    hours_.SetOverride(kSilver, MarketOverride::Closed);
    SetPrice(kGold, 1600.00);
    left = Positions();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].ticket, silver);
    // Its market opens again: the next price liquidates it, and the account is flat.
    hours_.SetOverride(kSilver, MarketOverride::Auto);
    SetPrice(kSilver, 6199);
    EXPECT_TRUE(Positions().empty());
    fills = Fills();
    ASSERT_EQ(fills.size(), 6u);
    EXPECT_EQ(fills[4].ticket, three);
    EXPECT_EQ(fills[5].ticket, silver);
    EXPECT_EQ(fills[5].reason, fill_reason::MarginCall);
    EXPECT_DOUBLE_EQ(fills[5].price, 6195);
    EXPECT_LT(Account().balance, 0);  // the loss went beyond the money

    ASSERT_EQ(Positions(other).size(), 1u);
    EXPECT_EQ(Fills(other).size(), 1u);
}

TEST_F(EngineTest, DayAndWeekOrdersRunOutAtTheSettlementsMoments) {
    ASSERT_EQ(
        Open(test::PendingRequest(kGold, direction::Buy, 1, 1600, 0, 0, order_validity::Today)),
        order_result::Done);
    ASSERT_EQ(
        Open(test::PendingRequest(kGold, direction::Buy, 1, 1601, 0, 0, order_validity::ThisWeek)),
        order_result::Done);
    ASSERT_EQ(
        Open(test::PendingRequest(kEuro, direction::Sell, 1, 1.3200f, 0, 0, order_validity::Today)),
        order_result::Done);
    EXPECT_EQ(engine_->ExpireDue(), 0);

    now_ = kWednesday + kDay - 1;  // 23:59:59
    EXPECT_EQ(engine_->ExpireDue(), 0);
    EXPECT_EQ(Waiting(), 3u);
    now_ = kWednesday + kDay;  // Thursday 00:00: the day orders are cancelled
    EXPECT_EQ(engine_->ExpireDue(), 1);
    EXPECT_EQ(engine_->ExpireDue(), 0);
    auto orders = Orders();
    EXPECT_EQ(orders[0].status, order_status::Cancelled);
    EXPECT_EQ(orders[0].doneTime, now_.load());
    EXPECT_EQ(orders[1].status, order_status::Waiting);
    EXPECT_EQ(orders[2].status, order_status::Cancelled);
    EXPECT_EQ(Account().tradingDay, "2024-01-11");
    EXPECT_EQ(engine_->Indexed().orders, 1u);

    // A day order that ran out is not filled by a price that comes before the expiry clock.
    ASSERT_EQ(
        Open(test::PendingRequest(kGold, direction::Buy, 1, 1640, 0, 0, order_validity::Today)),
        order_result::Done);
    now_ = kWednesday + 2 * kDay + 5;  // Friday
    SetPrice(kGold, 1639.00);
    orders = Orders();
    EXPECT_EQ(orders[3].status, order_status::Cancelled);
    EXPECT_TRUE(Positions().empty());

    // The week order lasts to Sunday 24:00.
    now_ = kWednesday + 5 * kDay - 1;
    EXPECT_EQ(engine_->ExpireDue(), 0);
    EXPECT_EQ(Waiting(), 1u);
    now_ = kWednesday + 5 * kDay;  // Monday 00:00
    EXPECT_EQ(engine_->ExpireDue(), 1);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(engine_->Indexed().members, 0u);

    // A settlement on the member's access tells the engine, which then holds nothing of it.
    ASSERT_EQ(
        Open(test::PendingRequest(kGold, direction::Buy, 1, 1600, 0, 0, order_validity::Today)),
        order_result::Done);
    EXPECT_EQ(engine_->Indexed().orders, 1u);
    now_ += kDay;
    EXPECT_TRUE(accounts_->Orders(kate_, OrderFilter{}).size() > 0);
    EXPECT_EQ(engine_->Indexed().orders, 0u);
    EXPECT_EQ(engine_->ExpireDue(), 0);
}

// Sunday's last seconds become Monday while prices, orders and account reads of many members
// run on several threads, and the engine restarts halfway: every account pays one night's
// deferral once, and its day and week orders end once.
TEST_F(EngineTest, ADayBoundaryUnderLoadSettlesEachAccountOnceAcrossARestart) {
    now_ = kWednesday + 5 * kDay - 10;  // Sunday 23:59:50
    std::vector<std::int64_t> members;
    std::vector<double> balances;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t m = AddMember(("m" + std::to_string(i)).c_str());
        Opened(m, kGold, direction::Buy, 1);
        Placed(m, kGold, direction::Buy, 1, 1600);
        ASSERT_EQ(
            Open(test::PendingRequest(kGold, direction::Buy, 1, 1601, 0, 0, order_validity::Today),
                 m),
            order_result::Done);
        members.push_back(m);
        balances.push_back(Account(m).balance);
    }
    // Readers of the accounts (each read settles), an engine price feed on another instrument
    // and the expiry check, for `reach` members, until told to stop.
    auto load = [&](std::size_t reach, auto&& during) {
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                for (std::size_t i = static_cast<std::size_t>(t); !stop; ++i)
                    accounts_->Orders(members[i % reach], OrderFilter{});
            });
        }
        threads.emplace_back([&] {
            for (int i = 0; !stop; ++i) {
                SetPrice(kEuro, i % 2 ? 1.3100 : 1.3101);
                engine_->ExpireDue();
            }
        });
        during();
        stop = true;
        for (std::thread& t : threads) t.join();
    };
    load(members.size(), [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        now_ = kWednesday + 5 * kDay;  // Monday 00:00
    });
    // Some accounts are settled by now; the engine starts again on the store as after a crash.
    load(3, [&] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    StartEngine();
    load(members.size(), [&] {
        now_ = kWednesday + 5 * kDay + 30;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    const double night = DailyDeferral(*FindRules(kGold), 1650.00, 1);  // 206.25
    for (std::size_t i = 0; i < members.size(); ++i) {
        const AccountRow a = Account(members[i]);
        EXPECT_EQ(a.tradingDay, "2024-01-15") << i;
        EXPECT_DOUBLE_EQ(a.balance, RoundMoney(balances[i] - night)) << i;
        EXPECT_DOUBLE_EQ(a.previousDeferralFee, night) << i;
        EXPECT_DOUBLE_EQ(Positions(members[i]).at(0).deferralFee, night) << i;
        for (const OrderRow& o : Orders(members[i])) {
            EXPECT_EQ(o.status, order_status::Cancelled) << i;
            EXPECT_GE(o.doneTime, kWednesday + 5 * kDay) << i;
        }
        EXPECT_EQ(Fills(members[i]).size(), 1u) << i;  // the opening fill alone
    }
    EXPECT_EQ(engine_->Indexed().orders, 0u);
}

TEST_F(EngineTest, TheExpiryClockCancelsOrdersThatRanOutWithoutAnyPrice) {
    engine_.reset();
    engine_ = std::make_unique<ExecutionEngine>(*store_, market_, *accounts_, hours_);
    engine_->SetLogging(false);
    engine_->Start(true);
    ASSERT_EQ(
        Open(test::PendingRequest(kGold, direction::Buy, 1, 1600, 0, 0, order_validity::Today)),
        order_result::Done);
    now_ = kWednesday + kDay;
    for (int i = 0; i < 50 && Waiting() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(Orders()[0].status, order_status::Cancelled);
    engine_->Stop();
    engine_->Stop();  // idempotent
}

TEST_F(EngineTest, AClosedMarketRefusesOrdersAndSetsNothingOff) {
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f, 1640, 1660)),
              order_result::Done);
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 1, 1655)), order_result::Done);
    hours_.SetOverride(kGold, MarketOverride::Closed);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f)),
              order_result::MarketClosed);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1600)),
              order_result::MarketClosed);
    EXPECT_EQ(Open(test::MarketRequest(kEuro, direction::Buy, 1, 1.3102f)), order_result::Done);
    // The take-profit and the sell limit are both reached, but the market is closed.
    SetPrice(kGold, 1661.00);
    EXPECT_EQ(Positions().size(), 2u);
    EXPECT_EQ(Waiting(), 1u);
    // Open again: the next price does both.
    hours_.SetOverride(kGold, MarketOverride::Open);
    SetPrice(kGold, 1661.01);
    EXPECT_EQ(Positions().size(), 2u);  // the euro, and the sell from the limit order
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(Fills().size(), 4u);
}

TEST_F(EngineTest, TheIndexIsReadFromTheStoreAtStart) {
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f, 0, 1660)),
              order_result::Done);
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Sell, 1, 1670)), order_result::Done);
    engine_.reset();
    engine_ = std::make_unique<ExecutionEngine>(*store_, market_, *accounts_, hours_);
    engine_->SetLogging(false);
    engine_->Start(false);
    const auto counts = engine_->Indexed();
    EXPECT_EQ(counts.members, 1u);
    EXPECT_EQ(counts.positions, 1u);
    EXPECT_EQ(counts.orders, 1u);
    SetPrice(kGold, 1670.25);  // bid 1670.00: the take-profit and the sell limit
    const auto positions = Positions();
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_EQ(positions[0].direction, direction::Sell);
    EXPECT_DOUBLE_EQ(positions[0].openPrice, 1670.00);
}

TEST_F(EngineTest, OrdersOfManyMembersAtOnceAreAllKeptAndAHistoryOfCancelledOrdersIsLeftAside) {
    // A member with a long history of cancelled orders beside one waiting order.
    const std::int64_t hoarder = AddMember("hoarder");
    ASSERT_TRUE(accounts_->Settle(hoarder));
    ASSERT_TRUE(InTransaction(*store_, [&](sqlite3* db) {
        for (int i = 0; i < 2000; ++i) {
            OrderRow o{{hoarder, kGold, direction::Buy, 0, 0}};
            o.quantity = 1;
            o.price = 1600;
            o.status = order_status::Cancelled;
            o.frozenMargin = 1000;
            if (!account_rows::InsertRow(db, o)) return false;
        }
        return true;
    }));
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1600), hoarder),
              order_result::Done);
    // Eight members order at once, each from a thread of its own; their changes share commits.
    std::vector<std::int64_t> members;
    for (int i = 0; i < 8; ++i) members.push_back(AddMember(("m" + std::to_string(i)).c_str()));
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (const std::int64_t m : members)
        threads.emplace_back([&, m] {
            for (int k = 0; k < 4; ++k)
                if (engine_->Open(m, test::PendingRequest(kGold, direction::Buy, 1,
                                                          static_cast<float>(1600 - k))) ==
                    order_result::Done)
                    ++done;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(done, 32);
    for (const std::int64_t m : members) EXPECT_EQ(Waiting(m), 4u) << m;
    EXPECT_EQ(engine_->Indexed().orders, 33u);
    EXPECT_EQ(Waiting(hoarder), 1u);
    // Only the waiting order holds money back.
    const AccountBlock block = accounts_->Block(hoarder);
    EXPECT_DOUBLE_EQ(block.frozenMargin, MarginFor(*FindRules(kGold), 1600, 1));
    SetPrice(kGold, 1599.75);  // ask 1600.00: every order at 1600 fills
    EXPECT_EQ(Positions(hoarder).size(), 1u);
    for (const std::int64_t m : members) EXPECT_EQ(Positions(m).size(), 1u) << m;
}

TEST_F(EngineTest, AGroupWhoseCommitFailsAnswersEveryChangeAsAStoreFailure) {
    ASSERT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1600)), order_result::Done);
    const double balance = Account().balance;
    // A check the store makes only at the commit: every order inserted breaks it.
    auto exec = [&](const char* sql) {
        return store_->WithDb([&](sqlite3* db) { return Exec(db, sql); });
    };
    ASSERT_TRUE(
        exec("CREATE TABLE commit_guard (member INTEGER REFERENCES members(id)"
             " DEFERRABLE INITIALLY DEFERRED);"
             "CREATE TRIGGER guard AFTER INSERT ON orders BEGIN INSERT INTO commit_guard VALUES "
             "(-1); END;"));
    std::string note;
    EXPECT_EQ(engine_->Open(kate_, test::PendingRequest(kGold, direction::Buy, 1, 1590), &note),
              order_refusal::NoSession);
    EXPECT_EQ(note, "store failed");
    EXPECT_EQ(Orders().size(), 1u);
    EXPECT_EQ(engine_->Indexed().orders, 1u);  // the index follows the store, not the change
    // Changes without an order row commit as before.
    ASSERT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f)), order_result::Done);
    EXPECT_LT(Account().balance, balance);
    ASSERT_TRUE(exec("DROP TRIGGER guard; DROP TABLE commit_guard;"));
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1590)), order_result::Done);
    EXPECT_EQ(engine_->Indexed().orders, 2u);
}

TEST_F(EngineTest, TheMarketClocksPricesGoOnWhileOrdersWaitForTheStore) {
    std::atomic<int> heard{0};
    const auto listener = market_.AddListener([&](const Tick&) { ++heard; });
    market_.Start(std::chrono::milliseconds(2));
    std::int32_t answer = -1;
    std::thread order;
    store_->WithDb([&](sqlite3*) {
        // The order waits for the store, which this thread holds; the clock's prices do not.
        order = std::thread(
            [&] { answer = Open(test::PendingRequest(kEuro, direction::Buy, 1, 1.2000f)); });
        const int before = heard;
        EXPECT_TRUE(test::WaitUntil([&] { return heard > before + 20; }));
        return true;
    });
    order.join();
    market_.Stop();
    market_.RemoveListener(listener);
    EXPECT_EQ(answer, order_result::Done);
    const AccountBlock block = accounts_->Block(kate_);
    EXPECT_DOUBLE_EQ(block.frozenMargin, MarginFor(*FindRules(kEuro), 1.2000, 1));
    SetPrice(kEuro, 1.1998);  // ask 1.2000
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(EngineTest, BadRequestsAreRefusedBeforeAnythingIsRead) {
    OpenOrderRequest r = test::MarketRequest(kGold, direction::Buy, 1, 1650.25f);
    r.orderKind = 3;
    EXPECT_EQ(Open(r), order_refusal::BadRequest);
    r = test::MarketRequest(kGold, 0, 1, 1650.25f);
    EXPECT_EQ(Open(r), order_refusal::BadRequest);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1600, 0, 0, 3)),
              order_refusal::BadRequest);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, 1600, 0, 0, 0)),
              order_refusal::BadRequest);
    r = test::MarketRequest(kGold, direction::Buy, 1, 1650.25f);
    r.deviation = -1;
    EXPECT_EQ(Open(r), order_refusal::BadRequest);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 1650.25f, -5)),
              order_refusal::BadRequest);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy,
                                       std::numeric_limits<float>::quiet_NaN(), 1650)),
              order_refusal::BadRequest);
    EXPECT_EQ(
        Open(test::MarketRequest(kGold, direction::Buy, 1, std::numeric_limits<float>::infinity())),
        order_refusal::BadRequest);
    EXPECT_EQ(Open(test::MarketRequest(20, direction::Buy, 1, 54)),
              order_result::InvalidPrice);  // not tradable
    EXPECT_EQ(Open(test::MarketRequest(0, direction::Buy, 1, 54)), order_result::InvalidPrice);
    EXPECT_EQ(Open(test::MarketRequest(kGold, direction::Buy, 1, 0)), order_result::InvalidPrice);
    EXPECT_EQ(Open(test::PendingRequest(kGold, direction::Buy, 1, -3)), order_result::InvalidPrice);
    // An unknown member has no account to trade.
    EXPECT_EQ(engine_->Open(99999, test::MarketRequest(kGold, direction::Buy, 1, 1650.25f)),
              order_refusal::NoSession);
    EXPECT_TRUE(Positions().empty());
    EXPECT_TRUE(Orders().empty());
}

// ---- Trading hours ----

// Beijing time of the week of Monday 2024-01-08.
std::int64_t Beijing(int weekday, int hour, int minute = 0) {
    return kWednesday + (weekday - 2) * kDay + hour * kHour + minute * 60;
}
constexpr int kMon = 0, kTue = 1, kWed = 2, kFri = 4, kSat = 5, kSun = 6;

TEST(TradingHoursTest, SessionsFollowTheMarketsOfBeijing) {
    struct Case {
        std::int32_t instrument;
        int weekday, hour, minute;
        bool open;
    };
    const Case cases[] = {
        // International: Monday 06:00 to Saturday 05:00, an hour's break each morning.
        {kGold, kMon, 5, 59, false},
        {kGold, kMon, 6, 0, true},
        {kGold, kTue, 5, 30, false},
        {kGold, kWed, 3, 0, true},
        {kGold, kSat, 4, 59, true},
        {kGold, kSat, 5, 0, false},
        {kGold, kSun, 12, 0, false},
        {kEuro, kFri, 23, 0, true},
        {13, kSun, 23, 59, false},
        // The stock index: 09:30-11:30 and 13:00-15:00 on weekdays.
        {kIndex, kWed, 9, 29, false},
        {kIndex, kWed, 9, 30, true},
        {kIndex, kWed, 11, 30, false},
        {kIndex, kWed, 13, 0, true},
        {kIndex, kWed, 14, 59, true},
        {kIndex, kWed, 15, 0, false},
        {kIndex, kSat, 10, 0, false},
        {kIndex, kWed, 21, 30, false},
        // Commodity futures: day sessions with the 10:15 break, night to 23:00.
        {32, kWed, 10, 20, false},
        {32, kWed, 21, 0, true},
        {32, kWed, 23, 0, false},
        // Gold and silver futures: night to 02:30, Friday's into Saturday, none on Sunday.
        {29, kFri, 2, 29, true},
        {29, kSat, 2, 0, true},
        {29, kSat, 2, 30, false},
        {29, kMon, 2, 0, false},
        {29, kMon, 9, 0, true},
        // Copper to 01:00.
        {40, kWed, 0, 59, true},
        {40, kWed, 1, 0, false},
        // Shanghai spot: 15:30 close, night from 20:00.
        {5, kWed, 15, 29, true},
        {5, kWed, 15, 30, false},
        {5, kWed, 20, 0, true},
        // The onshore dollar: 09:30 to 03:00.
        {39, kMon, 9, 29, false},
        {39, kMon, 9, 30, true},
        {39, kSat, 2, 59, true},
        {39, kSat, 3, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.instrument << " day " << c.weekday << " " << c.hour << ":" << c.minute);
        EXPECT_EQ(InStandardHours(c.instrument, Beijing(c.weekday, c.hour, c.minute)), c.open);
    }
    // Every instrument has hours, and none trades on Sunday afternoon.
    for (const InstrumentRules& r : Catalogue()) {
        EXPECT_FALSE(StandardSessions(r.id).empty()) << r.id;
        EXPECT_FALSE(InStandardHours(r.id, Beijing(kSun, 15))) << r.id;
    }
    EXPECT_TRUE(StandardSessions(43).empty());
    EXPECT_FALSE(InStandardHours(0, Beijing(kWed, 12)));
}

TEST(TradingHoursTest, TheModeAndTheControlPortsOverridesDecide) {
    TradingHours standard(HoursMode::Standard), always(HoursMode::Always);
    const std::int64_t sunday = Beijing(kSun, 12);
    EXPECT_FALSE(standard.IsOpen(kGold, sunday));
    EXPECT_TRUE(always.IsOpen(kGold, sunday));
    EXPECT_FALSE(always.IsOpen(43, sunday));
    standard.SetOverride(kGold, MarketOverride::Open);
    always.SetOverride(kGold, MarketOverride::Closed);
    EXPECT_TRUE(standard.IsOpen(kGold, sunday));
    EXPECT_FALSE(always.IsOpen(kGold, Beijing(kWed, 12)));
    EXPECT_FALSE(standard.IsOpen(kEuro, sunday));
    EXPECT_EQ(standard.Override(kGold), MarketOverride::Open);
    standard.SetOverride(kGold, MarketOverride::Auto);
    EXPECT_FALSE(standard.IsOpen(kGold, sunday));
    standard.SetOverride(99, MarketOverride::Open);  // ignored
    EXPECT_EQ(standard.Override(99), MarketOverride::Auto);
}

TEST(TradingHoursTest, TheCommandLineChoosesStandardOrAlways) {
    ServerOptions options;
    std::string message;
    EXPECT_EQ(options.tradingHours, HoursMode::Standard);
    ASSERT_EQ(ParseOptions({"--trading-hours", "always"}, options, message), ParseOutcome::Run);
    EXPECT_EQ(options.tradingHours, HoursMode::Always);
    ASSERT_EQ(ParseOptions({"--trading-hours", "standard"}, options, message), ParseOutcome::Run);
    EXPECT_EQ(options.tradingHours, HoursMode::Standard);
    EXPECT_EQ(ParseOptions({"--trading-hours", "sometimes"}, options, message),
              ParseOutcome::Error);
    EXPECT_NE(message.find("standard or always"), std::string::npos);
    EXPECT_NE(UsageText().find("--trading-hours"), std::string::npos);
}

TEST(TradingHoursTest, TheWalkStandsWhileAMarketIsClosed) {
    SeededRandom random(11);
    Market market(random);
    market.SetMoving([](std::int32_t id) { return id != kGold; });
    const std::int32_t gold = market.Price(kGold), euro = market.Price(kEuro);
    bool euroMoved = false;
    for (int i = 0; i < 50; ++i) {
        market.Step();
        euroMoved = euroMoved || market.Price(kEuro) != euro;
    }
    EXPECT_EQ(market.Price(kGold), gold);
    EXPECT_TRUE(euroMoved);

    // The draws are made all the same: the other instruments walk as they would.
    SeededRandom a(3), b(3);
    Market all(a), some(b);
    some.SetMoving([](std::int32_t id) { return id != kGold; });
    for (int i = 0; i < 20; ++i) {
        all.Step();
        some.Step();
    }
    EXPECT_EQ(all.Price(kEuro), some.Price(kEuro));
    EXPECT_EQ(all.Price(13), some.Price(13));
}

}  // namespace
}  // namespace zq::server
