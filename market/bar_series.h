// The chart's series: its bars (SeriesStore, series_store.h), their layout (SeriesLayout,
// series_layout.h), the signal and tool lists, the product record, the chart type and
// indicators, and the hooks through which it reaches the rest of the program. KLineData joins
// them: it resets them together, hands the layout its overlays, and calls the hooks once every
// lock is released.
//
// Who calls what:
//   - the history transfer: after a reload, SetHistory with the cached bars it read for the
//     reset's generation; AppendHistoryBars for every downloaded item, then MergeHistory,
//     WriteHistoryCache (history_cache.h) if the merge says so, then Layout;
//   - the push link: FeedChart (at the end of this file), which takes a record of the chart's
//     instrument (ChartAccepts) as a finished bar (AddFinishedBar, or HoldFinishedBar before the
//     first merge) or, once the history has been loaded, as the live bar (LiveUpdate: the store
//     takes it, the layout moves the newest bar or asks for a layout, the hooks repaint);
//   - the view: Reset(instrument, period) on every instrument or period change, SetClientSize
//     on resize, Layout; painting reads WithGeometry.
//
// Locks. The bar lock (the store's), the display and layout locks (the layout's), the signal,
// tool and product locks (here), one per container. Where two are held at once they are taken
// bar before display, bar before layout (the reset, and the layout while it copies the visible
// bars) and display before layout; inside display + layout, with the bar lock released, the
// layout's overlays take the tool lock, the signal lock and (through the trading overlays' hook)
// the trading model's position and order locks one at a time, then the lock of the chart's
// trade overlays. Before it takes the bar lock, the layout takes the tool lock alone for the
// tools' anchor texts, and the product lock alone for the decimals. No other operation holds
// two chart locks.
//
// Cost. A layout, a live update and a finished bar touch only the visible bars, whatever the
// length of the series (see series_layout.h and series_store.h). Hooks are set before the chart
// is shared between threads; invalidation, data-window, price-scale and cross hooks are called
// with no chart lock held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "market/bar_geometry.h"
#include "market/indicators.h"
#include "market/series_layout.h"
#include "market/series_store.h"
#include "market/signal_list.h"
#include "market/wire/bar_record.h"
#include "market/wire/tool_record.h"
#include "trading/wire/records.h"

namespace zq {

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
    std::int32_t IndicatorTop() const { return layout_.IndicatorTop(); }
    void SetCaptionFigureSpan(int left, int right) { layout_.SetCaptionFigureSpan(left, right); }

    // --- Series (series_store.h) ---

    // A downloaded record: a signal goes to the history-signal hook, a bar of the chart's
    // instrument older than the oldest bar held to the back of the raw list, anything else is
    // dropped. Returns whether a bar was added.
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

    bool SetHistory(std::deque<BarRecord> cached, std::uint64_t generation = kAnyGeneration) {
        return store_.SetHistory(std::move(cached), generation);
    }
    BarKey NewestHistoryKey() const { return store_.NewestHistoryKey(); }
    std::size_t HistorySize() const { return store_.HistorySize(); }
    bool MergeHistory(std::uint64_t generation = kAnyGeneration) {
        return store_.MergeHistory(generation);
    }

    // --- Layout (series_layout.h) ---

    void SetClientSize(int width, int height) { layout_.SetClientSize(width, height); }
    int ClientWidth() const { return layout_.ClientWidth(); }
    int ClientHeight() const { return layout_.ClientHeight(); }
    // Rebuilds the display list and the geometry, then tells the hooks. Returns false when it
    // stopped early (no bars, or a chart narrower than 50 pixels or without height) and kept
    // the old geometry.
    bool Layout();

    ChartState State() const { return layout_.State(); }
    std::vector<BarGeometry> Geometry() const { return layout_.Geometry(); }
    template <class F>
    void WithGeometry(F&& f) const {
        layout_.WithGeometry(std::forward<F>(f));
    }
    template <class F>
    void WithLayout(F&& f) const {
        layout_.WithLayout(std::forward<F>(f));
    }
    int BarUnderX(int x) const { return layout_.BarUnderX(x); }

    // Interaction state (the next layout clamps what needs clamping).
    void SetZoom(float zoom) { layout_.SetZoom(zoom); }
    void SetFirstVisible(int index) { layout_.SetFirstVisible(index); }
    void SetVerticalOffset(int offset) { layout_.SetVerticalOffset(offset); }
    void SetCross(int x, int y) { layout_.SetCross(x, y); }
    void SetSelected(int index) { layout_.SetSelected(index); }

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

    // The layout's overlay steps: the tools' anchor times and the signal, trading and tool
    // hooks, each under its list's lock.
    struct Overlays final : LayoutOverlays {
        explicit Overlays(KLineData& c) : chart(c) {}
        void AnchorTimes(std::vector<std::string>& times) override;
        void Place(const LayoutContext& ctx) override;
        KLineData& chart;
    };

    SeriesStore store_;    // the bar lock
    SeriesLayout layout_;  // the display and layout locks
    Overlays overlays_{*this};

    mutable std::mutex signalLock_;
    mutable std::mutex toolLock_;
    mutable std::mutex productLock_;  // leaf lock of the product record copy

    SignalList signals_;                 // signal lock
    std::vector<ToolLineRecord> tools_;  // tool lock; order of arrival
    InstrumentRecord product_{};         // product lock

    std::atomic<int> type_{chart_type::Candles};
    std::atomic<unsigned> indicators_{0};
};

// The chart's part of a market record (after the quote update): a record of the chart's
// instrument whose open, close, high and low are all above 0 goes in as a finished bar (kept
// aside until the first transfer is merged while the history is not loaded), or as the live-bar
// update once the history has been loaded; anything else leaves the chart alone.
enum class ChartFeed { NotForChart, Finished, Live, LiveBeforeHistory };
ChartFeed FeedChart(KLineData& chart, const BarRecord& record, bool historyLoaded);

}  // namespace zq
