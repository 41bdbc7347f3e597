// The members' accounts, open positions and orders as the store keeps them, and the schema step
// that creates their tables.
//
// Every access goes through Store::WithDb. Functions taking a sqlite3* run on a connection the
// caller holds (inside WithDb); changes that belong together go into one InTransaction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/market/trading_day.h"
#include "server/store/store.h"
#include "trading/wire/records.h"

namespace zq::server {

struct AccountRow {
    std::int64_t memberId = 0;
    std::string memberName;   // UTF-8; the account number in the block
    std::string accountName;  // UTF-8, "账户名称"
    double base1 = 0;         // starting capital
    double netDeposits = 0;   // deposits - withdrawals
    double balance = 0;
    double todayClosedProfit = 0;
    double todayFees = 0;
    double previousDeferralFee = 0;
    std::int32_t lastAward = 0;
    std::int64_t tradeCount = 0;  // closed trades
    std::int64_t winningTradeCount = 0;
    std::string tradingDay;  // the day today's figures belong to
};

// What a position and an order both hold: whose it is, the instrument and direction, and the
// stop-loss and take-profit prices.
struct TradeTerms {
    std::int64_t memberId = 0;
    std::int32_t instrument = 0;
    std::int32_t direction = direction::Buy;
    double stopLoss = 0;    // 0 = none
    double takeProfit = 0;  // 0 = none
};

struct PositionRow : TradeTerms {
    std::string ticket;  // assigned by InsertRow when empty
    double openedQuantity = 0;
    double heldQuantity = 0;
    double openPrice = 0;
    double margin = 0;  // occupied by the held quantity
    std::int64_t openTime = 0;
    double deferralFee = 0;  // paid so far
    double fee1 = 0;         // opening fee
    double fee2 = 0;         // closing fees of partial closes so far
    std::int32_t programmatic = 0;
};

struct OrderRow : TradeTerms {
    std::string orderNumber;  // assigned by InsertRow when empty
    double quantity = 0;
    double price = 0;
    std::int32_t triggerKind = trigger::BuyAskFalls;
    std::int32_t openClose = 1;   // 1 opens, 2 closes relatedPosition
    std::string relatedPosition;  // ticket a closing order closes
    std::int32_t validity = 1;    // 1 today, 2 this week, 3 programmatic
    std::int64_t orderTime = 0;
    std::int32_t status = order_status::Waiting;
    double frozenMargin = 0;  // held back while waiting (opening orders)
    double frozenFee = 0;
    std::int64_t doneTime = 0;  // when it was filled or cancelled
};

// One trade of the execution engine: a position opened or (partly) closed. Fills are only ever
// added; they outlive the position they belong to.
struct FillRow {
    std::int64_t memberId = 0;
    std::string fillNumber;   // assigned by InsertRow when empty, from the fills' own sequence
    std::string ticket;       // the position opened or closed
    std::string orderNumber;  // the pending order that made the trade; empty for none
    std::int32_t instrument = 0;
    std::int32_t direction = direction::Buy;  // of the trade: closing a buy position sells
    double lots = 0;
    double price = 0;
    std::int32_t openClose = 1;  // 1 opens, 2 closes
    double profit = 0;           // closing: the closed profit/loss; opening: 0
    double fee = 0;              // the fee charged for this trade
    std::int64_t time = 0;
    std::int32_t reason = 0;  // fill_reason
};

namespace fill_reason {
constexpr std::int32_t Market = 1;      // a market order
constexpr std::int32_t Limit = 2;       // a pending order reached its price
constexpr std::int32_t StopLoss = 3;    // the position's stop-loss was reached
constexpr std::int32_t TakeProfit = 4;  // the position's take-profit was reached
constexpr std::int32_t MarginCall = 5;  // liquidated at the margin-call level
}  // namespace fill_reason

namespace open_close {
constexpr std::int32_t Open = 1;
constexpr std::int32_t Close = 2;
}  // namespace open_close

// Row access on a connection the caller holds.
namespace account_rows {
bool MemberExists(sqlite3* db, std::int64_t memberId);

// The member's account; nothing when the member has none.
std::optional<AccountRow> LoadAccount(sqlite3* db, std::int64_t memberId);
bool SaveAccount(sqlite3* db, const AccountRow& row);
// Opens a plain funded account (100,000 yuan of starting capital) for a member without one.
bool CreatePlainAccount(sqlite3* db, std::int64_t memberId, std::int64_t now);

// Positions, orders and fills: rows of a member, each named by a number from NextSerial (the
// position's ticket, the order number; fills count on their own). `Row` is PositionRow,
// OrderRow or FillRow.
// The member's rows, oldest first: the open positions, the orders of every status.
template <typename Row>
std::vector<Row> LoadRows(sqlite3* db, std::int64_t memberId);
// The member's waiting orders, oldest first: what execution reads of the member's orders, by the
// index of orders by member and status, however many cancelled and filled orders lie beside them.
std::vector<OrderRow> LoadWaitingOrders(sqlite3* db, std::int64_t memberId);
template <typename Row>
std::optional<Row> FindRow(sqlite3* db, std::int64_t memberId, const std::string& number);
// Inserts the row, numbering it first when it has no number yet.
template <typename Row>
bool InsertRow(sqlite3* db, Row& row);
// Writes every column of the member's row with the row's number; false when there is none.
template <typename Row>
bool UpdateRow(sqlite3* db, const Row& row);
template <typename Row>
bool DeleteRow(sqlite3* db, std::int64_t memberId, const std::string& number);

// The next ticket or order number: one sequence for both, so a number names one thing.
std::string NextSerial(sqlite3* db);
// The next number of another sequence of the table `serials` ("fill"); empty when it has none.
std::string NextSerial(sqlite3* db, const char* sequence);
}  // namespace account_rows

// Schema step: the account tables and the market's saved prices; a plain account for every
// member, and the demo member's positions, orders and history.
bool CreateAccountTables(Store& store, sqlite3* db, std::string* error);
// Schema step: the table of fills and their sequence.
bool CreateFillTable(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
