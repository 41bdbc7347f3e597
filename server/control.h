// The control port: a line protocol on the loopback interface for tests and demos. Each line is
// one command; each answer is one line, "ok ..." or "error ...". docs/server.md lists the
// commands.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

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
    bool Open(std::uint16_t port, std::string* error);
    std::uint16_t Port() const { return port_; }
    void Start();
    // Stops accepting, ends every control connection and waits for their threads. Idempotent.
    void Stop();

    // One command line (without its line end) and its answer (without one).
    std::string Execute(std::string_view line);

  private:
    void Accept();
    void Serve(int fd, const std::string& peer);

    ServerState& state_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable done_;
    std::unordered_map<std::uint64_t, int> connections_;
    std::uint64_t next_ = 0;
    bool stopping_ = false;
};

}  // namespace zq::server
