#include "reports/trade_report.h"

#include "base/text_format.h"
#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "trading/trade_changes.h"
#include "trading/wire/profit.h"
#include "widgets/sort_rules.h"

namespace zq {
namespace {

constexpr int kText = kSortAsText;
constexpr int kNumber = kSortAsNumber;

std::string Field(const char* field, std::size_t width) {
    return FieldToUtf8(field, width);
}

// Fees are charges: shown with a minus sign before the amount.
std::string ChargeText(double amount) {
    return FormatText("-%.2f", amount);
}

std::string QuantityText(double quantity) {
    return FormatText("%g", quantity);
}

std::string ValidityText(std::int32_t validity) {
    switch (validity) {
        case order_validity::Today:
            return "当日有效";
        case order_validity::ThisWeek:
            return "当周有效";
        case order_validity::Programmatic:
            return "程序化";
        default:
            return {};
    }
}

std::string StatusText(std::int32_t status) {
    switch (status) {
        case order_status::Waiting:
            return "等待";
        case order_status::Cancelled:
            return "已撤";
        case order_status::Filled:
            return "已成交";
        default:
            return {};
    }
}

Decimal ExactProfit(const PositionRecord& position, const InstrumentRecord& instrument) {
    if (!KnownInstrument(instrument)) return Decimal();
    Decimal profit = PositionProfit(position, instrument);
    return profit.Valid() ? profit : Decimal();
}

}  // namespace

std::string MemberLevelName(std::int32_t accountClass) {
    switch (accountClass) {
        case 1:
            return "普通会员";
        case 2:
            return "银卡会员";
        case 4:
            return "金卡会员";
        case 8:
            return "钻石卡会员";
        default:
            return {};
    }
}

double SuccessRate(const AccountBlock& account) {
    if (account.tradeCount == 0) return 0;
    return static_cast<double>(account.winningTradeCount) * 100.0 /
           static_cast<double>(account.tradeCount);
}

std::string ReportCaption(std::int32_t accountClass, const std::string& memberName,
                          const AccountBlock& account) {
    return FormatText(
        "%s%s:    入金%.2f 当前权益%.2f 操盘成功率%.2f%% 平均收益率%.2f%% 浮动盈亏%.2f "
        "可用保证金%.2f",
        MemberLevelName(accountClass).c_str(), memberName.c_str(), account.netDeposits,
        account.equity, SuccessRate(account), static_cast<double>(account.averageReturn),
        account.floatingProfit, account.availableMargin);
}

const std::vector<ReportColumn>& DetailsColumns() {
    static const std::vector<ReportColumn> columns = {
        {"持仓单号", kText}, {"商品名称", kText}, {"买/卖", kText},    {"建仓量", kNumber},
        {"持仓量", kNumber}, {"建仓价", kNumber}, {"平仓价", kNumber}, {"止损价", kNumber},
        {"止盈价", kNumber}, {"手续费", kNumber}, {"延期费", kNumber}, {"浮动盈亏", kNumber},
        {"建仓时间", kText},
    };
    return columns;
}

const std::vector<ReportColumn>& SummaryColumns() {
    static const std::vector<ReportColumn> columns = {
        {"商品名称", kText},     {"买/卖", kText},    {"数量", kNumber},     {"建仓均价", kNumber},
        {"占用保证金", kNumber}, {"平仓价", kNumber}, {"浮动盈亏", kNumber},
    };
    return columns;
}

const std::vector<ReportColumn>& OrdersColumns() {
    // The direction sorts as text and the take-profit as a number, like the same columns of
    // the position pages.
    static const std::vector<ReportColumn> columns = {
        {"委托单号", kText},  {"商品名称", kText}, {"买/卖", kText},      {"数量", kNumber},
        {"委托价", kNumber},  {"当前价", kNumber}, {"止损价", kNumber},   {"止盈价", kNumber},
        {"建仓/平仓", kText}, {"有效期", kText},   {"关联持仓号", kText}, {"委托时间", kText},
        {"状态", kText},
    };
    return columns;
}

std::int64_t ReportRowKey(std::int32_t instrument, std::int32_t side) {
    return static_cast<std::int64_t>(instrument) * 10 + (side == direction::Buy ? 1 : 2);
}

std::int32_t InstrumentOfRowKey(std::int64_t key) {
    return static_cast<std::int32_t>(key / 10);
}

std::int32_t DirectionOfRowKey(std::int64_t key) {
    return key % 10 == 1 ? direction::Buy : direction::Sell;
}

bool KnownInstrument(const InstrumentRecord& instrument) {
    return instrument.name[0] != '\0';
}

std::string FixedPrice(double price, const InstrumentRecord& instrument) {
    return FormatText(PriceFormat(instrument.decimals).c_str(), price);
}

std::string ShortPrice(double price) {
    return FormatText("%g", price);
}

std::string MoneyText(double amount) {
    std::string text = FormatText("%.2f", amount);
    // A zero fee (a negative zero, or a debit of less than half a fen) reads "0.00", not "-0.00".
    if (text.front() == '-' && text.find_first_not_of("0.", 1) == std::string::npos)
        text.erase(0, 1);
    return text;
}

double OrderCurrentPrice(const InstrumentRecord& instrument, std::int32_t side) {
    return side == direction::Buy ? instrument.ask : instrument.bid;
}

double PositionFloatingProfit(const PositionRecord& position, const InstrumentRecord& instrument) {
    return ExactProfit(position, instrument).ToDouble();
}

float SummaryFloatingProfit(const std::vector<PositionRecord>& positions,
                            const InstrumentRecord& instrument, std::int32_t side) {
    const bool buy = side == direction::Buy;
    Decimal sum;
    for (const PositionRecord& p : positions)
        if (p.instrument == instrument.id && (p.direction == direction::Buy) == buy)
            sum += ExactProfit(p, instrument);
    return sum.Valid() ? sum.ToFloat() : 0.0f;
}

std::vector<std::string> DetailsCells(const PositionRecord& p, const InstrumentRecord& i) {
    return {Field(p.ticket, sizeof p.ticket),
            Field(p.instrumentName, sizeof p.instrumentName),
            DirectionText(p.direction),
            QuantityText(p.openedQuantity),
            QuantityText(p.heldQuantity),
            FixedPrice(p.openPrice, i),
            FixedPrice(ClosingPrice(i, p.direction), i),
            FixedPrice(p.stopLoss, i),
            FixedPrice(p.takeProfit, i),
            ChargeText(p.fee1 + p.fee2),
            ChargeText(p.deferralFee),
            MoneyText(PositionFloatingProfit(p, i)),
            Field(p.openTime, sizeof p.openTime)};
}

std::vector<std::string> SummaryCells(const PositionRecord& e, const InstrumentRecord& i,
                                      float floatingProfit) {
    return {Field(e.instrumentName, sizeof e.instrumentName),
            DirectionText(e.direction),
            QuantityText(e.heldQuantity),
            FixedPrice(e.openPrice, i),
            MoneyText(e.occupiedMargin),
            FixedPrice(ClosingPrice(i, e.direction), i),
            MoneyText(floatingProfit)};
}

std::vector<std::string> OrdersCells(const PendingOrderRecord& o, const InstrumentRecord& i) {
    return {Field(o.orderNumber, sizeof o.orderNumber),
            Field(o.instrumentName, sizeof o.instrumentName),
            DirectionText(o.direction),
            MoneyText(o.quantity),
            FixedPrice(o.price, i),
            FixedPrice(OrderCurrentPrice(i, o.direction), i),
            FixedPrice(o.stopLoss, i),
            FixedPrice(o.takeProfit, i),
            o.openClose == 1 ? "建仓" : "平仓",
            ValidityText(o.validity),
            Field(o.relatedPosition, sizeof o.relatedPosition),
            Field(o.orderTime, sizeof o.orderTime),
            StatusText(o.status)};
}

bool FinishedOrder(const PendingOrderRecord& order) {
    return order.status != order_status::Waiting;
}

bool ProgrammaticOrder(const PendingOrderRecord& order) {
    return order.validity == order_validity::Programmatic;
}

bool ProgrammaticPosition(const PositionRecord& position) {
    return position.programmatic == 1;
}

}  // namespace zq
