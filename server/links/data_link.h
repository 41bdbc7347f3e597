// The data link: one connection per K-line history transfer. The client sends the header whose
// command is period (minutes) × 1000 + instrument and 26 bytes: two NUL-terminated 13-byte bar
// keys, A and B. The server answers an int32 length N, N bytes of a zip archive of 56-byte bar
// records (newest first) and the 13-byte key of the series' oldest bar, then closes.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "market/wire/bar_record.h"
#include "server/links/listener.h"
#include "server/links/server_state.h"

namespace zq::server {

// How long the server waits for the whole request (header and keys).
constexpr int kDataRequestMs = 5000;
// Records in one item of the archive (the last item may hold fewer).
constexpr std::size_t kRecordsPerItem = 250;

struct HistorySeries {
    std::int32_t instrument = 0;
    int periodMinutes = 0;
};
// The series a history command names; nothing for a period or instrument the server lacks.
std::optional<HistorySeries> DecodeHistoryCommand(std::int32_t command);

// The records as a zip archive (items "bars1", "bars2", ... of up to kRecordsPerItem records
// each); nothing when the archive cannot be made.
std::optional<std::string> ZipBarRecords(const std::vector<BarRecord>& records);

// Serves one connection on the data port to its end; the history is read and zipped on the
// loop's worker pool. Never throws.
asio::awaitable<void> ServeDataConnection(Accepted link, ServerState& state, NetLoop& loop);

}  // namespace zq::server
