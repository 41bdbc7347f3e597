#include "net/login_exchange.h"

#include "net/wire/request.h"

namespace zq {

std::optional<std::int32_t> QueryServerVersion() {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return std::nullopt;
    if (!SendRequest(s, MakeVersionHeader())) return std::nullopt;
    std::int32_t version = 0;
    int n = ReceiveExact(s, &version, 4);
    s.ShutdownClose();
    if (n != 4) return std::nullopt;
    return version;
}

ExchangeStatus FetchVerificationImage(VerificationImage& out) {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return ExchangeStatus::ConnectFailed;
    if (!SendRequest(s, MakeHeader(cmd::VerificationImage))) return ExchangeStatus::SendFailed;
    if (ReceiveExact(s, out.pixels.data(), kVerifyImageBytes) != kVerifyImageBytes)
        return ExchangeStatus::ShortAnswer;
    if (ReceiveExact(s, out.key, kVerifyKeyBytes) != kVerifyKeyBytes)
        return ExchangeStatus::ShortAnswer;
    s.ShutdownClose();
    return ExchangeStatus::Ok;
}

LoginOutcome SendLogin(const LoginRequest& request) {
    LoginOutcome o;
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return o;
    if (!SendRequest(s, MakeLoginHeader(), &request, sizeof request)) {
        o.status = ExchangeStatus::SendFailed;
        return o;
    }
    if (ReceiveExact(s, &o.reply, sizeof o.reply) != static_cast<int>(sizeof o.reply)) {
        o.status = ExchangeStatus::ShortAnswer;
        return o;
    }
    s.ShutdownClose();
    o.status = ExchangeStatus::Ok;
    return o;
}

}  // namespace zq
