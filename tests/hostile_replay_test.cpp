// The whole client, logged in to the stand-in server, against a server that turns hostile: a
// flood of large instant messages on the push link, and a trade request that is never
// answered. Throughout, the window must answer (a ping through its event loop) and the
// process must stay within its memory bound; the operation ends with its own message. How
// long the window took is reported, never asserted.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/wire/framing.h"
#include "net/wire/socket.h"
#include "reports/message_store.h"
#include "tests/support/client_e2e.h"
#include "tests/support/script_server.h"
#include "tests/support/window_ping.h"
#include "trading/ui/open_order.h"
#include "widgets/command_ids.h"

namespace zq {
namespace {

using namespace test;

// The process's memory may not pass this while the server misbehaves.
constexpr long long kMemoryBoundMiB = 300;
// A window that waits longer than this for its event loop has frozen: far above a healthy
// window's wait, far below any network deadline.
constexpr long long kFrozenMs = 2000;

// Reads one push item of the server's (its type already read) and appends it to `item`;
// false when the link ends.
bool RelayItem(Socket& from, std::int32_t type, std::vector<char>& item) {
    const auto take = [&](int count) {
        const std::size_t at = item.size();
        item.resize(at + static_cast<std::size_t>(count));
        return ReceiveExact(from, item.data() + at, count) == count;
    };
    switch (type) {
        case push::Record:
            return take(56);
        case push::Message: {
            if (!take(12)) return false;
            std::int32_t length;
            std::memcpy(&length, item.data() + item.size() - 4, 4);
            return length <= 0 || (length <= kMaxMessageBytes && take(length));
        }
        case push::Discard:
            return take(push::kDiscardBytes);
        default:
            return true;
    }
}

class HostileReplay : public ClientEndToEnd {
  protected:
    // The client's push link runs through a relay that passes the server's items on and, when
    // a test asks, sends items of its own between two of them.
    void BeforeStart() override {
        relay_ = std::make_unique<ScriptServer>([this](Socket& client, int) { Relay(client); });
        relay_->UseAsPushPort();
    }
    void TearDown() override {
        stop_ = true;
        ClientEndToEnd::TearDown();
        relay_.reset();
        silent_.reset();
        timeouts::SetOperationDeadlineMs(0);
    }

    void Relay(Socket& client) {
        RequestHeader subscribe;
        if (!ScriptServer::ReadHeader(client, subscribe)) return;
        Socket server = Socket::Connect(htonl(INADDR_LOOPBACK), server_.pushPort(), 0);
        if (!server.Valid() || server.Send(&subscribe, sizeof subscribe) != sizeof subscribe)
            return;
        std::vector<char> item;
        while (!stop_) {
            std::int32_t type = 0;
            if (ReceiveExact(server, &type, 4) != 4) return;
            item.assign(reinterpret_cast<char*>(&type), reinterpret_cast<char*>(&type) + 4);
            if (!RelayItem(server, type, item)) return;
            if (client.Send(item.data(), item.size()) != static_cast<int>(item.size())) return;
            if (floodSeconds_ > 0) Flood(client);
        }
    }

    // Instant messages of the longest text the client takes, as fast as it reads them.
    void Flood(Socket& client) {
        std::vector<char> item(16 + kMaxMessageBytes, 'A');
        const std::int32_t head[4] = {
            push::Message, 1, static_cast<std::int32_t>(std::time(nullptr)), kMaxMessageBytes};
        std::memcpy(item.data(), head, sizeof head);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(floodSeconds_);
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            if (client.Send(item.data(), item.size()) != static_cast<int>(item.size())) break;
            ++flooded_;
        }
        floodSeconds_ = 0;
        floodDone_ = true;
    }

    // Serves the window thread until `done`, noting the peak of the process's memory.
    template <class F>
    bool ServeWatching(F&& done, int ms) {
        return ServeUntil(
            [&] {
                peakMiB_ = std::max(peakMiB_, ResidentMiB());
                return done();
            },
            ms);
    }

