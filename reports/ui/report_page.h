// What the pages of the trade report window share. Every page is a borderless child of the
// window's tab control and knows what selecting its tab asks of it (CReportTab). The pages
// that list the account's positions and orders (CReportListPage) hold one sort list that fills
// the page, register as tick listeners, rebuild their rows from the trading model and offer a
// context menu on the list.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "reports/trade_report.h"
#include "trading/model.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {

class CSortListCtrl;

class CReportTab : public QWidget {
    Q_OBJECT
  public:
    using QWidget::QWidget;
    // The page's tab was selected (the page is already shown).
    virtual void OnSelected() {}

    struct MenuItem {
        QString text;
        int command;
    };
    // Shows the menu at a global position and answers the chosen command (0 for none). A QMenu
    // by default; tests put their own.
    std::function<int(const std::vector<MenuItem>& items, const QPoint& global)> runMenu;
    // Asks where "导出CSV" writes, offering `suggested`; an empty path cancels. A file dialog by
    // default; tests put their own.
    std::function<QString(QWidget* parent, const QString& suggested)> chooseCsvPath;

    // The menu command of "导出CSV" on the pages with a list.
    static constexpr int kExportCsv = 0x7F01;

  protected:
    // The menu at `global` through runMenu; the chosen command, 0 for none.
    int RunMenu(const std::vector<MenuItem>& items, const QPoint& global);
    // "导出CSV": the list as shown to a file chosen through chooseCsvPath (`name`.csv offered);
    // a failed write says so in a message box.
    void ExportCsv(CSortListCtrl& list, const QString& name);
};

class CReportListPage : public CReportTab, public MessageWindow {
    Q_OBJECT
  public:
    // The row height of every report list.
    static constexpr int kRowHeight = 25;
    // A quote updates every row of its instrument in a list of up to this many rows; in a
    // longer one the rows in view, the others as they come into view or before the list is
    // read whole (a sort, the CSV file), so that a quote costs what is shown.
    static constexpr int kRowsQuotedWhole = 256;

    // A page leaves the tick listener list when it goes.
    ~CReportListPage() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    CSortListCtrl* List() const { return list_; }
    // Where the page tells the report window that the account changed (null: nowhere).
    void SetReportWindow(WindowHandle window) { reportWindow_ = window; }

    // Rebuilds every row from the trading model.
    virtual void Refill() = 0;

    // A right click on the list at `local` (viewport coordinates), the menu at `global`: the
    // page's items where it offers them, and "导出CSV" everywhere.
    void ContextMenuAt(const QPoint& local, const QPoint& global);
    // The menu's commands, as a choice from it runs them: "导出CSV" on the whole list, the
    // page's own on the first selected row.
    void RunMenuCommand(int command);

  protected:
    CReportListPage(TradingModel& model, const std::vector<ReportColumn>& columns, QString csvName,
                    QWidget* parent);

    // The notifications; the quote carries the ticked instrument.
    virtual void OnQuote(std::int32_t instrument) { (void)instrument; }
    virtual void OnPositionsChanged() {}
    virtual void OnOrdersChanged() {}
    // The context menu: its items, whether it needs a click on a row, what a command does to a
    // row.
    virtual std::vector<MenuItem> MenuItems() const { return {}; }
    virtual bool MenuOnRowsOnly() const { return false; }
    virtual void OnMenuCommand(int command, int row) {
        (void)command;
        (void)row;
    }

    // Replaces the rows by one per record (positions, summary lines or orders, copied out of
    // the model), each with the cells `cellsOf` makes from the record and its instrument, and
    // keyed by instrument and direction, the columns fitting them. The row count is set at once
    // and the rows are written in batches (CSortListCtrl::FillInBatches): the first at once,
    // the rest a batch per turn of the event loop, from the copy the fill keeps.
    template <typename Record, typename CellsOf>
    void FillRows(std::vector<Record> records, CellsOf cellsOf) {
        auto kept = std::make_shared<const std::vector<Record>>(std::move(records));
        Fill(static_cast<int>(kept->size()), [this, kept, cellsOf](int row) {
            const Record& r = (*kept)[static_cast<std::size_t>(row)];
            WriteRow(row, cellsOf(r, model_.FindInstrument(r.instrument)),
                     ReportRowKey(r.instrument, r.direction));
        });
    }
    // The rows of one instrument.
    std::vector<int> RowsOf(std::int32_t instrument) const;
    // A quote of `instrument` on a page whose rows follow the quotes through QuoteRows: every
    // row of the instrument in a list of up to kRowsQuotedWhole rows, else those in view.
    void QuoteWhereShown(std::int32_t instrument);
    // What a quote of `instrument` writes into these rows of it.
    virtual void QuoteRows(std::int32_t instrument, const std::vector<int>& rows) {
        (void)instrument;
        (void)rows;
    }
    // For a quote of `instrument`: its record and its rows; false when the instrument list lacks
    // it or no row shows it.
    bool QuotedRows(std::int32_t instrument, InstrumentRecord& record,
                    std::vector<int>& rows) const;
    void SetCell(int row, int column, const std::string& utf8);
    // The text of column 0 of a row (the page's key: ticket or order number), UTF-8.
    std::string KeyOf(int row) const;
    // WM_QUOTE_TICK with lParam 0 to the report window, so that its caption follows a trade:
    // sent, or posted when `post`.
    void TellReportWindow(bool post);

    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

    TradingModel& model_;

  private:
    void Fill(int rows, std::function<void(int row)> writeRow);
    void WriteRow(int row, const std::vector<std::string>& cells, std::int64_t key);
    int FirstSelectedRow() const;
    // The rows of the instrument in view.
    std::vector<int> RowsInView(std::int32_t instrument) const;
    // The rows in view, and all rows, of the instruments quoted since their rows were complete.
    void QuoteRowsInView();
    void QuoteAllRows();

    CSortListCtrl* list_;
    QString csvName_;  // the page's name, offered for its CSV file
    WindowHandle reportWindow_ = nullptr;
    std::set<std::int32_t> quotedSince_;  // instruments with rows out of view left behind
};

}  // namespace zq
