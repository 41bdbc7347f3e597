// A user operation run off the window thread: the window waits busy and keeps serving its
// events while the server is slow; one deadline bounds the operation as a whole, however the
// server spreads its bytes; a program that quits calls the operation off.
#include "widgets/ui/busy_operation.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "net/wire/request.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/support/wait_until.h"
#include "widgets/operation_runner.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

// An answer whose every byte counts, so that a cut answer never reads as the whole.
constexpr std::int32_t kAnswer = 0x01020304;

// Two requests of one int32 answer each, as an order and its reload make them.
struct TwoRequests {
    std::int32_t first = -1, second = -1;
    void operator()() {
        first = RequestInt32Answer(nullptr, 11, nullptr, 0).value_or(-1);
        second = RequestInt32Answer(nullptr, 16, nullptr, 0).value_or(-1);
    }
};

class BusyOperationTest : public ::testing::Test {
  protected:
    void TearDown() override {
        timeouts::SetOperationDeadlineMs(0);
        timeouts::SetAnswerDeadlinesMs(0, 0);
    }
    FakeUi ui_;
};

// A server that answers each request only after `delayMs`, one byte at a time.
ScriptServer SlowServer(int delayMs, std::int32_t answer) {
    return ScriptServer([=](Socket& peer, int) {
        RequestHeader h{};
        if (!ScriptServer::ReadHeader(peer, h)) return;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&answer);
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs / 4));
            if (peer.Send(bytes + i, 1) != 1) return;
        }
    });
}

TEST_F(BusyOperationTest, TheWindowWaitsBusyAndAnswersPingsWhileTheServerIsSlow) {
    ScriptServer server = SlowServer(400, kAnswer);
    server.UseAsRequestPort();
    QDialog window;
    auto* button = new QPushButton(QStringLiteral("确定"), &window);
    window.show();

    // A ping through the event loop, answered while the operation waits for the server.
    int pings = 0;
    bool busyWhilePinged = false;
    QTimer ping;
    QObject::connect(&ping, &QTimer::timeout, [&] {
        ++pings;
        busyWhilePinged = !button->isEnabled();
    });
    ping.start(20);
    TwoRequests op;
    EXPECT_TRUE(RunBusy(&window, [&] { op(); }));
    EXPECT_EQ(op.first, kAnswer);
    EXPECT_EQ(op.second, kAnswer);
    EXPECT_GT(pings, 0);
    EXPECT_TRUE(busyWhilePinged);
    EXPECT_TRUE(button->isEnabled());  // as before
    EXPECT_TRUE(ui_.BoxTexts().empty());
}

TEST_F(BusyOperationTest, OneDeadlineEndsTheWholeOperationWithItsFailureMessage) {
    // Each answer would come within every per-answer limit, but the two together do not fit
    // the operation's deadline: the second request fails as on a lost connection.
    timeouts::SetOperationDeadlineMs(900);
    ScriptServer server = SlowServer(600, kAnswer);
    server.UseAsRequestPort();
    TwoRequests op;
    EXPECT_TRUE(RunBusy(nullptr, [&] { op(); }));
    EXPECT_EQ(op.first, kAnswer);
    EXPECT_NE(op.second, kAnswer);
    // A connect after the deadline has passed fails at once, with its message.
    timeouts::SetOperationDeadlineMs(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    TwoRequests late;
    ui_.Clear();
    EXPECT_TRUE(RunBusy(nullptr, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        late();
    }));
    EXPECT_EQ(late.first, -1);
    EXPECT_EQ(ui_.BoxTexts(), (std::vector<std::string>{kConnectFailedText, kConnectFailedText}));
}

TEST_F(BusyOperationTest, ShutdownCallsOffARunningOperationWithoutAWord) {
    // A server that never answers.
    std::atomic<bool> release{false};
    ScriptServer server([&](Socket& peer, int) {
        RequestHeader h{};
        ScriptServer::ReadHeader(peer, h);
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    server.UseAsRequestPort();
    std::atomic<bool> ended{false};
    bool doneRan = false;
    std::int32_t answer = -1;
    StartBusy(
        nullptr,
        [&] {
            answer = RequestInt32Answer(nullptr, 11, nullptr, 0).value_or(-1);
            ShowMessage(nullptr, "after the call-off");
            ended = true;
        },
        [&] { doneRan = true; });
    ASSERT_TRUE(test::WaitUntil([&] { return server.Connections() == 1; }));
    ShutdownOperations();
    EXPECT_TRUE(ended);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(Operations().Running(), 0);
    EXPECT_TRUE(ui_.BoxTexts().empty());
    QCoreApplication::processEvents();
    EXPECT_TRUE(doneRan);  // handed back to the window thread all the same
    release = true;
}

}  // namespace
}  // namespace zq
