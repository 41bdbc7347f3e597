// The messages the server holds for its members: each a time and a text, addressed to one
// member or (member 0) to every member. The client fetches them at start-up (command 44).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/store/store.h"

namespace zq::server {

struct ServerMessage {
    std::int64_t id = 0;
    std::int64_t time = 0;  // seconds since 1970 (UTC)
    std::string text;       // UTF-8
};

// Messages addressed to everyone.
constexpr std::int64_t kEveryMember = 0;
// The most messages one answer carries.
constexpr int kMaxMessagesPerAnswer = 100;

// The member's messages and those to everyone, newest first, at most `limit`.
std::vector<ServerMessage> MessagesFor(Store& store, std::int64_t memberId,
                                       int limit = kMaxMessagesPerAnswer);
// Stores a message; its id, or 0 on failure.
std::int64_t AddMessage(Store& store, std::int64_t memberId, std::int64_t time,
                        const std::string& text);

// Schema step: the message table, with a welcome to everyone and a few messages of the demo
// member.
bool CreateMessageTables(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
