#include "app/ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QEventLoop>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "app/client_core.h"
#include "app/settings_block.h"
#include "app/ui/alert_setup.h"
#include "app/ui/child_view.h"
#include "app/ui/toolbar_icons.h"
#include "base/config.h"
#include "base/ui_bridge.h"
#include "chart/indicator_choice.h"
#include "chart/ui/ckmain.h"
#include "market/history_cache.h"
#include "market/instruments.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "reports/ui/price_alert_dialog.h"
#include "reports/ui/simulate_main.h"
#include "reports/ui/sms_manager.h"
#include "trading/model.h"
#include "trading/order_entry.h"
#include "trading/ui/trade_actions.h"
#include "widgets/command_ids.h"
#include "widgets/operation_runner.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// Web pages of the vendor, under the configured web base.
constexpr const char* kDepositPath = "/uc/BuyCart.jsp?val1=3";
constexpr const char* kTradeInfoPath = "/TradeInfo.jsp";
constexpr const char* kHomePath = "/";
constexpr const char* kBlogPath = "/blog/";
constexpr const char* kSignalHelpPath = "/article/signals.html";
// The exit waits this long at most for its log-out request, looking every few milliseconds.
constexpr int kLogoutWaitMs = 500;
constexpr int kLogoutPollMs = 5;

// The command toolbar: buttons in order, 0 for a separator.
constexpr int kCommandBar[] = {cmdid::OpenMessages,
                               0,
                               cmdid::NewMarketOrder,
                               cmdid::NewPendingOrder,
                               cmdid::TradeReport,
                               cmdid::TradeStats,
                               cmdid::ProgramTrading,
                               0,
                               cmdid::HeikinAshi,
                               0,
                               cmdid::Period15,
                               cmdid::Period30,
                               cmdid::Period60,
                               cmdid::Period120,
                               cmdid::Period240,
                               cmdid::Period480,
                               cmdid::PeriodDay,
                               0,
                               cmdid::ModeDefault,
                               cmdid::ModeCross,
                               cmdid::ModeMoveKLine,
                               cmdid::ModeStraightLine,
                               cmdid::ModeParallelLines,
                               cmdid::ModeSymmetricParallelLines,
                               cmdid::ClearTools,
                               0,
                               cmdid::HomePage,
                               cmdid::BlogPage,
                               cmdid::Exit};

// The instrument toolbar: instrument ids in order, 0 for the separator.
constexpr int kInstrumentBar[] = {29, 30, 40, 31, 32, 33, 41, 35, 34, 36, 37, 38,
                                  1,  5,  2,  6,  4,  0,  19, 10, 12, 18, 11, 16,
                                  8,  9,  17, 14, 7,  15, 42, 13, 3,  39};

// The chart mode each mode command selects.
struct ModeCommand {
    int command;
    ChartMode mode;
};
constexpr ModeCommand kModeCommands[] = {
    {cmdid::ModeDefault, ChartMode::Default},
    {cmdid::ModeCross, ChartMode::Cross},
    {cmdid::ModeMoveKLine, ChartMode::MoveKLine},
    {cmdid::ModeStraightLine, ChartMode::StraightLine},
    {cmdid::ModeParallelLines, ChartMode::ParallelLines},
    {cmdid::ModeSymmetricParallelLines, ChartMode::SymmetricParallelLines},
};

// The mode of a mode command; nothing for any other command.
std::optional<ChartMode> ModeOfCommand(int command) {
    for (const ModeCommand& m : kModeCommands)
        if (m.command == command) return m.mode;
    return std::nullopt;
}

bool IsInstrumentCommand(int command) {
    return command > kInstrumentCommandBase && command <= kInstrumentCommandBase + kInstrumentCount;
}

// The instrument toolbar as the signal blink list sees it: positions are indexes into the
// toolbar's actions, a button's own image is its instrument number, and the images go to the
// toolbar's button alone (the menus keep their icons).
class InstrumentBarImages : public BlinkToolbar {
  public:
    explicit InstrumentBarImages(QToolBar* bar) : bar_(bar) {}

