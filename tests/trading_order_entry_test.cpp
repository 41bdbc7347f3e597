// The order-entry rules without their windows: lot rules, the stop rule, the pending band, the
// order of the checks, the request they build, the answer texts and the int32 answer read.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <variant>

#include "net/wire/request.h"
#include "tests/support/script_server.h"
#include "trading/order_entry.h"
#include "trading/wire/order_requests.h"

namespace zq {
namespace {

// 伦敦金 as the stand-in server trades it: two decimals, 0.01 to 50 lots in hundredths, stops
// and pending prices at least 2 away; the market at ask 1765.30 / bid 1765.00.
InstrumentRecord Gold() {
    InstrumentRecord r{};
    r.id = 1;
    r.decimals = 2;
    r.minLots = 0.01f;
    r.maxLots = 50;
    r.lotDecimals = 2;
    r.lotStep = 1;
    r.buySpread = 0.25f;
    r.sellSpread = 0.05f;
    r.last = 1765.05f;
    r.ask = 1765.30f;
    r.bid = 1765.00f;
    r.pendingDistance = 2;
    r.stopDistance = 2;
    r.tradable = 1;
    return r;
}

std::string Refusal(const OrderCheck& c) {
    const auto* text = std::get_if<std::string>(&c);
    return text ? *text : std::string("<request>");
}

OpenOrderRequest Request(const OrderCheck& c) {
    return std::get<OpenOrderRequest>(c);
}

OrderForm MarketForm(std::int32_t side, float lots, const char* price) {
    OrderForm f;
    f.instrumentSelected = true;
    f.direction = side;
    f.lots = lots;
    f.price = price;
    f.deviationChecked = true;
    f.deviation = "0.2500";
    return f;
}

TEST(OrderNumbers, ReadLikeTheDialogsReadTheirTexts) {
    EXPECT_EQ(ReadNumber("1650.50"), Decimal::FromDouble(1650.5));
    EXPECT_EQ(ReadNumber("  -12.5abc"), Decimal::FromDouble(-12.5));
    EXPECT_EQ(ReadNumber("+3"), Decimal::FromInt(3));
    EXPECT_TRUE(ReadNumber("").IsZero());
    EXPECT_TRUE(ReadNumber("abc").IsZero());
    EXPECT_TRUE(ReadNumber(".").IsZero());
    EXPECT_EQ(ReadNumber("1e2"), Decimal::FromInt(100));
    EXPECT_EQ(ReadNumber("7e"), Decimal::FromInt(7));  // an exponent without digits is no exponent
    EXPECT_TRUE(ReadNumber("1e40").IsZero());          // too large for the arithmetic
    EXPECT_FLOAT_EQ(ReadFloat("0.5"), 0.5f);
    EXPECT_FLOAT_EQ(ReadFloat("x"), 0.0f);
}

TEST(OrderLots, RangeSpinAndMultiples) {
    InstrumentRecord r = Gold();
    r.minLots = 1;
    r.maxLots = 5;
    r.lotDecimals = 0;
    EXPECT_EQ(LotRangeText(r), "(可填范围1-5)");
    EXPECT_EQ(LotsRefusal(r, 0.5f), std::optional<std::string>("交易手数不合法，请修改后重试"));
    EXPECT_EQ(LotsRefusal(r, 5.0f), std::nullopt);
    EXPECT_EQ(LotsRefusal(r, 5.01f), std::optional<std::string>("交易手数不合法，请修改后重试"));

    // A step of 5 in tenths: quantities are multiples of 0.5.
    r.lotDecimals = 1;
    r.lotStep = 5;
    EXPECT_EQ(LotsRefusal(r, 1.2f), std::optional<std::string>("交易手数必须是0.5的倍数"));
    EXPECT_EQ(LotsRefusal(r, 1.5f), std::nullopt);
    EXPECT_EQ(LotsRefusal(r, 2.0f), std::nullopt);

    // Hundredths, where binary floating point would leave 0.07 / 0.01 a hair off 7.
    const InstrumentRecord g = Gold();
    EXPECT_EQ(LotsRefusal(g, 0.07f), std::nullopt);
    EXPECT_EQ(LotsRefusal(g, 0.29f), std::nullopt);
    EXPECT_EQ(LotsRefusal(g, 0.01f), std::nullopt);  // the minimum itself
    EXPECT_EQ(LotsRefusal(g, 0.015f), std::optional<std::string>("交易手数必须是0.01的倍数"));
    EXPECT_EQ(LotRangeText(g), "(可填范围0.01-50)");

    // A record without a lot step asks for no multiple instead of dividing by zero.
    InstrumentRecord noStep = g;
    noStep.lotStep = 0;
    EXPECT_EQ(LotsRefusal(noStep, 0.015f), std::nullopt);

    const LotSpin spin = LotSpinOf(g);
    EXPECT_EQ(spin.lower, 1);
    EXPECT_EQ(spin.upper, 5000);
    EXPECT_EQ(spin.stepFactor, 1);
    EXPECT_EQ(spin.minimumText, "1");
    EXPECT_EQ(spin.maximumText, "5000");
    EXPECT_EQ(DefaultDeviationText(g), "2500");
}

TEST(OrderStops, BothDirectionsStopLossFirstEdgesAccepted) {
    const InstrumentRecord r = Gold();
    const Decimal p = ReadNumber("1765.30");
    const Decimal none;
    const std::optional<std::string> tooClose("止损或盈利必须远离建仓价2元");
    // Buy: the stop-loss at least 2 below, the take-profit at least 2 above; exactly 2 passes.
    EXPECT_EQ(StopsRefusal(r, direction::Buy, p, ReadNumber("1763.30"), ReadNumber("1767.30")),
              std::nullopt);
    EXPECT_EQ(StopsRefusal(r, direction::Buy, p, ReadNumber("1763.31"), none), tooClose);
    EXPECT_EQ(StopsRefusal(r, direction::Buy, p, none, ReadNumber("1767.29")), tooClose);
    // A stop-loss above the price always fails.
    EXPECT_EQ(StopsRefusal(r, direction::Buy, p, ReadNumber("1800"), none), tooClose);
    // Sell: mirrored.
    EXPECT_EQ(StopsRefusal(r, direction::Sell, p, ReadNumber("1767.30"), ReadNumber("1763.30")),
              std::nullopt);
    EXPECT_EQ(StopsRefusal(r, direction::Sell, p, ReadNumber("1767.29"), none), tooClose);
    EXPECT_EQ(StopsRefusal(r, direction::Sell, p, none, ReadNumber("1763.31")), tooClose);
    // Empty stops are no stops.
    EXPECT_EQ(StopsRefusal(r, direction::Buy, p, none, none), std::nullopt);
    EXPECT_EQ(StopsRefusal(r, direction::Sell, p, none, none), std::nullopt);
}

TEST(OrderBand, CaptionsAndTheAcceptedEdge) {
    InstrumentRecord r = Gold();
    r.pendingDistance = 0.5f;
    EXPECT_EQ(BandCaption(r, direction::Buy), "买/价格<1764.80 或者 > 1765.80");
    EXPECT_EQ(BandCaption(r, direction::Sell), "卖/价格<1764.50 或者 > 1765.50");
    const std::optional<std::string> band("挂单价必须小于1764.8或者大于1765.8");
    EXPECT_EQ(BandRefusal(r, direction::Buy, ReadNumber("1765.00")), band);
    EXPECT_EQ(BandRefusal(r, direction::Buy, ReadNumber("1764.80")), std::nullopt);
    EXPECT_EQ(BandRefusal(r, direction::Buy, ReadNumber("1765.80")), std::nullopt);
    EXPECT_EQ(BandRefusal(r, direction::Buy, ReadNumber("1764.81")), band);
    // A sell limit is measured against the bid.
    EXPECT_EQ(BandRefusal(r, direction::Sell, ReadNumber("1765.50")), std::nullopt);
    EXPECT_EQ(BandRefusal(r, direction::Sell, ReadNumber("1765.30")),
              std::optional<std::string>("挂单价必须小于1764.5或者大于1765.5"));
}

TEST(MarketOrderChecks, RunInTheirOrderAndBuildTheRequest) {
    const InstrumentRecord r = Gold();
    OrderForm f = MarketForm(direction::Buy, 0.5f, "1765.30");

    OrderForm none = f;
    none.instrumentSelected = false;
    none.lots = 0;  // would fail the lots too: the instrument comes first
    EXPECT_EQ(Refusal(CheckMarketOrder(r, none)), "请选择商品");

    OrderForm lots = f;
    lots.lots = 0.015f;
    lots.price = "0";  // would fail the price too
    EXPECT_EQ(Refusal(CheckMarketOrder(r, lots)), "交易手数必须是0.01的倍数");

    OrderForm negative = f;
    negative.deviation = "-0.1000";
    negative.price = "0";
    EXPECT_EQ(Refusal(CheckMarketOrder(r, negative)), "允许的交易点差不能小于零");
    negative.deviationChecked = false;  // an unchecked box is not examined
    EXPECT_EQ(Refusal(CheckMarketOrder(r, negative)), "无效价格");

    OrderForm noQuote = f;
    noQuote.price = "0.00";
    noQuote.stopLoss = "1800";  // the price is examined before the stops
    EXPECT_EQ(Refusal(CheckMarketOrder(r, noQuote)), "无效价格");

    OrderForm stops = f;
    stops.stopLoss = "1764.00";
    EXPECT_EQ(Refusal(CheckMarketOrder(r, stops)), "止损或盈利必须远离建仓价2元");

    f.stopLoss = "1700.00";
    f.takeProfit = "";
    const OpenOrderRequest q = Request(CheckMarketOrder(r, f));
    EXPECT_EQ(q.instrument, 1);
    EXPECT_FLOAT_EQ(q.price, 1765.30f);
    EXPECT_FLOAT_EQ(q.stopLoss, 1700.0f);
    EXPECT_EQ(q.takeProfit, 0.0f);
    EXPECT_FLOAT_EQ(q.lots, 0.5f);
    EXPECT_EQ(q.orderKind, 1);
    EXPECT_EQ(q.direction, 1);
    EXPECT_EQ(q.validity, 0);
    EXPECT_FLOAT_EQ(q.deviation, 0.25f);
}

TEST(MarketOrderChecks, DeviationIsSentOnlyWhenCheckedAndPositive) {
    const InstrumentRecord r = Gold();
    OrderForm f = MarketForm(direction::Sell, 1.0f, "1765.00");
    f.deviationChecked = false;
    EXPECT_EQ(Request(CheckMarketOrder(r, f)).deviation, 0.0f);
    f.deviationChecked = true;
    f.deviation = "0.0000";
    EXPECT_EQ(Request(CheckMarketOrder(r, f)).deviation, 0.0f);
    f.deviation = "1.5000";
    EXPECT_FLOAT_EQ(Request(CheckMarketOrder(r, f)).deviation, 1.5f);
    EXPECT_EQ(Request(CheckMarketOrder(r, f)).direction, 2);
}

TEST(PendingOrderChecks, RunInTheirOrderAndBuildTheRequest) {
    InstrumentRecord r = Gold();
    r.pendingDistance = 0.5f;
    OrderForm f;
    f.instrumentSelected = true;
    f.direction = direction::Buy;
    f.lots = 1;
    f.stopLoss = "1765.00";  // too close, but the price comes first

    f.price = "";
    EXPECT_EQ(Refusal(CheckPendingOrder(r, f)), "无效价格");
    f.price = "1765.00";
    EXPECT_EQ(Refusal(CheckPendingOrder(r, f)), "挂单价必须小于1764.8或者大于1765.8");
    f.price = "1764.80";
    EXPECT_EQ(Refusal(CheckPendingOrder(r, f)), "止损或盈利必须远离建仓价2元");
    f.stopLoss = "1762.80";
    f.takeProfit = "1770";
    const OpenOrderRequest q = Request(CheckPendingOrder(r, f));
    EXPECT_EQ(q.orderKind, 2);
    EXPECT_EQ(q.validity, 2);  // "当周有效", the list's opening choice
    EXPECT_EQ(q.deviation, 0.0f);
    EXPECT_FLOAT_EQ(q.price, 1764.80f);
    EXPECT_FLOAT_EQ(q.stopLoss, 1762.80f);
    f.validityIndex = 0;
    EXPECT_EQ(Request(CheckPendingOrder(r, f)).validity, 1);
}

TEST(OrderAnswers, TextsOfEveryCode) {
    InstrumentRecord r = Gold();
    r.pendingDistance = 0.5f;
    EXPECT_EQ(OpenOrderResultText(2, r), "价格已经变动，请重新下单");
    EXPECT_EQ(OpenOrderResultText(3, r), "保证金不足");
    EXPECT_EQ(OpenOrderResultText(4, r), "挂单价必须远离市价至少0.5元");
    EXPECT_EQ(OpenOrderResultText(5, r), "止损或盈利必须远离建仓价2元");
    EXPECT_EQ(OpenOrderResultText(6, r), "闭市中，禁止交易");
    EXPECT_EQ(OpenOrderResultText(7, r), "无效价格");
    EXPECT_EQ(OpenOrderResultText(0, r), "未知错误");
    EXPECT_EQ(OpenOrderResultText(99, r), "未知错误");
}

// The answer of command 11 as the server sends it: whole, cut short, or not at all; the
// request bytes as they arrive.
TEST(OrderSubmission, ReadsTheAnswerByteByByteAndCountsMissingBytesAsZero) {
    struct Case {
        std::string answer;
        std::int32_t expected;
    };
    const Case cases[] = {
        {std::string("\x05\x00\x00\x00", 4), 5},
        {std::string("\x01\x00\x00\x00", 4), 1},
        {std::string("\x01\x02", 2), 0x0201},  // closed after two bytes
        {std::string(), 0},
        {std::string("\xff\xff\xff\xff", 4), -1},
    };
    for (const Case& c : cases) {
        std::mutex seen;
        std::vector<unsigned char> payload;
        std::int32_t command = 0;
        test::ScriptServer server([&](Socket& peer, int) {
            RequestHeader h{};
            if (!test::ScriptServer::ReadHeader(peer, h)) return;
            std::vector<unsigned char> bytes(sizeof(OpenOrderRequest));
            ReceiveExact(peer, bytes.data(), static_cast<int>(bytes.size()));
            {
                std::lock_guard<std::mutex> lock(seen);
                command = h.command;
                payload = bytes;
            }
            if (!c.answer.empty()) peer.Send(c.answer.data(), c.answer.size());
        });
        server.UseAsRequestPort();
        OpenOrderRequest q{};
        q.instrument = 14;
        q.lots = 0.5f;
        q.orderKind = order_kind::Market;
        const std::optional<std::int32_t> code = SubmitOpenOrder(nullptr, q);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.expected);
        std::lock_guard<std::mutex> lock(seen);
        EXPECT_EQ(command, cmd::OpenOrder);
        ASSERT_EQ(payload.size(), sizeof q);
        EXPECT_EQ(std::memcmp(payload.data(), &q, sizeof q), 0);
    }
}

}  // namespace
}  // namespace zq
