#include "widgets/ui/sort_list.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <string_view>

namespace zq {

namespace {

constexpr int kRowDataRole = Qt::UserRole;
// Auto-sized columns get this much beyond what fits.
constexpr int kAutoSizeExtra = 4;

const Qt::ItemFlags kCellFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;

std::u16string_view Utf16(const QString& s) {
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

// Draws every cell: the row's background (highlight when selected, grey on odd rows, else the
// window colour) and its text on one line, vertically centred, inset from both column edges
// and elided when it does not fit.
class RowDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QPalette& pal = option.palette;
        const bool selected = option.state & QStyle::State_Selected;
        QColor background, foreground;
        if (selected) {
            background = pal.color(QPalette::Active, QPalette::Highlight);
            foreground = pal.color(QPalette::Active, QPalette::HighlightedText);
        } else {
            background = index.row() % 2 == 1 ? QColor::fromRgb(CSortListCtrl::kOddRowColor)
                                              : pal.color(QPalette::Active, QPalette::Base);
            foreground = pal.color(QPalette::Active, QPalette::Text);
        }
        painter->save();
        painter->fillRect(option.rect, background);
        const QRect textRect =
            option.rect.adjusted(CSortListCtrl::kTextInset, 0, -CSortListCtrl::kTextInset, 0);
        if (textRect.width() > 0) {
            painter->setFont(option.font);
            painter->setPen(foreground);
            const QFontMetrics fm(option.font);
            const QString text = index.data(Qt::DisplayRole).toString();
            const QString shown = fm.elidedText(text, Qt::ElideRight, textRect.width());
            painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                              shown);
        }
        painter->restore();
    }
};

}  // namespace

CSortListCtrl::CSortListCtrl(QWidget* parent) : QTableWidget(parent) {
    setObjectName(QStringLiteral("CSortListCtrl"));
    // Always the interface's default font, whatever the dialog around the list uses.
    setFont(QApplication::font());
    setItemDelegate(new RowDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setSortingEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    defaultRowHeight_ = verticalHeader()->defaultSectionSize();
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSortIndicatorShown(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CSortListCtrl::HeaderClicked);
    fillTimer_ = new QTimer(this);
    fillTimer_->setSingleShot(true);
    connect(fillTimer_, &QTimer::timeout, this, [this] { WriteRows(batches_.batchRows); });
}

void CSortListCtrl::DeleteAllRows() {
    if (Filling()) {
        fillTimer_->stop();
        writeRow_ = nullptr;
        horizontalHeader()->setSectionsClickable(headerClickable_);
    }
    setRowCount(0);
}

void CSortListCtrl::FillInBatches(int rows, std::function<void(int row)> writeRow,
                                  Batches batches) {
    DeleteAllRows();
    headerClickable_ = horizontalHeader()->sectionsClickable();
    horizontalHeader()->setSectionsClickable(false);
    setRowCount(std::max(rows, 0));
    writeRow_ = std::move(writeRow);
    ++fillNumber_;
    batches_ = batches;
    batches_.batchRows = std::max(batches_.batchRows, 1);
    filled_ = 0;
    if (batches_.fitColumns) widest_.assign(static_cast<std::size_t>(columnCount()), 0);
    WriteRows(batches_.firstRows);
}

void CSortListCtrl::WriteRows(int count) {
    if (!Filling()) return;
    const int first = filled_;
    const int end = std::min(rowCount(), filled_ + std::max(count, 0));
    // A copy runs: a row's callback may stop or replace the fill.
    const std::function<void(int)> write = writeRow_;
    const unsigned fill = fillNumber_;
    for (; filled_ < end; ++filled_) {
        write(filled_);
        if (fill != fillNumber_ || !Filling()) return;
    }
    if (batches_.fitColumns) {
        MeasureRows(first, end);
        FitColumns();
    }
    if (filled_ < rowCount()) {
        fillTimer_->start(0);
        return;
    }
    writeRow_ = nullptr;
    horizontalHeader()->setSectionsClickable(headerClickable_);
}

void CSortListCtrl::SetColumns(const std::vector<QString>& headers) {
    setColumnCount(static_cast<int>(headers.size()));
    for (int c = 0; c < columnCount(); ++c)
        setHorizontalHeaderItem(c, new QTableWidgetItem(headers[static_cast<std::size_t>(c)]));
}

void CSortListCtrl::SetColumnSortKinds(const std::vector<int>& kinds) {
    kinds_.assign(kinds.begin(),
                  kinds.begin() + std::min<std::ptrdiff_t>(kinds.size(), kMaxSortColumns));
}

int CSortListCtrl::ColumnSortKind(int column) const {
    if (column < 0 || column >= static_cast<int>(kinds_.size())) return kSortAsText;
    return kinds_[static_cast<std::size_t>(column)];
}

void CSortListCtrl::SetRowHeight(int pixels) {
    rowHeight_ = std::max(pixels, 0);
    const int h = rowHeight_ > 0 ? rowHeight_ : defaultRowHeight_;
    verticalHeader()->setMinimumSectionSize(std::min(h, verticalHeader()->minimumSectionSize()));
    verticalHeader()->setDefaultSectionSize(h);
    for (int r = 0; r < rowCount(); ++r) setRowHeight(r, h);
}

int CSortListCtrl::AddRow(const std::vector<QString>& cells) {
    const int row = rowCount();
    insertRow(row);
    for (int c = 0; c < columnCount(); ++c) {
        auto* item = new QTableWidgetItem(
            c < static_cast<int>(cells.size()) ? cells[static_cast<std::size_t>(c)] : QString());
        item->setFlags(kCellFlags);
        setItem(row, c, item);
    }
    return row;
}

QTableWidgetItem* CSortListCtrl::ItemFor(int row, int column) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return nullptr;
    QTableWidgetItem* it = item(row, column);
    if (!it) {
        it = new QTableWidgetItem;
        it->setFlags(kCellFlags);
        setItem(row, column, it);
    }
    return it;
}

