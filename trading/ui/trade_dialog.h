// What every trade dialog shares: a modal dialog on one instrument of the trading model, its
// record copy that the quote ticks of that instrument refresh, its controls by their resource
// ids (each dialog names its own in its enum ControlId; the dialog's resource gives the
// numbers), and the building blocks of its rows (numeric edits with spins, read-only fields,
// prices).
//
// A trade dialog registers as tick listener when it is built and leaves the list when it goes.
#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <cstdint>

#include "trading/wire/records.h"
#include "widgets/ui/qt_bridge.h"

class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace zq {

class CFloatNumberEdit;
class CPriceStatic;
class MySpinButtonCtrl;
class TradingModel;

class CTradeDialog : public QDialog, public MessageWindow {
    Q_OBJECT
  public:
    // The range of the stop-loss, take-profit and price spins, in units of the last decimal.
    static constexpr int kPriceSpinMax = 1000000;
    // The colours of buy and sell prices.
    static constexpr QRgb kBuyColor = 0xFFD90A36;
    static constexpr QRgb kSellColor = 0xFF4A3AAD;

    // The controls of the rows every trade dialog may have: the lots row and the stop bounds.
    enum ControlId : int {
        kLots = 1031,
        kLotsSpin = 1032,
        kMaxLots = 1033,  // "最大"
        kLotRange = 1034,
        kStopBound = 1052,
        kTakeBound = 1053,
        kStopBoundLabel = 1057,
        kTakeBoundLabel = 1058,
    };

    ~CTradeDialog() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // A control by the id its resource gives it (null when the dialog has none).
    QWidget* Control(int id) const { return controls_.value(id, nullptr); }
    std::int32_t Instrument() const { return instrument_; }
    const InstrumentRecord& Record() const { return record_; }

  protected:
    CTradeDialog(TradingModel& model, std::int32_t instrument, QWidget* parent);

    // A tick of the dialog's instrument, after the record copy was refreshed.
    virtual void OnInstrumentTick() = 0;

    // Names the control after its id ("ctl1031") and keeps it.
    void Remember(int id, QWidget* control);
    // A numeric edit with its spin on its right, as one cell of a grid; both remembered.
    QWidget* EditWithSpin(int editId, int spinId, CFloatNumberEdit*& edit, MySpinButtonCtrl*& spin);
    QLineEdit* ReadOnlyField(int id, const QString& text);
    CPriceStatic* PriceDisplay(int id, QRgb color);
    QPushButton* Button(int id, const QString& caption);
    // The instrument's price with its decimals.
    QString Price(double value) const;
    // Writes `value` into a numeric edit as its scaled integer count.
    static void SetValue(CFloatNumberEdit* edit, double value);
    // The text of a control read as an exact number.
    static QString TextOf(QWidget* control);

    // The row "交易手数" with the lots, its spin, "最大" and the range text, into `grid` at `row`;
    // answers the next row.
    int AddLotsRow(QGridLayout* grid, int row);
    // The lot rules of the record: the lots edit's decimals, the spin's range and step factor
    // (one click is one lot step) and the range text.
    void ApplyLotRules();

    // The row of the stop bounds: "止损价小于" with its display and "止盈价大于" with its
    // display for a buy, the other way round for a sell; answers the next row.
    int AddStopBoundsRow(QGridLayout* grid, int row, bool buy, QRgb color, CPriceStatic*& stopBound,
                         CPriceStatic*& takeBound);

    // The instrument changed: the record copy is taken again.
    void SwitchInstrument(std::int32_t instrument, const InstrumentRecord& record);

    TradingModel& model_;
    InstrumentRecord record_{};
    CFloatNumberEdit* lots_ = nullptr;
    MySpinButtonCtrl* lotsSpin_ = nullptr;
    QPushButton* maximum_ = nullptr;
    QLabel* range_ = nullptr;

  private:
    std::int32_t instrument_ = 0;
    QHash<int, QWidget*> controls_;
};

}  // namespace zq
