// The members' fills as the trade report shows them (request 19), and the balance history the
// equity curve draws from the same rows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reports/wire/fill_records.h"
#include "server/store/store.h"

namespace zq::server {

// The most fill records one answer carries: the newest of the selection.
constexpr std::size_t kMaxFillRecords = 1000;

// Whether a fill of `instrument` passes the query's filter: 0 every instrument; 502 the
// gold-card members' instruments, the international markets (ids 1-3 and 7-28: London gold and
// silver, the dollar index, the currency pairs, New York crude and the gold and silver crosses);
// 501 the silver-card members' instruments, the domestic ones (4-6 and 29-42: Shanghai and
// Tianjin spot, the domestic futures, the stock index, the dollar against the yuan); any other
// value that instrument id alone.
bool FillFilterMatches(std::int32_t filter, std::int32_t instrument);

struct FillAnswer {
    std::vector<FillRecord> records;  // newest first, at most kMaxFillRecords
    FillSummary summary{};
};

// The member's fills that the query selects: by the filter and by the Beijing calendar day of
// the fill's time, from the start date to the end date, both included (an all-zero date leaves
// that side open; a date that does not read as "YYYY-MM-DD" selects nothing). The summary is
// computed over the whole selection:
//   success rate = closing fills with a profit above 0 × 100 / closing fills (0 without any);
//   profit = the closing fills' profit less every selected fill's fee;
//   return rate = profit × 100 / the balance at the period's start (0 unless that is above 0),
//     that balance being the current one less the profit and plus the fees of all the member's
//     fills from the start day on (every instrument).
// A member without an account, or a store that cannot be read, has no fills.
FillAnswer QueryFills(Store& store, std::int64_t memberId, const FillQuery& query);

struct BalancePoint {
    std::int64_t time = 0;  // seconds since 1970
    double balance = 0;
};

// The member's balance over time, oldest first: a point before the first fill (the balance it
// started from, the current balance less every fill's profit and plus its fees), one after each
// fill, and the current balance at `now`. Deferral fees are not fills: they show in the starting
// point. Nothing when the member has no account or the store cannot be read.
std::optional<std::vector<BalancePoint>> BalanceHistory(Store& store, std::int64_t memberId,
                                                        std::int64_t now);

}  // namespace zq::server
