// 44: the member's messages, newest first, each as more (1), time, length and the GBK text,
// ended by a more field of 0. Without a session the answer is the end mark alone.
#include "net/wire/ansi_text.h"
#include "server/links/handlers.h"
#include "server/trading/messages.h"

namespace zq::server {
namespace {

void Append(std::vector<char>& out, std::int32_t value) {
    const char* p = reinterpret_cast<const char*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

Next LoadMessages(RequestContext& ctx) {
    std::optional<SessionInfo> session = ctx.Session();
    std::vector<ServerMessage> messages;
    if (session) messages = MessagesFor(*ctx.State().store, session->memberId);
    std::vector<char> answer;
    for (const ServerMessage& m : messages) {
        const std::string text = ToAnsi(m.text);
        Append(answer, 1);
        Append(answer, static_cast<std::int32_t>(m.time));
        Append(answer, static_cast<std::int32_t>(text.size()));
        answer.insert(answer.end(), text.begin(), text.end());
    }
    Append(answer, 0);
    if (!ctx.Send(answer.data(), answer.size())) return Next::Close;
    ctx.Note(session ? std::to_string(messages.size()) + " messages" : "messages: no session");
    return Next::Continue;
}

}  // namespace

void RegisterMessageCommands(CommandTable& table) {
    table.Add(cmd::LoadMessages, "messages", 0, LoadMessages);
}

}  // namespace zq::server
