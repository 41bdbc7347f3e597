// Changes to what is already traded, without windows: the stop bounds and their edges, the
// close request's bytes, the checks of a changed pending order, the answer texts, the margin
// rule of programmatic trading, and each request against a scripted server (success with its
// reloads on the same connection; refusals, silence and an unreachable server leaving the model
// as it was).
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <variant>

#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/trading_fixtures.h"
#include "trading/order_entry.h"
#include "trading/trade_changes.h"

namespace zq {
namespace {

using test::AccountServer;
using test::FakeUi;
using test::Int32Bytes;
using test::MakeOrder;
using test::MakePosition;

// 伦敦金 at ask 1765.30 / bid 1765.00, stops and pending prices at least 0.5 away, 0.01 to 50
// lots in hundredths.
InstrumentRecord Gold() {
    InstrumentRecord r = test::MakeInstrument(1, 2, 6.25f, 0.25f, 0.05f);
    r.minLots = 0.01f;
    r.maxLots = 50;
    r.lotDecimals = 2;
    r.lotStep = 1;
    r.last = 1765.05f;
    r.ask = 1765.30f;
    r.bid = 1765.00f;
    r.pendingDistance = 0.5f;
    r.stopDistance = 0.5f;
    r.tradable = 1;
    return r;
}

Decimal N(const char* text) {
    return ReadNumber(text);
}

std::string Bytes(const void* p, std::size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

TEST(PositionStops, BoundsFollowTheSideAndTheEdgeIsAccepted) {
    const InstrumentRecord r = Gold();
    const StopBounds buy = PositionStopBounds(r, direction::Buy);
    EXPECT_EQ(PriceDisplay(r, buy.stopLoss), "1764.80");
    EXPECT_EQ(PriceDisplay(r, buy.takeProfit), "1765.80");
    const StopBounds sell = PositionStopBounds(r, direction::Sell);
    EXPECT_EQ(PriceDisplay(r, sell.stopLoss), "1765.50");
    EXPECT_EQ(PriceDisplay(r, sell.takeProfit), "1764.50");
    // A buy closes at the bid, a sell at the ask.
    EXPECT_FLOAT_EQ(static_cast<float>(ClosingPrice(r, direction::Buy)), 1765.00f);
    EXPECT_FLOAT_EQ(static_cast<float>(ClosingPrice(r, direction::Sell)), 1765.30f);

    const std::optional<std::string> refused(kInvalidStopsText);
    const Decimal none;
    // Buy: bounds 1764.80 / 1765.80 as displayed.
    const auto buyCheck = [&](const char* s, const char* t) {
        return StopsBeyondBounds(direction::Buy, N(s), N(t), N("1764.80"), N("1765.80"));
    };
    EXPECT_EQ(buyCheck("1764.80", "1765.80"), std::nullopt);
    EXPECT_EQ(buyCheck("1765.00", ""), refused);
    EXPECT_EQ(buyCheck("1764.81", ""), refused);
    EXPECT_EQ(buyCheck("", "1765.79"), refused);
    EXPECT_EQ(buyCheck("1700", "1900"), std::nullopt);
    // Cleared inputs are no stops: nothing refused.
    EXPECT_EQ(buyCheck("", ""), std::nullopt);
    // Sell: bounds 1765.50 / 1764.50.
    const auto sellCheck = [&](const char* s, const char* t) {
        return StopsBeyondBounds(direction::Sell, N(s), N(t), N("1765.50"), N("1764.50"));
    };
    EXPECT_EQ(sellCheck("1765.50", "1764.50"), std::nullopt);
    EXPECT_EQ(sellCheck("1765.49", ""), refused);
    EXPECT_EQ(sellCheck("", "1764.51"), refused);
    EXPECT_EQ(sellCheck("", ""), std::nullopt);
    EXPECT_EQ(StopsBeyondBounds(direction::Sell, none, none, none, none), std::nullopt);
}

TEST(PositionClose, RequestCarriesItsFieldsAtTheirOffsetsAndZerosElsewhere) {
    PositionRecord p = MakePosition(14, direction::Buy, 1.3150, 2.0, 1.33, 1.2, 1,
                                    "12345678901234567890");  // a ticket of the full 20 characters
    std::snprintf(p.instrumentName, sizeof p.instrumentName, "EURUSD");
    p.fee1 = 5;
    p.programmatic = 0;
    const PendingOrderRecord q = CloseRequest(p, 0.5, 1.3141, 0.0002);
    unsigned char b[sizeof q];
    std::memcpy(b, &q, sizeof q);

    std::int32_t i32 = 0;
    double f64 = 0;
    std::memcpy(&i32, b + 24, 4);
    EXPECT_EQ(i32, 14);
    std::memcpy(&i32, b + 72, 4);
    EXPECT_EQ(i32, direction::Sell);  // a buy position closes with a sell
    std::memcpy(&f64, b + 80, 8);
    EXPECT_DOUBLE_EQ(f64, 0.5);
    std::memcpy(&f64, b + 88, 8);
    EXPECT_DOUBLE_EQ(f64, 1.3141);
    std::memcpy(&f64, b + 96, 8);
    EXPECT_DOUBLE_EQ(f64, 0.0002);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 152)), "12345678901234567890");
    std::memcpy(&i32, b + 176, 4);
    EXPECT_EQ(i32, 0);
    // Every other byte is zero: nothing of the position (name, stops, fees) travels along.
    for (std::size_t at = 0; at < sizeof b; ++at) {
        const bool field = (at >= 24 && at < 28) || (at >= 72 && at < 76) ||
                           (at >= 80 && at < 104) || (at >= 152 && at < 172);
        if (!field) {
            EXPECT_EQ(b[at], 0) << "offset " << at;
        }
    }

