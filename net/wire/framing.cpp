#include "net/wire/framing.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "net/wire/session.h"

namespace zq {

RequestHeader MakeHeader(std::int32_t command) {
    const SessionValues& s = Session();
    RequestHeader h{};
    h.command = command;
    for (int i = 0; i < 4; ++i) h.key[i] = s.sessionKey[i];
    h.accountClass = s.accountClass;
    return h;
}

namespace {
RequestHeader PreSessionHeader(std::int32_t command, std::uint16_t word10) {
    RequestHeader h{};
    h.command = command;
    auto* bytes = reinterpret_cast<unsigned char*>(&h);
    std::uint16_t low = static_cast<std::uint16_t>(Session().accountClass & 0xFFFF);
    std::memcpy(bytes + 8, &low, 2);
    std::memcpy(bytes + 10, &word10, 2);
    return h;
}
}  // namespace

RequestHeader MakeLoginHeader() {
    return PreSessionHeader(cmd::Login, 0);
}
RequestHeader MakeVersionHeader() {
    return PreSessionHeader(cmd::VersionCheck, 24);
}

SessionValues& Session() {
    static SessionValues values;
    return values;
}

namespace {
struct Users {
    std::mutex mutex;
    std::condition_variable none;
    int count = 0;
};
// Never destroyed: a worker that ends while the process exits may still be telling it.
Users& SessionUsersState() {
    static Users* users = new Users;
    return *users;
}
}  // namespace

SessionUse::SessionUse() {
    Users& u = SessionUsersState();
    std::lock_guard lock(u.mutex);
    ++u.count;
}

SessionUse::~SessionUse() {
    Users& u = SessionUsersState();
    {
        std::lock_guard lock(u.mutex);
        --u.count;
    }
    u.none.notify_all();
}

int SessionUsers() {
    Users& u = SessionUsersState();
    std::lock_guard lock(u.mutex);
    return u.count;
}

bool ResetSession(int waitMs) {
    Users& u = SessionUsersState();
    std::unique_lock lock(u.mutex);
    const bool stopped =
        u.none.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return u.count == 0; });
    SessionValues& s = Session();
    s.serverAddress = 0;
    for (auto& w : s.sessionKey) w = 0;
    s.accountClass = 0;
    s.memberName.clear();
    s.programTrading = 0;
    return stopped;
}

}  // namespace zq
