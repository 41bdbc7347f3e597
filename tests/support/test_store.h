// The stand-in server's store in a fresh test directory, for tests of the server's parts.
#pragma once

#include <memory>
#include <string>

#include "server/store/store.h"
#include "tests/support/test_directory.h"

namespace zq::test {

// Makes the test's directory (its path into `dir`) and opens "store.db" in it; null, with the
// reason reported as a test failure, when the store cannot be opened.
inline std::unique_ptr<server::Store> OpenTestStore(const std::string& prefix, std::string& dir) {
    dir = MakeTestDirectory(prefix).string();
    std::string error;
    std::unique_ptr<server::Store> store = server::Store::Open(dir + "/store.db", &error);
    EXPECT_TRUE(store) << error;
    return store;
}

// Adds a member with the password "pw" and answers its id.
inline std::int64_t AddTestMember(server::Store& store, const char* name) {
    server::Member m;
    m.name = name;
    EXPECT_TRUE(store.AddMember(m, "pw"));
    return store.FindMember(name)->id;
}

}  // namespace zq::test
