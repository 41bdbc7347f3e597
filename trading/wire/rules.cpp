#include "trading/wire/rules.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace zq {
namespace {

// Fee and margin methods: 1 proportional to the notional value, otherwise an amount per lot.
constexpr std::int32_t kProportional = 1;

// Money in whole fen, for exact comparisons of figures rounded to the fen.
std::int64_t Fen(double yuan) {
    return std::llround(yuan * 100.0);
}

// An exact amount rounded to the fen, half a fen up (away from zero); nothing when it is not a
// valid number.
std::optional<double> RoundFen(const Decimal& yuan) {
    const Decimal fen = yuan * Decimal::FromInt(100);
    if (!fen.Valid()) return std::nullopt;
    const std::string text = Abs(fen).ToString();
    const std::size_t point = text.find('.');
    // Beyond 17 digits of fen the whole part would not fit the count below (and no money of
    // this program comes near): the double's rounding stands.
    if (std::min(point, text.size()) > 17) return std::nullopt;
    std::int64_t whole = std::stoll(text.substr(0, point));
    if (point != std::string::npos && point + 1 < text.size() && text[point + 1] >= '5') ++whole;
    const double magnitude = (Decimal::FromInt(whole) / Decimal::FromInt(100)).ToDouble();
    return fen.IsNegative() ? -magnitude : magnitude;
}

Decimal ReadLots(const InstrumentRecord& r, double lots);

// A charge by its method: proportional values are the notional value times value / divisor.
// Computed in exact decimal from the figures as the record and the screen show them: the
// price in whole price points, the lots on their step, the float value 0.03 as 0.03; so a
// charge of exactly half a fen rounds up.
double Charge(const InstrumentRecord& r, std::int32_t method, float value, double divisor,
              double price, double lots) {
    const double points = price * static_cast<double>(PowerOf10(r.decimals));
    std::optional<double> exact;
    if (std::isfinite(points) && std::isfinite(lots) && std::abs(points) < 9.0e15) {
        const Decimal amount = Decimal::FromFloat(value) * ReadLots(r, lots);
        exact = method == kProportional
                    ? RoundFen(amount * Decimal::FromInt(std::llround(points)) *
                               Decimal::FromFloat(r.pointValue) /
                               Decimal::FromInt(static_cast<std::int64_t>(divisor)))
                    : RoundFen(amount);
    }
    if (exact) return *exact;
    return RoundMoney(method == kProportional ? points * r.pointValue * lots * value / divisor
                                              : static_cast<double>(value) * lots);
}

bool OnStep(const InstrumentRecord& r, const Decimal& lots) {
    const float multiple = LotMultiple(r);
    if (!(multiple > 0.0f)) return lots.Valid();
    const Decimal steps = lots / Decimal::FromFloat(multiple);
    return steps.Valid() && steps.Normalized().Scale() == 0;
}

// The exact reading of a double's lots, or the float's when that alone is on the step.
Decimal ReadLots(const InstrumentRecord& r, double lots) {
    const Decimal exact = Decimal::FromDouble(lots);
    if (OnStep(r, exact)) return exact;
    const float narrow = static_cast<float>(lots);
    if (static_cast<double>(narrow) == lots) {
        const Decimal widened = Decimal::FromFloat(narrow);
        if (OnStep(r, widened)) return widened;
    }
    return exact;
}

}  // namespace

std::int64_t PowerOf10(int exponent) {
    std::int64_t p = 1;
    for (int i = 0, n = std::clamp(exponent, 0, 18); i < n; ++i) p *= 10;
    return p;
}

float PowerOfTen(int exponent) {
    unsigned n =
        exponent < 0 ? 0u - static_cast<unsigned>(exponent) : static_cast<unsigned>(exponent);
    float result = 1.0f, base = 10.0f;
    while (n != 0) {
        if (n & 1u) result *= base;
        n >>= 1;
        if (n != 0) base *= base;
    }
    return exponent < 0 ? 1.0f / result : result;
}

Quote QuoteAt(const InstrumentRecord& r, std::int32_t scaledClose) {
    Quote q;
    q.last = static_cast<float>(scaledClose) / PowerOfTen(r.decimals);
    q.ask = q.last + r.buySpread;
    q.bid = q.last - r.sellSpread;
    return q;
}

std::int64_t PricePoints(double price, int decimals) {
    const double points = price * static_cast<double>(PowerOf10(decimals));
    // Beyond what a price can be the comparison saturates rather than overflows.
    constexpr double kLimit = 9.0e18;
    if (!(points < kLimit)) return points > 0 ? static_cast<std::int64_t>(kLimit) : 0;
    if (!(points > -kLimit)) return -static_cast<std::int64_t>(kLimit);
    return std::llround(points);
}

Decimal PriceAt(double price, int decimals) {
    // The same power of ten as PricePoints: the exponent held to 0..18.
    return Decimal::FromScaled(PricePoints(price, decimals), std::clamp(decimals, 0, 18));
}