    // A sell position closes with a buy; a negative deviation goes as typed.
    p.direction = direction::Sell;
    const PendingOrderRecord s = CloseRequest(p, 2.0, 1.3144, -0.5);
    EXPECT_EQ(s.direction, direction::Buy);
    EXPECT_DOUBLE_EQ(s.stopLoss, -0.5);
    EXPECT_DOUBLE_EQ(CloseRequest(p, 2.0, 1.3144, 0).stopLoss, 0.0);
}

TEST(AnswerTexts, EveryCodeOfCloseAndOfOrderChange) {
    EXPECT_EQ(CloseResultText(2), "价格已经变动，请重新下单");
    EXPECT_EQ(CloseResultText(3), "保证金不足");
    EXPECT_EQ(CloseResultText(4), "无效价格");
    EXPECT_EQ(CloseResultText(5), "止损或盈利无效");
    EXPECT_EQ(CloseResultText(6), "闭市中，禁止交易");
    for (std::int32_t other : {0, 7, 9, 10, -1, 1000})
        EXPECT_EQ(CloseResultText(other), "未知错误") << other;

    EXPECT_EQ(ModifyOrderResultText(2), "价格已经变动，请重新下单");
    EXPECT_EQ(ModifyOrderResultText(3), "保证金不足");
    EXPECT_EQ(ModifyOrderResultText(4), "无效价格");
    EXPECT_EQ(ModifyOrderResultText(5), "止损或盈利无效");
    EXPECT_EQ(ModifyOrderResultText(6), "无效价格");  // not the closed-market text
    for (std::int32_t other : {0, 7, 8, 9, 10, -1})
        EXPECT_EQ(ModifyOrderResultText(other), "未知错误") << other;

    EXPECT_EQ(DirectionText(direction::Buy), "买");
    EXPECT_EQ(DirectionText(direction::Sell), "卖");
    EXPECT_EQ(DirectionText(0), "卖");
    EXPECT_EQ(QuantityDisplay(Gold(), 0.3), "0.30");
}

// A buy order of 0.50 lots at 1760.00 with stops, changed through the dialog's readings.
struct OrderChangeTest : ::testing::Test {
    InstrumentRecord r = Gold();
    PendingOrderRecord order = [] {
        PendingOrderRecord o = MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1760.00);
        std::snprintf(o.instrumentName, sizeof o.instrumentName, "伦敦金");
        o.quantity = 0.5;
        o.stopLoss = 1750;
        o.takeProfit = 1780;
        o.validity = order_validity::Today;
        std::snprintf(o.relatedPosition, sizeof o.relatedPosition, "R7");
        std::snprintf(o.orderTime, sizeof o.orderTime, "2026-12-08 10:00:00");
        return o;
    }();

    // The readings of the dialog as opened on `order`.
    OrderChange Opened() const {
        const OrderBounds b = PendingOrderBounds(r, order.direction, order.price);
        OrderChange c;
        c.lots = 0.5f;
        c.price = N("1760.00");
        c.stopLoss = N("1750.00");
        c.takeProfit = N("1780.00");
        c.lowerEdge = N(PriceDisplay(r, b.lowerEdge).c_str());
        c.upperEdge = N(PriceDisplay(r, b.upperEdge).c_str());
        c.stopBound = N(PriceDisplay(r, b.stopLoss).c_str());
        c.takeBound = N(PriceDisplay(r, b.takeProfit).c_str());
        c.validityIndex = 0;
        return c;
    }
    std::string Refusal(const OrderChange& c) const {
        const OrderChangeCheck check = CheckOrderChange(r, order, c);
        const auto* text = std::get_if<std::string>(&check);
        return text ? *text : std::string("<request>");
    }
};

