// Heikin Ashi bars, computed in the scaled integers with divisions that truncate toward zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "market/wire/bar_record.h"

namespace zq {

// The Heikin Ashi bar of `raw` following `previous` (the Heikin Ashi bar before it; all zero for
// the oldest bar). Instrument, decimals, key number and time text are those of `raw`.
//   close     = (O + H + L + C) / 4
//   open      = (previous open + previous close) / 2
//   high, low = the extremes of the raw high or low, open and close
//   reference = previous close
// While the previous open is not above 0 the bar is the raw bar with only its close replaced.
BarRecord HeikinAshiBar(const BarRecord& raw, const BarRecord& previous);

// Replaces `out` with the Heikin Ashi transform of `raw`; both lists are newest first.
void BuildHeikinAshi(const std::deque<BarRecord>& raw, std::deque<BarRecord>& out);

// The five fields the transform replaces in a raw record.
struct HeikinAshiPrices {
    std::int32_t open = 0;
    std::int32_t close = 0;
    std::int32_t high = 0;
    std::int32_t low = 0;
    std::int32_t reference = 0;
};

// The transform kept beside a raw list (both newest first) and brought up to date bar by bar
// while bars enter, change or leave at the newest end. Each bar depends on every older one, so
// a change at the oldest end (older bars joined, the oldest bar dropped) drops the list and
// the next Sync rebuilds it in full. Only the five prices are kept: 20 bytes a bar.
class HeikinAshiSeries {
  public:
    // Whether the list follows the raw list; an empty pair of lists does.
    bool Valid(const std::deque<BarRecord>& raw) const {
        return valid_ && prices_.size() == raw.size();
    }
    // The raw list was emptied.
    void Clear();
    // The raw list changed at its oldest end.
    void Invalidate();
    // Rebuilds the list in full unless it already follows `raw`.
    void Sync(const std::deque<BarRecord>& raw);

    // `raw` just gained a bar at the front.
    void FrontAdded(const std::deque<BarRecord>& raw);
    // The front bar of `raw` was just replaced in place.
    void FrontReplaced(const std::deque<BarRecord>& raw);
    // `raw` just lost its front bar.
    void FrontRemoved();

    // The Heikin Ashi bar at position i of `raw` (the list must follow it).
    BarRecord At(const std::deque<BarRecord>& raw, std::size_t i) const;

  private:
    HeikinAshiPrices FrontPrices(const BarRecord& raw, std::size_t previous) const;

    std::deque<HeikinAshiPrices> prices_;
    bool valid_ = true;
};

}  // namespace zq
