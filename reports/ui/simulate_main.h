// "交易报表": the simulated account from seven angles, one tab page each, with the account's
// figures in the window's own caption. A modal, resizable dialog that reads only the trading
// model; the caption follows every quote tick.
#pragma once

#include <QDialog>
#include <array>

#include "reports/ui/report_page.h"

class QTabBar;

namespace zq {

class CSPage1;
class CSpage2;
class CSPage3;

class CSimulateMain : public QDialog, public MessageWindow {
    Q_OBJECT
  public:
    static constexpr int kTabCount = 7;
    // The tab control leaves this strip free at the top of the window; the pages stand this far
    // inside the tab control (the top inset leaves room for the tab headers).
    static constexpr int kTopStrip = 2;
    static constexpr int kPageInset = 10;
    static constexpr int kPageTopInset = 30;

    explicit CSimulateMain(TradingModel& model, QWidget* parent = nullptr);
    ~CSimulateMain() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // The caption from the account block, member level and member name.
    void UpdateCaption();

    QTabBar* Tabs() const { return tabs_; }
    QWidget* TabControl() const { return tabControl_; }
    // The page of a tab (0..6).
    CReportTab* Page(int tab) const { return pages_.at(static_cast<std::size_t>(tab)); }
    CSPage1* Details() const { return details_; }
    CSpage2* Summary() const { return summary_; }
    CSPage3* Orders() const { return orders_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void LayOut();
    // Hides every page, shows the tab's and runs what selecting it asks.
    void ShowTab(int tab);

    TradingModel& model_;
    QWidget* tabControl_;
    QTabBar* tabs_;
    std::array<CReportTab*, kTabCount> pages_{};
    CSPage1* details_ = nullptr;
    CSpage2* summary_ = nullptr;
    CSPage3* orders_ = nullptr;
};

}  // namespace zq
