// The chart's layout: from the bars of a SeriesStore to what the painter draws, the geometry of
// the visible bars, their indicator lines with pixel rows, the visible range and price scale,
// and the chart state beside them (zoom, scroll, vertical offset, cross, selection). The
// chart window's mode and drag are the window's own (chart/chart_view.h).
//
// A layout runs in named steps, in this order (Run):
//   LayOutPlot        the plot rectangle in the client area; narrower than the margins, no layout
//   (anchor times)    the overlays' time texts of the bars the tools are anchored to
//   LayOutRange       zoom, bar widths, the visible range and where the anchored bars lie
//   CopyVisible       the visible part of the display list, its front and the indicators' values
//   LayOutScale       the highest high, the lowest low and the vertical scale
//   LayOutBars        the bars' geometry; the cross follows its bar if it stays visible
//   LayOutIndicators  the indicators' rows beside the geometry
//   (overlays)        signals, positions and orders, tools, placed by the chart around it
//   SettleCross       a cross whose bar scrolled out goes to the oldest visible bar
// and hands back what the chart's hooks are to hear once every lock is released (LayoutOutcome).
// A live update of the newest bar (PlaceLive) moves only that bar's geometry and rows, or asks
// for a whole layout.
//
// Locks. The display lock guards the visible copy of the display list, the layout lock the
// geometry, the indicator lines and rows and the chart state. A layout takes the bar lock
// (series_store.h), then the display lock, then the layout lock, and releases the bar lock after
// CopyVisible; the overlays step runs under the display and layout locks (the overlays take the
// signal, tool, trading model and trade overlay locks one at a time inside them). The chart's
// reset takes the layout lock inside the bar lock. A live update takes the layout lock and the
// display lock one at a time. Readers (WithGeometry, WithLayout, State) take the layout lock
// alone.
//
// Cost. A layout and a live update touch only the visible bars (a few thousand at most),
// whatever the length of the series; with drawing tools a layout also reads the time texts from
// the newest bar back to the oldest anchored bar. The Heikin Ashi prices are brought up to date
// (SeriesStore) and rebuilt in full only after a change at the oldest end.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "market/bar_geometry.h"
#include "market/indicators.h"
#include "market/series_store.h"
#include "market/wire/bar_record.h"

namespace zq {

// The indicator overlays a chart computes and draws, as bits of one choice.
namespace chart_indicator {
constexpr unsigned MovingAverages = 1;  // MA 5, 10, 20, 60
constexpr unsigned Bollinger = 2;       // Bollinger bands (20, 2)
constexpr unsigned All = MovingAverages | Bollinger;
}  // namespace chart_indicator

// The pixel rows of one visible bar's indicator values, as the layout places them with the
// price scale (like the bars' geometry): the four moving averages, then the band's middle,
// upper and lower line; kNoIndicatorRow where a value is missing or not shown. Rows are held
// within +-1e6, far outside any image.
constexpr std::int32_t kNoIndicatorRow = std::numeric_limits<std::int32_t>::min();
struct IndicatorRows {
    std::array<std::int32_t, kMovingAveragePeriods.size() + 3> y;
};
IndicatorRows RowsOf(const IndicatorBar& bar, unsigned indicators, const PriceScale& scale);

// The caption line's rows at the top of the chart (the grid starts below them): a live update
// with indicators shown repaints them for the caption's figures.
constexpr int kCaptionBottom = 19;

namespace chart_type {
constexpr int Candles = 1;
constexpr int HeikinAshi = 2;
}  // namespace chart_type

// Where a bar named by its time text lies in the series: the index (0 the newest bar) of the
// newest bar with that text, -1 when the series holds none.
struct BarPosition {
    std::string time;
    int index = -1;
};

// What a layout hands to the overlays.
struct LayoutContext {
    int instrument = 0;
    int period = 0;
    int decimals = 0;  // of the chart's product record
    PriceScale scale;
    PixelRect plot;
    int clientWidth = 0;
    int clientHeight = 0;
    float body = 0;
    float gap = 0;
    // The visible range: the series index of the newest visible bar and the number of visible
    // bars.
    int firstVisible = 0;
    int shown = 0;
    // The positions of the time texts the tools' anchors asked for.
    std::vector<BarPosition> positions;

    // The index of the newest bar with this time text, -1 when it was not asked for or the
    // series holds none.
    int IndexOf(std::string_view time) const;
    // The centre x of the bar at series index i at this layout's widths, also for a bar out of
    // view (beyond the plot's edges).
    int CentreOf(int index) const;
};

// A copy of the chart state (taken under the layout lock).
struct ChartState {
    float zoom = 1;
    float gap = 0;
    float body = 0;
    float scale = 0;
    int visible = 0;
    int firstVisible = 0;
    std::int32_t hi = 0;
    std::int32_t lo = kResetLow;
    int vOffset = 0;
    int crossX = 0;  // 0, 0: the cross is hidden
    int crossY = 0;
    int selected = -1;  // index into the geometry list, -1 for none
    bool firstLayout = true;

    PriceScale Scale() const { return {hi, scale, vOffset}; }
    bool CrossShown() const { return crossX != 0 || crossY != 0; }
};

// What one layout is asked to lay out: the chart type and indicators, and the series' identity
// for the overlays.
struct LayoutRequest {
    int type = chart_type::Candles;
    unsigned indicators = 0;
    int instrument = 0;
    int period = 0;
    int decimals = 0;
};

// The steps of a layout that read the chart's other lists.
class LayoutOverlays {
  public:
    // Before the bars are read, under no lock of the layout: the time texts of the bars the
    // tools are anchored to, whose positions the layout finds (LayoutContext::positions).
    virtual void AnchorTimes(std::vector<std::string>& times) = 0;
    // Under the display and layout locks: signals, positions and orders, tools.
    virtual void Place(const LayoutContext& ctx) = 0;

