// The data link: one connection per K-line history transfer (header command period × 1000 +
// instrument, then the bar key), answered with zipped bar records.
#pragma once

#include <string>

#include "net/socket.h"
#include "server/server_state.h"

namespace zq::server {

// Serves one connection on the data port to its end. Never throws.
void ServeDataConnection(Socket socket, const std::string& peer, ServerState& state);

}  // namespace zq::server
