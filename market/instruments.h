// The 42 instruments: ids, menu names and their place in the "商品" and "外汇" menus; the seven
// periods with their captions and commands.
#pragma once

#include <array>
#include <string>

#include "trading/wire/rules.h"
#include "widgets/command_ids.h"

namespace zq {

constexpr int kInstrumentCommandBase = cmdid::InstrumentBase;

enum class InstrumentMenu { Commodities, Forex, None };

struct InstrumentInfo {
    int id;
    const char* name;  // UTF-8 menu name
    InstrumentMenu menu;
    int menuOrder;  // 1-based position in its menu; 0 without menu item
};

// Indexed by id - 1.
const std::array<InstrumentInfo, kInstrumentCount>& Instruments();

// Null outside 1..42.
const InstrumentInfo* FindInstrumentInfo(int id);

inline constexpr int InstrumentCommand(int id) {
    return cmdid::Instrument(id);
}

// The instrument ids of one menu in menu order.
std::array<int, kInstrumentCount> MenuInstruments(InstrumentMenu menu, int& count);

// The text of an instrument's toolbar button: the name without its bracketed suffix, in at
// most two short lines ("伦敦金", "欧元\n日元").
std::string ButtonLabel(int id);

struct PeriodInfo {
    int minutes;
    const char* caption;   // appended to the instrument name in the chart caption
    const char* menuText;  // "15", "H1", …
    int command;
};

constexpr int kPeriodCount = 7;
const std::array<PeriodInfo, kPeriodCount>& Periods();
const PeriodInfo* FindPeriod(int minutes);
const PeriodInfo* FindPeriodByCommand(int command);

}  // namespace zq
