#include "market/series_layout.h"

#include <algorithm>
#include <optional>

#include "market/heikin_ashi.h"

namespace zq {

IndicatorRows RowsOf(const IndicatorBar& bar, unsigned indicators, const PriceScale& scale) {
    IndicatorRows rows;
    const auto row = [&](const IndicatorValue& v, bool shown) {
        return v.valid && shown
                   ? static_cast<std::int32_t>(std::clamp(scale.YAt(v.value), -1e6, 1e6))
                   : kNoIndicatorRow;
    };
    const bool ma = indicators & chart_indicator::MovingAverages;
    const bool band = indicators & chart_indicator::Bollinger;
    for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k) rows.y[k] = row(bar.ma[k], ma);
    const std::size_t b = kMovingAveragePeriods.size();
    rows.y[b] = row(bar.middle, band);
    rows.y[b + 1] = row(bar.upper, band);
    rows.y[b + 2] = row(bar.lower, band);
    return rows;
}

namespace {

// The newest position of each time text: one pass from the newest bar, which ends as soon as
// every text has been found. The positions come out sorted by time text.
std::vector<BarPosition> FindPositions(const std::deque<BarRecord>& raw,
                                       std::vector<std::string> times) {
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    std::vector<BarPosition> out;
    out.reserve(times.size());
    for (std::string& t : times) out.push_back({std::move(t), -1});
    std::size_t missing = out.size();
    const auto before = [](const BarPosition& p, std::string_view t) { return p.time < t; };
    for (std::size_t i = 0; i < raw.size() && missing > 0; ++i) {
        const std::string_view t = TimeText(raw[i]);
        const auto it = std::lower_bound(out.begin(), out.end(), t, before);
        if (it != out.end() && it->time == t && it->index < 0) {
            it->index = static_cast<int>(i);
            --missing;
        }
    }
    return out;
}

}  // namespace

int LayoutContext::IndexOf(std::string_view time) const {
    const auto it =
        std::lower_bound(positions.begin(), positions.end(), time,
                         [](const BarPosition& p, std::string_view t) { return p.time < t; });
    return it != positions.end() && it->time == time ? it->index : -1;
}

int LayoutContext::CentreOf(int index) const {
    const int slot = shown - 1 - (index - firstVisible);
    const std::int32_t left = SlotLeft(body, gap, slot);
    return left + (SlotRight(body, gap, slot) - left) / 2;
}

struct SeriesLayout::Pass {
    int type = chart_type::Candles;
    bool heikinAshi = false;
    unsigned indicators = 0;
    int plotHeight = 0;
    std::vector<std::string> anchorTimes;
    LayoutContext ctx;
    // The bar the cross stood on, and whether it was placed again.
    std::optional<BarRecord> crossBar;
    bool crossPlaced = false;
    LayoutOutcome outcome;
};

void SeriesLayout::Reset() {
    std::lock_guard lock(layoutLock_);
    st_ = ChartState{};
    geometry_.clear();
    indicatorLines_.Clear();
    indicatorRows_.clear();
}

int SeriesLayout::DisplayType() const {
    std::lock_guard lock(displayLock_);
    return displayType_;
}

LayoutOutcome SeriesLayout::Run(SeriesStore& store, const LayoutRequest& request,
                                LayoutOverlays& overlays) {
    Pass pass;
    pass.type = request.type;
    pass.heikinAshi = request.type == chart_type::HeikinAshi;
    pass.indicators = request.indicators;
    pass.ctx.instrument = request.instrument;
    pass.ctx.period = request.period;
    pass.ctx.decimals = request.decimals;

    if (!LayOutPlot(pass)) return pass.outcome;
    overlays.AnchorTimes(pass.anchorTimes);
    {
        SeriesStore::Locked bars = store.Lock();
        std::lock_guard display(displayLock_);
        std::lock_guard layout(layoutLock_);
        if (bars.Raw().empty()) return pass.outcome;
        LayOutRange(pass, bars);
        CopyVisible(pass, bars);
        // No overlay runs under the bar lock.
        bars.Unlock();
        LayOutScale(pass);
        LayOutBars(pass);
        LayOutIndicators(pass.indicators);
        overlays.Place(pass.ctx);
        SettleCross(pass);
        pass.outcome.newX = st_.crossX;
        pass.outcome.newY = st_.crossY;
    }
    pass.outcome.laidOut = true;
    return pass.outcome;
}

