// The main view: the frame's client area. It holds the left panel (price scale and data window)
// and the chart window side by side, owns the chart's bar series, and keeps the two server
// links: the push link with its reader and the history transfers on the data link, watched by
// a 30-second link check. The server's log-out orders come back to it as window messages.
//
// The chart data. The view owns the KLineData the chart window draws from, in shared
// ownership with the link workers (Chart(), ChartData()). The workers feed it on their
// threads; its hooks post to the chart window, which repaints itself (or a band of it) on the
// user-interface thread.
//
// Lifetime. The workers are never joined. They hold only shared state (the links, the chart)
// and reach everything else (the trading model, the frame's message store, the chart's hooks,
// windows) through one gate that ShutdownLinks closes; the frame calls it before its own
// members go, and the destructor calls it in any case.
#pragma once

#include <QFrame>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/ui/qt_bridge.h"
#include "market/bar_series.h"
#include "net/history_loader.h"
#include "net/push_link.h"

class QTimer;

namespace zq {

class CKMain;
class CLeftTips;

inline constexpr int kLinkCheckMs = 30000;

inline constexpr const char* kForcedOfflineText = "检测到同一账户已在其它地方登录，您被迫下线";
inline constexpr const char* kPushLinkClosedText = "网络连接已经断开并且无法自动重连，请重新登录";

class CChildView : public QFrame, public MessageWindow {
    Q_OBJECT
  public:
    explicit CChildView(QWidget* parent = nullptr);
    ~CChildView() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // --- Wiring, before the first RebuildLinks (the workers read these without a lock). ---
    // Every market record of the push link, before the chart sees it (the quote update).
    void SetQuoteSink(std::function<void(const BarRecord&)> sink);
    // Instant messages of the push link: UTF-8 text, seconds since 1970.
    void SetMessageSink(std::function<void(const std::string& text, std::int32_t time)> sink);
    // Ends this copy of the program and starts a new one, after a log-out order has been shown.
    // The default closes the top-level window and starts the program file again.
    void SetCloseAndRestart(std::function<void()> closeAndRestart);

    // --- Instrument and period of the chart. ---
    int CurrentInstrument() const { return currentInstrument_; }
    int CurrentPeriod() const { return currentPeriod_; }
    // Takes the number (1..42) and gives it to the chart; RebuildLinks loads it.
    void SetCurrentInstrument(int instrument);
    void SetCurrentPeriod(int minutes);

    // --- The links. ---
    // Reloads the chart: loaded flag cleared, chart reset to the current instrument and period,
    // cache read, a history transfer started (stopping any earlier one) with the newest cached
    // bar as key A, the push link connected if it is not, and the children laid out again.
    void RebuildLinks();
    // Older history for the Left and Down keys: starts a transfer unless one is busy or the
    // keys show there is nothing older to fetch. Returns whether one started.
    bool PageHistory();
    // Shuts the push socket down and records none (re-login, close).
    void ClosePushLink();
    // Stops both links and the link check and waits until no worker is inside the program's
    // objects; afterwards the workers touch nothing but their own state. Idempotent.
    void ShutdownLinks();

    // The link check: rebuilds the links when no keep-alive came since the last check.
    void OnLinkCheck();
    void SetLinkCheckPeriod(int ms);
    int LinkCheckPeriod() const { return linkCheckMs_; }
    bool LinkCheckRunning() const;
    int RebuildCount() const { return rebuilds_; }

    bool HistoryLoaded() const { return history_->Loaded(); }
    bool HistoryBusy() const { return history_->Busy(); }
    bool PushConnected() const { return push_->Recorded(); }
    const HistoryLink& History() const { return *history_; }

    // --- The chart. ---
    KLineData& Chart() { return *chart_; }
    const std::shared_ptr<KLineData>& ChartData() const { return chart_; }
    // The chart window (object name "CKMain") and the left panel ("CLeftTips").
    CKMain* ChartWindow() const { return chartWindow_; }
    CLeftTips* LeftPanel() const { return leftPanel_; }
    // Where the chart's context-menu commands go (the main frame).
    void SetChartCommand(std::function<void(int command)> command);

    // The 50 signal notification flags, one per instrument.
    const std::array<std::uint8_t, 50>& SignalFlags() const { return signalFlags_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    // Escape and the arrow keys go to the chart.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // Shared by the view and the push reader's handlers.
    struct Sinks {
        std::function<void(const BarRecord&)> quote;
        std::function<void(const std::string&, std::int32_t)> message;
    };

    void CreateChildWindows();
    void Relayout();
    // The flags of the trading-signal announcements (command 42). Loaded by the signal feed.
    void LoadSignalFlags();
    // A trading signal from the push link (reader thread). Taken in by the signal feed.
    void SignalIntake(const BarRecord& signal);
    void ConnectPushLink();
    HistoryLink::Endpoint DataEndpoint() const;
    void OnLogoutOrder(unsigned msg);

    std::shared_ptr<LinkGate> gate_;
    std::shared_ptr<KLineData> chart_;
    std::shared_ptr<Sinks> sinks_;
    std::shared_ptr<PushLink> push_;
    std::shared_ptr<HistoryLink> history_;
    std::function<void()> closeAndRestart_;

    int currentInstrument_ = 1;
    int currentPeriod_ = 15;
    std::array<std::uint8_t, 50> signalFlags_{};

    CLeftTips* leftPanel_ = nullptr;
    CKMain* chartWindow_ = nullptr;
    std::function<void(int)> chartCommand_;
    QTimer* linkCheck_ = nullptr;  // timer 1
    int linkCheckMs_ = kLinkCheckMs;
    int rebuilds_ = 0;
    bool shutDown_ = false;
};

}  // namespace zq
