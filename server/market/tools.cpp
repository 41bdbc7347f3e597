#include "server/market/tools.h"

#include <cstring>

#include "server/market/bars.h"
#include "server/market/catalogue.h"

namespace zq::server {

bool IsStorableTool(const ToolLineRecord& r) {
    return r.state == tool_state::Complete && r.type >= tool_type::Straight &&
           r.type <= tool_type::Symmetric && FindRules(r.instrument) != nullptr &&
           PeriodIndex(r.period) >= 0;
}

ToolStoreResult StoreTool(Store& store, std::int64_t memberId, const ToolLineRecord& record) {
    if (!IsStorableTool(record)) return ToolStoreResult::Incomplete;
    ToolStoreResult result = ToolStoreResult::Failed;
    // The count and the insert in one transaction, so that two connections of one member
    // cannot both take the last place.
    const bool committed = InTransaction(store, [&](sqlite3* db) {
        Statement count(db, "SELECT COUNT(*) FROM tools WHERE member_id = ?");
        count.Bind(1, memberId);
        if (!count.Step()) return false;
        if (static_cast<std::size_t>(count.Int(0)) >= kMaxToolsPerMember) {
            result = ToolStoreResult::Full;
            return false;
        }
        Statement insert(db,
                         "INSERT INTO tools (member_id, instrument, period, record)"
                         " VALUES (?, ?, ?, ?)");
        insert.Bind(1, memberId)
            .Bind(2, std::int64_t{record.instrument})
            .Bind(3, std::int64_t{record.period})
            .BindBlob(4, &record, sizeof record);
        if (!insert.Run()) return false;
        result = ToolStoreResult::Stored;
        return true;
    });
    // A commit that failed after the insert stored nothing.
    if (!committed && result == ToolStoreResult::Stored) return ToolStoreResult::Failed;
    return result;
}

std::optional<std::vector<ToolLineRecord>> LoadTools(Store& store, std::int64_t memberId) {
    return store.WithDb([&](sqlite3* db) -> std::optional<std::vector<ToolLineRecord>> {
        Statement st(db, "SELECT record FROM tools WHERE member_id = ? ORDER BY id");
        st.Bind(1, memberId);
        std::vector<ToolLineRecord> out;
        while (st.Step()) {
            const std::vector<std::uint8_t> blob = st.Blob(0);
            // Only whole records were ever written; anything else is not one of ours.
            if (blob.size() != sizeof(ToolLineRecord)) continue;
            ToolLineRecord r;
            std::memcpy(&r, blob.data(), sizeof r);
            out.push_back(r);
        }
        if (st.Failed()) return std::nullopt;
        return out;
    });
}

std::optional<int> DeleteTools(Store& store, std::int64_t memberId, std::int32_t instrument,
                               std::int32_t period) {
    int removed = 0;
    const bool done = InTransaction(store, [&](sqlite3* db) {
        Statement st(db, "DELETE FROM tools WHERE member_id = ? AND instrument = ? AND period = ?");
        st.Bind(1, memberId).Bind(2, std::int64_t{instrument}).Bind(3, std::int64_t{period});
        if (!st.Run()) return false;
        removed = sqlite3_changes(db);
        return true;
    });
    if (!done) return std::nullopt;
    return removed;
}

// Written so that it can run again on a file that has the table already.
bool CreateToolTable(Store& /*store*/, sqlite3* db, std::string* error) {
    return Exec(
        db,
        "CREATE TABLE IF NOT EXISTS tools ("
        " id INTEGER PRIMARY KEY,"
        " member_id INTEGER NOT NULL REFERENCES members(id) ON DELETE CASCADE,"
        " instrument INTEGER NOT NULL,"
        " period INTEGER NOT NULL,"
        " record BLOB NOT NULL);"
        "CREATE INDEX IF NOT EXISTS tools_by_member ON tools (member_id, instrument, period);",
        error);
}

}  // namespace zq::server
