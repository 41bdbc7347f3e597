// The pages of the trade report window whose contents are still to come. Each says what it will
// hold and already has the hook its tab runs when selected, so that filling a page changes only
// the page.
#pragma once

#include "reports/ui/report_page.h"

namespace zq {

// "成交查询": the fills of a date range, queried from the server each time the tab is selected.
class CSPage4 : public CPlaceholderTab {
    Q_OBJECT
  public:
    CSPage4(TradingModel& model, QWidget* parent = nullptr);
    void OnSelected() override { RunQuery(); }
    // The fills query with the dates and filter on the page.
    void RunQuery() {}

  private:
    [[maybe_unused]] TradingModel& model_;
};

// "资金曲线": the account's equity curve, a web page loaded again each time.
class CSPage7 : public CPlaceholderTab {
    Q_OBJECT
  public:
    CSPage7(TradingModel& model, QWidget* parent = nullptr);
    void OnSelected() override { Reload(); }
    void Reload() {}

  private:
    [[maybe_unused]] TradingModel& model_;
};

// "账户信息": the account figures in a grid, refilled each time.
class CSpage5 : public CPlaceholderTab {
    Q_OBJECT
  public:
    CSpage5(TradingModel& model, QWidget* parent = nullptr);
    void OnSelected() override { Refill(); }
    void Refill() {}

  private:
    [[maybe_unused]] TradingModel& model_;
};

// "商品信息": one instrument's trading rules; selecting the tab changes nothing.
class CSPage6 : public CPlaceholderTab {
    Q_OBJECT
  public:
    CSPage6(TradingModel& model, QWidget* parent = nullptr);

  private:
    [[maybe_unused]] TradingModel& model_;
};

}  // namespace zq
