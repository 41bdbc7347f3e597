#include "server/accounts.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "net/wire/ansi_text.h"
#include "trading/wire/decimal.h"
#include "trading/wire/profit.h"

namespace zq::server {
namespace {

constexpr std::int64_t kBeijingOffset = 8 * 3600;
constexpr double kPlainStartingCapital = 100000.0;
constexpr std::int64_t kFirstSerial = 1000000001;

std::tm BeijingTm(std::int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds + kBeijingOffset);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

// Monday-based week number: 1970-01-01 was a Thursday, so day 4 (a Monday) starts week 1.
std::int64_t WeekNumber(std::int64_t day) {
    return (day + 3) / 7;
}

double RoundLots(double lots, std::int32_t lotDecimals) {
    const double scale = std::pow(10.0, lotDecimals);
    return std::round(lots * scale) / scale;
}

void PutDouble(void* record, std::size_t offset, double value) {
    std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

double GetDouble(const void* record, std::size_t offset) {
    double value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

std::int32_t GetInt(const void* record, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

std::string GetText(const void* record, std::size_t offset, std::size_t width) {
    return std::string(FieldText(static_cast<const char*>(record) + offset, width));
}

std::string InstrumentNameAnsi(std::int32_t instrument) {
    const InstrumentRules* rules = FindRules(instrument);
    return rules ? ToAnsi(rules->name) : std::string();
}

// ---- Row reading ----

constexpr const char* kAccountColumns =
    "a.member_id, m.name, a.account_name, a.base1, a.net_deposits, a.balance,"
    " a.today_closed_profit, a.today_fees, a.previous_deferral_fee, a.last_award,"
    " a.trade_count, a.winning_trade_count, a.trading_day";

AccountRow ReadAccount(const Statement& st) {
    AccountRow r;
    r.memberId = st.Int(0);
    r.memberName = st.Text(1);
    r.accountName = st.Text(2);
    r.base1 = st.Real(3);
    r.netDeposits = st.Real(4);
    r.balance = st.Real(5);
    r.todayClosedProfit = st.Real(6);
    r.todayFees = st.Real(7);
    r.previousDeferralFee = st.Real(8);
    r.lastAward = static_cast<std::int32_t>(st.Int(9));
    r.tradeCount = st.Int(10);
    r.winningTradeCount = st.Int(11);
    r.tradingDay = st.Text(12);
    return r;
}

constexpr const char* kPositionColumns =
    "member_id, ticket, instrument, direction, opened_quantity, held_quantity, open_price,"
    " stop_loss, take_profit, margin, open_time, deferral_fee, fee1, fee2, programmatic";

PositionRow ReadPosition(const Statement& st) {
    PositionRow r;
    r.memberId = st.Int(0);
    r.ticket = st.Text(1);
    r.instrument = static_cast<std::int32_t>(st.Int(2));
    r.direction = static_cast<std::int32_t>(st.Int(3));
    r.openedQuantity = st.Real(4);
    r.heldQuantity = st.Real(5);
    r.openPrice = st.Real(6);
    r.stopLoss = st.Real(7);
    r.takeProfit = st.Real(8);
    r.margin = st.Real(9);
    r.openTime = st.Int(10);
    r.deferralFee = st.Real(11);
    r.fee1 = st.Real(12);
    r.fee2 = st.Real(13);
    r.programmatic = static_cast<std::int32_t>(st.Int(14));
    return r;
}

// Binds the position's columns after the ticket from parameter `first` on.
void BindPosition(Statement& st, int first, const PositionRow& r) {
    st.Bind(first, std::int64_t{r.instrument})
        .Bind(first + 1, std::int64_t{r.direction})
        .Bind(first + 2, r.openedQuantity)
        .Bind(first + 3, r.heldQuantity)
        .Bind(first + 4, r.openPrice)
        .Bind(first + 5, r.stopLoss)
        .Bind(first + 6, r.takeProfit)
        .Bind(first + 7, r.margin)
        .Bind(first + 8, r.openTime)
        .Bind(first + 9, r.deferralFee)
        .Bind(first + 10, r.fee1)
        .Bind(first + 11, r.fee2)
        .Bind(first + 12, std::int64_t{r.programmatic});
}

constexpr const char* kOrderColumns =
    "member_id, order_number, instrument, direction, quantity, price, stop_loss, take_profit,"
    " trigger_kind, open_close, related_position, validity, order_time, status, frozen_margin,"
    " frozen_fee, done_time";

OrderRow ReadOrder(const Statement& st) {
    OrderRow r;
    r.memberId = st.Int(0);
    r.orderNumber = st.Text(1);
    r.instrument = static_cast<std::int32_t>(st.Int(2));
    r.direction = static_cast<std::int32_t>(st.Int(3));
    r.quantity = st.Real(4);
    r.price = st.Real(5);
    r.stopLoss = st.Real(6);
    r.takeProfit = st.Real(7);
    r.triggerKind = static_cast<std::int32_t>(st.Int(8));
    r.openClose = static_cast<std::int32_t>(st.Int(9));
    r.relatedPosition = st.Text(10);
    r.validity = static_cast<std::int32_t>(st.Int(11));
    r.orderTime = st.Int(12);
    r.status = static_cast<std::int32_t>(st.Int(13));
    r.frozenMargin = st.Real(14);
    r.frozenFee = st.Real(15);
    r.doneTime = st.Int(16);
    return r;
}

void BindOrder(Statement& st, int first, const OrderRow& r) {
    st.Bind(first, std::int64_t{r.instrument})
        .Bind(first + 1, std::int64_t{r.direction})
        .Bind(first + 2, r.quantity)
        .Bind(first + 3, r.price)
        .Bind(first + 4, r.stopLoss)
        .Bind(first + 5, r.takeProfit)
        .Bind(first + 6, std::int64_t{r.triggerKind})
        .Bind(first + 7, std::int64_t{r.openClose})
        .Bind(first + 8, std::string_view(r.relatedPosition))
        .Bind(first + 9, std::int64_t{r.validity})
        .Bind(first + 10, r.orderTime)
        .Bind(first + 11, std::int64_t{r.status})
        .Bind(first + 12, r.frozenMargin)
        .Bind(first + 13, r.frozenFee)
        .Bind(first + 14, r.doneTime);
}

// The member's rows of a table: "SELECT columns FROM table WHERE member_id = ? <rest>", with
// `key` bound to the second parameter when given.
template <typename Row>
std::vector<Row> SelectRows(sqlite3* db, const char* columns, const char* table, const char* rest,
                            std::int64_t memberId, const std::string* key,
                            Row (*read)(const Statement&)) {
    const std::string sql =
        std::string("SELECT ") + columns + " FROM " + table + " WHERE member_id = ? " + rest;
    Statement st(db, sql.c_str());
    st.Bind(1, memberId);
    if (key) st.Bind(2, std::string_view(*key));
    std::vector<Row> out;
    while (st.Step()) out.push_back(read(st));
    return out;
}

template <typename Row>
std::optional<Row> First(std::vector<Row> rows) {
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

bool MemberExists(sqlite3* db, std::int64_t memberId) {
    Statement st(db, "SELECT 1 FROM members WHERE id = ?");
    st.Bind(1, memberId);
    return st.Step();
}

// ---- The demo member's account ----

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;

struct SeedPosition {
    std::int32_t instrument, direction;
    double lots, openPrice, stopLoss, takeProfit;
    std::int64_t age;  // seconds before seeding
    std::int32_t programmatic;
};

constexpr SeedPosition kDemoPositions[] = {
    {1, direction::Buy, 1.00, 1642.30, 1600.00, 1700.00, 3 * kDay + 2 * kHour, 0},
    {1, direction::Buy, 0.30, 1648.00, 0, 1690.00, kDay + 5 * kHour, 0},
    {1, direction::Sell, 0.50, 1655.80, 0, 0, 5 * kHour, 0},
    {14, direction::Sell, 2.00, 1.3150, 1.3300, 0, 2 * kDay + 3 * kHour, 0},
    {13, direction::Buy, 2.00, 87.60, 0, 0, kDay + 9 * kHour, 0},
    {30, direction::Sell, 3, 6480, 6600, 6200, 4 * kHour, 0},
    {5, direction::Buy, 2, 333.50, 325.00, 345.00, 2 * kDay + 7 * kHour, 1},
};

struct SeedOrder {
    std::int32_t instrument, direction, triggerKind;
    double lots, price, stopLoss, takeProfit;
    std::int64_t age;
    int closesPosition;  // index into kDemoPositions, or -1 for an opening order
};

constexpr SeedOrder kDemoOrders[] = {
    {1, direction::Buy, trigger::BuyAskFalls, 0.50, 1620.00, 1600.00, 1680.00, 6 * kHour, -1},
    {2, direction::Sell, trigger::SellBidRises, 1.00, 31.800, 0, 0, 3 * kHour, -1},
    {15, direction::Buy, trigger::BuyAskRises, 1.00, 85.50, 84.80, 86.50, 2 * kHour, -1},
    {32, direction::Sell, trigger::SellBidFalls, 2, 3620, 0, 3500, kHour, -1},
    {13, direction::Sell, trigger::SellBidRises, 2.00, 92.00, 0, 0, 30 * 60, 4},
};

// Nights between two moments, counted in Beijing calendar days.
std::int64_t NightsBetween(std::int64_t from, std::int64_t to) {
    auto a = DayNumber(TradingDayOf(from)), b = DayNumber(TradingDayOf(to));
    return a && b && *b > *a ? *b - *a : 0;
}

bool SeedDemoAccount(sqlite3* db, std::int64_t memberId, std::int64_t now) {
    using namespace account_rows;
    std::optional<AccountRow> account = LoadAccount(db, memberId);
    if (!account) return false;
    account->accountName = "演示账户";
    account->base1 = 150000;
    account->netDeposits = 50000;
    // Closed profit of earlier trades, less their fees and deferral.
    account->balance = 200000 + 6842.60 - 1116.40;
    account->todayClosedProfit = 1280.50;
    account->todayFees = 86.00;
    account->previousDeferralFee = 42.60;
    account->lastAward = 3;
    account->tradeCount = 24;
    account->winningTradeCount = 15;
    if (!SaveAccount(db, *account)) return false;

    std::vector<std::string> tickets;
    for (const SeedPosition& s : kDemoPositions) {
        const InstrumentRules& rules = *FindRules(s.instrument);
        PositionRow p;
        p.memberId = memberId;
        p.instrument = s.instrument;
        p.direction = s.direction;
        p.openedQuantity = p.heldQuantity = s.lots;
        p.openPrice = s.openPrice;
        p.stopLoss = s.stopLoss;
        p.takeProfit = s.takeProfit;
        p.margin = MarginFor(rules, s.openPrice, s.lots);
        p.openTime = now - s.age;
        p.fee1 = SideFee(rules, s.openPrice, s.lots);
        p.deferralFee = RoundMoney(DailyDeferral(rules, s.openPrice, s.lots) *
                                   static_cast<double>(NightsBetween(p.openTime, now)));
        p.programmatic = s.programmatic;
        if (!InsertPosition(db, p)) return false;
        tickets.push_back(p.ticket);
    }
    for (const SeedOrder& s : kDemoOrders) {
        const InstrumentRules& rules = *FindRules(s.instrument);
        OrderRow o;
        o.memberId = memberId;
        o.instrument = s.instrument;
        o.direction = s.direction;
        o.triggerKind = s.triggerKind;
        o.quantity = s.lots;
        o.price = s.price;
        o.stopLoss = s.stopLoss;
        o.takeProfit = s.takeProfit;
        o.validity = order_validity::ThisWeek;
        o.orderTime = now - s.age;
        if (s.closesPosition >= 0) {
            o.openClose = 2;
            o.relatedPosition = tickets[static_cast<std::size_t>(s.closesPosition)];
        } else {
            o.frozenMargin = MarginFor(rules, s.price, s.lots);
            o.frozenFee = SideFee(rules, s.price, s.lots);
        }
        if (!InsertOrder(db, o)) return false;
    }
    return true;
}

}  // namespace

// ---- Time ----

std::int64_t NowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string BeijingTimeText(std::int64_t unixSeconds) {
    const std::tm tm = BeijingTm(unixSeconds);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string TradingDayOf(std::int64_t unixSeconds) {
    return BeijingTimeText(unixSeconds).substr(0, 10);
}

std::optional<std::int64_t> DayNumber(const std::string& day) {
    int y = 0, m = 0, d = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3 || m < 1 ||
        m > 12 || d < 1 || d > 31)
        return std::nullopt;
    // Days from civil (proleptic Gregorian).
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// ---- Rows ----

namespace account_rows {

std::optional<AccountRow> LoadAccount(sqlite3* db, std::int64_t memberId) {
    std::string sql = std::string("SELECT ") + kAccountColumns +
                      " FROM accounts a JOIN members m ON m.id = a.member_id"
                      " WHERE a.member_id = ?";
    Statement st(db, sql.c_str());
    st.Bind(1, memberId);
    if (!st.Step()) return std::nullopt;
    return ReadAccount(st);
}

bool SaveAccount(sqlite3* db, const AccountRow& r) {
    Statement st(db,
                 "UPDATE accounts SET account_name = ?, base1 = ?, net_deposits = ?, balance = ?,"
                 " today_closed_profit = ?, today_fees = ?, previous_deferral_fee = ?,"
                 " last_award = ?, trade_count = ?, winning_trade_count = ?, trading_day = ?"
                 " WHERE member_id = ?");
    st.Bind(1, std::string_view(r.accountName))
        .Bind(2, r.base1)
        .Bind(3, r.netDeposits)
        .Bind(4, RoundMoney(r.balance))
        .Bind(5, RoundMoney(r.todayClosedProfit))
        .Bind(6, RoundMoney(r.todayFees))
        .Bind(7, RoundMoney(r.previousDeferralFee))
        .Bind(8, std::int64_t{r.lastAward})
        .Bind(9, r.tradeCount)
        .Bind(10, r.winningTradeCount)
        .Bind(11, std::string_view(r.tradingDay))
        .Bind(12, r.memberId);
    return st.Run() && sqlite3_changes(db) == 1;
}

bool CreatePlainAccount(sqlite3* db, std::int64_t memberId, std::int64_t now) {
    Statement st(db,
                 "INSERT INTO accounts (member_id, account_name, base1, net_deposits, balance,"
                 " trading_day) SELECT id, name, ?, 0, ?, ? FROM members WHERE id = ?");
    st.Bind(1, kPlainStartingCapital)
        .Bind(2, kPlainStartingCapital)
        .Bind(3, std::string_view(TradingDayOf(now)))
        .Bind(4, memberId);
    return st.Run() && sqlite3_changes(db) == 1;
}

std::vector<PositionRow> LoadPositions(sqlite3* db, std::int64_t memberId) {
    return SelectRows(db, kPositionColumns, "positions", "ORDER BY open_time, id", memberId,
                      nullptr, ReadPosition);
}

std::optional<PositionRow> FindPosition(sqlite3* db, std::int64_t memberId,
                                        const std::string& ticket) {
    return First(SelectRows(db, kPositionColumns, "positions", "AND ticket = ?", memberId, &ticket,
                            ReadPosition));
}

bool InsertPosition(sqlite3* db, PositionRow& row) {
    if (row.ticket.empty()) row.ticket = NextSerial(db);
    if (row.ticket.empty()) return false;
    Statement st(db,
                 "INSERT INTO positions (member_id, ticket, instrument, direction,"
                 " opened_quantity, held_quantity, open_price, stop_loss, take_profit, margin,"
                 " open_time, deferral_fee, fee1, fee2, programmatic)"
                 " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    st.Bind(1, row.memberId).Bind(2, std::string_view(row.ticket));
    BindPosition(st, 3, row);
    return st.Run();
}

bool UpdatePosition(sqlite3* db, const PositionRow& row) {
    Statement st(db,
                 "UPDATE positions SET instrument = ?, direction = ?, opened_quantity = ?,"
                 " held_quantity = ?, open_price = ?, stop_loss = ?, take_profit = ?, margin = ?,"
                 " open_time = ?, deferral_fee = ?, fee1 = ?, fee2 = ?, programmatic = ?"
                 " WHERE member_id = ? AND ticket = ?");
    BindPosition(st, 1, row);
    st.Bind(14, row.memberId).Bind(15, std::string_view(row.ticket));
    return st.Run() && sqlite3_changes(db) == 1;
}

bool DeletePosition(sqlite3* db, std::int64_t memberId, const std::string& ticket) {
    Statement st(db, "DELETE FROM positions WHERE member_id = ? AND ticket = ?");
    st.Bind(1, memberId).Bind(2, std::string_view(ticket));
    return st.Run() && sqlite3_changes(db) == 1;
}

std::vector<OrderRow> LoadOrders(sqlite3* db, std::int64_t memberId) {
    return SelectRows(db, kOrderColumns, "orders", "ORDER BY order_time, id", memberId, nullptr,
                      ReadOrder);
}

std::optional<OrderRow> FindOrder(sqlite3* db, std::int64_t memberId,
                                  const std::string& orderNumber) {
    return First(SelectRows(db, kOrderColumns, "orders", "AND order_number = ?", memberId,
                            &orderNumber, ReadOrder));
}

bool InsertOrder(sqlite3* db, OrderRow& row) {
    if (row.orderNumber.empty()) row.orderNumber = NextSerial(db);
    if (row.orderNumber.empty()) return false;
    Statement st(db,
                 "INSERT INTO orders (member_id, order_number, instrument, direction, quantity,"
                 " price, stop_loss, take_profit, trigger_kind, open_close, related_position,"
                 " validity, order_time, status, frozen_margin, frozen_fee, done_time)"
                 " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    st.Bind(1, row.memberId).Bind(2, std::string_view(row.orderNumber));
    BindOrder(st, 3, row);
    return st.Run();
}

bool UpdateOrder(sqlite3* db, const OrderRow& row) {
    Statement st(db,
                 "UPDATE orders SET instrument = ?, direction = ?, quantity = ?, price = ?,"
                 " stop_loss = ?, take_profit = ?, trigger_kind = ?, open_close = ?,"
                 " related_position = ?, validity = ?, order_time = ?, status = ?,"
                 " frozen_margin = ?, frozen_fee = ?, done_time = ?"
                 " WHERE member_id = ? AND order_number = ?");
    BindOrder(st, 1, row);
    st.Bind(16, row.memberId).Bind(17, std::string_view(row.orderNumber));
    return st.Run() && sqlite3_changes(db) == 1;
}

std::string NextSerial(sqlite3* db) {
    std::int64_t next = 0;
    {
        Statement st(db, "SELECT next FROM serials WHERE name = 'ticket'");
        if (!st.Step()) return {};
        next = st.Int(0);
    }
    Statement up(db, "UPDATE serials SET next = ? WHERE name = 'ticket'");
    up.Bind(1, next + 1);
    if (!up.Run()) return {};
    return std::to_string(next);
}

}  // namespace account_rows

bool CreateAccountTables(Store& /*store*/, sqlite3* db, std::string* error) {
    if (!Exec(db,
              "CREATE TABLE accounts ("
              " member_id INTEGER PRIMARY KEY REFERENCES members(id) ON DELETE CASCADE,"
              " account_name TEXT NOT NULL,"
              " base1 REAL NOT NULL,"
              " net_deposits REAL NOT NULL,"
              " balance REAL NOT NULL,"
              " today_closed_profit REAL NOT NULL DEFAULT 0,"
              " today_fees REAL NOT NULL DEFAULT 0,"
              " previous_deferral_fee REAL NOT NULL DEFAULT 0,"
              " last_award INTEGER NOT NULL DEFAULT 0,"
              " trade_count INTEGER NOT NULL DEFAULT 0,"
              " winning_trade_count INTEGER NOT NULL DEFAULT 0,"
              " trading_day TEXT NOT NULL);"
              "CREATE TABLE positions ("
              " id INTEGER PRIMARY KEY,"
              " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
              " ticket TEXT NOT NULL UNIQUE,"
              " instrument INTEGER NOT NULL,"
              " direction INTEGER NOT NULL,"
              " opened_quantity REAL NOT NULL,"
              " held_quantity REAL NOT NULL,"
              " open_price REAL NOT NULL,"
              " stop_loss REAL NOT NULL,"
              " take_profit REAL NOT NULL,"
              " margin REAL NOT NULL,"
              " open_time INTEGER NOT NULL,"
              " deferral_fee REAL NOT NULL,"
              " fee1 REAL NOT NULL,"
              " fee2 REAL NOT NULL,"
              " programmatic INTEGER NOT NULL);"
              "CREATE INDEX positions_by_member ON positions (member_id);"
              "CREATE TABLE orders ("
              " id INTEGER PRIMARY KEY,"
              " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
              " order_number TEXT NOT NULL UNIQUE,"
              " instrument INTEGER NOT NULL,"
              " direction INTEGER NOT NULL,"
              " quantity REAL NOT NULL,"
              " price REAL NOT NULL,"
              " stop_loss REAL NOT NULL,"
              " take_profit REAL NOT NULL,"
              " trigger_kind INTEGER NOT NULL,"
              " open_close INTEGER NOT NULL,"
              " related_position TEXT NOT NULL,"
              " validity INTEGER NOT NULL,"
              " order_time INTEGER NOT NULL,"
              " status INTEGER NOT NULL,"
              " frozen_margin REAL NOT NULL,"
              " frozen_fee REAL NOT NULL,"
              " done_time INTEGER NOT NULL);"
              "CREATE INDEX orders_by_member ON orders (member_id, status);"
              "CREATE TABLE serials (name TEXT PRIMARY KEY, next INTEGER NOT NULL);"
              "CREATE TABLE market_prices ("
              " instrument INTEGER PRIMARY KEY,"
              " price INTEGER NOT NULL);",
              error))
        return false;
    {
        Statement st(db, "INSERT INTO serials (name, next) VALUES ('ticket', ?)");
        st.Bind(1, kFirstSerial);
        if (!st.Run()) {
            if (error) *error = sqlite3_errmsg(db);
            return false;
        }
    }
    const std::int64_t now = NowSeconds();
    std::vector<std::pair<std::int64_t, std::string>> members;
    {
        Statement st(db, "SELECT id, name FROM members ORDER BY id");
        while (st.Step()) members.emplace_back(st.Int(0), st.Text(1));
    }
    for (const auto& [id, name] : members) {
        if (!account_rows::CreatePlainAccount(db, id, now) ||
            (name == "demo" && !SeedDemoAccount(db, id, now))) {
            if (error) *error = "cannot open the account of " + name;
            return false;
        }
    }
    return true;
}

// ---- Filters ----

PositionFilter PositionFilter::From(const LoadPositionsRequest& request) {
    PositionFilter f;
    f.instrument = GetInt(&request, 0);
    f.direction = GetInt(&request, 4);
    f.ticket = GetText(&request, 8, 24);
    f.origin = GetInt(&request, 32);
    return f;
}

bool PositionFilter::Matches(const PositionRow& row) const {
    if (instrument != 0 && row.instrument != instrument) return false;
    if (direction != 0 && row.direction != direction) return false;
    if (!ticket.empty() && row.ticket != ticket) return false;
    if (origin == 1 && row.programmatic == 1) return false;
    if (origin == 2 && row.programmatic != 1) return false;
    return true;
}

OrderFilter OrderFilter::From(const LoadOrdersRequest& request) {
    OrderFilter f;
    f.instrument = request.word0;
    f.direction = request.word1;
    f.status = request.selector;
    f.orderNumber = GetText(&request, 12, 24);
    return f;
}

bool OrderFilter::Matches(const OrderRow& row) const {
    if (instrument != 0 && row.instrument != instrument) return false;
    if (direction != 0 && row.direction != direction) return false;
    if (status != 0 && row.status != status) return false;
    if (!orderNumber.empty() && row.orderNumber != orderNumber) return false;
    return true;
}

// ---- Records ----

double PositionCurrentPrice(const PositionRecord& record) {
    return GetDouble(&record, kPositionPriceOffset);
}

double PositionFloatingProfit(const PositionRecord& record) {
    return GetDouble(&record, kPositionProfitOffset);
}

PositionRecord MakePositionRecord(const PositionRow& row, const InstrumentRecord& quoted) {
    static_assert(offsetof(PositionRecord, reserved2) == kPositionPriceOffset);
    static_assert(offsetof(PositionRecord, reserved3) == kPositionProfitOffset);
    PositionRecord r;
    std::memset(&r, 0, sizeof r);
    PutField(r.ticket, sizeof r.ticket, row.ticket);
    r.instrument = row.instrument;
    PutField(r.instrumentName, sizeof r.instrumentName, InstrumentNameAnsi(row.instrument));
    r.direction = row.direction;
    r.openedQuantity = row.openedQuantity;
    r.heldQuantity = row.heldQuantity;
    r.openPrice = row.openPrice;
    r.stopLoss = row.stopLoss;
    r.takeProfit = row.takeProfit;
    r.occupiedMargin = row.margin;
    PutField(r.openTime, sizeof r.openTime, BeijingTimeText(row.openTime));
    r.deferralFee = row.deferralFee;
    r.fee1 = row.fee1;
    r.fee2 = row.fee2;
    r.programmatic = row.programmatic;
    r.watched = row.stopLoss > 0 || row.takeProfit > 0 ? 1 : 0;
    if (quoted.decimals != 0 || quoted.last != 0) {
        PutDouble(&r, kPositionPriceOffset,
                  row.direction == direction::Buy ? quoted.bid : quoted.ask);
        const Decimal profit = PositionProfit(r, quoted);
        PutDouble(&r, kPositionProfitOffset, profit.Valid() ? profit.ToDouble() : 0.0);
    }
    return r;
}

PendingOrderRecord MakeOrderRecord(const OrderRow& row) {
    PendingOrderRecord r;
    std::memset(&r, 0, sizeof r);
    PutField(r.orderNumber, sizeof r.orderNumber, row.orderNumber);
    r.instrument = row.instrument;
    PutField(r.instrumentName, sizeof r.instrumentName, InstrumentNameAnsi(row.instrument));
    r.direction = row.direction;
    r.quantity = row.quantity;
    r.price = row.price;
    r.stopLoss = row.stopLoss;
    r.takeProfit = row.takeProfit;
    r.triggerKind = row.triggerKind;
    r.openClose = row.openClose;
    PutField(r.relatedPosition, sizeof r.relatedPosition, row.relatedPosition);
    r.validity = row.validity;
    PutField(r.orderTime, sizeof r.orderTime, BeijingTimeText(row.orderTime));
    r.status = row.status;
    return r;
}

std::vector<PositionRecord> Summarize(const std::vector<PositionRecord>& positions) {
    struct Line {
        PositionRecord record;
        double weightedPrice = 0;
    };
    std::map<std::pair<std::int32_t, std::int32_t>, Line> lines;
    for (const PositionRecord& p : positions) {
        auto [it, fresh] = lines.try_emplace({p.instrument, p.direction});
        Line& line = it->second;
        PositionRecord& s = line.record;
        if (fresh) {
            std::memset(&s, 0, sizeof s);
            s.instrument = p.instrument;
            std::memcpy(s.instrumentName, p.instrumentName, sizeof s.instrumentName);
            s.direction = p.direction;
            PutDouble(&s, kPositionPriceOffset, PositionCurrentPrice(p));
        }
        s.openedQuantity += p.openedQuantity;
        s.heldQuantity += p.heldQuantity;
        line.weightedPrice += p.openPrice * p.heldQuantity;
        s.occupiedMargin += p.occupiedMargin;
        s.deferralFee += p.deferralFee;
        s.fee1 += p.fee1;
        s.fee2 += p.fee2;
        PutDouble(&s, kPositionProfitOffset, PositionFloatingProfit(s) + PositionFloatingProfit(p));
    }
    std::vector<PositionRecord> out;
    for (auto& [key, line] : lines) {
        PositionRecord& s = line.record;
        const InstrumentRules* rules = FindRules(s.instrument);
        const std::int32_t lotDecimals = rules ? rules->lotDecimals : 2;
        s.openedQuantity = RoundLots(s.openedQuantity, lotDecimals);
        s.heldQuantity = RoundLots(s.heldQuantity, lotDecimals);
        s.openPrice = s.heldQuantity > 0 ? line.weightedPrice / s.heldQuantity : 0;
        s.occupiedMargin = RoundMoney(s.occupiedMargin);
        s.deferralFee = RoundMoney(s.deferralFee);
        s.fee1 = RoundMoney(s.fee1);
        s.fee2 = RoundMoney(s.fee2);
        out.push_back(s);
    }
    return out;
}

// ---- Accounts ----

std::optional<AccountRow> Accounts::Settle(std::int64_t memberId) {
    const std::int64_t now = Now();
    const std::string today = TradingDayOf(now);
    std::optional<AccountRow> current =
        store_.WithDb([&](sqlite3* db) { return account_rows::LoadAccount(db, memberId); });
    if (current && current->tradingDay == today) return current;

    std::optional<AccountRow> result;
    const bool ok = InTransaction(store_, [&](sqlite3* db) {
        using namespace account_rows;
        std::optional<AccountRow> row = LoadAccount(db, memberId);
        if (!row) {
            if (!MemberExists(db, memberId) || !CreatePlainAccount(db, memberId, now)) return false;
            row = LoadAccount(db, memberId);
            if (!row) return false;
        }
        const auto from = DayNumber(row->tradingDay), to = DayNumber(today);
        // Only forward: a clock set back leaves the account as it is.
        if (row->tradingDay != today && (!from || !to || *to > *from)) {
            const std::int64_t days = from && to ? *to - *from : 1;
            double lastNight = 0, charged = 0;
            for (PositionRow& p : LoadPositions(db, memberId)) {
                const InstrumentRules* rules = FindRules(p.instrument);
                if (!rules) continue;
                const double price = FromScaled(*rules, market_.Price(p.instrument));
                const double daily = DailyDeferral(*rules, price, p.heldQuantity);
                if (daily == 0) continue;
                const double fee = RoundMoney(daily * static_cast<double>(days));
                p.deferralFee = RoundMoney(p.deferralFee + fee);
                if (!UpdatePosition(db, p)) return false;
                lastNight += daily;
                charged += fee;
            }
            for (OrderRow& o : LoadOrders(db, memberId)) {
                if (o.status != order_status::Waiting) continue;
                const bool dayOver = o.validity == order_validity::Today;
                const bool weekOver = o.validity == order_validity::ThisWeek &&
                                      (!from || !to || WeekNumber(*to) != WeekNumber(*from));
                if (!dayOver && !weekOver) continue;
                o.status = order_status::Cancelled;
                o.doneTime = now;
                if (!UpdateOrder(db, o)) return false;
            }
            row->balance = RoundMoney(row->balance - charged);
            row->previousDeferralFee = RoundMoney(lastNight);
            row->todayClosedProfit = 0;
            row->todayFees = 0;
            row->tradingDay = today;
            if (!SaveAccount(db, *row)) return false;
        }
        result = row;
        return true;
    });
    if (!ok) return std::nullopt;
    return result;
}

std::vector<PositionRecord> Accounts::PositionRecords(std::int64_t memberId,
                                                      const PositionFilter& filter) {
    if (!Settle(memberId)) return {};
    const std::vector<PositionRow> rows =
        store_.WithDb([&](sqlite3* db) { return account_rows::LoadPositions(db, memberId); });
    std::map<std::int32_t, InstrumentRecord> quoted;
    std::vector<PositionRecord> out;
    for (const PositionRow& row : rows) {
        if (!filter.Matches(row)) continue;
        auto it = quoted.find(row.instrument);
        if (it == quoted.end())
            it = quoted.emplace(row.instrument, market_.QuotedRecord(row.instrument)).first;
        out.push_back(MakePositionRecord(row, it->second));
    }
    return out;
}

std::vector<PositionRecord> Accounts::Positions(std::int64_t memberId,
                                                const PositionFilter& filter) {
    return PositionRecords(memberId, filter);
}

std::vector<PositionRecord> Accounts::Summary(std::int64_t memberId) {
    return Summarize(PositionRecords(memberId, PositionFilter{}));
}

std::vector<PendingOrderRecord> Accounts::Orders(std::int64_t memberId, const OrderFilter& filter) {
    if (!Settle(memberId)) return {};
    const std::vector<OrderRow> rows =
        store_.WithDb([&](sqlite3* db) { return account_rows::LoadOrders(db, memberId); });
    std::vector<PendingOrderRecord> out;
    for (const OrderRow& row : rows)
        if (filter.Matches(row)) out.push_back(MakeOrderRecord(row));
    return out;
}

AccountBlock Accounts::Block(std::int64_t memberId) {
    AccountBlock b;
    std::memset(&b, 0, sizeof b);
    const std::optional<AccountRow> row = Settle(memberId);
    if (!row) return b;
    const std::vector<PositionRecord> positions = PositionRecords(memberId, PositionFilter{});
    const std::vector<OrderRow> orders =
        store_.WithDb([&](sqlite3* db) { return account_rows::LoadOrders(db, memberId); });

    double occupied = 0, frozenMargin = 0, frozenFees = 0;
    Decimal floating;
    for (const PositionRecord& p : positions) {
        occupied += p.occupiedMargin;
        floating += Decimal::FromDouble(PositionFloatingProfit(p));
    }
    for (const OrderRow& o : orders) {
        if (o.status != order_status::Waiting) continue;
        frozenMargin += o.frozenMargin;
        frozenFees += o.frozenFee;
    }
    occupied = RoundMoney(occupied);
    frozenMargin = RoundMoney(frozenMargin);
    frozenFees = RoundMoney(frozenFees);
    const double free = RoundMoney(row->balance - occupied - frozenMargin - frozenFees);

    PutField(b.reserved0, sizeof b.reserved0, ToAnsi(row->memberName));
    PutField(b.accountName, sizeof b.accountName, ToAnsi(row->accountName));
    b.base1 = row->base1;
    b.netDeposits = row->netDeposits;
    b.freeFunds = free;
    b.todayClosedProfit = row->todayClosedProfit;
    b.todayFees = row->todayFees;
    b.occupiedMargin = occupied;
    b.frozenMargin = frozenMargin;
    b.frozenFees = frozenFees;
    b.previousDeferralFee = row->previousDeferralFee;
    b.lastAward = row->lastAward;

    const Decimal equity = Decimal::FromDouble(free) + Decimal::FromDouble(occupied) +
                           Decimal::FromDouble(frozenMargin) + Decimal::FromDouble(frozenFees) +
                           floating;
    const Decimal base = Decimal::FromDouble(row->netDeposits) + Decimal::FromDouble(row->base1);
    b.equity = equity.ToDouble();
    b.floatingProfit = floating.ToDouble();
    b.availableMargin = (floating + Decimal::FromDouble(free)).ToDouble();
    b.riskRate = occupied > 0 ? static_cast<float>(b.equity * 100.0 / occupied) : 0.0f;
    b.averageReturn =
        base > Decimal() ? ((equity - base) * Decimal::FromInt(100) / base).ToFloat() : 0.0f;
    b.tradeCount = static_cast<float>(row->tradeCount);
    b.winningTradeCount = static_cast<float>(row->winningTradeCount);
    return b;
}

}  // namespace zq::server
