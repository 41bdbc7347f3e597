#include "app/ui/child_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "app/ui/app.h"
#include "base/config.h"
#include "base/messages.h"
#include "app/settings_block.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "market/history_cache.h"
#include "net/wire/session.h"

namespace zq {

CChildView::CChildView(QWidget* parent)
    : QFrame(parent),
      gate_(std::make_shared<LinkGate>()),
      chart_(std::make_shared<KLineData>()),
      sinks_(std::make_shared<Sinks>()) {
    setObjectName(QStringLiteral("CChildView"));
    setFrameShape(QFrame::StyledPanel);  // sunken client edge, no border
    setFrameShadow(QFrame::Sunken);
    setAttribute(Qt::WA_OpaquePaintEvent);  // the children paint everything
    setCursor(Qt::ArrowCursor);

    // Everything the workers may call reaches windows only by posting to a window handle.
    const WindowHandle self = Handle();

    HistoryLink::Options options;
    options.chart = chart_;
    options.gate = gate_;
    options.applied = [self] { Ui().Post(self, WM_CHART_INVALIDATE, 0, 0); };
    history_ = std::make_shared<HistoryLink>(std::move(options));

    // The handlers run inside the gate, which ShutdownLinks closes before the view goes.
    PushHandlers handlers;
    handlers.marketRecord = [sinks = sinks_, chart = chart_,
                             history = history_](const BarRecord& r) {
        if (sinks->quote) sinks->quote(r);
        FeedChart(*chart, r, history->Loaded());
    };
    handlers.signal = [this](const BarRecord& r) { SignalIntake(r); };
    handlers.instantMessage = [sinks = sinks_](const std::string& text, std::int32_t time) {
        if (sinks->message) sinks->message(text, time);
    };
    handlers.logout = [self](unsigned msg) { Ui().Post(self, msg, 0, 0); };
    push_ = std::make_shared<PushLink>(std::move(handlers), gate_);

    // 1. The signal notification flags start cleared, then come from the server.
    signalFlags_.fill(0);
    const SettingsBlock settings = ReadSettings();
    LoadSignalFlags();
    // 2. The last chosen instrument, when the settings hold a sane one.
    if (int last = AcceptedLastInstrument(settings)) currentInstrument_ = last;
    // 3. The chart window and the left panel, and the chart's instrument.
    CreateChildWindows();
    chart_->Reset(currentInstrument_, currentPeriod_);
    // 4. The link check.
    linkCheck_ = new QTimer(this);
    connect(linkCheck_, &QTimer::timeout, this, &CChildView::OnLinkCheck);
    linkCheck_->start(linkCheckMs_);
}

CChildView::~CChildView() {
    ShutdownLinks();
}

void CChildView::CreateChildWindows() {
    leftPanel_ = new CLeftTips(*chart_, this);
    chartWindow_ = new CKMain(
        *chart_, leftPanel_, [this] { PageHistory(); },
        [this](int command) {
            if (chartCommand_) chartCommand_(command);
        },
        this);
    // The chart's hooks post to the chart window from here on.
    chartWindow_->InstallDataHooks();
    chartWindow_->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(chartWindow_);
    leftPanel_->show();
    chartWindow_->show();
}

void CChildView::SetChartCommand(std::function<void(int command)> command) {
    chartCommand_ = std::move(command);
}

void CChildView::SetQuoteSink(std::function<void(const BarRecord&)> sink) {
    sinks_->quote = std::move(sink);
}

void CChildView::SetMessageSink(std::function<void(const std::string&, std::int32_t)> sink) {
    sinks_->message = std::move(sink);
}

void CChildView::SetCloseAndRestart(std::function<void()> closeAndRestart) {
    closeAndRestart_ = std::move(closeAndRestart);
}

void CChildView::SetCurrentInstrument(int instrument) {
    currentInstrument_ = instrument;
    chart_->Reset(currentInstrument_, currentPeriod_);
    chartWindow_->OnChartReset();
}

void CChildView::SetCurrentPeriod(int minutes) {
    currentPeriod_ = minutes;
}

void CChildView::LoadSignalFlags() {
    // The announcement flags of command 42 arrive with the trading-signal feed.
}

void CChildView::SignalIntake(const BarRecord& signal) {
    // Published and withdrawn signals are taken in by the trading-signal feed.
    (void)signal;
}

HistoryLink::Endpoint CChildView::DataEndpoint() const {
    return {Session().serverAddress, Config().dataPort, HistoryDirectory()};
}

void CChildView::RebuildLinks() {
    if (shutDown_) return;
    ++rebuilds_;
    // The running transfer stops and the loaded flag clears before the chart is reset.
    history_->BeginReload();
    chart_->Reset(currentInstrument_, currentPeriod_);
    chartWindow_->OnChartReset();
    const HistoryLink::Endpoint endpoint = DataEndpoint();
    chart_->SetHistory(
        ReadHistoryCache(endpoint.cacheDirectory, currentInstrument_, currentPeriod_));
    history_->Start(chart_->NewestHistoryKey(), NoBarKey(), endpoint);
    ConnectPushLink();
    Relayout();
}

bool CChildView::PageHistory() {
    if (shutDown_) return false;
    return history_->PageHistory(DataEndpoint());
}

void CChildView::ConnectPushLink() {
    push_->Connect(Session().serverAddress, Config().pushPort);
}

void CChildView::ClosePushLink() {
    push_->Close();
}

void CChildView::ShutdownLinks() {
    if (shutDown_) return;
    shutDown_ = true;
    if (linkCheck_) linkCheck_->stop();
    push_->Close();
    history_->BeginReload();
    // A worker inside the gate may wait for this thread (a synchronous window message or a
    // message box of the quote update): serve those while waiting.
    gate_->Close([] {
        if (qApp && QThread::currentThread() == qApp->thread())
            QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
    });
}

void CChildView::OnLinkCheck() {
    if (shutDown_) return;
    if (push_->TakeKeepAlive()) return;
    // No keep-alive for a whole period: reconnect and reload.
    linkCheck_->stop();
    push_->Close();
    RebuildLinks();
    linkCheck_->start(linkCheckMs_);
}

void CChildView::SetLinkCheckPeriod(int ms) {
    linkCheckMs_ = std::max(1, ms);
    if (linkCheck_->isActive()) linkCheck_->start(linkCheckMs_);
}

bool CChildView::LinkCheckRunning() const {
    return linkCheck_->isActive();
}

void CChildView::OnLogoutOrder(unsigned msg) {
    linkCheck_->stop();
    push_->Close();
    ShowMessage(Handle(), msg == WM_FORCED_OFFLINE ? kForcedOfflineText : kPushLinkClosedText);
    if (closeAndRestart_) {
        closeAndRestart_();
    } else {
        window()->close();
        RestartProgram();
    }
}

void CChildView::Relayout() {
    const QRect r = contentsRect();
    if (r.width() <= 0 || r.height() <= 0) return;
    const int left = std::min(kLeftPanelWidth, r.width());
    leftPanel_->setGeometry(r.x(), r.y(), left, r.height());
    chartWindow_->setGeometry(r.x() + left, r.y(), r.width() - left, r.height());
    chart_->SetClientSize(r.width() - left, r.height());
    if (history_->Loaded()) {
        chart_->Layout();
        chartWindow_->InvalidateAll();
    }
}

void CChildView::keyPressEvent(QKeyEvent* event) {
    ChartKey key;
    if (!CKMain::ToChartKey(event->key(), key)) return QFrame::keyPressEvent(event);
    chartWindow_->OnKey(key);
    event->accept();
}

void CChildView::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    Relayout();
}

void CChildView::closeEvent(QCloseEvent* event) {
    ClosePushLink();
    QFrame::closeEvent(event);
}

std::intptr_t CChildView::HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    switch (msg) {
        case WM_FORCED_OFFLINE:
        case WM_PUSH_LINK_CLOSED:
            if (!shutDown_) OnLogoutOrder(msg);
            return 0;
        case WM_CHART_INVALIDATE:
            // A history transfer was applied: the chart window repaints.
            return chartWindow_->HandleMessage(msg, wparam, lparam);
        case WM_CHART_RELAYOUT:
            if (history_->Loaded()) chart_->Layout();
            chartWindow_->InvalidateAll();
            return 0;
        default:
            return 0;
    }
}

}  // namespace zq
