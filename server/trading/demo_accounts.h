// The demo member's account as the store is first seeded: its figures, a few open positions
// of different ages and origins, and waiting orders (one of them closes a position).
#pragma once

#include <cstdint>

#include "server/store/store.h"

namespace zq::server {

// Fills the demo member's plain account, on a connection the caller holds; `now` dates the
// positions and orders. False when the member has no account or the store fails.
bool SeedDemoAccount(sqlite3* db, std::int64_t memberId, std::int64_t now);

}  // namespace zq::server