    int FindButton(int command) const override {
        const QList<QAction*> actions = bar_->actions();
        for (int i = 0; i < actions.size(); ++i)
            if (!actions[i]->isSeparator() && actions[i]->data().toInt() == command) return i;
        return -1;
    }
    int OwnImage(int position) const override {
        QAction* a = At(position);
        return a ? a->data().toInt() - kInstrumentCommandBase : 0;
    }
    void SetImage(int position, int image) override {
        QAction* a = At(position);
        if (!a) return;
        if (auto* button = qobject_cast<QToolButton*>(bar_->widgetForAction(a)))
            button->setIcon(image == kEmptyButtonImage ? BlankIcon() : a->icon());
    }

  private:
    QAction* At(int position) const {
        const QList<QAction*> actions = bar_->actions();
        return position >= 0 && position < actions.size() ? actions[position] : nullptr;
    }

    QToolBar* bar_;
};

}  // namespace

QString MainFrameTitle() {
    return QStringLiteral("%1——提高操盘成功率 让投资更有道理").arg(Q(AppTitle()));
}

CMainFrame::CMainFrame(ClientCore& core, FrameServices services, QWidget* parent)
    : QMainWindow(parent), core_(core), services_(std::move(services)) {
    setWindowTitle(MainFrameTitle());
    if (!services_.listedInstruments)
        services_.listedInstruments = [&core] { return core.ListedInstruments(); };
    core_.SetMessageWindow(Handle());
    Ui().SetTray(Handle(), WM_TRAY_CLICKED, 0);

    // The main view fills the client area.
    view_ = new CChildView(core_, this);
    view_->SetCloseAndRestart([this] { CloseAndRestart(); });
    view_->SetChartCommand([this](int command) { OnCommand(command); });
    // Published and withdrawn signals mark the instrument buttons through this frame's queue.
    core_.Signals().SetMarkWindow(Handle());
    // The chart lays out and draws the positions and pending orders, and a right click on one
    // of their labels selects it in the model.
    view_->ChartWindow()->SetTradingModel(&core_.Model());
    setCentralWidget(view_);

    CreateMenus();
    CreateToolbars();
    CreateStatusBar();
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    // The last chosen instrument until the start-up load has listed the instruments.
    currentInstrument_ = view_->Links().CurrentInstrument();
    // The member's drawing tools: loaded at every chart reset from the first load of the chart
    // on, saved as they are drawn.
    view_->ChartWindow()->SetToolStore(&core_.Tools());
    // The indicator overlays the member left on.
    view_->Links().Chart().SetIndicators(ReadIndicatorChoice());
    chooseImagePath = [](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("保存图片"),
                                            QStringLiteral("chart.png"),
                                            QStringLiteral("PNG 图片 (*.png)"));
    };

    newMessage_ = false;
    clockTimer_ = new QTimer(this);
    connect(clockTimer_, &QTimer::timeout, this, &CMainFrame::OnClockTick);
    clockTimer_->start(1000);
    signalBlinkTimer_ = new QTimer(this);
    connect(signalBlinkTimer_, &QTimer::timeout, this, &CMainFrame::OnSignalBlinkTick);
    signalBlinkTimer_->start(kSignalBlinkMs);
    messageTimer_ = new QTimer(this);
    connect(messageTimer_, &QTimer::timeout, this, [this] {
        messageImageShown_ = !messageImageShown_;
        if (QAction* a = Action(cmdid::OpenMessages))
            a->setIcon(messageImageShown_ ? CommandIcon(cmdid::OpenMessages) : BlankIcon());
    });
    soundTimer_ = new QTimer(this);
    soundTimer_->setSingleShot(true);
    connect(soundTimer_, &QTimer::timeout, this, [] { Ui().StopSounds(); });

    // Check marks and enabled states follow the program's state as the framework's idle
    // updates would: the chart changes its mode on a click, too.
    idleTimer_ = new QTimer(this);
    connect(idleTimer_, &QTimer::timeout, this, &CMainFrame::UpdateCommandStates);
    idleTimer_->start(250);

    UpdateCommandStates();
    resize(1280, 800);
    view_->setFocus();
}

