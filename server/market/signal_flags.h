// Each member's signal notification flags: 50 bytes, byte n - 1 for instrument n, 1 meaning
// that new live signals of that instrument are announced to the member. Kept in the store
// (table `signal_flags`); a member without a row has 50 zeros.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "server/store/store.h"

namespace zq::server {

constexpr std::size_t kSignalFlagBytes = 50;
using SignalFlags = std::array<std::uint8_t, kSignalFlagBytes>;

// The instruments announced to the demo member of a fresh store: 伦敦金, 伦敦银, 上海金 and
// 欧元/美元.
constexpr std::array<std::int32_t, 4> kDemoAnnounced = {1, 2, 5, 14};

// The member's flags; 50 zeros when the member has none stored. Nothing when the store cannot
// be read.
std::optional<SignalFlags> LoadSignalFlags(Store& store, std::int64_t memberId);
// Stores the member's flags whole; false when the store refuses.
bool SaveSignalFlags(Store& store, std::int64_t memberId, const SignalFlags& flags);

// Schema step: the table, with the demo member's flags.
bool CreateSignalFlagTable(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
