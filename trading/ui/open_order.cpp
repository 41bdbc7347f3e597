#include "trading/ui/open_order.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "chart/ui/price_static.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"

namespace zq {
namespace {

// The deviation edit shows four decimals; its spin counts 0..1000 of them.
constexpr int kDeviationDecimals = 4;
constexpr int kDeviationSpinMax = 1000;

}  // namespace

COpenOrder::COpenOrder(TradingModel& model, std::int32_t instrument, QWidget* parent)
    : COrderEntryDialog(model, instrument, kMarketOrderDone, parent) {
    setWindowTitle(QStringLiteral("市价建仓单"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    int row = AddSharedControls(grid, 0);

    auto* prices = new QHBoxLayout;
    ask_ = PriceDisplay(kAskPrice, kBuyColor);
    bid_ = PriceDisplay(kBidPrice, kSellColor);
    prices->addWidget(new QLabel(QStringLiteral("买价"), this));
    prices->addWidget(ask_, 1);
    prices->addWidget(new QLabel(QStringLiteral("卖价"), this));
    prices->addWidget(bid_, 1);
    grid->addLayout(prices, row++, 0, 1, 4);

    deviationOn_ = new QCheckBox(QStringLiteral("允许成交价和报价的最大点差"), this);
    deviationOn_->setChecked(true);
    Remember(kDeviationOn, deviationOn_);
    grid->addWidget(deviationOn_, row, 0, 1, 3);
    grid->addWidget(EditWithSpin(kDeviation, kDeviationSpin, deviation_, deviationSpin_), row++, 3);

    auto* buttons = new QHBoxLayout;
    QPushButton* buy = MakeSubmitButton(kBuy, QStringLiteral("买"), direction::Buy);
    QPushButton* sell = MakeSubmitButton(kSell, QStringLiteral("卖"), direction::Sell);
    buy->setStyleSheet(QStringLiteral("color: #D90A36; font-weight: bold;"));
    sell->setStyleSheet(QStringLiteral("color: #4A3AAD; font-weight: bold;"));
    buttons->addWidget(buy);
    buttons->addWidget(sell);
    grid->addLayout(buttons, row++, 0, 1, 4);
    Open();
}

void COpenOrder::ApplyInstrumentExtras(bool opening) {
    if (opening) {
        deviationSpin_->SetRange(0, kDeviationSpinMax);
        deviation_->SetDecimals(kDeviationDecimals);
    }
    deviation_->SetValueText(Q(DefaultDeviationText(record_)));
}

void COpenOrder::ShowPrices() {
    ask_->SetText(Price(record_.ask));
    bid_->SetText(Price(record_.bid));
    ask_->update();
    bid_->update();
}

OrderCheck COpenOrder::Check(OrderForm form) const {
    form.deviationChecked = deviationOn_->isChecked();
    form.deviation = U(deviation_->DisplayedText());
    form.price = U((form.direction == direction::Buy ? ask_ : bid_)->Text());
    return CheckMarketOrder(record_, form);
}

COpenOrderZj::COpenOrderZj(TradingModel& model, std::int32_t instrument, QWidget* parent)
    : COrderEntryDialog(model, instrument, kPendingOrderDone, parent) {
    setWindowTitle(QStringLiteral("指价建仓单"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    int row = AddSharedControls(grid, 0);

    grid->addWidget(new QLabel(QStringLiteral("价格"), this), row, 0);
    grid->addWidget(EditWithSpin(kPrice, kPriceSpin, price_, priceSpin_), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("有效期"), this), row, 2);
    validity_ = new QComboBox(this);
    validity_->addItem(QStringLiteral("当日有效"));
    validity_->addItem(QStringLiteral("当周有效"));
    Remember(kValidity, validity_);
    grid->addWidget(validity_, row++, 3);

    auto* buttons = new QHBoxLayout;
    buy_ = MakeSubmitButton(kBuy, QStringLiteral("买下单"), direction::Buy);
    sell_ = MakeSubmitButton(kSell, QStringLiteral("卖下单"), direction::Sell);
    buy_->setStyleSheet(QStringLiteral("color: #D90A36;"));
    sell_->setStyleSheet(QStringLiteral("color: #4A3AAD;"));
    buttons->addWidget(buy_);
    buttons->addWidget(sell_);
    grid->addLayout(buttons, row++, 0, 1, 4);
    Open();
}

void COpenOrderZj::ApplyInstrumentExtras(bool opening) {
    if (opening) {
        priceSpin_->SetRange(0, kPriceSpinMax);
        validity_->setCurrentIndex(1);
    }
    price_->SetDecimals(record_.decimals);
}

void COpenOrderZj::ShowPrices() {
    buy_->setText(Q(BandCaption(record_, direction::Buy)));
    sell_->setText(Q(BandCaption(record_, direction::Sell)));
}

OrderCheck COpenOrderZj::Check(OrderForm form) const {
    form.price = U(price_->DisplayedText());
    form.validityIndex = validity_->currentIndex();
    return CheckPendingOrder(record_, form);
}

}  // namespace zq
