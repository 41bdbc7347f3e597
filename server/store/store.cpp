#include "server/store/store.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/store/passwords.h"
#include "server/store/random.h"

namespace zq::server {
namespace {

struct SeedMember {
    const char* name;
    const char* password;
    std::int32_t state;
    std::int32_t accountClass;
    std::int32_t programTrading;
};

// The demo members, which a fresh store gets when asked for (see docs/server.md).
constexpr SeedMember kSeedMembers[] = {
    {"demo", "demo", 1, 1, 0},     {"trader", "trader", 4, 2, 1},
    {"frozen", "frozen", 2, 4, 0}, {"suspended", "suspended", 3, 8, 0},
    {"closed", "closed", 9, 1, 0}, {"张三", "zhangsan", 1, 1, 0},
};

}  // namespace

// Version 1: the members table, with the demo members when the store seeds them.
bool CreateMembers(Store& store, sqlite3* db, std::string* error) {
    if (!Exec(db,
              "CREATE TABLE members ("
              " id INTEGER PRIMARY KEY,"
              " name TEXT NOT NULL UNIQUE,"
              " salt BLOB NOT NULL,"
              " password_hash BLOB NOT NULL,"
              " iterations INTEGER NOT NULL,"
              " state INTEGER NOT NULL,"
              " account_class INTEGER NOT NULL,"
              " program_trading INTEGER NOT NULL DEFAULT 0)",
              error))
        return false;
    if (!store.SeedsDemoMembers()) return true;
    for (const SeedMember& s : kSeedMembers) {
        Member m;
        m.name = s.name;
        m.state = s.state;
        m.accountClass = s.accountClass;
        m.programTrading = s.programTrading;
        if (!store.AddMember(m, s.password)) {
            if (error) *error = std::string("cannot seed member ") + s.name;
            return false;
        }
    }
    return true;
}

namespace {

Member ReadMember(const Statement& st) {
    Member m;
    m.id = st.Int(0);
    m.name = st.Text(1);
    m.state = static_cast<std::int32_t>(st.Int(2));
    m.accountClass = static_cast<std::int32_t>(st.Int(3));
    m.programTrading = static_cast<std::int32_t>(st.Int(4));
    return m;
}

constexpr const char* kMemberColumns = "id, name, state, account_class, program_trading";

// Earlier servers hashed with 10,000 rounds; a round count far beyond that is not one of theirs
// and is not spent.
constexpr std::int64_t kMaxLegacyRounds = 10'000'000;

// Replaces the hash the member logged in with by a fresh Argon2id one, unless the row changed
// meanwhile. A failure keeps the old hash, which still logs in.
template <typename Stored>
void ReplacePasswordHash(Store& store, const Stored& stored, std::string_view password) {
    std::optional<std::string> hash = HashPassword(password);
    if (!hash) return;
    store.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "UPDATE members SET salt = ?, password_hash = ?, iterations = 0"
                     " WHERE id = ? AND password_hash = ?");
        st.BindBlob(1, "", 0)
            .BindBlob(2, hash->data(), hash->size())
            .Bind(3, stored.member.id)
            .BindBlob(4, stored.hash.data(), stored.hash.size());
        return st.Run();
    });
}

}  // namespace

// ---- Statement ----

namespace {

// The kept statements of the connections that keep them, by their text; a statement in use is
// not in its list.
struct StatementCache {
    // Copies of one text in use at once (nested loops) beyond this are finalized, not kept.
    static constexpr std::size_t kCopies = 4;
    std::mutex mutex;
    std::unordered_map<sqlite3*, std::unordered_map<std::string, std::vector<sqlite3_stmt*>>>
        byConnection;
};

StatementCache& Cache() {
    static StatementCache cache;
    return cache;
}

}  // namespace

void KeepStatements(sqlite3* db) {
    if (!db) return;
    std::lock_guard<std::mutex> lock(Cache().mutex);
    Cache().byConnection.try_emplace(db);
}

void ForgetStatements(sqlite3* db) {
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> kept;
    {
        std::lock_guard<std::mutex> lock(Cache().mutex);
        auto it = Cache().byConnection.find(db);
        if (it == Cache().byConnection.end()) return;
        kept.swap(it->second);
        Cache().byConnection.erase(it);
    }
    for (auto& [sql, statements] : kept)
        for (sqlite3_stmt* st : statements) sqlite3_finalize(st);
}

