// The market's clock: the server and the client show market times in China Standard Time,
// UTC+8 all year (no daylight saving).
#pragma once

#include <cstdint>
#include <ctime>

namespace zq {

inline constexpr std::int64_t kMarketUtcOffsetSeconds = 8 * 3600;
inline constexpr std::int64_t kMarketUtcOffsetMinutes = kMarketUtcOffsetSeconds / 60;

// The broken-down market time of a moment given in seconds since 1970 (UTC).
inline std::tm MarketTime(std::int64_t utcSeconds) {
    const std::time_t shifted = static_cast<std::time_t>(utcSeconds + kMarketUtcOffsetSeconds);
    std::tm t{};
    gmtime_r(&shifted, &t);
    return t;
}

}  // namespace zq
