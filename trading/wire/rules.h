// The trading rules, written once for the client's checks and quote update and the stand-in
// server's execution: the quote made from a market close, prices compared at the instrument's
// decimals, the stop-loss, take-profit, pending-order and margin-call triggers, the lot rules,
// the stop and pending distances, and the money an order needs against the money the account
// shows. Both sides take every rule from here, so a trader who sees a level reached, a lot
// accepted or a distance kept sees what the server does.
//
// Prices are compared as whole price points (price x 10^decimals, rounded): a single-precision
// bid of 1654.8199 and a stored take-profit of 1654.82 are both 165482 points, which is what the
// screen shows.
#pragma once

#include <cstdint>

#include "trading/wire/decimal.h"
#include "trading/wire/records.h"

namespace zq {

// The instruments the server trades and quotes, ids 1..42.
inline constexpr int kInstrumentCount = 42;

// When occupied margin is positive and the risk rate (equity x 100 / occupied margin) falls to
// this percentage, the server liquidates and the client reloads its positions.
inline constexpr float kMarginCallLevel = 30.0f;

// 10^exponent as a whole number; the exponent is held to 0..18.
std::int64_t PowerOf10(int exponent);
// 10^exponent in single precision by repeated squaring (a negative exponent gives the
// reciprocal), as the client scales prices.
float PowerOfTen(int exponent);

// --- Quotes ---

// Last, ask and bid of an instrument from a market close scaled by 10^decimals, in single
// precision: last = close / 10^decimals, ask = last + buy spread, bid = last - sell spread.
struct Quote {
    float last = 0;
    float ask = 0;
    float bid = 0;
};
Quote QuoteAt(const InstrumentRecord& r, std::int32_t scaledClose);

// A price in whole points of its instrument (price x 10^decimals, to the nearest point).
std::int64_t PricePoints(double price, int decimals);
// A price at the instrument's decimals, exactly: what the screen shows of it.
Decimal PriceAt(double price, int decimals);

// --- Triggers, each at the instrument's decimals ---

// What the quote sets off for an open position (0 stops are none): a buy closes at the bid, a
// sell at the ask; the take-profit is looked at before the stop-loss.
enum class StopHit { None, TakeProfit, StopLoss };
StopHit StopHitAt(std::int32_t direction, double stopLoss, double takeProfit, const Quote& q,
                  int decimals);
// Whether a waiting order's trigger is reached: a buy waits on the ask, a sell on the bid.
bool PendingDue(std::int32_t direction, std::int32_t triggerKind, double price, const Quote& q,
                int decimals);
// The trigger kind of a pending order at `price` against the market `quoted` (the ask of a buy,
// the bid of a sell): it waits for the market to come to its price.
std::int32_t TriggerFor(std::int32_t direction, const Decimal& price, const Decimal& quoted);
// Whether the account stands at the margin-call level: occupied margin above 0 and
// equity x 100 <= level x occupied, exactly.
bool MarginCallDue(const Decimal& equity, const Decimal& occupied);

// --- Lots ---

// The quantity every order must be a multiple of: lot step / 10^lot decimals; 0 (no multiple)
// for an instrument without a lot step.
float LotMultiple(const InstrumentRecord& r);

// Lots as a request carries them, read exactly: the double's 15 significant digits, or, when
// those are off the lot step and the double is a widened float (0.3f travels as 0.30000001192),
// the float's 7. So 0.3 typed into a single-precision field is 0.3, and a double is never
// rounded onto the step.
enum class LotVerdict { Allowed, OutOfBounds, OffStep };
struct LotCheck {
    LotVerdict verdict = LotVerdict::OutOfBounds;
    Decimal lots;  // the lots as read
};
// Within [min lots, max lots], then a whole multiple of LotMultiple.
LotCheck CheckLots(const InstrumentRecord& r, double lots);
// A quantity (not bound by the order limits, as a part of a position to close) on the lot
// step; the quantity as read, or an invalid value when it is off the step.
Decimal LotsOnStep(const InstrumentRecord& r, double lots);
// A quantity in whole units of 10^-lot decimals lots.
std::int64_t LotUnits(const InstrumentRecord& r, double lots);

// --- Distances ---

Decimal StopDistance(const InstrumentRecord& r);
Decimal PendingDistance(const InstrumentRecord& r);
// Stop-loss and take-profit (0 or less = none) at least `distance` from `price` on the proper
// side: buy price - stop-loss and take-profit - price, sell the other way round; exactly the
// distance is enough.
bool StopsClear(std::int32_t direction, const Decimal& price, const Decimal& stopLoss,
                const Decimal& takeProfit, const Decimal& distance);
// A pending price at least the pending distance from the market as shown (exactly the distance
// is enough).
bool PendingClear(const Decimal& price, const Decimal& market, const Decimal& distance);

// --- Money ---

// Money rounded to the fen, half a fen up (away from zero), in exact decimal: the figure is
// the decimal its 15 significant digits stand for, so 66.225 is 66.23 although its double lies
// just below.
double RoundMoney(double yuan);
// The margin of `lots` at `price` (proportional: the notional value x percent / 100; per lot:
// the amount x lots) and the fee of one side (proportional: ratio x 10000; per lot), each
// rounded to the fen.
double MarginFor(const InstrumentRecord& r, double price, double lots);
double SideFee(const InstrumentRecord& r, double price, double lots);
// What the account shows as available margin: free funds + floating profit/loss.
Decimal AvailableMargin(const Decimal& freeFunds, const Decimal& floating);
// Whether the available margin covers an order's margin and opening fee, at the fen.
bool FundsCover(const Decimal& available, double margin, double fee);

}  // namespace zq
