// Driving the whole program in end-to-end tests: point the client at a running stand-in server
// and log in through the real login dialog.
//
//   ServerProcess server({"--fixed-code", "AB12"});
//   ClientEnvironment env(server);
//   LogInWhenTheDialogShows("demo", "demo", "AB12");
//   CTQDiraveApp app(...);
//   app.InitInstance();
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "widgets/ui/qt_bridge.h"

namespace zq::test {

// Sets the client's environment (host, the three ports, data directory, web base) to the
// server's and resets the session; the destructor clears it all again.
class ClientEnvironment {
  public:
    explicit ClientEnvironment(const ServerProcess& server);
    ~ClientEnvironment();
    ClientEnvironment(const ClientEnvironment&) = delete;
    ClientEnvironment& operator=(const ClientEnvironment&) = delete;

    // The client's data directory (settings file and history cache).
    const std::string& dataDirectory() const { return dataDir_; }
    // After the server was started again (its ports may have moved): the ports and host once
    // more, keeping the session.
    void Repoint(const ServerProcess& server);

  private:
    std::string dataDir_;
};

// The program's own window road (sends and posts reach the windows on the user-interface
// thread), with message boxes answered at once and recorded instead of shown, and sounds and
// browser pages recorded instead of played and opened. Installs itself as the process-wide bridge
// while it exists.
class DeliveringUi final : public UiBridge {
  public:
    DeliveringUi();
    ~DeliveringUi() override;
    DeliveringUi(const DeliveringUi&) = delete;
    DeliveringUi& operator=(const DeliveringUi&) = delete;

    std::vector<std::string> BoxTexts() const;
    // The ids of the sounds played so far, in order (nothing is heard).
    std::vector<int> Sounds() const;
    // The addresses the program asked the browser to open, in order (nothing opens).
    std::vector<std::string> OpenedUrls() const;

    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override;
    std::intptr_t Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                       std::intptr_t lparam) override;
    void Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
              std::intptr_t lparam) override;
    bool IsWindow(WindowHandle target) override;
    void PlaySound(int soundId, bool looped) override;
    void StopSounds() override {}
    bool OpenUrl(const std::string& url) override;

  private:
    QtBridge windows_;
    mutable std::mutex mutex_;
    std::vector<std::string> boxes_;
    std::vector<int> sounds_;
    std::vector<std::string> urls_;
};

// Waits on a timer for the modal login dialog, waits for its verification image, fills in the
// member, password and code (UTF-8) and presses "登录".
void LogInWhenTheDialogShows(const std::string& name, const std::string& password,
                             const std::string& code);

// Serves Qt events until `done` holds or `ms` milliseconds have passed; returns `done()`.
template <class F>
bool ServeUntil(F&& done, int ms = 10000);

// Runs `fill` on the modal dialog of type T as soon as it shows (the command that opens it
// blocks in the dialog's own event loop); closes it afterwards unless `fill` did. Gives up after
// `attempts` looks, 50 ms apart; `seen` must outlive them.
template <typename T>
void WhenDialogShows(std::function<void(T&)> fill, bool* seen = nullptr, int attempts = 100);

// The request codes of each request connection in the server's log, in order.
std::vector<std::vector<int>> RequestLines(const std::string& log);

}  // namespace zq::test

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace zq::test {
template <typename T>
void WhenDialogShows(std::function<void(T&)> fill, bool* seen, int attempts) {
    QTimer::singleShot(50, [fill, seen, attempts] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (attempts > 1) WhenDialogShows<T>(fill, seen, attempts - 1);
            return;
        }
        if (seen) *seen = true;
        fill(*dialog);
        if (dialog->isVisible()) dialog->reject();
    });
}

template <class F>
bool ServeUntil(F&& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
}  // namespace zq::test
