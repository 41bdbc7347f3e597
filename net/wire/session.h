// Process-wide session values. Written on the user-interface thread before any worker starts
// (the programmatic trading flag may change afterwards, from its settings dialog), read by every
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zq {

struct SessionValues {
    std::uint32_t serverAddress = 0;  // IPv4, network order
    std::int32_t sessionKey[4] = {0, 0, 0, 0};
    std::int32_t accountClass = 0;
    std::string memberName;  // UTF-8
    std::atomic<std::int32_t> programTrading{0};
};

SessionValues& Session();

// Back to the values of a fresh process (tests).
void ResetSession();

}  // namespace zq
