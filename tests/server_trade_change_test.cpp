// Changing and closing trades in the execution engine, in process on a store of its own with a
// market set by hand: new stops of a position (13), closing at the market whole and in part
// (18), changing (14) and deleting (15) waiting orders, programmatic orders that follow the
// server's signals, and members kept apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "server/market/signals.h"
#include "server/market/trading_hours.h"
#include "server/trading/account_records.h"
#include "server/trading/account_rows.h"
#include "server/trading/accounts.h"
#include "server/trading/execution.h"
#include "server/trading/program_trading.h"
#include "tests/order_request_builders.h"
#include "tests/support/engine_fixture.h"

namespace zq::server {
namespace {

using account_rows::LoadRows;

using test::kWednesdayNoon;
constexpr std::int32_t kGold = 1;    // ask 1650.25 / bid 1649.75; distances 2; fee at opening
constexpr std::int32_t kSilver = 4;  // 天通银 ask 6204 / bid 6196; whole lots, fee on both sides

using test::StopsRequest;
ModifyStopsRequest Stops(const std::string& ticket, float stopLoss, float takeProfit) {
    return StopsRequest(ticket, stopLoss, takeProfit);
}

// Command 18 as the client builds it for `p`.
PendingOrderRecord CloseOf(const PositionRow& p, double lots, double price, double deviation = 0) {
    return test::CloseRequest(p.instrument, p.direction, p.ticket, lots, price, deviation);
}

// Command 14: the order's record with new terms.
PendingOrderRecord Change(const OrderRow& o, double lots, double price, double stopLoss = 0,
                          double takeProfit = 0, std::int32_t validity = 2) {
    PendingOrderRecord r = MakeOrderRecord(o);
    r.quantity = lots;
    r.price = price;
    r.stopLoss = stopLoss;
    r.takeProfit = takeProfit;
    r.validity = validity;
    return r;
}

class TradeChangeTest : public test::EngineFixture {
  protected:
    TradeChangeTest() : EngineFixture("zq-trade-change-test") {}
    void SetUp() override {
        EngineFixture::SetUp();
        ann_ = AddMember("ann");
        bob_ = AddMember("bob");
        SetPrice(kGold, 1650.00);
        SetPrice(kSilver, 6200);
    }

    // Sets a stored column of a position or an order, as the server's own trades have them.
    void SetColumn(const std::string& sql) {
        ASSERT_TRUE(store_->WithDb([&](sqlite3* db) { return Exec(db, sql.c_str()); }));
        engine_->Reload(ann_);
    }
    void MarkPosition(const std::string& ticket, int programmatic) {
        SetColumn("UPDATE positions SET programmatic = " + std::to_string(programmatic) +
                  " WHERE ticket = '" + ticket + "'");
    }
    void MarkOrder(const std::string& number, int validity) {
        SetColumn("UPDATE orders SET validity = " + std::to_string(validity) +
                  " WHERE order_number = '" + number + "'");
    }
    SignalRecord Signal(std::int32_t instrument, std::uint8_t side, double price, double lots,
                        double stopLoss, std::uint8_t tag = 1) {
        const InstrumentRules& rules = *FindRules(instrument);
        SignalRequest r;
        r.instrument = instrument;
        r.side = side;
        r.price = ToScaled(rules, price);
        r.lots100 = static_cast<std::int32_t>(std::lround(lots * 100));
        r.amount100 = SignalAmount(rules, r.price, r.lots100);
        r.stopLoss = ToScaled(rules, stopLoss);
        return MakeSignal(r, tag, kControlVariant);
    }
    static SignalRecord Withdrawn(SignalRecord s) {
        s.action = 4;
        return s;
    }
    static std::vector<OrderRow> WaitingOf(const std::vector<OrderRow>& orders) {
        std::vector<OrderRow> out;
        for (const OrderRow& o : orders)
            if (o.status == order_status::Waiting) out.push_back(o);
        return out;
    }

