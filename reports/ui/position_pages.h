// The two position pages of the trade report window: "持仓明细" (CSPage1), one row per open
// position, with the menu that modifies its stops or closes it at the market; and "持仓总汇"
// (CSpage2), one row per line of the position summary. Both rebuild their rows when the
// positions were reloaded and follow the quotes of their instruments' closing prices and
// floating profit/loss.
#pragma once

#include <set>

#include "reports/ui/report_page.h"

namespace zq {

class CSPage1 : public CReportListPage {
    Q_OBJECT
  public:
    // The menu's commands.
    static constexpr int kModify = 1;  // "修改"
    static constexpr int kClose = 2;   // "市价平仓"

    // Fills itself at once.
    explicit CSPage1(TradingModel& model, QWidget* parent = nullptr);
    void Refill() override;

    // A quote updates every row of its instrument in a list of up to this many rows; in a
    // longer one the rows in view, the others as they come into view or before the list is
    // read whole (a sort, the CSV file), so that a quote costs what is shown.
    static constexpr int kRowsQuotedWhole = 256;

  protected:
    void OnQuote(std::int32_t instrument) override;
    void OnPositionsChanged() override { Refill(); }
    std::vector<MenuItem> MenuItems() const override;
    void OnMenuCommand(int command, int row) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // The position of the row, unless it is programmatic ("无法修改程序化交易订单") or no
    // longer in the model.
    std::optional<PositionRecord> PositionToChange(int row);
    // The closing price and floating profit of these rows of the instrument, from the model's
    // positions and the instrument's last quote.
    void QuoteRows(std::int32_t instrument, const std::vector<int>& rows);
    // The rows of the instrument in view.
    std::vector<int> RowsInView(std::int32_t instrument) const;
    // The rows in view, and all rows, of the instruments quoted since their rows were complete.
    void QuoteRowsInView();
    void QuoteAllRows();

    std::set<std::int32_t> quotedSince_;  // instruments with rows out of view left behind
};

class CSpage2 : public CReportListPage {
    Q_OBJECT
  public:
    // Starts empty; the report window fills it.
    explicit CSpage2(TradingModel& model, QWidget* parent = nullptr);
    void Refill() override;
    void OnSelected() override { Refill(); }

  protected:
    void OnQuote(std::int32_t instrument) override;
    void OnPositionsChanged() override { Refill(); }
};

}  // namespace zq
