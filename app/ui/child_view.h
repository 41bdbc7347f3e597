// The main view: the frame's client area. It holds the left panel (price scale and data window)
// and the chart window side by side, lays them out, forwards the chart's keys, and runs the
// period timer of the link check. The server links themselves (the push link, the history
// transfers, the link check's logic, the log-out orders and the chart data they feed) belong to
// the client core: the view opens them for itself when it is made, and they reach it only
// through the hooks it gives them and the window messages they post to it. Callers reach the
// links through Links() or the core.
//
// Lifetime. The link workers reach the trading model, the core's message store and the chart's
// hooks through the links' gate; the view's destructor closes the links, which closes the gate.
#pragma once

#include <QFrame>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/client_core.h"
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
    // Opens the core's server links for this view, with the chart on the last chosen
    // instrument.
    explicit CChildView(ClientCore& core, QWidget* parent = nullptr);
    ~CChildView() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // The server links and the chart data they feed.
    ServerLinks& Links() { return *links_; }
    const ServerLinks& Links() const { return *links_; }

    // Ends this copy of the program and starts a new one, after a log-out order has been shown.
    // The default (also when `closeAndRestart` is empty) closes the top-level window and starts
    // the program file again.
    void SetCloseAndRestart(std::function<void()> closeAndRestart);

    // The chart window (object name "CKMain") and the left panel ("CLeftTips").
    CKMain* ChartWindow() const { return chartWindow_; }
    CLeftTips* LeftPanel() const { return leftPanel_; }
    // Where the chart's context-menu commands go (the main frame).
    void SetChartCommand(std::function<void(int command)> command);

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

    ClientCore& core_;
    ServerLinks* links_ = nullptr;  // the core's, while this view exists
    CLeftTips* leftPanel_ = nullptr;
    CKMain* chartWindow_ = nullptr;
    std::function<void(int)> chartCommand_;
    QTimer* linkCheck_ = nullptr;  // the link check's period
};

}  // namespace zq
