#include "net/server_links.h"

#include <algorithm>

#include "base/config.h"
#include "market/history_cache.h"
#include "net/wire/session.h"
#include "widgets/window_messages.h"

namespace zq {

ServerLinks::ServerLinks(WindowHandle window, int instrument, WindowHooks hooks)
    : window_(window),
      hooks_(std::move(hooks)),
      gate_(std::make_shared<LinkGate>()),
      chart_(std::make_shared<KLineData>()),
      sinks_(std::make_shared<Sinks>()),
      signals_(std::make_shared<SignalFeed>(chart_)),
      currentInstrument_(instrument) {
    // Signals reach the feed from both workers: those of a history transfer through the
    // chart's hook (set before the chart is shared), live ones through the push handler. New
    // ones are announced in the message list, the same one the instant messages go to.
    // The chart holds this hook and the feed holds the chart: the hook keeps only a weak
    // reference, or neither would ever be freed.
    chart_->hooks.historySignal = [weak = std::weak_ptr<SignalFeed>(signals_)](const BarRecord& r) {
        if (auto feed = weak.lock()) feed->HistoryIntake(r);
    };
    signals_->SetAnnounce([sinks = sinks_](const std::string& text, std::int64_t time) {
        if (sinks->message) sinks->message(text, static_cast<std::int32_t>(time));
    });

    // Everything the workers may call reaches windows only by posting to the view's handle.
    HistoryLink::Options options;
    options.chart = chart_;
    options.gate = gate_;
    options.applied = [window] { Ui().Post(window, WM_CHART_INVALIDATE, 0, 0); };
    options.readCache = [sinks = sinks_](const std::string& directory, int instrument, int period) {
        return sinks->readCache ? sinks->readCache(directory, instrument, period)
                                : ReadHistoryCache(directory, instrument, period);
    };
    history_ = std::make_shared<HistoryLink>(std::move(options));

    // The handlers run inside the gate, which ShutdownLinks closes before the links go.
    PushHandlers handlers;
    handlers.marketRecord = [sinks = sinks_, chart = chart_,
                             history = history_](const BarRecord& r) {
        if (sinks->quote) sinks->quote(r);
        FeedChart(*chart, r, history->Loaded());
    };
    handlers.signal = [feed = signals_](const BarRecord& r) { feed->LiveIntake(r); };
    handlers.instantMessage = [sinks = sinks_](const std::string& text, std::int32_t time) {
        if (sinks->message) sinks->message(text, time);
    };
    handlers.logout = [window](unsigned msg) { Ui().Post(window, msg, 0, 0); };
    push_ = std::make_shared<PushLink>(std::move(handlers), gate_);

    // The signal notification flags start cleared; the owner loads them from the server.
    chart_->Reset(currentInstrument_, currentPeriod_);
}

ServerLinks::~ServerLinks() {
    ShutdownLinks();
}

void ServerLinks::SetQuoteSink(std::function<void(const BarRecord&)> sink) {
    sinks_->quote = std::move(sink);
}

void ServerLinks::SetMessageSink(std::function<void(const std::string&, std::int32_t)> sink) {
    sinks_->message = std::move(sink);
}

void ServerLinks::SetCacheReader(HistoryCacheReader reader) {
    sinks_->readCache = std::move(reader);
}

void ServerLinks::SetCloseAndRestart(std::function<void()> closeAndRestart) {
    hooks_.closeAndRestart = std::move(closeAndRestart);
}

void ServerLinks::SetCurrentInstrument(int instrument) {
    currentInstrument_ = instrument;
    chart_->Reset(currentInstrument_, currentPeriod_);
    if (hooks_.chartReset) hooks_.chartReset();
}

void ServerLinks::SetCurrentPeriod(int minutes) {
    currentPeriod_ = minutes;
}

void ServerLinks::LoadSignalFlags() {
    signals_->LoadFlags();
}

HistoryLink::Endpoint ServerLinks::DataEndpoint() const {
    return {Session().serverAddress, Config().dataPort, HistoryDirectory()};
}

void ServerLinks::RebuildLinks() {
    if (shutDown_) return;
    ++rebuilds_;
    // The running transfer stops and the loaded flag clears before the chart is reset. The
    // cache file (up to 84 MB) is read by the new transfer on its own thread, for this reset
    // only, before it asks for the bars newer than the newest cached one.
    history_->BeginReload();
    chart_->Reset(currentInstrument_, currentPeriod_);
    if (hooks_.chartReset) hooks_.chartReset();
    history_->StartFromCache(DataEndpoint());
    ConnectPushLink();
    if (hooks_.relayout) hooks_.relayout();
}

bool ServerLinks::PageHistory() {
    if (shutDown_) return false;
    return history_->PageHistory(DataEndpoint());
}

void ServerLinks::ConnectPushLink() {
    push_->Connect(Session().serverAddress, Config().pushPort);
}

void ServerLinks::ClosePushLink() {
    push_->Close();
}

void ServerLinks::ShutdownLinks() {
    if (shutDown_) return;
    shutDown_ = true;
    StopLinkCheck();
    push_->Close();
    history_->BeginReload();
    gate_->Close(hooks_.serveWindowThread);
}

void ServerLinks::StartLinkCheck() {
    if (shutDown_) return;
    linkCheckRunning_ = true;
    if (hooks_.startLinkCheck) hooks_.startLinkCheck(linkCheckMs_);
}

void ServerLinks::StopLinkCheck() {
    if (!linkCheckRunning_) return;
    linkCheckRunning_ = false;
    if (hooks_.stopLinkCheck) hooks_.stopLinkCheck();
}

void ServerLinks::OnLinkCheck() {
    if (shutDown_) return;
    if (push_->TakeKeepAlive()) return;
    // No keep-alive for a whole period: reconnect and reload.
    StopLinkCheck();
    push_->Close();
    RebuildLinks();
    StartLinkCheck();
}

void ServerLinks::SetLinkCheckPeriod(int ms) {
    linkCheckMs_ = std::max(1, ms);
    if (linkCheckRunning_) StartLinkCheck();
}

void ServerLinks::OnLogoutOrder(unsigned msg) {
    if (shutDown_) return;
    StopLinkCheck();
    push_->Close();
    ShowMessage(window_, msg == WM_FORCED_OFFLINE ? kForcedOfflineText : kPushLinkClosedText);
    if (hooks_.closeAndRestart) hooks_.closeAndRestart();
}

}  // namespace zq
