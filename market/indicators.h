// Moving averages (5, 10, 20 and 60 bars) and Bollinger bands (20 bars, two standard
// deviations) of the closes of the chart's display list: the raw bars or their Heikin Ashi bars,
// index 0 the newest, as the chart keeps them.
//
// A layout computes the values of the visible bars in one pass over them and the bars behind
// the oldest one (O(visible + period)); a live update of the newest bar costs O(1) per
// indicator, from the sums of the older bars kept at the layout. Values are in scaled price
// units (the bars' integers), as the chart's price scale takes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "market/wire/bar_record.h"

namespace zq {

// Sums of squared prices: twenty squares of 31-bit prices need more than 64 bits.
__extension__ typedef __int128 IndicatorWide;

inline constexpr std::array<int, 4> kMovingAveragePeriods{5, 10, 20, 60};
inline constexpr int kBollingerPeriod = 20;
inline constexpr double kBollingerWidth = 2.0;

// One indicator's value at one bar; not valid where fewer bars than its period lie behind it.
struct IndicatorValue {
    bool valid = false;
    double value = 0;
};

// The values at one bar: the four moving averages, then the band's middle, upper and lower line.
struct IndicatorBar {
    std::array<IndicatorValue, kMovingAveragePeriods.size()> ma{};
    IndicatorValue middle, upper, lower;
};

class IndicatorLines {
  public:
    // The values of bars [first, first + count) of `bars` (n bars, newest first), and of the
    // newest bar. A range beyond the list is cut to it.
    void Layout(const BarRecord* bars, std::size_t n, std::size_t first, std::size_t count) {
        LayoutWith([bars](std::size_t i) { return bars[i].close; }, n, first, count);
    }
    // The same over a list read through `closeAt(i)`, the close of bar i (0 the newest), for
    // lists that are not one array (the chart's deque, its Heikin Ashi bars). Only bars 0 ..
    // period-1 and the visible bars with the longest window behind them are read.
    template <class CloseAt>
    void LayoutWith(CloseAt&& closeAt, std::size_t n, std::size_t first, std::size_t count);

    // The newest bar's close changed to `close`: its values follow, in O(1). Nothing before a
    // layout.
    void LiveUpdate(std::int32_t close);

    // Back to the state before any layout.
    void Clear() {
        visible_.clear();
        first_ = 0;
        laidOut_ = false;
        current_ = {};
    }

    // The visible bars' values, in the layout's order (index 0 the bar at `first`).
    const std::vector<IndicatorBar>& Visible() const { return visible_; }
    std::size_t First() const { return first_; }
    // The newest bar's values: the figures of the caption line.
    const IndicatorBar& Current() const { return current_; }

  private:
    // The sums of the closes of bars 1 .. period-1 (the bars behind the newest inside each
    // window), and the squares' sum for the band; `count` how many of those bars exist.
    struct Tail {
        std::int64_t sum = 0;
        IndicatorWide squares = 0;
        std::size_t count = 0;
    };
    IndicatorBar ValuesWith(std::int32_t newestClose) const;
    // The steps of a layout around the reads of the closes.
    std::size_t BeginLayout(std::size_t n, std::size_t& first, std::size_t& count);
    void FinishLayout(std::size_t count, std::size_t n, std::int32_t newestClose);

    // Prefix sums of the closes from `first` on, reused between layouts.
    std::vector<std::int64_t> sums_;
    std::vector<IndicatorWide> squares_;

    std::vector<IndicatorBar> visible_;
    std::size_t first_ = 0;
    bool laidOut_ = false;
    std::array<Tail, kMovingAveragePeriods.size()> maTails_{};
    Tail bandTail_{};
    IndicatorBar current_{};
};

template <class CloseAt>
void IndicatorLines::LayoutWith(CloseAt&& closeAt, std::size_t n, std::size_t first,
                                std::size_t count) {
    const std::size_t span = BeginLayout(n, first, count);
    for (std::size_t j = 0; j < span; ++j) {
        const std::int64_t c = closeAt(first + j);
        sums_[j + 1] = sums_[j] + c;
        squares_[j + 1] = squares_[j] + static_cast<IndicatorWide>(c) * c;
    }
    // The newest bar's windows without it, for the caption and the live updates.
    const auto tail = [&](int period) {
        Tail t;
        for (std::size_t j = 1; j < static_cast<std::size_t>(period) && j < n; ++j) {
            const std::int64_t c = closeAt(j);
            t.sum += c;
            t.squares += static_cast<IndicatorWide>(c) * c;
            ++t.count;
        }
        return t;
    };
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k)
        maTails_[k] = tail(kMovingAveragePeriods[k]);
    bandTail_ = tail(kBollingerPeriod);
    FinishLayout(count, n, n == 0 ? 0 : closeAt(std::size_t{0}));
}

}  // namespace zq
