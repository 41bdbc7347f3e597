// The server's connections on one event loop (standalone Asio with C++20 coroutines): every
// port (request, push, data and control) is a Listener whose accepted connections are each a
// coroutine on a strand of the loop, admitted by an Admission. What blocks (password hashes,
// the store, the engine) runs on the loop's worker pools, never on the loop's threads.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zq::server {

using Tcp = asio::ip::tcp;
// Awaits an operation for its error code and results, without an exception.
inline constexpr auto kAwaitTuple = asio::experimental::as_tuple(asio::use_awaitable);

// The threads that run the loop, and the threads of the worker pools. Orders wait for the
// execution engine's grouped commit on the loop without a thread (an awaiting handler); the
// other handlers that touch the store may still wait for a commit to end, so the pool is wider
// than the cores.
constexpr int kLoopThreads = 2;
constexpr int kWorkerThreads = 16;
// Logins have a pool of their own, so that password hashes never keep an order or a price
// waiting. At most kConcurrentHashes (passwords.h) hashes run at once, and a held login (failed
// attempts slow an address down) waits on a timer, not on this pool.
constexpr int kLoginThreads = 8;

// The event loop and its worker pools. Start() runs the loop on its threads and makes the
// pools; Stop() waits for the work on the pools, then stops the loop and joins its threads.
// Both idempotent.
class NetLoop {
  public:
    NetLoop();
    ~NetLoop() { Stop(); }
    NetLoop(const NetLoop&) = delete;
    NetLoop& operator=(const NetLoop&) = delete;

    asio::io_context& Io() { return io_; }
    asio::thread_pool& Workers() { return *workers_; }
    asio::thread_pool& Logins() { return *logins_; }
    // The worker that joins push links to the feed one after another: joining waits for the
    // feed, which a market step's hand-out holds, and that must never hold up the loop or more
    // than one worker.
    asio::strand<asio::thread_pool::executor_type> PushJoins() { return *pushJoins_; }
    void Start();
    void Stop();

  private:
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
    std::unique_ptr<asio::thread_pool> workers_, logins_;
    std::optional<asio::strand<asio::thread_pool::executor_type>> pushJoins_;
    std::vector<std::thread> threads_;
};

// Raises the limit of open descriptors to the most the system allows this process: every
// connection holds one, and an event loop holds ten thousand push links with ease.
void RaiseDescriptorLimit();

// Which connections are let in. A generous budget of connections is shared fairly across peer
// addresses: an address may hold up to max(floor, budget / addresses connected), so that an
// office of many members behind one address gets in while a few flooding addresses cannot fill
// the budget. When the budget is full, a newcomer from an address below its fair share closes
// the oldest connection that has not authenticated (no open session named on it yet) of the
// address holding the most. Thread-safe.
class Admission {
  public:
    static constexpr std::size_t kDefaultBudget = 20000;
    static constexpr std::size_t kDefaultFloor = 256;

    explicit Admission(std::size_t budget = kDefaultBudget, std::size_t floor = kDefaultFloor)
        : budget_(budget ? budget : 1), floor_(floor ? floor : 1) {}
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    // A connection's place; gives it back when it goes.
    class Ticket {
      public:
        Ticket() = default;
        Ticket(Ticket&& other) noexcept { *this = std::move(other); }
        Ticket& operator=(Ticket&& other) noexcept;
        ~Ticket() { Release(); }
        // The connection has named an open session: it is never closed to make room.
        void Authenticated();
        bool IsAuthenticated() const { return authenticated_; }
        void Release();

      private:
        friend class Admission;
        Admission* owner_ = nullptr;
        std::uint64_t id_ = 0;
        bool authenticated_ = false;
    };

    // Lets a connection from `address` (IPv4, network order) in; `close` closes it when it must
    // make room (it is called under the admission's lock and must only hand the close on).
    // Nothing, with `why` set for the log, when it is refused.
    std::optional<Ticket> Admit(std::uint32_t address, std::function<void()> close,
                                std::string* why);
    // Refuses every newcomer from now on, closes every connection and waits up to `wait` for
    // them to go; Open() takes connections again.
    void CloseAll(std::chrono::milliseconds wait = std::chrono::seconds(10));
    void Open();

    std::size_t OpenFrom(std::uint32_t address) const;
    std::size_t OpenCount() const;

  private:
    struct Entry {
        std::uint32_t address = 0;
        std::function<void()> close;
        bool authenticated = false;
        std::list<std::uint64_t>::iterator pending;  // in the address's unauthenticated list
    };
    struct Peer {
        std::size_t count = 0;
        std::list<std::uint64_t> unauthenticated;  // oldest first
    };
    void Leave(std::uint64_t id);
    void MarkAuthenticated(std::uint64_t id);

    const std::size_t budget_, floor_;
    mutable std::mutex mutex_;
    std::condition_variable gone_;
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::unordered_map<std::uint32_t, Peer> peers_;
    std::uint64_t next_ = 1;
    bool closed_ = false;
};

// A connection as the listener hands it on: its socket (on a strand of its own), the peer's
// address and "a.b.c.d:port", and its place in the admission.
struct Accepted {
    std::shared_ptr<Tcp::socket> socket;
    std::uint32_t address = 0;
    std::string peer;
    Admission::Ticket ticket;
};
// Serves one connection to its end, on the connection's strand.
using ServeFn = std::function<asio::awaitable<void>(Accepted)>;

// A listening TCP socket whose accept loop runs on the event loop.
class Listener {
  public:
    enum class Reach { AllAddresses, Loopback };

    // `name` opens the error texts of Open() ("control" gives "control port 9: ...").
    explicit Listener(std::string name = {}) : name_(std::move(name)) {}
    ~Listener() { Stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens at `port` (0: a free port the system picks) on every IPv4 address, or on
    // 127.0.0.1 only.
    bool Open(Reach reach, std::uint16_t port, std::string* error);
    std::uint16_t Port() const { return port_; }

    // Accepts on `loop`: every connection that `admission` lets in is served by `serve` on a
    // strand of its own. Does nothing when the listener is not open or already accepting.
    void Start(NetLoop& loop, Admission& admission, ServeFn serve);
    // Stops accepting and closes the listening socket. Idempotent.
    void Stop();

  private:
    bool Fail(const std::string& what, std::string* error);

    const std::string name_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::shared_ptr<Tcp::acceptor> acceptor_;
};

}  // namespace zq::server
