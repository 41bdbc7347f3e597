#include "app/ui/child_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "app/settings_block.h"
#include "app/ui/app.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "widgets/ui/ui_queue.h"
#include "widgets/window_messages.h"

namespace zq {

CChildView::CChildView(ClientCore& core, QWidget* parent) : QFrame(parent), core_(core) {
    setObjectName(QStringLiteral("CChildView"));
    setFrameShape(QFrame::StyledPanel);  // sunken client edge, no border
    setFrameShadow(QFrame::Sunken);
    setAttribute(Qt::WA_OpaquePaintEvent);  // the children paint everything
    setCursor(Qt::ArrowCursor);

    linkCheck_ = new QTimer(this);
    ServerLinks::WindowHooks hooks;
    hooks.chartReset = [this] { chartWindow_->OnChartReset(); };
    hooks.relayout = [this] { Relayout(); };
    hooks.closeAndRestart = [this] { CloseAndRestart(); };
    hooks.serveWindowThread = [] {
        if (qApp && QThread::currentThread() == qApp->thread()) {
            QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
            UiCallQueue::Instance().Serve();  // the window bridge's calls
        }
    };
    hooks.startLinkCheck = [timer = linkCheck_](int ms) { timer->start(ms); };
    hooks.stopLinkCheck = [timer = linkCheck_] { timer->stop(); };

    // 1. The last chosen instrument, when the settings hold a sane one; the links start with
    //    the chart on that instrument and load the signal flags from the server (cleared
    //    first, all 0 when the server cannot be reached).
    int instrument = 1;
    if (int last = AcceptedLastInstrument(ReadSettings())) instrument = last;
    links_ = &core_.OpenLinks(Handle(), instrument, std::move(hooks));
    // 2. The chart window and the left panel.
    CreateChildWindows();
    // 3. The link check.
    connect(linkCheck_, &QTimer::timeout, this, [this] { links_->OnLinkCheck(); });
    links_->StartLinkCheck();
}

CChildView::~CChildView() {
    if (core_.HasLinks() && &core_.Links() == links_) core_.CloseLinks();
}

void CChildView::CreateChildWindows() {
    KLineData& chart = links_->Chart();
    leftPanel_ = new CLeftTips(chart, this);
    chartWindow_ = new CKMain(
        chart, leftPanel_, [this] { links_->PageHistory(); },
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

void CChildView::SetCloseAndRestart(std::function<void()> closeAndRestart) {
    if (!closeAndRestart) closeAndRestart = [this] { CloseAndRestart(); };
    links_->SetCloseAndRestart(std::move(closeAndRestart));
}

void CChildView::CloseAndRestart() {
    window()->close();
    RestartProgram();
}

void CChildView::Relayout() {
    const QRect r = contentsRect();
    if (r.width() <= 0 || r.height() <= 0) return;
    const int left = std::min(kLeftPanelWidth, r.width());
    leftPanel_->setGeometry(r.x(), r.y(), left, r.height());
    chartWindow_->setGeometry(r.x() + left, r.y(), r.width() - left, r.height());
    KLineData& chart = links_->Chart();
    chart.SetClientSize(r.width() - left, r.height());
    if (links_->HistoryLoaded()) {
        chart.Layout();
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
    links_->ClosePushLink();
    QFrame::closeEvent(event);
}

std::intptr_t CChildView::HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    switch (msg) {
        case WM_FORCED_OFFLINE:
        case WM_PUSH_LINK_CLOSED:
            links_->OnLogoutOrder(msg);
            return 0;
        case WM_CHART_INVALIDATE:
            // A history transfer was applied: the chart window repaints.
            return chartWindow_->HandleMessage(msg, wparam, lparam);
        case WM_CHART_RELAYOUT:
            if (links_->HistoryLoaded()) links_->Chart().Layout();
            chartWindow_->InvalidateAll();
            return 0;
        default:
            return 0;
    }
}

}  // namespace zq
