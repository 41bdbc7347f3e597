#include "trading/ui/order_entry_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <cstring>

#include "base/messages.h"
#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "trading/model.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"

namespace zq {
QWidget* COrderEntryDialog::EditWithSpin(CFloatNumberEdit*& edit, MySpinButtonCtrl*& spin) {
    auto* box = new QWidget(this);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    edit = new CFloatNumberEdit(box);
    edit->setMinimumWidth(96);
    spin = new MySpinButtonCtrl(box);
    spin->SetBuddy(edit);
    row->addWidget(edit);
    row->addWidget(spin);
    return box;
}

COrderEntryDialog::COrderEntryDialog(TradingModel& model, std::int32_t instrument, int result,
                                     QWidget* parent)
    : QDialog(parent), model_(model), instrument_(instrument), result_(result) {
    record_ = model_.FindInstrument(instrument_);
    setFont(QFont(QStringLiteral("宋体"), 10));
}

COrderEntryDialog::~COrderEntryDialog() {
    model_.UnregisterTickListener(Handle());
}

void COrderEntryDialog::Remember(int id, QWidget* control) {
    control->setObjectName(QStringLiteral("ctl%1").arg(id));
    controls_.insert(id, control);
}

int COrderEntryDialog::AddSharedControls(QGridLayout* grid, int row) {
    instruments_ = new QComboBox(this);
    Remember(1025, instruments_);
    grid->addWidget(new QLabel(QStringLiteral("商品"), this), row, 0);
    grid->addWidget(instruments_, row, 1, 1, 3);
    ++row;

    grid->addWidget(new QLabel(QStringLiteral("交易手数"), this), row, 0);
    grid->addWidget(EditWithSpin(lots_, lotsSpin_), row, 1);
    Remember(1031, lots_);
    Remember(1032, lotsSpin_);
    maximum_ = new QPushButton(QStringLiteral("最大"), this);
    maximum_->setAutoDefault(false);
    Remember(1033, maximum_);
    grid->addWidget(maximum_, row, 2);
    range_ = new QLabel(this);
    Remember(1034, range_);
    grid->addWidget(range_, row, 3);
    ++row;

    grid->addWidget(new QLabel(QStringLiteral("止损价"), this), row, 0);
    grid->addWidget(EditWithSpin(stopLoss_, stopLossSpin_), row, 1);
    Remember(1028, stopLoss_);
    Remember(1027, stopLossSpin_);
    grid->addWidget(new QLabel(QStringLiteral("止盈价"), this), row, 2);
    grid->addWidget(EditWithSpin(takeProfit_, takeProfitSpin_), row, 3);
    Remember(1030, takeProfit_);
    Remember(1029, takeProfitSpin_);
    ++row;

    connect(instruments_, &QComboBox::currentIndexChanged, this,
            [this](int) { OnInstrumentChosen(); });
    connect(maximum_, &QPushButton::clicked, this, [this] { OnMaximum(); });
    return row;
}

QPushButton* COrderEntryDialog::MakeSubmitButton(int id, const QString& caption,
                                                 std::int32_t side) {
    auto* button = new QPushButton(caption, this);
    // Enter submits only from these buttons (keyPressEvent); elsewhere it does nothing.
    button->setAutoDefault(false);
    button->setMinimumHeight(32);
    Remember(id, button);
    submitButtons_.insert(button, side);
    connect(button, &QPushButton::clicked, this, [this, side] { Submit(side); });
    return button;
}

void COrderEntryDialog::Open() {
    model_.RegisterTickListener(Handle());
    FillInstruments();
    stopLossSpin_->SetRange(0, kPriceSpinMax);
    takeProfitSpin_->SetRange(0, kPriceSpinMax);
    ApplyInstrument(true);
}

void COrderEntryDialog::FillInstruments() {
    const QSignalBlocker quiet(instruments_);
    instruments_->clear();
    int selected = -1;
    {
        std::lock_guard<std::mutex> lock(model_.instrumentLock);
        for (const InstrumentRecord& r : model_.instruments) {
            if (r.tradable != 1) continue;
            if (r.id == instrument_) selected = instruments_->count();
            instruments_->addItem(Q(FieldToUtf8(r.name, sizeof r.name)), r.id);
        }
    }
    instruments_->setCurrentIndex(selected);
}

void COrderEntryDialog::ApplyInstrument(bool opening) {
    stopLoss_->SetDecimals(record_.decimals);
    takeProfit_->SetDecimals(record_.decimals);
    // The lots count in units of 10^-lot decimals; one click is one lot step.
    const LotSpin spin = LotSpinOf(record_);
    lotsSpin_->SetRange(spin.lower, spin.upper);
    lotsSpin_->SetStepFactor(spin.stepFactor);
    lots_->SetDecimals(record_.lotDecimals);
    lots_->SetValueText(Q(spin.minimumText));
    ApplyInstrumentExtras(opening);
    range_->setText(Q(LotRangeText(record_)));
    ShowPrices();
}

void COrderEntryDialog::OnInstrumentChosen() {
    if (instruments_->currentIndex() < 0) return;
    const std::int32_t id = instruments_->currentData().toInt();
    bool found = false;
    InstrumentRecord copy{};
    {
        std::lock_guard<std::mutex> lock(model_.instrumentLock);
        for (const InstrumentRecord& r : model_.instruments) {
            if (r.id != id) continue;
            copy = r;
            found = true;
            break;
        }
    }
    if (!found) return;
    instrument_ = id;
    record_ = copy;
    ApplyInstrument(false);
}

void COrderEntryDialog::OnMaximum() {
    lots_->SetValueText(Q(LotSpinOf(record_).maximumText));
}

void COrderEntryDialog::OnTick(const void* marketRecord) {
    if (!marketRecord) return;
    BarRecord r;
    std::memcpy(&r, marketRecord, sizeof r);
    if (r.instrument != instrument_) return;
    record_ = model_.FindInstrument(instrument_);
    ShowPrices();
}

std::intptr_t COrderEntryDialog::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t lparam) {
    if (msg == WM_QUOTE_TICK) OnTick(reinterpret_cast<const void*>(lparam));
    return 0;
}

void COrderEntryDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button && submitButtons_.contains(button)) Submit(submitButtons_.value(button));
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void COrderEntryDialog::Submit(std::int32_t side) {
    direction_ = side;
    OrderForm form;
    form.instrumentSelected = instruments_->currentIndex() >= 0;
    form.direction = side;
    form.lots = ReadFloat(U(lots_->DisplayedText()));
    form.stopLoss = U(stopLoss_->DisplayedText());
    form.takeProfit = U(takeProfit_->DisplayedText());
    const OrderCheck check = Check(std::move(form));
    if (const auto* refusal = std::get_if<std::string>(&check)) {
        ShowMessage(Handle(), *refusal);
        return;
    }
    const std::optional<std::int32_t> code =
        SubmitOpenOrder(Handle(), std::get<OpenOrderRequest>(check));
    if (!code) return;
    if (*code == order_result::Done) {
        done(result_);
        return;
    }
    ShowMessage(Handle(), OpenOrderResultText(*code, record_));
}

}  // namespace zq
