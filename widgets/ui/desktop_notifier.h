// Where the program's desktop notifications and tray icon go. The window bridge hands them to the
// current notifier on the user-interface thread; the default one shows them through Qt's system
// tray icon (the freedesktop notification service where the desktop has one), and tests plug in
// one of their own.
#pragma once

#include <QIcon>
#include <QString>

#include "base/ui_bridge.h"

namespace zq {

class DesktopNotifier {
  public:
    virtual ~DesktopNotifier() = default;
    virtual void Notify(const QString& title, const QString& text) = 0;
    // The tray icon with the unread count; a click posts clickMsg to target; null: no icon.
    virtual void SetTray(WindowHandle target, unsigned clickMsg, int unread) = 0;
};

// The notifier in use (user-interface thread only). Until one is set, the default one, silent
// on a desktop without a tray.
DesktopNotifier& CurrentNotifier();
// Null puts the default notifier back.
void SetNotifier(DesktopNotifier* notifier);

// The program's icon with `unread` in a red disc at its top right (the plain icon for 0).
QIcon UnreadIcon(int unread);

}  // namespace zq
