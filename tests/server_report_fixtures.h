// Fixtures of the server's report tests (drawing tools, fills, web pages): a throw-away store
// with two members, and the running server with a still market and a fixed code.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tests/server_member_link.h"
#include "tests/support/test_store.h"

namespace zq::test {

// A fresh store in the test's directory with the members "ann" and "bob". Nothing is synced:
// the file is thrown away, and tests that write thousands of rows stay quick.
class ReportStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = OpenTestStore("zq-report-test", dir_);
        ASSERT_TRUE(store_);
        store_->WithDb([](sqlite3* db) { return server::Exec(db, "PRAGMA synchronous=OFF"); });
        ann_ = AddTestMember(*store_, "ann");
        bob_ = AddTestMember(*store_, "bob");
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::string dir_;
    std::unique_ptr<server::Store> store_;
    std::int64_t ann_ = 0, bob_ = 0;
};

// The running server; its market stands at its opening (gold ask 1650.25, bid 1649.75) and
// every verification image shows kCode.
class ReportServerTest : public ::testing::Test {
  protected:
    static constexpr const char* kCode = "AB12";

    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"--fixed-code", kCode, "--market-step-ms", "0"});
        ASSERT_TRUE(server_->Running()) << server_->Error();
    }
    // The member's session; a failed login fails the test.
    LoggedIn Login(const char* name, const char* password) {
        std::optional<LoggedIn> in = LoginAs(server_->requestPort(), name, password, kCode);
        EXPECT_TRUE(in) << server_->Log();
        return in.value_or(LoggedIn{});
    }
    MemberLink Link(const MemberLink::Key& key) { return MemberLink(server_->requestPort(), key); }

    std::unique_ptr<ServerProcess> server_;
};

}  // namespace zq::test
