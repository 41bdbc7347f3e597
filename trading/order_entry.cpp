#include "trading/order_entry.h"

#include "base/text_format.h"
#include "market/wire/bar_record.h"
#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "trading/wire/rules.h"
#include "widgets/number_text.h"

namespace zq {

Decimal ReadNumber(std::string_view text) {
    const LeadingNumber n = ReadLeadingNumber(text);
    if (n.IsZero()) return Decimal();
    const std::string exact = (n.negative ? "-" : "") + n.digits + "e" + std::to_string(n.exponent);
    std::optional<Decimal> d = Decimal::Parse(exact);
    // A number too large for the account's arithmetic reads as no number at all.
    if (!d || !d->Valid()) return Decimal();
    return *d;
}

float ReadFloat(std::string_view text) {
    return ToFloat(ReadLeadingNumber(text));
}

std::string PriceDisplay(const InstrumentRecord& r, double price) {
    return FormatText(PriceFormat(r.decimals).c_str(), price);
}

std::string LotRangeText(const InstrumentRecord& r) {
    return FormatText(kRangeFormat, static_cast<double>(r.minLots), r.maxLots);
}

LotSpin LotSpinOf(const InstrumentRecord& r) {
    const float scale = PowerOfTen(r.lotDecimals);
    LotSpin spin;
    const float lower = r.minLots * scale;
    const float upper = static_cast<float>(r.maxLots) * scale;
    spin.lower = static_cast<int>(lower);
    spin.upper = static_cast<int>(upper);
    spin.stepFactor = static_cast<int>(r.lotStep);
    spin.minimumText = FormatText("%g", static_cast<double>(lower));
    spin.maximumText = FormatText("%d", spin.upper);
    return spin;
}

std::string DefaultDeviationText(const InstrumentRecord& r) {
    return FormatText("%g", static_cast<double>(r.buySpread * 10000.0f));
}

std::string BandCaption(const InstrumentRecord& r, std::int32_t side) {
    const bool buy = side == direction::Buy;
    const float market = buy ? r.ask : r.bid;
    const std::string low = PriceDisplay(r, market - r.pendingDistance);
    const std::string high = PriceDisplay(r, market + r.pendingDistance);
    return FormatText(buy ? "买/价格<%s 或者 > %s" : "卖/价格<%s 或者 > %s", low.c_str(),
                      high.c_str());
}

std::optional<std::string> LotsRefusal(const InstrumentRecord& r, double lots) {
    switch (CheckLots(r, lots).verdict) {
        case LotVerdict::Allowed:
            return std::nullopt;
        case LotVerdict::OutOfBounds:
            return std::string(kBadLotsText);
        case LotVerdict::OffStep:
            break;
    }
    return FormatText(kLotMultipleFormat, static_cast<double>(LotMultiple(r)));
}

std::optional<std::string> StopsRefusal(const InstrumentRecord& r, std::int32_t side,
                                        const Decimal& price, const Decimal& stopLoss,
                                        const Decimal& takeProfit) {
    if (StopsClear(side, price, stopLoss, takeProfit, StopDistance(r))) return std::nullopt;
    return FormatText(kStopsTooCloseFormat, static_cast<double>(r.stopDistance));
}

std::optional<std::string> BandRefusal(const InstrumentRecord& r, std::int32_t side,
                                       const Decimal& price) {
    const Decimal market = PriceAt(side == direction::Buy ? r.ask : r.bid, r.decimals);
    const Decimal distance = PendingDistance(r);
    if (PendingClear(price, market, distance)) return std::nullopt;
    return FormatText(kPendingBandFormat, (market - distance).ToDouble(),
                      (market + distance).ToDouble());
}

namespace {

// Checks 1 to 3 of both dialogs.
std::optional<std::string> InstrumentAndLotsRefusal(const InstrumentRecord& r,
                                                    const OrderForm& form) {
    if (!form.instrumentSelected) return std::string(kChooseInstrumentText);
    return LotsRefusal(r, form.lots);
}

OpenOrderRequest RequestOf(const InstrumentRecord& r, const OrderForm& form, const Decimal& price,
                           const Decimal& stopLoss, const Decimal& takeProfit) {
    OpenOrderRequest q{};
    q.instrument = r.id;
    q.price = price.ToFloat();
    q.stopLoss = stopLoss.ToFloat();
    q.takeProfit = takeProfit.ToFloat();
    q.lots = form.lots;
    q.direction = form.direction;
    return q;
}

}  // namespace

OrderCheck CheckMarketOrder(const InstrumentRecord& r, const OrderForm& form) {
    if (auto refusal = InstrumentAndLotsRefusal(r, form)) return *refusal;
    const Decimal deviation = ReadNumber(form.deviation);
    if (form.deviationChecked && deviation.IsNegative()) return std::string(kNegativeDeviationText);
    const Decimal stopLoss = ReadNumber(form.stopLoss);
    const Decimal takeProfit = ReadNumber(form.takeProfit);
    const Decimal price = ReadNumber(form.price);
    if (!(price > Decimal())) return std::string(kInvalidPriceText);
    if (auto refusal = StopsRefusal(r, form.direction, price, stopLoss, takeProfit))
        return *refusal;
    OpenOrderRequest q = RequestOf(r, form, price, stopLoss, takeProfit);
    q.orderKind = order_kind::Market;
    q.validity = 0;
    q.deviation = form.deviationChecked && deviation > Decimal() ? deviation.ToFloat() : 0.0f;
    return q;
}

OrderCheck CheckPendingOrder(const InstrumentRecord& r, const OrderForm& form) {
    if (auto refusal = InstrumentAndLotsRefusal(r, form)) return *refusal;
    const Decimal price = ReadNumber(form.price);
    if (!(price > Decimal())) return std::string(kInvalidPriceText);
    if (auto refusal = BandRefusal(r, form.direction, price)) return *refusal;
    const Decimal stopLoss = ReadNumber(form.stopLoss);
    const Decimal takeProfit = ReadNumber(form.takeProfit);
    if (auto refusal = StopsRefusal(r, form.direction, price, stopLoss, takeProfit))
        return *refusal;
    OpenOrderRequest q = RequestOf(r, form, price, stopLoss, takeProfit);
    q.orderKind = order_kind::Pending;
    q.validity = form.validityIndex + 1;
    q.deviation = 0.0f;
    return q;
}

std::string OpenOrderResultText(std::int32_t code, const InstrumentRecord& r) {
    switch (code) {
        case order_result::PriceMoved:
            return "价格已经变动，请重新下单";
        case order_result::NoMargin:
            return "保证金不足";
        case order_result::PendingTooClose:
            return FormatText("挂单价必须远离市价至少%g元", static_cast<double>(r.pendingDistance));
        case order_result::StopsTooClose:
            return FormatText(kStopsTooCloseFormat, static_cast<double>(r.stopDistance));
        case order_result::MarketClosed:
            return "闭市中，禁止交易";
        case order_result::InvalidPrice:
            return kInvalidPriceText;
        default:
            return "未知错误";
    }
}

std::optional<std::int32_t> SubmitOpenOrder(WindowHandle owner, const OpenOrderRequest& request) {
    return RequestInt32Answer(owner, cmd::OpenOrder, &request, sizeof request);
}

}  // namespace zq
