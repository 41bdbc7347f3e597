// The SQLite store: the seeded members, password checks, and what survives reopening.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "server/store.h"

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
        std::vector<std::vector<std::uint8_t>> salts, hashes;
        while (st.Step()) {
            salts.push_back(st.Blob(0));
            hashes.push_back(st.Blob(1));
            std::string name = st.Text(2);
            std::string hash(hashes.back().begin(), hashes.back().end());
            EXPECT_EQ(hash.find(name == "demo" ? "demo" : "same"), std::string::npos);
        }
        ASSERT_EQ(salts.size(), 2u);
        EXPECT_NE(salts[0], salts[1]);
        EXPECT_EQ(hashes[0].size(), 32u);
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
    Open().reset();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        std::string sql = "PRAGMA user_version=" + std::to_string(Store::SchemaVersion() + 1);
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

}  // namespace
}  // namespace zq::server
