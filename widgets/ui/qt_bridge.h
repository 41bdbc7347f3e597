// The Qt side of the window road: windows that take messages from worker threads derive from
// MessageWindow; QtBridge delivers sends and posts to them on the user-interface thread.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "base/ui_bridge.h"

class QWidget;

namespace zq {

// A window that takes window messages. It is registered while it exists; a send or post to a
// handle that is no longer registered is dropped.
class MessageWindow {
  public:
    MessageWindow();
    virtual ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    WindowHandle Handle() { return static_cast<void*>(this); }

    // Runs on the user-interface thread.
    virtual std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam,
                                        std::intptr_t lparam) = 0;

    // The widget that owns message boxes raised for this window (may be null).
    virtual QWidget* OwnerWidget() { return nullptr; }
};

class QtBridge final : public UiBridge {
  public:
    // Makes the queue of calls to the window thread on this thread, which must be the window
    // thread, before any worker can hand it a call.
    QtBridge();
    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override;
    std::intptr_t Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                       std::intptr_t lparam) override;
    void Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
              std::intptr_t lparam) override;
    bool IsWindow(WindowHandle target) override;
    void PlaySound(int soundId, bool looped) override;
    void StopSounds() override;
    bool OpenUrl(const std::string& url) override;
    // Through the current desktop notifier (desktop_notifier.h).
    void Notify(const std::string& title, const std::string& text) override;
    void SetTray(WindowHandle target, unsigned clickMsg, int unread) override;
};

// The handle of a widget for message-box ownership: widgets that are not MessageWindows pass
// themselves as owner through this.
WindowHandle OwnerHandle(QWidget* widget);

// A modal message box with Chinese buttons on the user-interface thread.
int ShowQtMessageBox(QWidget* owner, const QString& text, const QString& caption,
                     MsgButtons buttons, MsgIcon icon);

inline QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), utf8.size());
}
inline std::string U(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace zq
