// ZelvanQuorvex: market analysis and simulated trading.
#include <QApplication>
#include <QFont>

#include "app/ui/app.h"
#include "res/resources.h"
#include "widgets/ui/qt_bridge.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelvanQuorvex"));
    zq::InitResources();
    QFont font = QApplication::font();
    font.setFamilies(
        {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("AR PL UMing CN"), font.family()});
    QApplication::setFont(font);

    zq::QtBridge bridge;
    zq::SetUi(&bridge);
    int rc = 0;
    {
        zq::CTQDiraveApp app;
        if (app.InitInstance()) rc = QApplication::exec();
    }
    zq::SetUi(nullptr);
    return rc;
}
