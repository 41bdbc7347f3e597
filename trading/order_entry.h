// The rules of the two order-entry dialogs, without their windows: the lot rules, the stop rule,
// the band of a pending order's price, the range and band texts, the checks of a submission in
// their order, and the answer of `cmd::OpenOrder` as the user reads it.
//
// Prices and quantities are compared in exact decimal arithmetic, so that a distance exactly at
// the limit is the limit (1765.30 − 1764.80 is 0.5, not 0.49999…).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/ui_bridge.h"
#include "trading/wire/decimal.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"
#include "trading/wire/rules.h"

namespace zq {

inline constexpr const char* kProgramTradingRefusalText = "程序化交易运行中，无法进行订单操作";
inline constexpr const char* kChooseInstrumentText = "请选择商品";
inline constexpr const char* kBadLotsText = "交易手数不合法，请修改后重试";
inline constexpr const char* kLotMultipleFormat = "交易手数必须是%g的倍数";
inline constexpr const char* kNegativeDeviationText = "允许的交易点差不能小于零";
inline constexpr const char* kInvalidPriceText = "无效价格";
inline constexpr const char* kStopsTooCloseFormat = "止损或盈利必须远离建仓价%g元";
inline constexpr const char* kPendingBandFormat = "挂单价必须小于%g或者大于%g";
inline constexpr const char* kRangeFormat = "(可填范围%g-%d)";

// A number as the dialogs read their texts (the leading number of widgets/number_text.h), exact;
// 0 for an empty text, one that does not start with a number, or one too large to reckon with.
Decimal ReadNumber(std::string_view text);
// The same in single precision, as lots travel.
float ReadFloat(std::string_view text);

// The instrument's price with its decimals, the way the dialogs show it.
std::string PriceDisplay(const InstrumentRecord& r, double price);
// "(可填范围%g-%d)" with the minimum and maximum lots.
std::string LotRangeText(const InstrumentRecord& r);

// The lots spin counts in units of 10^-lot decimals: its range and step factor, and the lots
// edit's integer texts for the minimum (on opening) and the maximum ("最大").
struct LotSpin {
    int lower = 0;
    int upper = 0;
    int stepFactor = 1;
    std::string minimumText;  // "%g" of min lots x 10^d
    std::string maximumText;  // "%d" of max lots x 10^d, truncated
};
LotSpin LotSpinOf(const InstrumentRecord& r);
// The deviation edit's integer text on opening: the buy spread x 10000 with "%g" (4 decimals).
std::string DefaultDeviationText(const InstrumentRecord& r);

// The caption of a pending order's submit button: "买/价格<%s 或者 > %s" with ask ∓ pending
// distance for a buy, "卖/价格<%s 或者 > %s" with bid ∓ distance for a sell.
std::string BandCaption(const InstrumentRecord& r, std::int32_t direction);

// Each check answers the message of its refusal, or nothing when the input passes.
// Lots outside [min, max], then lots not a whole multiple of LotMultiple (the shared lot rules:
// a widened float reads as the float it was).
std::optional<std::string> LotsRefusal(const InstrumentRecord& r, double lots);
// A stop-loss or take-profit (0 = none) closer to the order price than the stop distance: for a
// buy P − S or T − P, for a sell S − P or P − T below it; the stop-loss is examined first.
std::optional<std::string> StopsRefusal(const InstrumentRecord& r, std::int32_t direction,
                                        const Decimal& price, const Decimal& stopLoss,
                                        const Decimal& takeProfit);
// A pending price closer to the market (the ask for a buy, the bid for a sell, as shown) than
// the pending distance; exactly the distance is accepted.
std::optional<std::string> BandRefusal(const InstrumentRecord& r, std::int32_t direction,
                                       const Decimal& price);

// What a dialog read from its controls when a submit button was pressed.
struct OrderForm {
    bool instrumentSelected = false;
    std::int32_t direction = direction::Buy;
    float lots = 0;  // the lots edit's text, read as a number
    std::string stopLoss;
    std::string takeProfit;
    // Market: the displayed ask (buy) or bid (sell); pending: the limit price edit.
    std::string price;
    // Market only.
    bool deviationChecked = false;
    std::string deviation;  // the deviation edit's text
    // Pending only: the index of the validity list (0 "当日有效", 1 "当周有效").
    int validityIndex = 1;
};

// The request to send, or the message of the first check that failed, in the dialogs' order.
using OrderCheck = std::variant<std::string, OpenOrderRequest>;
OrderCheck CheckMarketOrder(const InstrumentRecord& r, const OrderForm& form);
OrderCheck CheckPendingOrder(const InstrumentRecord& r, const OrderForm& form);

// The user's reading of an answer of `cmd::OpenOrder` other than 1.
std::string OpenOrderResultText(std::int32_t code, const InstrumentRecord& r);

// Sends the request on a connection of its own and answers the result code; nothing when the
// connection or the send failed (the message has been shown, owned by `owner`).
std::optional<std::int32_t> SubmitOpenOrder(WindowHandle owner, const OpenOrderRequest& request);

}  // namespace zq
