// The three exchanges before a session exists: version check, verification image, login.
// Each opens its own request connection and closes it; the dialog turns outcomes into messages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "net/wire/login_records.h"

namespace zq {

enum class ExchangeStatus {
    Ok,
    ConnectFailed,  // the request port could not be reached
    SendFailed,     // a send returned 0 or less
    ShortAnswer,    // the answer did not arrive in full
};

// The server's version number; nothing when any step fails.
std::optional<std::int32_t> QueryServerVersion();

struct VerificationImage {
    std::array<std::uint8_t, kVerifyImageBytes> pixels{};  // bottom row first, BGR
    std::int32_t key[4] = {0, 0, 0, 0};
};

// Fetches a verification image and its key into `out`. On a short pixel answer the bytes that
// arrived stay in the image and the key is untouched; on a short key the key may be partly new.
ExchangeStatus FetchVerificationImage(VerificationImage& out);

struct LoginOutcome {
    ExchangeStatus status = ExchangeStatus::ConnectFailed;
    LoginReply reply{};
};

// Sends the login header and request and reads the 32-byte reply.
LoginOutcome SendLogin(const LoginRequest& request);

}  // namespace zq
