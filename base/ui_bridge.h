// The one narrow road from worker threads and plain-C++ code to windows.
//
// Code without Qt (request helpers, the trading model, the link readers) never touches a
// window directly: it asks the installed bridge to show a message box, to deliver a window
// message synchronously (the caller waits until the window has handled it) or to post one
// (the caller goes on). The client installs a Qt bridge; tests install their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zq {

// An opaque window identity. The Qt bridge maps it to a live QWidget; tests use any value.
using WindowHandle = void*;

enum class MsgButtons { Ok, OkCancel, YesNo };
enum class MsgIcon { None, Information, Warning, Error, Question };

// Results as the framework's message box returns them.
enum MsgResult : int { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };

class UiBridge {
  public:
    virtual ~UiBridge() = default;

    // Shows a modal message box owned by `owner` (may be null). Texts are UTF-8.
    virtual int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                           MsgButtons buttons, MsgIcon icon) = 0;

    // Delivers `msg` to `target` and waits until it has been handled; returns the result.
    // Returns 0 at once when the target no longer exists.
    virtual std::intptr_t Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                               std::intptr_t lparam) = 0;

    // Queues `msg` for `target` and returns at once.
    virtual void Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
                      std::intptr_t lparam) = 0;

    // True while `target` is a live window.
    virtual bool IsWindow(WindowHandle target) = 0;

    // Plays one of the program's wave sounds (see sound ids below), once or looped, without
    // waiting; StopSounds ends every sound that plays.
    virtual void PlaySound(int soundId, bool looped) = 0;
    virtual void StopSounds() = 0;

    // Opens a web address with the desktop's default action (the default browser). False when
    // the desktop has no way to open it.
    virtual bool OpenUrl(const std::string& url) {
        (void)url;
        return false;
    }

    // The desktop's notifications and the program's icon in its tray, shown without waiting.
    // Notify raises a notification with the program's icon, `title` and `text`. SetTray shows
    // the tray icon with the count of unread messages (0: the plain icon); a click on it posts
    // `clickMsg` to `target`; a null target takes the icon away. On a desktop without a
    // notification service or tray nothing shows, and nothing is logged.
    virtual void Notify(const std::string& title, const std::string& text) {
        (void)title;
        (void)text;
    }
    virtual void SetTray(WindowHandle target, unsigned clickMsg, int unread) {
        (void)target;
        (void)clickMsg;
        (void)unread;
    }
};

// The program's wave sounds.
namespace sound {
constexpr int Message = 151;
constexpr int Trade = 190;
constexpr int Trigger = 192;
constexpr int Alert = 198;
}  // namespace sound

// The process-wide bridge. Before one is installed a silent bridge answers: message boxes
// return their default button, sends return 0, posts vanish and no window exists.
UiBridge& Ui();
void SetUi(UiBridge* bridge);

// The application title, caption of every message box.
const std::string& AppTitle();

// An operation the program called off (it closes) says nothing more: while the flag set for
// the calling thread is true, ShowMessage shows no box and returns the buttons' default (Ok,
// Cancel, No), as the silent bridge does. Null clears the thread's flag.
void SetThreadQuietFlag(const std::atomic<bool>* quiet);
bool ThreadQuiet();

// A thread that must not wait on a message box (the push reader: no quote would pass while one
// is open) hands its boxes to `aside`, which shows them without holding the thread up:
// ShowMessage then calls it and returns the buttons' default at once. Null: boxes as usual.
using MessageAside = bool (*)(const std::string& text);
void SetThreadMessageAside(MessageAside aside);

// Shorthand: a message box with the application title as caption.
int ShowMessage(WindowHandle owner, const std::string& text, MsgButtons buttons = MsgButtons::Ok,
                MsgIcon icon = MsgIcon::None);

}  // namespace zq
