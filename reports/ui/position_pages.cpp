#include "reports/ui/position_pages.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "net/wire/ansi_text.h"
#include "trading/trade_changes.h"
#include "trading/ui/trade_actions.h"
#include "widgets/ui/sort_list.h"

namespace zq {

CSPage1::CSPage1(TradingModel& model, QWidget* parent)
    : CReportListPage(model, DetailsColumns(), QStringLiteral("持仓明细"), parent) {
    Refill();
}

void CSPage1::Refill() {
    FillRows(model_.Positions(), DetailsCells);
}

void CSPage1::OnQuote(std::int32_t instrument) {
    InstrumentRecord record;
    std::vector<int> rows;
    if (!QuotedRows(instrument, record, rows)) return;
    // The instrument's positions by ticket, each ticket read once, under the position lock: a
    // quote costs one pass over the positions and one over the quoted rows, however many there
    // are, and copies only the positions of those rows.
    std::vector<std::pair<int, std::string>> keys;
    for (int row : rows) keys.emplace_back(row, KeyOf(row));
    std::vector<std::pair<int, PositionRecord>> quoted;
    model_.VisitPositions([&](const std::vector<PositionRecord>& positions) {
        std::unordered_map<std::string, const PositionRecord*> byTicket;
        for (const PositionRecord& p : positions)
            if (p.instrument == instrument)
                byTicket.emplace(FieldToUtf8(p.ticket, sizeof p.ticket), &p);
        for (const auto& [row, key] : keys) {
            const auto it = byTicket.find(key);
            if (it != byTicket.end()) quoted.emplace_back(row, *it->second);
        }
    });
    for (const auto& [row, p] : quoted) {
        SetCell(row, details_column::ClosingPrice,
                FixedPrice(ClosingPrice(record, p.direction), record));
        SetCell(row, details_column::Profit, MoneyText(PositionFloatingProfit(p, record)));
    }
}

std::vector<CReportListPage::MenuItem> CSPage1::MenuItems() const {
    return {{QStringLiteral("修改"), kModify}, {QStringLiteral("市价平仓"), kClose}};
}

std::optional<PositionRecord> CSPage1::PositionToChange(int row) {
    const std::string ticket = KeyOf(row);
    if (ticket.empty()) return std::nullopt;
    return model_.PositionByTicket(ticket);
}

void CSPage1::OnMenuCommand(int command, int row) {
    const std::optional<PositionRecord> position = PositionToChange(row);
    if (!position) return;
    if (command == kModify) {
        if (RunModifyPosition(this, model_, *position)) Refill();
    } else if (command == kClose) {
        if (RunClosePosition(this, model_, *position)) {
            Refill();
            TellReportWindow(false);
        }
    }
}

CSpage2::CSpage2(TradingModel& model, QWidget* parent)
    : CReportListPage(model, SummaryColumns(), QStringLiteral("持仓总汇"), parent) {}

void CSpage2::Refill() {
    // Each line's sum under the position lock as its row is written, without a copy of the list.
    FillRows(model_.Summary(), [this](const PositionRecord& entry, const InstrumentRecord& i) {
        const float profit = model_.VisitPositions([&](const std::vector<PositionRecord>& all) {
            return SummaryFloatingProfit(all, i, entry.direction);
        });
        return SummaryCells(entry, i, profit);
    });
}

void CSpage2::OnQuote(std::int32_t instrument) {
    InstrumentRecord record;
    std::vector<int> rows;
    if (!QuotedRows(instrument, record, rows)) return;
    std::vector<std::int32_t> sides;
    for (int row : rows) sides.push_back(DirectionOfRowKey(List()->RowData(row)));
    // The sums under the position lock, without a copy of the list.
    std::vector<float> profits;
    model_.VisitPositions([&](const std::vector<PositionRecord>& positions) {
        for (std::int32_t side : sides)
            profits.push_back(SummaryFloatingProfit(positions, record, side));
    });
    for (std::size_t k = 0; k < rows.size(); ++k) {
        SetCell(rows[k], summary_column::ClosingPrice, ShortPrice(ClosingPrice(record, sides[k])));
        SetCell(rows[k], summary_column::Profit, MoneyText(profits[k]));
    }
}

}  // namespace zq
