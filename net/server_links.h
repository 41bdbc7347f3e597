// The client's two server links and the chart they feed: the push link with its reader, the
// history transfers on the data link, the 30-second link check that rebuilds both when the
// server has gone silent, and the server's log-out orders.
//
// The chart data. The links own the KLineData the chart window draws from, in shared ownership
// with the link workers (Chart(), ChartData()). The workers feed it on their threads; its hooks
// reach the chart window by posting to it.
//
// Windows. Nothing here knows a window. The workers reach the main view only by posting window
// messages to its handle through the window bridge (WM_CHART_INVALIDATE after a transfer has
// been applied, WM_FORCED_OFFLINE or WM_PUSH_LINK_CLOSED for a log-out order); the view hands
// the two orders back to OnLogoutOrder. Everything else the links ask of the windows goes
// through the WindowHooks, which are called on the thread that calls the links, the
// user-interface thread.
//
// The link check has no clock of its own: its owner runs a period timer that calls
// OnLinkCheck, and starts and stops it when the links ask (startLinkCheck, stopLinkCheck).
//
// Lifetime. The workers are never joined. They hold only shared state (the links, the chart)
// and reach everything else (the sinks and whatever they feed, the chart's hooks, windows)
// through one gate that ShutdownLinks closes; the owner calls it before the objects behind the
// sinks go, and the destructor calls it in any case.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/ui_bridge.h"
#include "market/bar_series.h"
#include "market/wire/bar_record.h"
#include "net/history_link.h"
#include "net/push_link.h"
#include "net/signal_feed.h"

namespace zq {

inline constexpr int kLinkCheckMs = 30000;

inline constexpr const char* kForcedOfflineText = "检测到同一账户已在其它地方登录，您被迫下线";
inline constexpr const char* kPushLinkClosedText = "网络连接已经断开并且无法自动重连，请重新登录";

class ServerLinks {
  public:
    // What the links ask of the windows, on the user-interface thread. Any may stay empty.
    struct WindowHooks {
        // The chart has been reset to a new instrument or period: the chart window drops its
        // data window and repaints.
        std::function<void()> chartReset;
        // A rebuild has started: the view lays its children out again.
        std::function<void()> relayout;
        // Ends this copy of the program and starts a new one, after a log-out order has been
        // shown.
        std::function<void()> closeAndRestart;
        // Serves the user-interface thread's queued calls while ShutdownLinks waits for a
        // worker, which may itself be waiting for that thread (a synchronous window message,
        // a message box).
        std::function<void()> serveWindowThread;
        // Starts (or starts again) the link check's period timer, and stops it.
        std::function<void(int periodMs)> startLinkCheck;
        std::function<void()> stopLinkCheck;
    };

    // `window` is the main view, which the workers post to; `instrument` the chart's first.
    ServerLinks(WindowHandle window, int instrument, WindowHooks hooks);
    ~ServerLinks();
    ServerLinks(const ServerLinks&) = delete;
    ServerLinks& operator=(const ServerLinks&) = delete;

    // --- Wiring, before the first RebuildLinks (the workers read these without a lock). ---
    // Every market record of the push link, before the chart sees it (the quote update).
    void SetQuoteSink(std::function<void(const BarRecord&)> sink);
    // Instant messages of the push link: UTF-8 text, seconds since 1970.
    void SetMessageSink(std::function<void(const std::string& text, std::int32_t time)> sink);
    void SetCloseAndRestart(std::function<void()> closeAndRestart);
    // Reads a series' cache file for a rebuild, on the history transfer's thread;
    // ReadHistoryCache unless set (tests plug in a slow one).
    void SetCacheReader(HistoryCacheReader reader);

    // --- Instrument and period of the chart. ---
    int CurrentInstrument() const { return currentInstrument_; }
    int CurrentPeriod() const { return currentPeriod_; }
    // Takes the number (1..42) and resets the chart to it; RebuildLinks loads it.
    void SetCurrentInstrument(int instrument);
    void SetCurrentPeriod(int minutes);

