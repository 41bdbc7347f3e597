// The two grids of the trade report window without windows: the account figures ("账户信息")
// and one instrument's trading rules ("商品信息") as cell texts, and the drop-down entries of
// the tradable instruments that both the instrument page and the fills query offer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trading/wire/records.h"

namespace zq {

inline constexpr int kGridColumns = 4;
inline constexpr int kAccountGridRows = 9;
inline constexpr int kInstrumentGridRows = 8;

// Cell texts (UTF-8) by row, then column; empty texts for empty cells.
using GridTexts = std::vector<std::vector<std::string>>;

struct GridCell {
    int row;
    int column;
    std::string text;
};

// "一等奖" (1), "二等奖" (2), "三等奖" (3), "鼓励奖" (4); "否" for anything else.
std::string AwardText(std::int32_t award);

// Every cell of the account grid. The risk rate shows "--" unless above 0, the average return
// "--" when it is 0.
GridTexts AccountGridTexts(const AccountBlock& account);
// The cells a quote changes: equity, floating profit/loss, available margin, risk rate and
// average return, both rates always as a percentage.
std::vector<GridCell> AccountQuoteCells(const AccountBlock& account);

// Every cell of the instrument grid for one instrument.
GridTexts InstrumentGridTexts(const InstrumentRecord& instrument);

// A drop-down entry: the text shown and the value it stands for.
struct ChoiceEntry {
    std::string name;
    std::int32_t value;
};
// The instruments whose tradable flag is 1, in list order, by name with their ids.
std::vector<ChoiceEntry> TradableEntries(const std::vector<InstrumentRecord>& instruments);

}  // namespace zq
