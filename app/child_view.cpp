#include "app/child_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "app/app.h"
#include "app/config.h"
#include "app/messages.h"
#include "app/settings_block.h"
#include "market/history_cache.h"
#include "net/session.h"

namespace zq {

namespace {

// The left panel takes this many pixels of the client area; the chart window the rest.
constexpr int kLeftPane = 85;

// A plain child standing where the chart window and the left panel paint.
QWidget* MakePane(QWidget* parent, const char* name) {
    auto* w = new QWidget(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setAutoFillBackground(true);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::black);
    w->setPalette(pal);
    w->show();
    return w;
}

}  // namespace

std::intptr_t CChildView::PackPair(int a, int b) {
    const auto hi = static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32;
    return static_cast<std::intptr_t>(hi | static_cast<std::uint32_t>(b));
}

void CChildView::UnpackPair(std::intptr_t v, int& a, int& b) {
    const auto u = static_cast<std::uint64_t>(v);
    a = static_cast<std::int32_t>(static_cast<std::uint32_t>(u >> 32));
    b = static_cast<std::int32_t>(static_cast<std::uint32_t>(u & 0xffffffffu));
}

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

    // Everything the workers may call reaches windows only by posting to this handle.
    const WindowHandle self = Handle();
    chart_->hooks.invalidateAll = [self] { Ui().Post(self, WM_CHART_INVALIDATE, 0, 0); };
    chart_->hooks.invalidateBand = [self](const PixelRect& band) {
        Ui().Post(self, WM_CHART_INVALIDATE, PackPair(band.left, band.top),
                  PackPair(band.right, band.bottom));
    };

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
    leftPanel_ = MakePane(this, "CLeftTips");
    chartWindow_ = MakePane(this, "CKMain");
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
    const int left = std::min(kLeftPane, r.width());
    leftPanel_->setGeometry(r.x(), r.y(), left, r.height());
    chartWindow_->setGeometry(r.x() + left, r.y(), r.width() - left, r.height());
    chart_->SetClientSize(r.width() - left, r.height());
    if (history_->Loaded()) {
        chart_->Layout();
        chartWindow_->update();
    }
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
            if (wparam == 0 && lparam == 0) {
                chartWindow_->update();
            } else {
                int l, t, r, b;
                UnpackPair(wparam, l, t);
                UnpackPair(lparam, r, b);
                chartWindow_->update(QRect(QPoint(l, t), QPoint(r, b)));
            }
            return 0;
        case WM_CHART_RELAYOUT:
            if (history_->Loaded()) chart_->Layout();
            chartWindow_->update();
            return 0;
        default:
            return 0;
    }
}

}  // namespace zq