TEST_F(OrderChangeTest, BoundsOfBothSides) {
    const OrderBounds buy = PendingOrderBounds(r, direction::Buy, 1760.00);
    EXPECT_EQ(PriceDisplay(r, buy.lowerEdge), "1764.80");
    EXPECT_EQ(PriceDisplay(r, buy.upperEdge), "1765.80");
    EXPECT_EQ(PriceDisplay(r, buy.stopLoss), "1759.50");
    EXPECT_EQ(PriceDisplay(r, buy.takeProfit), "1760.50");
    const OrderBounds sell = PendingOrderBounds(r, direction::Sell, 1770.00);
    EXPECT_EQ(PriceDisplay(r, sell.lowerEdge), "1764.50");
    EXPECT_EQ(PriceDisplay(r, sell.upperEdge), "1765.50");
    EXPECT_EQ(PriceDisplay(r, sell.stopLoss), "1770.50");
    EXPECT_EQ(PriceDisplay(r, sell.takeProfit), "1769.50");
}

TEST_F(OrderChangeTest, ChecksRunInTheirOrderWithTheEdgesAccepted) {
    // Lots first, even with a price inside the band and stops beyond their bounds.
    OrderChange c = Opened();
    c.price = N("1765.00");
    c.stopLoss = N("1800");
    c.lots = 60;
    EXPECT_EQ(Refusal(c), "交易手数不合法，请修改后重试");
    c.lots = 0.005f;
    EXPECT_EQ(Refusal(c), "交易手数不合法，请修改后重试");
    c.lots = 0.015f;
    EXPECT_EQ(Refusal(c), "交易手数必须是0.01的倍数");
    c.lots = 50;
    // Then the price (with the stop-loss still beyond its bound): inside the band refused.
    for (const char* inside : {"1765.00", "1764.81", "1765.79"}) {
        c.price = N(inside);
        EXPECT_EQ(Refusal(c), "价格错误") << inside;
    }
    // The band's edges are accepted.
    c.stopLoss = N("");
    for (const char* edge : {"1764.80", "1765.80"}) {
        c.price = N(edge);
        EXPECT_EQ(Refusal(c), "<request>") << edge;
    }
    // A price of 0, or a band edge that reads 0 (no quote yet), is an error before the band.
    c.price = N("");
    EXPECT_EQ(Refusal(c), "价格错误");
    c = Opened();
    c.lowerEdge = N("0.00");
    EXPECT_EQ(Refusal(c), "价格错误");
    c = Opened();
    c.upperEdge = N("");
    EXPECT_EQ(Refusal(c), "价格错误");
    // Then the stops against the displayed bounds (1759.50 / 1760.50), edges accepted.
    c = Opened();
    c.stopLoss = N("1759.51");
    EXPECT_EQ(Refusal(c), "止损或盈利无效");
    c.stopLoss = N("1759.50");
    c.takeProfit = N("1760.49");
    EXPECT_EQ(Refusal(c), "止损或盈利无效");
    c.takeProfit = N("1760.50");
    EXPECT_EQ(Refusal(c), "<request>");
    c.stopLoss = N("");
    c.takeProfit = N("");
    EXPECT_EQ(Refusal(c), "<request>");
}

