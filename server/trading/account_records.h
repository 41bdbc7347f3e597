// The records the request port answers from the account rows: positions (command 16) and the
// position summary (20), pending orders (17), and the filters of the two list queries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/trading/account_rows.h"
#include "trading/wire/records.h"

namespace zq::server {

// ---- Filters of the list queries ----

// Command 16's 44 bytes: int32 instrument at 0, int32 direction at 4 (0 = any), the ticket at
// 8 (24 bytes, empty = any), int32 origin at 32 (0 any, 1 manual, 2 programmatic).
struct PositionFilter {
    std::int32_t instrument = 0;
    std::int32_t direction = 0;
    std::string ticket;
    std::int32_t origin = 0;
    static PositionFilter From(const LoadPositionsRequest& request);
    bool Matches(const PositionRow& row) const;
};

// Command 17's 56 bytes: int32 instrument at 0, int32 direction at 4, int32 status at 8
// (0 = any; the client sends 1, the waiting orders), the order number at 12 (24 bytes).
struct OrderFilter {
    std::int32_t instrument = 0;
    std::int32_t direction = 0;
    std::int32_t status = 0;
    std::string orderNumber;
    static OrderFilter From(const LoadOrdersRequest& request);
    bool Matches(const OrderRow& row) const;
};

// ---- Records ----

// The server fills two gaps of the position record: the current closing price (bid for a
// buy, ask for a sell) at offset 104 and the floating profit/loss at offset 128, both doubles.
inline constexpr std::size_t kPositionPriceOffset = 104;
inline constexpr std::size_t kPositionProfitOffset = 128;
// The account block carries the account number (the member name) in its first 21 bytes.

double PositionCurrentPrice(const PositionRecord& record);
double PositionFloatingProfit(const PositionRecord& record);

// `quoted` is the instrument's record at the current price (Market::QuotedRecord).
PositionRecord MakePositionRecord(const PositionRow& row, const InstrumentRecord& quoted);
PendingOrderRecord MakeOrderRecord(const OrderRow& row);
// One line per instrument and direction, in the order instrument, then buy before sell:
// quantities, margins, fees and floating profit/loss summed, the open price averaged over the
// held quantities.
std::vector<PositionRecord> Summarize(const std::vector<PositionRecord>& positions);

}  // namespace zq::server
