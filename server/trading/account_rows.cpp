#include "server/trading/account_rows.h"

#include <initializer_list>
#include <variant>

#include "server/market/catalogue.h"
#include "server/trading/demo_accounts.h"

namespace zq::server {
namespace {

constexpr double kPlainStartingCapital = 100000.0;
constexpr std::int64_t kFirstSerial = 1000000001;

// ---- Accounts ----

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

// ---- Positions and orders ----
//
// Both are rows of a member, named by a number from NextSerial; one description of each table
// drives every statement on it.

// A stored field of a row: its column and the field that holds it.
template <typename Row>
struct Column {
    const char* name;
    std::variant<std::int32_t Row::*, std::int64_t Row::*, double Row::*, std::string Row::*> field;
};

template <typename Row>
struct RowTable {
    const char* name;
    const char* numberColumn;  // the row's number, unique in the store
    std::string Row::*number;
    const char* listOrder;  // the order of a member's list
    const char* sequence;   // where NextSerial numbers new rows
    // Every column but member_id and the number.
    std::vector<Column<Row>> columns;
};

// The columns of the trade terms, then the row's own.
template <typename Row>
std::vector<Column<Row>> TermsAnd(std::initializer_list<Column<Row>> own) {
    std::vector<Column<Row>> columns = {{"instrument", &Row::instrument},
                                        {"direction", &Row::direction},
                                        {"stop_loss", &Row::stopLoss},
                                        {"take_profit", &Row::takeProfit}};
    columns.insert(columns.end(), own);
    return columns;
}

// A column of the row's own fields.
template <typename Row, typename Field>
Column<Row> Col(const char* name, Field Row::*field) {
    return {name, field};
}

// The table of each kind of row; the columns are those CreateAccountTables creates.
template <typename Row>
const RowTable<Row>& TableOf();

template <>
const RowTable<PositionRow>& TableOf<PositionRow>() {
    using R = PositionRow;
    static const RowTable<R> table{
        "positions",
        "ticket",
        &R::ticket,
        "open_time, id",
        "ticket",
        TermsAnd<R>({Col("opened_quantity", &R::openedQuantity),
                     Col("held_quantity", &R::heldQuantity), Col("open_price", &R::openPrice),
                     Col("margin", &R::margin), Col("open_time", &R::openTime),
                     Col("deferral_fee", &R::deferralFee), Col("fee1", &R::fee1),
                     Col("fee2", &R::fee2), Col("programmatic", &R::programmatic)})};
    return table;
}

template <>
const RowTable<OrderRow>& TableOf<OrderRow>() {
    using R = OrderRow;
    static const RowTable<R> table{
        "orders",
        "order_number",
        &R::orderNumber,
        "order_time, id",
        "ticket",
        TermsAnd<R>({Col("quantity", &R::quantity), Col("price", &R::price),
                     Col("trigger_kind", &R::triggerKind), Col("open_close", &R::openClose),
                     Col("related_position", &R::relatedPosition), Col("validity", &R::validity),
                     Col("order_time", &R::orderTime), Col("status", &R::status),
                     Col("frozen_margin", &R::frozenMargin), Col("frozen_fee", &R::frozenFee),
                     Col("done_time", &R::doneTime)})};
    return table;
}

template <>
const RowTable<FillRow>& TableOf<FillRow>() {
    using R = FillRow;
    static const RowTable<R> table{
        "fills",
        "fill_number",
        &R::fillNumber,
        "time, id",
        "fill",
        {Col("ticket", &R::ticket), Col("order_number", &R::orderNumber),
         Col("instrument", &R::instrument), Col("direction", &R::direction), Col("lots", &R::lots),
         Col("price", &R::price), Col("open_close", &R::openClose), Col("profit", &R::profit),
         Col("fee", &R::fee), Col("time", &R::time), Col("reason", &R::reason)}};
    return table;
}

// A field from its column, and a field bound to a parameter, by the field's type.
void Get(const Statement& st, int column, std::int32_t& value) {
    value = static_cast<std::int32_t>(st.Int(column));
}
void Get(const Statement& st, int column, std::int64_t& value) {
    value = st.Int(column);
}
void Get(const Statement& st, int column, double& value) {
    value = st.Real(column);
}
void Get(const Statement& st, int column, std::string& value) {
    value = st.Text(column);
}

void Put(Statement& st, int index, std::int32_t value) {
    st.Bind(index, std::int64_t{value});
}
void Put(Statement& st, int index, std::int64_t value) {
    st.Bind(index, value);
}
void Put(Statement& st, int index, double value) {
    st.Bind(index, value);
}
void Put(Statement& st, int index, const std::string& value) {
    st.Bind(index, std::string_view(value));
}

// "member_id, <number>, <columns...>", the order ReadRow reads.
template <typename Row>
std::string AllColumns(const RowTable<Row>& table) {
    std::string list = std::string("member_id, ") + table.numberColumn;
    for (const Column<Row>& c : table.columns) list += std::string(", ") + c.name;
    return list;
}

template <typename Row>
std::string WhereMemberAndNumber(const RowTable<Row>& table) {
    return std::string(" WHERE member_id = ? AND ") + table.numberColumn + " = ?";
}

template <typename Row>
Row ReadRow(const RowTable<Row>& table, const Statement& st) {
    Row row;
    row.memberId = st.Int(0);
    row.*table.number = st.Text(1);
    int column = 2;
    for (const Column<Row>& c : table.columns)
        std::visit([&](auto field) { Get(st, column++, row.*field); }, c.field);
    return row;
}

// Binds the row's columns but member_id and the number from parameter `first` on.
template <typename Row>
void BindColumns(const RowTable<Row>& table, Statement& st, int first, const Row& row) {
    for (const Column<Row>& c : table.columns)
        std::visit([&](auto field) { Put(st, first++, row.*field); }, c.field);
}

// The member's rows, in list order; with `number`, only the row of that number; with `also`,
// only the rows that meet that condition as well.
template <typename Row>
std::vector<Row> SelectRows(sqlite3* db, const RowTable<Row>& table, std::int64_t memberId,
                            const std::string* number, const char* also = nullptr) {
    const std::string sql =
        "SELECT " + AllColumns(table) + " FROM " + table.name +
        (number ? WhereMemberAndNumber(table)
                : std::string(" WHERE member_id = ?") + (also ? std::string(" AND ") + also : "") +
                      " ORDER BY " + table.listOrder);
    Statement st(db, sql.c_str());
    st.Bind(1, memberId);
    if (number) st.Bind(2, std::string_view(*number));
    std::vector<Row> out;
    while (st.Step()) out.push_back(ReadRow(table, st));
    return out;
}

}  // namespace

namespace account_rows {

bool MemberExists(sqlite3* db, std::int64_t memberId) {
    Statement st(db, "SELECT 1 FROM members WHERE id = ?");
    st.Bind(1, memberId);
    return st.Step();
}

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

template <typename Row>
std::vector<Row> LoadRows(sqlite3* db, std::int64_t memberId) {
    return SelectRows(db, TableOf<Row>(), memberId, nullptr);
}

std::vector<OrderRow> LoadWaitingOrders(sqlite3* db, std::int64_t memberId) {
    static const std::string waiting = "status = " + std::to_string(order_status::Waiting);
    return SelectRows(db, TableOf<OrderRow>(), memberId, nullptr, waiting.c_str());
}

template <typename Row>
std::optional<Row> FindRow(sqlite3* db, std::int64_t memberId, const std::string& number) {
    std::vector<Row> rows = SelectRows(db, TableOf<Row>(), memberId, &number);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

template <typename Row>
bool InsertRow(sqlite3* db, Row& row) {
    const RowTable<Row>& table = TableOf<Row>();
    std::string& number = row.*table.number;
    if (number.empty()) number = NextSerial(db, table.sequence);
    if (number.empty()) return false;
    std::string sql =
        std::string("INSERT INTO ") + table.name + " (" + AllColumns(table) + ") VALUES (?, ?";
    for (std::size_t i = 0; i < table.columns.size(); ++i) sql += ", ?";
    sql += ")";
    Statement st(db, sql.c_str());
    st.Bind(1, row.memberId).Bind(2, std::string_view(number));
    BindColumns(table, st, 3, row);
    return st.Run();
}

template <typename Row>
bool UpdateRow(sqlite3* db, const Row& row) {
    const RowTable<Row>& table = TableOf<Row>();
    std::string sql = std::string("UPDATE ") + table.name + " SET ";
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        sql += std::string(i ? ", " : "") + table.columns[i].name + " = ?";
    sql += WhereMemberAndNumber(table);
    Statement st(db, sql.c_str());
    BindColumns(table, st, 1, row);
    const int next = static_cast<int>(table.columns.size()) + 1;
    st.Bind(next, row.memberId).Bind(next + 1, std::string_view(row.*table.number));
    return st.Run() && sqlite3_changes(db) == 1;
}

template <typename Row>
bool DeleteRow(sqlite3* db, std::int64_t memberId, const std::string& number) {
    const RowTable<Row>& table = TableOf<Row>();
    const std::string sql = std::string("DELETE FROM ") + table.name + WhereMemberAndNumber(table);
    Statement st(db, sql.c_str());
    st.Bind(1, memberId).Bind(2, std::string_view(number));
    return st.Run() && sqlite3_changes(db) == 1;
}

// The rows of the two tables.
template std::vector<PositionRow> LoadRows(sqlite3*, std::int64_t);
template std::vector<OrderRow> LoadRows(sqlite3*, std::int64_t);
template std::vector<FillRow> LoadRows(sqlite3*, std::int64_t);
template bool InsertRow(sqlite3*, FillRow&);
template std::optional<PositionRow> FindRow(sqlite3*, std::int64_t, const std::string&);
template std::optional<OrderRow> FindRow(sqlite3*, std::int64_t, const std::string&);
template bool InsertRow(sqlite3*, PositionRow&);
template bool InsertRow(sqlite3*, OrderRow&);
template bool UpdateRow(sqlite3*, const PositionRow&);
template bool UpdateRow(sqlite3*, const OrderRow&);
template bool DeleteRow<PositionRow>(sqlite3*, std::int64_t, const std::string&);
template bool DeleteRow<OrderRow>(sqlite3*, std::int64_t, const std::string&);

std::string NextSerial(sqlite3* db) {
    return NextSerial(db, "ticket");
}

std::string NextSerial(sqlite3* db, const char* sequence) {
    std::int64_t next = 0;
    {
        Statement st(db, "SELECT next FROM serials WHERE name = ?");
        st.Bind(1, std::string_view(sequence));
        if (!st.Step()) return {};
        next = st.Int(0);
    }
    Statement up(db, "UPDATE serials SET next = ? WHERE name = ?");
    up.Bind(1, next + 1).Bind(2, std::string_view(sequence));
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

}  // namespace zq::server

namespace zq::server {

// Written so that it can run again on a file that has the table already.
bool CreateFillTable(Store& /*store*/, sqlite3* db, std::string* error) {
    return Exec(db,
                "CREATE TABLE IF NOT EXISTS fills ("
                " id INTEGER PRIMARY KEY,"
                " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
                " fill_number TEXT NOT NULL UNIQUE,"
                " ticket TEXT NOT NULL,"
                " order_number TEXT NOT NULL,"
                " instrument INTEGER NOT NULL,"
                " direction INTEGER NOT NULL,"
                " lots REAL NOT NULL,"
                " price REAL NOT NULL,"
                " open_close INTEGER NOT NULL,"
                " profit REAL NOT NULL,"
                " fee REAL NOT NULL,"
                " time INTEGER NOT NULL,"
                " reason INTEGER NOT NULL);"
                "CREATE INDEX IF NOT EXISTS fills_by_member ON fills (member_id, time);"
                "INSERT OR IGNORE INTO serials (name, next) VALUES ('fill', 1);",
                error);
}

}  // namespace zq::server
