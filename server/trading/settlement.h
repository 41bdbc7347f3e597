// The day's settlement. The trading day is the calendar day in Beijing time (UTC+8); the first
// access to an account on a new day settles the days in between: every open position pays its
// daily deferral fee for each day, today's figures start at 0, orders valid for the day are
// cancelled, and orders valid for the week are cancelled when a new week (Monday) has begun.
#pragma once

#include <cstdint>
#include <string>

#include "server/market/market.h"
#include "server/trading/account_rows.h"

namespace zq::server {

// Settles `account` up to `today` (TradingDayOf(now)) at the market's current prices, on a
// connection the caller holds inside a transaction, and saves it. An account already on
// `today`, or on a later day (a clock set back), stays as it is. False when the store fails.
bool SettleDays(sqlite3* db, AccountRow& account, const std::string& today, std::int64_t now,
                const Market& market);

}  // namespace zq::server
