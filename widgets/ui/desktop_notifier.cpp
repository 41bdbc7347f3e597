#include "widgets/ui/desktop_notifier.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>

#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

QIcon ProgramIcon() {
    return QIcon(QStringLiteral(":/icons/app.png"));
}

// Qt's tray icon, made at the first SetTray that finds a tray. Without one, nothing is made
// and nothing shows.
class TrayNotifier final : public DesktopNotifier {
  public:
    void Notify(const QString& title, const QString& text) override {
        if (!icon_ || !icon_->isVisible() || !QSystemTrayIcon::supportsMessages()) return;
        icon_->showMessage(title, text, ProgramIcon(), 10000);
    }

    void SetTray(WindowHandle target, unsigned clickMsg, int unread) override {
        target_ = target;
        clickMsg_ = clickMsg;
        if (!target) {
            if (icon_) icon_->hide();
            return;
        }
        if (!icon_) {
            if (!qApp || !QSystemTrayIcon::isSystemTrayAvailable()) return;
            // Owned by the application, so it goes before the application does.
            icon_ = new QSystemTrayIcon(qApp);
            QObject::connect(icon_, &QSystemTrayIcon::activated, icon_,
                             [this](QSystemTrayIcon::ActivationReason reason) {
                                 if (reason == QSystemTrayIcon::Context || !target_) return;
                                 Ui().Post(target_, clickMsg_, 0, 0);
                             });
        }
        if (unread != shown_ || !icon_->isVisible()) {
            shown_ = unread;
            icon_->setIcon(UnreadIcon(unread));
            const QString title = Q(AppTitle());
            icon_->setToolTip(
                unread > 0 ? QStringLiteral("%1 - %2条未读消息").arg(title).arg(unread) : title);
        }
        icon_->show();
    }

  private:
    QPointer<QSystemTrayIcon> icon_;
    WindowHandle target_ = nullptr;
    unsigned clickMsg_ = 0;
    int shown_ = -1;
};

DesktopNotifier* g_current = nullptr;
DesktopNotifier* g_default = nullptr;

}  // namespace

QIcon UnreadIcon(int unread) {
    const QIcon icon = ProgramIcon();
    if (unread <= 0) return icon;
    constexpr int kSize = 64;
    QPixmap pixmap = icon.pixmap(kSize, kSize);
    if (pixmap.isNull()) {
        pixmap = QPixmap(kSize, kSize);
        pixmap.fill(Qt::transparent);
    }
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect disc(kSize / 3, 0, kSize * 2 / 3, kSize * 2 / 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE0, 0x20, 0x20));
    p.drawEllipse(disc);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(unread > 99 ? kSize / 4 : kSize / 3);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(disc, Qt::AlignCenter,
               unread > 99 ? QStringLiteral("99+") : QString::number(unread));
    p.end();
    return QIcon(pixmap);
}

DesktopNotifier& CurrentNotifier() {
    if (g_current) return *g_current;
    if (!g_default) g_default = new TrayNotifier;
    return *g_default;
}

void SetNotifier(DesktopNotifier* notifier) {
    g_current = notifier;
}

}  // namespace zq
