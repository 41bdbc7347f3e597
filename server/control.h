// The control port: a line protocol on the loopback interface for tests and demos. Each line is
// one command; each answer is one line, "ok ..." or "error ...". docs/server.md lists the
// commands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/listener.h"
#include "server/server_state.h"

namespace zq::server {

// The longest command line; a longer one ends the connection.
constexpr std::size_t kMaxControlLine = 4096;
// A control connection without a command for this long is closed.
constexpr int kControlIdleMs = 600000;

class ControlPort {
  public:
    explicit ControlPort(ServerState& state) : state_(state) {}
    ~ControlPort() { Stop(); }
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Listens on 127.0.0.1:`port` (0: a free port).
    bool Open(std::uint16_t port, std::string* error) {
        return listener_.Open(Listener::Reach::Loopback, port, error);
    }
    std::uint16_t Port() const { return listener_.Port(); }
    void Start();
    // Stops accepting, ends every control connection and waits for their threads. Idempotent.
    void Stop();

    // One command line (without its line end) and its answer (without one).
    std::string Execute(std::string_view line);

  private:
    void Serve(Socket socket, const std::string& peer);

    ServerState& state_;
    // Declared after the connections it feeds, so that it is gone first.
    ConnectionSet connections_;
    Listener listener_{"control"};
};

}  // namespace zq::server