    std::int64_t ann_ = 0, bob_ = 0;
};

// ---- 13: stops of a position ----

TEST_F(TradeChangeTest, NewStopsFollowTheBoundsTheClientShowsAndAreWatchedAtOnce) {
    const PositionRow buy = Opened(ann_, kGold, direction::Buy, 1);
    // Buy: stop-loss at most ask - 2 = 1648.25, take-profit at least ask + 2 = 1652.25.
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(buy.ticket, 1648.26f, 0)));
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(buy.ticket, 0, 1652.24f)));
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(buy.ticket, 1660, 0))) << "wrong side";
    const auto set = engine_->ModifyStops(ann_, Stops(buy.ticket, 1648.25f, 1652.25f));
    ASSERT_TRUE(set);
    EXPECT_EQ(set->ticket, buy.ticket);
    EXPECT_DOUBLE_EQ(set->stopLoss, 1648.25);
    EXPECT_DOUBLE_EQ(set->takeProfit, 1652.25);
    EXPECT_DOUBLE_EQ(set->heldQuantity, 1);
    EXPECT_EQ(MakePositionRecord(*set, market_.QuotedRecord(kGold)).watched, 1);
    EXPECT_DOUBLE_EQ(Positions(ann_)[0].stopLoss, 1648.25);

    // Sell: stop-loss at least bid + 2 = 1651.75, take-profit at most bid - 2 = 1647.75.
    const PositionRow sell = Opened(ann_, kGold, direction::Sell, 1);
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(sell.ticket, 1651.74f, 0)));
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(sell.ticket, 0, 1647.76f)));
    EXPECT_TRUE(engine_->ModifyStops(ann_, Stops(sell.ticket, 1651.75f, 1647.75f)));

    // Both 0 clear the stops and the watch.
    const auto cleared = engine_->ModifyStops(ann_, Stops(sell.ticket, 0, 0));
    ASSERT_TRUE(cleared);
    EXPECT_EQ(MakePositionRecord(*cleared, market_.QuotedRecord(kGold)).watched, 0);

    // The index took the buy's new take-profit: the price that reaches it closes the position.
    SetPrice(kGold, 1652.50);  // bid 1652.25
    const auto left = Positions(ann_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].ticket, sell.ticket) << "the sell has no stops any more";
    EXPECT_EQ(Fills(ann_).back().reason, fill_reason::TakeProfit);
}

TEST_F(TradeChangeTest, NewStopsAreRefusedForAnythingButAnOpenManualPositionOfAnOpenMarket) {
    const PositionRow p = Opened(ann_, kGold, direction::Buy, 1, 1600);
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops("1999999999", 1600, 0))) << "unknown ticket";
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops("", 1600, 0)));
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(p.ticket, -1, 0)));
    EXPECT_FALSE(
        engine_->ModifyStops(ann_, Stops(p.ticket, std::numeric_limits<float>::quiet_NaN(), 0)));
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(p.ticket, 0, 3.0e8f))) << "beyond a record";
    hours_.SetOverride(kGold, MarketOverride::Closed);
    std::string why;
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(p.ticket, 1610, 0), &why));
    EXPECT_EQ(why, "market closed");
    hours_.SetOverride(kGold, MarketOverride::Auto);
    MarkPosition(p.ticket, 1);
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(p.ticket, 1610, 0), &why));
    EXPECT_EQ(why, "programmatic position");
    EXPECT_DOUBLE_EQ(Positions(ann_)[0].stopLoss, 1600) << "nothing changed";
}

// ---- 18: closing at the market ----

TEST_F(TradeChangeTest, AWholeCloseEndsThePositionAndTakesItsClosingOrdersWithIt) {
    const PositionRow p = Opened(ann_, kGold, direction::Buy, 1);
    // A closing order of the position, as the demo member's seeded one.
    ASSERT_TRUE(store_->WithDb([&](sqlite3* db) {
        OrderRow o{{ann_, kGold, direction::Sell, 0, 0}};
        o.quantity = 1;
        o.price = 1700;
        o.triggerKind = trigger::SellBidRises;
        o.openClose = open_close::Close;
        o.relatedPosition = p.ticket;
        o.validity = 2;
        o.orderTime = now_;
        return account_rows::InsertRow(db, o);
    }));
    engine_->Reload(ann_);
    const double balance = Account(ann_).balance;
    SetPrice(kGold, 1652.00);  // bid 1651.75
    EXPECT_EQ(engine_->Close(ann_, CloseOf(p, 1, 1651.75, 0.25)), close_result::Done);
    EXPECT_TRUE(Positions(ann_).empty());
    EXPECT_EQ(WaitingOf(Orders(ann_)).size(), 0u);
    EXPECT_EQ(Orders(ann_)[0].status, order_status::Cancelled);
    const FillRow f = Fills(ann_).back();
    EXPECT_EQ(f.openClose, open_close::Close);
    EXPECT_EQ(f.reason, fill_reason::Market);
    EXPECT_EQ(f.direction, direction::Sell);
    EXPECT_DOUBLE_EQ(f.price, 1651.75);
    EXPECT_DOUBLE_EQ(f.profit, 937.50);  // 1.50 x 100 x 6.25
    EXPECT_DOUBLE_EQ(f.fee, 0) << "gold charges its fee at opening only";
    const AccountRow a = Account(ann_);
    EXPECT_DOUBLE_EQ(a.balance, RoundMoney(balance + 937.50));
    EXPECT_EQ(a.tradeCount, 1);
    EXPECT_EQ(a.winningTradeCount, 1);
    EXPECT_EQ(engine_->Indexed().positions, 0u);
}

