// Reading and writing on the server's connections, as coroutines on the connection's strand,
// each bounded by a deadline, and the frame every connection is served in.
#pragma once

#include <algorithm>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "net/wire/framing.h"
#include "server/links/listener.h"
#include "server/store/log.h"

namespace zq::server {

using LinkClock = std::chrono::steady_clock;

// The moment `ms` milliseconds from now: a whole request must have arrived by then, however
// slowly its bytes come, so a peer that trickles bytes cannot hold a connection.
inline LinkClock::time_point DeadlineIn(int ms) {
    return LinkClock::now() + std::chrono::milliseconds(ms);
}

// How long a whole answer may take to go out (a peer that reads slowly or not at all) before
// the connection is given up.
constexpr int kSendStallMs = 30000;

// Reads up to `size` bytes; the number that arrived before the peer closed, failed or the
// deadline passed.
inline asio::awaitable<std::size_t> ReadBefore(Tcp::socket& s, void* buffer, std::size_t size,
                                               LinkClock::time_point deadline) {
    using namespace asio::experimental::awaitable_operators;
    char* p = static_cast<char*>(buffer);
    std::size_t got = 0;
    auto reader = [&]() -> asio::awaitable<void> {
        while (got < size) {
            auto [ec, n] =
                co_await s.async_read_some(asio::buffer(p + got, size - got), kAwaitTuple);
            if (ec) co_return;
            got += n;
        }
    };
    asio::steady_timer timer(s.get_executor(), deadline);
    co_await (reader() || timer.async_wait(kAwaitTuple));
    co_return got;
}

// Writes every byte before `deadline`; false when the peer is gone or too slow.
inline asio::awaitable<bool> WriteBefore(Tcp::socket& s, const void* data, std::size_t size,
                                         LinkClock::time_point deadline) {
    using namespace asio::experimental::awaitable_operators;
    bool whole = false;
    auto writer = [&]() -> asio::awaitable<void> {
        auto [ec, n] = co_await asio::async_write(s, asio::buffer(data, size), kAwaitTuple);
        whole = !ec && n == size;
    };
    asio::steady_timer timer(s.get_executor(), deadline);
    co_await (writer() || timer.async_wait(kAwaitTuple));
    co_return whole;
}

// Reads the 24-byte header of a request; false, with the outcome set, when the peer closes, the
// header is cut short or it is not complete by `deadline`.
inline asio::awaitable<bool> ReadHeader(Tcp::socket& s, RequestHeader& header, ConnectionLog& log,
                                        LinkClock::time_point deadline) {
    const std::size_t got = co_await ReadBefore(s, &header, sizeof header, deadline);
    if (got == sizeof header) co_return true;
    if (LinkClock::now() >= deadline)
        log.SetOutcome(got == 0 ? "idle, closed"
                                : "header not complete in time (" + std::to_string(got) +
                                      " bytes), closed");
    else
        log.SetOutcome(got == 0 ? "closed by peer"
                                : "short header (" + std::to_string(got) + " bytes), closed");
    co_return false;
}

// Runs `work()` on `executor` (a pool, or a strand of one) and gives its result back on the
// connection's strand.
template <typename Executor, typename Work>
auto OnExecutor(Executor executor, Work work) -> asio::awaitable<decltype(work())> {
    co_return co_await asio::co_spawn(
        executor, [&work]() -> asio::awaitable<decltype(work())> { co_return work(); },
        asio::use_awaitable);
}
template <typename Work>
auto OnPool(asio::thread_pool& pool, Work work) -> asio::awaitable<decltype(work())> {
    return OnExecutor(pool.get_executor(), std::move(work));
}

// Awaits an answer that comes through a callback, from any thread: `start(answer)` hands the
// callback on (to the execution engine), and the coroutine goes on on its own executor with what
// `answer` is called with. No thread waits meanwhile. `answer` must be called exactly once.
template <typename Result, typename Start>
asio::awaitable<Result> AwaitAnswer(Start start) {
    // Named objects only around the co_await: GCC 12 destroys the temporaries of a co_await
    // inside a co_return twice.
    asio::any_io_executor executor = co_await asio::this_coro::executor;
    auto initiation = [&start, &executor](auto handler) {
        auto resume = std::make_shared<decltype(handler)>(std::move(handler));
        start(std::function<void(Result)>([resume, executor](Result result) {
            asio::post(executor, [resume, result = std::move(result)]() mutable {
                (*resume)(std::move(result));
            });
        }));
    };
    Result result = co_await asio::async_initiate<decltype(asio::use_awaitable), void(Result)>(
        initiation, asio::use_awaitable);
    co_return result;
}

// Closes the connection's socket; errors do not matter any more.
inline void CloseSocket(Tcp::socket& s) {
    asio::error_code ignored;
    s.shutdown(Tcp::socket::shutdown_both, ignored);
    s.close(ignored);
}

// Serves one connection with `serve(socket, log)`: one log line for the connection, an exception
// logged as its outcome, and the socket closed at the end. Never throws.
template <typename Serve>
asio::awaitable<void> ServeLink(Accepted& link, const char* name, Serve&& serve) {
    ConnectionLog log(name, link.peer);
    try {
        co_await serve(*link.socket, log);
    } catch (const std::exception& e) {
        log.SetOutcome(std::string("failed: ") + e.what());
    } catch (...) {
        log.SetOutcome("failed");
    }
    CloseSocket(*link.socket);
}

}  // namespace zq::server
