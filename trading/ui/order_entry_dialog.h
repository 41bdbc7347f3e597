// What the market-order and pending-order dialogs share: the instrument list, the lots with
// their spin, "最大" and range text, the stop-loss and take-profit, the record copy that quote
// ticks refresh, the Enter rule of the submit buttons and the submission of command 11.
//
// A dialog is built for the chart's instrument, registers as tick listener while its window
// exists and runs modally; a successful submission closes it with its own result (11 market,
// 12 pending), anything else leaves it open with its input as it was.
#pragma once

#include <QHash>
#include <cstdint>

#include "trading/order_entry.h"
#include "trading/ui/trade_dialog.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;

namespace zq {

class COrderEntryDialog : public CTradeDialog {
    Q_OBJECT
  public:
    // The controls both order-entry dialogs have (besides the lots row).
    enum ControlId : int {
        kInstrumentList = 1025,
        kStopLossSpin = 1027,
        kStopLoss = 1028,
        kTakeProfitSpin = 1029,
        kTakeProfit = 1030,
    };
    std::int32_t Direction() const { return direction_; }

    // A submit button was pressed: 1 buy, 2 sell.
    void Submit(std::int32_t direction);

  protected:
    // `result` is what a successful submission closes the dialog with.
    COrderEntryDialog(TradingModel& model, std::int32_t instrument, int result, QWidget* parent);

    // Builds the shared controls into `grid`, rows from `row` on; answers the next free row.
    int AddSharedControls(QGridLayout* grid, int row);
    // The opening steps; call at the end of the derived constructor.
    void Open();
    QPushButton* MakeSubmitButton(int id, const QString& caption, std::int32_t direction);

    // The dialog's own part of opening and of an instrument change (after the lots), and of a
    // tick (after the record copy was refreshed).
    virtual void ApplyInstrumentExtras(bool opening) = 0;
    virtual void ShowPrices() = 0;
    void OnInstrumentTick() override { ShowPrices(); }
    // The dialog's own checks on top of the shared form.
    virtual OrderCheck Check(OrderForm form) const = 0;

    void keyPressEvent(QKeyEvent* event) override;

    std::int32_t direction_ = direction::Buy;

    QComboBox* instruments_ = nullptr;
    CFloatNumberEdit* stopLoss_ = nullptr;
    MySpinButtonCtrl* stopLossSpin_ = nullptr;
    CFloatNumberEdit* takeProfit_ = nullptr;
    MySpinButtonCtrl* takeProfitSpin_ = nullptr;

  private:
    void FillInstruments();
    void ApplyInstrument(bool opening);
    void OnInstrumentChosen();

    const int result_;
    QHash<QPushButton*, std::int32_t> submitButtons_;
};

}  // namespace zq