StopHit StopHitAt(std::int32_t direction, double stopLoss, double takeProfit, const Quote& q,
                  int decimals) {
    const bool buy = direction == direction::Buy;
    const std::int64_t closing = PricePoints(buy ? q.bid : q.ask, decimals);
    if (takeProfit > 0) {
        const std::int64_t level = PricePoints(takeProfit, decimals);
        if (buy ? closing >= level : closing <= level) return StopHit::TakeProfit;
    }
    if (stopLoss > 0) {
        const std::int64_t level = PricePoints(stopLoss, decimals);
        if (buy ? closing <= level : closing >= level) return StopHit::StopLoss;
    }
    return StopHit::None;
}

bool PendingDue(std::int32_t direction, std::int32_t triggerKind, double price, const Quote& q,
                int decimals) {
    const std::int64_t level = PricePoints(price, decimals);
    if (direction == direction::Buy) {
        const std::int64_t ask = PricePoints(q.ask, decimals);
        return (triggerKind == trigger::BuyAskFalls && ask <= level) ||
               (triggerKind == trigger::BuyAskRises && ask >= level);
    }
    const std::int64_t bid = PricePoints(q.bid, decimals);
    return (triggerKind == trigger::SellBidRises && bid >= level) ||
           (triggerKind == trigger::SellBidFalls && bid <= level);
}

std::int32_t TriggerFor(std::int32_t direction, const Decimal& price, const Decimal& quoted) {
    if (direction == direction::Buy)
        return price < quoted ? trigger::BuyAskFalls : trigger::BuyAskRises;
    return price > quoted ? trigger::SellBidRises : trigger::SellBidFalls;
}

bool MarginCallDue(const Decimal& equity, const Decimal& occupied) {
    if (!(occupied > Decimal())) return false;
    static const Decimal hundred = Decimal::FromInt(100);
    static const Decimal level = Decimal::FromFloat(kMarginCallLevel);
    return equity * hundred <= level * occupied;
}

float LotMultiple(const InstrumentRecord& r) {
    return r.lotStep / PowerOfTen(r.lotDecimals);
}

LotCheck CheckLots(const InstrumentRecord& r, double lots) {
    LotCheck c;
    c.lots = ReadLots(r, lots);
    if (!(c.lots >= Decimal::FromFloat(r.minLots)) || !(c.lots <= Decimal::FromInt(r.maxLots))) {
        c.verdict = LotVerdict::OutOfBounds;
    } else {
        c.verdict = OnStep(r, c.lots) ? LotVerdict::Allowed : LotVerdict::OffStep;
    }
    return c;
}

Decimal LotsOnStep(const InstrumentRecord& r, double lots) {
    const Decimal read = ReadLots(r, lots);
    return OnStep(r, read) ? read : Decimal::Invalid();
}

std::int64_t LotUnits(const InstrumentRecord& r, double lots) {
    return std::llround(lots * static_cast<double>(PowerOf10(r.lotDecimals)));
}

Decimal StopDistance(const InstrumentRecord& r) {
    return Decimal::FromFloat(r.stopDistance);
}

Decimal PendingDistance(const InstrumentRecord& r) {
    return Decimal::FromFloat(r.pendingDistance);
}

bool StopsClear(std::int32_t direction, const Decimal& price, const Decimal& stopLoss,
                const Decimal& takeProfit, const Decimal& distance) {
    const bool buy = direction == direction::Buy;
    const Decimal zero;
    if (stopLoss > zero && (buy ? price - stopLoss : stopLoss - price) < distance) return false;
    if (takeProfit > zero && (buy ? takeProfit - price : price - takeProfit) < distance)
        return false;
    return true;
}

bool PendingClear(const Decimal& price, const Decimal& market, const Decimal& distance) {
    return !(Abs(price - market) < distance);
}

double RoundMoney(double yuan) {
    const double fen = yuan * 100.0;
    const double rounded = std::round(fen);
    // Away from a half fen the double's rounding is the exact one; near a half the figure is
    // taken as the decimal its 15 significant digits stand for.
    const double nearHalf = 1e-9 + std::abs(fen) * 1e-13;
    if (!std::isfinite(fen) || std::abs(std::abs(fen - rounded) - 0.5) > nearHalf)
        return rounded / 100.0;
    return RoundFen(Decimal::FromDouble(yuan)).value_or(rounded / 100.0);
}

double MarginFor(const InstrumentRecord& r, double price, double lots) {
    return Charge(r, r.marginMethod, r.marginValue, 100.0, price, lots);
}

double SideFee(const InstrumentRecord& r, double price, double lots) {
    return Charge(r, r.feeMethod, r.feeValue, 10000.0, price, lots);
}

Decimal AvailableMargin(const Decimal& freeFunds, const Decimal& floating) {
    return floating + freeFunds;
}

bool FundsCover(const Decimal& available, double margin, double fee) {
    return available.Valid() && Fen(available.ToDouble()) >= Fen(margin) + Fen(fee);
}

}  // namespace zq
