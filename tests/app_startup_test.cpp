// Start-up: the single-instance guard and the failures before the login dialog.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "app/ui/app.h"
#include "app/ui/single_instance.h"
#include "base/config.h"
#include "base/ui_bridge.h"
#include "tests/support/fake_ui.h"

namespace zq {
namespace {

QString UniqueName(const char* tag) {
    return QStringLiteral("zq-test-%1-%2").arg(QLatin1String(tag)).arg(::getpid());
}

// Runs a second guard's Acquire on its own thread while this thread serves the first guard.
SingleInstanceGuard::Outcome AcquireFromSecondCopy(const QString& name) {
    std::atomic<int> outcome{-1};
    QThread* t = QThread::create([&] {
        SingleInstanceGuard second(name);
        outcome = static_cast<int>(second.Acquire());
    });
    t->start();
    QElapsedTimer timer;
    timer.start();
    while (outcome < 0 && timer.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    t->wait();
    delete t;
    return static_cast<SingleInstanceGuard::Outcome>(outcome.load());
}

TEST(SingleInstanceTest, SecondCopyBringsTheMarkedWindowForward) {
    const QString name = UniqueName("raise");
    SingleInstanceGuard first(name);
    ASSERT_EQ(first.Acquire(), SingleInstanceGuard::Outcome::First);

    // No window carries the mark yet: the second copy starts normally.
    EXPECT_EQ(AcquireFromSecondCopy(name), SingleInstanceGuard::Outcome::NoWindow);

    QWidget plain;  // an unmarked window does not count
    plain.show();
    EXPECT_EQ(AcquireFromSecondCopy(name), SingleInstanceGuard::Outcome::NoWindow);

    QWidget marked;
    MarkInstanceWindow(&marked);
    EXPECT_EQ(FindMarkedWindow(), &marked);
    marked.hide();
    EXPECT_EQ(AcquireFromSecondCopy(name), SingleInstanceGuard::Outcome::Activated);
    EXPECT_TRUE(marked.isVisible());
}

TEST(SingleInstanceTest, NameLeftByADeadCopyIsTakenOver) {
    const QString name = UniqueName("stale");
    // A socket file that nobody listens on, as a crashed copy leaves it.
    std::string path = SingleInstanceGuard(name).SocketPath().toStdString();
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::close(fd);

    SingleInstanceGuard guard(name);
    EXPECT_EQ(guard.Acquire(), SingleInstanceGuard::Outcome::First);
}

TEST(SingleInstanceTest, ACopyWithAnotherRuntimeDirectoryLeavesTheFirstCopysSocketAlone) {
    const QString name = UniqueName("apart");
    const QByteArray oldDir = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir a, b;
    qputenv("XDG_RUNTIME_DIR", a.path().toUtf8());
    SingleInstanceGuard first(name);
    ASSERT_EQ(first.Acquire(), SingleInstanceGuard::Outcome::First);
    qputenv("XDG_RUNTIME_DIR", b.path().toUtf8());
    SingleInstanceGuard second(name);
    EXPECT_EQ(second.Acquire(), SingleInstanceGuard::Outcome::First);
    qputenv("XDG_RUNTIME_DIR", oldDir);
    // Each socket lies beside its own lock, and the first one still answers.
    EXPECT_EQ(QFileInfo(first.SocketPath()).path(), a.path());
    EXPECT_EQ(QFileInfo(second.LockPath()).path(), b.path());
    QLocalSocket probe;
    probe.connectToServer(first.SocketPath());
    EXPECT_TRUE(probe.waitForConnected(2000));
}

TEST(StartupTest, UnresolvableServerEndsWithItsMessage) {
    ::setenv("ZQ_SERVER_HOST", "no-such-host.invalid", 1);
    ReloadConfig();
    test::FakeUi ui;
    {
        CTQDiraveApp app(UniqueName("resolve"));
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(app.MainFrame(), nullptr);
    }
    ASSERT_EQ(ui.BoxTexts().size(), 1u);
    EXPECT_EQ(ui.BoxTexts()[0], "无法连接服务器，请检查网络");
    ::unsetenv("ZQ_SERVER_HOST");
    ReloadConfig();
}

}  // namespace
}  // namespace zq
