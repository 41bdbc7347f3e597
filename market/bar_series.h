// The chart's bar series and its geometry: the raw and display bar lists, the geometry list,
// the signal and tool lists, the history list, their locks, the chart state beside them, and
// the operations that feed them (history bars, finished bars, live updates) and lay them out.
//
// Who calls what:
//   - the history transfer: AppendHistoryBar for every downloaded record, then MergeHistory,
//     WriteHistoryCache (history_cache.h) if the merge says so, then Layout;
//   - the push link: FeedChart (at the end of this file), which takes a record of the chart's
//     instrument (ChartAccepts) as a finished bar (AddFinishedBar, or HoldFinishedBar before the
//     first merge) or, once the history has been loaded, as the live bar (LiveUpdate);
//   - the view: Reset(instrument, period) on every instrument or period change, SetHistory with
//     the cached bars, SetClientSize on resize, Layout; painting reads WithGeometry.
//
// Locks. bar, display, layout, signal and tool lock, one per container. Where two are held at
// once they are taken bar before display, bar before layout (the reset, and the layout while it
// copies the visible bars) and display before layout; inside display + layout, with the bar
// lock released, the layout takes the tool lock, the signal lock and (through its hook) the
// trading model's position and order locks one at a time, then the lock of the chart's trade
// overlays. Before it takes the bar lock, the
// layout takes the tool lock alone for the tools' anchor texts. No other operation holds two
// chart locks.
//
// Cost. A layout, a live update and a finished bar touch only the visible bars (a few thousand
// at most), whatever the length of the series; a layout with drawing tools also reads the time
// texts from the newest bar back to the oldest bar a tool is anchored to (the whole series for
// an anchor whose bar it does not hold). The Heikin Ashi bars are kept beside the raw list and
// brought up to date bar by bar. Only a change at the oldest end (a transfer's bars, a merge,
// the oldest bar pushed out) costs a pass over the series, once, at the next Heikin Ashi
// layout. Hooks are set before the chart is shared between threads; invalidation, data-window,
// price-scale and cross hooks are called with no chart lock held.
//
// Bounds. A series holds at most kMaxBarsPerSeries bars (84 MB of records), however many
// transfers page it further back: history records beyond it are dropped, a new front bar beyond
// it pushes the oldest bar out, and a cache file that claims more is not read. That is forty
// years of 15-minute bars around the clock, far beyond any real history, yet small enough that
// a bad count from the server or a foreign file cannot exhaust memory or the disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "market/bar_geometry.h"
#include "market/heikin_ashi.h"
#include "market/indicators.h"
#include "market/series_store.h"
#include "market/signal_list.h"
#include "market/wire/bar_record.h"
#include "market/wire/tool_record.h"
#include "trading/wire/records.h"

namespace zq {

enum class ChartMode : std::int32_t {
    Default = 0,
    Cross = 1,
    MoveKLine = 2,
    StraightLine = 3,
    ParallelLines = 4,
    SymmetricParallelLines = 5,
};

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

// What a layout hands to the overlay and tool hooks.
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
    // The positions of the time texts the tool hook asked for.
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
    ChartMode mode = ChartMode::Default;
    int dragX = 0;
    int dragY = 0;
    bool firstLayout = true;

    PriceScale Scale() const { return {hi, scale, vOffset}; }
    bool CrossShown() const { return crossX != 0 || crossY != 0; }
};

// What the chart asks of the rest of the program: the product record, the drawing tools, the
// signals found in downloaded bars, the overlay layout steps and the repaint requests. Every
// hook may stay empty; an empty hook does nothing.
struct KLineHooks {
    // The product record of an instrument, copied at each reset (id 0 when there is none).
    std::function<InstrumentRecord(int instrument)> productRecord;
    // Refills the tool list for a new instrument and period: called at every reset with no
    // chart lock held. The tools come through `deliver`, at once or later from any thread.
    using ToolDelivery = std::function<void(std::vector<ToolLineRecord> tools)>;
    std::function<void(int instrument, int period, ToolDelivery deliver)> reloadTools;
    // A signal record found among downloaded bars.
    std::function<void(const BarRecord& signal)> historySignal;

    // Layout steps. Under the tool lock alone, before the bars are read: the time texts of the
    // bars the tools are anchored to, whose positions the layout finds (LayoutContext).
    std::function<void(const std::vector<ToolLineRecord>& tools, std::vector<std::string>& times)>
        toolAnchorTimes;
    // The rest under the display and layout locks.
    // Under the signal lock: the y of each signal of the chart's instrument.
    std::function<void(SignalList& signals, const LayoutContext& ctx)> placeSignals;
    // Positions and pending orders; the hook takes the trading model's locks one at a time.
    std::function<void(const LayoutContext& ctx)> placeTradingOverlays;
    // Under the tool lock: the derived points of every tool.
    std::function<void(std::vector<ToolLineRecord>& tools, const LayoutContext& ctx)> completeTools;

