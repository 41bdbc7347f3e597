// A drawing tool as the chart draws it and the server stores it (132 bytes, little-endian; the
// same layout goes to the server and comes back from it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

namespace tool_type {
constexpr std::int32_t Straight = 1;
constexpr std::int32_t Parallel = 2;
constexpr std::int32_t Symmetric = 3;
}  // namespace tool_type

namespace tool_state {
constexpr std::int32_t Empty = 0;
constexpr std::int32_t FirstPoint = 1;
constexpr std::int32_t BaseLine = 2;
constexpr std::int32_t Complete = 999;
}  // namespace tool_state

#pragma pack(push, 1)
struct ToolLineRecord {
    std::int32_t type;        // tool_type
    std::int32_t instrument;  // instrument id
    std::int32_t state;       // tool_state
    std::int32_t period;      // minutes
    // Time texts of the anchors' bars, NUL-terminated: anchors 1, 2, a reserved one (zero) and
    // 4 (the parallel's point, types 2 and 3).
    char time1[9];
    char time2[9];
    char time3[9];
    char time4[9];
    // Anchor prices in the instrument's scaled units; while a tool is being drawn, the click's x
    // offset from the centre of its bar.
    std::int32_t price1;
    std::int32_t price2;
    std::int32_t price3;  // reserved, zero
    std::int32_t price4;
    // Pixel points x1, y1, ..., x8, y8, recomputed by every layout.
    std::int32_t points[16];
};
#pragma pack(pop)
static_assert(sizeof(ToolLineRecord) == 132);
static_assert(offsetof(ToolLineRecord, type) == 0);
static_assert(offsetof(ToolLineRecord, instrument) == 4);
static_assert(offsetof(ToolLineRecord, state) == 8);
static_assert(offsetof(ToolLineRecord, period) == 12);
static_assert(offsetof(ToolLineRecord, time1) == 16);
static_assert(offsetof(ToolLineRecord, time2) == 25);
static_assert(offsetof(ToolLineRecord, time3) == 34);
static_assert(offsetof(ToolLineRecord, time4) == 43);
static_assert(offsetof(ToolLineRecord, price1) == 52);
static_assert(offsetof(ToolLineRecord, price2) == 56);
static_assert(offsetof(ToolLineRecord, price3) == 60);
static_assert(offsetof(ToolLineRecord, price4) == 64);
static_assert(offsetof(ToolLineRecord, points) == 68);

}  // namespace zq
