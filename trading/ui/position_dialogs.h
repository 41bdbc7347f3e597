// The two dialogs on one open position: "修改订单" sets new stops (command 13), "市价平仓" closes
// all or part of it at the market (command 18). Both show the position's instrument, stops,
// quantity and side read-only and follow the quotes of its instrument; each closes with result
// 1 once the server has done what it asked.
#pragma once

#include "trading/ui/trade_dialog.h"

class QCheckBox;
class QGridLayout;
class QLabel;

namespace zq {

// What both position dialogs share: the position copy and the read-only fields.
class CPositionDialog : public CTradeDialog {
    Q_OBJECT
  public:
    const PositionRecord& Position() const { return position_; }

  protected:
    CPositionDialog(TradingModel& model, const PositionRecord& position, QWidget* parent);
    // The read-only rows "商品", "买/卖", the quantity (labelled `quantityLabel`) and the stops,
    // into `grid` from `row`; answers the next row.
    int AddPositionFields(QGridLayout* grid, int row, const QString& quantityLabel,
                          double quantity);
    bool Buy() const { return position_.direction == direction::Buy; }

    const PositionRecord position_;
};

class COrderModify : public CPositionDialog {
    Q_OBJECT
  public:
    COrderModify(TradingModel& model, const PositionRecord& position, QWidget* parent = nullptr);
    void Submit();

  protected:
    void OnInstrumentTick() override { ShowBounds(); }

  private:
    void ShowBounds();

    CFloatNumberEdit* stopLoss_ = nullptr;    // 1033
    CFloatNumberEdit* takeProfit_ = nullptr;  // 1034
    CPriceStatic* stopBound_ = nullptr;       // 1052
    CPriceStatic* takeBound_ = nullptr;       // 1053
};

class COrderSJClose : public CPositionDialog {
    Q_OBJECT
  public:
    COrderSJClose(TradingModel& model, const PositionRecord& position, QWidget* parent = nullptr);
    void Submit();

  protected:
    void OnInstrumentTick() override { ShowClosingPrice(); }

  private:
    void ShowClosingPrice();

    CFloatNumberEdit* quantity_ = nullptr;   // 1032
    QCheckBox* deviationOn_ = nullptr;       // 1039
    CFloatNumberEdit* deviation_ = nullptr;  // 1040
    CPriceStatic* closingPrice_ = nullptr;   // 1048
};

}  // namespace zq
