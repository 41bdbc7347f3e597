#include "app/ui/app.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "base/messages.h"
#include "base/version.h"
#include "chart/ui/ckmain.h"
#include "net/ui/dlg_login.h"
#include "net/wire/session.h"
#include "net/wire/socket.h"
#include "trading/model.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {

namespace {
CTQDiraveApp* g_app = nullptr;
}

CTQDiraveApp* TheApp() {
    return g_app;
}

CTQDiraveApp::CTQDiraveApp(QString instanceName)
    : guard_(std::make_unique<SingleInstanceGuard>(std::move(instanceName))) {
    g_app = this;
}

CTQDiraveApp::~CTQDiraveApp() {
    frame_.reset();
    if (g_app == this) g_app = nullptr;
}

bool CTQDiraveApp::ResolveServer() {
    std::optional<std::uint32_t> address = ResolveIPv4(Config().serverHost);
    if (!address) {
        ShowMessage(nullptr, "无法连接服务器，请检查网络");
        return false;
    }
    // The first address, through its dotted text, as the program has always taken it.
    std::optional<std::uint32_t> again = ResolveIPv4(FormatIPv4(*address));
    Session().serverAddress = again ? *again : *address;
    return true;
}

namespace {

// The main view and the trading model meet here: the chart's product records come from the
// instrument list, every market record passes the quote update before the chart, and a reload
// of positions or orders lays the chart out again. Set before the links start.
void WireViewToModel(CChildView& view, TradingModel& model) {
    TradingModel* m = &model;
    view.Chart().hooks.productRecord = [m](int instrument) {
        return m->FindInstrument(instrument);
    };
    view.SetQuoteSink([m](const BarRecord& record) { m->QuoteUpdate(&record); });
    // Announcements name the instrument from its record; programmatic trading reloads the
    // account on every live signal.
    view.Signals().SetTradingModel(m);
    // The chart lays out and draws the positions and pending orders, and a right click on
    // one of their labels selects it in the model.
    view.ChartWindow()->SetTradingModel(m);
    const WindowHandle h = view.Handle();
    model.SetChartRefresh([h] { Ui().Post(h, WM_CHART_RELAYOUT, 0, 0); });
    model.SetMainView(h);
}

}  // namespace

bool CTQDiraveApp::InitInstance() {
    outcome_ = guard_->Acquire();
    // Another copy holds the guard: this one ends, whether or not a window came forward.
    if (outcome_ != SingleInstanceGuard::Outcome::First) return false;

    // Networking needs no start-up of its own here; the server is resolved once.
    if (!ResolveServer()) return false;

    {
        CDlgLogin login;
        if (login.exec() != QDialog::Accepted) return false;
    }

    // The trading model's locks live with its lists, created now that the member is known.
    model_ = std::make_unique<TradingModel>();
    FrameServices services;
    services.loadTradingHoursAndInstruments = [this](Socket& s) {
        LoadTradingHours(s);
        model_->LoadInstruments(s);
    };
    services.listedInstruments = [this] {
        std::vector<int> ids;
        for (const InstrumentRecord& r : model_->Instruments()) ids.push_back(r.id);
        return ids;
    };
    services.restartProgram = [this] { Restart(); };
    services.showAbout = [this](QWidget*) { OnAppAbout(); };
    services.reinitialiseTradingModel = [this] { model_->Reinitialise(OwnerHandle(frame_.get())); };
    services.tradingModel = model_.get();
    frame_ = std::make_unique<CMainFrame>(std::move(services));
    WireViewToModel(*frame_->View(), *model_);
    MarkInstanceWindow(frame_.get());
    // A terminal opens over the whole available screen (1280 x 800 when restored).
    frame_->showMaximized();

    // The account: summary, positions and account block, then the pending orders, on one
    // connection; the frame is shown and the links start even when this fails.
    model_->InitialLoad(OwnerHandle(frame_.get()));
    // The history of the current instrument and the push link.
    frame_->View()->RebuildLinks();
    return true;
}

void CTQDiraveApp::OnAppAbout() {
    QDialog about(frame_.get());
    about.setWindowTitle(QStringLiteral("关于 %1").arg(Q(AppTitle())));
    auto* layout = new QHBoxLayout(&about);
    auto* icon = new QLabel(&about);
    icon->setPixmap(QPixmap(QStringLiteral(":/icons/app.png")));
    layout->addWidget(icon, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(
        QStringLiteral("%1 %2 版").arg(Q(AppTitle()), QString::fromLatin1(kVersionText)), &about));
    text->addWidget(new QLabel(QStringLiteral("行情分析与模拟交易"), &about));
    text->addWidget(new QLabel(QStringLiteral("Copyright (C) 2026"), &about));
    auto* ok = new QPushButton(QStringLiteral("确定"), &about);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
    text->addWidget(ok, 0, Qt::AlignRight);
    layout->addLayout(text);
    about.exec();
}

void CTQDiraveApp::Restart() {
    // Let the new copy take the single-instance guard before this one ends.
    guard_.reset();
    RestartProgram();
}

bool RestartProgram() {
    return QProcess::startDetached(Q(ProgramPath()), QStringList());
}

}  // namespace zq
