// A trading signal as the server sends it: a support or resistance price for one instrument
// with suggested lots, the amount they represent and a stop-loss. It travels as a 56-byte
// market record with 255 at offset 44, live on the push link or mixed into a history transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "market/wire/bar_record.h"

namespace zq {

#pragma pack(push, 1)
struct SignalRecord {
    std::int32_t word0;      // not interpreted
    std::int32_t price;      // × 10^digits of the instrument
    std::int32_t stopLoss;   // × 10^digits
    std::int32_t amount;     // in units of 0.01 × 10,000 yuan (value / 100 = 万元)
    std::uint8_t tag;        // part of the identity
    std::int8_t instrument;  // 1..42
    std::uint8_t action;     // 4 or 5 withdraw; anything else publishes
    std::uint8_t side;       // 11 support ("支撑位"), 21 resistance ("阻力位")
    std::int32_t lots;       // × 100
    std::int32_t word24;     // not interpreted
    std::int32_t lineY;      // the chart writes the pixel row of the signal line here
    std::int32_t published;  // seconds since 1970, shown in local time
    std::int32_t word36[2];  // not interpreted
    std::uint8_t marker;     // 255: the record is a signal
    std::uint8_t variant;    // part of the identity
    std::uint8_t tail[10];   // not interpreted
};
#pragma pack(pop)

static_assert(sizeof(SignalRecord) == sizeof(BarRecord));
static_assert(offsetof(SignalRecord, price) == 4);
static_assert(offsetof(SignalRecord, stopLoss) == 8);
static_assert(offsetof(SignalRecord, amount) == 12);
static_assert(offsetof(SignalRecord, tag) == 16);
static_assert(offsetof(SignalRecord, instrument) == 17);
static_assert(offsetof(SignalRecord, action) == 18);
static_assert(offsetof(SignalRecord, side) == 19);
static_assert(offsetof(SignalRecord, lots) == 20);
static_assert(offsetof(SignalRecord, word24) == 24);
static_assert(offsetof(SignalRecord, lineY) == 28);
static_assert(offsetof(SignalRecord, published) == 32);
static_assert(offsetof(SignalRecord, word36) == 36);
static_assert(offsetof(SignalRecord, marker) == 44);
static_assert(offsetof(SignalRecord, variant) == 45);
static_assert(offsetof(SignalRecord, tail) == 46);

namespace signal_side {
constexpr std::uint8_t Support = 11;
constexpr std::uint8_t Resistance = 21;
}  // namespace signal_side

constexpr std::uint8_t kSignalMarker = 255;

inline bool IsWithdrawal(const SignalRecord& s) {
    return s.action == 4 || s.action == 5;
}

// Two records denote the same signal when price, stop-loss, tag, instrument, lots and variant
// are all equal.
inline bool SameSignal(const SignalRecord& a, const SignalRecord& b) {
    return a.price == b.price && a.stopLoss == b.stopLoss && a.tag == b.tag &&
           a.instrument == b.instrument && a.lots == b.lots && a.variant == b.variant;
}

// The same 56 bytes seen either way.
inline SignalRecord AsSignal(const BarRecord& r) {
    SignalRecord s;
    std::memcpy(&s, &r, sizeof s);
    return s;
}
inline BarRecord AsBar(const SignalRecord& s) {
    BarRecord r;
    std::memcpy(&r, &s, sizeof r);
    return r;
}

}  // namespace zq
