// Connections on the request port: a sequence of requests, each a 24-byte header, the
// command's payload and its answer, until the peer closes. The connection is served one
// request at a time: the event loop reads the header and the whole payload (each command's is of
// a fixed size), the handler runs on a worker pool, and its answer goes out in one send.
#pragma once

#include <asio/awaitable.hpp>

#include "server/links/dispatch.h"
#include "server/links/listener.h"

namespace zq::server {

// How long the server waits for the next whole request (header and payload) before it gives up
// on a request connection.
constexpr int kRequestIdleMs = 5000;

// Serves one request connection to its end. Never throws.
asio::awaitable<void> ServeRequestConnection(Accepted link, ServerState& state,
                                             const CommandTable& commands, NetLoop& loop);

}  // namespace zq::server