CMainFrame::~CMainFrame() {
    // The link workers post to the view and this frame: they stop before the windows go.
    core_.CloseLinks();
    core_.SetMessageWindow(nullptr);
    view_->ChartWindow()->SetToolStore(nullptr);
    view_->ChartWindow()->SetTradingModel(nullptr);
    Ui().SetTray(nullptr, 0, 0);
}

bool CMainFrame::StartupLoad() {
    const WindowHandle owner = OwnerHandle(this);
    // The links' signal flags first, then the core's loads, each on a connection of its own.
    ServerLinks& links = view_->Links();
    if (!RunBusy(this, [this, owner, &links] {
            links.LoadSignalFlags();
            core_.StartupLoad(owner);
        }))
        return false;
    // What the load brought is shown by the blink and counted on the tray icon, not raised on
    // the desktop.
    notifiedMessages_ = core_.Messages().Size();
    RemoveUnlistedInstruments();
    ChooseCurrentInstrument();
    // The chart is reset only for another instrument (the links then load it).
    if (currentInstrument_ != view_->Links().CurrentInstrument())
        view_->Links().SetCurrentInstrument(currentInstrument_);
    UpdateCommandStates();
    return true;
}

QAction* CMainFrame::MakeAction(int command, const QString& text, const QString& prompt) {
    QAction* a = actions_.value(command, nullptr);
    if (a) return a;
    a = new QAction(text, this);
    a->setData(command);
    if (!prompt.isEmpty()) {
        a->setStatusTip(prompt);
        a->setToolTip(prompt);
    }
    connect(a, &QAction::triggered, this, [this, command] { OnCommand(command); });
    actions_.insert(command, a);
    return a;
}

void CMainFrame::CreateMenus() {
    QMenuBar* bar = menuBar();
    systemMenu_ = bar->addMenu(QStringLiteral("系统(&S)"));
    systemMenu_->addAction(MakeAction(cmdid::Deposit, QStringLiteral("入金")));
    systemMenu_->addAction(MakeAction(cmdid::ProgramTrading, QStringLiteral("程序化交易")));
    systemMenu_->addAction(MakeAction(cmdid::TradeStats, QStringLiteral("Quorvex统计")));
    systemMenu_->addSeparator();
    systemMenu_->addAction(MakeAction(cmdid::Reinitialise, QStringLiteral("重新初始化")));
    systemMenu_->addAction(MakeAction(cmdid::ProductSetup, QStringLiteral("产品设置")));
    systemMenu_->addAction(MakeAction(cmdid::PriceAlerts, QStringLiteral("到价提醒")));
    systemMenu_->addSeparator();
    systemMenu_->addAction(MakeAction(cmdid::Relogin, QStringLiteral("重新登录")));
    systemMenu_->addAction(MakeAction(cmdid::Exit, QStringLiteral("退出(&X)"),
                                      QStringLiteral("退出%1").arg(Q(AppTitle()))));

    commoditiesMenu_ = bar->addMenu(QStringLiteral("商品"));
    forexMenu_ = bar->addMenu(QStringLiteral("外汇"));
    for (auto [menu, kind] : {std::pair{commoditiesMenu_, InstrumentMenu::Commodities},
                              std::pair{forexMenu_, InstrumentMenu::Forex}}) {
        int count = 0;
        auto ids = MenuInstruments(kind, count);
        for (int i = 0; i < count; ++i) {
            QAction* a = MakeAction(InstrumentCommand(ids[i]), Q(FindInstrumentInfo(ids[i])->name));
            a->setCheckable(true);
            menu->addAction(a);
        }
    }
    // Ids 20..28 have commands but no menu item.
    for (const InstrumentInfo& info : Instruments())
        if (info.menu == InstrumentMenu::None)
            MakeAction(InstrumentCommand(info.id), Q(info.name))->setCheckable(true);

    QMenu* tools = bar->addMenu(QStringLiteral("工具"));
    tools->addAction(MakeAction(cmdid::ShowCommandBar, QStringLiteral("常用")));
    tools->addAction(MakeAction(cmdid::ShowInstrumentBar, QStringLiteral("工具箱")));
    tools->addSeparator();
    QMenu* periods = tools->addMenu(QStringLiteral("周期"));
    for (const PeriodInfo& p : Periods()) {
        QAction* a = MakeAction(p.command, QString::fromLatin1(p.menuText), Q(p.caption).trimmed());
        a->setCheckable(true);
        periods->addAction(a);
    }
    tools->addSeparator();
    tools->addAction(MakeAction(cmdid::HeikinAshi, QStringLiteral("Heikin Ashi均线K线")));
    tools->addAction(MakeAction(cmdid::MovingAverages, QStringLiteral("均线 MA(5,10,20,60)")));
    tools->addAction(MakeAction(cmdid::Bollinger, QStringLiteral("布林带 BOLL(20,2)")));
    tools->addSeparator();
    const std::pair<int, const char*> modes[] = {
        {cmdid::ModeDefault, "默认(无)"},     {cmdid::ModeCross, "十字光标"},
        {cmdid::ModeMoveKLine, "移动K线"},    {cmdid::ModeStraightLine, "直线"},
        {cmdid::ModeParallelLines, "平行线"}, {cmdid::ModeSymmetricParallelLines, "对称平行线"}};
    for (auto [id, text] : modes) tools->addAction(MakeAction(id, QString::fromUtf8(text)));
    tools->addSeparator();
    tools->addAction(MakeAction(cmdid::ClearTools, QStringLiteral("清除工具线")));
    tools->addAction(MakeAction(cmdid::SaveChartImage, QStringLiteral("保存图片")));
    for (int id :
         {cmdid::ShowCommandBar, cmdid::ShowInstrumentBar, cmdid::HeikinAshi, cmdid::MovingAverages,
          cmdid::Bollinger, cmdid::ModeDefault, cmdid::ModeCross, cmdid::ModeMoveKLine,
          cmdid::ModeStraightLine, cmdid::ModeParallelLines, cmdid::ModeSymmetricParallelLines})
        Action(id)->setCheckable(true);
    Action(cmdid::ProgramTrading)->setCheckable(true);

    QMenu* help = bar->addMenu(QStringLiteral("帮助(&H)"));
    help->addAction(MakeAction(cmdid::SignalHelp, QStringLiteral("操盘信号说明"),
                               QStringLiteral("股指期货及现货黄金操盘信号说明")));
    help->addAction(MakeAction(cmdid::About, QStringLiteral("关于 ZelvanQuorvex(&A)...")));

    for (QMenu* m : findChildren<QMenu*>())
        connect(m, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandStates);
}

