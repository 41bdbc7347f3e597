// A loopback TCP server for tests that answers each connection with a scripted handler: short
// answers, garbage, early closes, silence.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/wire/framing.h"
#include "net/wire/socket.h"

namespace zq::test {

class ScriptServer {
  public:
    // The handler runs on the server's thread, once per accepted connection, in order.
    using Handler = std::function<void(Socket& peer, int connectionIndex)>;

    explicit ScriptServer(Handler handler);
    ~ScriptServer();

    std::uint16_t Port() const { return port_; }
    int Connections() const { return connections_.load(); }

    // Points the client's request port and server address at this server.
    void UseAsRequestPort() const;
    // Points the client's push port at this server.
    void UseAsPushPort() const;

    // Reads one request header; false when it does not arrive in full.
    static bool ReadHeader(Socket& peer, RequestHeader& header);

  private:
    void Run();

    Handler handler_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace zq::test
