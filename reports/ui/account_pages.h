// The fills, equity curve, account and instrument pages of the trade report window: the
// account's history and figures and the instruments' rules, after the position and order pages.
#pragma once

#include <QTableWidget>
#include <array>
#include <optional>

#include "reports/fills_query.h"
#include "reports/report_grids.h"
#include "reports/ui/report_page.h"

class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QPushButton;

namespace zq {

class CExplorer1;
class CSortListCtrl;

// The grids of the account and instrument pages: fixed cells of 150 × 30 pixels in a light grey,
// no headers, nothing editable.
class CReportGrid : public QTableWidget {
    Q_OBJECT
  public:
    static constexpr int kCellWidth = 150;
    static constexpr int kCellHeight = 30;
    static constexpr QRgb kCellColor = 0xFFD7D7D7;  // RGB(215, 215, 215)

    CReportGrid(int rows, int columns, QWidget* parent);
    void SetTexts(const GridTexts& texts);
    void SetCell(int row, int column, const std::string& utf8);
    // UTF-8; empty for a cell that is not there.
    std::string CellText(int row, int column) const;
};

// "成交查询": the fills of a date range and instrument filter, queried from the server each time
// the tab is selected or "查询" is pressed.
class CSPage4 : public CReportTab {
    Q_OBJECT
  public:
    // The group box at the top, and where the list starts.
    static constexpr int kGroupHeight = 50;
    static constexpr int kListTop = 90;

    CSPage4(TradingModel& model, QWidget* parent = nullptr);
    void OnSelected() override { RunQuery(); }
    // The fills query with the dates and filter on the page; on a failure the rows and figures
    // stay as they were.
    void RunQuery();

    // The payload the page's controls make now.
    FillQuery CurrentQuery() const;

    QDateEdit* StartPicker() const { return start_; }
    QDateEdit* EndPicker() const { return end_; }
    QComboBox* Instruments() const { return instrument_; }
    QPushButton* QueryButton() const { return query_; }
    CSortListCtrl* List() const { return list_; }
    // The values beside "本期成功率", "本期利润", "本期收益率".
    QLabel* Figure(int index) const { return figures_.at(static_cast<std::size_t>(index)); }
    // A right click on the list: its menu, "导出CSV".
    void ContextMenuAt(const QPoint& global);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    TradingModel& model_;
    QGroupBox* group_;
    QDateEdit* start_;
    QDateEdit* end_;
    QComboBox* instrument_;
    QPushButton* query_;
    std::array<QLabel*, 3> figures_{};
    CSortListCtrl* list_;
};

// "资金曲线": the member's equity-curve web page, loaded anew at every selection of the tab.
class CSPage7 : public CReportTab {
    Q_OBJECT
  public:
    CSPage7(TradingModel& model, QWidget* parent = nullptr);
    void OnSelected() override { Reload(); }
    void Reload();
    CExplorer1* Explorer() const { return explorer_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    [[maybe_unused]] TradingModel& model_;
    CExplorer1* explorer_;
};

// "账户信息": the account figures in a grid, refilled on a position change and at every
// selection of the tab; the changing figures follow the quotes.
class CSpage5 : public CReportTab, public MessageWindow {
    Q_OBJECT
  public:
    CSpage5(TradingModel& model, QWidget* parent = nullptr);
    ~CSpage5() override;
    void OnSelected() override { Refill(); }
    void Refill();

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }
    CReportGrid* Grid() const { return grid_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    TradingModel& model_;
    CReportGrid* grid_;
};

// "商品信息": one instrument's trading rules, chosen in the drop-down; selecting the tab changes
// nothing.
class CSPage6 : public CReportTab {
    Q_OBJECT
  public:
    // The strip above the grid that holds the drop-down.
    static constexpr int kStripHeight = 35;

    CSPage6(TradingModel& model, QWidget* parent = nullptr);
    // Shows the instrument of this id; ids of 0 or below are ignored.
    void ShowInstrument(std::int32_t id);

    QComboBox* Instruments() const { return instrument_; }
    CReportGrid* Grid() const { return grid_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    TradingModel& model_;
    QComboBox* instrument_;
    CReportGrid* grid_;
};

}  // namespace zq
