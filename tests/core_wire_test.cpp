// Header fills, login records, byte-answer rules and the code page 936 edge.
#include <gtest/gtest.h>

#include <cstring>

#include "net/machine_id.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "net/wire/login_records.h"
#include "net/wire/session.h"

namespace zq {
namespace {

std::int32_t Word(const RequestHeader& h, int offset) {
    std::int32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&h) + offset, 4);
    return v;
}
std::uint16_t Half(const RequestHeader& h, int offset) {
    std::uint16_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&h) + offset, 2);
    return v;
}

TEST(RequestHeaderTest, PreSessionHeadersInFreshProcess) {
    ResetSession();
    RequestHeader login = MakeLoginHeader();
    EXPECT_EQ(Word(login, 0), 6);
    for (int off = 4; off < 24; off += 4) EXPECT_EQ(Word(login, off), 0) << off;

    RequestHeader version = MakeVersionHeader();
    EXPECT_EQ(Word(version, 0), 7);
    EXPECT_EQ(Word(version, 4), 0);
    EXPECT_EQ(Half(version, 8), 0);
    EXPECT_EQ(Half(version, 10), 24);
    for (int off = 12; off < 24; off += 4) EXPECT_EQ(Word(version, off), 0) << off;

    RequestHeader image = MakeHeader(cmd::VerificationImage);
    EXPECT_EQ(Word(image, 0), 5);
    for (int off = 4; off < 24; off += 4) EXPECT_EQ(Word(image, off), 0) << off;
}

TEST(RequestHeaderTest, SessionValuesFillEveryHeader) {
    ResetSession();
    SessionValues& s = Session();
    s.sessionKey[0] = 11, s.sessionKey[1] = -22, s.sessionKey[2] = 33, s.sessionKey[3] = 0x7FFFFFFF;
    s.accountClass = 0x00050004;
    RequestHeader h = MakeHeader(cmd::LoadAccount);
    EXPECT_EQ(Word(h, 0), 21);
    EXPECT_EQ(Word(h, 4), 11);
    EXPECT_EQ(Word(h, 8), -22);
    EXPECT_EQ(Word(h, 12), 33);
    EXPECT_EQ(Word(h, 16), 0x7FFFFFFF);
    EXPECT_EQ(Word(h, 20), 0x00050004);
    // The pre-session headers carry only the low half of the account class.
    RequestHeader v = MakeVersionHeader();
    EXPECT_EQ(Half(v, 8), 4);
    EXPECT_EQ(Half(v, 10), 24);
    EXPECT_EQ(Word(v, 4), 0);
    EXPECT_EQ(Word(MakeLoginHeader(), 8), 4);
    EXPECT_EQ(cmd::History(15, 1), 15001);
    ResetSession();
}

TEST(ByteAnswerTest, SignedAndNonZeroRules) {
    EXPECT_FALSE(ByteAnswerPositive(0));
    EXPECT_TRUE(ByteAnswerPositive(1));
    EXPECT_TRUE(ByteAnswerPositive(127));
    EXPECT_FALSE(ByteAnswerPositive(0xFF));  // -1
    EXPECT_FALSE(ByteAnswerPositive(0x80));
    EXPECT_TRUE(ByteAnswerNonZero(0xFF));
    EXPECT_FALSE(ByteAnswerNonZero(0));
}

TEST(LoginRequestTest, FieldsLandAtTheirOffsets) {
    const std::int32_t key[4] = {0x01020304, 5, -6, 7};
    LoginRequest r =
        MakeLoginRequest("demo", "secret", "AB12", key, "5555FFFFFFFF", ProcessorIdFromLeaves({}));
    const auto* b = reinterpret_cast<const unsigned char*>(&r);
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 0), "demo");
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 41), "secret");
    EXPECT_EQ(std::memcmp(b + 82, "AB12\0\0\0\0\0\0", 10), 0);
    std::int32_t w;
    std::memcpy(&w, b + 92, 4);
    EXPECT_EQ(w, 1);
    std::memcpy(&w, b + 96, 4);
    EXPECT_EQ(w, 0);
    std::memcpy(&w, b + 100, 4);
    EXPECT_EQ(w, 0x01020304);
    std::memcpy(&w, b + 108, 4);
    EXPECT_EQ(w, -6);
    // Twelve adapter characters fill the field with no terminator.
    EXPECT_EQ(std::memcmp(b + 116, "5555FFFFFFFF", 12), 0);
}

