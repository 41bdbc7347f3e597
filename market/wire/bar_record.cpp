#include "market/wire/bar_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zq {

int FormatDecimals(int decimals) {
    return std::clamp(decimals, 0, 9);
}

std::string_view TimeText(const BarRecord& r) {
    const void* nul = std::memchr(r.time, 0, sizeof r.time);
    std::size_t n = nul ? static_cast<const char*>(nul) - r.time : sizeof r.time;
    return {r.time, n};
}

bool SameBar(const BarRecord& a, const BarRecord& b) {
    return a.keyNumber == b.keyNumber && TimeText(a) == TimeText(b);
}

bool ChartAccepts(const BarRecord& r, int chartInstrument) {
    return r.instrument == chartInstrument && r.open > 0 && r.close > 0 && r.high > 0 && r.low > 0;
}

BarKey NoBarKey() {
    BarKey k{};
    k[0] = '0';
    return k;
}

BarKey MakeBarKey(const BarRecord& r) {
    BarKey k{};
    std::snprintf(k.data(), k.size(), "%d", r.keyNumber);
    std::string_view t = TimeText(r).substr(0, kMaxTimeText);
    std::memcpy(k.data() + 4, t.data(), t.size());
    k[4 + t.size()] = '\0';
    return k;
}

std::string_view KeyText(const BarKey& k) {
    const void* nul = std::memchr(k.data(), 0, k.size());
    std::size_t n = nul ? static_cast<const char*>(nul) - k.data() : k.size();
    return {k.data(), n};
}

bool SameKeyText(const BarKey& a, const BarKey& b) {
    return KeyText(a) == KeyText(b);
}

bool OlderBar(const BarRecord& a, const BarRecord& b) {
    // Within one key number the keys differ only in their time texts (cut as in the key).
    if (a.keyNumber == b.keyNumber)
        return TimeText(a).substr(0, kMaxTimeText) < TimeText(b).substr(0, kMaxTimeText);
    return KeyText(MakeBarKey(a)) < KeyText(MakeBarKey(b));
}

std::string PriceFormat(int decimals) {
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", FormatDecimals(decimals));
    return format;
}

double ScaledToReal(std::int64_t price, int decimals) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    return static_cast<double>(price) / kPowers[FormatDecimals(decimals)];
}

std::string PriceText(std::int64_t price, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, PriceFormat(decimals).c_str(), ScaledToReal(price, decimals));
    return text;
}

}  // namespace zq