    // --- The links. ---
    // Reloads the chart: loaded flag cleared, chart reset to the current instrument and period,
    // a history transfer started (stopping any earlier one) that reads the cache on its own
    // thread and asks with the newest cached bar as key A, a connect of the push link started
    // on the link's own thread unless it is connected or connecting, and the view laid out
    // again: nothing here waits for the server. A newer rebuild or reset drops what an older read
    // brings.
    void RebuildLinks();
    // Older history for the Left and Down keys: starts a transfer unless one is busy or the
    // keys show there is nothing older to fetch. Returns whether one started.
    bool PageHistory();
    // Shuts the push socket down and records none (re-login, close).
    void ClosePushLink();
    // Stops both links and the link check and waits until no worker is inside the gate,
    // serving the window thread meanwhile; afterwards the workers touch nothing but their own
    // state, and the links do nothing more. Idempotent.
    void ShutdownLinks();
    bool ShutDown() const { return shutDown_; }

    // --- The link check. ---
    // Starts the period timer.
    void StartLinkCheck();
    // One period has passed: unless a keep-alive came since the last check, the push link is
    // dropped and the links are rebuilt, the period counting again from the rebuild.
    void OnLinkCheck();
    void SetLinkCheckPeriod(int ms);
    int LinkCheckPeriod() const { return linkCheckMs_; }
    bool LinkCheckRunning() const { return linkCheckRunning_; }
    int RebuildCount() const { return rebuilds_; }

    // A log-out order posted by the push reader (WM_FORCED_OFFLINE or WM_PUSH_LINK_CLOSED), on
    // the user-interface thread: the link check stops, the push link closes, the order's text
    // is shown and the program closes and restarts. Ignored after ShutdownLinks.
    void OnLogoutOrder(unsigned msg);

    bool HistoryLoaded() const { return history_->Loaded(); }
    bool HistoryBusy() const { return history_->Busy(); }
    // The push link is connected or its connect is under way.
    bool PushConnected() const { return push_->RecordedOrConnecting(); }
    const HistoryLink& History() const { return *history_; }

    KLineData& Chart() { return *chart_; }
    const std::shared_ptr<KLineData>& ChartData() const { return chart_; }

    // The trading-signal feed: live signals of the push link and the signals of history
    // transfers go through it; it holds the 50 announcement flags, loaded at construction.
    SignalFeed& Signals() { return *signals_; }
    // A copy of the announcement flags, one per instrument.
    zq::SignalFlags SignalFlags() const { return signals_->Flags(); }
    // Loads the flags of the trading-signal announcements (`cmd::LoadSignalFlags`), cleared
    // first; all 0 when the server cannot be reached. The links start with them cleared: the
    // owner loads them before the first RebuildLinks, on a worker (it is an exchange).
    void LoadSignalFlags();

  private:
    // Shared by the links, the push reader's handlers and the history transfers.
    struct Sinks {
        std::function<void(const BarRecord&)> quote;
        std::function<void(const std::string&, std::int32_t)> message;
        HistoryCacheReader readCache;
    };

    void ConnectPushLink();
    HistoryLink::Endpoint DataEndpoint() const;
    void StopLinkCheck();

    const WindowHandle window_;
    WindowHooks hooks_;
    std::shared_ptr<LinkGate> gate_;
    std::shared_ptr<KLineData> chart_;
    std::shared_ptr<Sinks> sinks_;
    std::shared_ptr<HistoryLink> history_;
    std::shared_ptr<PushLink> push_;
    std::shared_ptr<SignalFeed> signals_;

    int currentInstrument_ = 1;
    int currentPeriod_ = 15;

    int linkCheckMs_ = kLinkCheckMs;
    bool linkCheckRunning_ = false;
    int rebuilds_ = 0;
    bool shutDown_ = false;
};

}  // namespace zq
