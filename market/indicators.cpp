#include "market/indicators.h"

#include <algorithm>
#include <cmath>

namespace zq {
namespace {

// The band of `period` closes summing to `sum`, their squares to `squares`: the mean and the
// population standard deviation, from the exact integer sums.
void Band(std::int64_t sum, IndicatorWide squares, int period, IndicatorBar& out) {
    const auto n = static_cast<IndicatorWide>(period);
    const IndicatorWide spread =
        n * squares - static_cast<IndicatorWide>(sum) * sum;  // n² x variance
    const long double deviation =
        std::sqrt(static_cast<long double>(std::max<IndicatorWide>(spread, 0))) / period;
    const double mean = static_cast<double>(sum) / period;
    out.middle = {true, mean};
    out.upper = {true, mean + kBollingerWidth * static_cast<double>(deviation)};
    out.lower = {true, mean - kBollingerWidth * static_cast<double>(deviation)};
}

}  // namespace

void IndicatorLines::Layout(const BarRecord* bars, std::size_t n, std::size_t first,
                            std::size_t count) {
    first = std::min(first, n);
    count = std::min(count, n - first);
    first_ = first;
    laidOut_ = true;

    // Prefix sums over the visible bars and the longest window behind the oldest of them.
    constexpr std::size_t kLongest = std::max(
        static_cast<std::size_t>(kMovingAveragePeriods.back()), std::size_t{kBollingerPeriod});
    const std::size_t span = std::min(n - first, count + kLongest - 1);
    std::vector<std::int64_t> sums(span + 1, 0);
    std::vector<IndicatorWide> squares(span + 1, 0);
    for (std::size_t j = 0; j < span; ++j) {
        const std::int64_t c = bars[first + j].close;
        sums[j + 1] = sums[j] + c;
        squares[j + 1] = squares[j] + static_cast<IndicatorWide>(c) * c;
    }
    visible_.assign(count, IndicatorBar{});
    for (std::size_t i = 0; i < count; ++i) {
        IndicatorBar& v = visible_[i];
        for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k) {
            const auto period = static_cast<std::size_t>(kMovingAveragePeriods[k]);
            if (i + period > span) continue;
            v.ma[k] = {true, static_cast<double>(sums[i + period] - sums[i]) /
                                 static_cast<double>(period)};
        }
        const auto period = static_cast<std::size_t>(kBollingerPeriod);
        if (i + period <= span)
            Band(sums[i + period] - sums[i], squares[i + period] - squares[i], kBollingerPeriod, v);
    }

    // The newest bar's windows without it, for the caption and the live updates.
    const auto tail = [&](int period) {
        Tail t;
        for (std::size_t j = 1; j < static_cast<std::size_t>(period) && j < n; ++j) {
            const std::int64_t c = bars[j].close;
            t.sum += c;
            t.squares += static_cast<IndicatorWide>(c) * c;
            ++t.count;
        }
        return t;
    };
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k)
        maTails_[k] = tail(kMovingAveragePeriods[k]);
    bandTail_ = tail(kBollingerPeriod);
    current_ = n == 0 ? IndicatorBar{} : ValuesWith(bars[0].close);
}

void IndicatorLines::LiveUpdate(std::int32_t close) {
    if (!laidOut_) return;
    current_ = ValuesWith(close);
    if (first_ == 0 && !visible_.empty()) visible_[0] = current_;
}

IndicatorBar IndicatorLines::ValuesWith(std::int32_t newestClose) const {
    IndicatorBar v;
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k) {
        const int period = kMovingAveragePeriods[k];
        const Tail& t = maTails_[k];
        if (t.count + 1 != static_cast<std::size_t>(period)) continue;
        v.ma[k] = {true, static_cast<double>(t.sum + newestClose) / period};
    }
    if (bandTail_.count + 1 == static_cast<std::size_t>(kBollingerPeriod))
        Band(bandTail_.sum + newestClose,
             bandTail_.squares + static_cast<IndicatorWide>(newestClose) * newestClose,
             kBollingerPeriod, v);
    return v;
}

}  // namespace zq
