#include "trading/ui/position_dialogs.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <cmath>

#include "chart/ui/price_static.h"
#include "net/wire/ansi_text.h"
#include "trading/order_entry.h"
#include "trading/trade_changes.h"
#include "trading/wire/profit.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"

namespace zq {
namespace {

QGridLayout* DialogGrid(QDialog* dialog) {
    auto* grid = new QGridLayout(dialog);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    return grid;
}

}  // namespace

CPositionDialog::CPositionDialog(TradingModel& model, const PositionRecord& position,
                                 QWidget* parent)
    : CTradeDialog(model, position.instrument, parent), position_(position) {}

int CPositionDialog::AddPositionFields(QGridLayout* grid, int row, const QString& quantityLabel,
                                       double quantity) {
    grid->addWidget(new QLabel(QStringLiteral("商品"), this), row, 0);
    grid->addWidget(ReadOnlyField(kInstrumentName, Q(FieldToUtf8(position_.instrumentName,
                                                                 sizeof position_.instrumentName))),
                    row, 1);
    grid->addWidget(new QLabel(QStringLiteral("买/卖"), this), row, 2);
    grid->addWidget(ReadOnlyField(kDirection, Q(DirectionText(position_.direction))), row, 3);
    ++row;
    grid->addWidget(new QLabel(quantityLabel, this), row, 0);
    grid->addWidget(ReadOnlyField(kPositionQuantity, Q(QuantityDisplay(record_, quantity))), row,
                    1);
    ++row;
    grid->addWidget(new QLabel(QStringLiteral("止损价"), this), row, 0);
    grid->addWidget(ReadOnlyField(kCurrentStopLoss, Price(position_.stopLoss)), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("止盈价"), this), row, 2);
    grid->addWidget(ReadOnlyField(kCurrentTakeProfit, Price(position_.takeProfit)), row, 3);
    return row + 1;
}

COrderModify::COrderModify(TradingModel& model, const PositionRecord& position, QWidget* parent)
    : CPositionDialog(model, position, parent) {
    setWindowTitle(QStringLiteral("修改订单"));
    QGridLayout* grid = DialogGrid(this);
    int row = AddPositionFields(grid, 0, QStringLiteral("交易手数"), position_.openedQuantity);

    MySpinButtonCtrl* stopSpin = nullptr;
    MySpinButtonCtrl* takeSpin = nullptr;
    grid->addWidget(new QLabel(QStringLiteral("新止损价"), this), row, 0);
    grid->addWidget(EditWithSpin(kNewStopLoss, kNewStopLossSpin, stopLoss_, stopSpin), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("新止盈价"), this), row, 2);
    grid->addWidget(EditWithSpin(kNewTakeProfit, kNewTakeProfitSpin, takeProfit_, takeSpin), row,
                    3);
    ++row;

    const QRgb color = Buy() ? kBuyColor : kSellColor;
    row = AddStopBoundsRow(grid, row, Buy(), color, stopBound_, takeBound_);

    QPushButton* modify = Button(kModify, QStringLiteral("修改订单"));
    grid->addWidget(modify, row, 0, 1, 4);
    connect(modify, &QPushButton::clicked, this, [this] { Submit(); });

    stopSpin->SetRange(0, kPriceSpinMax);
    takeSpin->SetRange(0, kPriceSpinMax);
    stopLoss_->SetDecimals(record_.decimals);
    takeProfit_->SetDecimals(record_.decimals);
    SetValue(stopLoss_, position_.stopLoss);
    SetValue(takeProfit_, position_.takeProfit);
    ShowBounds();
}

void COrderModify::ShowBounds() {
    const StopBounds b = PositionStopBounds(record_, position_.direction);
    stopBound_->SetText(Price(b.stopLoss));
    takeBound_->SetText(Price(b.takeProfit));
    stopBound_->update();
    takeBound_->update();
}

