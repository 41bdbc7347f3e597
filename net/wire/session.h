// Process-wide session values. Written on the user-interface thread before any worker starts
// (the programmatic trading flag may change afterwards, from its settings dialog), read by every
// thread. The values the workers read are atomic, so a read never meets a half-written value.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zq {

struct SessionValues {
    std::atomic<std::uint32_t> serverAddress{0};  // IPv4, network order
    std::atomic<std::int32_t> sessionKey[4] = {0, 0, 0, 0};
    std::atomic<std::int32_t> accountClass{0};
    std::string memberName;  // UTF-8; the user-interface thread only
    std::atomic<std::int32_t> programTrading{0};
};

SessionValues& Session();

// Held by a link worker for as long as it runs, so that the session is not changed under it.
class SessionUse {
  public:
    SessionUse();
    ~SessionUse();
    SessionUse(const SessionUse&) = delete;
    SessionUse& operator=(const SessionUse&) = delete;
};

// The number of link workers running now.
int SessionUsers();

// Back to the values of a fresh process (tests). Waits first until no link worker runs (for
// at most `waitMs`); returns whether none did.
bool ResetSession(int waitMs = 30000);

}  // namespace zq