    // Called with no chart lock held.
    std::function<void()> invalidateAll;
    std::function<void(const PixelRect& band)> invalidateBand;
    std::function<void(float y, const BarRecord& bar)> dataWindow;
    std::function<void()> priceScaleChanged;
    // The cross moved from (oldX, oldY) to (newX, newY); either may be (0, 0), hidden.
    std::function<void(int oldX, int oldY, int newX, int newY)> crossMoved;
};

enum class LiveResult {
    Ignored,     // no bar yet: the chart waits for its history
    NotDrawn,    // the chart is scrolled back (or has no geometry to update)
    FullLayout,  // new bar or price range grown: laid out and invalidated
    Band,        // the newest bar's geometry updated, a band around it invalidated
};

class KLineData {
  public:
    // A generation token that every check accepts.
    static constexpr std::uint64_t kAnyGeneration = SeriesStore::kAnyGeneration;

    KLineData() = default;
    // Waits for a tool delivery under way; later ones find the chart gone and do nothing.
    ~KLineData();
    KLineData(const KLineData&) = delete;
    KLineData& operator=(const KLineData&) = delete;

    KLineHooks hooks;

    // --- Instrument, period, type ---

    // Copies the product record, empties the bars, the geometry, the signals and the history
    // list, reloads the tools, returns the state to its start values and starts a new
    // generation: a transfer begun before the reset can no longer add, merge or write.
    void Reset(int instrument, int period);
    std::uint64_t Generation() const { return store_.Generation(); }
    int Instrument() const { return store_.Instrument(); }
    int Period() const { return store_.Period(); }
    InstrumentRecord Product() const;

    int ChartType() const { return type_.load(); }
    void SetChartType(int type);  // 1 or 2; anything else is ignored
    void ToggleHeikinAshi();

    // The indicator overlays (chart_indicator bits; 0, none, at start). The next layout
    // computes them from the display list; without any, a layout and a live update compute
    // nothing for them.
    unsigned Indicators() const { return indicators_.load(); }
    void SetIndicators(unsigned indicators) {
        indicators_.store(indicators & chart_indicator::All);
    }
    // Where the painter last drew the indicators' figures in the caption line (x from, x to),
    // so that a live update repaints that stretch of the caption rather than its whole width;
    // until a paint tells, the whole width.
    // No indicator line reaches above this row (the largest int without lines).
    std::int32_t IndicatorTop() const { return indicatorTop_.load(); }
    void SetCaptionFigureSpan(int left, int right) {
        captionFigureSpan_.store(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
            static_cast<std::uint32_t>(right));
    }

    // --- Series ---

    // The bars (series_store.h): the history transfer, the push link's bars and the cache
    // reach them through these.
    SeriesStore& Series() { return store_; }
    const SeriesStore& Series() const { return store_; }

    // A downloaded record: a signal goes to the history-signal hook, a bar of the chart's
    // instrument older than the oldest bar held (OlderBar) to the back of the raw list, anything
    // else is dropped: a page answered with bars the series holds adds none of them twice.
    // Returns whether a bar was added.
    bool AppendHistoryBar(const BarRecord& r, std::uint64_t generation = kAnyGeneration);
    // The same for a run of records (one item of a transfer) under one lock.
    std::size_t AppendHistoryBars(const BarRecord* records, std::size_t count,
                                  std::uint64_t generation = kAnyGeneration);
    void AddFinishedBar(const BarRecord& r) { store_.AddFinishedBar(r); }
    void HoldFinishedBar(const BarRecord& r) { store_.HoldFinishedBar(r); }
    // The live bar from the push link.
    LiveResult LiveUpdate(const BarRecord& r);
    bool CurrentLiveBar(BarRecord& bar) const { return store_.CurrentLiveBar(bar); }
    BarKey OldestBarKey() const { return store_.OldestBarKey(); }
    std::size_t BarCount() const { return store_.BarCount(); }
    std::vector<BarRecord> RawBars() const { return store_.RawBars(); }
    // The display list of the current bars in the type of the last layout: the raw bars or
    // their Heikin Ashi bars, without a live bar at the front (empty before any layout).
    std::vector<BarRecord> DisplayBars() const;

    using FinishedSeries = SeriesStore::FinishedSeries;
    FinishedSeries FinishedBars(std::uint64_t generation = kAnyGeneration) const {
        return store_.FinishedBars(generation);
    }

    // --- History list (the cached bars waiting for the download) ---