void CSortListCtrl::SetCell(int row, int column, const QString& text) {
    if (QTableWidgetItem* it = ItemFor(row, column)) it->setText(text);
}

QString CSortListCtrl::Cell(int row, int column) const {
    const QTableWidgetItem* it = item(row, column);
    return it ? it->text() : QString();
}

void CSortListCtrl::SetRowData(int row, qint64 data) {
    if (QTableWidgetItem* it = ItemFor(row, 0)) it->setData(kRowDataRole, data);
}

qint64 CSortListCtrl::RowData(int row) const {
    const QTableWidgetItem* it = item(row, 0);
    return it ? it->data(kRowDataRole).toLongLong() : 0;
}

void CSortListCtrl::CompleteRows() {
    if (Filling()) WriteRows(rowCount());
    if (completeRows) completeRows();
}

void CSortListCtrl::HeaderClicked(int column) {
    // The rows are sorted whole.
    CompleteRows();
    if (sort_.Click(column)) SortRows();
}

void CSortListCtrl::SortRows() {
    const int rows = rowCount(), columns = columnCount();
    const int column = sort_.Column();
    if (rows < 2 || column < 0 || column >= columns) return;

    struct Row {
        std::vector<QTableWidgetItem*> items;
        QString key;
        bool selected = false;
        bool current = false;
    };
    QItemSelectionModel* selection = selectionModel();
    const int currentRow = currentIndex().isValid() ? currentIndex().row() : -1;
    std::vector<Row> taken(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        Row& row = taken[static_cast<std::size_t>(r)];
        row.selected = selection && selection->isRowSelected(r, QModelIndex());
        row.current = r == currentRow;
        if (const QTableWidgetItem* it = item(r, column)) row.key = it->text();
        row.items.resize(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) row.items[static_cast<std::size_t>(c)] = takeItem(r, c);
    }

    const int kind = ColumnSortKind(column);
    const bool ascending = sort_.Ascending();
    std::stable_sort(taken.begin(), taken.end(), [&](const Row& a, const Row& b) {
        return CompareCells(Utf16(a.key), Utf16(b.key), kind, ascending) < 0;
    });

    // The selection follows the rows.
    if (selection) selection->clearSelection();
    QItemSelection selected;
    int newCurrent = -1;
    for (int r = 0; r < rows; ++r) {
        const Row& row = taken[static_cast<std::size_t>(r)];
        for (int c = 0; c < columns; ++c) setItem(r, c, row.items[static_cast<std::size_t>(c)]);
        if (row.selected) selected.select(model()->index(r, 0), model()->index(r, columns - 1));
        if (row.current) newCurrent = r;
    }
    if (selection) {
        if (newCurrent >= 0)
            selection->setCurrentIndex(model()->index(newCurrent, std::max(currentColumn(), 0)),
                                       QItemSelectionModel::NoUpdate);
        selection->select(selected, QItemSelectionModel::ClearAndSelect);
    }
}

void CSortListCtrl::AutoSizeColumns() {
    widest_.assign(static_cast<std::size_t>(columnCount()), 0);
    MeasureRows(0, rowCount());
    FitColumns();
}

void CSortListCtrl::MeasureRows(int first, int end) {
    const QFontMetrics fm(font());
    widest_.resize(static_cast<std::size_t>(columnCount()), 0);
    for (int c = 0; c < columnCount(); ++c) {
        int& text = widest_[static_cast<std::size_t>(c)];
        for (int r = first; r < end; ++r) {
            if (const QTableWidgetItem* it = item(r, c))
                text = std::max(text, fm.horizontalAdvance(it->text()));
        }
    }
}

void CSortListCtrl::FitColumns() {
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    const int grid = showGrid() ? 1 : 0;
    const int columns = columnCount();
    for (int c = 0; c < columns; ++c) {
        const int text =
            c < static_cast<int>(widest_.size()) ? widest_[static_cast<std::size_t>(c)] : 0;
        // a: the widest cell between its insets; b: that or the header, whichever is wider.
        const int a = text + 2 * kTextInset + grid;
        const int b = std::max(a, horizontalHeader()->sectionSizeHint(c));
        const bool lastWithWiderHeader = c == columns - 1 && b > a;
        setColumnWidth(c, lastWithWiderHeader ? b : std::max(a, b) + kAutoSizeExtra);
    }
    setUpdatesEnabled(updates);
}

QByteArray CSortListCtrl::CsvBytes() const {
    const auto field = [](QString text) {
        if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
            text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
            text.replace(QStringLiteral("\""), QStringLiteral("\"\""));
            text = QLatin1Char('"') + text + QLatin1Char('"');
        }
        return text.toUtf8();
    };
    const QHeaderView* header = horizontalHeader();
    std::vector<int> columns;
    for (int visual = 0; visual < header->count(); ++visual) {
        const int column = header->logicalIndex(visual);
        if (!isColumnHidden(column)) columns.push_back(column);
    }
    QByteArray out("\xEF\xBB\xBF");
    const auto line = [&](auto textOf) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0) out += ',';
            out += field(textOf(columns[i]));
        }
        out += "\r\n";
    };
    line([&](int column) {
        const QTableWidgetItem* item = horizontalHeaderItem(column);
        return item ? item->text() : QString();
    });
    for (int visual = 0; visual < rowCount(); ++visual) {
        const int row = verticalHeader()->logicalIndex(visual);
        if (isRowHidden(row)) continue;
        line([&](int column) { return Cell(row, column); });
    }
    return out;
}

}  // namespace zq
