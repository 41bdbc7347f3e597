// The fills query (`cmd::LoadFills`): what the client asks, and the records and period figures the
// server answers with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

// Instrument filters besides an instrument id.
namespace fill_filter {
constexpr std::int32_t All = 0;
constexpr std::int32_t SilverInstruments = 501;
constexpr std::int32_t GoldInstruments = 502;
}  // namespace fill_filter

// How a fill came about (FillRecord::kind) and who caused it (FillRecord::originator).
namespace fill_kind {
constexpr std::int32_t AtMarket = 1;
constexpr std::int32_t AtLimit = 2;
}  // namespace fill_kind
namespace fill_originator {
constexpr std::int32_t User = 1;
constexpr std::int32_t System = 2;        // stops and margin calls
constexpr std::int32_t Programmatic = 3;  // orders that follow the signals
}  // namespace fill_originator

#pragma pack(push, 1)
struct FillQuery {
    std::int32_t unused0;
    std::int32_t instrument;  // fill_filter or an instrument id
    std::int32_t unused8;
    char startDate[20];  // "%04d-%02d-%02d", zero-padded; all zero for no start date
    char endDate[20];
};

// Text fields are GBK and NUL-terminated.
struct FillRecord {
    char fillNumber[28];
    char instrumentName[44];
    std::int32_t direction;  // 1 buy, otherwise sell
    std::uint8_t unused76[4];
    double quantity;
    double price;
    double closeProfit;  // meaningful for closing fills
    std::uint8_t unused104[24];
    char orderNumber[21];
    char ticket[23];
    std::int32_t openClose;   // 1 opening fill, otherwise closing
    std::int32_t kind;        // fill_kind
    std::int32_t originator;  // fill_originator
    char time[40];
};

// After the records: the period's success rate (percent), profit and return rate (percent).
struct FillSummary {
    float successRate;
    float profit;
    float returnRate;
};
#pragma pack(pop)
static_assert(sizeof(FillQuery) == 52);
static_assert(offsetof(FillQuery, instrument) == 4);
static_assert(offsetof(FillQuery, startDate) == 12);
static_assert(offsetof(FillQuery, endDate) == 32);
static_assert(sizeof(FillRecord) == 224);
static_assert(offsetof(FillRecord, fillNumber) == 0);
static_assert(offsetof(FillRecord, instrumentName) == 28);
static_assert(offsetof(FillRecord, direction) == 72);
static_assert(offsetof(FillRecord, quantity) == 80);
static_assert(offsetof(FillRecord, price) == 88);
static_assert(offsetof(FillRecord, closeProfit) == 96);
static_assert(offsetof(FillRecord, orderNumber) == 128);
static_assert(offsetof(FillRecord, ticket) == 149);
static_assert(offsetof(FillRecord, openClose) == 172);
static_assert(offsetof(FillRecord, kind) == 176);
static_assert(offsetof(FillRecord, originator) == 180);
static_assert(offsetof(FillRecord, time) == 184);
static_assert(sizeof(FillSummary) == 12);

}  // namespace zq