    void SetHistory(std::deque<BarRecord> cached) { store_.SetHistory(std::move(cached)); }
    BarKey NewestHistoryKey() const { return store_.NewestHistoryKey(); }
    std::size_t HistorySize() const { return store_.HistorySize(); }
    bool MergeHistory(std::uint64_t generation = kAnyGeneration) {
        return store_.MergeHistory(generation);
    }

    // --- Layout ---

    void SetClientSize(int width, int height);
    int ClientWidth() const { return clientWidth_.load(); }
    int ClientHeight() const { return clientHeight_.load(); }
    // Rebuilds the display list and the geometry. Returns false when it stopped early (no
    // bars, or a chart narrower than 50 pixels or without height) and kept the old geometry.
    bool Layout();

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

    // Interaction state (the next layout clamps what needs clamping).
    void SetZoom(float zoom);
    void SetFirstVisible(int index);
    void SetVerticalOffset(int offset);
    void SetCross(int x, int y);
    void SetSelected(int index);
    void SetMode(ChartMode mode);
    void SetDragStart(int x, int y);

    // --- Signals and tools ---

    template <class F>
    decltype(auto) WithSignals(F&& f) {
        std::lock_guard lock(signalLock_);
        return f(signals_);
    }
    template <class F>
    decltype(auto) WithTools(F&& f) {
        std::lock_guard lock(toolLock_);
        return f(tools_);
    }

  private:
    // The tools of the reset of `generation`, delivered by the reload hook: they go before any
    // the user drew since, unless the chart has been reset again; with bars to show, the chart
    // is laid out and repainted.
    void DeliverTools(std::uint64_t generation, std::vector<ToolLineRecord> tools);
    // Whether the chart still exists, for deliveries that come from other threads.
    struct ToolGate {
        std::mutex mutex;
        bool alive = true;
    };
    const std::shared_ptr<ToolGate> toolGate_ = std::make_shared<ToolGate>();

    // The steps of Layout, in their order (see there).
    struct LayoutPass;
    bool LayOutPlot(LayoutPass& pass) const;
    void LayOutRange(LayoutPass& pass, SeriesStore::Locked& bars);  // and display, layout lock
    void CopyVisible(const LayoutPass& pass, SeriesStore::Locked& bars);  // likewise
    void LayOutScale(LayoutPass& pass);                                   // display and layout lock
    void LayOutBars(LayoutPass& pass);                                    // likewise
    void LayOutIndicators();                                              // layout lock
    void NoteIndicatorTop(const IndicatorRows& rows);                     // layout lock
    void LayOutOverlays(const LayoutPass& pass);
    void SettleCross(LayoutPass& pass);

    SeriesStore store_;  // the bar lock
    mutable std::mutex displayLock_;
    mutable std::mutex layoutLock_;
    mutable std::mutex signalLock_;
    mutable std::mutex toolLock_;
    mutable std::mutex productLock_;  // leaf lock of the product record copy

    // Display lock: the visible part of the display list at the last layout (the drawn bars and
    // the raw bars at the same positions), the display list's front after the live bar left it
    // (what a live update's Heikin Ashi bar follows), and the type of that layout.
    std::vector<BarRecord> shown_;
    std::vector<BarRecord> shownRaw_;
    BarRecord displayFront_{};
    int displayType_ = 0;                // 0 before any layout
    std::vector<BarGeometry> geometry_;  // layout lock; newest first
    SignalList signals_;                 // signal lock
    std::vector<ToolLineRecord> tools_;  // tool lock; order of arrival

    InstrumentRecord product_{};  // product lock

    std::atomic<int> type_{chart_type::Candles};
    std::atomic<int> clientWidth_{0};
    std::atomic<std::uint64_t> captionFigureSpan_{0};
    std::atomic<int> clientHeight_{0};

    ChartState st_;                  // layout lock
    IndicatorLines indicatorLines_;  // layout lock; laid out only while indicators_ is not 0
    std::vector<IndicatorRows> indicatorRows_;  // layout lock; beside geometry_
    // The highest (smallest) row any indicator line reaches, so that a repaint above it walks
    // no line; a live update only ever lowers it until the next layout.
    std::atomic<std::int32_t> indicatorTop_{std::numeric_limits<std::int32_t>::max()};
    std::atomic<unsigned> indicators_{0};
};

// The chart's part of a market record (after the quote update): a record of the chart's
// instrument whose open, close, high and low are all above 0 goes in as a finished bar (kept
// aside until the first transfer is merged while the history is not loaded), or as the live-bar
// update once the history has been loaded; anything else leaves the chart alone.
enum class ChartFeed { NotForChart, Finished, Live, LiveBeforeHistory };
ChartFeed FeedChart(KLineData& chart, const BarRecord& record, bool historyLoaded);

}  // namespace zq
