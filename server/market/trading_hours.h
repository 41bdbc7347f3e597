// The trading hours of every instrument, kept in Beijing time (UTC+8), and the control port's
// say over them.
//
// Each instrument trades in sessions on weekdays: the international markets (London metals, the
// currency pairs, the dollar index and crude oil) from Monday 06:00 around the clock to Saturday
// 05:00 with an hour's break each morning; the Shanghai and Tianjin spot markets and the domestic
// futures in day sessions and a night session; the stock index in two day sessions only. A
// session that ends at or before its start runs past midnight into the next day, so Friday's
// night session ends early on Saturday. docs/server.md has the table.
//
// With --trading-hours always every market is open at every hour. The control port can force
// one market (or all) open or closed whatever the clock says, and hand it back to the hours.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "server/market/catalogue.h"

namespace zq::server {

enum class HoursMode { Standard, Always };

// One trading session: on the weekdays of `days` (bit 0 Monday ... bit 6 Sunday) from `start`
// to `end`, in minutes after midnight. An end at or before the start lies on the next day.
struct TradingSession {
    std::uint8_t days;
    std::int16_t start;
    std::int16_t end;
};

// The sessions of an instrument under the standard hours; empty for an id outside 1..42.
std::span<const TradingSession> StandardSessions(std::int32_t instrument);
// Whether the standard hours have the instrument's market open at that moment.
bool InStandardHours(std::int32_t instrument, std::int64_t unixSeconds);

// What the control port has said about one market.
enum class MarketOverride : std::uint8_t { Auto, Open, Closed };

class TradingHours {
  public:
    explicit TradingHours(HoursMode mode = HoursMode::Standard) : mode_(mode) {}

    HoursMode Mode() const { return mode_; }
    // Open by the override when there is one, else by the mode and the sessions. False for an
    // id outside 1..42. Safe from any thread.
    bool IsOpen(std::int32_t instrument, std::int64_t unixSeconds) const;

    // Ignored for an id outside 1..42.
    void SetOverride(std::int32_t instrument, MarketOverride what);
    MarketOverride Override(std::int32_t instrument) const;

  private:
    const HoursMode mode_;
    std::array<std::atomic<MarketOverride>, kInstrumentCount + 1> overrides_{};
};

// "standard" or "always".
const char* HoursModeName(HoursMode mode);

}  // namespace zq::server
