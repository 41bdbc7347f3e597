#include "server/market/catalogue.h"

#include <array>
#include <cmath>
#include <cstring>

#include "net/wire/ansi_text.h"
#include "trading/wire/decimal.h"
#include "trading/wire/profit.h"

namespace zq::server {
namespace {

using namespace charge_method;
using namespace fee_collection;
using namespace unit_kind;

// London-style spot metals and oil, quoted in dollars and settled in yuan at a fixed rate:
// fractional lots, 1 % margin, a proportional fee at opening and a daily deferral.
constexpr InstrumentRules Spot(std::int32_t id, const char* name, const char* code,
                               std::int32_t decimals, float pointValue, std::int32_t lotSize,
                               std::int32_t unit, float spread, float distance, double price,
                               double volatility) {
    return {.id = id,
            .name = name,
            .code = code,
            .decimals = decimals,
            .pointValue = pointValue,
            .lotSize = lotSize,
            .unitKind = unit,
            .minLots = 0.01f,
            .maxLots = 50,
            .lotDecimals = 2,
            .lotStep = 1,
            .maxPosition = 200,
            .feeMethod = Proportional,
            .feeValue = 3,
            .feeCollection = OneSide,
            .marginMethod = Proportional,
            .marginValue = 1,
            .deferralMethod = Proportional,
            .deferralValue = 20,
            .buySpread = spread,
            .sellSpread = spread,
            .pendingDistance = distance,
            .stopDistance = distance,
            .tradable = true,
            .openingPrice = price,
            .dailyVolatility = volatility};
}

// Currency pairs: standard lots of 100,000 units of the base currency, 1 % margin, 20 yuan a
// lot at opening and a nightly swap of 30 yuan a lot.
constexpr InstrumentRules Fx(std::int32_t id, const char* name, const char* code,
                             std::int32_t decimals, float pointValue, float spread, float distance,
                             double price, double volatility) {
    InstrumentRules r = Spot(id, name, code, decimals, pointValue, 100000, Currency, spread,
                             distance, price, volatility);
    r.feeMethod = PerLot;
    r.feeValue = 20;
    r.deferralMethod = PerLot;
    r.deferralValue = 30;
    return r;
}

// Shanghai and Tianjin spot metals in yuan: whole lots, proportional margin and fee on both
// sides, a daily deferral.
constexpr InstrumentRules Deferred(std::int32_t id, const char* name, const char* code,
                                   std::int32_t decimals, float pointValue, std::int32_t lotSize,
                                   std::int32_t unit, float margin, float spread, float distance,
                                   double price, double volatility) {
    InstrumentRules r = Spot(id, name, code, decimals, pointValue, lotSize, unit, spread, distance,
                             price, volatility);
    r.minLots = 1;
    r.maxLots = 100;
    r.lotDecimals = 0;
    r.maxPosition = 500;
    r.feeValue = 8;
    r.feeCollection = BothSides;
    r.marginValue = margin;
    return r;
}

// Domestic futures: whole lots, exchange-style margin, fees on both sides, no deferral.
constexpr InstrumentRules Futures(std::int32_t id, const char* name, const char* code,
                                  std::int32_t decimals, float pointValue, std::int32_t lotSize,
                                  std::int32_t unit, float margin, std::int32_t feeMethod,
                                  float fee, float spread, float distance, double price,
                                  double volatility) {
    InstrumentRules r = Deferred(id, name, code, decimals, pointValue, lotSize, unit, margin,
                                 spread, distance, price, volatility);
    r.feeMethod = feeMethod;
    r.feeValue = fee;
    r.deferralMethod = PerLot;
    r.deferralValue = 0;
    return r;
}

// Quoted only: the gold crosses and ratios have prices and charts but cannot be traded.
constexpr InstrumentRules QuoteOnly(InstrumentRules r) {
    r.tradable = false;
    return r;
}

constexpr InstrumentRules WithLots(InstrumentRules r, float minLots, std::int32_t maxLots,
                                   std::int32_t lotDecimals, std::int32_t maxPosition) {
    r.minLots = minLots;
    r.maxLots = maxLots;
    r.lotDecimals = lotDecimals;
    r.maxPosition = maxPosition;
    return r;
}

constexpr InstrumentRules WithMarginPerLot(InstrumentRules r, float margin, float fee,
                                           float deferral) {
    r.marginMethod = PerLot;
    r.marginValue = margin;
    r.feeMethod = PerLot;
    r.feeValue = fee;
    r.feeCollection = BothSides;
    r.deferralMethod = PerLot;
    r.deferralValue = deferral;
    return r;
}

constexpr InstrumentRules WithMargin(InstrumentRules r, float percent) {
    r.marginValue = percent;
    return r;
}

// Yuan per price point of one lot: 10^-decimals x lot size x the quote currency in yuan
// (USD 6.25, EUR 8.20, GBP 10.10, CHF 6.80, JPY 0.0745, CAD 6.30, AUD 6.50).
const std::array<InstrumentRules, kInstrumentCount> kCatalogue = {{
    Spot(1, "伦敦金(T+0)", "XAUUSD", 2, 6.25f, 100, Ounce, 0.25f, 2.0f, 1650.00, 0.012),
    Spot(2, "伦敦银(T+0)", "XAGUSD", 3, 31.25f, 5000, Ounce, 0.02f, 0.1f, 30.500, 0.020),
    WithLots(WithMarginPerLot(
                 Spot(3, "美元指数", "USDX", 3, 6.25f, 1000, Currency, 0.02f, 0.2f, 80.250, 0.005),
                 5000, 30, 15),
             0.1f, 20, 1, 100),
    Deferred(4, "天通银(T+0)", "TJAG", 0, 15, 15, Kilogram, 10, 4, 10, 6200, 0.018),
    Deferred(5, "上海金(T+0)", "AU(T+D)", 2, 10, 1000, Gram, 7, 0.2f, 1.0f, 335.00, 0.012),
    WithLots(Deferred(6, "上海银(T+0)", "AG(T+D)", 0, 1, 1, Kilogram, 7, 4, 10, 6300, 0.018), 1,
             1000, 0, 5000),
    Fx(7, "欧元/日元", "EURJPY", 2, 74.5f, 0.02f, 0.2f, 108.50, 0.008),
    Fx(8, "英镑/瑞郎", "GBPCHF", 4, 68, 0.0003f, 0.002f, 1.4800, 0.006),
    Fx(9, "欧元/英镑", "EURGBP", 4, 101, 0.0002f, 0.002f, 0.8100, 0.005),
    Fx(10, "澳元/瑞郎", "AUDCHF", 4, 68, 0.0003f, 0.002f, 0.9600, 0.007),
    Fx(11, "加元/日元", "CADJPY", 2, 74.5f, 0.03f, 0.2f, 85.00, 0.008),
    Fx(12, "澳元/加元", "AUDCAD", 4, 63, 0.0003f, 0.002f, 1.0300, 0.006),
    WithLots(Spot(13, "纽约原油", "CL", 2, 62.5f, 1000, Currency, 0.03f, 0.3f, 88.00, 0.022), 0.1f,
             20, 1, 100),
    Fx(14, "欧元/美元", "EURUSD", 4, 62.5f, 0.0002f, 0.002f, 1.3100, 0.006),
    Fx(15, "美元/日元", "USDJPY", 2, 74.5f, 0.02f, 0.2f, 84.50, 0.006),
    Fx(16, "美元/瑞郎", "USDCHF", 4, 68, 0.0003f, 0.002f, 0.9200, 0.006),
    Fx(17, "英镑/美元", "GBPUSD", 4, 62.5f, 0.0003f, 0.002f, 1.6200, 0.006),
    Fx(18, "美元/加元", "USDCAD", 4, 63, 0.0003f, 0.002f, 0.9900, 0.005),
    Fx(19, "澳元/美元", "AUDUSD", 4, 62.5f, 0.0003f, 0.002f, 1.0400, 0.007),
    QuoteOnly(
        Spot(20, "黄金/白银(伦敦)", "XAUXAG", 2, 1, 100, Currency, 0.05f, 0.5f, 54.10, 0.010)),
    QuoteOnly(Spot(21, "白银/欧元", "XAGEUR", 3, 41, 5000, Ounce, 0.02f, 0.1f, 23.300, 0.020)),
    QuoteOnly(Spot(22, "黄金/白银(上海)", "AUAG", 2, 1, 100, Currency, 0.05f, 0.5f, 53.20, 0.010)),
    QuoteOnly(Spot(23, "黄金/英镑", "XAUGBP", 2, 10.1f, 100, Ounce, 0.25f, 2.0f, 1020.00, 0.012)),
    QuoteOnly(Spot(24, "黄金/日元", "XAUJPY", 0, 7.45f, 100, Ounce, 30, 200, 139500, 0.013)),
    QuoteOnly(Spot(25, "黄金/澳元", "XAUAUD", 2, 6.5f, 100, Ounce, 0.3f, 2.0f, 1588.00, 0.012)),
    QuoteOnly(Spot(26, "黄金/欧元", "XAUEUR", 2, 8.2f, 100, Ounce, 0.25f, 2.0f, 1258.00, 0.012)),
    QuoteOnly(Spot(27, "黄金/瑞郎", "XAUCHF", 2, 6.8f, 100, Ounce, 0.25f, 2.0f, 1518.00, 0.012)),
    QuoteOnly(Spot(28, "黄金/加元", "XAUCAD", 2, 6.3f, 100, Ounce, 0.3f, 2.0f, 1635.00, 0.012)),
    WithLots(
        Futures(29, "沪金", "AU", 2, 10, 1000, Gram, 8, PerLot, 30, 0.05f, 0.5f, 338.00, 0.012), 1,
        100, 0, 300),
    Futures(30, "沪银", "AG", 0, 15, 15, Kilogram, 10, Proportional, 5, 1, 5, 6450, 0.018),
    WithLots(Futures(31, "股指", "IF", 1, 30, 300, Currency, 15, Proportional, 0.25f, 0.2f, 2.0f,
                     2450.0, 0.015),
             1, 20, 0, 100),
    Futures(32, "螺纹", "RB", 0, 10, 10, Ton, 9, Proportional, 1, 1, 5, 3700, 0.013),
    Futures(33, "PTA", "TA", 0, 5, 5, Ton, 8, PerLot, 6, 2, 10, 7800, 0.015),
    Futures(34, "塑料", "L", 0, 5, 5, Ton, 8, PerLot, 4, 5, 25, 10000, 0.013),
    Futures(35, "豆粕", "M", 0, 10, 10, Ton, 7, PerLot, 3, 1, 5, 3400, 0.014),
    Futures(36, "白糖", "SR", 0, 10, 10, Ton, 7, PerLot, 6, 1, 5, 5400, 0.013),
    Futures(37, "棕榈", "P", 0, 10, 10, Ton, 8, PerLot, 6, 2, 10, 5800, 0.016),
    Futures(38, "玉米", "C", 0, 10, 10, Ton, 6, PerLot, 2, 1, 3, 2450, 0.008),
    WithMargin(WithLots(Fx(39, "美元/人民币", "USDCNY", 4, 10, 0.0005f, 0.005f, 6.2300, 0.0015),
                        0.1f, 20, 1, 100),
               2),
    Futures(40, "沪铜", "CU", 0, 5, 5, Ton, 8, Proportional, 0.5f, 10, 50, 57000, 0.015),
    Futures(41, "橡胶", "RU", 0, 10, 10, Ton, 10, Proportional, 0.45f, 5, 25, 25000, 0.020),
    WithMargin(WithLots(Spot(42, "铜指", "CUI", 1, 3.125f, 5, Ton, 2.0f, 10.0f, 8000.0, 0.016),
                        0.1f, 20, 1, 100),
               5),
}};

}  // namespace

std::span<const InstrumentRules> Catalogue() {
    return kCatalogue;
}

const InstrumentRules* FindRules(std::int32_t id) {
    if (id < 1 || id > kInstrumentCount) return nullptr;
    return &kCatalogue[static_cast<std::size_t>(id - 1)];
}

double PriceScale(const InstrumentRules& rules) {
    return static_cast<double>(PowerOf10(rules.decimals));
}

std::int32_t ToScaled(const InstrumentRules& rules, double price) {
    return static_cast<std::int32_t>(std::llround(price * PriceScale(rules)));
}

double FromScaled(const InstrumentRules& rules, std::int32_t scaled) {
    return static_cast<double>(scaled) / PriceScale(rules);
}

InstrumentRecord MakeInstrumentRecord(const InstrumentRules& r) {
    InstrumentRecord rec;
    std::memset(&rec, 0, sizeof rec);
    rec.id = r.id;
    rec.decimals = r.decimals;
    rec.pointValue = r.pointValue;
    PutField(rec.name, sizeof rec.name, ToAnsi(r.name));
    PutField(rec.code, sizeof rec.code, ToAnsi(r.code));
    rec.lotSize = r.lotSize;
    rec.unitKind = r.unitKind;
    rec.minLots = r.minLots;
    rec.maxLots = r.maxLots;
    rec.lotDecimals = r.lotDecimals;
    rec.lotStep = r.lotStep;
    rec.maxPosition = r.maxPosition;
    rec.feeMethod = r.feeMethod;
    rec.feeValue = r.feeValue;
    rec.feeCollection = r.feeCollection;
    rec.marginMethod = r.marginMethod;
    rec.marginValue = r.marginValue;
    static_assert(offsetof(InstrumentRecord, reserved2) == kDeferralMethodOffset);
    std::memcpy(rec.reserved2, &r.deferralMethod, sizeof r.deferralMethod);
    rec.deferralValue = r.deferralValue;
    rec.buySpread = r.buySpread;
    rec.sellSpread = r.sellSpread;
    rec.pendingDistance = r.pendingDistance;
    rec.stopDistance = r.stopDistance;
    rec.tradable = r.tradable ? 1 : 0;
    return rec;
}

InstrumentRecord MakeInstrumentRecord(const InstrumentRules& rules, std::int32_t scaledClose) {
    InstrumentRecord rec = MakeInstrumentRecord(rules);
    const Quote q = QuoteAt(rec, scaledClose);
    rec.last = q.last;
    rec.ask = q.ask;
    rec.bid = q.bid;
    return rec;
}

const InstrumentRecord& RecordOf(const InstrumentRules& rules) {
    static const std::array<InstrumentRecord, kInstrumentCount> records = [] {
        std::array<InstrumentRecord, kInstrumentCount> all{};
        for (const InstrumentRules& r : Catalogue())
            all[static_cast<std::size_t>(r.id - 1)] = MakeInstrumentRecord(r);
        return all;
    }();
    return records[static_cast<std::size_t>(rules.id - 1)];
}

double NotionalValue(const InstrumentRules& rules, double price, double lots) {
    return RoundMoney(price * PriceScale(rules) * rules.pointValue * lots);
}

double MarginFor(const InstrumentRules& rules, double price, double lots) {
    return zq::MarginFor(RecordOf(rules), price, lots);
}

double SideFee(const InstrumentRules& rules, double price, double lots) {
    return zq::SideFee(RecordOf(rules), price, lots);
}

double ClosingFee(const InstrumentRules& rules, double price, double lots) {
    return rules.feeCollection == OneSide ? 0.0 : SideFee(rules, price, lots);
}

double DailyDeferral(const InstrumentRules& rules, double price, double lots) {
    // In exact decimal from the figures the record shows (a ratio of 0.02 as 0.02, the price in
    // whole points), then rounded to the fen, half a fen up, as the charges of the rule book.
    const Decimal amount = Decimal::FromFloat(rules.deferralValue) * Decimal::FromDouble(lots);
    const double points = price * PriceScale(rules);
    Decimal exact = amount;
    if (rules.deferralMethod == Proportional) {
        exact = std::isfinite(points) && std::abs(points) < 9.0e15
                    ? amount * Decimal::FromInt(std::llround(points)) *
                          Decimal::FromFloat(rules.pointValue) / Decimal::FromInt(100000)
                    : Decimal::Invalid();
    }
    if (exact.Valid()) return RoundMoney(exact.ToDouble());
    if (rules.deferralMethod != Proportional)
        return RoundMoney(static_cast<double>(rules.deferralValue) * lots);
    return RoundMoney(points * rules.pointValue * lots * rules.deferralValue / 100000.0);
}

}  // namespace zq::server
