// The 42 instruments the server trades and quotes: their names, trading rules and the figures
// of the simulated market (opening price and daily volatility). The table is fixed at build
// time; docs/server.md lists it in full.
//
// Money is in yuan. A price is a real number with `decimals` decimals; on the market side it
// travels as an integer scaled by 10^decimals. One price point (10^-decimals) of one lot is
// worth `pointValue` yuan, so a lot at price p is worth p x 10^decimals x pointValue yuan (its
// notional value), and a move of the price by d is worth d x 10^decimals x pointValue yuan.
#pragma once

#include <cstdint>
#include <span>

#include "trading/wire/records.h"
#include "trading/wire/rules.h"

namespace zq::server {

namespace unit_kind {
constexpr std::int32_t Gram = 1;
constexpr std::int32_t Ounce = 2;
constexpr std::int32_t Kilogram = 3;
constexpr std::int32_t Currency = 4;
constexpr std::int32_t Ton = 5;
}  // namespace unit_kind

// Fee, margin and deferral methods: 1 proportional to the notional value, 2 an amount per lot.
namespace charge_method {
constexpr std::int32_t Proportional = 1;
constexpr std::int32_t PerLot = 2;
}  // namespace charge_method

// Fee collection: 1 at opening only, 2 at opening and again at closing.
namespace fee_collection {
constexpr std::int32_t OneSide = 1;
constexpr std::int32_t BothSides = 2;
}  // namespace fee_collection

struct InstrumentRules {
    std::int32_t id;
    const char* name;  // UTF-8
    const char* code;
    std::int32_t decimals;
    float pointValue;  // yuan per price point and lot
    std::int32_t lotSize;
    std::int32_t unitKind;
    float minLots;
    std::int32_t maxLots;
    std::int32_t lotDecimals;
    float lotStep;  // in units of 10^-lotDecimals lots
    std::int32_t maxPosition;
    std::int32_t feeMethod;
    float feeValue;  // proportional: ratio x 10000; per lot: yuan
    std::int32_t feeCollection;
    std::int32_t marginMethod;
    float marginValue;  // proportional: percent; per lot: yuan
    std::int32_t deferralMethod;
    float deferralValue;  // proportional: ratio x 100000 a day; per lot: yuan a day
    float buySpread;
    float sellSpread;
    float pendingDistance;
    float stopDistance;
    bool tradable;
    // The simulated market.
    double openingPrice;
    double dailyVolatility;  // standard deviation of one day's relative move
};

// All instruments, by id 1..42 in order.
std::span<const InstrumentRules> Catalogue();
// The rules of one instrument; null for an id outside 1..42.
const InstrumentRules* FindRules(std::int32_t id);

// 10^decimals as a double (exact for the decimals used here).
double PriceScale(const InstrumentRules& rules);
// A real price as the market's scaled integer, and back.
std::int32_t ToScaled(const InstrumentRules& rules, double price);
double FromScaled(const InstrumentRules& rules, std::int32_t scaled);

// The instrument record as the server sends it (command 1), without prices.
InstrumentRecord MakeInstrumentRecord(const InstrumentRules& rules);
// The same, made once per instrument: what the shared trading rules read.
const InstrumentRecord& RecordOf(const InstrumentRules& rules);
// The same with last, ask and bid set from the market's scaled close, computed the way the
// client computes them from a market record (single precision).
InstrumentRecord MakeInstrumentRecord(const InstrumentRules& rules, std::int32_t scaledClose);
// The deferral method travels in the 4 bytes at offset 168 of the record.
inline constexpr std::size_t kDeferralMethodOffset = 168;

// Money figures of a position or order, in yuan, rounded to the fen.
double NotionalValue(const InstrumentRules& rules, double price, double lots);
double MarginFor(const InstrumentRules& rules, double price, double lots);
// The fee of one side (opening, or closing when both sides are charged).
double SideFee(const InstrumentRules& rules, double price, double lots);
double ClosingFee(const InstrumentRules& rules, double price, double lots);  // 0 for one side
double DailyDeferral(const InstrumentRules& rules, double price, double lots);

}  // namespace zq::server
