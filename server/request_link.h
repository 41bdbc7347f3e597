// Connections on the request port: a sequence of requests, each a 24-byte header, the
// command's payload and its answer, until the peer closes.
#pragma once

#include <string>

#include "net/wire/socket.h"
#include "server/dispatch.h"

namespace zq::server {

// How long the server waits for the next whole request (header and payload) before it gives up
// on a request connection.
constexpr int kRequestIdleMs = 5000;

// Serves one request connection to its end. Never throws.
void ServeRequestConnection(Socket socket, const std::string& peer, ServerState& state,
                            const CommandTable& commands);

}  // namespace zq::server
