// "修改指价订单": a waiting pending order's quantity, price, stops and validity (command 14).
// Closes with result 1 once the server has changed the order.
#pragma once

#include "trading/ui/trade_dialog.h"

class QComboBox;

namespace zq {

class CModifyDelegate : public CTradeDialog {
    Q_OBJECT
  public:
    enum ControlId : int {
        kValidity = 1026,
        kStopLossSpin = 1027,
        kStopLoss = 1028,
        kTakeProfitSpin = 1029,
        kTakeProfit = 1030,
        kInstrumentName = 1035,
        kDirection = 1036,
        kPrice = 1042,
        kPriceSpin = 1043,
        kLowerEdge = 1048,  // the band the price must leave: below this
        kUpperEdge = 1049,  // or above this
        kModify = 1051,
        kBelowLabel = 1059,  // "小于"
        kAboveLabel = 1060,  // "或大于"
    };
    CModifyDelegate(TradingModel& model, const PendingOrderRecord& order,
                    QWidget* parent = nullptr);
    const PendingOrderRecord& Order() const { return order_; }
    void Submit();

  protected:
    void OnInstrumentTick() override { ShowBand(); }
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowBand();
    // The stop bounds around the price typed (the order's own until the price edit has been
    // left once).
    void ShowStopBounds();

    const PendingOrderRecord order_;
    double boundsPrice_ = 0;
    CFloatNumberEdit* price_ = nullptr;
    CFloatNumberEdit* stopLoss_ = nullptr;
    CFloatNumberEdit* takeProfit_ = nullptr;
    CPriceStatic* lowerEdge_ = nullptr;
    CPriceStatic* upperEdge_ = nullptr;
    CPriceStatic* stopBound_ = nullptr;
    CPriceStatic* takeBound_ = nullptr;
    QComboBox* validity_ = nullptr;
};

}  // namespace zq
