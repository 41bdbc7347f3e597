// Price and profit alerts as the server stores them and sends them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

#pragma pack(push, 1)
struct PriceAlertRecord {
    std::int32_t id;  // > 0 for a stored alert; 0 in a creation request
    std::uint8_t unused4[12];
    double target;
    std::int32_t condition;  // 1 ">=", 2 "<="
    std::int32_t instrument;
    std::int32_t mode;  // 0 in a creation request, 2 in a deletion by the user
    std::int32_t unused36;
};

struct ProfitAlertRecord {
    std::uint8_t unused0[8];
    std::int32_t condition;  // 1 ">=", 2 "<="
    std::uint8_t unused12[100];
    double target;
};
#pragma pack(pop)
static_assert(sizeof(PriceAlertRecord) == 40);
static_assert(offsetof(PriceAlertRecord, id) == 0);
static_assert(offsetof(PriceAlertRecord, unused4) == 4);
static_assert(offsetof(PriceAlertRecord, target) == 16);
static_assert(offsetof(PriceAlertRecord, condition) == 24);
static_assert(offsetof(PriceAlertRecord, instrument) == 28);
static_assert(offsetof(PriceAlertRecord, mode) == 32);
static_assert(offsetof(PriceAlertRecord, unused36) == 36);
static_assert(sizeof(ProfitAlertRecord) == 120);
static_assert(offsetof(ProfitAlertRecord, condition) == 8);
static_assert(offsetof(ProfitAlertRecord, target) == 112);

}  // namespace zq
