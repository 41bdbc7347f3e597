#include "market/instruments.h"

#include <algorithm>

namespace zq {

const std::array<InstrumentInfo, kInstrumentCount>& Instruments() {
    using M = InstrumentMenu;
    static const std::array<InstrumentInfo, kInstrumentCount> table = {{
        {1, "伦敦金(T+0)", M::Commodities, 13}, {2, "伦敦银(T+0)", M::Commodities, 15},
        {3, "美元指数", M::Forex, 14},          {4, "天通银(T+0)", M::Commodities, 17},
        {5, "上海金(T+0)", M::Commodities, 14}, {6, "上海银(T+0)", M::Commodities, 16},
        {7, "欧元/日元", M::Forex, 11},         {8, "英镑/瑞郎", M::Forex, 7},
        {9, "欧元/英镑", M::Forex, 8},          {10, "澳元/瑞郎", M::Forex, 2},
        {11, "加元/日元", M::Forex, 5},         {12, "澳元/加元", M::Forex, 3},
        {13, "纽约原油", M::Forex, 13},         {14, "欧元/美元", M::Forex, 10},
        {15, "美元/日元", M::Forex, 12},        {16, "美元/瑞郎", M::Forex, 6},
        {17, "英镑/美元", M::Forex, 9},         {18, "美元/加元", M::Forex, 4},
        {19, "澳元/美元", M::Forex, 1},         {20, "黄金/白银(伦敦)", M::None, 0},
        {21, "白银/欧元", M::None, 0},          {22, "黄金/白银(上海)", M::None, 0},
        {23, "黄金/英镑", M::None, 0},          {24, "黄金/日元", M::None, 0},
        {25, "黄金/澳元", M::None, 0},          {26, "黄金/欧元", M::None, 0},
        {27, "黄金/瑞郎", M::None, 0},          {28, "黄金/加元", M::None, 0},
        {29, "沪金", M::Commodities, 1},        {30, "沪银", M::Commodities, 2},
        {31, "股指", M::Commodities, 4},        {32, "螺纹", M::Commodities, 5},
        {33, "PTA", M::Commodities, 6},         {34, "塑料", M::Commodities, 9},
        {35, "豆粕", M::Commodities, 8},        {36, "白糖", M::Commodities, 10},
        {37, "棕榈", M::Commodities, 11},       {38, "玉米", M::Commodities, 12},
        {39, "美元/人民币", M::Forex, 15},      {40, "沪铜", M::Commodities, 3},
        {41, "橡胶", M::Commodities, 7},        {42, "铜指", M::Commodities, 18},
    }};
    return table;
}

const InstrumentInfo* FindInstrumentInfo(int id) {
    if (id < 1 || id > kInstrumentCount) return nullptr;
    return &Instruments()[id - 1];
}

std::array<int, kInstrumentCount> MenuInstruments(InstrumentMenu menu, int& count) {
    std::array<int, kInstrumentCount> ids{};
    count = 0;
    for (const InstrumentInfo& i : Instruments())
        if (i.menu == menu) ids[count++] = i.id;
    std::sort(ids.begin(), ids.begin() + count, [](int a, int b) {
        return FindInstrumentInfo(a)->menuOrder < FindInstrumentInfo(b)->menuOrder;
    });
    return ids;
}

std::string ButtonLabel(int id) {
    const InstrumentInfo* info = FindInstrumentInfo(id);
    if (!info) return {};
    std::string name = info->name;
    auto paren = name.find('(');
    if (paren != std::string::npos) name.resize(paren);
    auto slash = name.find('/');
    if (slash != std::string::npos) return name.substr(0, slash) + "\n" + name.substr(slash + 1);
    // Four characters (12 UTF-8 bytes) go on two lines of two.
    if (name.size() == 12) return name.substr(0, 6) + "\n" + name.substr(6);
    return name;
}

const std::array<PeriodInfo, kPeriodCount>& Periods() {
    static const std::array<PeriodInfo, kPeriodCount> table = {{
        {15, " 15分钟线", "15", cmdid::Period15},
        {30, " 30分钟线", "30", cmdid::Period30},
        {60, " 1小时线", "H1", cmdid::Period60},
        {120, " 2小时线", "H2", cmdid::Period120},
        {240, " 4小时线", "H4", cmdid::Period240},
        {480, " 8小时线", "H8", cmdid::Period480},
        {1440, " 日线", "D1", cmdid::PeriodDay},
    }};
    return table;
}

const PeriodInfo* FindPeriod(int minutes) {
    for (const PeriodInfo& p : Periods())
        if (p.minutes == minutes) return &p;
    return nullptr;
}

const PeriodInfo* FindPeriodByCommand(int command) {
    for (const PeriodInfo& p : Periods())
        if (p.command == command) return &p;
    return nullptr;
}

}  // namespace zq
