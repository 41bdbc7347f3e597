#include "server/market/signal_flags.h"

#include <cstring>

namespace zq::server {
namespace {

bool WriteFlags(sqlite3* db, std::int64_t memberId, const SignalFlags& flags) {
    Statement st(db,
                 "INSERT INTO signal_flags (member_id, flags) VALUES (?, ?)"
                 " ON CONFLICT (member_id) DO UPDATE SET flags = excluded.flags");
    return st.Bind(1, memberId).BindBlob(2, flags.data(), flags.size()).Run();
}

}  // namespace

std::optional<SignalFlags> LoadSignalFlags(Store& store, std::int64_t memberId) {
    return store.WithDb([&](sqlite3* db) -> std::optional<SignalFlags> {
        Statement st(db, "SELECT flags FROM signal_flags WHERE member_id = ?");
        st.Bind(1, memberId);
        SignalFlags flags{};
        if (st.Step()) {
            const std::vector<std::uint8_t> blob = st.Blob(0);
            std::memcpy(flags.data(), blob.data(), std::min(blob.size(), flags.size()));
            return flags;
        }
        if (st.Failed()) return std::nullopt;
        return flags;
    });
}

bool SaveSignalFlags(Store& store, std::int64_t memberId, const SignalFlags& flags) {
    return InTransaction(store, [&](sqlite3* db) { return WriteFlags(db, memberId, flags); });
}

bool CreateSignalFlagTable(Store& /*store*/, sqlite3* db, std::string* error) {
    if (!Exec(db,
              "CREATE TABLE signal_flags ("
              " member_id INTEGER PRIMARY KEY REFERENCES members(id) ON DELETE CASCADE,"
              " flags BLOB NOT NULL)",
              error))
        return false;
    Statement find(db, "SELECT id FROM members WHERE name = 'demo'");
    if (!find.Step()) return true;
    SignalFlags flags{};
    for (std::int32_t instrument : kDemoAnnounced)
        flags[static_cast<std::size_t>(instrument - 1)] = 1;
    if (WriteFlags(db, find.Int(0), flags)) return true;
    if (error) *error = "cannot seed the demo member's signal flags";
    return false;
}

}  // namespace zq::server
