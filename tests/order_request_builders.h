// Command 11, 13 and 18 requests as the order tests send them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

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

// Command 13: new stops of the position `ticket`.
inline ModifyStopsRequest StopsRequest(const std::string& ticket, float stopLoss,
                                       float takeProfit) {
    ModifyStopsRequest r{};
    std::strncpy(r.ticket, ticket.c_str(), sizeof r.ticket - 1);
    r.stopLoss = stopLoss;
    r.takeProfit = takeProfit;
    return r;
}

// Command 18 for the position `ticket` of `positionDirection`: the closing trade goes the
// other way; `deviation` 0 takes any price.
inline PendingOrderRecord CloseRequest(std::int32_t instrument, std::int32_t positionDirection,
                                       const std::string& ticket, double lots, double price,
                                       double deviation = 0) {
    PendingOrderRecord r{};
    r.instrument = instrument;
    r.direction = positionDirection == direction::Buy ? direction::Sell : direction::Buy;
    r.quantity = lots;
    r.price = price;
    r.stopLoss = deviation;
    std::strncpy(r.relatedPosition, ticket.c_str(), sizeof r.relatedPosition - 1);
    return r;
}

}  // namespace zq::test
