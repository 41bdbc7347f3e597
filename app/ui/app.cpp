#include "app/ui/app.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/client_core.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "base/version.h"
#include "net/ui/dlg_login.h"
#include "net/wire/session.h"
#include "net/wire/socket.h"
#include "widgets/ui/busy_operation.h"
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

TradingModel* CTQDiraveApp::Model() const {
    return core_ ? &core_->Model() : nullptr;
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

    // The client's model, stores and links, wired to each other; the frame's view opens the
    // links.
    core_ = std::make_unique<ClientCore>();
    FrameServices services;
    services.restartProgram = [this] { Restart(); };
    services.showAbout = [this](QWidget*) { OnAppAbout(); };
    frame_ = std::make_unique<CMainFrame>(*core_, std::move(services));
    MarkInstanceWindow(frame_.get());
    // A terminal opens over the whole available screen (1280 x 800 when restored).
    frame_->showMaximized();
    // The trading hours, instruments, alerts and messages, while the frame waits busy.
    if (!frame_->StartupLoad()) return false;

    // The account: summary, positions and account block, then the pending orders, on one
    // connection, while the frame waits busy; the links start even when this fails.
    const WindowHandle owner = OwnerHandle(frame_.get());
    if (!RunBusy(frame_.get(), [this, owner] { core_->Model().InitialLoad(owner); })) return false;
    // The history of the current instrument and the push link.
    core_->Links().RebuildLinks();
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