void CMainFrame::CreateToolbars() {
    // Prompt texts of the buttons that have no menu entry of their own.
    MakeAction(cmdid::OpenMessages, QStringLiteral("打开消息管理器"),
               QStringLiteral("打开消息管理器"));
    MakeAction(cmdid::NewMarketOrder, QStringLiteral("新市价订单"), QStringLiteral("新市价订单"));
    MakeAction(cmdid::NewPendingOrder, QStringLiteral("新指价订单"), QStringLiteral("新指价订单"));
    MakeAction(cmdid::TradeReport, QStringLiteral("交易报表"), QStringLiteral("交易报表"));
    MakeAction(cmdid::HomePage, QStringLiteral("访问官方网站"), QStringLiteral("访问官方网站"));
    MakeAction(cmdid::BlogPage, QStringLiteral("访问官方博客"), QStringLiteral("访问官方博客"));

    commandBar_ = addToolBar(QStringLiteral("常用"));
    commandBar_->setObjectName(QStringLiteral("commandBar"));
    commandBar_->setIconSize(QSize(32, 32));
    for (int id : kCommandBar) {
        if (id == 0) {
            commandBar_->addSeparator();
            continue;
        }
        QAction* a = Action(id);
        a->setIcon(CommandIcon(id));
        if (a->toolTip().isEmpty() || a->toolTip() == a->text().remove(QLatin1Char('&')))
            a->setToolTip(a->text().remove(QLatin1Char('&')));
        commandBar_->addAction(a);
    }
    addToolBarBreak();
    instrumentBar_ = addToolBar(QStringLiteral("工具箱"));
    instrumentBar_->setObjectName(QStringLiteral("instrumentBar"));
    instrumentBar_->setIconSize(QSize(32, 32));
    // Buttons without padding, so that all 33 instruments fit on a 1280-pixel screen and none
    // hides behind the bar's "»".
    instrumentBar_->setStyleSheet(QStringLiteral("QToolButton { padding: 0px; margin: 0px; }"));
    if (QLayout* layout = instrumentBar_->layout()) layout->setSpacing(0);
    for (int id : kInstrumentBar) {
        if (id == 0) {
            instrumentBar_->addSeparator();
            continue;
        }
        QAction* a = Action(InstrumentCommand(id));
        a->setIcon(InstrumentIcon(id));
        instrumentBar_->addAction(a);
    }
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->showMessage(QStringLiteral("就绪"));
    for (const char* text : {"CAP", "NUM", "SCRL"}) {
        auto* pane = new QLabel(QString::fromLatin1(text), bar);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(40);
        pane->setEnabled(false);
        bar->addPermanentWidget(pane);
    }
    clock_ = new QLabel(QStringLiteral("00:00:00"), bar);
    clock_->setObjectName(QStringLiteral("pane101"));
    clock_->setAlignment(Qt::AlignCenter);
    clock_->setMinimumWidth(70);
    bar->addPermanentWidget(clock_);
}

