// The server's SQLite store: one database file holding the members and, as the server grows,
// every account's state. The schema is created and the members seeded on first start; later
// starts keep what is there.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zq::server {

// A member as the login sees it. `state` is the login result the member's state gives: 1 and
// 4 log in, 2 (frozen), 3 (suspended) and 9 (closed) do not.
struct Member {
    std::int64_t id = 0;
    std::string name;  // UTF-8
    std::int32_t state = 1;
    std::int32_t accountClass = 1;
    std::int32_t programTrading = 0;
};

// A prepared statement, finalized on destruction. Columns and parameters count as in SQLite:
// parameters from 1, columns from 0. On the store's own connections a statement is prepared once
// and kept for the next use of the same text (preparing costs more than running most of them):
// destruction resets it and hands it back.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return stmt_ != nullptr; }
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, double value);
    Statement& Bind(int index, std::string_view text);
    Statement& BindBlob(int index, const void* data, std::size_t size);
    // True while a row is ready; false when done or on error (see Failed()).
    bool Step();
    bool Failed() const { return failed_; }
    // Runs a statement that returns no rows; false on error.
    bool Run();
    void Reset();

    std::int64_t Int(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;

  private:
    sqlite3* db_ = nullptr;
    const char* sql_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
    bool kept_ = false;  // from the connection's statement cache, and back to it
};

// The statement cache of a connection: statements on `db` are kept from now on; Forget finalizes
// them (before the connection closes).
void KeepStatements(sqlite3* db);
void ForgetStatements(sqlite3* db);

class Store;

// One step of the schema: makes its tables (and seeds them) inside the step's transaction;
// false with `error` set when it cannot.
using SchemaStep = bool (*)(Store& store, sqlite3* db, std::string* error);

// The first schema step: the members table, with the demo members when the store seeds them.
bool CreateMembers(Store& store, sqlite3* db, std::string* error);

class Store {
  public:
    // Opens (creating when missing) the database at `path`, brings its schema up to date and
    // seeds it on first start. Null with `error` set when that fails.
    // `demoMembers`: a store created by this call gets the demo members (and the demo
    // account); the server seeds them only when asked to (--demo-members), a test's store does.
    // The server's schema steps are the tables of every part of the server, so they are listed
    // with the server (server/schema.cpp), which defines Open with them.
    static std::unique_ptr<Store> Open(const std::string& path, std::string* error,
                                       bool demoMembers = true);
    // Opens with these schema steps: a database at version N has had the first N applied.
    static std::unique_ptr<Store> OpenWith(const std::string& path,
                                           std::span<const SchemaStep> schema, std::string* error,
                                           bool demoMembers);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The member with this name and password; nothing for an unknown name or a wrong password.
    std::optional<Member> CheckPassword(std::string_view name, std::string_view password);
    std::optional<Member> FindMember(std::string_view name);
    std::vector<Member> Members();
    // Adds a member; false when the name is taken.
    bool AddMember(const Member& member, std::string_view password);
    // Gives the member a new password (a fresh hash); false for an unknown name.
    bool SetPassword(std::string_view name, std::string_view password);
    // The demo members (--demo-members) that still log in with their well-known passwords.
    std::vector<std::string> MembersWithDemoPasswords();
    bool SetProgramTrading(std::int64_t memberId, std::int32_t flag);

    // The schema version this store writes: the number of its schema steps.
    int SchemaVersion() const { return static_cast<int>(schema_.size()); }

    // Runs `f(sqlite3*)` while holding the store's lock: every access to the database goes
    // through here, so handlers of all threads share the one connection safely.
    template <typename F>
    auto WithDb(F&& f) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return f(db_);
    }

    // Runs `f(sqlite3*)` on the store's second connection, which only reads: it sees what has
    // been committed and does not wait while the execution engine holds the first connection for
    // a group of changes and its commit. For the account queries; the first connection when the
    // second could not be opened.
    template <typename F>
    auto WithReader(F&& f) {
        if (!reader_) return WithDb(std::forward<F>(f));
        std::lock_guard<std::mutex> lock(readerMutex_);
        return f(reader_);
    }

    // True when the schema step that makes the members table seeds the demo members.
    bool SeedsDemoMembers() const { return demoMembers_; }

  private:
    Store(sqlite3* db, std::span<const SchemaStep> schema, bool demoMembers)
        : db_(db), schema_(schema), demoMembers_(demoMembers) {}
    bool Migrate(std::string* error);

    sqlite3* db_;
    const std::span<const SchemaStep> schema_;
    const bool demoMembers_;
    std::recursive_mutex mutex_;
    sqlite3* reader_ = nullptr;
    std::mutex readerMutex_;
};

// Runs a statement without rows (or a script) inside the store's connection; false with
// `error` set on failure.
bool Exec(sqlite3* db, const char* sql, std::string* error = nullptr);

// Runs `f(db)` inside BEGIN IMMEDIATE ... COMMIT under the store's lock; rolls back and gives
// false when f returns false or the commit fails.
template <typename F>
bool InTransaction(Store& store, F&& f) {
    return store.WithDb([&](sqlite3* db) {
        if (!Exec(db, "BEGIN IMMEDIATE")) return false;
        if (f(db) && Exec(db, "COMMIT")) return true;
        Exec(db, "ROLLBACK");
        return false;
    });
}

}  // namespace zq::server
