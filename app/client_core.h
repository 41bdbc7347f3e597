// The client without its windows: the composition root of everything the windows show. It owns
// the trading model, the message store, the price and profit alert lists with the alert check
// of every quote, the member's drawing tools, and (while the main view exists) the server links
// with the signal feed and the chart data they feed. It wires them to each other: the quote
// update runs on every market record before the chart, the alert check at the end of every
// quote update, instant messages and signal announcements go to the message store, and a new
// message is posted to the main frame. It runs the start-up loads.
//
// The application makes one after the login and gives the windows references to it:
//
//   ClientCore core;
//   core.StartupLoad(owner);                        // 54, 1, 8, 56, 44 on one connection
//   CMainFrame frame(core, services);               // its view opens the links:
//   //   core.OpenLinks(view, instrument, hooks);   // 42, the quote sink, the model's hooks
//   core.Model().InitialLoad(owner);                // 20, 16, 17, 21 and the pending orders
//   core.Links().RebuildLinks();                    // history and the push link
//
// Lifetime. The windows go before the core. The view closes the links (CloseLinks) when it
// goes, which waits until no link worker reaches the model or the stores any more.
#pragma once

#include <memory>
#include <vector>

#include "base/ui_bridge.h"
#include "chart/tool_store.h"
#include "net/server_links.h"
#include "net/wire/socket.h"
#include "reports/alert_check.h"
#include "reports/alerts.h"
#include "reports/message_store.h"
#include "trading/model.h"

namespace zq {

class ClientCore {
  public:
    ClientCore();
    ~ClientCore();
    ClientCore(const ClientCore&) = delete;
    ClientCore& operator=(const ClientCore&) = delete;

    TradingModel& Model() { return model_; }
    const TradingModel& Model() const { return model_; }
    MessageStore& Messages() { return messages_; }
    AlertList<PriceAlertRecord>& PriceAlerts() { return priceAlerts_; }
    AlertList<ProfitAlertRecord>& ProfitAlerts() { return profitAlerts_; }
    // The alert check of every quote and the registration of the price alert dialog.
    AlertCheck& Alerts() { return alertCheck_; }
    // The member's drawing tools as the server keeps them.
    ToolStore& Tools() { return tools_; }

    // The main frame, told of every new message (WM_NEW_MESSAGE, wparam the sound id); null
    // tells no window.
    void SetMessageWindow(WindowHandle frame);

    // The start-up loads on one request connection, each running whatever the one before
    // gave: the trading hours (54), the instruments (1), the price and profit alerts (8, 56)
    // and the stored messages (44). Nothing when the connection cannot be opened (its message
    // box is owned by `owner`).
    void StartupLoad(WindowHandle owner);
    // The same on an open connection, left open.
    void StartupLoad(Socket& s);
    // The instrument ids of the instrument list, in list order.
    std::vector<int> ListedInstruments() const;

    // Makes the server links for the main view `view` (the workers post to it) with the chart
    // on `instrument`, and wires them: every market record passes the quote update before the
    // chart, the chart's product records come from the instrument list, instant messages and
    // signal announcements go to the message store, and a reload of positions or orders posts
    // WM_CHART_RELAYOUT to the view. Loads the signal flags (42). Links made before are closed
    // first.
    ServerLinks& OpenLinks(WindowHandle view, int instrument, ServerLinks::WindowHooks hooks);
    // Stops the links and lets them go (the view's destructor). Idempotent.
    void CloseLinks();
    bool HasLinks() const { return links_ != nullptr; }
    // The links, between OpenLinks and CloseLinks.
    ServerLinks& Links() { return *links_; }
    const ServerLinks& Links() const { return *links_; }
    // The trading-signal feed of the links.
    SignalFeed& Signals() { return links_->Signals(); }

  private:
    TradingModel model_;
    MessageStore messages_;
    AlertList<PriceAlertRecord> priceAlerts_;
    AlertList<ProfitAlertRecord> profitAlerts_;
    AlertCheck alertCheck_{&model_, priceAlerts_, profitAlerts_, messages_};
    ToolStore tools_;
    // Last, so that the link workers stop before anything they reach goes.
    std::unique_ptr<ServerLinks> links_;
};

}  // namespace zq
