// The requests that open, change, close and delete trades, byte for byte as they travel on the
// request port, and the answer codes of an opening order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

#pragma pack(push, 1)

// Payload of command 11: a market order (kind 1) or a pending order (kind 2).
struct OpenOrderRequest {
    std::int32_t instrument;
    float price;       // market: the displayed ask (buy) or bid (sell); pending: the limit price
    float stopLoss;    // 0 = none
    float takeProfit;  // 0 = none
    float lots;
    std::int32_t orderKind;  // see order_kind
    std::int32_t direction;  // 1 buy, 2 sell
    std::int32_t validity;   // market 0; pending 1 "当日有效", 2 "当周有效"
    float deviation;         // market: allowed distance of the fill from the price; 0 = any
};

#pragma pack(pop)

static_assert(sizeof(OpenOrderRequest) == 36);
static_assert(offsetof(OpenOrderRequest, instrument) == 0);
static_assert(offsetof(OpenOrderRequest, price) == 4);
static_assert(offsetof(OpenOrderRequest, stopLoss) == 8);
static_assert(offsetof(OpenOrderRequest, takeProfit) == 12);
static_assert(offsetof(OpenOrderRequest, lots) == 16);
static_assert(offsetof(OpenOrderRequest, orderKind) == 20);
static_assert(offsetof(OpenOrderRequest, direction) == 24);
static_assert(offsetof(OpenOrderRequest, validity) == 28);
static_assert(offsetof(OpenOrderRequest, deviation) == 32);

namespace order_kind {
constexpr std::int32_t Market = 1;
constexpr std::int32_t Pending = 2;
}  // namespace order_kind

// The int32 answer of command 11.
namespace order_result {
constexpr std::int32_t Done = 1;
constexpr std::int32_t PriceMoved = 2;       // the market left the allowed deviation
constexpr std::int32_t NoMargin = 3;         // free funds do not cover margin and fee
constexpr std::int32_t PendingTooClose = 4;  // limit price within the pending distance
constexpr std::int32_t StopsTooClose = 5;    // a stop within the stop distance of the price
constexpr std::int32_t MarketClosed = 6;
constexpr std::int32_t InvalidPrice = 7;
}  // namespace order_result

}  // namespace zq