void COrderModify::Submit() {
    const Decimal stopLoss = ReadNumber(U(stopLoss_->DisplayedText()));
    const Decimal takeProfit = ReadNumber(U(takeProfit_->DisplayedText()));
    if (auto refusal = StopsBeyondBounds(position_.direction, stopLoss, takeProfit,
                                         ReadNumber(U(stopBound_->Text())),
                                         ReadNumber(U(takeBound_->Text())))) {
        ShowMessage(Handle(), *refusal);
        return;
    }
    bool changed = false;
    const WindowHandle owner = Handle();
    const PositionRecord position = position_;
    if (!RunBusy(this, [&, owner] {
            changed = ModifyPositionStops(owner, model_, position, stopLoss.ToFloat(),
                                          takeProfit.ToFloat());
        }))
        return;
    if (changed) done(1);
}

COrderSJClose::COrderSJClose(TradingModel& model, const PositionRecord& position, QWidget* parent)
    : CPositionDialog(model, position, parent) {
    setWindowTitle(QStringLiteral("市价平仓"));
    QGridLayout* grid = DialogGrid(this);
    int row = AddPositionFields(grid, 0, QStringLiteral("持仓手数"), position_.heldQuantity);

    MySpinButtonCtrl* quantitySpin = nullptr;
    grid->addWidget(new QLabel(QStringLiteral("平仓手数"), this), row, 0);
    grid->addWidget(EditWithSpin(kCloseQuantity, kCloseQuantitySpin, quantity_, quantitySpin), row,
                    1);
    // A buy position closes at the bid, drawn in the sell colour, and the other way round.
    closingPrice_ = PriceDisplay(kClosingPrice, Buy() ? kSellColor : kBuyColor);
    grid->addWidget(new QLabel(QStringLiteral("平仓价"), this), row, 2);
    grid->addWidget(closingPrice_, row, 3);
    ++row;

    MySpinButtonCtrl* deviationSpin = nullptr;
    deviationOn_ = new QCheckBox(QStringLiteral("允许成交价和报价的最大点差"), this);
    deviationOn_->setChecked(true);
    Remember(kDeviationOn, deviationOn_);
    grid->addWidget(deviationOn_, row, 0, 1, 3);
    grid->addWidget(EditWithSpin(kDeviation, kDeviationSpin, deviation_, deviationSpin), row, 3);
    ++row;

    QPushButton* close = Button(kClose, QStringLiteral("平仓"));
    grid->addWidget(close, row, 0, 1, 4);
    connect(close, &QPushButton::clicked, this, [this] { Submit(); });

    // The spin runs up to the lots held. The held quantity is counted in units by rounding: 0.29
    // lots are 29 hundredths, not the 28.999... a cut gives.
    quantity_->SetDecimals(record_.lotDecimals);
    quantitySpin->SetRange(1, static_cast<int>(LotUnits(record_, position_.heldQuantity)));
    SetValue(quantity_, position_.heldQuantity);
    deviationSpin->SetRange(0, 1000);
    deviation_->SetDecimals(4);
    deviation_->SetValueText(Q(DefaultDeviationText(record_)));
    ShowClosingPrice();
}

void COrderSJClose::ShowClosingPrice() {
    closingPrice_->SetText(Price(ClosingPrice(record_, position_.direction)));
    closingPrice_->update();
}

void COrderSJClose::Submit() {
    // Nothing is checked here: the server decides.
    const double quantity = ReadNumber(U(quantity_->DisplayedText())).ToDouble();
    const double price = ReadNumber(U(closingPrice_->Text())).ToDouble();
    const double deviation =
        deviationOn_->isChecked() ? ReadNumber(U(deviation_->DisplayedText())).ToDouble() : 0.0;
    const PendingOrderRecord request = CloseRequest(position_, quantity, price, deviation);
    const WindowHandle owner = Handle();
    bool closed = false;
    if (!RunBusy(this, [&, owner] { closed = ClosePosition(owner, model_, request); })) return;
    if (closed) done(1);
}

}  // namespace zq
