// Reading on the server's connections, and the frame every push and data connection is served
// in.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <exception>
#include <string>

#include "net/wire/framing.h"
#include "net/wire/socket.h"
#include "server/log.h"

namespace zq::server {

using LinkClock = std::chrono::steady_clock;

// The moment `ms` milliseconds from now: a whole request must have arrived by then, however
// slowly its bytes come, so a peer that trickles bytes cannot hold a connection.
inline LinkClock::time_point DeadlineIn(int ms) {
    return LinkClock::now() + std::chrono::milliseconds(ms);
}

// One receive that waits no later than `deadline`: as Socket::Recv, and negative once the
// deadline has passed.
inline int RecvBefore(Socket& s, void* buffer, std::size_t size, LinkClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - LinkClock::now()).count();
        if (left <= 0) return -1;
        pollfd p{s.Fd(), POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) return s.Recv(buffer, size);
    }
}

// Reads up to `count` bytes; the number that arrived before the peer closed, failed or the
// deadline passed.
inline int ReadUpTo(Socket& s, void* buffer, int count, LinkClock::time_point deadline) {
    char* p = static_cast<char*>(buffer);
    int got = 0;
    while (got < count) {
        const int n = RecvBefore(s, p + got, static_cast<std::size_t>(count - got), deadline);
        if (n <= 0) break;
        got += n;
    }
    return got;
}

// Reads the 24-byte header of a request; false, with the outcome set, when the peer closes, the
// header is cut short or it is not complete by `deadline`.
inline bool ReadHeader(Socket& s, RequestHeader& header, ConnectionLog& log,
                       LinkClock::time_point deadline) {
    const int got = ReadUpTo(s, &header, sizeof header, deadline);
    if (got == static_cast<int>(sizeof header)) return true;
    if (LinkClock::now() >= deadline)
        log.SetOutcome(got == 0 ? "idle, closed"
                                : "header not complete in time (" + std::to_string(got) +
                                      " bytes), closed");
    else
        log.SetOutcome(got == 0 ? "closed by peer"
                                : "short header (" + std::to_string(got) + " bytes), closed");
    return false;
}

// How long a send may stall (a peer that does not read) before the connection is given up.
constexpr int kSendStallMs = 30000;
inline void LimitSendStall(Socket& s) {
    timeval tv{kSendStallMs / 1000, (kSendStallMs % 1000) * 1000};
    setsockopt(s.Fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
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
