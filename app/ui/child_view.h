// The main view: the frame's client area. It holds the left panel (price scale and data window)
// and the chart window side by side, lays them out, forwards the chart's keys, and runs the
// period timer of the link check. The server links themselves (the push link, the history
// transfers, the link check's logic, the log-out orders and the chart data they feed) live in
// ServerLinks, which the view owns and reaches windows only through the hooks the view gives it
// and the window messages it posts to the view; most of the view's link methods hand on to it.
//
// Lifetime. The link workers reach the trading model, the frame's message store and the
// chart's hooks through the links' gate, which ShutdownLinks closes; the frame calls it before
// its own members go, and the destructor calls it in any case.
#pragma once

#include <QFrame>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "market/bar_series.h"
#include "net/server_links.h"
#include "widgets/ui/qt_bridge.h"

class QTimer;

namespace zq {

class CKMain;
class CLeftTips;

class CChildView : public QFrame, public MessageWindow {
    Q_OBJECT
  public:
    explicit CChildView(QWidget* parent = nullptr);
    ~CChildView() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // The server links and the chart data they feed.
    ServerLinks& Links() { return *links_; }
    const ServerLinks& Links() const { return *links_; }

    // --- Wiring, before the first RebuildLinks (the workers read these without a lock). ---
    // Every market record of the push link, before the chart sees it (the quote update).
    void SetQuoteSink(std::function<void(const BarRecord&)> sink);
    // Instant messages of the push link: UTF-8 text, seconds since 1970.
    void SetMessageSink(std::function<void(const std::string& text, std::int32_t time)> sink);
    // Ends this copy of the program and starts a new one, after a log-out order has been shown.
    // The default (also when `closeAndRestart` is empty) closes the top-level window and starts
    // the program file again.
    void SetCloseAndRestart(std::function<void()> closeAndRestart);

    // --- Instrument and period of the chart. ---
    int CurrentInstrument() const { return links_->CurrentInstrument(); }
    int CurrentPeriod() const { return links_->CurrentPeriod(); }
    // Takes the number (1..42) and gives it to the chart; RebuildLinks loads it.
    void SetCurrentInstrument(int instrument) { links_->SetCurrentInstrument(instrument); }
    void SetCurrentPeriod(int minutes) { links_->SetCurrentPeriod(minutes); }

    // --- The links (see ServerLinks). ---
    void RebuildLinks() { links_->RebuildLinks(); }
    bool PageHistory() { return links_->PageHistory(); }
    void ClosePushLink() { links_->ClosePushLink(); }
    void ShutdownLinks() { links_->ShutdownLinks(); }

    // The link check, driven by the view's timer.
    void OnLinkCheck() { links_->OnLinkCheck(); }
    void SetLinkCheckPeriod(int ms) { links_->SetLinkCheckPeriod(ms); }
    int LinkCheckPeriod() const { return links_->LinkCheckPeriod(); }
    bool LinkCheckRunning() const { return links_->LinkCheckRunning(); }
    int RebuildCount() const { return links_->RebuildCount(); }

    bool HistoryLoaded() const { return links_->HistoryLoaded(); }
    bool HistoryBusy() const { return links_->HistoryBusy(); }
    bool PushConnected() const { return links_->PushConnected(); }
    const HistoryLink& History() const { return links_->History(); }

    // --- The chart. ---
    KLineData& Chart() { return links_->Chart(); }
    const std::shared_ptr<KLineData>& ChartData() const { return links_->ChartData(); }
    // The chart window (object name "CKMain") and the left panel ("CLeftTips").
    CKMain* ChartWindow() const { return chartWindow_; }
    CLeftTips* LeftPanel() const { return leftPanel_; }
    // Where the chart's context-menu commands go (the main frame).
    void SetChartCommand(std::function<void(int command)> command);

    // The trading-signal feed, and a copy of its 50 announcement flags (one per instrument).
    SignalFeed& Signals() { return links_->Signals(); }
    zq::SignalFlags SignalFlags() const { return links_->SignalFlags(); }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    // Escape and the arrow keys go to the chart.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateChildWindows();
    void Relayout();
    // The default end after a log-out order: the top-level window closes, the program starts
    // again.
    void CloseAndRestart();

    std::unique_ptr<ServerLinks> links_;
    CLeftTips* leftPanel_ = nullptr;
    CKMain* chartWindow_ = nullptr;
    std::function<void(int)> chartCommand_;
    QTimer* linkCheck_ = nullptr;  // the link check's period
};

}  // namespace zq
