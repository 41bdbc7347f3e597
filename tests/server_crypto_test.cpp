// Password hashing primitives against published test vectors.
#include <gtest/gtest.h>

#include <string>

#include "server/sha256.h"

namespace zq::server {
namespace {

std::string Hex(const Digest& d) {
    return ToHex(d.data(), d.size());
}

TEST(Sha256Test, KnownDigests) {
    EXPECT_EQ(Hex(Sha256Of("", 0)),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(Sha256Of("abc", 3)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block.
    std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Hex(Sha256Of(two.data(), two.size())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256Test, PiecewiseUpdatesGiveTheSameDigest) {
    std::string data;
    for (int rep = 0; rep < 4; ++rep)
        for (int b = 0; b < 256; ++b) data.push_back(static_cast<char>(b));
    const std::string expected = "785b0751fc2c53dc14a4ce3d800e69ef9ce1009eb327ccf458afe09c242c26c9";
    EXPECT_EQ(Hex(Sha256Of(data.data(), data.size())), expected);
    // Pieces that straddle block boundaries in every way.
    for (std::size_t step : {1u, 7u, 63u, 64u, 65u, 200u}) {
        Sha256 h;
        for (std::size_t at = 0; at < data.size(); at += step)
            h.Update(data.data() + at, std::min(step, data.size() - at));
        EXPECT_EQ(Hex(h.Finish()), expected) << step;
    }
}

TEST(HmacSha256Test, KnownMacsIncludingLongKey) {
    std::string msg = "what do ya want for nothing?";
    EXPECT_EQ(Hex(HmacSha256("Jefe", 4, msg.data(), msg.size())),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    std::string key(131, '\xaa');
    std::string text = "Test Using Larger Than Block-Size Key - Hash Key First";
    EXPECT_EQ(Hex(HmacSha256(key.data(), key.size(), text.data(), text.size())),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(Pbkdf2Test, KnownDerivedKeys) {
    auto a = Pbkdf2Sha256("passwd", "salt", 4, 1, 64);
    EXPECT_EQ(ToHex(a.data(), a.size()),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    auto b = Pbkdf2Sha256("password", "salt", 4, 4096, 32);
    EXPECT_EQ(ToHex(b.data(), b.size()),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
}

}  // namespace
}  // namespace zq::server
