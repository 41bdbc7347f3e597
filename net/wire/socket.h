// Blocking TCP sockets: the one class every connection of the client and the stand-in server
// goes through. All time-outs of the program are set here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zq {

namespace timeouts {
constexpr int ConnectMs = 5000;         // every connect
constexpr int RequestAnswerMs = 15000;  // each read on a request connection
constexpr int HistoryReadMs = 30000;    // each read of a history transfer
constexpr int PushReadMs = 0;           // none: the link check closes a silent push link
}  // namespace timeouts

class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : fd_(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to an IPv4 address (network order) within the connect time-out; an invalid
    // socket on failure. `readTimeoutMs` 0 leaves reads without a time-out.
    static Socket Connect(std::uint32_t addressNetOrder, std::uint16_t port, int readTimeoutMs);

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // One send of the whole buffer (looping over partial writes); the byte count, or 0 or less
    // on failure.
    int Send(const void* data, std::size_t size);
    // One receive call: bytes read, 0 when the peer closed, negative on error or time-out.
    int Recv(void* data, std::size_t size);

    void SetReadTimeout(int ms);
    // Shut down both ways (wakes a reader blocked on this socket in another thread).
    void Shutdown();
    void Close();
    void ShutdownClose() {
        Shutdown();
        Close();
    }

  private:
    int fd_ = -1;
};

// Loops until `count` bytes have arrived. Returns `count`, or the failing receive result
// (0 = peer closed, negative = error). Bytes received before a failure stay in the buffer.
int ReceiveExact(Socket& s, void* buffer, int count);

// The first IPv4 address of `host`, network order.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host);

// "%d.%d.%d.%d" of a network-order address.
std::string FormatIPv4(std::uint32_t addressNetOrder);

}  // namespace zq
