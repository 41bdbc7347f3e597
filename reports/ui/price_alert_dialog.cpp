#include "reports/ui/price_alert_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "net/wire/ansi_text.h"
#include "reports/alert_check.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The price text as a number, the way the dialog has always read it: leading digits count,
// anything else is 0. A value beyond the doubles (or not a number at all) is no price either.
double PriceOfText(const QString& text) {
    const std::string utf8 = U(text);
    const double value = std::strtod(utf8.c_str(), nullptr);
    return std::isfinite(value) ? value : 0.0;
}

}  // namespace

CPriceAlter::CPriceAlter(AlertCheck& alerts, QWidget* parent) : QDialog(parent), alerts_(alerts) {
    setWindowTitle(QStringLiteral("价格预警设置"));
    setFont(QFont(QStringLiteral("宋体"), 10));
    auto* layout = new QVBoxLayout(this);

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("产品"), this));
    products_ = new QComboBox(this);
    row->addWidget(products_);
    conditions_ = new QComboBox(this);
    conditions_->addItem(QStringLiteral(">="), alert_condition::AtOrAbove);
    conditions_->addItem(QStringLiteral("<="), alert_condition::AtOrBelow);
    row->addWidget(conditions_);
    row->addWidget(new QLabel(QStringLiteral("价格"), this));
    price_ = new QLineEdit(this);
    row->addWidget(price_);
    row->addWidget(new QLabel(QStringLiteral("时进行提醒"), this));
    save_ = new QPushButton(QStringLiteral("保存"), this);
    save_->setAutoDefault(false);
    row->addWidget(save_);
    layout->addLayout(row);

    list_ = new CSortListCtrl(this);
    list_->SetColumns({QStringLiteral("已有预警信息")});
    list_->SetRowHeight(kRowHeight);
    list_->setMinimumSize(520, 260);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(list_);

    connect(save_, &QPushButton::clicked, this, [this] { Save(); });
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ShowListMenu(list_->viewport()->mapToGlobal(at)); });

    // Registered first, so that an alert that fires while the list fills refills it again.
    alerts_.SetPriceDialog(Handle());
    Refill();
    for (const InstrumentRecord& instrument : alerts_.Instruments())
        products_->addItem(Q(FieldToUtf8(instrument.name, sizeof instrument.name)), instrument.id);
    products_->setCurrentIndex(-1);
    conditions_->setCurrentIndex(-1);
}

CPriceAlter::~CPriceAlter() {
    alerts_.ClearPriceDialog(Handle());
}

std::intptr_t CPriceAlter::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t) {
    if (msg == WM_PRICE_ALERTS_CHANGED) Refill();
    return 0;
}

void CPriceAlter::Refill() {
    list_->DeleteAllRows();
    for (const PriceAlertRecord& alert : alerts_.PriceAlerts().Copy()) {
        const int row =
            list_->AddRow({Q(PriceAlertRowText(alert, alerts_.Instrument(alert.instrument)))});
        list_->SetRowData(row, alert.id);
    }
    list_->AutoSizeColumns();
}

void CPriceAlter::Save() {
    if (products_->currentIndex() < 0) {
        ShowMessage(Handle(), "请选择产品");
        return;
    }
    if (conditions_->currentIndex() < 0) {
        ShowMessage(Handle(), "请选择条件");
        return;
    }
    const double target = PriceOfText(price_->text());
    if (target <= 0) {
        ShowMessage(Handle(), "请输入合适的价格");
        return;
    }
    const PriceAlertRecord request =
        NewPriceAlert(products_->currentData().toInt(), conditions_->currentData().toInt(), target);
    const WindowHandle owner = Handle();
    std::optional<PriceAlertRecord> stored;
    if (!RunBusy(this, [&, owner] { stored = SavePriceAlert(owner, request); })) return;
    if (!stored) return;
    {
        AlertList<PriceAlertRecord>& list = alerts_.PriceAlerts();
        std::lock_guard<std::mutex> lock(list.Mutex());
        list.Items().push_back(*stored);
    }
    Refill();
}

void CPriceAlter::DeleteSelected() {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    const int first = std::min_element(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
                          return a.row() < b.row();
                      })->row();
    const auto id = static_cast<std::int32_t>(list_->RowData(first));
    // A refused or failed deletion changes nothing and says nothing.
    const WindowHandle owner = Handle();
    bool removed = false;
    if (!RunBusy(this, [&, owner] { removed = RemovePriceAlert(owner, UserDeletion(id)); })) return;
    if (!removed) return;
    RemoveAlertById(alerts_.PriceAlerts(), id);
    Refill();
}

void CPriceAlter::ShowListMenu(const QPoint& at) {
    QMenu menu(this);
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    if (menu.exec(at) == remove) DeleteSelected();
}

}  // namespace zq
