#include "trading/ui/modify_delegate.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "chart/ui/price_static.h"
#include "net/wire/ansi_text.h"
#include "trading/order_entry.h"
#include "trading/trade_changes.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"

namespace zq {

CModifyDelegate::CModifyDelegate(TradingModel& model, const PendingOrderRecord& order,
                                 QWidget* parent)
    : CTradeDialog(model, order.instrument, parent), order_(order), boundsPrice_(order.price) {
    setWindowTitle(QStringLiteral("修改指价订单"));
    const bool buy = order_.direction == direction::Buy;
    const QRgb color = buy ? kBuyColor : kSellColor;
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    int row = 0;

    grid->addWidget(new QLabel(QStringLiteral("商品"), this), row, 0);
    grid->addWidget(ReadOnlyField(kInstrumentName, Q(FieldToUtf8(order_.instrumentName,
                                                                 sizeof order_.instrumentName))),
                    row, 1);
    grid->addWidget(new QLabel(QStringLiteral("买/卖"), this), row, 2);
    grid->addWidget(ReadOnlyField(kDirection, Q(DirectionText(order_.direction))), row, 3);
    ++row;
    row = AddLotsRow(grid, row);

    MySpinButtonCtrl* priceSpin = nullptr;
    grid->addWidget(new QLabel(QStringLiteral("价格"), this), row, 0);
    grid->addWidget(EditWithSpin(kPrice, kPriceSpin, price_, priceSpin), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("有效期"), this), row, 2);
    validity_ = new QComboBox(this);
    validity_->addItem(QStringLiteral("当日有效"));
    validity_->addItem(QStringLiteral("当周有效"));
    Remember(kValidity, validity_);
    grid->addWidget(validity_, row, 3);
    ++row;

    auto* band = new QHBoxLayout;
    auto* below = new QLabel(QStringLiteral("小于"), this);
    auto* above = new QLabel(QStringLiteral("或大于"), this);
    Remember(kBelowLabel, below);
    Remember(kAboveLabel, above);
    lowerEdge_ = PriceDisplay(kLowerEdge, color);
    upperEdge_ = PriceDisplay(kUpperEdge, color);
    band->addWidget(below);
    band->addWidget(lowerEdge_, 1);
    band->addWidget(above);
    band->addWidget(upperEdge_, 1);
    grid->addLayout(band, row, 0, 1, 4);
    ++row;

    MySpinButtonCtrl* stopSpin = nullptr;
    MySpinButtonCtrl* takeSpin = nullptr;
    grid->addWidget(new QLabel(QStringLiteral("止损价"), this), row, 0);
    grid->addWidget(EditWithSpin(kStopLoss, kStopLossSpin, stopLoss_, stopSpin), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("止盈价"), this), row, 2);
    grid->addWidget(EditWithSpin(kTakeProfit, kTakeProfitSpin, takeProfit_, takeSpin), row, 3);
    ++row;

    row = AddStopBoundsRow(grid, row, buy, color, stopBound_, takeBound_);

    QPushButton* modify = Button(kModify, QStringLiteral("修改"));
    grid->addWidget(modify, row, 0, 1, 4);
    connect(modify, &QPushButton::clicked, this, [this] { Submit(); });

    // Opening: decimals, the order's values, displays, validity, spins and the range text.
    ApplyLotRules();
    price_->SetDecimals(record_.decimals);
    stopLoss_->SetDecimals(record_.decimals);
    takeProfit_->SetDecimals(record_.decimals);
    SetValue(lots_, order_.quantity);
    SetValue(price_, order_.price);
    SetValue(stopLoss_, order_.stopLoss);
    SetValue(takeProfit_, order_.takeProfit);
    validity_->setCurrentIndex(order_.validity == order_validity::ThisWeek ? 1 : 0);
    priceSpin->SetRange(0, kPriceSpinMax);
    stopSpin->SetRange(0, kPriceSpinMax);
    takeSpin->SetRange(0, kPriceSpinMax);
    price_->installEventFilter(this);
    ShowBand();
    ShowStopBounds();
}

bool CModifyDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == price_ && event->type() == QEvent::FocusOut) {
        boundsPrice_ = ReadNumber(U(price_->DisplayedText())).ToDouble();
        ShowStopBounds();
    }
    return CTradeDialog::eventFilter(watched, event);
}

void CModifyDelegate::ShowBand() {
    const OrderBounds b = PendingOrderBounds(record_, order_.direction, boundsPrice_);
    lowerEdge_->SetText(Price(b.lowerEdge));
    upperEdge_->SetText(Price(b.upperEdge));
    lowerEdge_->update();
    upperEdge_->update();
}

void CModifyDelegate::ShowStopBounds() {
    const OrderBounds b = PendingOrderBounds(record_, order_.direction, boundsPrice_);
    stopBound_->SetText(Price(b.stopLoss));
    takeBound_->SetText(Price(b.takeProfit));
    stopBound_->update();
    takeBound_->update();
}

void CModifyDelegate::Submit() {
    OrderChange c;
    c.lots = ReadNumber(U(lots_->DisplayedText())).ToDouble();
    c.price = ReadNumber(U(price_->DisplayedText()));
    c.stopLoss = ReadNumber(U(stopLoss_->DisplayedText()));
    c.takeProfit = ReadNumber(U(takeProfit_->DisplayedText()));
    c.lowerEdge = ReadNumber(U(lowerEdge_->Text()));
    c.upperEdge = ReadNumber(U(upperEdge_->Text()));
    c.stopBound = ReadNumber(U(stopBound_->Text()));
    c.takeBound = ReadNumber(U(takeBound_->Text()));
    c.validityIndex = validity_->currentIndex();
    const OrderChangeCheck check = CheckOrderChange(record_, order_, c);
    if (const auto* refusal = std::get_if<std::string>(&check)) {
        ShowMessage(Handle(), *refusal);
        return;
    }
    const PendingOrderRecord request = std::get<PendingOrderRecord>(check);
    const WindowHandle owner = Handle();
    bool changed = false;
    if (!RunBusy(this, [&, owner] { changed = ModifyPendingOrder(owner, model_, request); }))
        return;
    if (changed) done(1);
}

}  // namespace zq
