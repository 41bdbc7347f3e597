// The push link: one long-lived connection per logged-in client. The client opens it with the
// subscribe header (command 0) carrying its session key and then only reads: market records,
// instant messages, keep-alives and the log-out orders (push_feed.h lists the items).
#pragma once

#include <asio/awaitable.hpp>

#include "server/links/listener.h"
#include "server/links/server_state.h"

namespace zq::server {

// How long the server waits for the whole subscribe header.
constexpr int kPushSubscribeMs = 5000;

// Serves one connection on the push port to its end. Never throws.
asio::awaitable<void> ServePushConnection(Accepted link, ServerState& state, NetLoop& loop);

}  // namespace zq::server
