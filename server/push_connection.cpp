#include "server/push_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "server/link_io.h"
#include "server/log.h"

namespace zq::server {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel's send buffer of a push link is kept small, so that the link's own bounded queue,
// not the socket, is what a slow client fills.
constexpr int kPushSendBuffer = 64 * 1024;

// The writer: sends what the feed queues and the keep-alives, until the link ends; how it ended.
std::string Write(Socket& socket, PushSubscriber& link, const PushFeed& feed, std::size_t& sent) {
    const auto interval = feed.KeepAliveInterval();
    auto nextKeepAlive = Clock::now() + interval;
    // Whatever ends the link, an overflow that shut the socket down is the reason.
    auto ended = [&](std::string why) {
        PushSubscriber::Batch b = link.Take();
        return b.dropped ? b.why : why;
    };
    auto deliver = [&](const std::string& bytes) {
        if (bytes.empty()) return true;
        if (socket.Send(bytes.data(), bytes.size()) != static_cast<int>(bytes.size())) return false;
        sent += bytes.size();
        return true;
    };
    for (;;) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextKeepAlive - Clock::now());
        pollfd p[2] = {{socket.Fd(), POLLIN, 0}, {link.WakeFd(), POLLIN, 0}};
        const int r = ::poll(p, 2, static_cast<int>(std::max<std::int64_t>(0, wait.count())));
        if (r < 0 && errno != EINTR) return ended("poll failed, closed");
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            char junk[64];
            const int n = socket.Recv(junk, sizeof junk);
            if (n == 0) return ended("closed by peer");
            if (n < 0) return ended("receive failed, closed");
            // The client only reads once it has subscribed.
            return ended("unexpected bytes after subscribe, closed");
        }
        PushSubscriber::Batch batch = link.Take();
        if (batch.dropped) return batch.why;
        if (!deliver(batch.bytes)) return ended("send failed, closed");
        if (batch.last) return batch.why;
        const auto now = Clock::now();
        if (now >= nextKeepAlive) {
            if (feed.KeepAlives() && !deliver(PushItem(push::KeepAlive)))
                return ended("send failed, closed");
            nextKeepAlive += interval;
            if (nextKeepAlive <= now) nextKeepAlive = now + interval;
        }
    }
}

void Serve(Socket& socket, ServerState& state, ConnectionLog& log) {
    setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDBUF, &kPushSendBuffer, sizeof kPushSendBuffer);
    RequestHeader header;
    if (!ReadHeader(socket, header, log, DeadlineIn(kPushSubscribeMs))) return;
    if (header.command != cmd::Subscribe) {
        log.Add(std::to_string(header.command) + " unknown");
        log.SetOutcome("unknown command, closed");
        return;
    }
    const Key key = KeyOf(header);
    std::optional<SessionInfo> session = state.sessions.Find(key);
    if (!session) {
        log.Add("0 subscribe: no session " + KeyTag(key));
        log.SetOutcome("closed");
        return;
    }
    log.Add("0 subscribe \"" + Printable(session->memberName) + "\" session " + KeyTag(key));
    std::shared_ptr<PushSubscriber> link = state.push.Attach(socket.Fd(), *session, state.bars);
    if (!link) {
        log.SetOutcome("server stopping, closed");
        return;
    }
    std::size_t sent = 0;
    std::string why;
    try {
        why = Write(socket, *link, state.push, sent);
    } catch (...) {
        state.push.Detach(link);
        throw;
    }
    state.push.Detach(link);
    log.SetOutcome(why + " after " + std::to_string(sent) + " bytes");
}

}  // namespace

void ServePushConnection(Socket socket, const std::string& peer, ServerState& state) {
    ServeLink(socket, "push", peer, [&](Socket& s, ConnectionLog& log) { Serve(s, state, log); });
}

}  // namespace zq::server
