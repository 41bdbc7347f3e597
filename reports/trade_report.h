// What the trade report window shows, without windows: its caption, and the rows of the
// position, position summary and pending-order pages as texts, from the trading model's records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trading/wire/records.h"

namespace zq {

// --- The window's caption. ---

// "普通会员" (1), "银卡会员" (2), "金卡会员" (4), "钻石卡会员" (8); empty for any other class.
std::string MemberLevelName(std::int32_t accountClass);
// Winning trades × 100 / trades; 0 when there were no trades.
double SuccessRate(const AccountBlock& account);
// "<level><member>:    入金… 当前权益… 操盘成功率…% 平均收益率…% 浮动盈亏… 可用保证金…".
std::string ReportCaption(std::int32_t accountClass, const std::string& memberName,
                          const AccountBlock& account);

// --- The pages' rows. ---

// A page column: its header and how it sorts (kSortAsText or kSortAsNumber).
struct ReportColumn {
    const char* header;
    int sortKind;
};

// "持仓明细": one row per open position.
namespace details_column {
constexpr int Ticket = 0, ClosingPrice = 6, Profit = 11;
}
const std::vector<ReportColumn>& DetailsColumns();
// "持仓总汇": one row per instrument and direction.
namespace summary_column {
constexpr int ClosingPrice = 5, Profit = 6;
}
const std::vector<ReportColumn>& SummaryColumns();
// "委托查询": one row per pending order.
namespace orders_column {
constexpr int Number = 0, CurrentPrice = 5;
}
const std::vector<ReportColumn>& OrdersColumns();

// The rows of one instrument and direction carry this key, so that a quote finds them.
std::int64_t ReportRowKey(std::int32_t instrument, std::int32_t direction);
std::int32_t InstrumentOfRowKey(std::int64_t key);
// direction::Buy or direction::Sell.
std::int32_t DirectionOfRowKey(std::int64_t key);

// An instrument record as FindInstrument gives it for an id the list lacks has no name.
bool KnownInstrument(const InstrumentRecord& instrument);

// A price with the instrument's decimals ("%.2f" for two).
std::string FixedPrice(double price, const InstrumentRecord& instrument);
// The shortest form of a price ("%g"), as the quote updates write it.
std::string ShortPrice(double price);
// Money with two decimals; an amount that rounds to zero shows without a sign.
std::string MoneyText(double amount);

// The price a pending order is measured against: the ask for a buy, the bid for a sell.
double OrderCurrentPrice(const InstrumentRecord& instrument, std::int32_t direction);

// The floating profit/loss of one position at the instrument's prices, exact; 0 for an
// instrument the list lacks and for figures that cannot be represented.
double PositionFloatingProfit(const PositionRecord& position, const InstrumentRecord& instrument);
// The sum over `positions` of those with this instrument and direction, summed exactly and
// given in single precision.
float SummaryFloatingProfit(const std::vector<PositionRecord>& positions,
                            const InstrumentRecord& instrument, std::int32_t direction);

// The cells of one row (UTF-8), one per column of the page.
std::vector<std::string> DetailsCells(const PositionRecord& position,
                                      const InstrumentRecord& instrument);
std::vector<std::string> SummaryCells(const PositionRecord& entry,
                                      const InstrumentRecord& instrument, float floatingProfit);
std::vector<std::string> OrdersCells(const PendingOrderRecord& order,
                                     const InstrumentRecord& instrument);

// A pending order is finished once it no longer waits; programmatic trading's records are the
// server's to change.
bool FinishedOrder(const PendingOrderRecord& order);
bool ProgrammaticOrder(const PendingOrderRecord& order);
bool ProgrammaticPosition(const PositionRecord& position);

}  // namespace zq