Statement::Statement(sqlite3* db, const char* sql) : db_(db), sql_(sql) {
    {
        std::lock_guard<std::mutex> lock(Cache().mutex);
        if (auto c = Cache().byConnection.find(db); c != Cache().byConnection.end()) {
            kept_ = true;
            if (auto it = c->second.find(sql); it != c->second.end() && !it->second.empty()) {
                stmt_ = it->second.back();
                it->second.pop_back();
                return;
            }
        }
    }
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        failed_ = true;
        kept_ = false;
    }
}

Statement::~Statement() {
    if (!stmt_) return;
    if (kept_) {
        // Reset, so that it holds no read of the database while it waits.
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        std::lock_guard<std::mutex> lock(Cache().mutex);
        if (auto c = Cache().byConnection.find(db_); c != Cache().byConnection.end()) {
            std::vector<sqlite3_stmt*>& list = c->second[sql_];
            if (list.size() < StatementCache::kCopies) {
                list.push_back(stmt_);
                return;
            }
        }
    }
    sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
    if (stmt_ && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) failed_ = true;
    return *this;
}

Statement& Statement::Bind(int index, double value) {
    if (stmt_ && sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) failed_ = true;
    return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
    if (stmt_ && sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT) != SQLITE_OK)
        failed_ = true;
    return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t size) {
    if (stmt_ && sqlite3_bind_blob(stmt_, index, size ? data : "", static_cast<int>(size),
                                   SQLITE_TRANSIENT) != SQLITE_OK)
        failed_ = true;
    return *this;
}

bool Statement::Step() {
    if (!stmt_ || failed_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) failed_ = true;
    return false;
}

bool Statement::Run() {
    while (Step()) {
    }
    return !failed_;
}

void Statement::Reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    failed_ = false;
}

std::int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}
double Statement::Real(int column) const {
    return sqlite3_column_double(stmt_, column);
}

std::string Statement::Text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
             : std::string();
}

std::vector<std::uint8_t> Statement::Blob(int column) const {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
}

bool Exec(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

// ---- Store ----

std::unique_ptr<Store> Store::OpenWith(const std::string& path, std::span<const SchemaStep> schema,
                                       std::string* error, bool demoMembers) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : "cannot open the database";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    std::unique_ptr<Store> store(new Store(db, schema, demoMembers));
    KeepStatements(db);
    // WAL with full syncs: a committed change survives a crash of the server or the machine.
    if (!Exec(db, "PRAGMA journal_mode=WAL", error) ||
        !Exec(db, "PRAGMA synchronous=FULL", error) || !Exec(db, "PRAGMA foreign_keys=ON", error) ||
        !store->Migrate(error)) {
        return nullptr;
    }
    // The account queries' connection, once the schema is there; without it they share the first.
    sqlite3* reader = nullptr;
    if (sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                        nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(reader, 5000);
        KeepStatements(reader);
        store->reader_ = reader;
    } else {
        sqlite3_close(reader);
    }
    return store;
}

Store::~Store() {
    ForgetStatements(reader_);
    ForgetStatements(db_);
    sqlite3_close(reader_);
    sqlite3_close(db_);
}

bool Store::Migrate(std::string* error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    int version = 0;
    {
        Statement st(db_, "PRAGMA user_version");
        if (st.Step()) version = static_cast<int>(st.Int(0));
    }
    if (version > SchemaVersion()) {
        if (error)
            *error = "the database was written by a newer server (schema version " +
                     std::to_string(version) + ")";
        return false;
    }
    for (int v = version; v < SchemaVersion(); ++v) {
        if (!Exec(db_, "BEGIN IMMEDIATE", error)) return false;
        std::string pragma = "PRAGMA user_version=" + std::to_string(v + 1);
        if (!schema_[static_cast<std::size_t>(v)](*this, db_, error) ||
            !Exec(db_, pragma.c_str(), error) || !Exec(db_, "COMMIT", error)) {
            Exec(db_, "ROLLBACK");
            return false;
        }
    }
    return true;
}

