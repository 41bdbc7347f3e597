#include "trading/trade_changes.h"

#include <cstring>

#include "base/text_format.h"
#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "trading/order_entry.h"
#include "trading/wire/profit.h"

namespace zq {
namespace {

// Sends one request on `s`; on failure shows `failedText` and closes the connection.
bool SendOrClose(WindowHandle owner, Socket& s, std::int32_t command, const void* payload,
                 std::size_t size, const char* failedText) {
    if (SendRequest(s, MakeHeader(command), payload, size)) return true;
    ShowMessage(owner, failedText);
    s.Close();
    return false;
}

// A request with an int32 answer whose 1 reloads on the same connection; any other answer shows
// `text(code)`.
template <typename Text>
bool TradeWithReload(WindowHandle owner, TradingModel& model, std::int32_t command,
                     const void* payload, std::size_t size, const char* sendFailedText,
                     TradingModel::TradeReload what, Text&& text) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    if (!SendOrClose(owner, s, command, payload, size, sendFailedText)) return false;
    const std::int32_t code = ReadInt32Answer(s);
    if (code == 1) {
        model.ReloadAfterTrade(s, what);
        s.ShutdownClose();
        return true;
    }
    ShowMessage(owner, text(code));
    s.ShutdownClose();
    return false;
}

}  // namespace

std::string DirectionText(std::int32_t side) {
    return side == direction::Buy ? "买" : "卖";
}

std::string QuantityDisplay(const InstrumentRecord& r, double quantity) {
    return FormatText(PriceFormat(r.lotDecimals).c_str(), quantity);
}

StopBounds PositionStopBounds(const InstrumentRecord& r, std::int32_t side) {
    if (side == direction::Buy) return {r.ask - r.stopDistance, r.ask + r.stopDistance};
    return {r.bid + r.stopDistance, r.bid - r.stopDistance};
}

double ClosingPrice(const InstrumentRecord& r, std::int32_t side) {
    return side == direction::Buy ? r.bid : r.ask;
}

std::optional<std::string> StopsBeyondBounds(std::int32_t side, const Decimal& stopLoss,
                                             const Decimal& takeProfit, const Decimal& stopBound,
                                             const Decimal& takeBound) {
    const Decimal zero;
    const bool beyond = side == direction::Buy ? (stopLoss > zero && stopLoss > stopBound) ||
                                                     (takeProfit > zero && takeProfit < takeBound)
                                               : (stopLoss > zero && stopLoss < stopBound) ||
                                                     (takeProfit > zero && takeProfit > takeBound);
    if (!beyond) return std::nullopt;
    return std::string(kInvalidStopsText);
}

bool ModifyPositionStops(WindowHandle owner, TradingModel& model, const PositionRecord& position,
                         float stopLoss, float takeProfit) {
    ModifyStopsRequest q{};
    std::memcpy(q.ticket, position.ticket, sizeof position.ticket);
    q.ticket[sizeof q.ticket - 1] = '\0';
    q.stopLoss = stopLoss;
    q.takeProfit = takeProfit;
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    if (!SendOrClose(owner, s, cmd::ModifyPosition, &q, sizeof q, kModifyFailedText)) return false;
    // Up to a whole record, until the server closes; a record cut short still counts when its
    // first bytes carry a ticket.
    PositionRecord answer{};
    const bool whole = ReceiveExact(s, &answer, static_cast<int>(sizeof answer)) ==
                       static_cast<int>(sizeof answer);
    s.ShutdownClose();
    if (answer.ticket[0] == '\0') {
        ShowMessage(owner, kInvalidStopsText);
        return false;
    }
    answer.ticket[sizeof answer.ticket - 1] = '\0';
    // Only a whole record replaces the position: the zeros of a cut-short one would wipe its
    // instrument, quantity and prices. The positions are then asked for again instead.
    if (whole)
        model.ReplacePosition(answer);
    else
        model.ReloadPositions(owner);
    model.RefreshChart();
    Ui().PlaySound(sound::Trade, false);
    return true;
}

PendingOrderRecord CloseRequest(const PositionRecord& position, double quantity, double price,
                                double deviation) {
    PendingOrderRecord q{};
    std::memset(&q, 0, sizeof q);
    q.instrument = position.instrument;
    q.direction = position.direction == direction::Buy ? direction::Sell : direction::Buy;
    q.quantity = quantity;
    q.price = price;
    q.stopLoss = deviation;
    static_assert(sizeof q.relatedPosition > sizeof position.ticket);
    std::memcpy(q.relatedPosition, position.ticket, sizeof position.ticket);
    q.relatedPosition[sizeof position.ticket - 1] = '\0';
    q.validity = 0;
    return q;
}

std::string CloseResultText(std::int32_t code) {
    switch (code) {
        case close_result::PriceMoved:
            return "价格已经变动，请重新下单";
        case close_result::NoMargin:
            return "保证金不足";
        case close_result::InvalidPrice:
            return kInvalidPriceText;
        case close_result::InvalidStops:
            return kInvalidStopsText;
        case close_result::MarketClosed:
            return "闭市中，禁止交易";
        default:
            return "未知错误";
    }
}

bool ClosePosition(WindowHandle owner, TradingModel& model, const PendingOrderRecord& request) {
    return TradeWithReload(owner, model, cmd::ClosePosition, &request, sizeof request,
                           kCloseFailedText, TradingModel::TradeReload::Positions, CloseResultText);
}

