// The 56-byte market record: a finished K-line bar, the update of the bar still forming (the
// live bar) or, with 255 at offset 44, a trading signal. Bar keys name a bar in a history
// request; prices are signed integers scaled by 10^decimals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bar records are little-endian");

#pragma pack(push, 1)
struct BarRecord {
    std::int32_t word0;       // not read by charting
    std::int32_t instrument;  // 1..42
    std::int32_t open;
    std::int32_t close;  // for a live update the last traded price
    std::int32_t high;
    std::int32_t low;
    std::int32_t reference;  // previous close; in a Heikin Ashi bar the previous HA close
    std::int32_t decimals;
    std::int32_t keyNumber;  // first part of the bar key
    char reserved[8];        // not read by charting
    char time[12];           // NUL-terminated time text, at most 8 characters
};
#pragma pack(pop)

static_assert(sizeof(BarRecord) == 56);
static_assert(offsetof(BarRecord, word0) == 0);
static_assert(offsetof(BarRecord, instrument) == 4);
static_assert(offsetof(BarRecord, open) == 8);
static_assert(offsetof(BarRecord, close) == 12);
static_assert(offsetof(BarRecord, high) == 16);
static_assert(offsetof(BarRecord, low) == 20);
static_assert(offsetof(BarRecord, reference) == 24);
static_assert(offsetof(BarRecord, decimals) == 28);
static_assert(offsetof(BarRecord, keyNumber) == 32);
static_assert(offsetof(BarRecord, reserved) == 36);
static_assert(offsetof(BarRecord, time) == 44);

// The longest time text a bar key and a drawing tool can carry.
constexpr std::size_t kMaxTimeText = 8;

enum class BarKind { Signal, Live, Finished };

// Byte 44 == 255 marks a signal whatever else the record holds; otherwise a ':' as the third
// character of the time text marks the live bar; anything else is a finished bar.
inline BarKind Classify(const BarRecord& r) {
    if (static_cast<unsigned char>(r.time[0]) == 255) return BarKind::Signal;
    if (r.time[2] == ':') return BarKind::Live;
    return BarKind::Finished;
}
inline bool IsSignal(const BarRecord& r) {
    return Classify(r) == BarKind::Signal;
}
inline bool IsLiveBar(const BarRecord& r) {
    return Classify(r) == BarKind::Live;
}

// The time text: the bytes before the first NUL, never more than the 12-byte field.
std::string_view TimeText(const BarRecord& r);

// Two records name the same bar: equal key number and equal time text.
bool SameBar(const BarRecord& a, const BarRecord& b);

// Whether the push link hands a market record to the chart: it belongs to the chart's
// instrument and its open, close, high and low are all above 0.
bool ChartAccepts(const BarRecord& r, int chartInstrument);

// A 13-byte bar key: the key number in decimal from position 0, the time text from position 4,
// NUL-terminated. "0" stands for no bar.
using BarKey = std::array<char, 13>;

BarKey NoBarKey();
// The time text is cut to 8 characters so that the key always ends in a NUL inside its 13
// bytes, whatever the server put into the 12-byte field.
BarKey MakeBarKey(const BarRecord& r);
// The key as text: the bytes before the first NUL (all 13 if there is none, as a trailer from
// the server may be).
std::string_view KeyText(const BarKey& k);
// Texts compared, not bytes: a server trailer may carry anything after its NUL.
bool SameKeyText(const BarKey& a, const BarKey& b);
// Whether bar a is older than bar b: its key text comes first, as the server orders its bars.
bool OlderBar(const BarRecord& a, const BarRecord& b);

// The decimals a price format can carry: 0..9, anything outside taken as the nearer end.
int FormatDecimals(int decimals);
// "%%.%df" built from the decimals: "%.2f" for two. Decimals outside 0..9 are taken as the
// nearest of the two ends, so a bad record never builds a broken format.
std::string PriceFormat(int decimals);
// The scaled integer as a real number.
double ScaledToReal(std::int64_t price, int decimals);
// The scaled integer divided by 10^decimals, printed with PriceFormat(decimals).
std::string PriceText(std::int64_t price, int decimals);

}  // namespace zq
