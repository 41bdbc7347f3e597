#include "widgets/ui/qt_bridge.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <mutex>
#include <unordered_set>

#include "widgets/ui/desktop_notifier.h"
#include "widgets/ui/sound_output.h"
#include "widgets/ui/ui_queue.h"

namespace zq {
namespace {

std::mutex g_registryMutex;
std::unordered_set<const void*>& Registry() {
    static std::unordered_set<const void*> windows;
    return windows;
}

// Widgets handed out as message-box owners (user-interface thread only).
QHash<const void*, QPointer<QWidget>>& Owners() {
    static QHash<const void*, QPointer<QWidget>> owners;
    return owners;
}

bool Registered(const void* w) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    return Registry().count(w) != 0;
}

bool OnUiThread() {
    return !qApp || QThread::currentThread() == qApp->thread();
}

// Runs `fn` on the user-interface thread and waits for it.
template <typename Fn>
void RunOnUiThread(Fn&& fn) {
    if (OnUiThread()) {
        fn();
    } else {
        UiCallQueue::Instance().RunAndWait(fn);
    }
}

QWidget* OwnerWidgetOf(WindowHandle h) {
    if (!h) return nullptr;
    if (Registered(h)) return static_cast<MessageWindow*>(h)->OwnerWidget();
    auto it = Owners().find(h);
    return it == Owners().end() ? nullptr : it.value().data();
}

}  // namespace

MessageWindow::MessageWindow() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    Registry().insert(this);
}

MessageWindow::~MessageWindow() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    Registry().erase(this);
}

WindowHandle OwnerHandle(QWidget* widget) {
    if (!widget) return nullptr;
    Owners().insert(widget, QPointer<QWidget>(widget));
    return static_cast<void*>(widget);
}

int ShowQtMessageBox(QWidget* owner, const QString& text, const QString& caption,
                     MsgButtons buttons, MsgIcon icon) {
    QMessageBox box(owner);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (icon) {
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MsgIcon::None:
            break;
    }
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    int firstResult = IdOk, secondResult = IdCancel;
    switch (buttons) {
        case MsgButtons::Ok:
            first = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
            box.setEscapeButton(first);
            break;
        case MsgButtons::OkCancel:
            first = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
            second = box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
            box.setEscapeButton(second);
            break;
        case MsgButtons::YesNo:
            first = box.addButton(QStringLiteral("是(&Y)"), QMessageBox::YesRole);
            second = box.addButton(QStringLiteral("否(&N)"), QMessageBox::NoRole);
            firstResult = IdYes;
            secondResult = IdNo;
            box.setEscapeButton(second);
            break;
    }
    box.setDefaultButton(first);
    box.exec();
    if (second && box.clickedButton() == second) return secondResult;
    if (!box.clickedButton() && second) return secondResult;
    return firstResult;
}

QtBridge::QtBridge() {
    UiCallQueue::Instance();
}

int QtBridge::MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                         MsgButtons buttons, MsgIcon icon) {
    int result = IdOk;
    RunOnUiThread([&] {
        result = ShowQtMessageBox(OwnerWidgetOf(owner), Q(text), Q(caption), buttons, icon);
    });
    return result;
}

std::intptr_t QtBridge::Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                             std::intptr_t lparam) {
    std::intptr_t result = 0;
    if (!Registered(target)) return 0;
    RunOnUiThread([&] {
        // The window may have gone while the call waited for the user-interface thread.
        if (Registered(target))
            result = static_cast<MessageWindow*>(target)->HandleMessage(msg, wparam, lparam);
    });
    return result;
}

void QtBridge::Post(WindowHandle target, unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    if (!qApp || !Registered(target)) return;
    UiCallQueue::Instance().Post([=] {
        if (Registered(target))
            static_cast<MessageWindow*>(target)->HandleMessage(msg, wparam, lparam);
    });
}

bool QtBridge::IsWindow(WindowHandle target) {
    return target && Registered(target);
}

namespace {
// Runs `fn` on the user-interface thread: at once there, queued from any other thread.
template <typename Fn>
void OnUiThreadSoon(Fn&& fn) {
    if (!qApp) return;
    if (OnUiThread())
        fn();
    else
        UiCallQueue::Instance().Post(std::forward<Fn>(fn));
}
}  // namespace

void QtBridge::PlaySound(int soundId, bool looped) {
    OnUiThreadSoon([=] { CurrentSoundOutput().Play(SoundResourcePath(soundId), looped); });
}

void QtBridge::StopSounds() {
    OnUiThreadSoon([] { CurrentSoundOutput().StopAll(); });
}

bool QtBridge::OpenUrl(const std::string& url) {
    return QDesktopServices::openUrl(QUrl(Q(url)));
}

void QtBridge::Notify(const std::string& title, const std::string& text) {
    OnUiThreadSoon([t = Q(title), x = Q(text)] { CurrentNotifier().Notify(t, x); });
}

void QtBridge::SetTray(WindowHandle target, unsigned clickMsg, int unread) {
    OnUiThreadSoon([=] { CurrentNotifier().SetTray(target, clickMsg, unread); });
}

}  // namespace zq
