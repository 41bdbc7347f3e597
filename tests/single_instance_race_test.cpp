// Copies of the program started at the same instant: exactly one of them runs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>

#include "app/ui/single_instance.h"

namespace zq {
namespace {

// One copy in a child process: waits for the start signal (end of file on `go`), takes the
// guard, reports its outcome on `report` and holds the guard until `hold` ends.
[[noreturn]] void RunCopy(const QString& name, int go, int report, int hold) {
    char c;
    while (::read(go, &c, 1) > 0) {
    }
    SingleInstanceGuard guard(name);
    const char outcome = static_cast<char>(guard.Acquire());
    if (::write(report, &outcome, 1) != 1) ::_exit(2);
    while (::read(hold, &c, 1) > 0) {
    }
    ::_exit(0);
}

TEST(SingleInstanceRaceTest, OfTwoCopiesStartedTogetherExactlyOneRuns) {
    for (int trial = 0; trial < 24; ++trial) {
        const QString name = QStringLiteral("zq-race-%1-%2").arg(::getpid()).arg(trial);
        int go[2], report[2], hold[2];
        ASSERT_EQ(::pipe(go), 0);
        ASSERT_EQ(::pipe(report), 0);
        ASSERT_EQ(::pipe(hold), 0);
        pid_t copies[2];
        for (pid_t& pid : copies) {
            pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::close(go[1]);
                ::close(report[0]);
                ::close(hold[1]);
                RunCopy(name, go[0], report[1], hold[0]);
            }
        }
        ::close(go[0]);
        ::close(report[1]);
        ::close(hold[0]);
        ::close(go[1]);  // both start now

        int first = 0;
        for (int i = 0; i < 2; ++i) {
            char outcome = -1;
            ASSERT_EQ(::read(report[0], &outcome, 1), 1) << "trial " << trial;
            first += outcome == static_cast<char>(SingleInstanceGuard::Outcome::First);
        }
        ::close(hold[1]);  // both may end
        for (pid_t pid : copies) {
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        ::close(report[0]);
        EXPECT_EQ(first, 1) << "trial " << trial;
        SingleInstanceGuard probe(name);
        QFile::remove(probe.LockPath());
        QLocalServer::removeServer(name);
    }
}

TEST(SingleInstanceRaceTest, TheGuardIsHeldUntilItsOwnerEnds) {
    const QString name = QStringLiteral("zq-held-%1").arg(::getpid());
    {
        SingleInstanceGuard first(name);
        ASSERT_EQ(first.Acquire(), SingleInstanceGuard::Outcome::First);
        EXPECT_TRUE(first.HoldsLock());
        // A copy that finds the guard held ends, even though no window came forward.
        SingleInstanceGuard second(name);
        EXPECT_NE(second.Acquire(), SingleInstanceGuard::Outcome::First);
        EXPECT_FALSE(second.HoldsLock());
    }
    SingleInstanceGuard later(name);
    EXPECT_EQ(later.Acquire(), SingleInstanceGuard::Outcome::First);
    QFile::remove(later.LockPath());
}

}  // namespace
}  // namespace zq