TEST_F(TradeChangeTest, APartialCloseSplitsThePositionWithMarginAndFeesInProportion) {
    const InstrumentRules& silver = *FindRules(kSilver);
    const PositionRow p = Opened(ann_, kSilver, direction::Buy, 3, 6100, 6400);
    EXPECT_DOUBLE_EQ(p.margin, 27918);  // 6204 x 15 x 3 x 10 %
    const double balance = Account(ann_).balance;
    // Sells 1 at the bid 6196: a loss of 8 x 15 and a closing fee of 0.08 %.
    ASSERT_EQ(engine_->Close(ann_, CloseOf(p, 1, 6196)), close_result::Done);
    const auto rest = Positions(ann_);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].ticket, p.ticket) << "the rest keeps its ticket";
    EXPECT_DOUBLE_EQ(rest[0].heldQuantity, 2);
    EXPECT_DOUBLE_EQ(rest[0].openedQuantity, 3);
    EXPECT_DOUBLE_EQ(rest[0].margin, 18612);
    EXPECT_DOUBLE_EQ(rest[0].fee1, p.fee1);
    EXPECT_DOUBLE_EQ(rest[0].fee2, 74.35);
    EXPECT_DOUBLE_EQ(rest[0].fee2, ClosingFee(silver, 6196, 1));
    EXPECT_DOUBLE_EQ(rest[0].stopLoss, 6100);
    const FillRow f = Fills(ann_).back();
    EXPECT_EQ(f.ticket, p.ticket);
    EXPECT_DOUBLE_EQ(f.lots, 1);
    EXPECT_DOUBLE_EQ(f.profit, -120);
    EXPECT_DOUBLE_EQ(f.fee, 74.35);
    const AccountRow a = Account(ann_);
    EXPECT_DOUBLE_EQ(a.balance, RoundMoney(balance - 120 - 74.35));
    EXPECT_DOUBLE_EQ(a.todayClosedProfit, -120);
    EXPECT_EQ(a.tradeCount, 1);
    EXPECT_EQ(a.winningTradeCount, 0);
    // The index holds the smaller position: its stop still closes exactly the rest.
    SetPrice(kSilver, 6104);  // bid 6100
    EXPECT_TRUE(Positions(ann_).empty());
    EXPECT_DOUBLE_EQ(Fills(ann_).back().lots, 2);
    EXPECT_EQ(Fills(ann_).back().reason, fill_reason::StopLoss);
}

