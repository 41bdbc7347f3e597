#include "reports/ui/simulate_main.h"

#include <QFrame>
#include <QResizeEvent>
#include <QTabBar>
#include <algorithm>

#include "net/wire/session.h"
#include "reports/trade_report.h"
#include "reports/ui/account_pages.h"
#include "reports/ui/order_page.h"
#include "reports/ui/position_pages.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The tabs in order, with the tab of each page.
constexpr const char* kTabCaptions[CSimulateMain::kTabCount] = {
    "持仓总汇", "持仓明细", "委托查询", "成交查询", "资金曲线", "账户信息", "商品信息"};
enum Tab { SummaryTab, DetailsTab, OrdersTab, FillsTab, EquityTab, AccountTab, InstrumentTab };

}  // namespace

CSimulateMain::CSimulateMain(TradingModel& model, QWidget* parent)
    : QDialog(parent), model_(model) {
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setSizeGripEnabled(true);
    setModal(true);
    model_.RegisterTickListener(Handle());

    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::StyledPanel);
    tabControl_ = frame;
    tabs_ = new QTabBar(tabControl_);
    tabs_->setExpanding(false);
    for (const char* caption : kTabCaptions) tabs_->addTab(QString::fromUtf8(caption));

    // Created in this order, each page then sits at its tab.
    details_ = new CSPage1(model_, tabControl_);
    summary_ = new CSpage2(model_, tabControl_);
    orders_ = new CSPage3(model_, tabControl_);
    auto* fills = new CSPage4(model_, tabControl_);
    auto* account = new CSpage5(model_, tabControl_);
    auto* instruments = new CSPage6(model_, tabControl_);
    auto* equity = new CSPage7(model_, tabControl_);
    pages_ = {summary_, details_, orders_, fills, equity, account, instruments};
    for (CReportListPage* page :
         {static_cast<CReportListPage*>(details_), static_cast<CReportListPage*>(summary_),
          static_cast<CReportListPage*>(orders_)})
        page->SetReportWindow(Handle());

    resize(960, 480);
    LayOut();
    for (CReportTab* page : pages_) page->hide();
    summary_->show();
    tabs_->setCurrentIndex(SummaryTab);
    connect(tabs_, &QTabBar::currentChanged, this, &CSimulateMain::ShowTab);
    summary_->Refill();
    UpdateCaption();
}

CSimulateMain::~CSimulateMain() {
    model_.UnregisterTickListener(Handle());
}

std::intptr_t CSimulateMain::HandleMessage(unsigned msg, std::intptr_t, std::intptr_t) {
    if (msg == WM_QUOTE_TICK) UpdateCaption();
    return 0;
}

void CSimulateMain::UpdateCaption() {
    // One consistent set of figures: a copy of the account block taken under its lock.
    setWindowTitle(QString::fromStdString(
        ReportCaption(Session().accountClass, Session().memberName, model_.Account())));
}

void CSimulateMain::ShowTab(int tab) {
    if (tab < 0 || tab >= kTabCount) return;
    for (CReportTab* page : pages_) page->hide();
    CReportTab* page = Page(tab);
    page->show();
    page->OnSelected();
}

void CSimulateMain::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    LayOut();
}

void CSimulateMain::LayOut() {
    const QRect client = rect();
    tabControl_->setGeometry(0, kTopStrip, client.width(),
                             std::max(0, client.height() - kTopStrip));
    const QRect inside = tabControl_->rect();
    tabs_->setGeometry(0, 0, inside.width(), std::min(tabs_->sizeHint().height(), kPageTopInset));
    const QRect page(kPageInset, kPageTopInset, std::max(0, inside.width() - 2 * kPageInset),
                     std::max(0, inside.height() - kPageTopInset - kPageInset));
    for (CReportTab* p : pages_) p->setGeometry(page);
}

}  // namespace zq
