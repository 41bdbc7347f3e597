#include "server/market/trading_hours.h"

#include "base/market_clock.h"

namespace zq::server {
namespace {

constexpr std::uint8_t kWeekdays = 0x1f;  // Monday to Friday

constexpr std::int16_t At(int hour, int minute = 0) {
    return static_cast<std::int16_t>(hour * 60 + minute);
}

// London metals, currency pairs, the dollar index and crude oil: Monday 06:00 to Saturday 05:00,
// closed 05:00 to 06:00 every morning in between.
constexpr TradingSession kInternational[] = {{kWeekdays, At(6), At(5)}};
// The onshore dollar: 09:30 to 03:00 the next morning.
constexpr TradingSession kOnshoreDollar[] = {{kWeekdays, At(9, 30), At(3)}};
// Shanghai and Tianjin spot metals: two day sessions and a night session to 02:30.
constexpr TradingSession kSpotMetals[] = {{kWeekdays, At(9), At(11, 30)},
                                          {kWeekdays, At(13, 30), At(15, 30)},
                                          {kWeekdays, At(20), At(2, 30)}};
// Domestic futures: three day sessions, and a night session whose end depends on the contract.
constexpr TradingSession kPreciousFutures[] = {{kWeekdays, At(9), At(10, 15)},
                                               {kWeekdays, At(10, 30), At(11, 30)},
                                               {kWeekdays, At(13, 30), At(15)},
                                               {kWeekdays, At(21), At(2, 30)}};
constexpr TradingSession kCopperFutures[] = {{kWeekdays, At(9), At(10, 15)},
                                             {kWeekdays, At(10, 30), At(11, 30)},
                                             {kWeekdays, At(13, 30), At(15)},
                                             {kWeekdays, At(21), At(1)}};
constexpr TradingSession kCommodityFutures[] = {{kWeekdays, At(9), At(10, 15)},
                                                {kWeekdays, At(10, 30), At(11, 30)},
                                                {kWeekdays, At(13, 30), At(15)},
                                                {kWeekdays, At(21), At(23)}};
// The stock index: the exchange's day sessions only.
constexpr TradingSession kStockIndex[] = {{kWeekdays, At(9, 30), At(11, 30)},
                                          {kWeekdays, At(13), At(15)}};

}  // namespace

std::span<const TradingSession> StandardSessions(std::int32_t instrument) {
    switch (instrument) {
        case 4:  // 天通银
        case 5:  // 上海金
        case 6:  // 上海银
            return kSpotMetals;
        case 29:  // 沪金
        case 30:  // 沪银
            return kPreciousFutures;
        case 40:  // 沪铜
        case 42:  // 铜指
            return kCopperFutures;
        case 31:  // 股指
            return kStockIndex;
        case 32:
        case 33:
        case 34:
        case 35:
        case 36:
        case 37:
        case 38:
        case 41:
            return kCommodityFutures;
        case 39:  // 美元/人民币
            return kOnshoreDollar;
        default:
            if (instrument >= 1 && instrument <= kInstrumentCount) return kInternational;
            return {};
    }
}

bool InStandardHours(std::int32_t instrument, std::int64_t unixSeconds) {
    const std::int64_t local = unixSeconds + kMarketUtcOffsetSeconds;
    const std::int64_t day = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    const int minute = static_cast<int>((local - day * 86400) / 60);
    // 1970-01-01 was a Thursday: day 0 has weekday 3 counted from Monday = 0.
    const int weekday = static_cast<int>(((day + 3) % 7 + 7) % 7);
    const int yesterday = (weekday + 6) % 7;
    for (const TradingSession& s : StandardSessions(instrument)) {
        const bool today = (s.days >> weekday) & 1, fromYesterday = (s.days >> yesterday) & 1;
        if (s.end > s.start) {
            if (today && minute >= s.start && minute < s.end) return true;
        } else if ((today && minute >= s.start) || (fromYesterday && minute < s.end)) {
            return true;
        }
    }
    return false;
}

bool TradingHours::IsOpen(std::int32_t instrument, std::int64_t unixSeconds) const {
    if (instrument < 1 || instrument > kInstrumentCount) return false;
    switch (overrides_[static_cast<std::size_t>(instrument)].load(std::memory_order_relaxed)) {
        case MarketOverride::Open:
            return true;
        case MarketOverride::Closed:
            return false;
        case MarketOverride::Auto:
            break;
    }
    return mode_ == HoursMode::Always || InStandardHours(instrument, unixSeconds);
}

void TradingHours::SetOverride(std::int32_t instrument, MarketOverride what) {
    if (instrument < 1 || instrument > kInstrumentCount) return;
    overrides_[static_cast<std::size_t>(instrument)].store(what, std::memory_order_relaxed);
}

MarketOverride TradingHours::Override(std::int32_t instrument) const {
    if (instrument < 1 || instrument > kInstrumentCount) return MarketOverride::Auto;
    return overrides_[static_cast<std::size_t>(instrument)].load(std::memory_order_relaxed);
}

const char* HoursModeName(HoursMode mode) {
    return mode == HoursMode::Always ? "always" : "standard";
}

}  // namespace zq::server