TEST(LoginRequestTest, EmptyAdapterLeavesZerosAndLongTextsStayTerminated) {
    const std::int32_t key[4] = {};
    std::string longName(60, 'x');
    std::string longCpu(44, 'Z');
    LoginRequest r = MakeLoginRequest(longName, "p", "\xd6\xd0\xce\xc4", key, "", longCpu);
    const auto* b = reinterpret_cast<const unsigned char*>(&r);
    for (int i = 116; i < 128; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[40], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(b)), 40u);
    EXPECT_EQ(b[159], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(b + 128)), 31u);
    EXPECT_EQ(std::memcmp(b + 82, "\xd6\xd0\xce\xc4", 4), 0);
}

TEST(LoginReplyTest, ResultTexts) {
    EXPECT_TRUE(LoginSucceeded(1));
    EXPECT_TRUE(LoginSucceeded(4));
    EXPECT_STREQ(LoginFailureText(0), "用户名或密码错误，请重新登录");
    for (int code : {2, 3, 9}) EXPECT_STREQ(LoginFailureText(code), "用户状态异常，请联系客服");
    EXPECT_STREQ(LoginFailureText(-2), "验证码错误，请重新登录");
    for (int code : {5, 6, 7, 8, -1}) {
        EXPECT_FALSE(LoginSucceeded(code));
        EXPECT_STREQ(LoginFailureText(code), "未知错误，请重新登录");
    }
}

TEST(MachineIdTest, AdapterAndProcessorTexts) {
    EXPECT_EQ(AdapterIdFromMac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), "556F7G8H9I:J");
    CpuidLeaves l{};
    std::memcpy(&l.l0[1], "Genu", 4);
    std::memcpy(&l.l0[3], "ineI", 4);
    std::memcpy(&l.l0[2], "ntel", 4);
    EXPECT_EQ(ProcessorIdFromLeaves(l), ShiftBy5("GenuineIntel"));
    l.l1[3] = 0xBFEBFBFF;
    l.l1[0] = 0x000306A9;
    EXPECT_EQ(ProcessorIdFromLeaves(l), ShiftBy5("GenuineIntelBFEBFBFF000306A9"));
    l.l1[0] = 0;  // EAX zero: leaf 1 is left out
    EXPECT_EQ(ProcessorIdFromLeaves(l), ShiftBy5("GenuineIntel"));
    EXPECT_EQ(ShiftBy5("0A"), "5F");
}

TEST(AnsiTextTest, RoundTripAndByteLengths) {
    EXPECT_EQ(ToAnsi("中文"), "\xd6\xd0\xce\xc4");
    EXPECT_EQ(FromAnsi("\xd6\xd0\xce\xc4"), "中文");
    EXPECT_EQ(ToAnsi("abc").size(), 3u);
    EXPECT_EQ(ToAnsi("验证码").size(), 6u);
    EXPECT_EQ(ToAnsi("a\xF0\x9F\x98\x80"
                     "b"),
              "a?b");  // not in the code page
    // A cut never splits a double-byte character.
    std::string mixed = ToAnsi("a中文");
    EXPECT_EQ(CutAnsi(mixed, 2), "a");
    EXPECT_EQ(CutAnsi(mixed, 3), ToAnsi("a中"));
    char field[4];
    PutField(field, sizeof field, ToAnsi("中文"));
    EXPECT_EQ(std::string(field), ToAnsi("中"));
    EXPECT_EQ(FieldText("abc", 3), "abc");  // a full field without terminator
}

}  // namespace
}  // namespace zq