void CMainFrame::RemoveUnlistedInstruments() {
    std::vector<int> listed =
        services_.listedInstruments ? services_.listedInstruments() : std::vector<int>();
    for (int id = 1; id <= kInstrumentCount; ++id) {
        if (std::find(listed.begin(), listed.end(), id) != listed.end()) continue;
        QAction* a = Action(InstrumentCommand(id));
        if (!a) continue;
        instrumentBar_->removeAction(a);
        commoditiesMenu_->removeAction(a);
        forexMenu_->removeAction(a);
    }
    // "外汇" first, then "商品", when their submenus are now empty.
    for (QMenu** menu : {&forexMenu_, &commoditiesMenu_}) {
        if ((*menu)->actions().isEmpty()) {
            menuBar()->removeAction((*menu)->menuAction());
            (*menu)->deleteLater();
            *menu = nullptr;
        }
    }
    // Removing buttons can leave the separator at an end of the instrument bar.
    QList<QAction*> left = instrumentBar_->actions();
    if (!left.isEmpty() && left.front()->isSeparator()) instrumentBar_->removeAction(left.front());
    if (!left.isEmpty() && left.back()->isSeparator()) instrumentBar_->removeAction(left.back());
}

void CMainFrame::ChooseCurrentInstrument() {
    currentInstrument_ = 1;
    if (int last = AcceptedLastInstrument(ReadSettings())) currentInstrument_ = last;
    std::vector<int> listed =
        services_.listedInstruments ? services_.listedInstruments() : std::vector<int>();
    if (std::find(listed.begin(), listed.end(), currentInstrument_) == listed.end())
        currentInstrument_ = listed.empty() ? 1 : listed.front();
}

void CMainFrame::UpdateCommandStates() {
    const ChartMode mode = view_->ChartWindow()->View().Mode();
    for (auto it = actions_.begin(); it != actions_.end(); ++it) {
        const int id = it.key();
        QAction* a = it.value();
        a->setEnabled(true);
        if (IsInstrumentCommand(id)) {
            a->setChecked(id - kInstrumentCommandBase == currentInstrument_);
        } else if (const PeriodInfo* period = FindPeriodByCommand(id)) {
            a->setChecked(view_->Links().CurrentPeriod() == period->minutes);
        } else if (std::optional<ChartMode> m = ModeOfCommand(id)) {
            a->setChecked(*m == mode);
        }
    }
    if (QAction* a = Action(cmdid::HeikinAshi))
        a->setChecked(view_->Links().Chart().ChartType() == chart_type::HeikinAshi);
    if (QAction* a = Action(cmdid::ProgramTrading))
        a->setChecked(Session().programTrading.load() == 1);
    const unsigned indicators = view_->Links().Chart().Indicators();
    if (QAction* a = Action(cmdid::MovingAverages))
        a->setChecked(indicators & chart_indicator::MovingAverages);
    if (QAction* a = Action(cmdid::Bollinger))
        a->setChecked(indicators & chart_indicator::Bollinger);
    if (QAction* a = Action(cmdid::ShowCommandBar)) a->setChecked(commandBar_->isVisible());
    if (QAction* a = Action(cmdid::ShowInstrumentBar)) a->setChecked(instrumentBar_->isVisible());
}

