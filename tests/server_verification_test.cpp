// Verification codes and images: the image provably shows its code, read back from the pixels
// with the server's glyph table, both in-process and as the running server sends it; and the
// pending keys are single-use, expire and stay bounded.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "server/links/verification.h"
#include "tests/support/server_process.h"

namespace zq::server {
namespace {

// Byte offset of pixel (x, y), y from the top: rows are stored bottom row first, 196 bytes each,
// three bytes (blue, green, red) per pixel.
std::size_t At(int x, int y) {
    return static_cast<std::size_t>((19 - y) * 196 + x * 3);
}

// A pixel the eye sees as ink: every channel below the middle grey.
bool Ink(const std::uint8_t* px, int x, int y) {
    std::size_t at = At(x, y);
    return px[at] < 128 && px[at + 1] < 128 && px[at + 2] < 128;
}

// Reads the code back: in each cell (and each jitter position around it) find the one glyph
// whose enlarged bitmap matches the ink exactly; every ink pixel of the image must belong to
// a matched glyph. Empty when the image cannot be read unambiguously.
std::string ReadCode(const std::uint8_t* px) {
    std::string code;
    int inkMatched = 0;
    for (int cell = 0; cell < kCodeLength; ++cell) {
        const Glyph* found = nullptr;
        int matches = 0;
        for (int dy = -kCellJitter; dy <= kCellJitter; ++dy) {
            for (int dx = -kCellJitter; dx <= kCellJitter; ++dx) {
                const int left = kFirstCellX + cell * kCellPitch + dx;
                const int top = kCellTop + dy;
                for (const Glyph& g : GlyphTable()) {
                    bool same = true;
                    for (int y = 0; y < kCellHeight && same; ++y)
                        for (int x = 0; x < kCellWidth && same; ++x)
                            same = Ink(px, left + x, top + y) ==
                                   g.Lit(x / kGlyphScale, y / kGlyphScale);
                    if (same) {
                        found = &g;
                        ++matches;
                    }
                }
            }
        }
        if (matches != 1) return {};
        code.push_back(found->ch);
        for (int r = 0; r < kGlyphRows; ++r)
            for (int c = 0; c < kGlyphCols; ++c) inkMatched += found->Lit(c, r) ? 4 : 0;
    }
    int ink = 0;
    for (int y = 0; y < kVerifyHeight; ++y)
        for (int x = 0; x < kVerifyWidth; ++x) ink += Ink(px, x, y);
    return ink == inkMatched ? code : std::string();
}

TEST(GlyphTableTest, DigitsAndLettersAllDistinct) {
    std::set<std::string> bitmaps;
    std::set<char> chars;
    for (const Glyph& g : GlyphTable()) {
        std::string bits;
        for (const char* row : g.rows) {
            ASSERT_EQ(std::string(row).size(), static_cast<std::size_t>(kGlyphCols)) << g.ch;
            bits += row;
        }
        EXPECT_NE(bits.find('#'), std::string::npos) << g.ch;
        bitmaps.insert(bits);
        chars.insert(g.ch);
    }
    EXPECT_EQ(bitmaps.size(), 36u);
    EXPECT_EQ(chars.size(), 36u);
    for (char c : std::string("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
        ASSERT_NE(FindGlyph(c), nullptr) << c;
        EXPECT_EQ(FindGlyph(c)->ch, c);
    }
    EXPECT_EQ(FindGlyph('q'), FindGlyph('Q'));
    EXPECT_EQ(FindGlyph('-'), nullptr);
}

TEST(VerificationCodeTest, RandomCodesAvoidLookAlikes) {
    for (char bad : std::string("01IO")) EXPECT_EQ(kCodeAlphabet.find(bad), std::string::npos);
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string code = MakeCode();
        ASSERT_EQ(code.size(), static_cast<std::size_t>(kCodeLength));
        for (char c : code) EXPECT_NE(kCodeAlphabet.find(c), std::string::npos) << code;
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 190u);  // 32^4 codes: repeats are rare
}

TEST(VerificationCodeTest, MatchIgnoresCaseButNotLength) {
    EXPECT_TRUE(CodesMatch("AB12", "ab12"));
    EXPECT_TRUE(CodesMatch("XY7Z", "xY7z"));
    EXPECT_FALSE(CodesMatch("AB12", "AB1"));
    EXPECT_FALSE(CodesMatch("AB12", "AB123"));
    EXPECT_FALSE(CodesMatch("AB12", "AB13"));
    EXPECT_FALSE(CodesMatch("AB12", ""));
    // Bytes of a double-byte character are not letters.
    EXPECT_FALSE(CodesMatch("AB12", "\xd5\xc5\xc8\xfd"));
    EXPECT_TRUE(IsDrawableCode("ab12"));
    EXPECT_FALSE(IsDrawableCode("AB1"));
    EXPECT_FALSE(IsDrawableCode("AB-1"));
}

TEST(VerificationImageTest, EveryGlyphReadsBackFromTheImage) {
    const std::string all = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uint64_t seed = 1;
    for (std::size_t at = 0; at < all.size(); at += kCodeLength) {
        std::string code = all.substr(at, kCodeLength);
        for (int rep = 0; rep < 12; ++rep) {  // different jitter, colours and noise
            VerificationPixels px = RenderCode(code, seed++);
            EXPECT_EQ(ReadCode(px.data()), code) << "seed " << seed - 1;
        }
    }
    // Lower-case codes are drawn as capitals.
    EXPECT_EQ(ReadCode(RenderCode("ab12", 99).data()), "AB12");
}

TEST(VerificationImageTest, RandomCodesReadBackAndPaddingStaysZero) {
    for (std::uint64_t seed = 1000; seed < 1300; ++seed) {
        std::string code = MakeCode();
        VerificationPixels px = RenderCode(code, seed);
        ASSERT_EQ(ReadCode(px.data()), code) << "seed " << seed;
        for (int row = 0; row < kVerifyHeight; ++row)
            ASSERT_EQ(px[static_cast<std::size_t>(row * kVerifyStride + kVerifyWidth * 3)], 0);
    }
}

TEST(VerificationImageTest, ImageIsBottomUp) {
    // The glyphs sit between rows 2 and 17 counted from the top; a top-down image would show
    // the '7' upside down and not read back.
    VerificationPixels px = RenderCode("7777", 5);
    EXPECT_EQ(ReadCode(px.data()), "7777");
    VerificationPixels flipped{};
    for (int y = 0; y < kVerifyHeight; ++y)
        std::copy_n(px.begin() + y * 196, 196, flipped.begin() + (19 - y) * 196);
    EXPECT_EQ(ReadCode(flipped.data()), "");
}

using Clock = VerificationKeys::Clock;

using PutResult = VerificationKeys::PutResult;

TEST(VerificationKeysTest, KeyIsGoodForOneTake) {
    VerificationKeys keys;
    Key k{1, 2, 3, 4};
    ASSERT_EQ(keys.Put(k, "AB12"), PutResult::Stored);
    EXPECT_EQ(keys.Put(k, "ZZZZ"), PutResult::KeyPending);  // a pending key is never bound twice
    EXPECT_EQ(keys.Take(Key{1, 2, 3, 5}), std::nullopt);
    EXPECT_EQ(keys.Take(k), "AB12");
    EXPECT_EQ(keys.Take(k), std::nullopt);
    EXPECT_EQ(keys.Size(), 0u);
}

TEST(VerificationKeysTest, KeysExpire) {
    VerificationKeys keys(100, std::chrono::minutes(10));
    const auto t0 = Clock::now();
    keys.Put(Key{1, 0, 0, 0}, "AAAA", 0, t0);
    keys.Put(Key{2, 0, 0, 0}, "BBBB", 0, t0 + std::chrono::minutes(5));
    EXPECT_EQ(keys.Take(Key{1, 0, 0, 0}, t0 + std::chrono::minutes(10)), std::nullopt);
    EXPECT_EQ(keys.Take(Key{2, 0, 0, 0}, t0 + std::chrono::minutes(14)), "BBBB");
}

TEST(VerificationKeysTest, BeyondCapacityNewKeysAreRefusedAndPendingOnesStay) {
    VerificationKeys keys(50, std::chrono::minutes(10), 1000);
    const auto t0 = Clock::now();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(keys.Put(Key{i, 0, 0, 0}, "CODE", 0, t0), PutResult::Stored);
    for (int i = 50; i < 200; ++i)
        EXPECT_EQ(keys.Put(Key{i, 0, 0, 0}, "CODE", 0, t0), PutResult::Full);
    EXPECT_EQ(keys.Size(), 50u);
    EXPECT_TRUE(keys.Contains(Key{0, 0, 0, 0})) << "no pending key gives way";
    EXPECT_FALSE(keys.Contains(Key{50, 0, 0, 0}));
    // Keys taken before they expire leave room, and their stale places in the order never
    // push out a live key.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(keys.Take(Key{i, 0, 0, 0}, t0));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(keys.Put(Key{1000 + i, 0, 0, 0}, "CODE", 0, t0), PutResult::Stored);
        keys.Take(Key{1000 + i, 0, 0, 0}, t0);
    }
    EXPECT_EQ(keys.Size(), 40u);
    for (int i = 10; i < 50; ++i) EXPECT_TRUE(keys.Contains(Key{i, 0, 0, 0})) << i;
    // Expired keys make room too.
    EXPECT_EQ(keys.Put(Key{7000, 0, 0, 0}, "CODE", 0, t0 + std::chrono::minutes(10)),
              PutResult::Stored);
    EXPECT_EQ(keys.Size(), 1u);
}

TEST(VerificationKeysTest, EachAddressHasItsShareAndOthersAreNotTouched) {
    VerificationKeys keys(100, std::chrono::minutes(10), 8);
    const auto t0 = Clock::now();
    const std::uint32_t flood = 2, member = 1;
    ASSERT_EQ(keys.Put(Key{1, 1, 1, 1}, "MINE", member, t0), PutResult::Stored);
    int stored = 0;
    for (int i = 0; i < 4200; ++i)
        if (keys.Put(Key{i, 7, 0, 0}, "FLOO", flood, t0) == PutResult::Stored) ++stored;
    EXPECT_EQ(stored, 8);
    EXPECT_EQ(keys.PendingFor(flood), 8u);
    EXPECT_EQ(keys.PendingFor(member), 1u);
    // The member's key is still pending, and the member can still have more.
    EXPECT_EQ(keys.Put(Key{2, 2, 2, 2}, "MORE", member, t0), PutResult::Stored);
    EXPECT_EQ(keys.Take(Key{1, 1, 1, 1}, t0), "MINE");
    // A taken or expired key gives its address a place again.
    ASSERT_TRUE(keys.Take(Key{0, 7, 0, 0}, t0));
    EXPECT_EQ(keys.Put(Key{9999, 7, 0, 0}, "FLOO", flood, t0), PutResult::Stored);
    EXPECT_EQ(keys.Put(Key{9998, 7, 0, 0}, "FLOO", flood, t0), PutResult::Full);
    EXPECT_EQ(keys.Put(Key{9998, 7, 0, 0}, "FLOO", flood, t0 + std::chrono::minutes(11)),
              PutResult::Stored);
    EXPECT_EQ(keys.PendingFor(flood), 1u);
    EXPECT_EQ(keys.PendingFor(member), 0u);
}

TEST(VerificationKeysTest, AFloodFromManyAddressesNeverStopsAnotherMemberOrAnOffice) {
    VerificationKeys keys;  // the server's own limits
    const auto t0 = Clock::now();
    ASSERT_EQ(keys.Put(Key{1, 1, 1, 1}, "MINE", 1, t0), PutResult::Stored);
    // 128 flooding addresses ask for far more images than they may hold.
    for (std::int32_t a = 0; a < 128; ++a)
        for (std::int32_t i = 0; i < 300; ++i)
            keys.Put(Key{i, a, 9, 9}, "FLOO", static_cast<std::uint32_t>(1000 + a), t0);
    // An office of 100 members behind one address, and the member who was typing, get in.
    for (std::int32_t i = 0; i < 100; ++i)
        EXPECT_EQ(keys.Put(Key{i, 0, 0, 7}, "OFFI", 2, t0), PutResult::Stored) << i;
    EXPECT_EQ(keys.Take(Key{1, 1, 1, 1}, t0), "MINE");
    // The flood's keys are gone within a minute: the table is free again.
    EXPECT_EQ(keys.Put(Key{5, 5, 5, 5}, "LATE", 3, t0 + std::chrono::minutes(1)),
              PutResult::Stored);
    EXPECT_EQ(keys.Size(), 1u);
}

// ---- through the running server ----

TEST(VerificationServerTest, FixedCodeImagesShowTheCodeWithFreshKeys) {
    zq::test::ServerProcess server({"--fixed-code", "AB12"});
    ASSERT_TRUE(server.Running()) << server.Error();
    Socket s = zq::test::ConnectLocal(server.requestPort());
    std::set<std::array<std::int32_t, 4>> keys;
    for (int i = 0; i < 5; ++i) {  // several images on one connection
        auto answer = zq::test::FetchVerification(s);
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->pixels.size(), static_cast<std::size_t>(kVerifyImageBytes));
        EXPECT_EQ(ReadCode(answer->pixels.data()), "AB12");
        EXPECT_FALSE(IsZeroKey(answer->key));
        keys.insert(answer->key);
    }
    EXPECT_EQ(keys.size(), 5u);
}

TEST(VerificationServerTest, RandomImageShowsTheCodeItsKeyLogsInWith) {
    zq::test::ServerProcess server;
    ASSERT_TRUE(server.Running()) << server.Error();
    std::set<std::string> codes;
    for (int i = 0; i < 3; ++i) {
        Socket s = zq::test::ConnectLocal(server.requestPort());
        auto answer = zq::test::FetchVerification(s);
        ASSERT_TRUE(answer);
        std::string code = ReadCode(answer->pixels.data());
        ASSERT_EQ(code.size(), 4u);
        codes.insert(code);
        // Typed in lower case, as a user might.
        std::string typed = code;
        for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto reply = zq::test::SendLogin(s, "demo", "demo", typed, answer->key);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result, 1) << code;
    }
    EXPECT_GE(codes.size(), 2u);
}

}  // namespace
}  // namespace zq::server
