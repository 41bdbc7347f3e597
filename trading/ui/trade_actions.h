// The actions on one position or pending order, as the chart's menus and the report pages run
// them: the programmatic refusal, then the dialog (or the delete). Each answers true when the
// server changed something (the dialog ended with result 1, the order was deleted).
//
// Every exchange with the server runs off the window thread while the window that asked waits
// busy (widgets/ui/busy_operation.h); so do the reloads after a trade.
#pragma once

#include <cstdint>

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
// A new order from the toolbar: the market order dialog (`market`) or the pending order dialog
// on `instrument`; once the server has taken the order, the positions (market) or the orders
// and the account (pending) are reloaded on a connection of their own, with the trade sound
// and the chart laid out again. True when an order was placed.
bool RunNewOrder(QWidget* parent, TradingModel& model, std::int32_t instrument, bool market);

}  // namespace zq
