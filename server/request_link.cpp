#include "server/request_link.h"

#include "server/link_io.h"

namespace zq::server {
namespace {

void Serve(Socket& socket, ServerState& state, const CommandTable& commands, ConnectionLog& log) {
    LimitSendStall(socket);
    for (;;) {
        const LinkClock::time_point deadline = DeadlineIn(kRequestIdleMs);
        RequestHeader header;
        if (!ReadHeader(socket, header, log, deadline)) return;
        const CommandEntry* entry = commands.Find(header.command);
        if (!entry) {
            log.Add(std::to_string(header.command) + " unknown");
            log.SetOutcome("unknown command, closed");
            return;
        }
        RequestContext ctx(state, socket, header, log, deadline);
        if (entry->handler(ctx) == Next::Close) {
            log.SetOutcome(std::string("closed after ") + entry->name);
            return;
        }
    }
}

}  // namespace

void ServeRequestConnection(Socket socket, const std::string& peer, ServerState& state,
                            const CommandTable& commands) {
    ServeLink(socket, "request", peer,
              [&](Socket& s, ConnectionLog& log) { Serve(s, state, commands, log); });
}

}  // namespace zq::server
