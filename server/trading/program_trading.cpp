#include "server/trading/program_trading.h"

namespace zq::server {

std::optional<ProgramSettings> LoadProgramSettings(Store& store, std::int64_t memberId) {
    return store.WithDb([&](sqlite3* db) -> std::optional<ProgramSettings> {
        Statement st(db,
                     "SELECT m.program_trading, p.risk_limit1, p.risk_limit2 FROM members m"
                     " LEFT JOIN program_trading p ON p.member_id = m.id WHERE m.id = ?");
        st.Bind(1, memberId);
        if (!st.Step()) return std::nullopt;
        ProgramSettings s;
        s.enabled = static_cast<std::int32_t>(st.Int(0));
        if (st.Text(1).empty()) return s;  // never saved
        s.riskLimit1 = static_cast<std::int32_t>(st.Int(1));
        s.riskLimit2 = static_cast<std::int32_t>(st.Int(2));
        return s;
    });
}

bool SaveProgramSettings(Store& store, std::int64_t memberId, const ProgramSettings& settings) {
    return InTransaction(store, [&](sqlite3* db) {
        Statement st(db,
                     "INSERT INTO program_trading (member_id, risk_limit1, risk_limit2)"
                     " VALUES (?, ?, ?) ON CONFLICT (member_id) DO UPDATE SET"
                     " risk_limit1 = excluded.risk_limit1, risk_limit2 = excluded.risk_limit2");
        st.Bind(1, memberId)
            .Bind(2, std::int64_t{settings.riskLimit1})
            .Bind(3, std::int64_t{settings.riskLimit2});
        // The store's lock is recursive: the flag joins this transaction.
        return st.Run() && store.SetProgramTrading(memberId, settings.enabled);
    });
}

bool CreateProgramTradingTable(Store& /*store*/, sqlite3* db, std::string* error) {
    return Exec(db,
                "CREATE TABLE IF NOT EXISTS program_trading ("
                " member_id INTEGER PRIMARY KEY REFERENCES members(id) ON DELETE CASCADE,"
                " risk_limit1 INTEGER NOT NULL,"
                " risk_limit2 INTEGER NOT NULL)",
                error);
}

}  // namespace zq::server
