#include "server/request_link.h"

#include <exception>

namespace zq::server {
namespace {

// Reads up to `count` bytes; the number that arrived before the peer closed or stalled.
int ReadUpTo(Socket& s, void* buffer, int count) {
    char* p = static_cast<char*>(buffer);
    int got = 0;
    while (got < count) {
        int n = s.Recv(p + got, static_cast<std::size_t>(count - got));
        if (n <= 0) break;
        got += n;
    }
    return got;
}

void Serve(Socket& socket, ServerState& state, const CommandTable& commands, ConnectionLog& log) {
    for (;;) {
        RequestHeader header;
        int got = ReadUpTo(socket, &header, sizeof header);
        if (got == 0) {
            log.SetOutcome("closed by peer");
            return;
        }
        if (got < static_cast<int>(sizeof header)) {
            log.SetOutcome("short header (" + std::to_string(got) + " bytes), closed");
            return;
        }
        const CommandEntry* entry = commands.Find(header.command);
        if (!entry) {
            log.Add(std::to_string(header.command) + " unknown");
            log.SetOutcome("unknown command, closed");
            return;
        }
        RequestContext ctx(state, socket, header, log);
        if (entry->handler(ctx) == Next::Close) {
            log.SetOutcome(std::string("closed after ") + entry->name);
            return;
        }
    }
}

}  // namespace

void ServeRequestConnection(Socket socket, const std::string& peer, ServerState& state,
                            const CommandTable& commands) {
    try {
        ConnectionLog log("request", peer);
        socket.SetReadTimeout(kRequestIdleMs);
        try {
            Serve(socket, state, commands, log);
        } catch (const std::exception& e) {
            log.SetOutcome(std::string("failed: ") + e.what());
        } catch (...) {
            log.SetOutcome("failed");
        }
        socket.ShutdownClose();
    } catch (...) {
        // Only the log line itself can get here; the connection is closed either way.
    }
}

}  // namespace zq::server
