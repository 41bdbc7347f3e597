// Everything the connection threads share: options, the store, the pending verification keys,
// the open sessions, the simulation's generator, the market, the accounts, the trading hours and
// the execution engine, the push links and the bars and the trading signals. Each part guards
// itself.
#pragma once

#include <memory>

#include "server/accounts.h"
#include "server/bars.h"
#include "server/execution.h"
#include "server/login_throttle.h"
#include "server/market.h"
#include "server/options.h"
#include "server/push_feed.h"
#include "server/random.h"
#include "server/session_peers.h"
#include "server/session_store.h"
#include "server/sessions.h"
#include "server/signals.h"
#include "server/store.h"
#include "server/trading_hours.h"
#include "server/verification.h"

namespace zq::server {

struct ServerState {
    ServerState(ServerOptions opts, std::unique_ptr<Store> db, std::uint64_t seed)
        : options(std::move(opts)), store(std::move(db)), random(seed), signals(bars, seed) {}

    const ServerOptions options;
    const std::unique_ptr<Store> store;
    VerificationKeys verification;
    // Failed logins slow down the next attempts of their address and member name.
    LoginThrottle loginThrottle;
    // The open sessions, kept in the store as well so that they survive a crash.
    StoredSessions storedSessions{*store};
    SessionTable sessions{&storedSessions};
    // Where each open session's requests come from (who may see the member's web pages).
    SessionPeers sessionPeers{sessions};
    SeededRandom random;
    Market market{random};
    Accounts accounts{*store, market};
    // The markets' hours, and the engine that executes orders at the market's prices.
    TradingHours hours{options.tradingHours};
    ExecutionEngine engine{*store, market, accounts, hours};
    // The feed outlives the book, whose updates it hears.
    PushFeed push{sessions, options.keepAliveInterval};
    BarBook bars{*store, market};
    // The active trading signals; they go out on the push feed and into history transfers.
    SignalBook signals;
};

}  // namespace zq::server
