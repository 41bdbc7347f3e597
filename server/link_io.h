// Reading on the server's connections, and the frame every push and data connection is served
// in.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

#include "net/wire/framing.h"
#include "net/wire/socket.h"
#include "server/log.h"

namespace zq::server {

// Reads up to `count` bytes; the number that arrived before the peer closed or stalled.
inline int ReadUpTo(Socket& s, void* buffer, int count) {
    char* p = static_cast<char*>(buffer);
    int got = 0;
    while (got < count) {
        const int n = s.Recv(p + got, static_cast<std::size_t>(count - got));
        if (n <= 0) break;
        got += n;
    }
    return got;
}

// Reads the 24-byte header that opens the connection; false, with the outcome set, when the
// peer closes or the header is cut short.
inline bool ReadHeader(Socket& s, RequestHeader& header, ConnectionLog& log) {
    const int got = ReadUpTo(s, &header, sizeof header);
    if (got == static_cast<int>(sizeof header)) return true;
    log.SetOutcome(got == 0 ? "closed by peer"
                            : "short header (" + std::to_string(got) + " bytes), closed");
    return false;
}

// Serves one connection with `serve(socket, log)`: one log line for the connection, an exception
// logged as its outcome, and the socket shut down and closed at the end. Never throws.
template <typename Serve>
void ServeLink(Socket& socket, const char* link, const std::string& peer, Serve&& serve) {
    try {
        ConnectionLog log(link, peer);
        try {
            serve(socket, log);
        } catch (const std::exception& e) {
            log.SetOutcome(std::string("failed: ") + e.what());
        } catch (...) {
            log.SetOutcome("failed");
        }
        socket.ShutdownClose();
    } catch (...) {
        // Only the log line itself can get here.
        socket.ShutdownClose();
    }
}

}  // namespace zq::server
