// Each member's programmatic trading settings (command 53): the flag that lets the server follow
// its own trading signals in the member's account (the column `program_trading` of the members,
// which the login reply carries) and the two risk limits the client sends with it (table
// `program_trading`; kept, not otherwise used).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "server/store/store.h"

namespace zq::server {

// The risk limit (percent) the client always sends, and what a member who never saved has.
constexpr std::int32_t kDefaultRiskLimit = 30;

struct ProgramSettings {
    std::int32_t enabled = 0;  // 1 on, 0 off
    std::int32_t riskLimit1 = kDefaultRiskLimit;
    std::int32_t riskLimit2 = kDefaultRiskLimit;
};

// The member's settings; nothing for an unknown member or when the store cannot be read.
std::optional<ProgramSettings> LoadProgramSettings(Store& store, std::int64_t memberId);
// Stores flag and limits together; false for an unknown member or when the store refuses.
bool SaveProgramSettings(Store& store, std::int64_t memberId, const ProgramSettings& settings);

// Schema step: the table of the risk limits.
bool CreateProgramTradingTable(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
