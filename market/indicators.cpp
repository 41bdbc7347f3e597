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

std::size_t IndicatorLines::BeginLayout(std::size_t n, std::size_t& first, std::size_t& count) {
    first = std::min(first, n);
    count = std::min(count, n - first);
    first_ = first;
    laidOut_ = true;
    // Prefix sums over the visible bars and the longest window behind the oldest of them.
    constexpr std::size_t kLongest = std::max(
        static_cast<std::size_t>(kMovingAveragePeriods.back()), std::size_t{kBollingerPeriod});
    const std::size_t span = std::min(n - first, count + kLongest - 1);
    sums_.assign(span + 1, 0);
    squares_.assign(span + 1, 0);
    return span;
}

void IndicatorLines::FinishLayout(std::size_t count, std::size_t n, std::int32_t newestClose) {
    const std::size_t span = sums_.size() - 1;
    visible_.assign(count, IndicatorBar{});
    for (std::size_t i = 0; i < count; ++i) {
        IndicatorBar& v = visible_[i];
        for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k) {
            const auto period = static_cast<std::size_t>(kMovingAveragePeriods[k]);
            if (i + period > span) continue;
            v.ma[k] = {true, static_cast<double>(sums_[i + period] - sums_[i]) /
                                 static_cast<double>(period)};
        }
        const auto period = static_cast<std::size_t>(kBollingerPeriod);
        if (i + period <= span)
            Band(sums_[i + period] - sums_[i], squares_[i + period] - squares_[i], kBollingerPeriod,
                 v);
    }
    current_ = n == 0 ? IndicatorBar{} : ValuesWith(newestClose);
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