    std::unique_ptr<ScriptServer> relay_;
    std::unique_ptr<ScriptServer> silent_;
    std::atomic<bool> stop_{false};
    std::atomic<int> floodSeconds_{0};
    std::atomic<bool> floodDone_{false};
    std::atomic<long long> flooded_{0};
    long long peakMiB_ = 0;
};

TEST_F(HostileReplay, AFloodOfLargeInstantMessagesNeitherFreezesNorBloatsTheClient) {
    WindowPing ping;
    floodSeconds_ = 5;
    ASSERT_TRUE(MoveGold(1660.00));  // an item from the server starts the flood after it
    ASSERT_TRUE(ServeWatching([&] { return floodDone_.load(); }, kWaitMs));
    // What was read is shown or dropped; then the message manager opens on what is kept.
    ServeWatching([] { return false; }, 1000);
    const long long duringFlood = ping.LongestWaitMs();
    QTimer::singleShot(300, [] {
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    frame_->OnCommand(cmdid::OpenMessages);
    ServeWatching([] { return false; }, 500);

    EXPECT_GT(flooded_.load(), 0);
    EXPECT_LE(peakMiB_, kMemoryBoundMiB) << flooded_ << " messages of 64 KiB";
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    RecordProperty("flooded_messages", std::to_string(flooded_.load()));
    RecordProperty("peak_rss_mib", std::to_string(peakMiB_));
    RecordProperty("longest_window_wait_during_flood_ms", std::to_string(duringFlood));
    RecordProperty("longest_window_wait_ms", std::to_string(ping.LongestWaitMs()));
}

TEST_F(HostileReplay, ATradeTheServerNeverAnswersEndsWithItsMessageWhileTheWindowAnswers) {
    // From now on the request port takes requests and answers nothing.
    silent_ = std::make_unique<ScriptServer>([this](Socket& peer, int) {
        RequestHeader h;
        while (ScriptServer::ReadHeader(peer, h) && !stop_) {
            char payload[4096];
            while (!stop_ && peer.Recv(payload, sizeof payload) > 0) {
            }
        }
    });
    silent_->UseAsRequestPort();
    timeouts::SetOperationDeadlineMs(1500);

    WindowPing ping;
    bool shown = false;
    WhenDialogShows<COpenOrder>(
        [&](COpenOrder& d) {
            d.Submit(direction::Buy);
            // The dialog waits for its operation; the window goes on meanwhile.
            ServeWatching([&] { return !ui_.BoxTexts().empty() || !d.isVisible(); }, kWaitMs);
        },
        &shown);
    frame_->OnCommand(cmdid::NewMarketOrder);
    ServeWatching([&] { return !ui_.BoxTexts().empty(); }, kWaitMs);

    EXPECT_TRUE(shown);
    EXPECT_FALSE(ui_.BoxTexts().empty());
    EXPECT_GT(silent_->Connections(), 0);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    EXPECT_LE(peakMiB_, kMemoryBoundMiB);
    RecordProperty("boxes", testing::PrintToString(ui_.BoxTexts()));
    RecordProperty("longest_window_wait_ms", std::to_string(ping.LongestWaitMs()));
}

// Every request answer of the server comes late, each part of it 250 ms after the last, yet
// within its deadline: the log-in, the start-up loads and the account's load take many seconds,
// and all the while the window answers.
class SlowAnswers : public HostileReplay {
  protected:
    void BeforeStart() override {
        HostileReplay::BeforeStart();
        ping_ = std::make_unique<WindowPing>();
        slow_ = std::make_unique<ScriptServer>([this](Socket& client, int) { SlowRelay(client); });
        slow_->UseAsRequestPort();
    }
    void TearDown() override {
        HostileReplay::TearDown();
        slow_.reset();
        ping_.reset();
    }

    void SlowRelay(Socket& client) {
        Socket server = Socket::Connect(htonl(INADDR_LOOPBACK), server_.requestPort(), 0);
        if (!server.Valid()) return;
        // The client's bytes go straight on; the server's wait.
        std::thread ask([&] {
            char b[4096];
            for (int n; (n = client.Recv(b, sizeof b)) > 0;)
                if (server.Send(b, static_cast<std::size_t>(n)) != n) break;
            server.Shutdown();
        });
        char b[4096];
        for (int n; !stop_ && (n = server.Recv(b, sizeof b)) > 0;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            ++slowParts_;
            if (client.Send(b, static_cast<std::size_t>(n)) != n) break;
        }
        client.Shutdown();
        ask.join();
    }

    std::unique_ptr<WindowPing> ping_;
    std::unique_ptr<ScriptServer> slow_;
    std::atomic<int> slowParts_{0};
};

TEST_F(SlowAnswers, SlowStartUpLoadsLeaveTheWindowAnswering) {
    // The fixture has logged in and waited for the history and the first price.
    EXPECT_GT(slowParts_.load(), 8);
    EXPECT_GT(model_->Instruments().size(), 0u);
    EXPECT_LT(ping_->LongestWaitMs(), kFrozenMs);
    RecordProperty("slow_answer_parts", std::to_string(slowParts_.load()));
    RecordProperty("longest_window_wait_ms", std::to_string(ping_->LongestWaitMs()));
}

}  // namespace
}  // namespace zq
