#include "trading/ui/trade_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>
#include <cstring>

#include "base/text_format.h"
#include "chart/ui/price_static.h"
#include "market/wire/bar_record.h"
#include "trading/model.h"
#include "trading/order_entry.h"
#include "widgets/ui/control_name.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"
#include "widgets/window_messages.h"

namespace zq {

CTradeDialog::CTradeDialog(TradingModel& model, std::int32_t instrument, QWidget* parent)
    : QDialog(parent), model_(model), instrument_(instrument) {
    record_ = model_.FindInstrument(instrument_);
    setFont(QFont(QStringLiteral("宋体"), 10));
    model_.RegisterTickListener(Handle());
}

CTradeDialog::~CTradeDialog() {
    model_.UnregisterTickListener(Handle());
}

void CTradeDialog::SwitchInstrument(std::int32_t instrument, const InstrumentRecord& record) {
    instrument_ = instrument;
    record_ = record;
}

void CTradeDialog::Remember(int id, QWidget* control) {
    control->setObjectName(ControlName(id));
    controls_.insert(id, control);
}

QWidget* CTradeDialog::EditWithSpin(int editId, int spinId, CFloatNumberEdit*& edit,
                                    MySpinButtonCtrl*& spin) {
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
    Remember(editId, edit);
    Remember(spinId, spin);
    return box;
}

int CTradeDialog::AddLotsRow(QGridLayout* grid, int row) {
    grid->addWidget(new QLabel(QStringLiteral("交易手数"), this), row, 0);
    grid->addWidget(EditWithSpin(kLots, kLotsSpin, lots_, lotsSpin_), row, 1);
    maximum_ = Button(kMaxLots, QStringLiteral("最大"));
    maximum_->setMinimumHeight(0);
    grid->addWidget(maximum_, row, 2);
    range_ = new QLabel(this);
    Remember(kLotRange, range_);
    grid->addWidget(range_, row, 3);
    // "最大": the maximum lots as the spin counts them.
    connect(maximum_, &QPushButton::clicked, this,
            [this] { lots_->SetValueText(Q(LotSpinOf(record_).maximumText)); });
    return row + 1;
}

void CTradeDialog::ApplyLotRules() {
    const LotSpin spin = LotSpinOf(record_);
    lotsSpin_->SetRange(spin.lower, spin.upper);
    lotsSpin_->SetStepFactor(spin.stepFactor);
    lots_->SetDecimals(record_.lotDecimals);
    range_->setText(Q(LotRangeText(record_)));
}

int CTradeDialog::AddStopBoundsRow(QGridLayout* grid, int row, bool buy, QRgb color,
                                   CPriceStatic*& stopBound, CPriceStatic*& takeBound) {
    auto* stopLabel =
        new QLabel(buy ? QStringLiteral("止损价小于") : QStringLiteral("止损价大于"), this);
    auto* takeLabel =
        new QLabel(buy ? QStringLiteral("止盈价大于") : QStringLiteral("止盈价小于"), this);
    Remember(kStopBoundLabel, stopLabel);
    Remember(kTakeBoundLabel, takeLabel);
    stopBound = PriceDisplay(kStopBound, color);
    takeBound = PriceDisplay(kTakeBound, color);
    grid->addWidget(stopLabel, row, 0);
    grid->addWidget(stopBound, row, 1);
    grid->addWidget(takeLabel, row, 2);
    grid->addWidget(takeBound, row, 3);
    return row + 1;
}

QLineEdit* CTradeDialog::ReadOnlyField(int id, const QString& text) {
    auto* field = new QLineEdit(text, this);
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::NoFocus);
    Remember(id, field);
    return field;
}

CPriceStatic* CTradeDialog::PriceDisplay(int id, QRgb color) {
    auto* display = new CPriceStatic(this);
    display->SetColor(color);
    display->setMinimumSize(110, 26);
    Remember(id, display);
    return display;
}

QPushButton* CTradeDialog::Button(int id, const QString& caption) {
    auto* button = new QPushButton(caption, this);
    button->setAutoDefault(false);
    button->setMinimumHeight(30);
    Remember(id, button);
    return button;
}

QString CTradeDialog::Price(double value) const {
    return Q(zq::PriceDisplay(record_, value));
}

void CTradeDialog::SetValue(CFloatNumberEdit* edit, double value) {
    const double count = std::round(value * static_cast<double>(edit->Scale()));
    edit->SetValueText(Q(FormatText("%.0f", count)));
}

QString CTradeDialog::TextOf(QWidget* control) {
    if (auto* edit = qobject_cast<CFloatNumberEdit*>(control)) return edit->DisplayedText();
    if (auto* field = qobject_cast<QLineEdit*>(control)) return field->text();
    if (auto* display = qobject_cast<CPriceStatic*>(control)) return display->Text();
    return {};
}

std::intptr_t CTradeDialog::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t lparam) {
    if (msg != WM_QUOTE_TICK || lparam == 0) return 0;
    BarRecord r;
    std::memcpy(&r, reinterpret_cast<const void*>(lparam), sizeof r);
    if (r.instrument != instrument_) return 0;
    record_ = model_.FindInstrument(instrument_);
    OnInstrumentTick();
    return 0;
}

}  // namespace zq
