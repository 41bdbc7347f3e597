// The stand-in server: the store, the three listening ports and the connection threads.
//
//   request port  → ServeRequestConnection (request_link.cpp), commands from the table that
//                   BuildRequestCommands() fills (dispatch.cpp, handlers.h)
//   push port     → ServePushConnection (push_connection.cpp)
//   data port     → ServeDataConnection (data_link.cpp)
//   control port  → ControlPort (control.cpp), on the loopback interface, when asked for
//
// Every accepted connection is a coroutine on one event loop (listener.h), admitted fairly across
// peer addresses; what blocks runs on the loop's worker pools. Stop() closes the ports, shuts
// down every open connection (push links hear -1 first) and stops the loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/control/control.h"
#include "server/links/dispatch.h"
#include "server/links/listener.h"
#include "server/links/options.h"
#include "server/links/server_state.h"
#include "server/web/web_pages.h"

namespace zq::server {

class Server {
  public:
    explicit Server(ServerOptions options) : options_(std::move(options)) {}
    ~Server() { Stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the store and the three ports and starts accepting; false with `error` set when
    // any of that fails.
    bool Start(std::string* error);
    // Idempotent.
    void Stop();

    std::uint16_t RequestPort() const { return request_.Port(); }
    std::uint16_t PushPort() const { return push_.Port(); }
    std::uint16_t DataPort() const { return data_.Port(); }
    // 0 when the server has no control port.
    std::uint16_t ControlPortNumber() const { return control_ ? control_->Port() : 0; }
    // 0 when the web pages are off (--web-port 0).
    std::uint16_t WebPort() const { return web_.Port(); }
    std::uint64_t Seed() const { return seed_; }
    ServerState& State() { return *state_; }

    // Writes the ports listened on as one line, "request push data", then the control port
    // when there is one (0 when there is none but web pages) and the web port when the pages
    // are on; the file appears whole.
    bool WritePortsFile(const std::string& path, std::string* error) const;

  private:
    // Ends the sessions idle beyond --session-idle-ms, on its own thread until Stop().
    void SweepSessions();

    ServerOptions options_;
    std::uint64_t seed_ = 0;
    std::unique_ptr<ServerState> state_;
    CommandTable commands_;
    // The connections of the three ports together; the loop and the ports are declared after
    // it, so that they are gone first.
    Admission connections_;
    NetLoop loop_;
    Listener request_, push_, data_;
    std::unique_ptr<ControlPort> control_;
    WebServer web_;
    std::thread sweeper_;
    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool sweepStop_ = false;
    bool started_ = false;
};

}  // namespace zq::server