TEST_F(TradeChangeTest, EveryRefusalOfACloseLeavesThePositionAsItWas) {
    const PositionRow p = Opened(ann_, kGold, direction::Buy, 0.5f);
    auto close = [&](const PendingOrderRecord& r) { return engine_->Close(ann_, r); };
    // The market moved: bid 1649.75 against 1650.00 shown, 0.25 away.
    EXPECT_EQ(close(CloseOf(p, 0.5, 1650.00, 0.24)), close_result::PriceMoved);
    EXPECT_EQ(close(CloseOf(p, 0.5, 1649.75, -0.01)), close_result::PriceMoved)
        << "a negative deviation is never met";
    // Price and quantity.
    EXPECT_EQ(close(CloseOf(p, 0.5, 0)), close_result::InvalidPrice);
    EXPECT_EQ(close(CloseOf(p, 0.51, 1649.75)), close_result::InvalidPrice) << "more than held";
    EXPECT_EQ(close(CloseOf(p, 0, 1649.75)), close_result::InvalidPrice);
    EXPECT_EQ(close(CloseOf(p, -0.1, 1649.75)), close_result::InvalidPrice);
    EXPECT_EQ(close(CloseOf(p, 0.125, 1649.75)), close_result::InvalidPrice) << "off the step";
    // Not this position, or not a usable request.
    PendingOrderRecord wrong = CloseOf(p, 0.5, 1649.75);
    wrong.direction = direction::Buy;
    EXPECT_EQ(close(wrong), order_refusal::BadRequest) << "a buy does not close a buy";
    wrong = CloseOf(p, 0.5, 1649.75);
    wrong.instrument = 2;
    EXPECT_EQ(close(wrong), order_refusal::BadRequest);
    wrong = CloseOf(p, std::numeric_limits<double>::infinity(), 1649.75);
    EXPECT_EQ(close(wrong), order_refusal::BadRequest);
    wrong = CloseOf(p, 0.5, 1649.75);
    std::strcpy(wrong.relatedPosition, "1999999999");
    EXPECT_EQ(close(wrong), change_refusal::UnknownTrade);
    std::memset(wrong.relatedPosition, 0, sizeof wrong.relatedPosition);
    EXPECT_EQ(close(wrong), change_refusal::UnknownTrade);
    hours_.SetOverride(kGold, MarketOverride::Closed);
    EXPECT_EQ(close(CloseOf(p, 0.5, 1649.75)), close_result::MarketClosed);
    hours_.SetOverride(kGold, MarketOverride::Auto);
    EXPECT_EQ(Positions(ann_).size(), 1u);
    EXPECT_DOUBLE_EQ(Positions(ann_)[0].heldQuantity, 0.5);
    EXPECT_EQ(Fills(ann_).size(), 1u) << "only the opening";

    MarkPosition(p.ticket, 1);
    EXPECT_EQ(close(CloseOf(p, 0.5, 1649.75)), change_refusal::Programmatic);
    MarkPosition(p.ticket, 0);
    // A deviation of 0 takes any price; a part of 0.2 leaves 0.3.
    EXPECT_EQ(close(CloseOf(p, 0.2, 1500)), close_result::Done);
    EXPECT_DOUBLE_EQ(Positions(ann_)[0].heldQuantity, 0.3);
    EXPECT_EQ(close(CloseOf(p, 0.3, 1649.75, 0.25)), close_result::Done);
    EXPECT_TRUE(Positions(ann_).empty());
}

// ---- 14 and 15: waiting orders ----

TEST_F(TradeChangeTest, AChangedOrderGetsItsTriggerKindAndFrozenAmountsAnew) {
    const InstrumentRules& gold = *FindRules(kGold);
    const OrderRow o = Placed(ann_, kGold, direction::Buy, 1, 1640);
    ASSERT_EQ(o.triggerKind, trigger::BuyAskFalls);
    // Above the ask 1650.25: now it waits for the ask to rise, for 2 lots, valid for the day.
    ASSERT_EQ(engine_->ModifyOrder(ann_, Change(o, 2, 1660, 1655, 1670, 1)),
              modify_order_result::Done);
    const OrderRow c = Orders(ann_)[0];
    EXPECT_EQ(c.orderNumber, o.orderNumber);
    EXPECT_EQ(c.status, order_status::Waiting);
    EXPECT_EQ(c.triggerKind, trigger::BuyAskRises);
    EXPECT_DOUBLE_EQ(c.quantity, 2);
    EXPECT_DOUBLE_EQ(c.price, 1660);
    EXPECT_DOUBLE_EQ(c.stopLoss, 1655);
    EXPECT_DOUBLE_EQ(c.takeProfit, 1670);
    EXPECT_EQ(c.validity, 1);
    EXPECT_EQ(c.orderTime, o.orderTime);
    EXPECT_DOUBLE_EQ(c.frozenMargin, MarginFor(gold, 1660, 2));  // 20,750
    EXPECT_DOUBLE_EQ(c.frozenFee, SideFee(gold, 1660, 2));
    const AccountBlock block = accounts_->Block(ann_);
    EXPECT_DOUBLE_EQ(block.frozenMargin, 20750);
    // The index has the new trigger: the old price no longer fills it, the new one does.
    SetPrice(kGold, 1639.75);  // ask 1640
    EXPECT_TRUE(Positions(ann_).empty());
    SetPrice(kGold, 1659.75);  // ask 1660
    ASSERT_EQ(Positions(ann_).size(), 1u);
    EXPECT_DOUBLE_EQ(Positions(ann_)[0].heldQuantity, 2);
}

