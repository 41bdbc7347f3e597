#include "server/trading/alerts.h"

#include <cmath>
#include <cstring>

#include "server/market/catalogue.h"
#include "server/market/trading_day.h"

namespace zq::server {
namespace {

constexpr std::int32_t kStoredMode = 1;

bool ValidCondition(std::int32_t condition) {
    return condition == 1 || condition == 2;
}

// The member's active alerts of a table, oldest first; `make` turns a row of `columns` into
// its record.
template <typename Record, typename Make>
std::vector<Record> ActiveAlerts(Store& store, const char* table, const char* columns,
                                 std::int64_t memberId, Make make) {
    return store.WithDb([&](sqlite3* db) {
        const std::string sql = std::string("SELECT ") + columns + " FROM " + table +
                                " WHERE member_id = ? AND state = ? ORDER BY id";
        Statement st(db, sql.c_str());
        st.Bind(1, memberId).Bind(2, std::int64_t{alert_state::Active});
        std::vector<Record> out;
        while (st.Step()) out.push_back(make(st));
        return out;
    });
}

std::int64_t ActiveCount(sqlite3* db, const char* table, std::int64_t memberId) {
    std::string sql =
        std::string("SELECT COUNT(*) FROM ") + table + " WHERE member_id = ? AND state = ?";
    Statement st(db, sql.c_str());
    st.Bind(1, memberId).Bind(2, std::int64_t{alert_state::Active});
    return st.Step() ? st.Int(0) : 0;
}

// `insert(db)` (the new alert's id, 0 on failure) unless the member has the most active alerts
// of the table already; then 0.
template <typename Insert>
std::int64_t InsertWithinLimit(Store& store, const char* table, std::int64_t memberId,
                               Insert insert) {
    return store.WithDb([&](sqlite3* db) -> std::int64_t {
        if (ActiveCount(db, table, memberId) >= kMaxAlertsPerMember) return 0;
        return insert(db);
    });
}

// Marks an active alert as removed; false when the member has no such active alert.
bool Retire(Store& store, const char* table, std::int64_t memberId, std::int64_t id,
            std::int32_t state) {
    if (id <= 0) return false;
    return store.WithDb([&](sqlite3* db) {
        std::string sql =
            std::string("UPDATE ") + table +
            " SET state = ?, removed = ? WHERE id = ? AND member_id = ? AND state = ?";
        Statement st(db, sql.c_str());
        st.Bind(1, std::int64_t{state})
            .Bind(2, NowSeconds())
            .Bind(3, id)
            .Bind(4, memberId)
            .Bind(5, std::int64_t{alert_state::Active});
        return st.Run() && sqlite3_changes(db) == 1;
    });
}

PriceAlertRecord PriceRecord(std::int64_t id, std::int32_t instrument, std::int32_t condition,
                             double target) {
    PriceAlertRecord r;
    std::memset(&r, 0, sizeof r);
    r.id = static_cast<std::int32_t>(id);
    r.target = target;
    r.condition = condition;
    r.instrument = instrument;
    r.mode = kStoredMode;
    return r;
}

ProfitAlertRecord ProfitRecord(std::int64_t id, std::int32_t condition, double target) {
    ProfitAlertRecord r;
    std::memset(&r, 0, sizeof r);
    const std::int32_t id32 = static_cast<std::int32_t>(id), stored = kStoredMode;
    std::memcpy(r.unused0, &id32, 4);
    std::memcpy(r.unused0 + 4, &stored, 4);
    r.condition = condition;
    r.target = target;
    return r;
}

std::int64_t InsertPriceAlert(sqlite3* db, std::int64_t memberId, std::int32_t instrument,
                              std::int32_t condition, double target) {
    Statement st(db,
                 "INSERT INTO price_alerts (member_id, instrument, condition, target, state,"
                 " created) VALUES (?, ?, ?, ?, ?, ?)");
    st.Bind(1, memberId)
        .Bind(2, std::int64_t{instrument})
        .Bind(3, std::int64_t{condition})
        .Bind(4, target)
        .Bind(5, std::int64_t{alert_state::Active})
        .Bind(6, NowSeconds());
    return st.Run() ? sqlite3_last_insert_rowid(db) : 0;
}

std::int64_t InsertProfitAlert(sqlite3* db, std::int64_t memberId, std::int32_t condition,
                               double target) {
    Statement st(db,
                 "INSERT INTO profit_alerts (member_id, condition, target, state, created)"
                 " VALUES (?, ?, ?, ?, ?)");
    st.Bind(1, memberId)
        .Bind(2, std::int64_t{condition})
        .Bind(3, target)
        .Bind(4, std::int64_t{alert_state::Active})
        .Bind(5, NowSeconds());
    return st.Run() ? sqlite3_last_insert_rowid(db) : 0;
}

}  // namespace

std::vector<PriceAlertRecord> PriceAlerts(Store& store, std::int64_t memberId) {
    return ActiveAlerts<PriceAlertRecord>(
        store, "price_alerts", "id, instrument, condition, target", memberId,
        [](const Statement& st) {
            return PriceRecord(st.Int(0), static_cast<std::int32_t>(st.Int(1)),
                               static_cast<std::int32_t>(st.Int(2)), st.Real(3));
        });
}

PriceAlertRecord AddPriceAlert(Store& store, std::int64_t memberId,
                               const PriceAlertRecord& request) {
    PriceAlertRecord refused = request;
    refused.id = 0;
    if (!FindRules(request.instrument) || !ValidCondition(request.condition) ||
        !std::isfinite(request.target) || request.target <= 0)
        return refused;
    const std::int64_t id = InsertWithinLimit(store, "price_alerts", memberId, [&](sqlite3* db) {
        return InsertPriceAlert(db, memberId, request.instrument, request.condition,
                                request.target);
    });
    if (id <= 0) return refused;
    return PriceRecord(id, request.instrument, request.condition, request.target);
}

bool RemovePriceAlert(Store& store, std::int64_t memberId, const PriceAlertRecord& record) {
    const std::int32_t state = record.mode == 2 ? alert_state::DeletedByUser : alert_state::Fired;
    return Retire(store, "price_alerts", memberId, record.id, state);
}

std::vector<ProfitAlertRecord> ProfitAlerts(Store& store, std::int64_t memberId) {
    return ActiveAlerts<ProfitAlertRecord>(
        store, "profit_alerts", "id, condition, target", memberId, [](const Statement& st) {
            return ProfitRecord(st.Int(0), static_cast<std::int32_t>(st.Int(1)), st.Real(2));
        });
}

std::int32_t AddProfitAlert(Store& store, std::int64_t memberId, std::int32_t condition,
                            double target) {
    if (!ValidCondition(condition) || !std::isfinite(target)) return 0;
    return static_cast<std::int32_t>(InsertWithinLimit(
        store, "profit_alerts", memberId,
        [&](sqlite3* db) { return InsertProfitAlert(db, memberId, condition, target); }));
}

bool RemoveProfitAlert(Store& store, std::int64_t memberId, const ProfitAlertRecord& record) {
    return Retire(store, "profit_alerts", memberId, ProfitAlertId(record), alert_state::Fired);
}

std::int32_t ProfitAlertId(const ProfitAlertRecord& record) {
    std::int32_t id;
    std::memcpy(&id, record.unused0, sizeof id);
    return id;
}

bool CreateAlertTables(Store& /*store*/, sqlite3* db, std::string* error) {
    if (!Exec(db,
              "CREATE TABLE price_alerts ("
              " id INTEGER PRIMARY KEY AUTOINCREMENT,"
              " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
              " instrument INTEGER NOT NULL,"
              " condition INTEGER NOT NULL,"
              " target REAL NOT NULL,"
              " state INTEGER NOT NULL,"
              " created INTEGER NOT NULL,"
              " removed INTEGER);"
              "CREATE INDEX price_alerts_by_member ON price_alerts (member_id, state);"
              "CREATE TABLE profit_alerts ("
              " id INTEGER PRIMARY KEY AUTOINCREMENT,"
              " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
              " condition INTEGER NOT NULL,"
              " target REAL NOT NULL,"
              " state INTEGER NOT NULL,"
              " created INTEGER NOT NULL,"
              " removed INTEGER);"
              "CREATE INDEX profit_alerts_by_member ON profit_alerts (member_id, state);",
              error))
        return false;
    Statement find(db, "SELECT id FROM members WHERE name = 'demo'");
    if (!find.Step()) return true;
    const std::int64_t demo = find.Int(0);
    // Far enough from the opening prices that they do not fire at once.
    const bool ok = InsertPriceAlert(db, demo, 1, 1, 1700.00) > 0 &&
                    InsertPriceAlert(db, demo, 13, 2, 80.00) > 0 &&
                    InsertPriceAlert(db, demo, 14, 1, 1.3500) > 0 &&
                    InsertProfitAlert(db, demo, 1, 50000.00) > 0 &&
                    InsertProfitAlert(db, demo, 2, -20000.00) > 0;
    if (!ok && error) *error = sqlite3_errmsg(db);
    return ok;
}

}  // namespace zq::server
