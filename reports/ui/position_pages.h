// The two position pages of the trade report window: "持仓明细" (CSPage1), one row per open
// position, with the menu that modifies its stops or closes it at the market; and "持仓总汇"
// (CSpage2), one row per line of the position summary. Both rebuild their rows when the
// positions were reloaded and follow the quotes of their instruments' closing prices and
// floating profit/loss.
#pragma once

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

  protected:
    void OnQuote(std::int32_t instrument) override { QuoteWhereShown(instrument); }
    // The closing price and floating profit of these rows of the instrument, from the model's
    // positions and the instrument's last quote.
    void QuoteRows(std::int32_t instrument, const std::vector<int>& rows) override;
    void OnPositionsChanged() override { Refill(); }
    std::vector<MenuItem> MenuItems() const override;
    void OnMenuCommand(int command, int row) override;

  private:
    // The position of the row, unless it is programmatic ("无法修改程序化交易订单") or no
    // longer in the model.
    std::optional<PositionRecord> PositionToChange(int row);
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
