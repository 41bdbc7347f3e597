// The members' simulated accounts as the store keeps them, and the records the request port
// answers from them (positions, position summary, pending orders, account block).
//
// The account model (docs/server.md gives it in full):
//   balance       = money in the account: starting capital + net deposits + closed profit/loss
//                   - fees - deferral fees, changed only when money moves
//   occupied      = sum of the open positions' margins (each fixed when the position opened)
//   frozen margin = sum of the margins that waiting opening orders hold back, frozen fees the
//                   same for their opening fees
//   free funds    = balance - occupied - frozen margin - frozen fees
//   floating      = sum of the positions' floating profit/loss at the current market price
//   equity        = balance + floating; available margin = free funds + floating
//   risk rate     = equity x 100 / occupied (0 without occupied margin)
//   average return= (equity - base) x 100 / base, base = starting capital + net deposits
//
// The trading day is the calendar day in Beijing time (UTC+8). The first access to an account
// on a new day settles the days in between: every open position pays its daily deferral fee for
// each day, today's figures start at 0, orders valid for the day are cancelled, and orders valid
// for the week are cancelled when a new week (Monday) has begun.
//
// Every access goes through Store::WithDb. Functions taking a sqlite3* run on a connection the
// caller holds (inside WithDb); changes that belong together go into one InTransaction.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "server/catalogue.h"
#include "server/market.h"
#include "server/store.h"
#include "trading/wire/records.h"

namespace zq::server {

// ---- Time ----

std::int64_t NowSeconds();
// "YYYY-MM-DD HH:MM:SS" in Beijing time.
std::string BeijingTimeText(std::int64_t unixSeconds);
// "YYYY-MM-DD" of the Beijing calendar day.
std::string TradingDayOf(std::int64_t unixSeconds);
// Days since 1970-01-01 of a "YYYY-MM-DD" text; nothing when it does not read as a date.
std::optional<std::int64_t> DayNumber(const std::string& day);

// ---- Rows as stored ----

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

struct PositionRow {
    std::int64_t memberId = 0;
    std::string ticket;  // assigned by InsertPosition when empty
    std::int32_t instrument = 0;
    std::int32_t direction = direction::Buy;
    double openedQuantity = 0;
    double heldQuantity = 0;
    double openPrice = 0;
    double stopLoss = 0;    // 0 = none
    double takeProfit = 0;  // 0 = none
    double margin = 0;      // occupied by the held quantity
    std::int64_t openTime = 0;
    double deferralFee = 0;  // paid so far
    double fee1 = 0;         // opening fee
    double fee2 = 0;         // closing fees of partial closes so far
    std::int32_t programmatic = 0;
};

struct OrderRow {
    std::int64_t memberId = 0;
    std::string orderNumber;  // assigned by InsertOrder when empty
    std::int32_t instrument = 0;
    std::int32_t direction = direction::Buy;
    double quantity = 0;
    double price = 0;
    double stopLoss = 0;
    double takeProfit = 0;
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

namespace order_validity {
constexpr std::int32_t Today = 1;
constexpr std::int32_t ThisWeek = 2;
constexpr std::int32_t Programmatic = 3;
}  // namespace order_validity

// Runs `f(db)` inside BEGIN IMMEDIATE ... COMMIT under the store's lock; rolls back and gives
// false when f returns false or the commit fails.
template <typename F>
bool InTransaction(Store& store, F&& f) {
    return store.WithDb([&](sqlite3* db) {
        if (!Exec(db, "BEGIN IMMEDIATE")) return false;
        if (f(db) && Exec(db, "COMMIT")) return true;
        Exec(db, "ROLLBACK");
        return false;
    });
}

// Row access on a connection the caller holds.
namespace account_rows {
// The member's account; nothing when the member has none.
std::optional<AccountRow> LoadAccount(sqlite3* db, std::int64_t memberId);
bool SaveAccount(sqlite3* db, const AccountRow& row);
// Opens a plain funded account (100,000 yuan of starting capital) for a member without one.
bool CreatePlainAccount(sqlite3* db, std::int64_t memberId, std::int64_t now);

// Open positions, oldest first.
std::vector<PositionRow> LoadPositions(sqlite3* db, std::int64_t memberId);
std::optional<PositionRow> FindPosition(sqlite3* db, std::int64_t memberId,
                                        const std::string& ticket);
bool InsertPosition(sqlite3* db, PositionRow& row);
bool UpdatePosition(sqlite3* db, const PositionRow& row);
bool DeletePosition(sqlite3* db, std::int64_t memberId, const std::string& ticket);

// Orders of every status, oldest first.
std::vector<OrderRow> LoadOrders(sqlite3* db, std::int64_t memberId);
std::optional<OrderRow> FindOrder(sqlite3* db, std::int64_t memberId,
                                  const std::string& orderNumber);
bool InsertOrder(sqlite3* db, OrderRow& row);
bool UpdateOrder(sqlite3* db, const OrderRow& row);

// The next ticket or order number: one sequence for both, so a number names one thing.
std::string NextSerial(sqlite3* db);
}  // namespace account_rows

// Schema step: the account tables and the market's saved prices; a plain account for every
// member, and the demo member's positions, orders and history.
bool CreateAccountTables(Store& store, sqlite3* db, std::string* error);

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

// The account's figures at the current market.
class Accounts {
  public:
    using Clock = std::function<std::int64_t()>;

    Accounts(Store& store, const Market& market) : store_(store), market_(market) {}

    // Seconds since 1970 as the accounts see them; tests set their own.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    std::int64_t Now() const { return clock_ ? clock_() : NowSeconds(); }

    // Each of these first opens the account when the member has none and settles the days
    // since its last access. Empty (or a zero block) for an unknown member.
    std::vector<PositionRecord> Positions(std::int64_t memberId, const PositionFilter& filter);
    std::vector<PositionRecord> Summary(std::int64_t memberId);
    std::vector<PendingOrderRecord> Orders(std::int64_t memberId, const OrderFilter& filter);
    AccountBlock Block(std::int64_t memberId);

    // The account brought to today; nothing for an unknown member or when the store fails.
    std::optional<AccountRow> Settle(std::int64_t memberId);

  private:
    std::vector<PositionRecord> PositionRecords(std::int64_t memberId,
                                                const PositionFilter& filter);

    Store& store_;
    const Market& market_;
    Clock clock_;
};

}  // namespace zq::server
