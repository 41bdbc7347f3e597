#include "server/store.h"

#include <cstring>

#include "server/account_rows.h"
#include "server/alerts.h"
#include "server/bars.h"
#include "server/messages.h"
#include "server/program_trading.h"
#include "server/random.h"
#include "server/session_store.h"
#include "server/sha256.h"
#include "server/signal_flags.h"

namespace zq::server {
namespace {

constexpr unsigned kPasswordIterations = 10000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

std::vector<std::uint8_t> HashPassword(std::string_view password,
                                       const std::vector<std::uint8_t>& salt, unsigned iterations) {
    return Pbkdf2Sha256(password, salt.data(), salt.size(), iterations, kHashBytes);
}

// Compares without stopping at the first difference.
bool SameBytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size()) return false;
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ b[i];
    return diff == 0;
}

struct SeedMember {
    const char* name;
    const char* password;
    std::int32_t state;
    std::int32_t accountClass;
    std::int32_t programTrading;
};

// The members a fresh store starts with (see docs/server.md).
constexpr SeedMember kSeedMembers[] = {
    {"demo", "demo", 1, 1, 0},     {"trader", "trader", 4, 2, 1},
    {"frozen", "frozen", 2, 4, 0}, {"suspended", "suspended", 3, 8, 0},
    {"closed", "closed", 9, 1, 0}, {"张三", "zhangsan", 1, 1, 0},
};

// Version 1: the members table, seeded.
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

// Schema steps in order; a database at version N has had the first N applied. A later feature
// appends its step here and never changes an earlier one.
using MigrationStep = bool (*)(Store&, sqlite3*, std::string*);
constexpr MigrationStep kMigrations[] = {
    CreateMembers,
    CreateAccountTables,        // account_rows.cpp
    CreateAlertTables,          // alerts.cpp
    CreateMessageTables,        // messages.cpp
    CreateBarTables,            // bars.cpp
    CreateSessionTable,         // session_store.cpp
    CreateSignalFlagTable,      // signal_flags.cpp
    CreateFillTable,            // account_rows.cpp
    CreateProgramTradingTable,  // program_trading.cpp
};

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

}  // namespace

// ---- Statement ----

Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        failed_ = true;
    }
}

Statement::~Statement() {
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

int Store::SchemaVersion() {
    return static_cast<int>(std::size(kMigrations));
}

std::unique_ptr<Store> Store::Open(const std::string& path, std::string* error) {
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
    std::unique_ptr<Store> store(new Store(db));
    // WAL with full syncs: a committed change survives a crash of the server or the machine.
    if (!Exec(db, "PRAGMA journal_mode=WAL", error) ||
        !Exec(db, "PRAGMA synchronous=FULL", error) || !Exec(db, "PRAGMA foreign_keys=ON", error) ||
        !store->Migrate(error)) {
        return nullptr;
    }
    return store;
}

Store::~Store() {
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
        if (!kMigrations[v](*this, db_, error) || !Exec(db_, pragma.c_str(), error) ||
            !Exec(db_, "COMMIT", error)) {
            Exec(db_, "ROLLBACK");
            return false;
        }
    }
    return true;
}

bool Store::AddMember(const Member& member, std::string_view password) {
    std::vector<std::uint8_t> salt(kSaltBytes);
    SystemRandomBytes(salt.data(), salt.size());
    std::vector<std::uint8_t> hash = HashPassword(password, salt, kPasswordIterations);
    return WithDb([&](sqlite3* db) {
        Statement st(db,
                     "INSERT INTO members (name, salt, password_hash, iterations, state,"
                     " account_class, program_trading) VALUES (?, ?, ?, ?, ?, ?, ?)");
        st.Bind(1, std::string_view(member.name))
            .BindBlob(2, salt.data(), salt.size())
            .BindBlob(3, hash.data(), hash.size())
            .Bind(4, std::int64_t{kPasswordIterations})
            .Bind(5, std::int64_t{member.state})
            .Bind(6, std::int64_t{member.accountClass})
            .Bind(7, std::int64_t{member.programTrading});
        return st.Run();
    });
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
        unsigned iterations = kPasswordIterations;
    };
    std::optional<Stored> stored = WithDb([&](sqlite3* db) -> std::optional<Stored> {
        std::string sql = std::string("SELECT ") + kMemberColumns +
                          ", salt, password_hash, iterations FROM members WHERE name = ?";
        Statement st(db, sql.c_str());
        st.Bind(1, name);
        if (!st.Step()) return std::nullopt;
        Stored s{ReadMember(st), st.Blob(5), st.Blob(6), static_cast<unsigned>(st.Int(7))};
        return s;
    });
    // An unknown name costs the same hashing as a known one, so the answer time does not tell
    // which names exist. The hashing runs outside the lock.
    static const std::vector<std::uint8_t> kDummySalt(kSaltBytes, 0x5A);
    if (!stored) {
        HashPassword(password, kDummySalt, kPasswordIterations);
        return std::nullopt;
    }
    unsigned iterations = stored->iterations == 0 ? 1 : stored->iterations;
    if (!SameBytes(HashPassword(password, stored->salt, iterations), stored->hash))
        return std::nullopt;
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
