// The floating profit/loss of a position, computed the same way by the client's account
// figures and the stand-in server's settlement.
#pragma once

#include <cstdint>

#include "trading/wire/decimal.h"
#include "trading/wire/records.h"
#include "trading/wire/rules.h"

namespace zq {

// (bid - open) x 10^decimals x point value x held for a buy, (open - ask) x ... for a sell,
// with every figure already in exact decimal form.
Decimal ProfitAt(const PositionRecord& position, const Decimal& bid, const Decimal& ask,
                 const Decimal& power, const Decimal& pointValue);

// Floating profit/loss of one position at its instrument's current bid (buy) or ask (sell) as
// shown (at the instrument's decimals), exact: (bid - open price) x 10^decimals x point value x
// held quantity for a buy, (open price - ask) x ... for a sell. Invalid when the figures cannot be
// represented.
Decimal PositionProfit(const PositionRecord& position, const InstrumentRecord& instrument);

}  // namespace zq
