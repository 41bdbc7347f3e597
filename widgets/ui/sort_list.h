// A report-style list whose columns sort when their header is clicked, with its own row
// drawing: full-row selection, grid lines, no row header, cells not editable. Rows alternate
// between the window colour and a light grey. Each column sorts as text or as numbers (its sort
// kind); the order of the rows is changed only by header clicks, never by a refill.
//
// Each row can carry a 64-bit value of its owner's (an id), which moves with the row when the
// rows are sorted.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTableWidget>
#include <QtGlobal>
#include <functional>
#include <vector>

#include "widgets/sort_rules.h"

class QTimer;

namespace zq {

class CSortListCtrl : public QTableWidget {
    Q_OBJECT
  public:
    // Sort kinds are kept for this many columns; later columns sort as text.
    static constexpr int kMaxSortColumns = 25;
    // The text stands this far inside each edge of its column.
    static constexpr int kTextInset = 2;
    // Odd rows (counting from 0) are drawn in this colour unless selected.
    static constexpr QRgb kOddRowColor = 0xFFECECEC;  // RGB(236, 236, 236)

    explicit CSortListCtrl(QWidget* parent = nullptr);

    // Replaces the columns with these headers.
    void SetColumns(const std::vector<QString>& headers);
    // One kind per column, kSortAsText or kSortAsNumber (widgets/sort_rules.h); columns beyond
    // the list given, and beyond kMaxSortColumns, sort as text.
    void SetColumnSortKinds(const std::vector<int>& kinds);
    int ColumnSortKind(int column) const;
    // The height of every row in pixels; 0 is the style's default.
    void SetRowHeight(int pixels);
    int RowHeight() const { return rowHeight_; }

    // Appends a row with these cells (the rest of the row empty, cells beyond the columns
    // dropped) and answers its index.
    int AddRow(const std::vector<QString>& cells);
    void SetCell(int row, int column, const QString& text);
    // Empty for a cell that is not there.
    QString Cell(int row, int column) const;
    void SetRowData(int row, qint64 data);
    // 0 for a row without data.
    qint64 RowData(int row) const;
    // Removes every row (a fill under way stops); the sort state stays.
    void DeleteAllRows();

    // Replaces the rows by `rows` rows whose cells writeRow writes: the first `firstRows` at
    // once (more than any window shows), the rest `batchRows` per turn of the event loop, so that
    // a long list costs what is visible when it is filled. The row count is set at once; header
    // clicks wait for the last row (a HeaderClicked meanwhile writes the rest first). With
    // fitColumns the columns fit the rows as they are written, as AutoSizeColumns fits them.
    struct Batches {
        int firstRows = 256;
        int batchRows = 500;
        bool fitColumns = false;
    };
    void FillInBatches(int rows, std::function<void(int row)> writeRow, Batches batches);
    void FillInBatches(int rows, std::function<void(int row)> writeRow) {
        FillInBatches(rows, std::move(writeRow), Batches{});
    }
    // Rows written so far by the last fill.
    int FilledRows() const { return filled_; }
    bool Filling() const { return static_cast<bool>(writeRow_); }
    // Before the rows are read whole (a sort, the CSV file): writes the rest of a fill, then
    // lets the owner bring cells it keeps up to date only where shown (completeRows).
    void CompleteRows();
    std::function<void()> completeRows;

    // What a click on the header of `column` does: updates the sort state and sorts.
    void HeaderClicked(int column);
    const SortState& Sort() const { return sort_; }

    // The list as a spreadsheet opens it: UTF-8 with a byte-order mark, a line of the headers,
    // then the rows in the order shown, every cell's text as shown, in the columns shown (in
    // their order on screen). A field with a comma, a quote or a line break is quoted, its
    // quotes doubled; lines end in CR LF.
    QByteArray CsvBytes() const;

    // Fits every column to its contents and header: the wider of the two plus 4 pixels, the
    // last column getting no extra pixels when its header is the wider.
    void AutoSizeColumns();

  private:
    void SortRows();
    QTableWidgetItem* ItemFor(int row, int column);
    // Writes the fill's next `count` rows.
    void WriteRows(int count);
    // The widest text of each column among rows [first, end), into widest_; then the widths.
    void MeasureRows(int first, int end);
    void FitColumns();

    SortState sort_;
    std::vector<int> kinds_;
    int rowHeight_ = 0;
    int defaultRowHeight_ = 0;

    std::function<void(int row)> writeRow_;  // while a fill is under way
    Batches batches_;
    int filled_ = 0;
    unsigned fillNumber_ = 0;      // of the last fill begun
    bool headerClickable_ = true;  // as it was before the fill
    QTimer* fillTimer_ = nullptr;
    std::vector<int> widest_;  // of each column's texts measured
};

}  // namespace zq
