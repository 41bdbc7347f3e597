#include "server/links/request_link.h"

#include "server/links/link_io.h"

namespace zq::server {
namespace {

asio::awaitable<void> Serve(Accepted& link, ServerState& state, const CommandTable& commands,
                            NetLoop& loop, ConnectionLog& log) {
    Tcp::socket& socket = *link.socket;
    std::string payload, answer;
    for (;;) {
        const LinkClock::time_point deadline = DeadlineIn(kRequestIdleMs);
        RequestHeader header;
        if (!co_await ReadHeader(socket, header, log, deadline)) co_return;
        const CommandEntry* entry = commands.Find(header.command);
        if (!entry) {
            log.Add(std::to_string(header.command) + " unknown");
            log.SetOutcome("unknown command, closed");
            co_return;
        }
        payload.resize(entry->payloadSize);
        // A payload cut short is handed on as it is: the handler notes it and closes.
        std::size_t got = 0;
        if (!payload.empty())
            got = co_await ReadBefore(socket, payload.data(), payload.size(), deadline);
        answer.clear();
        bool authenticated = link.ticket.IsAuthenticated();
        Next next = Next::Close;
        if (entry->awaiting) {
            RequestContext ctx(state, loop, header, log, link.address,
                               std::string_view(payload.data(), got), answer);
            next = co_await entry->awaiting(ctx);
        } else {
            next = co_await OnPool(loop.Workers(), [&] {
                RequestContext ctx(state, loop, header, log, link.address,
                                   std::string_view(payload.data(), got), answer);
                return entry->handler(ctx);
            });
        }
        // A connection that names an open session is a member's: it is never closed to make
        // room for others.
        if (!authenticated) authenticated = state.sessions.Contains(KeyOf(header));
        if (authenticated) link.ticket.Authenticated();
        bool answered = true;
        if (!answer.empty())
            answered = co_await WriteBefore(socket, answer.data(), answer.size(),
                                            DeadlineIn(kSendStallMs));
        if (!answered) {
            log.SetOutcome("send failed, closed");
            co_return;
        }
        if (next == Next::Close) {
            log.SetOutcome(std::string("closed after ") + entry->name);
            co_return;
        }
    }
}

}  // namespace

asio::awaitable<void> ServeRequestConnection(Accepted link, ServerState& state,
                                             const CommandTable& commands, NetLoop& loop) {
    co_await ServeLink(link, "request", [&](Tcp::socket&, ConnectionLog& log) {
        return Serve(link, state, commands, loop, log);
    });
}

}  // namespace zq::server
