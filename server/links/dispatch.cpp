#include "server/links/dispatch.h"

#include <cstring>
#include <stdexcept>

#include "server/links/handlers.h"

namespace zq::server {

bool RequestContext::ReadPayload(void* buffer, int size) {
    if (size < 0 || static_cast<std::size_t>(size) > PayloadLeft()) return false;
    std::memcpy(buffer, payload_.data() + read_, static_cast<std::size_t>(size));
    read_ += static_cast<std::size_t>(size);
    return true;
}

std::optional<SessionInfo> RequestContext::Session() const {
    std::optional<SessionInfo> session = state_.sessions.Find(HeaderKey());
    if (session) state_.sessionPeers.Note(session->key, PeerAddress());
    return session;
}

bool RequestContext::Send(const void* data, std::size_t size) {
    answer_.append(static_cast<const char*>(data), size);
    return true;
}

void RequestContext::Note(const std::string& text) {
    log_.Add(std::to_string(header_.command) + " " + text);
}

void CommandTable::Add(std::int32_t code, const char* name, std::size_t payloadSize,
                       Handler handler) {
    Add(CommandEntry{name, payloadSize, handler, nullptr}, code);
}

void CommandTable::Add(std::int32_t code, const char* name, std::size_t payloadSize,
                       AwaitingHandler awaiting) {
    Add(CommandEntry{name, payloadSize, nullptr, awaiting}, code);
}

void CommandTable::Add(const CommandEntry& entry, std::int32_t code) {
    if (!entries_.emplace(code, entry).second)
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
