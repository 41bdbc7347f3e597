// Where the chart's overlays go: the pixel rows of the trading signals, which the layout writes
// into the signal records; and, kept on the chart's side (TradeOverlays), the rows of the open
// positions and pending orders with their stop-loss and take-profit, the label rectangles the
// painter leaves for them keyed by ticket, the right-click hit test on those labels and the
// record the context menu acts on.
//
// Cost. A layout visits the trading model's lists (VisitPositions, VisitOrders), each under its
// own lock in turn and without a copy, and keeps only the records with a line inside the visible
// price range: painting, label placement and the hit test cost what is on screen, whatever the
// length of the lists.
//
// Locks. The signal rows are written under the chart's signal lock (the layout holds it when
// it calls PlaceSignals). TradeOverlays has one lock of its own, a leaf: the layout takes it
// inside the chart's display and layout locks after the model's lists were visited; the painter
// and the hit test take it alone.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
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

// left <= x < right and top <= y < bottom.
bool LabelContains(const PixelRect& rect, int x, int y);

// The records the overlays draw: positions and pending orders of the chart's instrument that
// are a buy or a sell, and of the orders only those still waiting.
bool DrawsPosition(const PositionRecord& p, int instrument);
bool DrawsOrder(const PendingOrderRecord& o, int instrument);

// The row of each signal of the chart's instrument, into its lineY.
void PlaceSignals(SignalList& signals, const LayoutContext& ctx);

// The rows of one position's or order's lines: its price, and its stop-loss and take-profit,
// 0 for one that is not set (0, none), so that one that was removed leaves no line behind.
struct TradeRows {
    std::int32_t price = 0;
    std::int32_t stop = 0;
    std::int32_t take = 0;
    friend bool operator==(const TradeRows&, const TradeRows&) = default;
};
// A position or order on the chart: a copy of the record as the layout found it, and its rows.
template <class Record>
struct PlacedTrade {
    Record record;
    TradeRows rows;
};
using PlacedPosition = PlacedTrade<PositionRecord>;
using PlacedOrder = PlacedTrade<PendingOrderRecord>;

TradeRows TradeRowsOf(const PositionRecord& p, const LayoutContext& ctx);
TradeRows TradeRowsOf(const PendingOrderRecord& o, const LayoutContext& ctx);

// Lines this many pixels beyond the client area are still placed: their labels and stop texts
// reach into it.
constexpr int kOffscreenLineReach = 64;

// The positions and orders that DrawsPosition and DrawsOrder take, with a row within reach of
// the client area (0 <= y <= height, kOffscreenLineReach beyond either edge), in list order.
std::vector<PlacedPosition> PlacePositions(const std::vector<PositionRecord>& positions,
                                           const LayoutContext& ctx);
std::vector<PlacedOrder> PlaceOrders(const std::vector<PendingOrderRecord>& orders,
                                     const LayoutContext& ctx);

// A label as the painter drew it: what it belongs to (ChartHit's kind and the ticket or order
// number as its text) and its rectangle, right and bottom outside it.
struct TradeLabel {
    ChartHit owner;
    PixelRect rect;
};

// What a right click at (x, y) hit: the first drawn position whose label holds the point, else
// the first drawn waiting order; with a copy of the record.
struct OverlayHit {
    ChartHit hit;
    std::optional<PositionRecord> position;
    std::optional<PendingOrderRecord> order;
};

// The chart's side of the positions and orders: what the last layout placed, what the last
// paint labelled, and the record the chart's context menu selected.
class TradeOverlays {
  public:
    // The layout step: places the positions and orders of ctx.instrument, visiting the model's
    // lists one at a time.
    void Place(const TradingModel& model, const LayoutContext& ctx);
    void Place(const std::vector<PositionRecord>& positions,
               const std::vector<PendingOrderRecord>& orders, const LayoutContext& ctx);
    // Forgets every placed record and label (a chart without a trading model).
    void Clear();

    // What the last layout placed, for a paint: shared, never changed once placed (a layout
    // puts new lists in their place), so a paint takes it without copying a crowded list.
    std::shared_ptr<const std::vector<PlacedPosition>> Positions() const;
    std::shared_ptr<const std::vector<PlacedOrder>> Orders() const;
    // The labels of a paint, in the order drawn (positions first), replacing the last paint's.
    void SetLabels(std::vector<TradeLabel> labels);
    std::vector<TradeLabel> Labels() const;

    OverlayHit HitTest(int x, int y) const;

    // The selection of the context menu: the hit record, kept until another hit replaces it.
    void Select(const OverlayHit& hit);
    std::optional<PositionRecord> SelectedPosition() const;
    std::optional<PendingOrderRecord> SelectedOrder() const;

  private:
    // Keeps what a layout placed, in place of the last one's.
    void Keep(std::vector<PlacedPosition> positions, std::vector<PlacedOrder> orders);

    mutable std::mutex lock_;
    std::shared_ptr<const std::vector<PlacedPosition>> positions_ =
        std::make_shared<const std::vector<PlacedPosition>>();
    std::shared_ptr<const std::vector<PlacedOrder>> orders_ =
        std::make_shared<const std::vector<PlacedOrder>>();
    std::vector<TradeLabel> labels_;
    std::optional<PositionRecord> selectedPosition_;
    std::optional<PendingOrderRecord> selectedOrder_;
};

// Points the chart's signal layout at PlaceSignals and, with a model and overlays, its trading
// layout at overlays.Place (without them the trading layout is left empty). Call before the
// chart is shared with the worker threads.
void InstallOverlayLayout(KLineHooks& hooks, const TradingModel* model,
                          TradeOverlays* overlays = nullptr);

}  // namespace zq
