// "修改指价订单": a waiting pending order's quantity, price, stops and validity (command 14).
// Closes with result 1 once the server has changed the order.
#pragma once

#include "trading/ui/trade_dialog.h"

class QComboBox;

namespace zq {

class CModifyDelegate : public CTradeDialog {
    Q_OBJECT
  public:
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
    CFloatNumberEdit* price_ = nullptr;       // 1042
    CFloatNumberEdit* stopLoss_ = nullptr;    // 1028
    CFloatNumberEdit* takeProfit_ = nullptr;  // 1030
    CPriceStatic* lowerEdge_ = nullptr;       // 1048
    CPriceStatic* upperEdge_ = nullptr;       // 1049
    CPriceStatic* stopBound_ = nullptr;       // 1052
    CPriceStatic* takeBound_ = nullptr;       // 1053
    QComboBox* validity_ = nullptr;           // 1026
};

}  // namespace zq
