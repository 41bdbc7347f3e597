#include "reports/ui/order_page.h"

#include "net/wire/ansi_text.h"
#include "trading/trade_changes.h"
#include "trading/ui/trade_actions.h"
#include "widgets/ui/sort_list.h"

namespace zq {

CSPage3::CSPage3(TradingModel& model, QWidget* parent)
    : CReportListPage(model, OrdersColumns(), QStringLiteral("委托查询"), parent) {
    Refill();
}

void CSPage3::Refill() {
    FillRows(model_.Orders(), OrdersCells);
}

void CSPage3::QuoteRows(std::int32_t instrument, const std::vector<int>& rows) {
    // An instrument the list lacks leaves its orders' prices at 0.
    const InstrumentRecord record = model_.FindInstrument(instrument);
    for (int row : rows) {
        const std::int32_t side = DirectionOfRowKey(List()->RowData(row));
        SetCell(row, orders_column::CurrentPrice, ShortPrice(OrderCurrentPrice(record, side)));
    }
}

std::vector<CReportListPage::MenuItem> CSPage3::MenuItems() const {
    return {{QStringLiteral("修改"), kModify}, {QStringLiteral("删除"), kDelete}};
}

std::optional<PendingOrderRecord> CSPage3::OrderToChange(int row, const char* finishedText) {
    const std::string number = KeyOf(row);
    if (number.empty()) return std::nullopt;
    const std::optional<PendingOrderRecord> found = model_.OrderByNumber(number);
    if (found && FinishedOrder(*found)) {
        ShowMessage(OwnerHandle(this), finishedText);
        return std::nullopt;
    }
    return found;
}

void CSPage3::OnMenuCommand(int command, int row) {
    if (command == kModify) {
        const std::optional<PendingOrderRecord> order = OrderToChange(row, kModifyDoneOrderText);
        if (order && RunModifyOrder(this, model_, *order)) {
            Refill();
            TellReportWindow(true);
        }
    } else if (command == kDelete) {
        const std::optional<PendingOrderRecord> order = OrderToChange(row, kDeleteDoneOrderText);
        if (order && RunDeleteOrder(this, model_, *order, true)) {
            Refill();
            TellReportWindow(false);
        }
    }
}

}  // namespace zq
