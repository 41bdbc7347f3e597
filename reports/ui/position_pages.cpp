#include "reports/ui/position_pages.h"

#include <algorithm>
#include <functional>
#include <string_view>
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

void CSPage1::QuoteRows(std::int32_t instrument, const std::vector<int>& rows) {
    const InstrumentRecord record = model_.FindInstrument(instrument);
    if (!KnownInstrument(record) || rows.empty()) return;
    // The rows by ticket in the records' code page, so that one pass over the positions under
    // the position lock compares bytes, converting no ticket; a ticket's first position serves
    // every row of it.
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>{}(s);
        }
    };
    struct Wanted {
        std::vector<int> rows;
        bool found = false;
    };
    std::unordered_map<std::string, Wanted, Hash, std::equal_to<>> byTicket;
    for (int row : rows) {
        const std::string key = KeyOf(row);
        if (!key.empty()) byTicket[ToAnsi(key)].rows.push_back(row);
    }
    std::vector<std::pair<const std::vector<int>*, PositionRecord>> quoted;
    model_.VisitPositions([&](const std::vector<PositionRecord>& positions) {
        for (const PositionRecord& p : positions) {
            if (p.instrument != instrument) continue;
            const auto it = byTicket.find(FieldText(p.ticket, sizeof p.ticket));
            if (it == byTicket.end() || it->second.found) continue;
            it->second.found = true;
            quoted.emplace_back(&it->second.rows, p);
        }
    });
    for (const auto& [at, p] : quoted) {
        const std::string closing = FixedPrice(ClosingPrice(record, p.direction), record);
        const std::string profit = MoneyText(PositionFloatingProfit(p, record));
        for (int row : *at) {
            SetCell(row, details_column::ClosingPrice, closing);
            SetCell(row, details_column::Profit, profit);
        }
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
