#include "server/links/push_connection.h"

#include <sys/socket.h>

#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <memory>
#include <vector>

#include "server/links/link_io.h"
#include "server/store/log.h"

namespace zq::server {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel's send buffer of a push link is kept small, so that the link's own bounded queue,
// not the socket, is what a slow client fills.
constexpr int kPushSendBuffer = 64 * 1024;

// What the writer waits on: its timer (the next keep-alive), which a wake or the peer cancels.
struct Waiting {
    explicit Waiting(const asio::any_io_executor& executor) : timer(executor) {}
    asio::steady_timer timer;
    std::string peerEnded;  // why the peer's side ended, once it has
};

// The client only reads once it has subscribed: anything it sends, or its close, ends the link.
asio::awaitable<void> WatchPeer(std::shared_ptr<Tcp::socket> socket,
                                std::shared_ptr<Waiting> waiting) {
    char junk[64];
    auto [ec, n] = co_await socket->async_read_some(asio::buffer(junk), kAwaitTuple);
    waiting->peerEnded = !ec                      ? "unexpected bytes after subscribe, closed"
                         : ec == asio::error::eof ? "closed by peer"
                                                  : "receive failed, closed";
    waiting->timer.cancel();
}

// The writer: sends what the feed queues and the keep-alives, until the link ends; how it ended.
asio::awaitable<std::string> Write(std::shared_ptr<Tcp::socket> socket, PushSubscriber& link,
                                   const PushFeed& feed, Waiting& waiting, std::size_t& sent) {
    const auto interval = feed.KeepAliveInterval();
    auto nextKeepAlive = Clock::now() + interval;
    // Whatever ends the link, an overflow or a drop is the reason.
    auto ended = [&](std::string why) {
        PushSubscriber::Batch b = link.Take();
        return b.dropped ? b.why : why;
    };
    // The items go out in one gathered write.
    std::vector<asio::const_buffer> buffers;
    auto deliver = [&](const std::vector<PushSubscriber::Item>& items) -> asio::awaitable<bool> {
        buffers.clear();
        std::size_t size = 0;
        for (const auto& item : items) {
            buffers.push_back(asio::buffer(*item));
            size += item->size();
        }
        auto [ec, n] = co_await asio::async_write(*socket, buffers, kAwaitTuple);
        sent += n;
        co_return !ec && n == size;
    };
    const auto keepAlive = std::make_shared<const std::string>(PushItem(push::KeepAlive));
    for (;;) {
        if (!waiting.peerEnded.empty()) co_return ended(waiting.peerEnded);
        PushSubscriber::Batch batch = link.Take();
        if (batch.dropped) co_return batch.why;
        if (!batch.items.empty()) {
            const bool delivered = co_await deliver(batch.items);
            if (!delivered) co_return ended("send failed, closed");
        }
        if (batch.last) co_return batch.why;
        // Items that came during a send are taken before the writer waits; from the last Take to
        // the wait nothing else runs on this strand, so no wake is missed.
        if (!batch.items.empty()) continue;
        const auto now = Clock::now();
        if (now >= nextKeepAlive) {
            // Queued like any item: it goes out at once, or with what waits.
            if (feed.KeepAlives()) link.Enqueue(keepAlive);
            nextKeepAlive += interval;
            if (nextKeepAlive <= now) nextKeepAlive = now + interval;
            continue;
        }
        waiting.timer.expires_at(nextKeepAlive);
        co_await waiting.timer.async_wait(kAwaitTuple);
    }
}

asio::awaitable<void> Serve(Accepted& accepted, ServerState& state, NetLoop& loop,
                            ConnectionLog& log) {
    Tcp::socket& socket = *accepted.socket;
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &kPushSendBuffer,
               sizeof kPushSendBuffer);
    RequestHeader header;
    if (!co_await ReadHeader(socket, header, log, DeadlineIn(kPushSubscribeMs))) co_return;
    if (header.command != cmd::Subscribe) {
        log.Add(std::to_string(header.command) + " unknown");
        log.SetOutcome("unknown command, closed");
        co_return;
    }
    const Key key = KeyOf(header);
    std::optional<SessionInfo> session = state.sessions.Find(key);
    if (!session) {
        log.Add("0 subscribe: no session " + KeyTag(key));
        log.SetOutcome("closed");
        co_return;
    }
    accepted.ticket.Authenticated();
    log.Add("0 subscribe \"" + Printable(session->memberName) + "\" session " + KeyTag(key));
    auto waiting = std::make_shared<Waiting>(socket.get_executor());
    // Wakes come from any thread: they are handed to the link's strand.
    std::weak_ptr<Waiting> weakWaiting = waiting;
    std::weak_ptr<Tcp::socket> weakSocket = accepted.socket;
    auto wake = [executor = socket.get_executor(), weakWaiting, weakSocket](bool drop) {
        asio::post(executor, [weakWaiting, weakSocket, drop] {
            if (auto w = weakWaiting.lock()) w->timer.cancel();
            if (drop)
                if (auto s = weakSocket.lock()) CloseSocket(*s);
        });
    };
    std::shared_ptr<PushSubscriber> link = co_await OnExecutor(loop.PushJoins(), [&] {
        return state.push.Attach(*session, state.bars, wake, socket.native_handle());
    });
    if (!link) {
        log.SetOutcome("server stopping or logged out, closed");
        co_return;
    }
    asio::co_spawn(socket.get_executor(), WatchPeer(accepted.socket, waiting), asio::detached);
    std::size_t sent = 0;
    std::string why;
    try {
        why = co_await Write(accepted.socket, *link, state.push, *waiting, sent);
    } catch (...) {
        state.push.Detach(link);
        throw;
    }
    state.push.Detach(link);
    log.SetOutcome(why + " after " + std::to_string(sent + link->SentAtOnce()) + " bytes");
}

}  // namespace

asio::awaitable<void> ServePushConnection(Accepted link, ServerState& state, NetLoop& loop) {
    co_await ServeLink(link, "push", [&](Tcp::socket&, ConnectionLog& log) {
        return Serve(link, state, loop, log);
    });
}

}  // namespace zq::server
