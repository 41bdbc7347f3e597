#include "chart/overlay_layout.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "market/wire/signal_record.h"

namespace zq {

namespace {

// Beyond this many decimals a price no longer fits the chart's 32-bit scaled prices anyway.
constexpr int kMaxDecimals = 9;

// The row of a price given as a double, 0 for none (0 or less).
std::int32_t RowOf(double price, const LayoutContext& ctx) {
    if (!(price > 0)) return 0;
    return ctx.scale.Y(ScaledPrice(price, ctx.decimals));
}

template <class Record>
void PlaceRows(Record& r, double price, const LayoutContext& ctx) {
    r.priceLineY = RowOf(price, ctx);
    r.stopLineY = RowOf(r.stopLoss, ctx);
    r.takeLineY = RowOf(r.takeProfit, ctx);
}

std::string FieldId(const char* field, std::size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace

std::int64_t ScaledPrice(double price, int decimals) {
    const int d = decimals < 0 ? 0 : decimals > kMaxDecimals ? kMaxDecimals : decimals;
    const double scaled = price * std::pow(10.0, d);
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

void PlaceSignals(std::vector<BarRecord>& signals, const LayoutContext& ctx) {
    for (BarRecord& r : signals) {
        SignalRecord s = AsSignal(r);
        if (s.instrument != ctx.instrument) continue;
        s.lineY = ctx.scale.Y(s.price);
        std::memcpy(reinterpret_cast<unsigned char*>(&r) + offsetof(SignalRecord, lineY), &s.lineY,
                    sizeof s.lineY);
    }
}

void PlacePositions(std::vector<PositionRecord>& positions, const LayoutContext& ctx) {
    for (PositionRecord& p : positions)
        if (p.instrument == ctx.instrument) PlaceRows(p, p.openPrice, ctx);
}

void PlaceOrders(std::vector<PendingOrderRecord>& orders, const LayoutContext& ctx) {
    for (PendingOrderRecord& o : orders)
        if (o.instrument == ctx.instrument) PlaceRows(o, o.price, ctx);
}

void PlaceTradingOverlays(TradingModel& model, const LayoutContext& ctx) {
    {
        std::lock_guard lock(model.positionLock);
        PlacePositions(model.positions, ctx);
    }
    std::lock_guard lock(model.orderLock);
    PlaceOrders(model.orders, ctx);
}

void InstallOverlayLayout(KLineHooks& hooks, TradingModel* model) {
    hooks.placeSignals = [](std::vector<BarRecord>& signals, const LayoutContext& ctx) {
        PlaceSignals(signals, ctx);
    };
    if (model) {
        hooks.placeTradingOverlays = [model](const LayoutContext& ctx) {
            PlaceTradingOverlays(*model, ctx);
        };
    } else {
        hooks.placeTradingOverlays = nullptr;
    }
}

OverlayHit HitTestOverlays(const TradingModel& model, int instrument, int x, int y) {
    OverlayHit out;
    {
        std::lock_guard lock(model.positionLock);
        for (const PositionRecord& p : model.positions) {
            if (!DrawsPosition(p, instrument) || !LabelContains(LabelRect(p), x, y)) continue;
            out.hit = {ChartHitKind::Position, FieldId(p.ticket, sizeof p.ticket)};
            out.position = p;
            return out;
        }
    }
    std::lock_guard lock(model.orderLock);
    for (const PendingOrderRecord& o : model.orders) {
        if (!DrawsOrder(o, instrument) || !LabelContains(LabelRect(o), x, y)) continue;
        out.hit = {ChartHitKind::PendingOrder, FieldId(o.orderNumber, sizeof o.orderNumber)};
        out.order = o;
        return out;
    }
    return out;
}

void SelectOverlayHit(TradingModel& model, const OverlayHit& hit) {
    if (hit.position) model.SelectPosition(hit.position);
    if (hit.order) model.SelectOrder(hit.order);
}

}  // namespace zq
