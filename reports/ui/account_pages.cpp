#include "reports/ui/account_pages.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDateEdit>
#include <QDateTime>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QUrl>

#include "base/config.h"
#include "base/market_clock.h"
#include "net/wire/session.h"
#include "reports/ui/explorer.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The start picker's lowest date stands for "no start date".
const QDate kNoDate(1900, 1, 1);

std::optional<CalendarDate> DateOf(const QDateEdit* picker) {
    const QDate d = picker->date();
    if (!d.isValid() || d == picker->minimumDate()) return std::nullopt;
    return CalendarDate{d.year(), d.month(), d.day()};
}

QDateEdit* MakePicker(QWidget* parent, const QDate& date) {
    auto* picker = new QDateEdit(parent);
    picker->setCalendarPopup(true);
    picker->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    picker->setMinimumDate(kNoDate);
    picker->setDate(date);
    return picker;
}

void FillChoices(QComboBox* box, const std::vector<ChoiceEntry>& entries) {
    for (const ChoiceEntry& e : entries) box->addItem(Q(e.name), e.value);
}

}  // namespace

// --- The grids. ---

CReportGrid::CReportGrid(int rows, int columns, QWidget* parent)
    : QTableWidget(rows, columns, parent) {
    horizontalHeader()->hide();
    verticalHeader()->hide();
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setDefaultSectionSize(kCellWidth);
    verticalHeader()->setDefaultSectionSize(kCellHeight);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            auto* item = new QTableWidgetItem;
            item->setBackground(QColor::fromRgb(kCellColor));
            item->setFlags(Qt::ItemIsEnabled);
            setItem(r, c, item);
        }
}

void CReportGrid::SetTexts(const GridTexts& texts) {
    for (std::size_t r = 0; r < texts.size(); ++r)
        for (std::size_t c = 0; c < texts[r].size(); ++c)
            SetCell(static_cast<int>(r), static_cast<int>(c), texts[r][c]);
}

void CReportGrid::SetCell(int row, int column, const std::string& utf8) {
    if (QTableWidgetItem* i = item(row, column)) i->setText(Q(utf8));
}

std::string CReportGrid::CellText(int row, int column) const {
    const QTableWidgetItem* i = item(row, column);
    return i ? U(i->text()) : std::string();
}

// --- 成交查询 ---

CSPage4::CSPage4(TradingModel& model, QWidget* parent)
    : CReportTab(parent),
      model_(model),
      group_(new QGroupBox(QStringLiteral("查询条件"), this)),
      list_(new CSortListCtrl(this)) {
    // The server dates fills by the market's calendar (Beijing): the range ends on the
    // market's today whatever the machine's zone, so the day's fills show after 16:00 UTC too.
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    const auto marketDate = [](std::int64_t utcSeconds) {
        const std::tm t = MarketTime(utcSeconds);
        return QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    };
    const QDate today = marketDate(now);
    const QDate weekAgo = marketDate(now - 604800);
    auto* from = new QLabel(QStringLiteral("日期  从"), group_);
    from->setGeometry(10, 20, 60, 22);
    start_ = MakePicker(group_, weekAgo);
    start_->setGeometry(72, 18, 120, 24);
    auto* to = new QLabel(QStringLiteral("到"), group_);
    to->setGeometry(200, 20, 20, 22);
    end_ = MakePicker(group_, today);
    end_->setGeometry(222, 18, 120, 24);
    auto* product = new QLabel(QStringLiteral("产品"), group_);
    product->setGeometry(352, 20, 32, 22);
    instrument_ = new QComboBox(group_);
    instrument_->setGeometry(386, 18, 160, 24);
    FillChoices(instrument_, FillFilterEntries(model_.Instruments()));
    instrument_->setCurrentIndex(-1);
    query_ = new QPushButton(QStringLiteral("查询"), group_);
    query_->setGeometry(556, 17, 75, 26);
    connect(query_, &QPushButton::clicked, this, [this] { RunQuery(); });

    const char* captions[] = {"本期成功率", "本期利润", "本期收益率"};
    for (int i = 0; i < 3; ++i) {
        auto* caption = new QLabel(QString::fromUtf8(captions[i]), this);
        caption->setGeometry(10 + i * 200, 60, 80, 22);
        figures_[static_cast<std::size_t>(i)] = new QLabel(this);
        figures_[static_cast<std::size_t>(i)]->setGeometry(92 + i * 200, 60, 100, 22);
    }

    std::vector<QString> headers;
    std::vector<int> kinds;
    for (const ReportColumn& c : FillsColumns()) {
        headers.push_back(QString::fromUtf8(c.header));
        kinds.push_back(c.sortKind);
    }
    list_->SetColumns(headers);
    list_->SetColumnSortKinds(kinds);
    list_->SetRowHeight(CReportListPage::kRowHeight);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ContextMenuAt(list_->viewport()->mapToGlobal(at)); });
}

void CSPage4::ContextMenuAt(const QPoint& global) {
    if (RunMenu({{QStringLiteral("导出CSV"), kExportCsv}}, global) == kExportCsv)
        ExportCsv(*list_, QStringLiteral("成交查询"));
}

