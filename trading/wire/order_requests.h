// The requests that open, change, close and delete trades, byte for byte as they travel on the
// request port, and the answer codes of an opening order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

#pragma pack(push, 1)

// Payload of `cmd::OpenOrder`: a market order (kind 1) or a pending order (kind 2).
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

// Payload of `cmd::ModifyPosition`: new stops of an open position (0 = none). The answer is the
// position as it now stands (272 bytes); an empty ticket means the change was refused.
struct ModifyStopsRequest {
    char ticket[24];  // NUL-terminated, zero-padded
    float stopLoss;
    float takeProfit;
};

// Payload of `cmd::SaveProgramTrading`: the programmatic trading settings.
struct ProgramTradingRequest {
    char zero[50];
    std::int32_t riskLimit1;  // percent, always 30
    std::int32_t riskLimit2;  // percent, always 30
    std::int32_t enabled;     // 1 on, 0 off
};

// `cmd::ClosePosition` (close a position at the market) travels in the 256-byte PendingOrderRecord
// layout, zero except: instrument (24), the closing trade's direction (72: 2 closes a buy, 1 a
// sell), quantity (80), the closing price shown (88), the allowed deviation in the stop-loss
// double (96; 0 = any), the position's ticket in relatedPosition (152) and validity 0 (176).
// `cmd::ModifyPending` (modify a pending order) sends the order's record with new quantity, price,
// stops and validity; `cmd::DeletePending` (delete it) sends the record's first 30 bytes.
inline constexpr std::size_t kDeleteOrderRequestSize = 30;

#pragma pack(pop)

static_assert(sizeof(ModifyStopsRequest) == 32);
static_assert(offsetof(ModifyStopsRequest, ticket) == 0);
static_assert(offsetof(ModifyStopsRequest, stopLoss) == 24);
static_assert(offsetof(ModifyStopsRequest, takeProfit) == 28);
static_assert(sizeof(ProgramTradingRequest) == 62);
static_assert(offsetof(ProgramTradingRequest, riskLimit1) == 50);
static_assert(offsetof(ProgramTradingRequest, riskLimit2) == 54);
static_assert(offsetof(ProgramTradingRequest, enabled) == 58);

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

// The int32 answer of `cmd::OpenOrder`.
namespace order_result {
constexpr std::int32_t Done = 1;
constexpr std::int32_t PriceMoved = 2;       // the market left the allowed deviation
constexpr std::int32_t NoMargin = 3;         // free funds do not cover margin and fee
constexpr std::int32_t PendingTooClose = 4;  // limit price within the pending distance
constexpr std::int32_t StopsTooClose = 5;    // a stop within the stop distance of the price
constexpr std::int32_t MarketClosed = 6;
constexpr std::int32_t InvalidPrice = 7;
}  // namespace order_result

// The int32 answer of `cmd::ClosePosition` (close a position).
namespace close_result {
constexpr std::int32_t Done = 1;
constexpr std::int32_t PriceMoved = 2;
constexpr std::int32_t NoMargin = 3;
constexpr std::int32_t InvalidPrice = 4;
constexpr std::int32_t InvalidStops = 5;
constexpr std::int32_t MarketClosed = 6;
}  // namespace close_result

// The int32 answer of `cmd::ModifyPending` (modify a pending order). The user reads 2 as
// "价格已经变动， 请重新下单" and 6 as "无效价格", as 4.
namespace modify_order_result {
constexpr std::int32_t Done = 1;
constexpr std::int32_t NotWaiting = 2;  // filled, cancelled or gone meanwhile
constexpr std::int32_t NoMargin = 3;
constexpr std::int32_t InvalidPrice = 4;
constexpr std::int32_t InvalidStops = 5;
constexpr std::int32_t MarketClosed = 6;
}  // namespace modify_order_result

}  // namespace zq
