// The client's copy of the simulated account that the server keeps: the instruments' trading
// rules and prices, the open positions, the pending orders, the position summary and the
// account block; the loads that refill them from the server, the account figures derived from
// them, and the quote update that keeps them live between loads.
//
// The application owns one TradingModel for the life of the process; tests make their own.
//
// Locking. The lists are the model's own: each has its lock, and nothing outside the model
// touches a list or a lock. A reader takes a copy (Positions(), PositionByTicket, ...), or,
// where a copy per call would cost (a layout, a quote on a report page), visits the list: the
// visitor runs under the list's lock, must not keep a reference past its return and must not
// call back into the model. Writers outside the loads replace a whole list (SetPositions, ...),
// as a load does. Where the model holds several locks together it takes them in the order
// instrument, position, order, summary, account (the order the members are declared in); a
// visitor holds one. Code that needs an instrument record while walking positions or orders
// copies it with FindInstrument before visiting the list. No lock is held while the model talks
// to the network or sends a notification to a window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ui_bridge.h"
#include "market/wire/bar_record.h"
#include "net/wire/socket.h"
#include "trading/wire/decimal.h"
#include "trading/wire/profit.h"
#include "trading/wire/records.h"
#include "trading/wire/rules.h"

namespace zq {

// Messages of the loads.
inline constexpr const char* kPositionsLoadFailedText = "获取持仓信息失败";
inline constexpr const char* kAccountLoadFailedText = "获取账户信息失败";

// `cmd::LoadTradingHours` on an open connection: reads the int32 answer (not used by the client)
// into `answer` when given. A failed header send shows "获取账户信息失败".
bool LoadTradingHours(Socket& s, std::int32_t* answer = nullptr);

class TradingModel {
  public:
    // The alert checks, run at the end of every quote update after all locks are released:
    // the market record and the account's floating profit/loss just computed.
    using AlertHook = std::function<void(const BarRecord& record, double floatingProfit)>;
    // Asks the chart to lay itself out again and repaint its overlays.
    using ChartRefresh = std::function<void()>;
    // Where the two diagnostic lines go ("kTypeInfoList完成\n", "kDelegateInfoList完成\n").
    using DebugSink = std::function<void(std::string_view line)>;

    TradingModel();
    ~TradingModel();
    TradingModel(const TradingModel&) = delete;
    TradingModel& operator=(const TradingModel&) = delete;

    // --- Copies, each taken under its own lock. ---

    // The first instrument with this id; a zeroed record carrying only the id when none has.
    InstrumentRecord FindInstrument(std::int32_t id) const;
    std::vector<InstrumentRecord> Instruments() const;
    std::vector<PositionRecord> Positions() const;
    std::vector<PendingOrderRecord> Orders() const;
    std::vector<PositionRecord> Summary() const;
    AccountBlock Account() const;
    // The record with this key, copied under its list's lock; nothing when none has it. Tickets
    // and order numbers are compared as the text they show (UTF-8).
    std::optional<InstrumentRecord> InstrumentById(std::int32_t id) const;
    std::optional<PositionRecord> PositionByTicket(std::string_view ticket) const;
    std::optional<PendingOrderRecord> OrderByNumber(std::string_view number) const;

    // --- Visits: `f(list)` with the list as const, under its lock; returns what `f` returns. ---
    template <class F>
    decltype(auto) VisitInstruments(F&& f) const {
        return Visit(instrumentLock_, instruments_, std::forward<F>(f));
    }
    template <class F>
    decltype(auto) VisitPositions(F&& f) const {
        return Visit(positionLock_, positions_, std::forward<F>(f));
    }
    template <class F>
    decltype(auto) VisitOrders(F&& f) const {
        return Visit(orderLock_, orders_, std::forward<F>(f));
    }
    template <class F>
    decltype(auto) VisitSummary(F&& f) const {
        return Visit(summaryLock_, summary_, std::forward<F>(f));
    }

    // --- Whole lists replaced, as the loads replace them: each swaps the list in under its
    // lock. SetAccount takes the block as it is; RecomputeAccount makes its derived figures. ---
    void SetInstruments(std::vector<InstrumentRecord> list);
    void SetPositions(std::vector<PositionRecord> list);
    void SetOrders(std::vector<PendingOrderRecord> list);
    void SetSummary(std::vector<PositionRecord> list);
    void SetAccount(const AccountBlock& block);

    // Equity, floating profit/loss, available margin, risk rate and average return of the
    // account block, from the position list and the instruments' current prices. True when the
    // account stands at the margin-call level, where the server liquidates.
    bool RecomputeAccount();

    // --- Loads on an open request connection; several may follow on one connection. ---
    // A list is read into a buffer first and swapped in under its lock. Each returns true when
    // the whole answer arrived.

    // `cmd::LoadInstruments`. A positive count replaces the list with the records that arrived
    // whole; a count of 0 or less, or one above the list cap, leaves it as it was. A record that
    // cannot be reckoned with (an id outside the catalogue's 1..42 or one already listed,
    // decimals or lot decimals outside 0..9, a figure that is not a finite number, negative lot
    // rules) is left out and the load reads as failed. Silent on failure.
    bool LoadInstruments(Socket& s);
    // `cmd::LoadSummary`, `cmd::LoadPositions`, `cmd::LoadPending`: the list is replaced by the
    // records that arrived whole once the count has been read; a failure before that, or a count
    // above the list cap, keeps the old list. A record with a figure that is not a finite number is
    // left out and the load fails. Failures show "获取持仓信息失败".
    bool LoadPositionSummary(Socket& s);
    bool LoadPositions(Socket& s);
    bool ReloadOrders(Socket& s);
    // `cmd::LoadAccount`: the block is zeroed and takes what arrived, and the account figures are
    // recomputed from it. Failures show "获取账户信息失败".
    bool LoadAccount(Socket& s);
    // Summary; positions if that succeeded; account if that succeeded.
    bool ReloadPositions(Socket& s);

