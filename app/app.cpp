#include "app/app.h"

#include <QApplication>
#include <QProcess>

#include "app/config.h"
#include "app/main_frame.h"
#include "app/qt_bridge.h"
#include "net/dlg_login.h"
#include "net/session.h"
#include "net/socket.h"

namespace zq {

CTQDiraveApp::CTQDiraveApp(QString instanceName)
    : guard_(std::make_unique<SingleInstanceGuard>(std::move(instanceName))) {}

CTQDiraveApp::~CTQDiraveApp() = default;

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
    if (outcome_ == SingleInstanceGuard::Outcome::Activated) return false;

    // Networking needs no start-up of its own here; the server is resolved once.
    if (!ResolveServer()) return false;

    {
        CDlgLogin login;
        if (login.exec() != QDialog::Accepted) return false;
    }

    frame_ = std::make_unique<CMainFrame>();
    MarkInstanceWindow(frame_.get());
    frame_->show();
    return true;
}

void CTQDiraveApp::OnAppAbout() {}

bool RestartProgram() {
    return QProcess::startDetached(Q(ProgramPath()), QStringList());
}

}  // namespace zq
