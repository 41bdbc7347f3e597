// The actions on one position or pending order, as the chart's menus and the report pages run
// them: the programmatic refusal, then the dialog (or the delete). Each answers true when the
// server changed something (the dialog ended with result 1, the order was deleted).
#pragma once

#include "trading/wire/records.h"

class QWidget;

namespace zq {

class TradingModel;

bool RunModifyPosition(QWidget* parent, TradingModel& model, const PositionRecord& position);
bool RunClosePosition(QWidget* parent, TradingModel& model, const PositionRecord& position);
bool RunModifyOrder(QWidget* parent, TradingModel& model, const PendingOrderRecord& order);
// The report page deletes by the order number alone; the chart by the record's first bytes.
bool RunDeleteOrder(QWidget* parent, TradingModel& model, const PendingOrderRecord& order,
                    bool byNumberOnly = false);
// The programmatic trading settings; true when the switch was saved.
bool RunProgramTradingSetup(QWidget* parent, TradingModel& model);

}  // namespace zq
