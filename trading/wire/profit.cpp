#include "trading/wire/profit.h"

namespace zq {

Decimal ProfitAt(const PositionRecord& p, const Decimal& bid, const Decimal& ask,
                 const Decimal& power, const Decimal& pointValue) {
    Decimal open = Decimal::FromDouble(p.openPrice);
    Decimal diff = p.direction == direction::Buy ? bid - open : open - ask;
    return diff * power * pointValue * Decimal::FromDouble(p.heldQuantity);
}

Decimal PositionProfit(const PositionRecord& position, const InstrumentRecord& instrument) {
    return ProfitAt(position, PriceAt(instrument.bid, instrument.decimals),
                    PriceAt(instrument.ask, instrument.decimals),
                    Decimal::FromFloat(PowerOfTen(instrument.decimals)),
                    Decimal::FromFloat(instrument.pointValue));
}

}  // namespace zq