TEST_F(TradeChangeTest, EveryRefusalOfAnOrderChangeLeavesTheOrderAsItWas) {
    const OrderRow o = Placed(ann_, kGold, direction::Sell, 1, 1660);
    auto change = [&](const PendingOrderRecord& r) { return engine_->ModifyOrder(ann_, r); };
    EXPECT_EQ(change(Change(o, 1, 1660, 0, 0, 3)), order_refusal::BadRequest);
    EXPECT_EQ(change(Change(o, 1, 1660, 0, 0, 0)), order_refusal::BadRequest);
    EXPECT_EQ(change(Change(o, 1, 1660, -1)), order_refusal::BadRequest);
    EXPECT_EQ(change(Change(o, 1, std::nan(""))), order_refusal::BadRequest);
    EXPECT_EQ(change(Change(o, 0.001, 1660)), order_refusal::BadLots);
    EXPECT_EQ(change(Change(o, 60, 1660)), order_refusal::BadLots) << "above the maximum lots";
    EXPECT_EQ(change(Change(o, 1, 0)), modify_order_result::InvalidPrice);
    EXPECT_EQ(change(Change(o, 1, 1651.74)), modify_order_result::InvalidPrice)
        << "within 2 of the bid 1649.75";
    EXPECT_EQ(change(Change(o, 1, 1660, 1661.99)), modify_order_result::InvalidStops);
    EXPECT_EQ(change(Change(o, 1, 1660, 0, 1658.01)), modify_order_result::InvalidStops);
    EXPECT_EQ(change(Change(o, 16, 1660)), modify_order_result::NoMargin);
    hours_.SetOverride(kGold, MarketOverride::Closed);
    EXPECT_EQ(change(Change(o, 1, 1670)), modify_order_result::MarketClosed) << "6: market closed";
    hours_.SetOverride(kGold, MarketOverride::Auto);
    PendingOrderRecord missing = Change(o, 1, 1670);
    std::strcpy(missing.orderNumber, "1999999999");
    EXPECT_EQ(change(missing), modify_order_result::NotWaiting);
    PendingOrderRecord other = Change(o, 1, 1670);
    other.direction = direction::Buy;
    EXPECT_EQ(change(other), order_refusal::BadRequest);
    EXPECT_DOUBLE_EQ(Orders(ann_)[0].price, 1660);
    EXPECT_DOUBLE_EQ(Orders(ann_)[0].frozenMargin, o.frozenMargin);

    // Exactly on the edges; a price below the bid turns it into a stop order.
    EXPECT_EQ(change(Change(o, 1, 1651.75, 1653.75, 1649.75)), modify_order_result::Done);
    EXPECT_EQ(change(Change(o, 1, 1647.75)), modify_order_result::Done);
    EXPECT_EQ(Orders(ann_)[0].triggerKind, trigger::SellBidFalls);

    MarkOrder(o.orderNumber, 3);
    EXPECT_EQ(change(Change(o, 1, 1670)), change_refusal::Programmatic);
    MarkOrder(o.orderNumber, 2);
    // Filled: no longer waiting.
    SetPrice(kGold, 1647.00);  // bid 1646.75
    ASSERT_EQ(Orders(ann_)[0].status, order_status::Filled);
    EXPECT_EQ(change(Change(o, 1, 1670)), modify_order_result::NotWaiting);
}