OrderBounds PendingOrderBounds(const InstrumentRecord& r, std::int32_t side, double price) {
    const bool buy = side == direction::Buy;
    const double market = buy ? r.ask : r.bid;
    OrderBounds b;
    b.lowerEdge = market - r.pendingDistance;
    b.upperEdge = market + r.pendingDistance;
    b.stopLoss = buy ? price - r.stopDistance : price + r.stopDistance;
    b.takeProfit = buy ? price + r.stopDistance : price - r.stopDistance;
    return b;
}

OrderChangeCheck CheckOrderChange(const InstrumentRecord& r, const PendingOrderRecord& order,
                                  const OrderChange& c) {
    if (auto refusal = LotsRefusal(r, c.lots)) return *refusal;
    if (c.price.IsZero() || c.lowerEdge.IsZero() || c.upperEdge.IsZero())
        return std::string(kBadOrderPriceText);
    if (c.lowerEdge < c.price && c.price < c.upperEdge) return std::string(kBadOrderPriceText);
    if (auto refusal =
            StopsBeyondBounds(order.direction, c.stopLoss, c.takeProfit, c.stopBound, c.takeBound))
        return *refusal;
    PendingOrderRecord q = order;
    q.quantity = CheckLots(r, c.lots).lots.ToDouble();
    q.price = c.price.ToDouble();
    q.stopLoss = c.stopLoss.ToDouble();
    q.takeProfit = c.takeProfit.ToDouble();
    q.validity = c.validityIndex == 0 ? 1 : 2;
    return q;
}

std::string ModifyOrderResultText(std::int32_t code) {
    switch (code) {
        case modify_order_result::NotWaiting:
            return "价格已经变动，请重新下单";
        case modify_order_result::NoMargin:
            return "保证金不足";
        case modify_order_result::InvalidPrice:
        case modify_order_result::MarketClosed:
            return kInvalidPriceText;
        case modify_order_result::InvalidStops:
            return kInvalidStopsText;
        default:
            return "未知错误";
    }
}

bool ModifyPendingOrder(WindowHandle owner, TradingModel& model,
                        const PendingOrderRecord& request) {
    return TradeWithReload(owner, model, cmd::ModifyPending, &request, sizeof request,
                           kModifyFailedText, TradingModel::TradeReload::Orders,
                           ModifyOrderResultText);
}

std::array<char, kDeleteOrderRequestSize> DeleteRequest(const PendingOrderRecord& order,
                                                        DeletePayload payload) {
    std::array<char, kDeleteOrderRequestSize> bytes{};
    if (payload == DeletePayload::RecordBytes) {
        std::memcpy(bytes.data(), &order, bytes.size());
    } else {
        const std::string number = ToAnsi(FieldToUtf8(order.orderNumber, sizeof order.orderNumber));
        const std::string_view cut = CutAnsi(number, bytes.size());
        std::memcpy(bytes.data(), cut.data(), cut.size());
    }
    return bytes;
}

bool DeletePendingOrder(WindowHandle owner, TradingModel& model, const PendingOrderRecord& order,
                        DeletePayload payload) {
    if (order.validity == order_validity::Programmatic) {
        ShowMessage(owner, kProgrammaticRecordText);
        return false;
    }
    if (order.status != order_status::Waiting) {
        ShowMessage(owner, kDeleteDoneOrderText);
        return false;
    }
    const std::string number(order.orderNumber,
                             strnlen(order.orderNumber, sizeof order.orderNumber));
    const std::string question = FormatText(kDeleteQuestionFormat, number.c_str());
    if (Ui().MessageBox(owner, question, AppTitle(), MsgButtons::YesNo, MsgIcon::Question) != IdYes)
        return false;
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    if (!SendOrClose(owner, s, cmd::DeletePending, nullptr, 0, kDeleteFailedText)) return false;
    // A failure of the payload's send shows in the answer.
    const auto request = DeleteRequest(order, payload);
    s.Send(request.data(), request.size());
    std::int32_t answer = 0;
    const bool whole = ReceiveExact(s, &answer, 4) == 4;
    const bool deleted = whole && answer == 1;
    if (deleted)
        model.ReloadAfterTrade(s, TradingModel::TradeReload::Orders);
    else
        ShowMessage(owner, kDeleteFailedText);
    s.ShutdownClose();
    return deleted;
}

std::optional<std::string> ProgramTradingMarginRefusal(std::int32_t accountClass,
                                                       double availableMargin) {
    switch (accountClass) {
        case 8:
            if (availableMargin < 300000) return std::string("钻卡会员要求可用保证金不低于30万");
            break;
        case 2:
            if (availableMargin < 200000) return std::string("银卡会员要求可用保证金不低于20万");
            break;
        case 4:
            if (availableMargin < 100000) return std::string("金卡会员要求可用保证金不低于10万");
            break;
        default:
            break;
    }
    return std::nullopt;
}

bool SaveProgramTrading(WindowHandle owner, bool enabled) {
    ProgramTradingRequest q{};
    q.riskLimit1 = 30;
    q.riskLimit2 = 30;
    q.enabled = enabled ? 1 : 0;
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    // Four pieces after the header, as the server reads them.
    const RequestHeader header = MakeHeader(cmd::SaveProgramTrading);
    const bool sent = s.Send(&header, sizeof header) > 0 && s.Send(q.zero, sizeof q.zero) > 0 &&
                      s.Send(&q.riskLimit1, sizeof q.riskLimit1) > 0 &&
                      s.Send(&q.riskLimit2, sizeof q.riskLimit2) > 0 &&
                      s.Send(&q.enabled, sizeof q.enabled) > 0;
    if (!sent) {
        s.ShutdownClose();
        return false;
    }
    const auto stored = static_cast<std::int8_t>(ReadByteAnswer(s));
    s.ShutdownClose();
    if (stored <= 0) return false;
    Session().programTrading = q.enabled;
    return true;
}

}  // namespace zq
