// The trading rules as the client and the stand-in server apply them, side by side. The same
// order goes through the client's dialog checks and the server's execution; the same price goes
// through the client's quote update and the server's triggers; the same account is judged by
// the available margin the client shows and by the server's margin check. The two halves must
// agree: accepted or refused with the same code, triggered or not on the same price.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <variant>

#include "server/trading/account_records.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "trading/order_entry.h"
#include "trading/trade_changes.h"
#include "trading/wire/rules.h"

namespace zq {
namespace {

using server::FindRules;
using server::InstrumentRules;
using server::order_refusal::BadLots;

constexpr std::int32_t kGold = 1;

// The code the server would answer for what the client's check decided: 1 for a request sent.
std::int32_t ClientCode(const OrderCheck& check) {
    if (std::holds_alternative<OpenOrderRequest>(check)) return order_result::Done;
    const std::string& text = std::get<std::string>(check);
    if (text == kBadLotsText || text.starts_with("交易手数必须是")) return BadLots;
    if (text.starts_with("止损或盈利必须远离建仓价")) return order_result::StopsTooClose;
    if (text.starts_with("挂单价必须小于")) return order_result::PendingTooClose;
    ADD_FAILURE() << "unexpected refusal " << text;
    return -1;
}

std::string Text(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The tradable instruments, and one of them for each number of price decimals.
std::vector<std::int32_t> Tradable() {
    std::vector<std::int32_t> ids;
    for (const InstrumentRules& r : server::Catalogue())
        if (r.tradable) ids.push_back(r.id);
    return ids;
}
std::vector<std::int32_t> OnePerDecimals() {
    std::map<int, std::int32_t> byDecimals;
    for (std::int32_t id : Tradable()) byDecimals.emplace(FindRules(id)->decimals, id);
    std::vector<std::int32_t> ids;
    for (const auto& [decimals, id] : byDecimals) ids.push_back(id);
    return ids;
}

class RulesAgreementTest : public test::EngineFixture {
  protected:
    RulesAgreementTest() : EngineFixture("zq-rules-test") {}
    void SetUp() override {
        EngineFixture::SetUp();
        member_ = AddMember("amy");
        SetBalance(member_, 1e10);
        ui_.SetLive(view_);
        model_.SetMainView(view_);
        model_.SetDebugSink([](std::string_view) {});
    }

    // The client's record of an instrument at the server's current price.
    InstrumentRecord Shown(std::int32_t id) const { return market_.QuotedRecord(id); }
    double Point(std::int32_t id) const { return std::pow(10.0, -FindRules(id)->decimals); }

    // Clears the member's trades, so that each case meets the whole position limit.
    void ClearTrades() {
        ASSERT_TRUE(store_->WithDb([](sqlite3* db) {
            return server::Exec(db, "DELETE FROM positions") &&
                   server::Exec(db, "DELETE FROM orders");
        }));
        engine_->Reload(member_);
    }

    // One order through both halves: the client's check of the form, and the server's answer to
    // the request the client sends (or would send, for a refusal: the same figures in the
    // request's single-precision fields).
    void ExpectAgreement(std::int32_t id, bool pending, const OrderForm& form,
                         const std::string& what) {
        const InstrumentRecord r = Shown(id);
        const OrderCheck check = pending ? CheckPendingOrder(r, form) : CheckMarketOrder(r, form);
        OpenOrderRequest q = pending ? test::PendingRequest(id, form.direction, form.lots, 0)
                                     : test::MarketRequest(id, form.direction, form.lots, 0);
        q.price = ReadNumber(form.price).ToFloat();
        q.stopLoss = ReadNumber(form.stopLoss).ToFloat();
        q.takeProfit = ReadNumber(form.takeProfit).ToFloat();
        if (const auto* sent = std::get_if<OpenOrderRequest>(&check)) q = *sent;
        ClearTrades();
        EXPECT_EQ(ClientCode(check), engine_->Open(member_, q))
            << FindRules(id)->name << " " << what;
    }

    // Whether the client's quote update at `close` asks for a reload, with `positions` and
    // `orders` as the server stores them.
    bool ClientTriggers(std::int32_t id, std::int32_t close) {
        model_.SetInstruments({Shown(id)});
        std::vector<PositionRecord> positions = accounts_->Positions(member_, {});
        for (PositionRecord& p : positions) p.watched = 1;
        model_.SetPositions(std::move(positions));
        model_.SetOrders(accounts_->Orders(member_, {}));
        model_.SetAccount({});
        accountServer_.ClearLog();
        model_.QuoteUpdate(test::Quote(id, close, FindRules(id)->decimals).Record());
        return !accountServer_.Connections().empty();
    }

    test::FakeUi ui_;
    test::AccountServer accountServer_;
    TradingModel model_;
    WindowHandle view_ = reinterpret_cast<WindowHandle>(0x51);
};

TEST_F(RulesAgreementTest, OrdersAreAcceptedOrRefusedAlikeOnEveryInstrument) {
    for (std::int32_t id : Tradable()) {
        const InstrumentRecord r = Shown(id);
        const int d = r.decimals;
        const double point = Point(id), unit = std::pow(10.0, -r.lotDecimals);
        const double ask = PriceAt(r.ask, d).ToDouble();
        const double stop = r.stopDistance, band = r.pendingDistance;
        OrderForm form;
        form.instrumentSelected = true;
        form.price = Text(ask, d);
        // Lots that single precision cannot hold, and one unit either side of each bound.
        for (double lots : {0.1, 0.3, 0.7, 1.1, double{r.minLots}, r.minLots - unit,
                            static_cast<double>(r.maxLots), r.maxLots + unit}) {
            form.lots = ReadFloat(Text(lots, 2));
            ExpectAgreement(id, false, form, "lots " + Text(lots, 2));
        }
        form.lots = r.minLots;
        // Stops on, and one point either side of, the stop distance from the shown ask.
        for (int k : {-1, 0, 1}) {
            form.stopLoss = Text(ask - stop + k * point, d);
            ExpectAgreement(id, false, form, "stop-loss " + form.stopLoss);
            form.stopLoss.clear();
            form.takeProfit = Text(ask + stop + k * point, d);
            ExpectAgreement(id, false, form, "take-profit " + form.takeProfit);
            form.takeProfit.clear();
        }
        // A pending buy on, and one point either side of, both edges of the band.
        for (int k : {-1, 0, 1}) {
            form.price = Text(ask - band + k * point, d);
            ExpectAgreement(id, true, form, "pending at " + form.price);
            form.price = Text(ask + band + k * point, d);
            ExpectAgreement(id, true, form, "pending at " + form.price);
        }
    }
}

TEST_F(RulesAgreementTest, AWaitingOrderOfLotsThatFloatCannotHoldCanBeChanged) {
    for (std::int32_t id : Tradable()) {
        const InstrumentRecord r = Shown(id);
        const double lotStep = r.lotStep / std::pow(10.0, r.lotDecimals);
        for (double lots : {0.1, 0.3, 0.7, 1.1}) {
            if (lots < r.minLots ||
                std::fmod(std::round(lots * 100), std::round(lotStep * 100)) != 0)
                continue;
            ClearTrades();
            const double price = PriceAt(r.ask - r.pendingDistance * 2, r.decimals).ToDouble();
            const server::OrderRow o =
                Placed(member_, id, direction::Buy, static_cast<float>(lots), price);
            const PendingOrderRecord record = server::MakeOrderRecord(o);
            // The dialog reads what it shows, exactly, and changes only the price.
            OrderChange c;
            c.lots = ReadNumber(QuantityDisplay(r, record.quantity)).ToDouble();
            c.price = PriceAt(price - r.pendingDistance, r.decimals);
            const OrderBounds b = PendingOrderBounds(r, direction::Buy, c.price.ToDouble());
            c.lowerEdge = ReadNumber(PriceDisplay(r, b.lowerEdge));
            c.upperEdge = ReadNumber(PriceDisplay(r, b.upperEdge));
            c.stopBound = ReadNumber(PriceDisplay(r, b.stopLoss));
            c.takeBound = ReadNumber(PriceDisplay(r, b.takeProfit));
            const OrderChangeCheck check = CheckOrderChange(r, record, c);
            ASSERT_TRUE(std::holds_alternative<PendingOrderRecord>(check))
                << r.name << " " << lots << ": " << std::get<std::string>(check);
            EXPECT_EQ(engine_->ModifyOrder(member_, std::get<PendingOrderRecord>(check)),
                      modify_order_result::Done)
                << r.name << " " << lots;
            // A client that still widens a float is read as the float it was.
            PendingOrderRecord widened = std::get<PendingOrderRecord>(check);
            widened.quantity = static_cast<float>(lots);
            widened.price = PriceAt(price - 2 * r.pendingDistance, r.decimals).ToDouble();
            EXPECT_EQ(engine_->ModifyOrder(member_, widened), modify_order_result::Done)
                << r.name << " " << lots << " widened";
        }
    }
}

// Stops and pending orders at the level the screen shows, and one point either side of it: the
// client asks for a reload exactly when the server trades. On gold every cent of a dollar; on
// one instrument of each price precision the level and its neighbours.
TEST_F(RulesAgreementTest, TriggersFireOnTheSamePriceAsShown) {
    struct Case {
        std::int32_t id;
        std::int32_t close;  // the market close of the triggering price
        int offset;          // the level, in points from the shown bid or ask
    };
    std::vector<Case> cases;
    for (std::int32_t c = 165500; c < 165600; ++c) cases.push_back({kGold, c, 0});
    for (std::int32_t id : OnePerDecimals()) {
        const std::int32_t close = server::ToScaled(*FindRules(id), FindRules(id)->openingPrice);
        for (int k : {-1, 0, 1}) cases.push_back({id, close, k});
    }
    for (const Case& c : cases) {
        const InstrumentRules& rules = *FindRules(c.id);
        const InstrumentRecord at = server::MakeInstrumentRecord(rules, c.close);
        const double point = Point(c.id);
        const double bid = PriceAt(at.bid, rules.decimals).ToDouble() + c.offset * point;
        const double ask = PriceAt(at.ask, rules.decimals).ToDouble() + c.offset * point;
        // Far from the level, then the level's price.
        const auto far = static_cast<std::int32_t>(
            std::llround((rules.stopDistance + rules.pendingDistance) * 4 / point));
        for (int kind = 0; kind < 3; ++kind) {
            ClearTrades();
            market_.SetPrice(c.id, kind == 1 ? c.close + far : c.close - far);
            if (kind == 0) {  // a buy whose take-profit is the shown bid
                Opened(member_, c.id, direction::Buy, rules.minLots, 0, static_cast<float>(bid));
            } else if (kind == 1) {  // a buy whose stop-loss is the shown bid
                Opened(member_, c.id, direction::Buy, rules.minLots, static_cast<float>(bid), 0);
            } else {  // a buy limit at the shown ask
                Placed(member_, c.id, direction::Buy, rules.minLots, ask);
            }
            ASSERT_FALSE(Positions().empty() && Orders().empty()) << rules.name;
            const bool client = ClientTriggers(c.id, c.close);
            market_.SetPrice(c.id, c.close);
            const bool server =
                kind == 2 ? Orders().front().status != order_status::Waiting : Positions().empty();
            // The take-profit and the limit fire at or below the price reached, the stop-loss
            // at or above it.
            const bool due = kind == 1 ? c.offset >= 0 : c.offset <= 0;
            const std::string what = std::string(rules.name) + " close " + std::to_string(c.close) +
                                     " offset " + std::to_string(c.offset) + " kind " +
                                     std::to_string(kind);
            EXPECT_EQ(server, due) << what;
            EXPECT_EQ(client, server) << what;
        }
    }
}

// A buy limit that fills below its own stop-loss: the position meets its stop at the price that
// filled it, not at the next one.
TEST_F(RulesAgreementTest, APositionOpenedByAFillMeetsItsStopsAtThatPrice) {
    SetPrice(kGold, 1650.00);  // ask 1650.25
    ASSERT_EQ(engine_->Open(member_, test::PendingRequest(kGold, direction::Buy, 1, 1640, 1630)),
              order_result::Done);
    SetPrice(kGold, 1630.00);  // ask 1630.25 fills the limit; bid 1629.75 is past 1630
    EXPECT_TRUE(Positions().empty());
    const auto fills = Fills();
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[1].reason, server::fill_reason::StopLoss);
    EXPECT_DOUBLE_EQ(fills[1].price, 1629.75);
}

// The margin an order needs against the available margin the client shows for the account:
// free funds with the floating profit/loss. While that is negative nothing more opens.
TEST_F(RulesAgreementTest, TheServerOpensOnlyWhatTheAvailableMarginTheClientShowsCovers) {
    SetBalance(member_, 100000);
    SetPrice(kGold, 1650.00);
    Opened(member_, kGold, direction::Buy, 7);
    const InstrumentRules& gold = *FindRules(kGold);
    for (double price : {1650.0, 1645.0, 1640.0, 1600.0}) {
        SetPrice(kGold, price);
        for (float lots : {0.5f, 1.0f, 3.0f}) {
            std::vector<InstrumentRecord> shown;
            for (const InstrumentRules& r : server::Catalogue()) shown.push_back(Shown(r.id));
            model_.SetInstruments(shown);
            model_.SetPositions(accounts_->Positions(member_, {}));
            model_.SetAccount(accounts_->Block(member_));
            model_.RecomputeAccount();
            const double available = model_.Account().availableMargin;
            const InstrumentRecord r = Shown(kGold);
            const double ask = PriceAt(r.ask, 2).ToDouble();
            const double needs = MarginFor(gold, ask, lots) + SideFee(gold, ask, lots);
            const std::int32_t code =
                engine_->Open(member_, test::MarketRequest(kGold, direction::Buy, lots, r.ask));
            EXPECT_EQ(code, available >= needs ? order_result::Done : order_result::NoMargin)
                << "at " << price << ", " << lots << " lots, available " << available;
            if (code != order_result::Done) continue;
            // Back to the seven lots for the next case.
            const std::string ticket = Positions().back().ticket;
            ASSERT_EQ(engine_->Close(
                          member_, test::CloseRequest(kGold, direction::Buy, ticket, lots, r.bid)),
                      close_result::Done);
        }
    }
    // The account the review found: once the market has taken the margin, nothing opens.
    SetPrice(kGold, 1560.00);
    EXPECT_EQ(
        engine_->Open(member_, test::MarketRequest(kGold, direction::Buy, 0.5f, Shown(kGold).ask)),
        order_result::NoMargin);
}

}  // namespace
}  // namespace zq
