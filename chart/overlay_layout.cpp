#include "chart/overlay_layout.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "market/wire/signal_record.h"
#include "net/wire/ansi_text.h"

namespace zq {

namespace {

// Beyond this many decimals a price no longer fits the chart's 32-bit scaled prices anyway.
constexpr int kMaxDecimals = 9;

// The row of a price given as a double, 0 for none (0 or less).
std::int32_t RowOf(double price, const LayoutContext& ctx) {
    if (!(price > 0)) return 0;
    return ctx.scale.Y(ScaledPrice(price, ctx.decimals));
}

TradeRows Rows(double price, double stopLoss, double takeProfit, const LayoutContext& ctx) {
    return {RowOf(price, ctx), RowOf(stopLoss, ctx), RowOf(takeProfit, ctx)};
}

// Whether any line of the rows comes within reach of the client area.
bool WithinReach(const TradeRows& r, const LayoutContext& ctx) {
    const auto near = [&](std::int32_t y) {
        return y >= -kOffscreenLineReach && y <= ctx.clientHeight + kOffscreenLineReach;
    };
    // The price line is drawn at its row even when the price is none (row 0).
    return near(r.price) || (r.stop != 0 && near(r.stop)) || (r.take != 0 && near(r.take));
}

template <class Record, class Draws>
std::vector<PlacedTrade<Record>> Placed(const std::vector<Record>& records,
                                        const LayoutContext& ctx, Draws draws) {
    std::vector<PlacedTrade<Record>> out;
    out.reserve(records.size());
    for (const Record& r : records) {
        if (!draws(r, ctx.instrument)) continue;
        const TradeRows rows = TradeRowsOf(r, ctx);
        if (WithinReach(rows, ctx)) out.push_back({r, rows});
    }
    return out;
}

}  // namespace

std::int64_t ScaledPrice(double price, int decimals) {
    static constexpr double kPowers[kMaxDecimals + 1] = {1e0, 1e1, 1e2, 1e3, 1e4,
                                                         1e5, 1e6, 1e7, 1e8, 1e9};
    const int d = decimals < 0 ? 0 : decimals > kMaxDecimals ? kMaxDecimals : decimals;
    const double scaled = price * kPowers[d];
    // Far outside any chart: held where y() holds it anyway, without overflowing the cast.
    constexpr double kLimit = 4e18;
    if (!(scaled < kLimit)) return static_cast<std::int64_t>(kLimit);
    if (!(scaled > -kLimit)) return -static_cast<std::int64_t>(kLimit);
    return std::llround(scaled);
}

bool LabelContains(const PixelRect& rect, int x, int y) {
    return rect.left <= x && x < rect.right && rect.top <= y && y < rect.bottom;
}

bool DrawsPosition(const PositionRecord& p, int instrument) {
    return p.instrument == instrument &&
           (p.direction == direction::Buy || p.direction == direction::Sell);
}

bool DrawsOrder(const PendingOrderRecord& o, int instrument) {
    return o.instrument == instrument && o.status == order_status::Waiting &&
           (o.direction == direction::Buy || o.direction == direction::Sell);
}

void PlaceSignals(SignalList& signals, const LayoutContext& ctx) {
    for (BarRecord& r : signals) {
        SignalRecord s = AsSignal(r);
        if (s.instrument != ctx.instrument) continue;
        s.lineY = ctx.scale.Y(s.price);
        std::memcpy(reinterpret_cast<unsigned char*>(&r) + offsetof(SignalRecord, lineY), &s.lineY,
                    sizeof s.lineY);
    }
}

TradeRows TradeRowsOf(const PositionRecord& p, const LayoutContext& ctx) {
    return Rows(p.openPrice, p.stopLoss, p.takeProfit, ctx);
}

TradeRows TradeRowsOf(const PendingOrderRecord& o, const LayoutContext& ctx) {
    return Rows(o.price, o.stopLoss, o.takeProfit, ctx);
}

std::vector<PlacedPosition> PlacePositions(const std::vector<PositionRecord>& positions,
                                           const LayoutContext& ctx) {
    return Placed(positions, ctx, DrawsPosition);
}

std::vector<PlacedOrder> PlaceOrders(const std::vector<PendingOrderRecord>& orders,
                                     const LayoutContext& ctx) {
    return Placed(orders, ctx, DrawsOrder);
}

void TradeOverlays::Place(const TradingModel& model, const LayoutContext& ctx) {
    // Each list placed under its own lock in turn, without a copy of it.
    std::vector<PlacedPosition> placedPositions =
        model.VisitPositions([&](const auto& positions) { return PlacePositions(positions, ctx); });
    std::vector<PlacedOrder> placedOrders =
        model.VisitOrders([&](const auto& orders) { return PlaceOrders(orders, ctx); });
    Keep(std::move(placedPositions), std::move(placedOrders));
}

void TradeOverlays::Place(const std::vector<PositionRecord>& positions,
                          const std::vector<PendingOrderRecord>& orders, const LayoutContext& ctx) {
    Keep(PlacePositions(positions, ctx), PlaceOrders(orders, ctx));
}

void TradeOverlays::Keep(std::vector<PlacedPosition> positions, std::vector<PlacedOrder> orders) {
    std::shared_ptr<const std::vector<PlacedPosition>> placedPositions =
        std::make_shared<const std::vector<PlacedPosition>>(std::move(positions));
    std::shared_ptr<const std::vector<PlacedOrder>> placedOrders =
        std::make_shared<const std::vector<PlacedOrder>>(std::move(orders));
    // The old lists go when the last paint that holds them is done, outside the lock.
    std::lock_guard lock(lock_);
    positions_.swap(placedPositions);
    orders_.swap(placedOrders);
}

void TradeOverlays::Clear() {
    std::lock_guard lock(lock_);
    positions_ = std::make_shared<const std::vector<PlacedPosition>>();
    orders_ = std::make_shared<const std::vector<PlacedOrder>>();
    labels_.clear();
}

std::shared_ptr<const std::vector<PlacedPosition>> TradeOverlays::Positions() const {
    std::lock_guard lock(lock_);
    return positions_;
}

std::shared_ptr<const std::vector<PlacedOrder>> TradeOverlays::Orders() const {
    std::lock_guard lock(lock_);
    return orders_;
}

void TradeOverlays::SetLabels(std::vector<TradeLabel> labels) {
    std::lock_guard lock(lock_);
    labels_ = std::move(labels);
}

std::vector<TradeLabel> TradeOverlays::Labels() const {
    std::lock_guard lock(lock_);
    return labels_;
}

OverlayHit TradeOverlays::HitTest(int x, int y) const {
    OverlayHit out;
    std::lock_guard lock(lock_);
    // Positions before orders, each in the order drawn.
    for (const ChartHitKind kind : {ChartHitKind::Position, ChartHitKind::PendingOrder}) {
        for (const TradeLabel& label : labels_) {
            if (label.owner.kind != kind || !LabelContains(label.rect, x, y)) continue;
            const std::string& id = label.owner.id;
            if (kind == ChartHitKind::Position) {
                for (const PlacedPosition& p : *positions_) {
                    if (FieldText(p.record.ticket, sizeof p.record.ticket) != id) continue;
                    out.hit = label.owner;
                    out.position = p.record;
                    return out;
                }
            } else {
                for (const PlacedOrder& o : *orders_) {
                    if (FieldText(o.record.orderNumber, sizeof o.record.orderNumber) != id)
                        continue;
                    out.hit = label.owner;
                    out.order = o.record;
                    return out;
                }
            }
        }
    }
    return out;
}

void TradeOverlays::Select(const OverlayHit& hit) {
    std::lock_guard lock(lock_);
    if (hit.position) selectedPosition_ = hit.position;
    if (hit.order) selectedOrder_ = hit.order;
}

std::optional<PositionRecord> TradeOverlays::SelectedPosition() const {
    std::lock_guard lock(lock_);
    return selectedPosition_;
}

std::optional<PendingOrderRecord> TradeOverlays::SelectedOrder() const {
    std::lock_guard lock(lock_);
    return selectedOrder_;
}

void InstallOverlayLayout(KLineHooks& hooks, const TradingModel* model, TradeOverlays* overlays) {
    hooks.placeSignals = [](SignalList& signals, const LayoutContext& ctx) {
        PlaceSignals(signals, ctx);
    };
    if (model && overlays) {
        hooks.placeTradingOverlays = [model, overlays](const LayoutContext& ctx) {
            overlays->Place(*model, ctx);
        };
    } else {
        hooks.placeTradingOverlays = nullptr;
    }
}

}  // namespace zq