void CMainFrame::StoreLastInstrument(int instrument) {
    SettingsBlock block = ReadSettings();
    block.lastInstrument = instrument;
    WriteSettings(block);
}

void CMainFrame::SelectInstrument(int instrument) {
    if (instrument == currentInstrument_) return;
    currentInstrument_ = instrument;
    view_->Links().SetCurrentInstrument(instrument);
    StoreLastInstrument(instrument);
    view_->Links().RebuildLinks();
    UpdateCommandStates();
}

void CMainFrame::SelectPeriod(int minutes) {
    // Always a reload, even of the period on show; the period itself is not stored. The view's
    // instrument is the frame's already: the two change only together.
    view_->Links().SetCurrentPeriod(minutes);
    StoreLastInstrument(currentInstrument_);
    view_->Links().RebuildLinks();
    UpdateCommandStates();
}

void CMainFrame::ToggleHeikinAshi() {
    KLineData& chart = view_->Links().Chart();
    chart.ToggleHeikinAshi();
    chart.Layout();
    view_->ChartWindow()->InvalidateAll();
    UpdateCommandStates();
}

void CMainFrame::ToggleIndicator(unsigned indicator) {
    KLineData& chart = view_->Links().Chart();
    const unsigned indicators = chart.Indicators() ^ indicator;
    chart.SetIndicators(indicators);
    WriteIndicatorChoice(indicators);
    chart.Layout();
    view_->ChartWindow()->InvalidateAll();
    UpdateCommandStates();
}

QImage CMainFrame::ChartPicture() const {
    return view_->grab().toImage();
}

void CMainFrame::SaveChartImage() {
    const QImage picture = ChartPicture();
    if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setImage(picture);
    const QString path = chooseImagePath ? chooseImagePath(this) : QString();
    if (path.isEmpty()) return;
    if (!picture.save(path, "PNG"))
        ShowMessage(OwnerHandle(this), U(QStringLiteral("图片保存失败：%1").arg(path)),
                    MsgButtons::Ok, MsgIcon::Warning);
}

void CMainFrame::SelectMode(ChartMode mode) {
    view_->ChartWindow()->SelectMode(mode);
    UpdateCommandStates();
}

void CMainFrame::ReinitialiseKLineData() {
    DeleteHistoryCache(view_->Links().CurrentInstrument(), view_->Links().CurrentPeriod());
    // The account's reload runs on a worker while the frame waits busy.
    WindowHandle owner = OwnerHandle(this);
    if (!RunBusy(this, [this, owner] { core_.Model().Reinitialise(owner); })) return;
    view_->Links().RebuildLinks();
}

