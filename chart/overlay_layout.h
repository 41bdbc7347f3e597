// Where the chart's overlays go: the pixel rows of the trading signals, of the open positions
// and of the pending orders with their stop-loss and take-profit, which the layout writes into
// the records; the label rectangles the painter leaves in the positions and orders; and the
// right-click hit test on those labels.
//
// Locks. The signal rows are written under the chart's signal lock (the layout holds it when
// it calls PlaceSignals). PlaceTradingOverlays takes the trading model's position lock, then,
// after releasing it, the order lock: the layout calls it inside the chart's display and
// layout locks, and the model never takes a chart lock while it holds one of its own. The hit
// test holds each model lock only while it searches that list.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "chart/chart_input.h"
#include "market/bar_geometry.h"
#include "market/bar_series.h"
#include "market/wire/bar_record.h"
#include "trading/model.h"
#include "trading/wire/records.h"

namespace zq {

// A price of the trading records (a double) in the chart's scaled units, rounded to the
// nearest unit: 1650.5 with two decimals is 165050.
std::int64_t ScaledPrice(double price, int decimals);

// The label rectangle of a position or pending order as the painter last stored it: left,
// top, right, bottom, right and bottom outside it. All zero when it was not drawn.
template <class Record>
PixelRect LabelRect(const Record& r) {
    return {r.label[0], r.label[1], r.label[2], r.label[3]};
}
template <class Record>
void StoreLabelRect(Record& r, const PixelRect& rect) {
    r.label[0] = rect.left;
    r.label[1] = rect.top;
    r.label[2] = rect.right;
    r.label[3] = rect.bottom;
}
// left <= x < right and top <= y < bottom.
bool LabelContains(const PixelRect& rect, int x, int y);

// The records the overlays draw: positions and pending orders of the chart's instrument that
// are a buy or a sell, and of the orders only those still waiting.
bool DrawsPosition(const PositionRecord& p, int instrument);
bool DrawsOrder(const PendingOrderRecord& o, int instrument);

// The row of each signal of the chart's instrument, into its lineY.
void PlaceSignals(std::vector<BarRecord>& signals, const LayoutContext& ctx);

// The rows of the price, stop-loss and take-profit of each position or order of the chart's
// instrument. A stop-loss or take-profit of 0 (none) gets the row 0, so that one that was
// removed leaves no line behind.
void PlacePositions(std::vector<PositionRecord>& positions, const LayoutContext& ctx);
void PlaceOrders(std::vector<PendingOrderRecord>& orders, const LayoutContext& ctx);
// Both, each under its own model lock, one at a time.
void PlaceTradingOverlays(TradingModel& model, const LayoutContext& ctx);

// Points the chart's signal layout at PlaceSignals and, with a model, its trading layout at
// PlaceTradingOverlays (without one the trading layout is left empty). Call before the chart
// is shared with the worker threads.
void InstallOverlayLayout(KLineHooks& hooks, TradingModel* model);

// What a right click at (x, y) hit: the first drawn position whose label holds the point, else
// the first drawn waiting order; with a copy of the record taken under its lock.
struct OverlayHit {
    ChartHit hit;
    std::optional<PositionRecord> position;
    std::optional<PendingOrderRecord> order;
};
OverlayHit HitTestOverlays(const TradingModel& model, int instrument, int x, int y);

// Stores the hit record as the model's selected position or selected order, for the commands
// of the context menu.
void SelectOverlayHit(TradingModel& model, const OverlayHit& hit);

}  // namespace zq
