// From the login to the main window on screen: the whole program starts against the stand-in
// server (offscreen), logs in through the real dialog and runs the application's start-up, while
// a watchdog thread pings the window thread every few milliseconds. The figures are the longest
// time the window thread left a ping waiting from the login dialog's closing to the end of the
// start-up, and when the frame showed and its chart, left panel and toolbars first painted,
// counted from the login dialog's closing.
//
// Fonts, icons and painters are made once per process, so each run is a process of its own:
//
//   main_window_bench [--slow] [--steps] [--runs N]
//
// --steps times the window thread's own steps after the login instead, one after the other:
// the client core, the main window, its showing, its first paint.
// --slow relays the request port with every part of the server's answers 250 ms late, as a slow
// server would send them. --runs starts the program N times (each in a child process) and
// prints each run's figures.
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "app/client_core.h"
#include "app/ui/app.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "net/ui/dlg_login.h"
#include "net/wire/session.h"
#include "net/wire/socket.h"
#include "tests/support/app_driver.h"
#include "tests/support/script_server.h"
#include "tests/support/window_ping.h"

namespace {

using namespace zq;
using namespace zq::test;

constexpr const char* kCode = "AB12";
constexpr int kSlowPartMs = 250;

// Notes when the login dialog hides, the frame shows and each named window first paints.
class Stopwatch : public QObject {
  public:
    Stopwatch() { clock_.start(); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w) return false;
        const QByteArray cls = w->metaObject()->className();
        if (event->type() == QEvent::Hide && cls.endsWith("CDlgLogin") && loginClosed_ < 0) {
            loginClosed_ = clock_.elapsed();
            if (onLoginClosed) onLoginClosed();
        }
        if (event->type() == QEvent::Show && cls.endsWith("CMainFrame"))
            Note("frame shown", clock_.elapsed());
        if (event->type() == QEvent::Paint) {
            if (cls.endsWith("CKMain")) Note("chart painted", clock_.elapsed());
            if (cls.endsWith("CLeftTips")) Note("left panel painted", clock_.elapsed());
            if (cls == "QToolBar") Note("toolbar painted", clock_.elapsed());
        }
        return false;
    }
    void Note(const char* what, qint64 at) { marks_.emplace(what, at); }
    qint64 Now() const { return clock_.elapsed(); }

    std::function<void()> onLoginClosed;
    qint64 loginClosed_ = -1;
    std::multimap<std::string, qint64> marks_;  // first entry per name counts

  private:
    QElapsedTimer clock_;
};

// The request port with every part of the server's answers held back.
void SlowRelay(Socket& client, std::uint16_t serverPort, const std::atomic<bool>& stop) {
    Socket server = Socket::Connect(htonl(INADDR_LOOPBACK), serverPort, 0);
    if (!server.Valid()) return;
    ScriptServer::Pipe(client, server, [&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSlowPartMs));
        return !stop.load();
    });
}

// The steps of the application's start-up on the window thread, each timed on its own.
void RunSteps() {
    if (std::optional<std::uint32_t> address = ResolveIPv4(Config().serverHost))
        Session().serverAddress = *address;
    {
        CDlgLogin login;
        if (login.exec() != QDialog::Accepted) return;
    }
    QElapsedTimer t;
    t.start();
    auto step = [&t](const char* what) {
        std::printf("%s %lld ms; ", what, static_cast<long long>(t.restart()));
    };
    ClientCore core;
    step("core");
    CMainFrame frame(core);
    step("frame");
    frame.showMaximized();
    step("shown");
    QApplication::processEvents();
    step("first paint");
    std::printf("\n");
    std::fflush(stdout);
}

int RunOnce(int argc, char** argv, bool slow, bool steps) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ServerProcess server({"--fixed-code", kCode, "--market-step-ms", "0"});
    if (!server.Running()) {
        std::fprintf(stderr, "%s\n", server.Error().c_str());
        return 1;
    }
    DeliveringUi ui;
    ClientEnvironment env(server);
    std::atomic<bool> stop{false};
    std::unique_ptr<ScriptServer> relay;
    if (slow) {
        const std::uint16_t port = server.requestPort();
        relay = std::make_unique<ScriptServer>(
            [port, &stop](Socket& client, int) { SlowRelay(client, port, stop); });
        relay->UseAsRequestPort();
    }

    if (steps) {
        LogInWhenTheDialogShows("demo", "demo", kCode);
        RunSteps();
        return 0;
    }
    Stopwatch watch;
    app.installEventFilter(&watch);
    LogInWhenTheDialogShows("demo", "demo", kCode);
    CTQDiraveApp program(QStringLiteral("zq-bench-%1").arg(::getpid()));
    // The ping starts as the login dialog closes: the dialog's own waits are not counted.
    std::unique_ptr<WindowPing> ping;
    watch.onLoginClosed = [&ping] { ping = std::make_unique<WindowPing>(); };
    const bool started = program.InitInstance();
    const qint64 end = watch.Now();
    // What was painted before the start-up ended is on screen; paints still queued follow.
    ServeUntil([&] { return watch.marks_.count("chart painted") > 0; }, 5000);
    app.removeEventFilter(&watch);
    stop = true;

    const qint64 from = watch.loginClosed_;
    std::printf(
        "%s start-up %s: login closed -> start-up done %lld ms; longest window wait %lld ms",
        slow ? "slow" : "fast", started ? "ok" : "FAILED", static_cast<long long>(end - from),
        ping ? ping->LongestWaitMs() : -1LL);
    for (const char* what :
         {"frame shown", "toolbar painted", "left panel painted", "chart painted"}) {
        auto it = watch.marks_.find(what);
        if (it != watch.marks_.end())
            std::printf("; %s %lld", what, static_cast<long long>(it->second - from));
    }
    std::printf("\n");
    std::fflush(stdout);
    ping.reset();
    return started ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool slow = false;
    bool steps = false;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--slow") == 0) slow = true;
        if (std::strcmp(argv[i], "--steps") == 0) steps = true;
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
    }
    if (runs <= 1) return RunOnce(argc, argv, slow, steps);
    int failed = 0;
    for (int r = 0; r < runs; ++r) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(RunOnce(argc, argv, slow, steps));
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    return failed == 0 ? 0 : 1;
}
