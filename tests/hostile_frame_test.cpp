// The main frame against a server that never ends its answers: an endless message stream and
// a server that sends a byte at a time. The frame opens all the same and closes at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/client_core.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "net/wire/session.h"
#include "reports/message_store.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "trading/model.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

void Send32(Socket& s, std::int32_t v) {
    s.Send(&v, 4);
}

class HostileFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = "/tmp/zq-hostile-frame-" + std::to_string(::getpid());
        ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
        ::setenv("ZQ_DATA_PORT", "1", 1);
        ::setenv("ZQ_PUSH_PORT", "1", 1);
        ResetSession();
        timeouts::SetAnswerDeadlinesMs(300, 300);
    }
    void TearDown() override {
        stop_ = true;
        server_.reset();
        timeouts::SetAnswerDeadlinesMs(0, 0);
        std::filesystem::remove_all(dir_);
        for (const char* v : {"ZQ_DATA_DIR", "ZQ_DATA_PORT", "ZQ_PUSH_PORT", "ZQ_REQUEST_PORT"})
            ::unsetenv(v);
        ReloadConfig();
        ResetSession();
    }
    void Serve(ScriptServer::Handler handler) {
        server_ = std::make_unique<ScriptServer>(std::move(handler));
        server_->UseAsRequestPort();
    }
    FrameServices Services() {
        FrameServices s;
        s.listedInstruments = [] { return std::vector<int>{1}; };
        s.restartProgram = [] {};
        return s;
    }

    std::string dir_;
    FakeUi ui_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<ScriptServer> server_;
    ClientCore core_;
};

TEST_F(HostileFrameTest, AnEndlessMessageStreamStillLetsTheFrameOpenAndClose) {
    Serve([this](Socket& peer, int) {
        RequestHeader h;
        while (ScriptServer::ReadHeader(peer, h)) {
            if (h.command == cmd::LoadSignalFlags) {
                const char flags[50] = {};
                peer.Send(flags, sizeof flags);
            } else if (h.command == cmd::LoadMessages) {
                // Items for ever, as fast as the client takes them.
                const std::int32_t item[3] = {1, 1700000000, 0};
                while (!stop_)
                    if (peer.Send(item, sizeof item) <= 0) return;
            } else {
                Send32(peer, 0);
            }
        }
    });
    auto frame = std::make_unique<CMainFrame>(core_, Services());
    frame->StartupLoad();
    EXPECT_LE(frame->Core().Messages().Size(), kMaxLoadedMessages);
    EXPECT_GT(frame->Core().Messages().Size(), 0u);
    frame.reset();  // no worker waits on the server
}

TEST_F(HostileFrameTest, AByteAtATimeServerStillLetsTheFrameOpenAndClose) {
    Serve([this](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        // A count of one, then its record a byte at a time.
        const char c = 1;
        Send32(peer, 1);
        while (!stop_ && peer.Send(&c, 1) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    auto frame = std::make_unique<CMainFrame>(core_, Services());
    frame->StartupLoad();
    EXPECT_EQ(frame->Core().PriceAlerts().Copy().size(), 0u);
    EXPECT_EQ(frame->Core().Messages().Size(), 0u);
    frame.reset();
}

}  // namespace
}  // namespace zq
