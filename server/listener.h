// A listening TCP socket with its accept thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "net/wire/socket.h"

namespace zq::server {

class Listener {
  public:
    using AcceptFn = std::function<void(Socket socket, std::string peer)>;

    Listener() = default;
    ~Listener() { Stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens on all IPv4 addresses at `port` (0: a free port the system picks).
    bool Open(std::uint16_t port, std::string* error);
    std::uint16_t Port() const { return port_; }

    // Starts the accept thread: every accepted connection goes to `onAccept` on that thread,
    // with its peer as "a.b.c.d:port".
    void Start(AcceptFn onAccept);
    // Stops accepting, joins the accept thread and closes the listening socket.
    void Stop();

  private:
    void Run();

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    AcceptFn onAccept_;
    std::thread thread_;
};

}  // namespace zq::server
