// The server's listening sockets and the connections they accept: every port (request, push,
// data and control) is a Listener whose accepted connections run in a ConnectionSet, each on a
// thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "base/unique_fd.h"
#include "net/wire/socket.h"

namespace zq::server {

// Serves one connection to its end; `peer` is "a.b.c.d:port".
using ServeFn = std::function<void(Socket socket, const std::string& peer)>;

// The connections open at once, so that a stop can shut each one down and wait until every
// connection thread has finished.
class ConnectionSet {
  public:
    static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

    // At most `limit` connections at once, and at most `perAddress` of them from one peer
    // address; one more is closed on arrival.
    explicit ConnectionSet(std::size_t limit = kUnlimited, std::size_t perAddress = kUnlimited)
        : limit_(limit), perAddress_(perAddress) {}
    ~ConnectionSet() { CloseAll(); }
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;

    // Serves the connection from `address` (IPv4, network order) with `serve` on a thread of
    // its own. The connection is closed at once, with a log line, when the set or the address's
    // share of it is full, when the set is closed or when no thread can start.
    void Launch(Socket socket, std::uint32_t address, std::string peer, const ServeFn& serve);
    // The connections open at once from `address`.
    std::size_t OpenFrom(std::uint32_t address) const;
    // Shuts down every open connection and waits until their threads have finished; the set
    // stays closed to new connections until Open(). Idempotent.
    void CloseAll();
    // Takes connections again after CloseAll().
    void Open();

  private:
    std::size_t OpenFromLocked(std::uint32_t address) const;

    const std::size_t limit_;
    const std::size_t perAddress_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    // id → a descriptor of the connection's socket, so that CloseAll() can shut each one down
    // and wake its thread.
    std::unordered_map<std::uint64_t, int> open_;
    // Peer address → its connections in open_; an address leaves when its last one ends.
    std::unordered_map<std::uint32_t, std::size_t> perPeer_;
    std::uint64_t next_ = 0;
    bool closed_ = false;
};

// A listening TCP socket with its accept thread.
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

    // Starts the accept thread: every accepted connection is served by `serve` in
    // `connections`. Does nothing when the listener is not open or already accepting.
    void Start(ConnectionSet& connections, ServeFn serve);
    // Stops accepting, joins the accept thread and closes the listening socket. Idempotent.
    void Stop();

  private:
    void Run(ConnectionSet& connections);
    bool Fail(const std::string& what, std::string* error);

    const std::string name_;
    UniqueFd fd_;
    UniqueFd wakeRead_, wakeWrite_;
    std::uint16_t port_ = 0;
    ServeFn serve_;
    std::thread thread_;
};

}  // namespace zq::server