TEST_F(TradeChangeTest, TheFundsCheckOfAChangeCountsTheOrdersOwnFreezeAsReleased) {
    const InstrumentRules& gold = *FindRules(kGold);
    // Funds for 9 lots at 1640 but not for 18: the order holds most of them.
    const OrderRow o = Placed(ann_, kGold, direction::Buy, 9, 1640);
    const double free = accounts_->Block(ann_).freeFunds;
    ASSERT_LT(free, MarginFor(gold, 1640, 1) + SideFee(gold, 1640, 1));
    EXPECT_EQ(engine_->ModifyOrder(ann_, Change(o, 9, 1630)), modify_order_result::Done);
    EXPECT_EQ(engine_->ModifyOrder(ann_, Change(o, 10, 1630)), modify_order_result::NoMargin);
    EXPECT_DOUBLE_EQ(Orders(ann_)[0].quantity, 9);
    EXPECT_DOUBLE_EQ(accounts_->Block(ann_).frozenMargin, MarginFor(gold, 1630, 9));
}

TEST_F(TradeChangeTest, DeletingCancelsOnlyAWaitingManualOrderOfTheCallerAndReleasesItsFreeze) {
    const OrderRow o = Placed(ann_, kGold, direction::Buy, 1, 1640);
    const OrderRow p = Placed(ann_, kGold, direction::Buy, 1, 1630);
    EXPECT_GT(accounts_->Block(ann_).frozenMargin, 0);
    EXPECT_FALSE(engine_->DeleteOrder(ann_, "1999999999", kGold));
    EXPECT_FALSE(engine_->DeleteOrder(ann_, "", kGold));
    EXPECT_FALSE(engine_->DeleteOrder(ann_, o.orderNumber, 2)) << "another instrument's";
    MarkOrder(p.orderNumber, 3);
    // The report page names no instrument (0): the number alone finds the order, but the
    // programmatic one stays.
    EXPECT_FALSE(engine_->DeleteOrder(ann_, p.orderNumber, 0));
    EXPECT_FALSE(engine_->DeleteOrder(ann_, p.orderNumber, kGold));
    hours_.SetOverride(kGold, MarketOverride::Closed);  // deleting costs nothing: allowed
    EXPECT_TRUE(engine_->DeleteOrder(ann_, o.orderNumber, 0));
    hours_.SetOverride(kGold, MarketOverride::Auto);
    EXPECT_FALSE(engine_->DeleteOrder(ann_, o.orderNumber, kGold)) << "cancelled already";
    const auto orders = Orders(ann_);
    EXPECT_EQ(orders[0].status, order_status::Cancelled);
    EXPECT_EQ(orders[0].doneTime, now_.load());
    EXPECT_EQ(orders[1].status, order_status::Waiting);
    EXPECT_DOUBLE_EQ(accounts_->Block(ann_).frozenMargin, p.frozenMargin);
    SetPrice(kGold, 1639.75);  // the cancelled order is out of the index too
    EXPECT_TRUE(Positions(ann_).empty());
}

// ---- Members kept apart ----

TEST_F(TradeChangeTest, AnotherMembersTicketOrOrderNumberIsRefusedLikeAMissingOne) {
    const PositionRow p = Opened(ann_, kGold, direction::Buy, 1, 1600);
    const OrderRow o = Placed(ann_, kGold, direction::Buy, 1, 1640);
    const AccountRow before = Account(ann_);
    std::string why, missingWhy;
    EXPECT_FALSE(engine_->ModifyStops(bob_, Stops(p.ticket, 1610, 0), &why));
    EXPECT_FALSE(engine_->ModifyStops(bob_, Stops("1999999999", 1610, 0), &missingWhy));
    EXPECT_EQ(why, missingWhy);
    EXPECT_EQ(engine_->Close(bob_, CloseOf(p, 1, 1649.75)), change_refusal::UnknownTrade);
    EXPECT_EQ(engine_->ModifyOrder(bob_, Change(o, 1, 1630)), modify_order_result::NotWaiting);
    EXPECT_FALSE(engine_->DeleteOrder(bob_, o.orderNumber, kGold));
    const auto positions = Positions(ann_);
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_DOUBLE_EQ(positions[0].stopLoss, 1600);
    EXPECT_DOUBLE_EQ(positions[0].heldQuantity, 1);
    const auto orders = Orders(ann_);
    EXPECT_EQ(orders[0].status, order_status::Waiting);
    EXPECT_DOUBLE_EQ(orders[0].price, 1640);
    EXPECT_DOUBLE_EQ(Account(ann_).balance, before.balance);
    EXPECT_TRUE(Positions(bob_).empty());
    EXPECT_TRUE(Fills(bob_).empty());
}

// ---- Programmatic trading ----