bool SeriesLayout::LayOutPlot(Pass& pass) const {
    const int clientWidth = clientWidth_.load();
    const int clientHeight = clientHeight_.load();
    if (clientWidth < kMinChartWidth || clientHeight == 0) return false;
    const PixelRect plot = PlotRect(clientWidth, clientHeight);
    if (plot.right - plot.left <= 0) return false;
    pass.plotHeight = plot.bottom - plot.top;
    LayoutContext& ctx = pass.ctx;
    ctx.plot = plot;
    ctx.clientWidth = clientWidth;
    ctx.clientHeight = clientHeight;
    return true;
}

void SeriesLayout::LayOutRange(Pass& pass, SeriesStore::Locked& bars) {
    const std::deque<BarRecord>& raw = bars.Raw();
    // The display list: the raw bars, or their Heikin Ashi bars (rebuilt in full only after a
    // change at the oldest end).
    if (pass.heikinAshi) bars.HeikinAshi().Sync(raw);
    const int n = static_cast<int>(raw.size());
    if (st_.firstLayout) {
        st_.firstLayout = false;
        st_.zoom = FirstLayoutZoom(n, st_.zoom);
    }
    const BarWidths widths =
        ComputeBarWidths(pass.ctx.plot.right - pass.ctx.plot.left, n, st_.zoom);
    st_.zoom = widths.zoom;
    st_.gap = widths.gap;
    st_.body = widths.body;
    st_.visible = widths.visible;
    st_.firstVisible = ClampFirstVisible(st_.firstVisible, n, st_.visible);
    LayoutContext& ctx = pass.ctx;
    ctx.body = st_.body;
    ctx.gap = st_.gap;
    ctx.firstVisible = st_.firstVisible;
    ctx.shown = std::clamp(std::min(st_.visible, n - st_.firstVisible), 0, n);
    if (!pass.anchorTimes.empty()) ctx.positions = FindPositions(raw, std::move(pass.anchorTimes));
}

void SeriesLayout::CopyVisible(const Pass& pass, SeriesStore::Locked& bars) {
    const std::deque<BarRecord>& raw = bars.Raw();
    const HeikinAshiSeries& ha = bars.HeikinAshi();
    const bool heikinAshi = pass.heikinAshi;
    shown_.clear();
    shownRaw_.clear();
    const auto first = static_cast<std::size_t>(pass.ctx.firstVisible);
    const auto end = first + static_cast<std::size_t>(pass.ctx.shown);
    for (std::size_t i = first; i < end; ++i) {
        shown_.push_back(heikinAshi ? ha.At(raw, i) : raw[i]);
        if (heikinAshi) shownRaw_.push_back(raw[i]);
    }
    // The live bar leaves the display list (its geometry stays): a live update's Heikin Ashi bar
    // follows the bar behind it.
    const std::size_t front = IsLiveBar(raw.front()) ? 1 : 0;
    if (front >= raw.size()) {
        displayFront_ = BarRecord{};
    } else {
        displayFront_ = heikinAshi ? ha.At(raw, front) : raw[front];
    }
    displayType_ = pass.type;
    // The indicators of the visible bars, from the display list: the visible closes from the
    // copy just made, the others (the windows behind the oldest visible bar and the newest
    // bar's) from the lists.
    if (pass.indicators != 0) {
        const auto closeAt = [&](std::size_t i) {
            if (i >= first && i < end) return shown_[i - first].close;
            return heikinAshi ? ha.At(raw, i).close : raw[i].close;
        };
        indicatorLines_.LayoutWith(closeAt, raw.size(), first, end - first);
    } else {
        indicatorLines_.Clear();
    }
}

void SeriesLayout::LayOutScale(Pass& pass) {
    std::int32_t hi = 0, lo = 0;
    for (const BarRecord& d : shown_) {
        hi = std::max(hi, d.high);
        if (d.low < lo || lo == 0) lo = d.low;
    }
    st_.hi = hi;
    st_.lo = lo;
    st_.scale = VerticalScale(pass.plotHeight, hi, lo);
    pass.ctx.scale = {st_.hi, st_.scale, st_.vOffset};
}

