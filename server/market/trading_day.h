// The accounts' calendar: moments in seconds since 1970 (UTC), shown in Beijing time (UTC+8,
// base/market_clock.h), and the trading day, the calendar day in Beijing time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zq::server {

std::int64_t NowSeconds();
// "YYYY-MM-DD HH:MM:SS" in Beijing time.
std::string BeijingTimeText(std::int64_t unixSeconds);
// "YYYY-MM-DD" of the Beijing calendar day.
std::string TradingDayOf(std::int64_t unixSeconds);
// Days since 1970-01-01 of a "YYYY-MM-DD" text; nothing when it does not read as a date.
std::optional<std::int64_t> DayNumber(const std::string& day);
// The Monday-based week of a day number: two days share a week when no Monday lies between.
std::int64_t WeekNumber(std::int64_t day);
// Nights between two moments, counted in Beijing calendar days; 0 when `to` is not on a later
// day.
std::int64_t NightsBetween(std::int64_t from, std::int64_t to);

}  // namespace zq::server
