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
    // The read-only fields both show.
    enum ControlId : int {
        kCurrentStopLoss = 1028,
        kCurrentTakeProfit = 1030,
        kPositionQuantity = 1031,
        kInstrumentName = 1035,
        kDirection = 1036,
    };
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
    enum ControlId : int {
        kNewStopLossSpin = 1027,
        kNewTakeProfitSpin = 1029,
        kNewStopLoss = 1033,
        kNewTakeProfit = 1034,
        kModify = 1051,
    };
    COrderModify(TradingModel& model, const PositionRecord& position, QWidget* parent = nullptr);
    void Submit();

  protected:
    void OnInstrumentTick() override { ShowBounds(); }

  private:
    void ShowBounds();

    CFloatNumberEdit* stopLoss_ = nullptr;
    CFloatNumberEdit* takeProfit_ = nullptr;
    CPriceStatic* stopBound_ = nullptr;
    CPriceStatic* takeBound_ = nullptr;
};

class COrderSJClose : public CPositionDialog {
    Q_OBJECT
  public:
    enum ControlId : int {
        kCloseQuantity = 1032,
        kCloseQuantitySpin = 1033,
        kDeviationOn = 1039,
        kDeviation = 1040,
        kDeviationSpin = 1041,
        kClosingPrice = 1048,
        kClose = 1059,
    };
    COrderSJClose(TradingModel& model, const PositionRecord& position, QWidget* parent = nullptr);
    void Submit();

  protected:
    void OnInstrumentTick() override { ShowClosingPrice(); }

  private:
    void ShowClosingPrice();

    CFloatNumberEdit* quantity_ = nullptr;
    QCheckBox* deviationOn_ = nullptr;
    CFloatNumberEdit* deviation_ = nullptr;
    CPriceStatic* closingPrice_ = nullptr;
};

}  // namespace zq