    // The sequences used by the application, each on the given connection:
    // after the main frame is shown: ReloadPositions, ReloadOrders, RecomputeAccount.
    void InitialLoad(Socket& s);
    // re-initialisation of the chart data: ReloadOrders, then ReloadPositions.
    void Reinitialise(Socket& s);

    // The same, each on a connection of its own (the connect message, owned by `owner`, when it
    // cannot be opened; then nothing is loaded).
    bool ReloadPositions(WindowHandle owner);
    bool ReloadOrders(WindowHandle owner);
    void InitialLoad(WindowHandle owner);
    void Reinitialise(WindowHandle owner);

    // After a trade the server accepted: the reload, RecomputeAccount, then the trade sound and
    // the chart laid out again. Positions: ReloadPositions (a new or closed position); orders:
    // ReloadOrders and the account block (a placed, changed or deleted pending order).
    enum class TradeReload { Positions, Orders };
    void ReloadAfterTrade(Socket& s, TradeReload what);
    // The same on a connection of its own; the sound and the refresh also when it cannot be
    // opened (the connect message is owned by `owner`).
    void ReloadAfterTrade(WindowHandle owner, TradeReload what);

    // Replaces the position whose ticket equals `changed`'s, byte for byte, with `changed`;
    // false when none does.
    bool ReplacePosition(const PositionRecord& changed);

    // Asks the chart to lay itself out again and repaint its overlays.
    void RefreshChart();

    // A new trading signal while programmatic trading is on (the caller checks the flag): on one
    // connection ReloadOrders then ReloadPositions, then WM_POSITIONS_CHANGED and
    // WM_ORDERS_CHANGED to every tick listener. Nothing when the connection cannot be opened.
    void ReloadAfterSignal();

    // --- The quote update, for every market record of the push link that is not a signal. ---
    // Nothing happens unless the main view exists.
    void QuoteUpdate(const BarRecord& record);

    // --- Tick listeners: windows that receive WM_QUOTE_TICK (lParam: a copy of the market
    // record, or 0), WM_POSITIONS_CHANGED and WM_ORDERS_CHANGED. ---
    // Removes an earlier entry of the same window, then appends it.
    void RegisterTickListener(WindowHandle window);
    void UnregisterTickListener(WindowHandle window);
    std::vector<WindowHandle> TickListeners() const;
    // Drops listeners whose window no longer exists, then sends to every other one, in list
    // order and synchronously: WM_POSITIONS_CHANGED when `positionsChanged`, WM_ORDERS_CHANGED
    // when `ordersChanged`, then WM_QUOTE_TICK with `marketRecord` when it is given. Must be
    // called with no model lock held.
    void NotifyTickListeners(bool positionsChanged, bool ordersChanged,
                             const BarRecord* marketRecord = nullptr);

    // --- Wiring by the application. ---
    void SetMainView(WindowHandle view) { mainView_.store(view); }
    void SetAlertHook(AlertHook hook);
    void SetChartRefresh(ChartRefresh refresh);
    void SetDebugSink(DebugSink sink);  // default: standard error

  private:
    template <class List, class F>
    static decltype(auto) Visit(std::mutex& lock, const List& list, F&& f) {
        std::lock_guard<std::mutex> guard(lock);
        return std::forward<F>(f)(list);
    }
    // Swaps `fresh` in under `lock`; the old list goes with `fresh`, after the lock is released.
    template <class List>
    static void Replace(std::mutex& lock, List& list, List& fresh) {
        std::lock_guard<std::mutex> guard(lock);
        list.swap(fresh);
    }
    template <typename Record>
    bool LoadList(Socket& s, std::int32_t command, const void* payload, std::size_t payloadSize,
                  std::mutex& lock, std::vector<Record>& list, bool* refilled = nullptr);
    void Debug(std::string_view line);

    // The lists and their locks, in lock order.
    mutable std::mutex instrumentLock_;
    std::vector<InstrumentRecord> instruments_;  // server order
    mutable std::mutex positionLock_;
    std::vector<PositionRecord> positions_;  // server order
    mutable std::mutex orderLock_;
    std::vector<PendingOrderRecord> orders_;  // server order
    mutable std::mutex summaryLock_;
    std::vector<PositionRecord> summary_;  // one per instrument and direction, server order
    mutable std::mutex accountLock_;
    AccountBlock account_{};

    std::atomic<WindowHandle> mainView_{nullptr};

    // RecomputeAccount's working memory, kept between calls so that a quote update allocates
    // nothing: the instruments' prices and, per position, the last profit with the figures it
    // came from. Its lock is taken before any list lock and held for the whole recomputation.
    struct AccountScratch;
    std::mutex scratchLock_;
    std::unique_ptr<AccountScratch> scratch_;

    // Guards the tick listener list and the wiring; held only for the list operation itself.
    mutable std::mutex listenerLock_;
    std::vector<WindowHandle> listeners_;
    // Shared, so that a quote update takes it with a reference count rather than a copy.
    std::shared_ptr<const AlertHook> alertHook_;
    ChartRefresh chartRefresh_;
    DebugSink debugSink_;
};

}  // namespace zq
