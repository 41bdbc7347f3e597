// The SQLite store: the seeded members, password checks, what survives reopening, and the open
// sessions it keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "server/control/member_admin.h"
#include "server/links/session_store.h"
#include "server/links/sessions.h"
#include "server/store/store.h"
#include "tests/support/server_process.h"

namespace zq::server {
namespace {

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zq-store-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/store.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<Store> Open() {
        std::string error;
        auto store = Store::Open(path_, &error);
        EXPECT_TRUE(store) << error;
        return store;
    }

    std::string dir_, path_;
};

TEST_F(StoreTest, FreshStoreHoldsTheSeededMembers) {
    auto store = Open();
    ASSERT_TRUE(store);
    struct Expect {
        const char* name;
        const char* password;
        int state, accountClass, programTrading;
    };
    const Expect expected[] = {
        {"demo", "demo", 1, 1, 0},     {"trader", "trader", 4, 2, 1},
        {"frozen", "frozen", 2, 4, 0}, {"suspended", "suspended", 3, 8, 0},
        {"closed", "closed", 9, 1, 0}, {"张三", "zhangsan", 1, 1, 0},
    };
    for (const Expect& e : expected) {
        auto m = store->CheckPassword(e.name, e.password);
        ASSERT_TRUE(m) << e.name;
        EXPECT_EQ(m->name, e.name);
        EXPECT_EQ(m->state, e.state) << e.name;
        EXPECT_EQ(m->accountClass, e.accountClass) << e.name;
        EXPECT_EQ(m->programTrading, e.programTrading) << e.name;
    }
    EXPECT_EQ(store->Members().size(), std::size(expected));
}

TEST_F(StoreTest, WithoutDemoMembersTheStoreStartsEmptyAndTheOperatorAddsMembers) {
    std::string error, message;
    auto store = Store::Open(path_, &error, false);
    ASSERT_TRUE(store) << error;
    EXPECT_TRUE(store->Members().empty());
    struct Refused {
        std::string name, password, why;
    };
    const Refused refused[] = {
        {"", "long enough", "empty"},
        {"a\tb", "long enough", "control character"},
        {"ann", "short", "shorter than 8"},
        {"ann", "", "empty"},
        {"ann\xF0\x9F\x98\x80", "long enough", "code page 936"},
        {std::string(20, 'x') + "张张张张张张张张张张张", "long enough", "40 bytes"},
        {"ann", std::string(41, 'p'), "40 bytes"},
    };
    for (const Refused& r : refused) {
        EXPECT_FALSE(AddOperatorMember(*store, r.name, r.password, message)) << r.name;
        EXPECT_NE(message.find(r.why), std::string::npos) << message;
    }
    EXPECT_TRUE(store->Members().empty());
    ASSERT_TRUE(AddOperatorMember(*store, "王五", "s3cret-pass", message)) << message;
    EXPECT_FALSE(AddOperatorMember(*store, "王五", "other-pass", message));
    EXPECT_NE(message.find("exists"), std::string::npos);
    const auto m = store->CheckPassword("王五", "s3cret-pass");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->state, 1);
    EXPECT_EQ(m->accountClass, 1);
    EXPECT_EQ(store->Members().size(), 1u);
    EXPECT_TRUE(store->MembersWithDemoPasswords().empty());
}

TEST_F(StoreTest, TheOperatorReplacesTheDemoMembersWellKnownPasswords) {
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(
        store->MembersWithDemoPasswords(),
        (std::vector<std::string>{"demo", "trader", "frozen", "suspended", "closed", "张三"}));
    std::string message;
    EXPECT_FALSE(SetOperatorPassword(*store, "demo", "short", message));
    EXPECT_FALSE(SetOperatorPassword(*store, "nobody", "long enough", message));
    EXPECT_NE(message.find("no member"), std::string::npos);
    ASSERT_TRUE(SetOperatorPassword(*store, "demo", "a-better-one", message)) << message;
    EXPECT_FALSE(store->CheckPassword("demo", "demo"));
    EXPECT_TRUE(store->CheckPassword("demo", "a-better-one"));
    EXPECT_EQ(store->MembersWithDemoPasswords().size(), 5u);
}

