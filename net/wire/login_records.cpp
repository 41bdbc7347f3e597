#include "net/wire/login_records.h"

#include <algorithm>
#include <cstring>

#include "net/wire/ansi_text.h"

namespace zq {

const char* LoginFailureText(std::int32_t result) {
    switch (result) {
        case login::BadCredentials:
            return "用户名或密码错误，请重新登录";
        case login::StateLocked:
        case login::StateSuspended:
        case login::StateClosed:
            return "用户状态异常，请联系客服";
        case login::BadCode:
            return "验证码错误，请重新登录";
        default:
            return "未知错误，请重新登录";
    }
}

LoginRequest MakeLoginRequest(const std::string& nameAnsi, const std::string& passwordAnsi,
                              const std::string& codeAnsi, const std::int32_t key[4],
                              const std::string& adapterId, const std::string& processorId) {
    LoginRequest r;
    std::memset(&r, 0, sizeof r);
    PutField(r.memberName, sizeof r.memberName, nameAnsi);
    PutField(r.password, sizeof r.password, passwordAnsi);
    PutField(r.verifyCode, sizeof r.verifyCode, codeAnsi);
    r.one = 1;
    r.zero = 0;
    for (int i = 0; i < 4; ++i) r.key[i] = key[i];
    std::memcpy(r.adapterId, adapterId.data(), std::min(adapterId.size(), sizeof r.adapterId));
    PutField(r.processorId, sizeof r.processorId, processorId);
    return r;
}

}  // namespace zq
