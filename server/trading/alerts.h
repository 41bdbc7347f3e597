// The members' price and profit alerts as the store keeps them.
//
// A stored price alert is answered with its id at offset 0 and 1 at offset 32; the client sends
// 2 there when the user deletes it, and the record unchanged when the alert fired. A profit
// alert carries its id in its first four bytes and 1 in the next four. An alert leaves the
// lists once it was deleted or reported as fired; the row stays, marked, as its history.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reports/wire/alert_records.h"
#include "server/store/store.h"

namespace zq::server {

namespace alert_state {
constexpr std::int32_t Active = 1;
constexpr std::int32_t DeletedByUser = 2;
constexpr std::int32_t Fired = 3;
}  // namespace alert_state

// A member keeps at most this many alerts of each kind at a time.
constexpr int kMaxAlertsPerMember = 200;

// The member's active price alerts, oldest first.
std::vector<PriceAlertRecord> PriceAlerts(Store& store, std::int64_t memberId);
// Stores the alert a creation request describes and answers it with its id; id 0 when the
// request is refused (unknown instrument, condition other than 1 or 2, a target that is not a
// positive number, or the member's limit reached).
PriceAlertRecord AddPriceAlert(Store& store, std::int64_t memberId,
                               const PriceAlertRecord& request);
// Removes the member's active alert with the record's id: a deletion by the user when offset 32
// holds 2, a fired alert otherwise. False when the member has no such active alert.
bool RemovePriceAlert(Store& store, std::int64_t memberId, const PriceAlertRecord& record);

std::vector<ProfitAlertRecord> ProfitAlerts(Store& store, std::int64_t memberId);
// Stores a profit alert (condition 1 ">=" or 2 "<="); its id, or 0 when refused.
std::int32_t AddProfitAlert(Store& store, std::int64_t memberId, std::int32_t condition,
                            double target);
// Marks the member's active profit alert with the record's id as fired.
bool RemoveProfitAlert(Store& store, std::int64_t memberId, const ProfitAlertRecord& record);

std::int32_t ProfitAlertId(const ProfitAlertRecord& record);

// Schema step: both alert tables, and a few alerts of the demo member.
bool CreateAlertTables(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
