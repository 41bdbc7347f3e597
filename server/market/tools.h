// The members' drawing tools: the chart's complete tool records (132 bytes each), kept in the
// store as sent, per member, in the order they were stored (table `tools`).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "market/wire/tool_record.h"
#include "server/store/store.h"

namespace zq::server {

// The most tools one member may keep; a store beyond it is refused.
constexpr std::size_t kMaxToolsPerMember = 2000;

enum class ToolStoreResult {
    Stored,
    Incomplete,  // not a complete tool (state 999) of a known type, instrument and period
    Full,        // the member has kMaxToolsPerMember tools already
    Failed,      // the store refused
};

// Whether the chart could have drawn this record: state 999, type 1..3, instrument 1..42, one
// of the seven periods.
bool IsStorableTool(const ToolLineRecord& record);

ToolStoreResult StoreTool(Store& store, std::int64_t memberId, const ToolLineRecord& record);
// The member's tools, oldest first, byte for byte as stored; nothing when the store cannot be
// read.
std::optional<std::vector<ToolLineRecord>> LoadTools(Store& store, std::int64_t memberId);
// Removes the member's tools of one instrument and period; how many went, or nothing when the
// store refused.
std::optional<int> DeleteTools(Store& store, std::int64_t memberId, std::int32_t instrument,
                               std::int32_t period);

// Schema step: the table.
bool CreateToolTable(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
