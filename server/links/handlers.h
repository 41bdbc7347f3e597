// The command groups of the request port. Each function adds its group's handlers to the
// table; a new group gets its own file and one line in BuildRequestCommands().
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "server/links/dispatch.h"

namespace zq::server {

// 4 log out, 5 verification image, 6 log in, 7 version check (session_commands.cpp).
void RegisterSessionCommands(CommandTable& table);

// 1 instruments, 16 positions, 17 pending orders, 20 position summary, 21 account block,
// 54 trading hours (account_commands.cpp).
void RegisterAccountCommands(CommandTable& table);

// 11 open a position or place a pending order, 13 set a position's stops, 14 modify and 15
// delete a pending order, 18 close a position (order_commands.cpp).
void RegisterOrderCommands(CommandTable& table);

// 8 price alerts, 9 save a price alert, 10 remove a price alert, 56 profit alerts, 58 remove a
// fired profit alert (alert_commands.cpp).
void RegisterAlertCommands(CommandTable& table);

// 44 server messages (message_commands.cpp).
void RegisterMessageCommands(CommandTable& table);

// 41 save and 42 load the signal notification flags (signal_commands.cpp).
void RegisterSignalCommands(CommandTable& table);

// 53 save the programmatic trading settings (program_commands.cpp).
void RegisterProgramCommands(CommandTable& table);

// 45 store, 46 load and 47 delete drawing tools (tool_commands.cpp).
void RegisterToolCommands(CommandTable& table);

// 19 the fills of a date range (fill_commands.cpp).
void RegisterFillCommands(CommandTable& table);

// A counted list answer: the int32 count, then the records, in one send.
template <typename Record>
bool SendList(RequestContext& ctx, const std::vector<Record>& records) {
    const std::int32_t count = static_cast<std::int32_t>(records.size());
    std::vector<char> answer(sizeof count + records.size() * sizeof(Record));
    std::memcpy(answer.data(), &count, sizeof count);
    if (!records.empty())
        std::memcpy(answer.data() + sizeof count, records.data(), records.size() * sizeof(Record));
    return ctx.Send(answer.data(), answer.size());
}

// Sends `value` as the answer and notes `note` for the request; Next::Close when the peer is
// gone.
template <typename Value>
Next AnswerValue(RequestContext& ctx, const Value& value, const std::string& note) {
    if (!ctx.SendValue(value)) return Next::Close;
    ctx.Note(note);
    return Next::Continue;
}

// A counted list of the caller's member, `fetch(memberId)`; an empty list without a session.
// Notes "<count> <what>" or "<what>: no session".
template <typename Record, typename Fetch>
Next AnswerMemberList(RequestContext& ctx, const char* what, Fetch&& fetch) {
    std::optional<SessionInfo> session = ctx.Session();
    std::vector<Record> records;
    if (session) records = fetch(session->memberId);
    if (!SendList(ctx, records)) return Next::Close;
    ctx.Note(session ? std::to_string(records.size()) + " " + what
                     : std::string(what) + ": no session");
    return Next::Continue;
}

}  // namespace zq::server