void CMainFrame::OnCommand(int command) {
    if (IsInstrumentCommand(command)) return SelectInstrument(command - kInstrumentCommandBase);
    if (const PeriodInfo* period = FindPeriodByCommand(command))
        return SelectPeriod(period->minutes);
    if (std::optional<ChartMode> mode = ModeOfCommand(command)) return SelectMode(*mode);
    switch (command) {
        case cmdid::OpenMessages:
            OpenMessageManager();
            return;
        case cmdid::HeikinAshi:
            ToggleHeikinAshi();
            return;
        case cmdid::MovingAverages:
            ToggleIndicator(chart_indicator::MovingAverages);
            return;
        case cmdid::Bollinger:
            ToggleIndicator(chart_indicator::Bollinger);
            return;
        case cmdid::SaveChartImage:
            SaveChartImage();
            return;
        case cmdid::ClearTools:
            view_->ChartWindow()->ClearTools();
            return;
        case cmdid::Reinitialise:
            ReinitialiseKLineData();
            return;
        case cmdid::ShowCommandBar:
            commandBar_->show();
            UpdateCommandStates();
            return;
        case cmdid::ShowInstrumentBar:
            instrumentBar_->show();
            UpdateCommandStates();
            return;
        case cmdid::Exit:
            if (!ConfirmExit()) return;
            SendLogout();
            exitConfirmed_ = true;
            close();
            return;
        case cmdid::Relogin:
            messageTimer_->stop();
            view_->Links().ClosePushLink();
            CloseAndRestart();
            return;
        case cmdid::About:
            if (services_.showAbout) services_.showAbout(this);
            return;
        case cmdid::NewMarketOrder:
        case cmdid::NewPendingOrder:
            OpenOrderDialog(command);
            return;
        case cmdid::ModifyPosition:
        case cmdid::ClosePosition:
        case cmdid::ModifyPending:
        case cmdid::DeletePending:
            ChangeSelectedTrade(command);
            return;
        case cmdid::PriceAlerts: {
            CPriceAlter dialog(core_.Alerts(), this);
            dialog.exec();
            return;
        }
        case cmdid::ProductSetup: {
            AlertSetup dialog(core_.Signals(), this);
            dialog.exec();
            return;
        }
        case cmdid::TradeReport: {
            CSimulateMain report(core_.Model(), this);
            report.exec();
            return;
        }
        case cmdid::ProgramTrading:
            RunProgramTradingSetup(this, core_.Model());
            UpdateCommandStates();
            return;
        case cmdid::Deposit:
            OpenWeb(kDepositPath);
            return;
        case cmdid::TradeStats:
            OpenWeb(kTradeInfoPath);
            return;
        case cmdid::HomePage:
            OpenWeb(kHomePath);
            return;
        case cmdid::BlogPage:
            OpenWeb(kBlogPath);
            return;
        case cmdid::SignalHelp:
            OpenWeb(kSignalHelpPath);
            return;
        default:
            return;
    }
}

void CMainFrame::OpenOrderDialog(int command) {
    if (Session().programTrading.load() == 1) {
        ShowMessage(OwnerHandle(this), kProgramTradingRefusalText);
        return;
    }
    RunNewOrder(this, core_.Model(), view_->Links().CurrentInstrument(),
                command == cmdid::NewMarketOrder);
}

void CMainFrame::ChangeSelectedTrade(int command) {
    TradingModel* model = &core_.Model();
    const CKMain& chart = *view_->ChartWindow();
    // The copies the chart's menu selected; nothing happens after the dialogs close.
    if (command == cmdid::ModifyPosition || command == cmdid::ClosePosition) {
        const std::optional<PositionRecord> position = chart.SelectedPosition();
        if (!position) return;
        if (command == cmdid::ModifyPosition)
            RunModifyPosition(this, *model, *position);
        else
            RunClosePosition(this, *model, *position);
        return;
    }
    const std::optional<PendingOrderRecord> order = chart.SelectedOrder();
    if (!order) return;
    if (command == cmdid::ModifyPending)
        RunModifyOrder(this, *model, *order);
    else
        RunDeleteOrder(this, *model, *order);
}

bool CMainFrame::ConfirmExit() {
    QString text = QStringLiteral("确认退出%1？").arg(Q(AppTitle()));
    return Ui().MessageBox(OwnerHandle(this), U(text), "确认退出", MsgButtons::OkCancel,
                           MsgIcon::Question) == IdOk;
}

void CMainFrame::SendLogout() {
    // A failed log-out request does not stop the exit. It runs on a worker of the operation
    // runner, under its deadline, while the window goes on answering; the exit waits for it
    // only so long, and the program's shutdown calls off a log-out still under way.
    WindowHandle owner = OwnerHandle(this);
    auto sent = std::make_shared<std::atomic<bool>>(false);
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&wait, sent] {
        if (sent->load()) wait.quit();
    });
    Operations().Start(
        [owner] {
            Socket s = OpenRequestConnection(owner);
            if (!s.Valid()) return;
            SendRequest(s, MakeHeader(cmd::Logout));
            s.ShutdownClose();
        },
        [sent] { sent->store(true); });
    poll.start(kLogoutPollMs);
    QTimer::singleShot(kLogoutWaitMs, &wait, &QEventLoop::quit);
    if (!sent->load()) wait.exec();
}