TEST_F(OrderChangeTest, ASellOrderIsMeasuredFromTheBid) {
    order.direction = direction::Sell;
    order.price = 1770.00;
    order.stopLoss = 1780;
    order.takeProfit = 1760;
    OrderChange c = Opened();
    c.price = N("1770.00");
    c.stopLoss = N("1780");
    c.takeProfit = N("1760");
    EXPECT_EQ(Refusal(c), "<request>");
    c.price = N("1765.50");  // the upper edge B + G
    EXPECT_EQ(Refusal(c), "<request>");
    c.price = N("1765.30");
    EXPECT_EQ(Refusal(c), "价格错误");
    c = Opened();
    c.price = N("1770.00");
    c.stopLoss = N("1770.49");  // below the bound 1770.50
    EXPECT_EQ(Refusal(c), "止损或盈利无效");
    c.stopLoss = N("");
    c.takeProfit = N("1769.51");  // above the bound 1769.50
    EXPECT_EQ(Refusal(c), "止损或盈利无效");
}

TEST_F(OrderChangeTest, AValidityOnlyChangeSendsTheOrderBackWithItsOwnTerms) {
    OrderChange c = Opened();
    c.validityIndex = 1;
    const OrderChangeCheck check = CheckOrderChange(r, order, c);
    ASSERT_TRUE(std::holds_alternative<PendingOrderRecord>(check));
    const PendingOrderRecord q = std::get<PendingOrderRecord>(check);
    PendingOrderRecord expected = order;
    expected.validity = order_validity::ThisWeek;
    EXPECT_EQ(Bytes(&q, sizeof q), Bytes(&expected, sizeof expected));

    // New terms go at their offsets; the number, instrument, kind, related position and time
    // stay.
    c.validityIndex = 0;
    c.lots = 1.25f;
    c.price = N("1764.80");
    c.stopLoss = N("");
    c.takeProfit = N("1770.10");
    const PendingOrderRecord changed = std::get<PendingOrderRecord>(CheckOrderChange(r, order, c));
    EXPECT_DOUBLE_EQ(changed.quantity, 1.25);
    EXPECT_DOUBLE_EQ(changed.price, 1764.80);
    EXPECT_DOUBLE_EQ(changed.stopLoss, 0.0);
    EXPECT_DOUBLE_EQ(changed.takeProfit, 1770.10);
    EXPECT_EQ(changed.validity, order_validity::Today);
    EXPECT_STREQ(changed.orderNumber, "D1");
    EXPECT_STREQ(changed.relatedPosition, "R7");
    EXPECT_STREQ(changed.orderTime, "2026-12-08 10:00:00");
    EXPECT_EQ(changed.triggerKind, trigger::BuyAskFalls);
    EXPECT_EQ(changed.status, order_status::Waiting);
}

TEST(DeleteRequestBytes, TheChartSendsTheRecordAndTheReportPageTheNumberAlone) {
    PendingOrderRecord order =
        MakeOrder(1, direction::Buy, 1, 1630, order_status::Waiting, "1000000017");
    const auto chart = DeleteRequest(order, DeletePayload::RecordBytes);
    EXPECT_EQ(std::memcmp(chart.data(), &order, chart.size()), 0);
    const auto page = DeleteRequest(order, DeletePayload::NumberOnly);
    EXPECT_EQ(std::string(page.data(), page.size()),
              std::string("1000000017") + std::string(20, '\0'));

    // A GBK number goes out as the same bytes, zero-padded.
    std::memset(order.orderNumber, 0, sizeof order.orderNumber);
    const std::string gbk = ToAnsi("订单订单订单订单订单");  // 20 bytes
    std::memcpy(order.orderNumber, gbk.data(), gbk.size());
    const auto text = DeleteRequest(order, DeletePayload::NumberOnly);
    EXPECT_EQ(std::string(text.data(), text.size()), gbk + std::string(10, '\0'));
}

TEST(ProgramTradingMargin, EachClassHasItsMinimumAndTheEdgeIsEnough) {
    EXPECT_EQ(ProgramTradingMarginRefusal(8, 299999.99),
              std::optional<std::string>("钻卡会员要求可用保证金不低于30万"));
    EXPECT_EQ(ProgramTradingMarginRefusal(8, 300000), std::nullopt);
    EXPECT_EQ(ProgramTradingMarginRefusal(2, 199999.99),
              std::optional<std::string>("银卡会员要求可用保证金不低于20万"));
    EXPECT_EQ(ProgramTradingMarginRefusal(2, 200000), std::nullopt);
    EXPECT_EQ(ProgramTradingMarginRefusal(4, 99999.99),
              std::optional<std::string>("金卡会员要求可用保证金不低于10万"));
    EXPECT_EQ(ProgramTradingMarginRefusal(4, 100000), std::nullopt);
    // A silver member's 250000 is not enough for a diamond member.
    EXPECT_NE(ProgramTradingMarginRefusal(8, 250000), std::nullopt);
    // "普通会员" and unknown classes have no minimum, whatever the margin.
    for (std::int32_t cls : {1, 0, 3, 16})
        EXPECT_EQ(ProgramTradingMarginRefusal(cls, -5000), std::nullopt) << cls;
}

