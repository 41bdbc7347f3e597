// The records of the login exchange: the verification image with its key, the 160-byte login
// request and the 32-byte reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq {

// The verification image: 65 × 20 pixels, 24-bit, bottom-up rows of 65 × 3 blue-green-red
// bytes and one padding byte.
constexpr int kVerifyWidth = 65;
constexpr int kVerifyHeight = 20;
constexpr int kVerifyStride = 196;
constexpr int kVerifyImageBytes = kVerifyStride * kVerifyHeight;  // 3,920
static_assert(kVerifyImageBytes == 3920);
constexpr int kVerifyKeyBytes = 16;

#pragma pack(push, 1)
struct LoginRequest {
    char memberName[41];
    char password[41];
    char verifyCode[10];
    std::int32_t one;   // constant 1
    std::int32_t zero;  // constant 0
    std::int32_t key[4];
    char adapterId[12];
    char processorId[32];
};

struct LoginReply {
    std::int32_t unused0;
    std::int32_t result;
    std::int32_t accountClass;
    std::int32_t unused12[2];
    std::int32_t programTrading;
    std::int32_t unused24[2];
};
#pragma pack(pop)

static_assert(sizeof(LoginRequest) == 160);
static_assert(offsetof(LoginRequest, memberName) == 0);
static_assert(offsetof(LoginRequest, password) == 41);
static_assert(offsetof(LoginRequest, verifyCode) == 82);
static_assert(offsetof(LoginRequest, one) == 92);
static_assert(offsetof(LoginRequest, zero) == 96);
static_assert(offsetof(LoginRequest, key) == 100);
static_assert(offsetof(LoginRequest, adapterId) == 116);
static_assert(offsetof(LoginRequest, processorId) == 128);

static_assert(sizeof(LoginReply) == 32);
static_assert(offsetof(LoginReply, result) == 4);
static_assert(offsetof(LoginReply, accountClass) == 8);
static_assert(offsetof(LoginReply, programTrading) == 20);

// Login result codes as the server answers them.
namespace login {
constexpr std::int32_t BadCredentials = 0;
constexpr std::int32_t Ok = 1;
constexpr std::int32_t StateLocked = 2;
constexpr std::int32_t StateSuspended = 3;
constexpr std::int32_t OkOther = 4;
constexpr std::int32_t StateClosed = 9;
constexpr std::int32_t BadCode = -2;
}  // namespace login

inline bool LoginSucceeded(std::int32_t result) {
    return result == login::Ok || result == login::OkOther;
}

// The message shown for a failed result.
const char* LoginFailureText(std::int32_t result);

// Builds the request: texts already in code page 936. Fields are cut so each stays
// NUL-terminated except the adapter text, which fills its 12 bytes without a terminator.
LoginRequest MakeLoginRequest(const std::string& nameAnsi, const std::string& passwordAnsi,
                              const std::string& codeAnsi, const std::int32_t key[4],
                              const std::string& adapterId, const std::string& processorId);

}  // namespace zq
