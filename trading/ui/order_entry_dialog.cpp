#include "trading/ui/order_entry_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <cstring>

#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "trading/model.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"
#include "widgets/window_messages.h"

namespace zq {

COrderEntryDialog::COrderEntryDialog(TradingModel& model, std::int32_t instrument, int result,
                                     QWidget* parent)
    : CTradeDialog(model, instrument, parent), result_(result) {}

int COrderEntryDialog::AddSharedControls(QGridLayout* grid, int row) {
    instruments_ = new QComboBox(this);
    Remember(kInstrumentList, instruments_);
    grid->addWidget(new QLabel(QStringLiteral("商品"), this), row, 0);
    grid->addWidget(instruments_, row, 1, 1, 3);
    ++row;

    row = AddLotsRow(grid, row);

    grid->addWidget(new QLabel(QStringLiteral("止损价"), this), row, 0);
    grid->addWidget(EditWithSpin(kStopLoss, kStopLossSpin, stopLoss_, stopLossSpin_), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("止盈价"), this), row, 2);
    grid->addWidget(EditWithSpin(kTakeProfit, kTakeProfitSpin, takeProfit_, takeProfitSpin_), row,
                    3);
    ++row;

    connect(instruments_, &QComboBox::currentIndexChanged, this,
            [this](int) { OnInstrumentChosen(); });
    return row;
}

QPushButton* COrderEntryDialog::MakeSubmitButton(int id, const QString& caption,
                                                 std::int32_t side) {
    // Enter submits only from these buttons (keyPressEvent); elsewhere it does nothing.
    QPushButton* button = Button(id, caption);
    submitButtons_.insert(button, side);
    connect(button, &QPushButton::clicked, this, [this, side] { Submit(side); });
    return button;
}

void COrderEntryDialog::Open() {
    FillInstruments();
    stopLossSpin_->SetRange(0, kPriceSpinMax);
    takeProfitSpin_->SetRange(0, kPriceSpinMax);
    ApplyInstrument(true);
}

void COrderEntryDialog::FillInstruments() {
    const QSignalBlocker quiet(instruments_);
    instruments_->clear();
    int selected = -1;
    for (const InstrumentRecord& r : model_.Instruments()) {
        if (r.tradable != 1) continue;
        if (r.id == Instrument()) selected = instruments_->count();
        instruments_->addItem(Q(FieldToUtf8(r.name, sizeof r.name)), r.id);
    }
    instruments_->setCurrentIndex(selected);
}

void COrderEntryDialog::ApplyInstrument(bool opening) {
    stopLoss_->SetDecimals(record_.decimals);
    takeProfit_->SetDecimals(record_.decimals);
    ApplyLotRules();
    lots_->SetValueText(Q(LotSpinOf(record_).minimumText));
    ApplyInstrumentExtras(opening);
    ShowPrices();
}

void COrderEntryDialog::OnInstrumentChosen() {
    if (instruments_->currentIndex() < 0) return;
    const std::int32_t id = instruments_->currentData().toInt();
    const std::optional<InstrumentRecord> chosen = model_.InstrumentById(id);
    if (!chosen) return;
    SwitchInstrument(id, *chosen);
    ApplyInstrument(false);
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
    const OpenOrderRequest request = std::get<OpenOrderRequest>(check);
    const WindowHandle owner = Handle();
    std::optional<std::int32_t> code;
    if (!RunBusy(this, [&, owner] { code = SubmitOpenOrder(owner, request); })) return;
    if (!code) return;
    if (*code == order_result::Done) {
        done(result_);
        return;
    }
    ShowMessage(Handle(), OpenOrderResultText(*code, record_));
}

}  // namespace zq