TEST_F(TradeChangeTest, ASignalPlacesAProgrammaticOrderForEveryMemberWhoseFlagIsOn) {
    ASSERT_TRUE(store_->SetProgramTrading(ann_, 1));
    const std::int64_t cat = test::AddTestMember(*store_, "cat");
    ASSERT_TRUE(store_->SetProgramTrading(cat, 1));
    ASSERT_TRUE(store_->WithDb([&](sqlite3* db) {
        return Exec(db, "UPDATE members SET state = 2 WHERE name = 'cat'");  // frozen
    }));
    // Support at 1640 with 0.5 lots and its stop-loss.
    const SignalRecord s = Signal(kGold, signal_side::Support, 1640, 0.5, 1630);
    engine_->FollowSignal(s);
    const auto orders = Orders(ann_);
    ASSERT_EQ(orders.size(), 1u);
    const OrderRow& o = orders[0];
    EXPECT_EQ(o.validity, order_validity::Programmatic);
    EXPECT_EQ(o.direction, direction::Buy);
    EXPECT_EQ(o.triggerKind, trigger::BuyAskFalls);
    EXPECT_DOUBLE_EQ(o.price, 1640);
    EXPECT_DOUBLE_EQ(o.stopLoss, 1630);
    EXPECT_DOUBLE_EQ(o.takeProfit, 0);
    EXPECT_DOUBLE_EQ(o.quantity, 0.5);
    EXPECT_GT(o.frozenMargin, 0);
    EXPECT_TRUE(Orders(bob_).empty()) << "flag off";
    EXPECT_TRUE(Orders(cat).empty()) << "a frozen member does not trade";

    // A republication (same identity, new time) changes nothing.
    SignalRecord again = s;
    again.published += 60;
    engine_->FollowSignal(again);
    EXPECT_EQ(Orders(ann_).size(), 1u);

    // A manual change of it is refused; its fill opens a programmatic position with the stop.
    EXPECT_EQ(engine_->ModifyOrder(ann_, Change(o, 0.5, 1635, 0, 0, 2)),
              change_refusal::Programmatic);
    SetPrice(kGold, 1639.75);  // ask 1640
    const auto positions = Positions(ann_);
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_EQ(positions[0].programmatic, 1);
    EXPECT_DOUBLE_EQ(positions[0].stopLoss, 1630);
    EXPECT_FALSE(engine_->ModifyStops(ann_, Stops(positions[0].ticket, 1620, 0)));

    // A resistance places a sell, lots rounded to the instrument's step and kept within its
    // limits; 天通银 trades whole lots.
    engine_->FollowSignal(Signal(kSilver, signal_side::Resistance, 6300, 1.6, 6350));
    const OrderRow sell = Orders(ann_).back();
    EXPECT_EQ(sell.direction, direction::Sell);
    EXPECT_EQ(sell.triggerKind, trigger::SellBidRises);
    EXPECT_DOUBLE_EQ(sell.quantity, 2);
    engine_->FollowSignal(Signal(kSilver, signal_side::Resistance, 6400, 0.3, 6450, 2));
    EXPECT_DOUBLE_EQ(Orders(ann_).back().quantity, 1) << "at least the minimum lots";
}