// Command 53 against a server that answers one chosen byte (or nothing) and keeps the bytes.
struct SettingsServer {
    std::mutex mutex;
    std::string answer = "\x01";
    std::vector<RequestHeader> headers;
    std::string payload;
    test::ScriptServer server{[this](Socket& peer, int) {
        RequestHeader h{};
        if (!test::ScriptServer::ReadHeader(peer, h)) return;
        std::string bytes(sizeof(ProgramTradingRequest), '\0');
        if (ReceiveExact(peer, bytes.data(), static_cast<int>(bytes.size())) !=
            static_cast<int>(bytes.size()))
            return;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            headers.push_back(h);
            payload = bytes;
            reply = answer;
        }
        if (!reply.empty()) peer.Send(reply.data(), reply.size());
    }};
    SettingsServer() { server.UseAsRequestPort(); }
};

struct ProgramTradingSave : ::testing::Test {
    void TearDown() override { Session().programTrading = 0; }
    FakeUi ui;
};

TEST_F(ProgramTradingSave, SendsTheFourPiecesAndFollowsTheAnswerByte) {
    SettingsServer server;
    Session().programTrading = 0;
    ASSERT_TRUE(SaveProgramTrading(nullptr, true));
    EXPECT_EQ(Session().programTrading.load(), 1);
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        ASSERT_EQ(server.headers.size(), 1u);
        EXPECT_EQ(server.headers[0].command, cmd::SaveProgramTrading);
        std::string expected(50, '\0');
        expected += Int32Bytes(30) + Int32Bytes(30) + Int32Bytes(1);
        EXPECT_EQ(server.payload, expected);
    }
    ASSERT_TRUE(SaveProgramTrading(nullptr, false));
    EXPECT_EQ(Session().programTrading.load(), 0);
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        EXPECT_EQ(server.payload.substr(58), Int32Bytes(0));
    }

    // Any byte above 0 stores; 0, a negative byte or no answer leave the flag as it was, with no
    // message.
    struct Case {
        std::string answer;
        bool stored;
    };
    const Case cases[] = {{"\x02", true},  {std::string(1, '\0'), false},
                          {"\xff", false}, {"\x80", false},
                          {"", false},     {"\x7f", true}};
    for (const Case& c : cases) {
        Session().programTrading = 0;
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            server.answer = c.answer;
        }
        EXPECT_EQ(SaveProgramTrading(nullptr, true), c.stored) << int(c.answer[0]);
        EXPECT_EQ(Session().programTrading.load(), c.stored ? 1 : 0);
    }
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(ProgramTradingSave, AnUnreachableServerShowsTheConnectMessage) {
    { SettingsServer gone; }
    Session().programTrading = 1;
    EXPECT_FALSE(SaveProgramTrading(nullptr, false));
    EXPECT_EQ(Session().programTrading.load(), 1);
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{kConnectFailedText});
}

// The four trade changes against the scripted account server: a model with one instrument, three
// positions and two waiting orders.
class TradeChangeFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        model.SetInstruments({Gold()});
        model.SetPositions({MakePosition(1, direction::Buy, 1700, 1, 1650, 1800, 1, "P1"),
                            MakePosition(1, direction::Sell, 1750, 0.5, 0, 0, 0, "P2"),
                            MakePosition(1, direction::Buy, 1720, 2, 0, 1790, 1, "P3")});
        model.SetOrders({MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1700, 1, "D1"),
                         MakeOrder(1, direction::Sell, trigger::SellBidRises, 1800, 1, "D2")});
        test::EditAccount(model, [](AccountBlock& a) { a.freeFunds = 1000; });
        model.SetChartRefresh([this] { ++refreshes; });
        positionsBefore = PositionBytes();
        ordersBefore = OrderBytes();
    }
    std::string PositionBytes() const {
        const std::vector<PositionRecord> now = model.Positions();
        return Bytes(now.data(), now.size() * 272);
    }
    std::string OrderBytes() const {
        const std::vector<PendingOrderRecord> now = model.Orders();
        return Bytes(now.data(), now.size() * 256);
    }
    bool PositionsUntouched() const { return PositionBytes() == positionsBefore; }
    bool OrdersUntouched() const { return OrderBytes() == ordersBefore; }
    int TradeSounds() const {
        int n = 0;
        for (const auto& s : ui.Sounds()) n += s.id == sound::Trade && !s.looped;
        return n;
    }
    std::vector<std::vector<std::int32_t>> Only(std::int32_t command) const { return {{command}}; }

    FakeUi ui;
    AccountServer server;
    TradingModel model;
    int refreshes = 0;
    std::string positionsBefore, ordersBefore;
};

