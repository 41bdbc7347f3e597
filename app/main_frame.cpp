#include "app/main_frame.h"

#include "app/ui_bridge.h"

namespace zq {

QString MainFrameTitle() {
    return QStringLiteral("%1——提高操盘成功率 让投资更有道理").arg(Q(AppTitle()));
}

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(MainFrameTitle());
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    resize(1024, 700);
}

CMainFrame::~CMainFrame() = default;

std::intptr_t CMainFrame::HandleMessage(unsigned, std::intptr_t, std::intptr_t) {
    return 0;
}

}  // namespace zq