TEST_F(StoreTest, WrongPasswordsAndUnknownNamesFail) {
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->CheckPassword("demo", "Demo"));
    EXPECT_FALSE(store->CheckPassword("demo", ""));
    EXPECT_FALSE(store->CheckPassword("demo", "demo "));
    EXPECT_FALSE(store->CheckPassword("Demo", "demo"));
    EXPECT_FALSE(store->CheckPassword("nobody", "demo"));
    EXPECT_FALSE(store->CheckPassword("", ""));
    EXPECT_FALSE(store->CheckPassword("张三", "demo"));  // another member's password
}

TEST_F(StoreTest, PasswordsAreSaltedHashes) {
    auto store = Open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->AddMember(Member{0, "twin", 1, 1, 0}, "same"));
    store->WithDb([](sqlite3* db) {
        Statement st(db,
                     "SELECT salt, password_hash, name FROM members WHERE name IN "
                     "('demo', 'twin')");
        std::vector<std::string> hashes;
        while (st.Step()) {
            // An Argon2id string holds its own salt; the salt column is for older hashes.
            EXPECT_TRUE(st.Blob(0).empty());
            const std::vector<std::uint8_t> bytes = st.Blob(1);
            hashes.emplace_back(bytes.begin(), bytes.end());
            std::string name = st.Text(2);
            EXPECT_EQ(hashes.back().rfind("$argon2id$", 0), 0u) << hashes.back();
            EXPECT_EQ(hashes.back().find(name == "demo" ? "demo" : "same"), std::string::npos);
        }
        ASSERT_EQ(hashes.size(), 2u);
        // "$argon2id$v=19$m=...,t=...,p=1$" then the salt: the two salts differ.
        auto salt = [](const std::string& h) { return h.substr(0, h.rfind('$')); };
        EXPECT_NE(salt(hashes[0]), salt(hashes[1]));
    });
    // The same password under two salts gives two hashes.
    ASSERT_TRUE(store->AddMember(Member{0, "twin2", 1, 1, 0}, "same"));
    store->WithDb([](sqlite3* db) {
        Statement st(db,
                     "SELECT COUNT(DISTINCT password_hash) FROM members "
                     "WHERE name IN ('twin', 'twin2')");
        ASSERT_TRUE(st.Step());
        EXPECT_EQ(st.Int(0), 2);
    });
}

// Earlier servers stored PBKDF2-HMAC-SHA-256: a 16-byte salt, the round count and a 32-byte hash.
void WriteOldHash(Store& store, const std::string& name, unsigned rounds) {
    std::vector<std::uint8_t> salt;
    for (int i = 0; i < 16; ++i) salt.push_back(static_cast<std::uint8_t>(i));
    // PBKDF2-HMAC-SHA-256("demo", salt 00..0f, 10,000 rounds), worked out elsewhere.
    const std::uint8_t hash[32] = {0x87, 0x2c, 0x6b, 0x54, 0xd3, 0x68, 0xd2, 0x9e, 0x6b, 0x70, 0x9a,
                                   0x87, 0x3c, 0xa0, 0x17, 0xbd, 0xc0, 0xff, 0x28, 0x2c, 0x22, 0xe0,
                                   0x40, 0x70, 0xdf, 0xd8, 0x29, 0x11, 0x7b, 0x01, 0x34, 0x9a};
    store.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "UPDATE members SET salt = ?, password_hash = ?, iterations = ?"
                     " WHERE name = ?");
        st.BindBlob(1, salt.data(), salt.size())
            .BindBlob(2, hash, sizeof hash)
            .Bind(3, std::int64_t{rounds})
            .Bind(4, std::string_view(name));
        ASSERT_TRUE(st.Run());
    });
}

std::string StoredHash(Store& store, const std::string& name) {
    return store.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "SELECT password_hash, iterations, length(salt) FROM members WHERE name = ?");
        st.Bind(1, std::string_view(name));
        if (!st.Step()) return std::string();
        const std::vector<std::uint8_t> h = st.Blob(0);
        return std::string(h.begin(), h.end()) + " rounds " + std::to_string(st.Int(1)) + " salt " +
               std::to_string(st.Int(2));
    });
}

