#include "market/heikin_ashi.h"

#include <algorithm>

namespace zq {

namespace {

// Sums go through 64 bits: four prices near the 32-bit limit must not overflow. The averages
// fit 32 bits again.
std::int32_t Average4(const BarRecord& r) {
    std::int64_t sum = std::int64_t{r.open} + r.high + r.low + r.close;
    return static_cast<std::int32_t>(sum / 4);
}

std::int32_t Average2(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>((std::int64_t{a} + b) / 2);
}

// The one place the transform's arithmetic lives: the prices of `raw` after a bar whose
// Heikin Ashi open and close are given (zero before the oldest bar).
HeikinAshiPrices Transform(const BarRecord& raw, std::int32_t previousOpen,
                           std::int32_t previousClose) {
    HeikinAshiPrices p{raw.open, Average4(raw), raw.high, raw.low, raw.reference};
    if (previousOpen <= 0) return p;
    p.open = Average2(previousOpen, previousClose);
    p.high = std::max({raw.high, p.open, p.close});
    p.low = std::min({raw.low, p.open, p.close});
    p.reference = previousClose;
    return p;
}

BarRecord Apply(const BarRecord& raw, const HeikinAshiPrices& p) {
    BarRecord ha = raw;
    ha.open = p.open;
    ha.close = p.close;
    ha.high = p.high;
    ha.low = p.low;
    ha.reference = p.reference;
    return ha;
}

}  // namespace

BarRecord HeikinAshiBar(const BarRecord& raw, const BarRecord& previous) {
    return Apply(raw, Transform(raw, previous.open, previous.close));
}

void BuildHeikinAshi(const std::deque<BarRecord>& raw, std::deque<BarRecord>& out) {
    // Sized once and filled oldest first from the back, keeping the blocks of the last build.
    out.resize(raw.size());
    BarRecord previous{};
    auto to = out.rbegin();
    for (auto it = raw.rbegin(); it != raw.rend(); ++it, ++to) {
        previous = HeikinAshiBar(*it, previous);
        *to = previous;
    }
}

// --- HeikinAshiSeries ---

void HeikinAshiSeries::Clear() {
    prices_.clear();
    valid_ = true;
}

void HeikinAshiSeries::Invalidate() {
    if (!valid_) return;
    // Released rather than cleared: a chart in candles never needs the memory again.
    std::deque<HeikinAshiPrices>().swap(prices_);
    valid_ = false;
}

void HeikinAshiSeries::Sync(const std::deque<BarRecord>& raw) {
    if (Valid(raw)) return;
    prices_.resize(raw.size());
    HeikinAshiPrices previous{};
    auto to = prices_.rbegin();
    for (auto it = raw.rbegin(); it != raw.rend(); ++it, ++to) {
        previous = Transform(*it, previous.open, previous.close);
        *to = previous;
    }
    valid_ = true;
}

HeikinAshiPrices HeikinAshiSeries::FrontPrices(const BarRecord& raw, std::size_t previous) const {
    if (previous >= prices_.size()) return Transform(raw, 0, 0);
    return Transform(raw, prices_[previous].open, prices_[previous].close);
}

void HeikinAshiSeries::FrontAdded(const std::deque<BarRecord>& raw) {
    if (!valid_ || raw.empty() || prices_.size() + 1 != raw.size()) return Invalidate();
    prices_.push_front(FrontPrices(raw.front(), 0));
}

void HeikinAshiSeries::FrontReplaced(const std::deque<BarRecord>& raw) {
    if (!Valid(raw) || raw.empty()) return Invalidate();
    prices_.front() = FrontPrices(raw.front(), 1);
}

void HeikinAshiSeries::FrontRemoved() {
    if (!valid_ || prices_.empty()) return Invalidate();
    prices_.pop_front();
}

BarRecord HeikinAshiSeries::At(const std::deque<BarRecord>& raw, std::size_t i) const {
    return Apply(raw[i], prices_[i]);
}

}  // namespace zq