void SeriesLayout::LayOutBars(Pass& pass) {
    // The bar under the cross, found in the old geometry; the cross is hidden until its bar is
    // placed again.
    LayoutOutcome& out = pass.outcome;
    out.oldX = st_.crossX;
    out.oldY = st_.crossY;
    if (out.oldX != 0 || out.oldY != 0) {
        const int at = st_.selected >= 0 && st_.selected < static_cast<int>(geometry_.size())
                           ? st_.selected
                           : BarUnder(geometry_, out.oldX);
        if (at >= 0) pass.crossBar = geometry_[static_cast<std::size_t>(at)].raw;
    }
    st_.crossX = 0;
    st_.crossY = 0;
    st_.selected = -1;

    // In a Heikin Ashi list the raw bar at the same position comes from shownRaw_; a plain list
    // is its own raw copy.
    const std::vector<BarRecord>& rawAt = pass.heikinAshi ? shownRaw_ : shown_;
    const PriceScale& scale = pass.ctx.scale;
    const int k0 = pass.ctx.shown;
    geometry_.clear();
    geometry_.reserve(static_cast<std::size_t>(k0));
    std::size_t at = 0;
    for (int slot = k0 - 1; slot >= 0; --slot, ++at) {
        const BarRecord& d = shown_[at];
        BarGeometry g;
        g.direction = Direction(d.open, d.close, d.reference);
        g.left = SlotLeft(st_.body, st_.gap, slot);
        g.right = SlotRight(st_.body, st_.gap, slot);
        g.yHigh = scale.Y(d.high);
        g.yLow = scale.Y(d.low);
        g.yOpen = scale.Y(d.open);
        g.yClose = scale.YFloat(d.close);
        g.high = d.high;
        g.low = d.low;
        g.raw = rawAt[at];
        geometry_.push_back(g);

        if (pass.crossBar && !pass.crossPlaced && SameBar(g.raw, *pass.crossBar)) {
            pass.crossPlaced = true;
            st_.crossX = g.Centre();
            st_.crossY = static_cast<int>(g.yClose);
            st_.selected = static_cast<int>(geometry_.size()) - 1;
            out.dataWindow.emplace(g.yClose, g.raw);
        }
    }
}

void SeriesLayout::LayOutIndicators(unsigned shownIndicators) {
    indicatorRows_.clear();
    indicatorTop_ = std::numeric_limits<std::int32_t>::max();
    if (shownIndicators == 0) return;
    const PriceScale scale{st_.hi, st_.scale, st_.vOffset};
    indicatorRows_.reserve(indicatorLines_.Visible().size());
    for (const IndicatorBar& v : indicatorLines_.Visible()) {
        indicatorRows_.push_back(RowsOf(v, shownIndicators, scale));
        NoteIndicatorTop(indicatorRows_.back());
    }
}

void SeriesLayout::NoteIndicatorTop(const IndicatorRows& rows) {
    std::int32_t top = indicatorTop_.load();
    for (const std::int32_t y : rows.y)
        if (y != kNoIndicatorRow) top = std::min(top, y);
    indicatorTop_ = top;
}

void SeriesLayout::SettleCross(Pass& pass) {
    LayoutOutcome& out = pass.outcome;
    const bool crossShown = out.oldX != 0 || out.oldY != 0;
    if (!crossShown || pass.crossPlaced || geometry_.empty()) return;
    const BarGeometry& g = geometry_.back();
    st_.crossX = g.Centre();
    st_.crossY = g.yOpen;
    st_.selected = static_cast<int>(geometry_.size()) - 1;
    out.priceScaleChanged = true;
    out.dataWindow.emplace(static_cast<float>(g.yOpen), g.raw);
}

