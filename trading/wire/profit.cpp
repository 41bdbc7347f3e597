#include "trading/wire/profit.h"

namespace zq {

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

Decimal ProfitAt(const PositionRecord& p, const Decimal& bid, const Decimal& ask,
                 const Decimal& power, const Decimal& pointValue) {
    Decimal open = Decimal::FromDouble(p.openPrice);
    Decimal diff = p.direction == direction::Buy ? bid - open : open - ask;
    return diff * power * pointValue * Decimal::FromDouble(p.heldQuantity);
}

Decimal PositionProfit(const PositionRecord& position, const InstrumentRecord& instrument) {
    return ProfitAt(position, Decimal::FromFloat(instrument.bid),
                    Decimal::FromFloat(instrument.ask),
                    Decimal::FromFloat(PowerOfTen(instrument.decimals)),
                    Decimal::FromFloat(instrument.pointValue));
}

}  // namespace zq
