// The fills query of "成交查询" without windows: the payload from the page's dates and filter,
// the exchange with the server, the row texts of the fills list and the period figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/ui_bridge.h"
#include "reports/report_grids.h"
#include "reports/trade_report.h"
#include "reports/wire/fill_records.h"

namespace zq {

inline constexpr const char* kFillsFailedText = "获取成交信息失败";

struct CalendarDate {
    int year;
    int month;
    int day;
};

// The payload of `cmd::LoadFills`. A date that is not given leaves its field all zero.
FillQuery MakeFillQuery(const std::optional<CalendarDate>& start,
                        const std::optional<CalendarDate>& end, std::int32_t filter);

// The instrument drop-down: "所有产品", "银卡会员产品", "金卡会员产品", then the tradable
// instruments with their ids as filters.
std::vector<ChoiceEntry> FillFilterEntries(const std::vector<InstrumentRecord>& instruments);

struct FillsAnswer {
    std::vector<FillRecord> records;  // the whole records, in received order
    FillSummary summary{};            // zero where it did not arrive
};

// One fills query on its own request connection. Nothing when the connection could not be
// made ("无法连接服务器，操作已取消") or the header, the payload or the count could not be sent
// or read, or the count is beyond any list the server keeps ("获取成交信息失败"); the message
// box is owned by `owner` and has been shown by then. Records cut short are left out.
std::optional<FillsAnswer> QueryFills(WindowHandle owner, const FillQuery& query);

// The fills list's columns and the cells of one record (UTF-8).
namespace fills_column {
constexpr int Profit = 6;
}
const std::vector<ReportColumn>& FillsColumns();
std::vector<std::string> FillCells(const FillRecord& fill);

// The values beside "本期成功率", "本期利润" and "本期收益率".
struct FillFigures {
    std::string successRate, profit, returnRate;
};
FillFigures FillFigureTexts(const FillSummary& summary);

}  // namespace zq
