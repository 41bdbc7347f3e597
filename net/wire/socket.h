// Blocking TCP sockets: the one class every connection of the client and the stand-in server
// goes through. All time-outs of the program are set here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace zq {

namespace timeouts {
constexpr int ConnectMs = 5000;         // every connect
constexpr int RequestAnswerMs = 15000;  // each read on a request connection
constexpr int HistoryReadMs = 30000;    // each read of a history transfer
constexpr int PushReadMs = 0;           // none: the link check closes a silent push link

// The whole of one answer, from the send that asked for it to its last byte, however slowly
// the bytes come: 30 s on a request connection, 120 s for a history transfer. Tests shorten
// them; 0 or less brings the default back.
int RequestAnswerDeadlineMs();
int HistoryAnswerDeadlineMs();
void SetAnswerDeadlinesMs(int requestMs, int historyMs);

// One user operation as a whole (a request and the reloads that follow it): 30 s. Tests
// shorten it; 0 or less brings the default back.
int OperationDeadlineMs();
void SetOperationDeadlineMs(int ms);
}  // namespace timeouts

// The deadline of the operation the calling thread runs. While a Scope lives, every connect
// and every read of the thread's sockets stops when it passes, whatever time-outs the socket
// has of its own: a read fails as a time-out would, a connect fails.
class OperationDeadline {
  public:
    using Clock = std::chrono::steady_clock;
    class Scope {
      public:
        explicit Scope(Clock::time_point deadline);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        std::optional<Clock::time_point> previous_;
    };
    // The calling thread's operation deadline, if it runs one.
    static std::optional<Clock::time_point> Current();
};

// The sockets that the threads of one group connect, so that another thread can wake every
// read they are blocked in at once (a program that closes never waits on the server). A thread
// joins the group for the life of a Scope; Stop shuts down every socket its members hold and
// makes their later connects fail.
class SocketGroup {
  public:
    class Scope {
      public:
        explicit Scope(std::shared_ptr<SocketGroup> group);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        std::shared_ptr<SocketGroup> previous_;
    };

    void Stop();
    bool Stopped() const;
    // The group of the calling thread, or null.
    static std::shared_ptr<SocketGroup> Current();

  private:
    friend class Socket;
    bool Add(int fd);
    void Remove(int fd);

    mutable std::mutex mutex_;
    std::set<int> fds_;
    bool stopped_ = false;
};

class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept { Take(other); }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to an IPv4 address (network order) within the connect time-out; an invalid
    // socket on failure. `readTimeoutMs` 0 leaves reads without a time-out. With
    // `answerDeadlineMs` above 0 every send starts a deadline for the answer that follows it:
    // once it has passed, reads fail as a time-out would. A thread of a stopped SocketGroup
    // connects nothing.
    static Socket Connect(std::uint32_t addressNetOrder, std::uint16_t port, int readTimeoutMs,
                          int answerDeadlineMs = 0);

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Gives the descriptor up (it leaves its group, so a stop no longer reaches it).
    int Release();

    // One send of the whole buffer (looping over partial writes); the byte count, or 0 or less
    // on failure.
    int Send(const void* data, std::size_t size);
    // One receive call: bytes read, 0 when the peer closed, negative on error, time-out or a
    // passed answer deadline.
    int Recv(void* data, std::size_t size);
    // Starts the answer deadline now (Send does this when the socket has one).
    void StartAnswerDeadline();

    void SetReadTimeout(int ms);
    // Shut down both ways (wakes a reader blocked on this socket in another thread).
    void Shutdown();
    void Close();
    void ShutdownClose() {
        Shutdown();
        Close();
    }

  private:
    void Take(Socket& other) noexcept;

    int fd_ = -1;
    std::shared_ptr<SocketGroup> group_;  // the group this descriptor is registered in
    int answerMs_ = 0;
    int readMs_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
};

// Loops until `count` bytes have arrived. Returns `count`, or the failing receive result
// (0 = peer closed, negative = error). Bytes received before a failure stay in the buffer.
int ReceiveExact(Socket& s, void* buffer, int count);

// The first IPv4 address of `host`, network order.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host);

// "%d.%d.%d.%d" of a network-order address.
std::string FormatIPv4(std::uint32_t addressNetOrder);

}  // namespace zq