TEST_F(StoreTest, OldHashesLogInAndAreReplacedAtTheFirstRightPassword) {
    auto store = Open();
    ASSERT_TRUE(store);
    WriteOldHash(*store, "demo", 10000);
    const std::string old = StoredHash(*store, "demo");
    EXPECT_EQ(old.rfind("$argon2id$", 0), std::string::npos);
    // A wrong password changes nothing.
    EXPECT_FALSE(store->CheckPassword("demo", "Demo"));
    EXPECT_EQ(StoredHash(*store, "demo"), old);
    auto demo = store->CheckPassword("demo", "demo");
    ASSERT_TRUE(demo);
    EXPECT_EQ(demo->name, "demo");
    const std::string now = StoredHash(*store, "demo");
    EXPECT_EQ(now.rfind("$argon2id$v=19$m=19456,t=2,p=1$", 0), 0u) << now;
    EXPECT_NE(now.find(" rounds 0 salt 0"), std::string::npos) << now;
    // The new hash logs in as well, and stays.
    EXPECT_TRUE(store->CheckPassword("demo", "demo"));
    EXPECT_FALSE(store->CheckPassword("demo", "Demo"));
    EXPECT_EQ(StoredHash(*store, "demo"), now);
    // A round count no earlier server used is not spent, and logs no one in.
    WriteOldHash(*store, "trader", 4000000000u);
    EXPECT_FALSE(store->CheckPassword("trader", "demo"));
}

TEST(OldPasswordHashTest, AMemberOfAnOlderStoreLogsInThroughTheServerAndGetsANewHash) {
    test::ServerProcess server({"--fixed-code", "AB12"});
    ASSERT_TRUE(server.Running()) << server.Error();
    ASSERT_TRUE(server.Stop());
    std::string error;
    {
        auto store = Store::Open(server.dbPath(), &error);
        ASSERT_TRUE(store) << error;
        WriteOldHash(*store, "demo", 10000);
    }
    ASSERT_TRUE(server.Restart()) << server.Error();
    EXPECT_FALSE(test::LoginAs(server.requestPort(), "demo", "wrong", "AB12"));
    auto first = test::LoginAs(server.requestPort(), "demo", "demo", "AB12");
    ASSERT_TRUE(first) << server.Log();
    EXPECT_EQ(first->result, 1);
    {
        auto store = Store::Open(server.dbPath(), &error);
        ASSERT_TRUE(store) << error;
        EXPECT_EQ(StoredHash(*store, "demo").rfind("$argon2id$", 0), 0u);
    }
    EXPECT_TRUE(test::LoginAs(server.requestPort(), "demo", "demo", "AB12"));
}

TEST_F(StoreTest, ChangesSurviveReopeningAndSeedingHappensOnce) {
    {
        auto store = Open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->AddMember(Member{0, "李四", 4, 2, 0}, "lisi"));
        EXPECT_FALSE(store->AddMember(Member{0, "demo", 1, 1, 0}, "other"));
        auto trader = store->FindMember("trader");
        ASSERT_TRUE(trader);
        ASSERT_TRUE(store->SetProgramTrading(trader->id, 0));
    }
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->Members().size(), 7u);
    auto lisi = store->CheckPassword("李四", "lisi");
    ASSERT_TRUE(lisi);
    EXPECT_EQ(lisi->state, 4);
    EXPECT_EQ(store->FindMember("trader")->programTrading, 0);
    EXPECT_TRUE(store->CheckPassword("demo", "demo"));
}

