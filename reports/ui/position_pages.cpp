#include "reports/ui/position_pages.h"

#include <algorithm>
#include <unordered_map>

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
    // The instrument's positions by ticket, each ticket read once: a quote costs one pass over
    // the positions and one over the quoted rows, however many there are.
    const std::vector<PositionRecord> positions = model_.Positions();
    std::unordered_map<std::string, const PositionRecord*> byTicket;
    for (const PositionRecord& p : positions)
        if (p.instrument == instrument)
            byTicket.emplace(FieldToUtf8(p.ticket, sizeof p.ticket), &p);
    for (int row : rows) {
        const auto it = byTicket.find(KeyOf(row));
        if (it == byTicket.end()) continue;
        const PositionRecord& p = *it->second;
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
    const std::vector<PositionRecord> positions = model_.Positions();
    FillRows(model_.Summary(), [&](const PositionRecord& entry, const InstrumentRecord& i) {
        return SummaryCells(entry, i, SummaryFloatingProfit(positions, i, entry.direction));
    });
}

void CSpage2::OnQuote(std::int32_t instrument) {
    InstrumentRecord record;
    std::vector<int> rows;
    if (!QuotedRows(instrument, record, rows)) return;
    const std::vector<PositionRecord> positions = model_.Positions();
    for (int row : rows) {
        const std::int32_t side = DirectionOfRowKey(List()->RowData(row));
        SetCell(row, summary_column::ClosingPrice, ShortPrice(ClosingPrice(record, side)));
        SetCell(row, summary_column::Profit,
                MoneyText(SummaryFloatingProfit(positions, record, side)));
    }
}

}  // namespace zq