TEST_F(TradeChangeFlow, NewStopsReplaceThePositionFromTheAnswer) {
    PositionRecord changed = model.Positions()[1];
    changed.stopLoss = 1760;
    changed.takeProfit = 1740;
    changed.watched = 1;
    changed.openPrice = 1750.5;  // whatever the server says, the record is taken whole
    server.Set(cmd::ModifyPosition, Bytes(&changed, sizeof changed), true);

    ASSERT_TRUE(ModifyPositionStops(nullptr, model, model.Positions()[1], 1760.0f, 1740.0f));
    // One connection, the change alone: no reload of the account or the lists.
    EXPECT_EQ(server.Connections(), Only(cmd::ModifyPosition));
    ModifyStopsRequest sent{};
    const std::string payload = server.Payloads()[cmd::ModifyPosition];
    ASSERT_EQ(payload.size(), sizeof sent);
    std::memcpy(&sent, payload.data(), sizeof sent);
    EXPECT_STREQ(sent.ticket, "P2");
    EXPECT_EQ(std::string(sent.ticket, sizeof sent.ticket),
              std::string("P2") + std::string(22, '\0'));
    EXPECT_FLOAT_EQ(sent.stopLoss, 1760.0f);
    EXPECT_FLOAT_EQ(sent.takeProfit, 1740.0f);

    const std::vector<PositionRecord> now = model.Positions();
    ASSERT_EQ(now.size(), 3u);
    EXPECT_EQ(Bytes(&now[1], sizeof now[1]), Bytes(&changed, sizeof changed));
    EXPECT_EQ(Bytes(&now[0], 272), positionsBefore.substr(0, 272));
    EXPECT_EQ(Bytes(&now[2], 272), positionsBefore.substr(544, 272));
    EXPECT_EQ(TradeSounds(), 1);
    EXPECT_EQ(refreshes, 1);
    EXPECT_TRUE(ui.BoxTexts().empty());

    // A ticket the list does not hold replaces nothing, and still counts as done.
    changed = MakePosition(1, direction::Buy, 1, 1, 0, 0, 0, "P9");
    server.Set(cmd::ModifyPosition, Bytes(&changed, sizeof changed), true);
    EXPECT_TRUE(ModifyPositionStops(nullptr, model, model.Positions()[0], 0, 0));
    EXPECT_EQ(model.Positions().size(), 3u);
    EXPECT_STREQ(model.Positions()[2].ticket, "P3");
}

TEST_F(TradeChangeFlow, ARefusedOrSilentStopsChangeLeavesTheModelAlone) {
    // The server's refusal: 272 zero bytes; the same when it closes without a word or after a
    // few zero bytes.
    for (const std::string& answer :
         {std::string(272, '\0'), std::string(), std::string(8, '\0')}) {
        ui.Clear();
        server.ClearLog();
        server.Set(cmd::ModifyPosition, answer, true);
        EXPECT_FALSE(ModifyPositionStops(nullptr, model, model.Positions()[0], 1700, 1701));
        EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"止损或盈利无效"});
        EXPECT_EQ(server.Connections(), Only(cmd::ModifyPosition));
    }
    EXPECT_TRUE(PositionsUntouched());
    EXPECT_EQ(TradeSounds(), 0);
    EXPECT_EQ(refreshes, 0);
}