  protected:
    ~LayoutOverlays() = default;
};

// What a layout hands back for the chart's hooks, which run once every lock is released.
struct LayoutOutcome {
    bool laidOut = false;  // false: no bars, or no plot; the old geometry stays
    // The cross as the layout found it and as it left it.
    int oldX = 0;
    int oldY = 0;
    int newX = 0;
    int newY = 0;
    // The data window's row and bar, when the cross was placed.
    std::optional<std::pair<float, BarRecord>> dataWindow;
    bool priceScaleChanged = false;

    bool CrossMoved() const { return newX != oldX || newY != oldY; }
};

class SeriesLayout {
  public:
    // Back to the start values (zoom 1, highest high 0, lowest low 1000000, no scroll, offset,
    // cross or selection, widths and scale zero, the first-layout flag set)
    // without geometry or indicator lines. The chart's reset calls it under the bar lock.
    void Reset();

    void SetClientSize(int width, int height) {
        clientWidth_ = width;
        clientHeight_ = height;
    }
    int ClientWidth() const { return clientWidth_.load(); }
    int ClientHeight() const { return clientHeight_.load(); }

    // Rebuilds the visible display list and the geometry from `store` in the steps above.
    LayoutOutcome Run(SeriesStore& store, const LayoutRequest& request, LayoutOverlays& overlays);

    // The live bar `r` just went into the store (as a new front bar when `newBar`): NotDrawn
    // while the chart is scrolled back, NeedsLayout for a new bar, no geometry yet or a price
    // beyond the visible range; otherwise the newest bar's geometry and indicator rows follow
    // and Band names what to repaint (and the caption's figures, when indicators are shown).
    enum class LiveStep { NotDrawn, NeedsLayout, Band };
    struct LivePlacement {
        LiveStep step = LiveStep::NotDrawn;
        PixelRect band;
        PixelRect caption;  // right 0: none
    };
    LivePlacement PlaceLive(const BarRecord& r, bool newBar, int type, unsigned indicators);

    // The chart type of the last layout, 0 before any.
    int DisplayType() const;

    ChartState State() const;
    std::vector<BarGeometry> Geometry() const;
    // Runs f(geometry, state) under the layout lock.
    template <class F>
    void WithGeometry(F&& f) const {
        std::lock_guard lock(layoutLock_);
        f(static_cast<const std::vector<BarGeometry>&>(geometry_),
          static_cast<const ChartState&>(st_));
    }
    // Runs f(geometry, state, indicators, rows) under the layout lock: the indicators' visible
    // values and their pixel rows stand beside the geometry entries at the same index (all
    // newest first) when the layout computed them (both empty otherwise).
    template <class F>
    void WithLayout(F&& f) const {
        std::lock_guard lock(layoutLock_);
        f(static_cast<const std::vector<BarGeometry>&>(geometry_),
          static_cast<const ChartState&>(st_), static_cast<const IndicatorLines&>(indicatorLines_),
          static_cast<const std::vector<IndicatorRows>&>(indicatorRows_));
    }
    int BarUnderX(int x) const;

    // No indicator line reaches above this row (the largest int without lines).
    std::int32_t IndicatorTop() const { return indicatorTop_.load(); }
    // Where the painter last drew the indicators' figures in the caption line (x from, x to),
    // so that a live update repaints that stretch of the caption rather than its whole width;
    // until a paint tells, the whole width.
    void SetCaptionFigureSpan(int left, int right) {
        captionFigureSpan_.store(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
            static_cast<std::uint32_t>(right));
    }

    // Interaction state (the next layout clamps what needs clamping).
    void SetZoom(float zoom);
    void SetFirstVisible(int index);
    void SetVerticalOffset(int offset);
    void SetCross(int x, int y);
    void SetSelected(int index);

  private:
    // One layout, read top to bottom: each step takes what the ones before it left in the pass.
    struct Pass;
    bool LayOutPlot(Pass& pass) const;
    void LayOutRange(Pass& pass, SeriesStore::Locked& bars);        // + display, layout lock
    void CopyVisible(const Pass& pass, SeriesStore::Locked& bars);  // likewise
    void LayOutScale(Pass& pass);                                   // display and layout lock
    void LayOutBars(Pass& pass);                                    // likewise
    void LayOutIndicators(unsigned indicators);                     // layout lock
    void NoteIndicatorTop(const IndicatorRows& rows);               // layout lock
    void SettleCross(Pass& pass);                                   // layout lock

    mutable std::mutex displayLock_;
    mutable std::mutex layoutLock_;

    // Display lock: the visible part of the display list at the last layout (the drawn bars and
    // the raw bars at the same positions), the display list's front after the live bar left it
    // (what a live update's Heikin Ashi bar follows), and the type of that layout.
    std::vector<BarRecord> shown_;
    std::vector<BarRecord> shownRaw_;
    BarRecord displayFront_{};
    int displayType_ = 0;  // 0 before any layout

    std::vector<BarGeometry> geometry_;  // layout lock; newest first
    ChartState st_;                      // layout lock
    IndicatorLines indicatorLines_;      // layout lock; laid out only while indicators are shown
    std::vector<IndicatorRows> indicatorRows_;  // layout lock; beside geometry_
    // The highest (smallest) row any indicator line reaches, so that a repaint above it walks
    // no line; a live update only ever lowers it until the next layout.
    std::atomic<std::int32_t> indicatorTop_{std::numeric_limits<std::int32_t>::max()};
    std::atomic<std::uint64_t> captionFigureSpan_{0};
    std::atomic<int> clientWidth_{0};
    std::atomic<int> clientHeight_{0};
};

}  // namespace zq