FillQuery CSPage4::CurrentQuery() const {
    const int entry = instrument_->currentIndex();
    const std::int32_t filter = entry < 0 ? fill_filter::All : instrument_->itemData(entry).toInt();
    return MakeFillQuery(DateOf(start_), DateOf(end_), filter);
}

void CSPage4::RunQuery() {
    const FillQuery query = CurrentQuery();
    const WindowHandle owner = OwnerHandle(this);
    std::optional<FillsAnswer> answer;
    if (!RunBusy(this, [&, owner] { answer = QueryFills(owner, query); })) return;
    if (!answer) return;
    const FillFigures figures = FillFigureTexts(answer->summary);
    figures_[0]->setText(Q(figures.successRate));
    figures_[1]->setText(Q(figures.profit));
    figures_[2]->setText(Q(figures.returnRate));
    list_->DeleteAllRows();
    for (const FillRecord& f : answer->records) {
        std::vector<QString> cells;
        for (const std::string& c : FillCells(f)) cells.push_back(Q(c));
        const int row = list_->AddRow(cells);
        list_->SetRowData(row, row);
    }
    list_->AutoSizeColumns();
}

void CSPage4::resizeEvent(QResizeEvent* event) {
    CReportTab::resizeEvent(event);
    group_->setGeometry(1, 1, std::max(0, width() - 2), kGroupHeight);
    list_->setGeometry(0, kListTop, width(), std::max(0, height() - kListTop));
}

// --- 资金曲线 ---

CSPage7::CSPage7(TradingModel& model, QWidget* parent)
    : CReportTab(parent), model_(model), explorer_(new CExplorer1(this)) {}

void CSPage7::Reload() {
    // The server shows the curve only to the member's session: the request proves it with
    // SHA-256 of "ZQ-WEB", a zero byte and the session key as it travels (four little-endian
    // words), which does not give the key away.
    QByteArray proof("ZQ-WEB", 7);
    for (const auto& word : Session().sessionKey) {
        const auto w = static_cast<std::uint32_t>(word.load());
        for (int b = 0; b < 4; ++b) proof.append(static_cast<char>((w >> (8 * b)) & 0xff));
    }
    explorer_->SetRequestHeader(
        "X-ZQ-Session", QCryptographicHash::hash(proof, QCryptographicHash::Sha256).toHex());
    // The member name goes into the query percent-encoded, so that no name can change the
    // address.
    const QByteArray member = QUrl::toPercentEncoding(Q(Session().memberName));
    explorer_->Navigate(Q(WebAddress("/TradeChatPic.jsp?cuserno=" + member.toStdString())));
}

void CSPage7::resizeEvent(QResizeEvent* event) {
    CReportTab::resizeEvent(event);
    explorer_->setGeometry(rect());
}

// --- 账户信息 ---

CSpage5::CSpage5(TradingModel& model, QWidget* parent)
    : CReportTab(parent),
      model_(model),
      grid_(new CReportGrid(kAccountGridRows, kGridColumns, this)) {
    model_.RegisterTickListener(Handle());
    Refill();
}

CSpage5::~CSpage5() {
    model_.UnregisterTickListener(Handle());
}

void CSpage5::Refill() {
    // Account() copies the block under the account lock: one consistent set of figures.
    grid_->SetTexts(AccountGridTexts(model_.Account()));
}

std::intptr_t CSpage5::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t) {
    if (msg == WM_POSITIONS_CHANGED) {
        Refill();
    } else if (msg == WM_QUOTE_TICK) {
        for (const GridCell& c : AccountQuoteCells(model_.Account()))
            grid_->SetCell(c.row, c.column, c.text);
    }
    return 0;
}

void CSpage5::resizeEvent(QResizeEvent* event) {
    CReportTab::resizeEvent(event);
    grid_->setGeometry(rect());
}

// --- 商品信息 ---

CSPage6::CSPage6(TradingModel& model, QWidget* parent)
    : CReportTab(parent),
      model_(model),
      instrument_(new QComboBox(this)),
      grid_(new CReportGrid(kInstrumentGridRows, kGridColumns, this)) {
    auto* label = new QLabel(QStringLiteral("商品"), this);
    label->setGeometry(10, 6, 32, 22);
    instrument_->setGeometry(44, 5, 180, 24);
    FillChoices(instrument_, TradableEntries(model_.Instruments()));
    // The grid shows the instrument the drop-down names.
    if (instrument_->count() > 0) {
        instrument_->setCurrentIndex(0);
        ShowInstrument(instrument_->itemData(0).toInt());
    }
    connect(instrument_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0) ShowInstrument(instrument_->itemData(index).toInt());
    });
}

void CSPage6::ShowInstrument(std::int32_t id) {
    if (id <= 0) return;
    const InstrumentRecord r = model_.FindInstrument(id);
    if (!KnownInstrument(r)) return;
    grid_->SetTexts(InstrumentGridTexts(r));
}

void CSPage6::resizeEvent(QResizeEvent* event) {
    CReportTab::resizeEvent(event);
    grid_->setGeometry(0, kStripHeight, width(), std::max(0, height() - kStripHeight));
}

}  // namespace zq