TEST_F(TradeChangeFlow, AStopsAnswerCutShortAfterTheTicketReloadsInsteadOfWipingThePosition) {
    PositionRecord changed = model.Positions()[0];
    changed.stopLoss = 1690;
    server.Set(cmd::ModifyPosition, Bytes(&changed, 100), true);  // the stops never arrived
    server.SetList(cmd::LoadPositions, std::vector<PositionRecord>{changed});
    ASSERT_TRUE(ModifyPositionStops(nullptr, model, model.Positions()[0], 1690, 1800));
    // The positions come from a reload, not from the hundred bytes.
    ASSERT_EQ(server.Connections().size(), 2u);
    EXPECT_EQ(server.Connections()[0], std::vector<std::int32_t>{cmd::ModifyPosition});
    const std::vector<PositionRecord> now = model.Positions();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].instrument, 1);
    EXPECT_DOUBLE_EQ(now[0].heldQuantity, 1.0);
    EXPECT_DOUBLE_EQ(now[0].stopLoss, 1690);
    EXPECT_EQ(TradeSounds(), 1);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(TradeChangeFlow, ACloseReloadsThePositionsAndAccountOnItsConnection) {
    server.Set(cmd::ClosePosition, Int32Bytes(1));
    std::vector<PositionRecord> rest = {model.Positions()[0], model.Positions()[2]};
    server.SetList(cmd::LoadPositions, rest);
    AccountBlock a{};
    a.freeFunds = 4321;
    server.SetAccount(a);
    const PendingOrderRecord q = CloseRequest(model.Positions()[1], 0.5, 1765.30, 0.25);
    ASSERT_TRUE(ClosePosition(nullptr, model, q));
    EXPECT_EQ(server.Connections(),
              (std::vector<std::vector<std::int32_t>>{
                  {cmd::ClosePosition, cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount}}));
    EXPECT_EQ(server.Payloads()[cmd::ClosePosition], Bytes(&q, sizeof q));
    EXPECT_EQ(model.Positions().size(), 2u);
    EXPECT_DOUBLE_EQ(model.Account().freeFunds, 4321);
    EXPECT_NE(model.Account().availableMargin, 0.0);  // recomputed
    EXPECT_EQ(TradeSounds(), 1);
    EXPECT_EQ(refreshes, 1);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(TradeChangeFlow, ARefusedCloseShowsItsTextAndReloadsNothing) {
    const PendingOrderRecord q = CloseRequest(model.Positions()[0], 1, 1765.00, 0);
    const struct {
        std::string answer;
        const char* text;
    } cases[] = {{Int32Bytes(6), "闭市中，禁止交易"},
                 {Int32Bytes(2), "价格已经变动，请重新下单"},
                 {Int32Bytes(10), "未知错误"},
                 {std::string(), "未知错误"}};  // closed without an answer: 0
    for (const auto& c : cases) {
        ui.Clear();
        server.ClearLog();
        server.Set(cmd::ClosePosition, c.answer, true);
        EXPECT_FALSE(ClosePosition(nullptr, model, q));
        EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{c.text});
        EXPECT_EQ(server.Connections(), Only(cmd::ClosePosition));
    }
    EXPECT_TRUE(PositionsUntouched());
    EXPECT_EQ(TradeSounds(), 0);
    EXPECT_EQ(refreshes, 0);
}

TEST_F(TradeChangeFlow, AChangedOrderReloadsTheOrdersAndTheAccountOnItsConnection) {
    server.Set(cmd::ModifyPending, Int32Bytes(1));
    PendingOrderRecord changed = model.Orders()[0];
    changed.price = 1701;
    server.SetList(cmd::LoadPending, std::vector<PendingOrderRecord>{changed, model.Orders()[1]});
    ASSERT_TRUE(ModifyPendingOrder(nullptr, model, changed));
    EXPECT_EQ(server.Connections(), (std::vector<std::vector<std::int32_t>>{
                                        {cmd::ModifyPending, cmd::LoadPending, cmd::LoadAccount}}));
    EXPECT_EQ(server.Payloads()[cmd::ModifyPending], Bytes(&changed, sizeof changed));
    EXPECT_DOUBLE_EQ(model.Orders()[0].price, 1701);
    EXPECT_TRUE(PositionsUntouched());
    EXPECT_EQ(TradeSounds(), 1);
    EXPECT_EQ(refreshes, 1);

    ui.Clear();
    server.ClearLog();
    server.Set(cmd::ModifyPending, Int32Bytes(6), true);
    EXPECT_FALSE(ModifyPendingOrder(nullptr, model, model.Orders()[1]));
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"无效价格"});
    EXPECT_EQ(server.Connections(), Only(cmd::ModifyPending));
    EXPECT_EQ(TradeSounds(), 0);
}

