#include "reports/ui/report_page.h"

#include <QFileDialog>
#include <QItemSelectionModel>
#include <QMenu>
#include <QResizeEvent>
#include <QScrollBar>
#include <cstring>

#include "base/atomic_file.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {

int CReportTab::RunMenu(const std::vector<MenuItem>& items, const QPoint& global) {
    if (runMenu) return runMenu(items, global);
    QMenu menu(this);
    for (const MenuItem& item : items) menu.addAction(item.text)->setData(item.command);
    QAction* a = menu.exec(global);
    return a ? a->data().toInt() : 0;
}

void CReportTab::ExportCsv(CSortListCtrl& list, const QString& name) {
    const QString suggested = name + QStringLiteral(".csv");
    const QString path =
        chooseCsvPath ? chooseCsvPath(this, suggested)
                      : QFileDialog::getSaveFileName(this, QStringLiteral("导出CSV"), suggested,
                                                     QStringLiteral("CSV 文件 (*.csv)"));
    if (path.isEmpty()) return;
    list.CompleteRows();
    const QByteArray bytes = list.CsvBytes();
    if (!WriteFileAtomically(path.toStdString(), bytes.constData(),
                             static_cast<std::size_t>(bytes.size())))
        ShowMessage(OwnerHandle(this), U(QStringLiteral("导出失败：%1").arg(path)), MsgButtons::Ok,
                    MsgIcon::Warning);
}

CReportListPage::CReportListPage(TradingModel& model, const std::vector<ReportColumn>& columns,
                                 QString csvName, QWidget* parent)
    : CReportTab(parent),
      model_(model),
      list_(new CSortListCtrl(this)),
      csvName_(std::move(csvName)) {
    model_.RegisterTickListener(Handle());
    std::vector<QString> headers;
    std::vector<int> kinds;
    for (const ReportColumn& c : columns) {
        headers.push_back(QString::fromUtf8(c.header));
        kinds.push_back(c.sortKind);
    }
    list_->SetColumns(headers);
    list_->SetColumnSortKinds(kinds);
    list_->SetRowHeight(kRowHeight);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ContextMenuAt(at, list_->viewport()->mapToGlobal(at)); });
    list_->completeRows = [this] { QuoteAllRows(); };
    connect(list_->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { QuoteRowsInView(); });
}

CReportListPage::~CReportListPage() {
    model_.UnregisterTickListener(Handle());
}

std::intptr_t CReportListPage::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t lparam) {
    switch (msg) {
        case WM_QUOTE_TICK:
            // The market record names its instrument at offset 4; a tick without one (lParam
            // 0) comes from the pages' own trades and carries no prices.
            if (lparam) {
                std::int32_t instrument = 0;
                std::memcpy(&instrument, reinterpret_cast<const char*>(lparam) + 4,
                            sizeof instrument);
                OnQuote(instrument);
            }
            return 0;
        case WM_POSITIONS_CHANGED:
            OnPositionsChanged();
            return 0;
        case WM_ORDERS_CHANGED:
            OnOrdersChanged();
            return 0;
        default:
            return 0;
    }
}

void CReportListPage::ContextMenuAt(const QPoint& local, const QPoint& global) {
    std::vector<MenuItem> items;
    if (!MenuOnRowsOnly() || list_->indexAt(local).isValid()) items = MenuItems();
    items.push_back({QStringLiteral("导出CSV"), kExportCsv});
    if (const int chosen = RunMenu(items, global); chosen != 0) RunMenuCommand(chosen);
}

void CReportListPage::RunMenuCommand(int command) {
    if (command == kExportCsv) return ExportCsv(*list_, csvName_);
    const int row = FirstSelectedRow();
    if (row < 0) return;
    OnMenuCommand(command, row);
}

int CReportListPage::FirstSelectedRow() const {
    int first = -1;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows())
        if (first < 0 || i.row() < first) first = i.row();
    return first;
}

std::vector<int> CReportListPage::RowsOf(std::int32_t instrument) const {
    std::vector<int> rows;
    for (int row = 0; row < list_->rowCount(); ++row)
        if (InstrumentOfRowKey(list_->RowData(row)) == instrument) rows.push_back(row);
    return rows;
}

void CReportListPage::QuoteWhereShown(std::int32_t instrument) {
    if (list_->rowCount() <= kRowsQuotedWhole) {
        QuoteRows(instrument, RowsOf(instrument));
        return;
    }
    quotedSince_.insert(instrument);
    QuoteRows(instrument, RowsInView(instrument));
}

std::vector<int> CReportListPage::RowsInView(std::int32_t instrument) const {
    std::vector<int> rows;
    // A page out of view (another tab) quotes its rows when it shows.
    if (!list_->isVisible() || list_->viewport()->height() <= 0) return rows;
    const int first = list_->rowAt(0);
    if (first < 0) return rows;
    int last = list_->rowAt(list_->viewport()->height() - 1);
    if (last < 0) last = list_->rowCount() - 1;
    for (int row = first; row <= last; ++row)
        if (InstrumentOfRowKey(list_->RowData(row)) == instrument) rows.push_back(row);
    return rows;
}

void CReportListPage::QuoteRowsInView() {
    for (std::int32_t instrument : quotedSince_) QuoteRows(instrument, RowsInView(instrument));
}

void CReportListPage::QuoteAllRows() {
    for (std::int32_t instrument : quotedSince_) QuoteRows(instrument, RowsOf(instrument));
    quotedSince_.clear();
}

bool CReportListPage::QuotedRows(std::int32_t instrument, InstrumentRecord& record,
                                 std::vector<int>& rows) const {
    record = model_.FindInstrument(instrument);
    if (!KnownInstrument(record)) return false;
    rows = RowsOf(instrument);
    return !rows.empty();
}

void CReportListPage::SetCell(int row, int column, const std::string& utf8) {
    list_->SetCell(row, column, Q(utf8));
}

std::string CReportListPage::KeyOf(int row) const {
    return U(list_->Cell(row, 0));
}

void CReportListPage::TellReportWindow(bool post) {
    if (!reportWindow_) return;
    if (post)
        Ui().Post(reportWindow_, WM_QUOTE_TICK, 0, 0);
    else
        Ui().Send(reportWindow_, WM_QUOTE_TICK, 0, 0);
}

void CReportListPage::Fill(int rows, std::function<void(int row)> writeRow) {
    // The rows are written from the quotes of their time.
    quotedSince_.clear();
    CSortListCtrl::Batches batches;
    batches.fitColumns = true;
    list_->FillInBatches(rows, std::move(writeRow), batches);
}

void CReportListPage::WriteRow(int row, const std::vector<std::string>& cells, std::int64_t key) {
    for (std::size_t c = 0; c < cells.size(); ++c)
        list_->SetCell(row, static_cast<int>(c), Q(cells[c]));
    list_->SetRowData(row, key);
}

void CReportListPage::resizeEvent(QResizeEvent* event) {
    CReportTab::resizeEvent(event);
    list_->setGeometry(rect());
    QuoteRowsInView();
}

void CReportListPage::showEvent(QShowEvent* event) {
    CReportTab::showEvent(event);
    QuoteRowsInView();
}

}  // namespace zq
