#include "market/bar_series.h"

#include <algorithm>

namespace zq {

// --- Instrument, period, type ---

void KLineData::Reset(int instrument, int period) {
    InstrumentRecord product{};
    if (hooks.productRecord) product = hooks.productRecord(instrument);
    {
        std::lock_guard lock(productLock_);
        product_ = product;
    }
    {
        SeriesStore::Locked bars = store_.Lock();
        bars.Reset(instrument, period);
        layout_.Reset();
    }
    {
        std::lock_guard lock(signalLock_);
        signals_.clear();
    }
    {
        std::lock_guard lock(toolLock_);
        tools_.clear();
    }
    // The tools may have to come from the server: the reload runs with no chart lock held and
    // hands them over when they are in.
    if (hooks.reloadTools) {
        const std::uint64_t generation = store_.Generation();
        hooks.reloadTools(instrument, period,
                          [this, gate = toolGate_, generation](std::vector<ToolLineRecord> tools) {
                              std::lock_guard alive(gate->mutex);
                              if (gate->alive) DeliverTools(generation, std::move(tools));
                          });
    }
}

KLineData::~KLineData() {
    std::lock_guard lock(toolGate_->mutex);
    toolGate_->alive = false;
}

void KLineData::DeliverTools(std::uint64_t generation, std::vector<ToolLineRecord> tools) {
    {
        std::lock_guard lock(toolLock_);
        if (!store_.GenerationMatches(generation)) return;
        tools_.insert(tools_.begin(), tools.begin(), tools.end());
    }
    if (BarCount() == 0) return;
    Layout();
    if (hooks.invalidateAll) hooks.invalidateAll();
}

InstrumentRecord KLineData::Product() const {
    std::lock_guard lock(productLock_);
    return product_;
}

void KLineData::SetChartType(int type) {
    if (type == chart_type::Candles || type == chart_type::HeikinAshi) type_ = type;
}

void KLineData::ToggleHeikinAshi() {
    int t = type_.load();
    while (!type_.compare_exchange_weak(
        t, t == chart_type::HeikinAshi ? chart_type::Candles : chart_type::HeikinAshi)) {
    }
}

// --- Series ---

bool KLineData::AppendHistoryBar(const BarRecord& r, std::uint64_t generation) {
    return AppendHistoryBars(&r, 1, generation) == 1;
}

std::size_t KLineData::AppendHistoryBars(const BarRecord* records, std::size_t count,
                                         std::uint64_t generation) {
    return store_.AppendHistoryBars(records, count, generation, hooks.historySignal);
}

LiveResult KLineData::LiveUpdate(const BarRecord& r) {
    const SeriesStore::LivePut put = store_.PutLive(r);
    if (put == SeriesStore::LivePut::NoBars) return LiveResult::Ignored;
    const SeriesLayout::LivePlacement live =
        layout_.PlaceLive(r, put == SeriesStore::LivePut::NewBar, type_.load(), indicators_.load());
    switch (live.step) {
        case SeriesLayout::LiveStep::NotDrawn:
            return LiveResult::NotDrawn;
        case SeriesLayout::LiveStep::NeedsLayout:
            Layout();
            if (hooks.invalidateAll) hooks.invalidateAll();
            return LiveResult::FullLayout;
        case SeriesLayout::LiveStep::Band:
            break;
    }
    if (hooks.invalidateBand) {
        hooks.invalidateBand(live.band);
        if (live.caption.right > 0) hooks.invalidateBand(live.caption);
    }
    return LiveResult::Band;
}

std::vector<BarRecord> KLineData::DisplayBars() const {
    const int type = layout_.DisplayType();
    if (type == 0) return {};
    return store_.DisplayList(type == chart_type::HeikinAshi);
}

// --- Layout ---

void KLineData::Overlays::AnchorTimes(std::vector<std::string>& times) {
    if (!chart.hooks.toolAnchorTimes) return;
    std::lock_guard tools(chart.toolLock_);
    chart.hooks.toolAnchorTimes(chart.tools_, times);
}

void KLineData::Overlays::Place(const LayoutContext& ctx) {
    const KLineHooks& hooks = chart.hooks;
    if (hooks.placeSignals) {
        std::lock_guard signals(chart.signalLock_);
        hooks.placeSignals(chart.signals_, ctx);
    }
    if (hooks.placeTradingOverlays) hooks.placeTradingOverlays(ctx);
    if (hooks.completeTools) {
        std::lock_guard tools(chart.toolLock_);
        hooks.completeTools(chart.tools_, ctx);
    }
}

bool KLineData::Layout() {
    const LayoutRequest request{type_.load(), indicators_.load(), store_.Instrument(),
                                store_.Period(), Product().decimals};
    const LayoutOutcome out = layout_.Run(store_, request, overlays_);
    if (!out.laidOut) return false;
    // With no chart lock held: the price scale, the data window, and the cross redrawn where it
    // moved.
    if (out.priceScaleChanged && hooks.priceScaleChanged) hooks.priceScaleChanged();
    if (out.dataWindow && hooks.dataWindow)
        hooks.dataWindow(out.dataWindow->first, out.dataWindow->second);
    if (out.CrossMoved() && hooks.crossMoved)
        hooks.crossMoved(out.oldX, out.oldY, out.newX, out.newY);
    return true;
}

// --- The push link's records ---

ChartFeed FeedChart(KLineData& chart, const BarRecord& record, bool historyLoaded) {
    if (!ChartAccepts(record, chart.Instrument())) return ChartFeed::NotForChart;
    if (!IsLiveBar(record)) {
        if (historyLoaded)
            chart.AddFinishedBar(record);
        else
            chart.HoldFinishedBar(record);
        return ChartFeed::Finished;
    }
    if (!historyLoaded) return ChartFeed::LiveBeforeHistory;
    chart.LiveUpdate(record);
    return ChartFeed::Live;
}

}  // namespace zq