void CMainFrame::OpenWeb(const std::string& path) {
    const std::string url = WebAddress(path);
    // Without a browser (or xdg-open) nothing would happen: the user gets the address instead.
    if (!Ui().OpenUrl(url))
        ShowMessage(OwnerHandle(this), "无法打开网页，请在浏览器中打开：\n" + url, MsgButtons::Ok,
                    MsgIcon::Information);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!exitConfirmed_) {
        // The title bar's close asks the same question; Cancel keeps the program.
        if (!ConfirmExit()) {
            event->ignore();
            return;
        }
        SendLogout();
        exitConfirmed_ = true;
    }
    clockTimer_->stop();
    idleTimer_->stop();
    messageTimer_->stop();
    signalBlinkTimer_->stop();
    event->accept();
}

void CMainFrame::CloseAndRestart() {
    exitConfirmed_ = true;
    close();
    if (services_.restartProgram) services_.restartProgram();
}

void CMainFrame::OnNewMessage(int soundId) {
    if (!newMessage_) {
        newMessage_ = true;
        messageTimer_->start(kMessageBlinkMs);
    }
    const std::size_t stored = core_.Messages().Size();
    seenMessages_ = std::min(seenMessages_, stored);  // the oldest dropped at the store's bound
    unread_ = std::max(1, static_cast<int>(stored - seenMessages_));
    Ui().SetTray(Handle(), WM_TRAY_CLICKED, unread_);
    if (InFront()) {
        notifiedMessages_ = stored;
    } else if (!notifyPending_) {
        // The posts of one burst are handled before the notification: one for all of them.
        notifyPending_ = true;
        QTimer::singleShot(0, this, [this] { NotifyNewMessages(); });
    }
    // A looped sound ends when timer 3 runs out; every new one starts its period again.
    Ui().PlaySound(soundId, true);
    soundTimer_->start(kLoopedSoundMs);
}

bool CMainFrame::InFront() const {
    return QApplication::activeWindow() != nullptr && !isMinimized();
}

void CMainFrame::NotifyNewMessages() {
    notifyPending_ = false;
    if (InFront()) {
        notifiedMessages_ = core_.Messages().Size();
        return;
    }
    const std::vector<MessageRecord> all = core_.Messages().Copy();
    notifiedMessages_ = std::min(notifiedMessages_, all.size());
    const std::size_t fresh = all.size() - notifiedMessages_;
    notifiedMessages_ = all.size();
    if (fresh == 0) return;
    // Posts go to the end of the store: the last is the newest.
    std::string text = all.back().content;
    if (fresh > 1) text = U(QStringLiteral("%1条新消息").arg(fresh)) + "\n" + text;
    Ui().Notify(AppTitle(), text);
}

void CMainFrame::OnTrayClicked() {
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
    // A dialog already open (the message manager among them) keeps the front.
    if (QApplication::activeModalWidget()) return;
    OpenMessageManager();
}

void CMainFrame::OpenMessageManager() {
    seenMessages_ = core_.Messages().Size();
    unread_ = 0;
    Ui().SetTray(Handle(), WM_TRAY_CLICKED, 0);
    newMessage_ = false;
    messageTimer_->stop();
    messageImageShown_ = true;
    if (QAction* a = Action(cmdid::OpenMessages)) a->setIcon(CommandIcon(cmdid::OpenMessages));
    CSmsManager manager(core_.Messages(), this);
    manager.exec();
}

void CMainFrame::OnClockTick() {
    clock_->setText(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
}

void CMainFrame::OnSignalMark(int instrument, std::intptr_t kind) {
    InstrumentBarImages images(instrumentBar_);
    if (kind == kSignalRecount)
        signalBlink_.Recount(instrument, CountSignals(view_->Links().Chart(), instrument), images);
    else
        signalBlink_.Mark(instrument, images);
}

void CMainFrame::OnSignalBlinkTick() {
    InstrumentBarImages images(instrumentBar_);
    signalBlink_.Tick(view_->Links().SignalFlags(), images);
}

std::intptr_t CMainFrame::HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    if (msg == WM_NEW_MESSAGE) OnNewMessage(static_cast<int>(wparam));
    if (msg == WM_SIGNAL_MARK) OnSignalMark(static_cast<int>(wparam), lparam);
    if (msg == WM_TRAY_CLICKED) OnTrayClicked();
    return 0;
}

}  // namespace zq
