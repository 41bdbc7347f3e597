#include "market/heikin_ashi.h"

#include <algorithm>
#include <cstdint>

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

}  // namespace

BarRecord HeikinAshiBar(const BarRecord& raw, const BarRecord& previous) {
    BarRecord ha = raw;
    ha.close = Average4(raw);
    if (previous.open <= 0) return ha;
    ha.open = Average2(previous.open, previous.close);
    ha.high = std::max({raw.high, ha.open, ha.close});
    ha.low = std::min({raw.low, ha.open, ha.close});
    ha.reference = previous.close;
    return ha;
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

}  // namespace zq
