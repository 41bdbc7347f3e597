// "委托查询" (CSPage3) of the trade report window: one row per pending order, rebuilt when the
// orders were reloaded, its current price following the quotes; a menu on a row modifies or
// deletes the order.
#pragma once

#include <optional>

#include "reports/ui/report_page.h"

namespace zq {

inline constexpr const char* kModifyDoneOrderText = "无法修改已经完成的订单";

class CSPage3 : public CReportListPage {
    Q_OBJECT
  public:
    // The menu's commands.
    static constexpr int kModify = 1;  // "修改"
    static constexpr int kDelete = 2;  // "删除"

    // Fills itself at once.
    explicit CSPage3(TradingModel& model, QWidget* parent = nullptr);
    void Refill() override;
    void OnSelected() override { Refill(); }

  protected:
    void OnQuote(std::int32_t instrument) override { QuoteWhereShown(instrument); }
    // The current price of these rows of the instrument, from its last quote.
    void QuoteRows(std::int32_t instrument, const std::vector<int>& rows) override;
    void OnOrdersChanged() override { Refill(); }
    std::vector<MenuItem> MenuItems() const override;
    bool MenuOnRowsOnly() const override { return true; }
    void OnMenuCommand(int command, int row) override;

  private:
    // The order of the row, unless it is finished (`finishedText` shown) or no longer in the
    // model.
    std::optional<PendingOrderRecord> OrderToChange(int row, const char* finishedText);
};

}  // namespace zq
