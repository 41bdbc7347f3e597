#include "server/dispatch.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

#include "server/handlers.h"
#include "server/link_io.h"

namespace zq::server {

bool RequestContext::ReadPayload(void* buffer, int size) {
    return size >= 0 && ReadUpTo(socket_, buffer, size, deadline_) == size;
}

std::uint32_t RequestContext::PeerAddress() const {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(socket_.Fd(), reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET)
        return 0;
    return peer.sin_addr.s_addr;
}

std::optional<SessionInfo> RequestContext::Session() const {
    std::optional<SessionInfo> session = state_.sessions.Find(HeaderKey());
    if (session) state_.sessionPeers.Note(session->key, PeerAddress());
    return session;
}

bool RequestContext::Send(const void* data, std::size_t size) {
    return socket_.Send(data, size) == static_cast<int>(size);
}

void RequestContext::Note(const std::string& text) {
    log_.Add(std::to_string(header_.command) + " " + text);
}

void CommandTable::Add(std::int32_t code, const char* name, Handler handler) {
    if (!entries_.emplace(code, CommandEntry{name, handler}).second)
        throw std::logic_error("two handlers for command " + std::to_string(code));
}

const CommandEntry* CommandTable::Find(std::int32_t code) const {
    auto it = entries_.find(code);
    return it == entries_.end() ? nullptr : &it->second;
}

CommandTable BuildRequestCommands() {
    CommandTable table;
    RegisterSessionCommands(table);
    RegisterAccountCommands(table);
    RegisterOrderCommands(table);
    RegisterAlertCommands(table);
    RegisterMessageCommands(table);
    RegisterSignalCommands(table);
    RegisterProgramCommands(table);
    RegisterToolCommands(table);
    RegisterFillCommands(table);
    return table;
}

}  // namespace zq::server
