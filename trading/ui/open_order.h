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
    COpenOrder(TradingModel& model, std::int32_t instrument, QWidget* parent = nullptr);

  protected:
    void ApplyInstrumentExtras(bool opening) override;
    void ShowPrices() override;
    OrderCheck Check(OrderForm form) const override;

  private:
    CPriceStatic* ask_ = nullptr;            // 1037
    CPriceStatic* bid_ = nullptr;            // 1038
    QCheckBox* deviationOn_ = nullptr;       // 1039
    CFloatNumberEdit* deviation_ = nullptr;  // 1040
    MySpinButtonCtrl* deviationSpin_ = nullptr;
};

class COpenOrderZj : public COrderEntryDialog {
    Q_OBJECT
  public:
    COpenOrderZj(TradingModel& model, std::int32_t instrument, QWidget* parent = nullptr);

  protected:
    void ApplyInstrumentExtras(bool opening) override;
    void ShowPrices() override;
    OrderCheck Check(OrderForm form) const override;

  private:
    CFloatNumberEdit* price_ = nullptr;  // 1042
    MySpinButtonCtrl* priceSpin_ = nullptr;
    QComboBox* validity_ = nullptr;  // 1026
    QPushButton* buy_ = nullptr;     // 1060
    QPushButton* sell_ = nullptr;    // 1063
};

}  // namespace zq