TEST_F(StoreTest, DatabaseOfANewerServerIsRefused) {
    const int version = Open()->SchemaVersion();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        std::string sql = "PRAGMA user_version=" + std::to_string(version + 1);
        EXPECT_TRUE(Exec(db, sql.c_str()));
        sqlite3_close(db);
    }
    std::string error;
    EXPECT_FALSE(Store::Open(path_, &error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST_F(StoreTest, UnusableFileIsReported) {
    std::string error;
    EXPECT_FALSE(Store::Open(dir_ + "/missing-dir/store.db", &error));
    EXPECT_FALSE(error.empty());
}

// The open sessions in the store, seen as the next start loads them.
class StoredSessionsTest : public StoreTest {
  protected:
    SessionInfo Opened(Store& store, const std::string& name, const Key& key) {
        SessionInfo s;
        s.key = key;
        std::optional<Member> m = store.FindMember(name);
        EXPECT_TRUE(m) << name;
        s.memberId = m ? m->id : 0;
        s.memberName = name;
        s.accountClass = m ? m->accountClass : 0;
        s.started = std::chrono::system_clock::time_point(std::chrono::milliseconds(1712345678901));
        return s;
    }
    // The sessions the next start would open, in order, by their keys' digests.
    std::vector<KeyDigest> KeysAfterReopening() {
        auto store = Open();
        std::vector<KeyDigest> keys;
        if (!store) return keys;
        for (const SessionInfo& s : LoadStoredSessions(*store)) keys.push_back(s.digest);
        return keys;
    }
    static std::vector<KeyDigest> Digests(std::initializer_list<Key> keys) {
        std::vector<KeyDigest> out;
        for (const Key& k : keys) out.push_back(DigestOf(k));
        return out;
    }
    static std::int64_t Rows(Store& store) {
        return store.WithDb([](sqlite3* db) {
            Statement st(db, "SELECT COUNT(*) FROM sessions");
            return st.Step() ? st.Int(0) : -1;
        });
    }
};

TEST_F(StoredSessionsTest, OpenSessionsSurviveReopeningWhole) {
    const Key demoKey{-1, 0x12345678, 0, static_cast<std::int32_t>(0x80000000u)};
    const Key zhangKey{7, 8, 9, 10};
    SessionInfo demo, zhang;
    {
        auto store = Open();
        ASSERT_TRUE(store);
        StoredSessions journal(*store);
        SessionTable table(&journal);
        demo = Opened(*store, "demo", demoKey);
        zhang = Opened(*store, "张三", zhangKey);
        zhang.started += std::chrono::seconds(5);
        table.Begin(demo);
        table.Begin(zhang);
    }
    auto store = Open();
    ASSERT_TRUE(store);
    const std::vector<SessionInfo> loaded = LoadStoredSessions(*store);
    ASSERT_EQ(loaded.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const SessionInfo& want = i == 0 ? demo : zhang;
        EXPECT_EQ(loaded[i].digest, DigestOf(want.key)) << i;
        EXPECT_TRUE(IsZeroKey(loaded[i].key)) << "the store keeps no key";
        EXPECT_EQ(loaded[i].memberId, want.memberId) << i;
        EXPECT_EQ(loaded[i].memberName, want.memberName) << i;
        EXPECT_EQ(loaded[i].accountClass, want.accountClass) << i;
        EXPECT_EQ(loaded[i].started, want.started) << i;
    }
    // Loading twice gives the same: nothing is used up by a start.
    EXPECT_EQ(LoadStoredSessions(*store).size(), 2u);
    // Nowhere in the file are the keys' bytes; the digest finds the session again.
    std::ifstream file(path_, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const std::string zhangBytes("\x07\0\0\0\x08\0\0\0\x09\0\0\0\x0a\0\0\0", 16);
    EXPECT_EQ(bytes.find(zhangBytes), std::string::npos);
    SessionTable table;
    table.Load(loaded);
    EXPECT_FALSE(table.Find({7, 8, 9, 11}));
    ASSERT_TRUE(table.Find(zhangKey));
    EXPECT_EQ(table.Find(zhangKey)->memberName, "张三");
    EXPECT_EQ(table.FindMember(zhang.memberId)->key, zhangKey);
}

TEST_F(StoredSessionsTest, EndingOrReplacingASessionRemovesItsRow) {
    const Key k1{1, 1, 1, 1}, k2{2, 2, 2, 2}, k3{3, 3, 3, 3};
    {
        auto store = Open();
        ASSERT_TRUE(store);
        StoredSessions journal(*store);
        SessionTable table(&journal);
        table.Begin(Opened(*store, "demo", k1));
        table.Begin(Opened(*store, "trader", k2));
        table.Begin(Opened(*store, "demo", k3));  // a newer login of demo ends k1
        EXPECT_EQ(Rows(*store), 2);
    }
    EXPECT_EQ(KeysAfterReopening(), Digests({k2, k3}));
    {
        auto store = Open();
        ASSERT_TRUE(store);
        StoredSessions journal(*store);
        SessionTable table(&journal);
        table.Load(LoadStoredSessions(*store));
        EXPECT_TRUE(table.End(k2));  // a log-out, by command 4 or the control port
        EXPECT_FALSE(table.End(k1));
        // A login under a key that names a session takes the key over: demo's row goes.
        table.Begin(Opened(*store, "张三", k3));
        EXPECT_EQ(Rows(*store), 1);
    }
    const std::vector<KeyDigest> left = KeysAfterReopening();
    ASSERT_EQ(left, Digests({k3}));
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(LoadStoredSessions(*store)[0].memberName, "张三");
}

TEST_F(StoredSessionsTest, SessionsOfUnusableOrRemovedMembersAreNotRestored) {
    const Key demoKey{1, 0, 0, 0}, traderKey{2, 0, 0, 0}, goneKey{3, 0, 0, 0};
    {
        auto store = Open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->AddMember(Member{0, "李四", 1, 1, 0}, "lisi"));
        StoredSessions journal(*store);
        SessionTable table(&journal);
        table.Begin(Opened(*store, "demo", demoKey));
        table.Begin(Opened(*store, "trader", traderKey));
        table.Begin(Opened(*store, "李四", goneKey));
        // While the server is down, demo is frozen and 李四 is removed.
        ASSERT_TRUE(store->WithDb([](sqlite3* db) {
            return Exec(db,
                        "UPDATE members SET state = 2 WHERE name = 'demo';"
                        "DELETE FROM members WHERE name = '李四'");
        }));
    }
    EXPECT_EQ(KeysAfterReopening(), Digests({traderKey}));
    // The frozen member's row is gone for good: thawing does not bring the session back.
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(Rows(*store), 1);
    ASSERT_TRUE(store->WithDb(
        [](sqlite3* db) { return Exec(db, "UPDATE members SET state = 1 WHERE name = 'demo'"); }));
    EXPECT_EQ(LoadStoredSessions(*store).size(), 1u);
}

TEST_F(StoredSessionsTest, AnOlderDatabaseGainsTheSessionTableAndKeepsItsData) {
    {
        auto store = Open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->AddMember(Member{0, "王五", 1, 1, 0}, "wangwu"));
    }
    {
        // As the server before sessions were kept left the file.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        // Version 5: before the sessions and the signal flags were kept.
        const std::string sql =
            "DROP TABLE sessions; DROP TABLE signal_flags; PRAGMA user_version=5";
        EXPECT_TRUE(Exec(db, sql.c_str()));
        sqlite3_close(db);
    }
    {
        // A server that kept the keys themselves left a session of 王五 (version 10).
        auto store = Open();
        ASSERT_TRUE(store);
        const std::int64_t id = store->FindMember("王五")->id;
        sqlite3* db = nullptr;
        store.reset();
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        const std::string sql =
            "ALTER TABLE sessions DROP COLUMN last_seen; PRAGMA user_version=10;"
            "INSERT INTO sessions VALUES (x'05000000050000000500000005000000', " +
            std::to_string(id) + ", '王五', 1, 1712345678901)";
        EXPECT_TRUE(Exec(db, sql.c_str()));
        sqlite3_close(db);
        EXPECT_EQ(KeysAfterReopening(), Digests({{5, 5, 5, 5}}));
        ASSERT_TRUE(Open()->WithDb([](sqlite3* d) { return Exec(d, "DELETE FROM sessions"); }));
    }
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->CheckPassword("王五", "wangwu"));
    EXPECT_EQ(Rows(*store), 0);
    StoredSessions journal(*store);
    SessionTable table(&journal);
    table.Begin(Opened(*store, "王五", {5, 5, 5, 5}));
    EXPECT_EQ(Rows(*store), 1);
}

}  // namespace
}  // namespace zq::server
