#include "server/session_store.h"

#include <array>
#include <cstdint>

#include "net/wire/login_records.h"
#include "server/log.h"

namespace zq::server {
namespace {

using KeyBytes = std::array<std::uint8_t, 16>;

// The key as it travels in a header: four little-endian words.
KeyBytes EncodeKey(const Key& key) {
    KeyBytes out{};
    for (std::size_t w = 0; w < 4; ++w) {
        const auto word = static_cast<std::uint32_t>(key[w]);
        for (std::size_t b = 0; b < 4; ++b)
            out[w * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return out;
}

std::optional<Key> DecodeKey(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != 16) return std::nullopt;
    Key key{};
    for (std::size_t w = 0; w < 4; ++w) {
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4; ++b) word |= std::uint32_t{bytes[w * 4 + b]} << (8 * b);
        key[w] = static_cast<std::int32_t>(word);
    }
    return key;
}

std::int64_t Millis(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

bool CreateSessionTable(Store& /*store*/, sqlite3* db, std::string* error) {
    // The key and the member are each unique: REPLACE on either drops the row it meets, the way
    // a login ends the member's older session and any session under the same key.
    return Exec(db,
                "CREATE TABLE sessions ("
                " session_key BLOB PRIMARY KEY,"
                " member_id INTEGER NOT NULL UNIQUE REFERENCES members(id) ON DELETE CASCADE,"
                " member_name TEXT NOT NULL,"
                " account_class INTEGER NOT NULL,"
                " started INTEGER NOT NULL)",  // milliseconds since 1970, UTC
                error);
}

void StoredSessions::Opened(const SessionInfo& info) {
    const KeyBytes key = EncodeKey(info.key);
    const bool ok = store_.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "INSERT OR REPLACE INTO sessions (session_key, member_id, member_name,"
                     " account_class, started) VALUES (?, ?, ?, ?, ?)");
        st.BindBlob(1, key.data(), key.size())
            .Bind(2, info.memberId)
            .Bind(3, std::string_view(info.memberName))
            .Bind(4, std::int64_t{info.accountClass})
            .Bind(5, Millis(info.started));
        return st.Run();
    });
    if (!ok) LogLine("sessions: cannot store session " + KeyTag(info.key));
}

void StoredSessions::Ended(const Key& key) {
    const KeyBytes bytes = EncodeKey(key);
    const bool ok = store_.WithDb([&](sqlite3* db) {
        Statement st(db, "DELETE FROM sessions WHERE session_key = ?");
        st.BindBlob(1, bytes.data(), bytes.size());
        return st.Run();
    });
    if (!ok) LogLine("sessions: cannot remove session " + KeyTag(key));
}

std::vector<SessionInfo> LoadStoredSessions(Store& store) {
    return store.WithDb([&](sqlite3* db) {
        std::vector<SessionInfo> out;
        std::vector<std::vector<std::uint8_t>> gone;
        Statement st(db,
                     "SELECT s.session_key, s.member_id, s.member_name, s.account_class,"
                     " s.started, m.state FROM sessions s LEFT JOIN members m"
                     " ON m.id = s.member_id ORDER BY s.started, s.rowid");
        while (st.Step()) {
            std::vector<std::uint8_t> keyBytes = st.Blob(0);
            const std::optional<Key> key = DecodeKey(keyBytes);
            // A member without a row has a NULL state, which reads as 0: not usable.
            const auto state = static_cast<std::int32_t>(st.Int(5));
            if (!key || IsZeroKey(*key) || !LoginSucceeded(state)) {
                gone.push_back(std::move(keyBytes));
                continue;
            }
            SessionInfo s;
            s.key = *key;
            s.memberId = st.Int(1);
            s.memberName = st.Text(2);
            s.accountClass = static_cast<std::int32_t>(st.Int(3));
            s.started = std::chrono::system_clock::time_point(std::chrono::milliseconds(st.Int(4)));
            out.push_back(std::move(s));
        }
        if (st.Failed()) LogLine("sessions: cannot read the stored sessions");
        for (const auto& bytes : gone) {
            Statement del(db, "DELETE FROM sessions WHERE session_key = ?");
            del.BindBlob(1, bytes.data(), bytes.size());
            if (!del.Run()) LogLine("sessions: cannot remove a stale session");
        }
        return out;
    });
}

}  // namespace zq::server