SeriesLayout::LivePlacement SeriesLayout::PlaceLive(const BarRecord& r, bool newBar, int type,
                                                    unsigned indicators) {
    LivePlacement out;
    bool noGeometry = false;
    std::int32_t hi = 0;
    std::int32_t lo = 0;
    {
        std::lock_guard lock(layoutLock_);
        if (st_.firstVisible != 0) return out;
        noGeometry = geometry_.empty();
        if (!noGeometry && !newBar) geometry_.front().raw = r;
        hi = st_.hi;
        lo = st_.lo;
    }

    // The values to draw: the record's own, or its Heikin Ashi bar after the newest finished
    // Heikin Ashi bar (the display list's front, the live bar having been removed from it).
    BarRecord drawn = r;
    if (!newBar && !noGeometry && type == chart_type::HeikinAshi) {
        std::lock_guard lock(displayLock_);
        drawn = HeikinAshiBar(r, displayFront_);
    }

    // A live bar arriving before any geometry exists (a chart too narrow to lay out, or not laid
    // out yet) is answered with a full layout: there is no newest entry to update.
    if (newBar || noGeometry || r.high > hi || r.low < lo || drawn.high > hi || drawn.low < lo) {
        out.step = LiveStep::NeedsLayout;
        return out;
    }

    PixelRect& band = out.band;
    PixelRect& captionBand = out.caption;
    {
        std::lock_guard lock(layoutLock_);
        if (st_.firstVisible != 0 || geometry_.empty()) return out;
        const PriceScale ps{st_.hi, st_.scale, st_.vOffset};
        BarGeometry& g = geometry_.front();
        g.direction = Direction(drawn.open, drawn.close, drawn.reference);
        g.yHigh = ps.Y(drawn.high);
        g.yLow = ps.Y(drawn.low);
        g.yOpen = ps.Y(drawn.open);
        g.yClose = static_cast<float>(ps.Y(drawn.close));
        g.high = drawn.high;
        g.low = drawn.low;
        g.raw = r;
        band = {g.left - 100, g.yHigh - 10, g.right + 100, g.yLow + 15};
        if (indicators != 0) {
            // The lines' newest segments move with the newest bar's values: the band reaches
            // from their old to their new ends and the bar behind, and the caption's figures
            // are repainted too.
            const auto reach = [&](const IndicatorRows& rows) {
                for (const std::int32_t y : rows.y) {
                    if (y == kNoIndicatorRow) continue;
                    band.top = std::min(band.top, y - 2);
                    band.bottom = std::max(band.bottom, y + 2);
                }
            };
            const bool newestShown = indicatorLines_.First() == 0 && !indicatorRows_.empty() &&
                                     !indicatorLines_.Visible().empty();
            if (newestShown) reach(indicatorRows_[0]);
            if (newestShown && indicatorRows_.size() > 1) reach(indicatorRows_[1]);
            indicatorLines_.LiveUpdate(drawn.close);
            if (newestShown) {
                indicatorRows_[0] = RowsOf(indicatorLines_.Visible()[0], indicators, ps);
                NoteIndicatorTop(indicatorRows_[0]);
                reach(indicatorRows_[0]);
            }
            // The figures' new texts may be wider than the old by a digit each.
            constexpr int kFigureGrowth = 64;
            const std::uint64_t span = captionFigureSpan_.load();
            const int width = clientWidth_.load();
            const int left = static_cast<int>(static_cast<std::uint32_t>(span >> 32));
            const int right = static_cast<int>(static_cast<std::uint32_t>(span));
            captionBand = right > left ? PixelRect{left, 0, std::min(width, right + kFigureGrowth),
                                                   kCaptionBottom}
                                       : PixelRect{0, 0, width, kCaptionBottom};
        }
    }
    out.step = LiveStep::Band;
    return out;
}

ChartState SeriesLayout::State() const {
    std::lock_guard lock(layoutLock_);
    return st_;
}

std::vector<BarGeometry> SeriesLayout::Geometry() const {
    std::lock_guard lock(layoutLock_);
    return geometry_;
}

int SeriesLayout::BarUnderX(int x) const {
    std::lock_guard lock(layoutLock_);
    return BarUnder(geometry_, x);
}

void SeriesLayout::SetZoom(float zoom) {
    std::lock_guard lock(layoutLock_);
    st_.zoom = zoom;
}

void SeriesLayout::SetFirstVisible(int index) {
    std::lock_guard lock(layoutLock_);
    st_.firstVisible = std::max(index, 0);
}

void SeriesLayout::SetVerticalOffset(int offset) {
    std::lock_guard lock(layoutLock_);
    st_.vOffset = offset;
}

void SeriesLayout::SetCross(int x, int y) {
    std::lock_guard lock(layoutLock_);
    st_.crossX = x;
    st_.crossY = y;
}

void SeriesLayout::SetSelected(int index) {
    std::lock_guard lock(layoutLock_);
    st_.selected = index >= 0 && index < static_cast<int>(geometry_.size()) ? index : -1;
}

}  // namespace zq
