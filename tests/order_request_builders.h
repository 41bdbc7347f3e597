// Command 11 requests as the order tests send them.
#pragma once

#include <cstdint>

#include "trading/wire/order_requests.h"

namespace zq::test {

inline OpenOrderRequest MarketRequest(std::int32_t instrument, std::int32_t direction, float lots,
                                      float price, float stopLoss = 0, float takeProfit = 0) {
    OpenOrderRequest r{};
    r.instrument = instrument;
    r.direction = direction;
    r.lots = lots;
    r.price = price;
    r.stopLoss = stopLoss;
    r.takeProfit = takeProfit;
    r.orderKind = order_kind::Market;
    return r;
}

// Validity 2 is "当周有效".
inline OpenOrderRequest PendingRequest(std::int32_t instrument, std::int32_t direction, float lots,
                                       float price, float stopLoss = 0, float takeProfit = 0,
                                       std::int32_t validity = 2) {
    OpenOrderRequest r = MarketRequest(instrument, direction, lots, price, stopLoss, takeProfit);
    r.orderKind = order_kind::Pending;
    r.validity = validity;
    return r;
}

}  // namespace zq::test
