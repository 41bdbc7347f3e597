#include "net/wire/framing.h"

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

void ResetSession() {
    SessionValues& s = Session();
    s.serverAddress = 0;
    for (int& w : s.sessionKey) w = 0;
    s.accountClass = 0;
    s.memberName.clear();
    s.programTrading = 0;
}

}  // namespace zq