bool Store::AddMember(const Member& member, std::string_view password) {
    std::optional<std::string> hash = HashPassword(password);
    if (!hash) return false;
    // The Argon2id string carries its own salt and cost: the salt and round columns, which
    // hashes of earlier servers need, stay empty.
    return WithDb([&](sqlite3* db) {
        Statement st(db,
                     "INSERT INTO members (name, salt, password_hash, iterations, state,"
                     " account_class, program_trading) VALUES (?, ?, ?, 0, ?, ?, ?)");
        st.Bind(1, std::string_view(member.name))
            .BindBlob(2, "", 0)
            .BindBlob(3, hash->data(), hash->size())
            .Bind(4, std::int64_t{member.state})
            .Bind(5, std::int64_t{member.accountClass})
            .Bind(6, std::int64_t{member.programTrading});
        return st.Run();
    });
}

bool Store::SetPassword(std::string_view name, std::string_view password) {
    std::optional<std::string> hash = HashPassword(password);
    if (!hash) return false;
    return WithDb([&](sqlite3* db) {
        Statement st(db,
                     "UPDATE members SET salt = ?, password_hash = ?, iterations = 0"
                     " WHERE name = ?");
        st.BindBlob(1, "", 0).BindBlob(2, hash->data(), hash->size()).Bind(3, name);
        return st.Run() && sqlite3_changes(db) == 1;
    });
}

std::vector<std::string> Store::MembersWithDemoPasswords() {
    std::vector<std::string> out;
    for (const SeedMember& s : kSeedMembers)
        if (FindMember(s.name) && CheckPassword(s.name, s.password)) out.push_back(s.name);
    return out;
}

std::optional<Member> Store::FindMember(std::string_view name) {
    return WithDb([&](sqlite3* db) -> std::optional<Member> {
        std::string sql = std::string("SELECT ") + kMemberColumns + " FROM members WHERE name = ?";
        Statement st(db, sql.c_str());
        st.Bind(1, name);
        if (!st.Step()) return std::nullopt;
        return ReadMember(st);
    });
}

std::vector<Member> Store::Members() {
    return WithDb([&](sqlite3* db) {
        std::vector<Member> out;
        std::string sql = std::string("SELECT ") + kMemberColumns + " FROM members ORDER BY id";
        Statement st(db, sql.c_str());
        while (st.Step()) out.push_back(ReadMember(st));
        return out;
    });
}

std::optional<Member> Store::CheckPassword(std::string_view name, std::string_view password) {
    struct Stored {
        Member member;
        std::vector<std::uint8_t> salt, hash;
        std::int64_t rounds = 0;
    };
    std::optional<Stored> stored = WithDb([&](sqlite3* db) -> std::optional<Stored> {
        std::string sql = std::string("SELECT ") + kMemberColumns +
                          ", salt, password_hash, iterations FROM members WHERE name = ?";
        Statement st(db, sql.c_str());
        st.Bind(1, name);
        if (!st.Step()) return std::nullopt;
        Stored s{ReadMember(st), st.Blob(5), st.Blob(6), st.Int(7)};
        return s;
    });
    // An unknown name costs the same hashing as a known one, so the answer time does not tell
    // which names exist. The hashing runs outside the lock.
    if (!stored) {
        CheckNoPassword(password);
        return std::nullopt;
    }
    const std::string_view hashText(reinterpret_cast<const char*>(stored->hash.data()),
                                    stored->hash.size());
    PasswordCheck check = PasswordCheck::Wrong;
    if (IsCurrentHash(hashText)) {
        check = CheckPasswordHash(password, hashText);
    } else if (stored->rounds > 0 && stored->rounds <= kMaxLegacyRounds) {
        // A hash of an earlier server.
        check = CheckLegacyPasswordHash(password, stored->salt,
                                        static_cast<unsigned>(stored->rounds), stored->hash);
    }
    if (check == PasswordCheck::Wrong) return std::nullopt;
    if (check == PasswordCheck::RightButRehash) ReplacePasswordHash(*this, *stored, password);
    return stored->member;
}

bool Store::SetProgramTrading(std::int64_t memberId, std::int32_t flag) {
    return WithDb([&](sqlite3* db) {
        Statement st(db, "UPDATE members SET program_trading = ? WHERE id = ?");
        st.Bind(1, std::int64_t{flag}).Bind(2, memberId);
        return st.Run() && sqlite3_changes(db) == 1;
    });
}

}  // namespace zq::server
