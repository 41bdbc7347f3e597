// Password hashes: the Argon2id hashes the server makes, and the PBKDF2-HMAC-SHA-256 hashes of
// earlier servers, against published and independently computed values.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/store/passwords.h"

namespace zq::server {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::vector<std::uint8_t> Bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(Pbkdf2Test, KnownDerivedKeys) {
    auto a = LegacyPbkdf2Sha256("passwd", "salt", 4, 1, 64);
    EXPECT_EQ(Hex(a),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    auto b = LegacyPbkdf2Sha256("password", "salt", 4, 4096, 32);
    EXPECT_EQ(Hex(b), "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
    // A password longer than a hash block is hashed down first; a length that ends inside the
    // second block.
    auto c = LegacyPbkdf2Sha256(std::string(131, '\xaa'), "salt", 4, 3, 40);
    EXPECT_EQ(Hex(c),
              "5b8f88843bc0eba1574ab29d079183daade33deb8de1ee4d1c2e81c40b7110c4cf9cffd60b9c49fb");
}

TEST(PasswordHashTest, EarlierServersHashesStillVerifyAndAskToBeReplaced) {
    std::vector<std::uint8_t> salt;
    for (int i = 0; i < 16; ++i) salt.push_back(static_cast<std::uint8_t>(i));
    const auto hash = Bytes("872c6b54d368d29e6b709a873ca017bdc0ff282c22e04070dfd829117b01349a");
    EXPECT_EQ(CheckLegacyPasswordHash("demo", salt, 10000, hash), PasswordCheck::RightButRehash);
    EXPECT_EQ(CheckLegacyPasswordHash("Demo", salt, 10000, hash), PasswordCheck::Wrong);
    EXPECT_EQ(CheckLegacyPasswordHash("demo", salt, 9999, hash), PasswordCheck::Wrong);
    EXPECT_EQ(CheckLegacyPasswordHash("demo", salt, 0, hash), PasswordCheck::Wrong);
    EXPECT_EQ(CheckLegacyPasswordHash("demo", salt, 10000, {}), PasswordCheck::Wrong)
        << "an empty stored hash matches nothing";
}

TEST(PasswordHashTest, NewHashesAreSaltedArgon2idStrings) {
    const std::optional<std::string> a = HashPassword("zhangsan"), b = HashPassword("zhangsan");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->rfind("$argon2id$v=19$m=19456,t=2,p=1$", 0), 0u) << *a;
    EXPECT_TRUE(IsCurrentHash(*a));
    EXPECT_NE(*a, *b) << "each hash has a salt of its own";
    EXPECT_EQ(CheckPasswordHash("zhangsan", *a), PasswordCheck::Right);
    EXPECT_EQ(CheckPasswordHash("zhangsan", *b), PasswordCheck::Right);
    EXPECT_EQ(CheckPasswordHash("zhangsaN", *a), PasswordCheck::Wrong);
    EXPECT_EQ(CheckPasswordHash("", *a), PasswordCheck::Wrong);
}

TEST(PasswordHashTest, HashesOfAnotherCostStillVerifyAndAskToBeReplaced) {
    // Made elsewhere with the library's interactive cost (64 MiB).
    const std::string other =
        "$argon2id$v=19$m=65536,t=2,p=1$wXUpRX0nO3yYplYcmaUXhA$"
        "v/xskG1214Fw7/uz1RIs8VBqWuXhJAfOpD9EBSD3Epk";
    EXPECT_EQ(CheckPasswordHash("demo", other), PasswordCheck::RightButRehash);
    EXPECT_EQ(CheckPasswordHash("demo2", other), PasswordCheck::Wrong);
    const std::string same =
        "$argon2id$v=19$m=19456,t=2,p=1$/aD4AGu1vwNPMQ7JqLR4dw$"
        "gZso7OmdCv5hrnC/xprIZkbc+c6sZL6iAhK2ohfZghk";
    EXPECT_EQ(CheckPasswordHash("demo", same), PasswordCheck::Right);
}

TEST(PasswordHashTest, DamagedStoredHashesMatchNothing) {
    const std::string good = *HashPassword("demo");
    for (const std::string& bad :
         {std::string(), std::string("demo"), std::string("$argon2id$"),
          std::string("$argon2id$v=19$m=19456,t=2,p=1$garbage"), good.substr(0, good.size() - 4),
          good + std::string(200, 'A'), good.substr(0, 20) + std::string(1, '\0') + good.substr(21),
          std::string("$argon2i$v=19$m=19456,t=2,p=1$/aD4AGu1vwNPMQ7JqLR4dw$"
                      "gZso7OmdCv5hrnC/xprIZkbc+c6sZL6iAhK2ohfZghk")}) {
        EXPECT_EQ(CheckPasswordHash("demo", bad), PasswordCheck::Wrong) << bad;
    }
}

}  // namespace
}  // namespace zq::server
