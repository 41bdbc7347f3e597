#include "server/links/session_store.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "net/wire/login_records.h"
#include "server/store/log.h"

namespace zq::server {
namespace {

std::int64_t Millis(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// The key as it travels in a header: four little-endian words.
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

void DeleteRow(Store& store, const KeyDigest& digest, const std::string& tag) {
    const bool ok = store.WithDb([&](sqlite3* db) {
        Statement st(db, "DELETE FROM sessions WHERE session_key = ?");
        st.BindBlob(1, digest.data(), digest.size());
        return st.Run();
    });
    if (!ok) LogLine("sessions: cannot remove session " + tag);
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

bool HashSessionKeys(Store& /*store*/, sqlite3* db, std::string* error) {
    if (!Exec(db, "ALTER TABLE sessions ADD COLUMN last_seen INTEGER NOT NULL DEFAULT 0", error))
        return false;
    std::vector<std::vector<std::uint8_t>> keys;
    {
        Statement st(db, "SELECT session_key FROM sessions");
        while (st.Step()) keys.push_back(st.Blob(0));
    }
    for (const auto& bytes : keys) {
        const std::optional<Key> key = DecodeKey(bytes);
        Statement st(db, key ? "UPDATE sessions SET session_key = ?, last_seen = started"
                               " WHERE session_key = ?"
                             : "DELETE FROM sessions WHERE session_key = ?2");
        if (key) {
            const KeyDigest d = DigestOf(*key);
            st.BindBlob(1, d.data(), d.size());
        }
        st.BindBlob(2, bytes.data(), bytes.size());
        if (!st.Run()) {
            if (error) *error = sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

void StoredSessions::Opened(const SessionInfo& info) {
    const KeyDigest digest = DigestOf(info.key);
    const bool ok = store_.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "INSERT OR REPLACE INTO sessions (session_key, member_id, member_name,"
                     " account_class, started, last_seen) VALUES (?, ?, ?, ?, ?, ?)");
        st.BindBlob(1, digest.data(), digest.size())
            .Bind(2, info.memberId)
            .Bind(3, std::string_view(info.memberName))
            .Bind(4, std::int64_t{info.accountClass})
            .Bind(5, Millis(info.started))
            .Bind(6,
                  Millis(info.lastSeen == std::chrono::system_clock::time_point{} ? info.started
                                                                                  : info.lastSeen));
        return st.Run();
    });
    if (!ok) LogLine("sessions: cannot store session " + KeyTag(info.key));
}

void StoredSessions::Ended(const Key& key) {
    DeleteRow(store_, DigestOf(key), KeyTag(key));
}

void StoredSessions::EndedDigest(const KeyDigest& digest) {
    DeleteRow(store_, digest, "(restored)");
}

void StoredSessions::Seen(
    const std::vector<std::pair<KeyDigest, std::chrono::system_clock::time_point>>& seen) {
    const bool ok = InTransaction(store_, [&](sqlite3* db) {
        Statement st(db, "UPDATE sessions SET last_seen = ? WHERE session_key = ?");
        for (const auto& [digest, when] : seen) {
            st.Reset();
            st.Bind(1, Millis(when)).BindBlob(2, digest.data(), digest.size());
            if (!st.Run()) return false;
        }
        return true;
    });
    if (!ok) LogLine("sessions: cannot note when the sessions were last used");
}

std::vector<SessionInfo> LoadStoredSessions(Store& store) {
    return store.WithDb([&](sqlite3* db) {
        std::vector<SessionInfo> out;
        std::vector<std::vector<std::uint8_t>> gone;
        Statement st(db,
                     "SELECT s.session_key, s.member_id, s.member_name, s.account_class,"
                     " s.started, m.state, s.last_seen FROM sessions s LEFT JOIN members m"
                     " ON m.id = s.member_id ORDER BY s.started, s.rowid");
        while (st.Step()) {
            std::vector<std::uint8_t> keyBytes = st.Blob(0);
            // A member without a row has a NULL state, which reads as 0: not usable.
            const auto state = static_cast<std::int32_t>(st.Int(5));
            SessionInfo s;
            if (keyBytes.size() != s.digest.size() || !LoginSucceeded(state)) {
                gone.push_back(std::move(keyBytes));
                continue;
            }
            std::copy(keyBytes.begin(), keyBytes.end(), s.digest.begin());
            s.memberId = st.Int(1);
            s.memberName = st.Text(2);
            s.accountClass = static_cast<std::int32_t>(st.Int(3));
            s.started = std::chrono::system_clock::time_point(std::chrono::milliseconds(st.Int(4)));
            s.lastSeen =
                std::chrono::system_clock::time_point(std::chrono::milliseconds(st.Int(6)));
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