TEST_F(TradeChangeFlow, AnUnreachableServerShowsTheConnectMessageForEveryChange) {
    { AccountServer gone; }
    const PendingOrderRecord close = CloseRequest(model.Positions()[0], 1, 1765, 0);
    EXPECT_FALSE(ModifyPositionStops(nullptr, model, model.Positions()[0], 0, 0));
    EXPECT_FALSE(ClosePosition(nullptr, model, close));
    EXPECT_FALSE(ModifyPendingOrder(nullptr, model, model.Orders()[0]));
    ui.SetBoxAnswer(IdYes);
    EXPECT_FALSE(DeletePendingOrder(nullptr, model, model.Orders()[0]));
    // The delete asked first; no "删除失败" follows a connection that never opened.
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{kConnectFailedText, kConnectFailedText, kConnectFailedText,
                                        "确认删除订单[D1]？", kConnectFailedText}));
    EXPECT_TRUE(PositionsUntouched());
    EXPECT_TRUE(OrdersUntouched());
    EXPECT_EQ(TradeSounds(), 0);
}

TEST_F(TradeChangeFlow, DeleteRefusesProgrammaticAndFinishedOrdersBeforeAsking) {
    PendingOrderRecord programmatic = model.Orders()[0];
    programmatic.validity = order_validity::Programmatic;
    programmatic.status = order_status::Filled;  // the programmatic refusal comes first
    EXPECT_FALSE(DeletePendingOrder(nullptr, model, programmatic));
    PendingOrderRecord cancelled = model.Orders()[0];
    cancelled.status = order_status::Cancelled;
    EXPECT_FALSE(DeletePendingOrder(nullptr, model, cancelled));
    cancelled.status = order_status::Filled;
    EXPECT_FALSE(DeletePendingOrder(nullptr, model, cancelled));
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{"无法修改程序化交易订单", "无法删除已经完成的订单",
                                        "无法删除已经完成的订单"}));
    EXPECT_EQ(server.Connections().size(), 0u);

    // "No" to the question: nothing is sent.
    ui.Clear();
    ui.SetBoxAnswer(IdNo);
    EXPECT_FALSE(DeletePendingOrder(nullptr, model, model.Orders()[1]));
    const std::vector<FakeUi::Box> boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "确认删除订单[D2]？");
    EXPECT_EQ(boxes[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(server.Connections().size(), 0u);
    EXPECT_TRUE(OrdersUntouched());
}

TEST_F(TradeChangeFlow, ADeleteSendsThirtyBytesAndReloadsOnlyForAnswerOne) {
    ui.SetBoxAnswer(IdYes);
    PendingOrderRecord order = model.Orders()[0];
    std::snprintf(order.orderNumber, sizeof order.orderNumber, "%s", "10000000012345678901");
    server.Set(cmd::DeletePending, Int32Bytes(1));
    server.SetList(cmd::LoadPending, std::vector<PendingOrderRecord>{model.Orders()[1]});
    ASSERT_TRUE(DeletePendingOrder(nullptr, model, order));
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"确认删除订单[10000000012345678901]？"});
    EXPECT_EQ(server.Connections(), (std::vector<std::vector<std::int32_t>>{
                                        {cmd::DeletePending, cmd::LoadPending, cmd::LoadAccount}}));
    EXPECT_EQ(server.Payloads()[cmd::DeletePending], Bytes(&order, 30));
    ASSERT_EQ(model.Orders().size(), 1u);
    EXPECT_STREQ(model.Orders()[0].orderNumber, "D2");
    EXPECT_EQ(TradeSounds(), 1);
    EXPECT_EQ(refreshes, 1);

    // Every other answer, a short one or none: the one message, no reload.
    for (const std::string& answer :
         {Int32Bytes(0), Int32Bytes(2), std::string("\x01\x00", 2), std::string()}) {
        ui.Clear();
        server.ClearLog();
        server.Set(cmd::DeletePending, answer, true);
        EXPECT_FALSE(DeletePendingOrder(nullptr, model, model.Orders()[0]));
        EXPECT_EQ(ui.BoxTexts(),
                  (std::vector<std::string>{"确认删除订单[D2]？", "删除失败，请检查网络"}));
        EXPECT_EQ(server.Connections(), Only(cmd::DeletePending));
    }
    EXPECT_EQ(model.Orders().size(), 1u);
    EXPECT_EQ(TradeSounds(), 0);
}

}  // namespace
}  // namespace zq
