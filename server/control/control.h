// The control port: a line protocol on the loopback interface for tests, demos and the operator.
// A connection's first line is "auth SECRET" (the secret of the control secret file); one that
// does not begin so, or whose first line looks like HTTP (a web page posting to the port), is
// closed without executing anything. Then each line is one command; each answer is one line,
// "ok ..." or "error ...". docs/server.md lists the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/links/listener.h"
#include "server/links/server_state.h"

namespace zq::server {

// The longest command line; a longer one ends the connection.
constexpr std::size_t kMaxControlLine = 4096;
// A control connection without a command for this long is closed; its first line (the secret)
// must come within kControlAuthMs.
constexpr int kControlIdleMs = 600000;
constexpr int kControlAuthMs = 5000;
// Control connections open at once; more are closed on arrival.
constexpr std::size_t kMaxControlConnections = 64;

// The secret a control connection's first line must carry ("auth SECRET"), read from `path`,
// which must be readable by its owner alone; a missing file is made (mode 0600) with 32 random
// bytes in hex. Nothing, with `error` set, when the file cannot be read or made, is open to
// others, or holds no secret.
std::optional<std::string> LoadControlSecret(const std::string& path, std::string* error);

class ControlPort {
  public:
    // Connections must authenticate with `secret` before any command.
    ControlPort(ServerState& state, std::string secret)
        : state_(state), secret_(std::move(secret)) {}
    ~ControlPort() { Stop(); }
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Listens on 127.0.0.1:`port` (0: a free port).
    bool Open(std::uint16_t port, std::string* error) {
        return listener_.Open(Listener::Reach::Loopback, port, error);
    }
    std::uint16_t Port() const { return listener_.Port(); }
    // Accepts on `loop`; the commands run on its worker pool.
    void Start(NetLoop& loop);
    // Stops accepting and ends every control connection. Idempotent.
    void Stop();

    // One command line (without its line end) and its answer (without one).
    std::string Execute(std::string_view line);

  private:
    asio::awaitable<void> Serve(Accepted link, NetLoop& loop);

    ServerState& state_;
    const std::string secret_;
    // Declared after the connections it feeds, so that it is gone first.
    Admission connections_{kMaxControlConnections, kMaxControlConnections};
    Listener listener_{"control"};
};

}  // namespace zq::server