TEST_F(TradeChangeTest, AWithdrawalCancelsItsWaitingOrdersAndTheFlagOffCancelsEveryOne) {
    ASSERT_TRUE(store_->SetProgramTrading(ann_, 1));
    ASSERT_TRUE(store_->SetProgramTrading(bob_, 1));
    const SignalRecord a = Signal(kGold, signal_side::Support, 1640, 1, 1630, 1);
    const SignalRecord b = Signal(kGold, signal_side::Resistance, 1660, 1, 1670, 2);
    engine_->FollowSignal(a);
    engine_->FollowSignal(b);
    ASSERT_EQ(WaitingOf(Orders(ann_)).size(), 2u);
    ASSERT_EQ(WaitingOf(Orders(bob_)).size(), 2u);
    // The supports fill: the withdrawal of the resistance leaves the positions.
    SetPrice(kGold, 1639.75);
    ASSERT_EQ(Positions(ann_).size(), 1u);
    ASSERT_EQ(Positions(bob_).size(), 1u);
    SetPrice(kGold, 1650.00);
    engine_->FollowSignal(Withdrawn(b));
    EXPECT_TRUE(WaitingOf(Orders(ann_)).empty());
    EXPECT_TRUE(WaitingOf(Orders(bob_)).empty());
    EXPECT_EQ(Orders(ann_).back().status, order_status::Cancelled);
    EXPECT_EQ(Positions(bob_).size(), 1u) << "positions stay with their stops";
    EXPECT_DOUBLE_EQ(accounts_->Block(ann_).frozenMargin, 0);
    engine_->FollowSignal(Withdrawn(a));  // its order filled already: nothing to do
    EXPECT_EQ(Positions(ann_).size(), 1u);

    // The same identity published again after its withdrawal is a new signal.
    engine_->FollowSignal(b);
    ASSERT_EQ(WaitingOf(Orders(bob_)).size(), 1u);
    const OrderRow manual = Placed(bob_, kGold, direction::Buy, 1, 1600);
    EXPECT_EQ(engine_->CancelProgrammatic(bob_), 1);
    const auto left = WaitingOf(Orders(bob_));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].orderNumber, manual.orderNumber) << "the member's own orders stay";
    EXPECT_EQ(WaitingOf(Orders(ann_)).size(), 1u) << "only bob's flag went off";
}

TEST_F(TradeChangeTest, ASignalIsSkippedWhereNoOrderCouldBePlaced) {
    ASSERT_TRUE(store_->SetProgramTrading(ann_, 1));
    // Within the pending distance of the ask 1650.25; a stop-loss within the stop distance.
    engine_->FollowSignal(Signal(kGold, signal_side::Support, 1649, 1, 1630));
    engine_->FollowSignal(Signal(kGold, signal_side::Support, 1640, 1, 1639, 2));
    // Beyond the member's funds (100,000: 10 lots of gold hold 102,500).
    engine_->FollowSignal(Signal(kGold, signal_side::Support, 1640, 10, 1630, 3));
    // Not tradable, and a closed market.
    engine_->FollowSignal(Signal(25, signal_side::Support, 1500, 1, 1490));
    hours_.SetOverride(kSilver, MarketOverride::Closed);
    engine_->FollowSignal(Signal(kSilver, signal_side::Support, 6100, 1, 6050));
    EXPECT_TRUE(Orders(ann_).empty());
}

TEST_F(TradeChangeTest, TheSettingsKeepFlagAndRiskLimitsTogetherPerMember) {
    const auto fresh = LoadProgramSettings(*store_, ann_);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->enabled, 0);
    EXPECT_EQ(fresh->riskLimit1, kDefaultRiskLimit) << "never saved";
    ProgramSettings on;
    on.enabled = 1;
    on.riskLimit1 = 25;
    on.riskLimit2 = 40;
    ASSERT_TRUE(SaveProgramSettings(*store_, ann_, on));
    const auto saved = LoadProgramSettings(*store_, ann_);
    EXPECT_EQ(saved->enabled, 1);
    EXPECT_EQ(saved->riskLimit1, 25);
    EXPECT_EQ(saved->riskLimit2, 40);
    EXPECT_EQ(store_->FindMember("ann")->programTrading, 1) << "what the login reply carries";
    EXPECT_EQ(LoadProgramSettings(*store_, bob_)->enabled, 0);
    // An unknown member stores nothing, not even the limits.
    EXPECT_FALSE(SaveProgramSettings(*store_, 999999, on));
    EXPECT_FALSE(LoadProgramSettings(*store_, 999999));
    EXPECT_EQ(store_->WithDb([](sqlite3* db) {
        Statement st(db, "SELECT COUNT(*) FROM program_trading");
        return st.Step() ? st.Int(0) : -1;
    }),
              1);
}

TEST_F(TradeChangeTest, AStartCancelsProgrammaticOrdersWhoseSignalsEndedWithTheLastRun) {
    ASSERT_TRUE(store_->SetProgramTrading(ann_, 1));
    engine_->FollowSignal(Signal(kGold, signal_side::Support, 1640, 1, 1630));
    const OrderRow manual = Placed(ann_, kGold, direction::Buy, 1, 1620);
    StartEngine();
    const auto waiting = WaitingOf(Orders(ann_));
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].orderNumber, manual.orderNumber);
    EXPECT_EQ(engine_->Indexed().orders, 1u);
}

}  // namespace
}  // namespace zq::server
