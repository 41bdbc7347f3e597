// Everything the connection threads share: options, the store, the pending verification keys,
// the open sessions, the simulation's generator, the market, the accounts, the trading hours and
// the execution engine, the push links and the bars and the trading signals. Each part guards
// itself.
#pragma once

#include <memory>

#include "server/links/login_throttle.h"
#include "server/links/options.h"
#include "server/links/push_feed.h"
#include "server/links/session_peers.h"
#include "server/links/session_store.h"
#include "server/links/sessions.h"
#include "server/links/verification.h"
#include "server/market/bars.h"
#include "server/market/market.h"
#include "server/market/signals.h"
#include "server/market/trading_hours.h"
#include "server/store/random.h"
#include "server/store/store.h"
#include "server/trading/accounts.h"
#include "server/trading/execution.h"

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
