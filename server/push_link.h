// The push link: one long-lived connection per logged-in client, opened with command 0, on
// which the server sends market records, signals and messages.
#pragma once

#include <string>

#include "net/socket.h"
#include "server/server_state.h"

namespace zq::server {

// Serves one connection on the push port to its end. Never throws.
void ServePushConnection(Socket socket, const std::string& peer, ServerState& state);

}  // namespace zq::server
