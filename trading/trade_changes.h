// Changing what is already traded, without windows: new stops of a position
// (`cmd::ModifyPosition`), a close at the market (18), a changed pending order (14), a deleted one
// (15), and the programmatic trading switch (53); the bounds the dialogs show, their checks, the
// requests, the answers as the user reads them, and the reloads after a success.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "base/ui_bridge.h"
#include "trading/model.h"
#include "trading/wire/decimal.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace zq {

inline constexpr const char* kProgrammaticRecordText = "无法修改程序化交易订单";
inline constexpr const char* kInvalidStopsText = "止损或盈利无效";
inline constexpr const char* kModifyFailedText = "修改失败，操作已取消";
inline constexpr const char* kCloseFailedText = "平仓失败，操作已取消";
inline constexpr const char* kBadOrderPriceText = "价格错误";
inline constexpr const char* kDeleteFailedText = "删除失败，请检查网络";
inline constexpr const char* kDeleteDoneOrderText = "无法删除已经完成的订单";
inline constexpr const char* kDeleteQuestionFormat = "确认删除订单[%s]？";

// "买" for a buy, "卖" otherwise.
std::string DirectionText(std::int32_t direction);
// A quantity with the instrument's lot decimals.
std::string QuantityDisplay(const InstrumentRecord& r, double quantity);

// --- An open position: new stops, or a close at the market. ---

// The bounds the stops dialog shows (A ask, B bid, D stop distance): a buy's stop-loss must stay
// at or below A − D and its take-profit at or above A + D; a sell's at or above B + D and at or
// below B − D.
struct StopBounds {
    double stopLoss = 0;
    double takeProfit = 0;
};
StopBounds PositionStopBounds(const InstrumentRecord& r, std::int32_t direction);
// The price a close trades at: the bid for a buy position, the ask for a sell.
double ClosingPrice(const InstrumentRecord& r, std::int32_t direction);

// "止损或盈利无效" when a stop (0 = none) lies beyond its bound: for a buy S > SB or T < TB, for
// a sell S < SB or T > TB. `stopBound` and `takeBound` are the displayed bounds read back.
std::optional<std::string> StopsBeyondBounds(std::int32_t direction, const Decimal& stopLoss,
                                             const Decimal& takeProfit, const Decimal& stopBound,
                                             const Decimal& takeBound);

// `cmd::ModifyPosition` on a connection of its own, then: an answer carrying a ticket replaces that
// position in the model (an answer cut short reloads the positions on a connection of its own
// instead), lays the chart out again and plays the trade sound (true); an answer without one
// shows "止损或盈利无效" (false). A failed send shows "修改失败，操作已取消".
bool ModifyPositionStops(WindowHandle owner, TradingModel& model, const PositionRecord& position,
                         float stopLoss, float takeProfit);

// The 256-byte close request.
PendingOrderRecord CloseRequest(const PositionRecord& position, double quantity, double price,
                                double deviation);
// The user's reading of an answer of `cmd::ClosePosition` other than 1.
std::string CloseResultText(std::int32_t code);
// `cmd::ClosePosition` on a connection of its own; answer 1 reloads the positions on it (with the
// sound and the chart) before it closes. True for answer 1; every failure has shown its message.
bool ClosePosition(WindowHandle owner, TradingModel& model, const PendingOrderRecord& request);

// --- A waiting pending order: changed, or deleted. ---

// The displays of the order dialog (A, B, G pending distance, D stop distance, P the price):
// the band the price must stay out of, the stop bounds around P.
struct OrderBounds {
    double lowerEdge = 0;   // A − G (buy), B − G (sell)
    double upperEdge = 0;   // A + G, B + G
    double stopLoss = 0;    // P − D (buy), P + D (sell)
    double takeProfit = 0;  // P + D, P − D
};
OrderBounds PendingOrderBounds(const InstrumentRecord& r, std::int32_t direction, double price);

// What the order dialog read on submit; the four displays as their texts read back.
struct OrderChange {
    double lots = 0;  // as typed, exactly
    Decimal price, stopLoss, takeProfit;
    Decimal lowerEdge, upperEdge, stopBound, takeBound;
    int validityIndex = 0;  // 0 "当日有效", 1 "当周有效"
};
// The request, or the message of the first check that fails: the lot rules, a price of 0 or
// inside the band (edges accepted) "价格错误", stops beyond their bounds.
using OrderChangeCheck = std::variant<std::string, PendingOrderRecord>;
OrderChangeCheck CheckOrderChange(const InstrumentRecord& r, const PendingOrderRecord& order,
                                  const OrderChange& change);
std::string ModifyOrderResultText(std::int32_t code);
// `cmd::ModifyPending`; answer 1 reloads the orders and the account on the same connection.
bool ModifyPendingOrder(WindowHandle owner, TradingModel& model, const PendingOrderRecord& request);

// What a delete request (`cmd::DeletePending`) carries: the chart's order menu sends the first 30
// bytes of the order's record (number, padding, instrument, two bytes of the name); the report page
// sends the order number alone, in GBK, zero-padded and cut at 30 bytes.
enum class DeletePayload { RecordBytes, NumberOnly };
std::array<char, kDeleteOrderRequestSize> DeleteRequest(const PendingOrderRecord& order,
                                                        DeletePayload payload);

// The whole delete of a pending order: the programmatic and status refusals, the question, the
// request (`cmd::DeletePending`) and, for answer 1, the reloads. True when the order was deleted.
bool DeletePendingOrder(WindowHandle owner, TradingModel& model, const PendingOrderRecord& order,
                        DeletePayload payload = DeletePayload::RecordBytes);

// --- Programmatic trading. ---

// The message when the available margin is below what the member's class asks for the switch
// (class 8: 300000, 2: 200000, 4: 100000; others none).
std::optional<std::string> ProgramTradingMarginRefusal(std::int32_t accountClass,
                                                       double availableMargin);
// `cmd::SaveProgramTrading` with the switch's state; the one-byte answer above 0 stores it, and
// then the session's flag follows. False, with no message, when the server did not store it (a
// failed connection shows its message).
bool SaveProgramTrading(WindowHandle owner, bool enabled);

}  // namespace zq
