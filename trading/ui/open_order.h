// The two order-entry dialogs: "市价建仓单" opens a position at the market price, "指价建仓单"
// places a pending order that opens one when the market reaches its price.
#pragma once

#include "trading/ui/order_entry_dialog.h"

class QCheckBox;

namespace zq {

class CPriceStatic;

// Dialog results of a successful submission.
constexpr int kMarketOrderDone = 11;
constexpr int kPendingOrderDone = 12;

class COpenOrder : public COrderEntryDialog {
    Q_OBJECT
  public:
    enum ControlId : int {
        kAskPrice = 1037,
        kBidPrice = 1038,
        kDeviationOn = 1039,
        kDeviation = 1040,
        kDeviationSpin = 1041,
        kBuy = 1044,
        kSell = 1045,
    };
    COpenOrder(TradingModel& model, std::int32_t instrument, QWidget* parent = nullptr);

  protected:
    void ApplyInstrumentExtras(bool opening) override;
    void ShowPrices() override;
    OrderCheck Check(OrderForm form) const override;

  private:
    CPriceStatic* ask_ = nullptr;
    CPriceStatic* bid_ = nullptr;
    QCheckBox* deviationOn_ = nullptr;
    CFloatNumberEdit* deviation_ = nullptr;
    MySpinButtonCtrl* deviationSpin_ = nullptr;
};

class COpenOrderZj : public COrderEntryDialog {
    Q_OBJECT
  public:
    enum ControlId : int {
        kValidity = 1026,
        kPrice = 1042,
        kPriceSpin = 1043,
        kBuy = 1060,   // "买下单"
        kSell = 1063,  // "卖下单"
    };
    COpenOrderZj(TradingModel& model, std::int32_t instrument, QWidget* parent = nullptr);

  protected:
    void ApplyInstrumentExtras(bool opening) override;
    void ShowPrices() override;
    OrderCheck Check(OrderForm form) const override;

  private:
    CFloatNumberEdit* price_ = nullptr;
    MySpinButtonCtrl* priceSpin_ = nullptr;
    QComboBox* validity_ = nullptr;
    QPushButton* buy_ = nullptr;
    QPushButton* sell_ = nullptr;
};

}  // namespace zq
