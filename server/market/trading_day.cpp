#include "server/market/trading_day.h"

#include <cstdio>
#include <ctime>

#include "base/market_clock.h"

namespace zq::server {

std::int64_t NowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string BeijingTimeText(std::int64_t unixSeconds) {
    const std::tm tm = MarketTime(unixSeconds);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string TradingDayOf(std::int64_t unixSeconds) {
    return BeijingTimeText(unixSeconds).substr(0, 10);
}

std::optional<std::int64_t> DayNumber(const std::string& day) {
    int y = 0, m = 0, d = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3 || m < 1 ||
        m > 12 || d < 1 || d > 31)
        return std::nullopt;
    // Days from civil (proleptic Gregorian).
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t WeekNumber(std::int64_t day) {
    // 1970-01-01 was a Thursday, so day 4 (a Monday) starts week 1.
    return (day + 3) / 7;
}

std::int64_t NightsBetween(std::int64_t from, std::int64_t to) {
    const auto a = DayNumber(TradingDayOf(from)), b = DayNumber(TradingDayOf(to));
    return a && b && *b > *a ? *b - *a : 0;
}

}  // namespace zq::server
