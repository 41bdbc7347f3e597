// The server links without any window, against scripted push and data servers: what a rebuild
// asks for and tells the windows, the link check and its keep-alive, the log-out orders through
// the window bridge, paging, and the shutdown that leaves no worker inside the program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/config.h"
#include "market/history_cache.h"
#include "net/server_links.h"
#include "net/wire/session.h"
#include "tests/links_support.h"
#include "tests/support/fake_ui.h"
#include "tests/support/test_directory.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using namespace test;

// The main view as the links see it: a handle to post to.
const WindowHandle kView = reinterpret_cast<WindowHandle>(0x5EA7);

class ServerLinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-server-links");
        PointLinksAt(dir_, push_.Port(), data_.Port());
    }
    void TearDown() override {
        reads_->Release();
        links_.reset();
        ClearLinksEnvironment(dir_);
    }

    // Links whose window hooks write what they were asked into `calls_`, and whose sinks
    // count what the push link brought.
    ServerLinks& MakeLinks(int instrument = 1) {
        ServerLinks::WindowHooks hooks;
        hooks.chartReset = [this] { calls_.push_back("reset"); };
        hooks.relayout = [this] { calls_.push_back("relayout"); };
        hooks.closeAndRestart = [this] { calls_.push_back("restart"); };
        hooks.serveWindowThread = [this] {
            ++served_;
            if (serve_) serve_();
        };
        hooks.startLinkCheck = [this](int ms) { calls_.push_back("start " + std::to_string(ms)); };
        hooks.stopLinkCheck = [this] { calls_.push_back("stop"); };
        links_ = std::make_unique<ServerLinks>(kView, instrument, std::move(hooks));
        links_->SetQuoteSink([this](const BarRecord& r) {
            if (quoteHook_) quoteHook_(r);
            ++quotes_;
        });
        links_->SetMessageSink([this](const std::string&, std::int32_t) { ++messages_; });
        links_->SetCacheReader(
            [reads = reads_](const std::string& dir, int instrument, int period) {
                reads->Enter();
                return ReadHistoryCache(dir, instrument, period);
            });
        return *links_;
    }
    // Cache reads go straight through, or wait while held until the test releases them.
    struct CacheReads {
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        std::atomic<int> begun{0};
        void Enter() {
            std::unique_lock lock(mutex);
            ++begun;
            changed.wait(lock, [&] { return !held; });
        }
        void Hold() {
            std::lock_guard lock(mutex);
            held = true;
        }
        void Release() {
            {
                std::lock_guard lock(mutex);
                held = false;
            }
            changed.notify_all();
        }
    };
    // What the hooks were asked since the last call.
    std::vector<std::string> TakeCalls() { return std::exchange(calls_, {}); }
    std::vector<unsigned> PostsToView() const {
        std::vector<unsigned> out;
        for (const auto& m : ui_.Posts())
            if (m.target == kView) out.push_back(m.msg);
        return out;
    }
    int Posted(unsigned msg) const {
        int n = 0;
        for (unsigned m : PostsToView()) n += m == msg;
        return n;
    }
    // Rebuilds and waits until the push link of this rebuild has subscribed.
    void RebuildAndSubscribe() {
        const int subscribed = push_.Subscribed();
        links_->RebuildLinks();
        ASSERT_TRUE(WaitUntil([&] { return push_.Subscribed() == subscribed + 1; }));
    }

    FakeUi ui_;
    std::filesystem::path dir_;
    PushServer push_;
    DataServer data_;
    std::vector<std::string> calls_;
    std::atomic<int> served_{0};
    std::function<void()> serve_;
    std::function<void(const BarRecord&)> quoteHook_;
    std::atomic<int> quotes_{0};
    std::atomic<int> messages_{0};
    std::shared_ptr<CacheReads> reads_ = std::make_shared<CacheReads>();
    std::unique_ptr<ServerLinks> links_;
};

TEST_F(ServerLinksTest, ARebuildResetsTheChartAndAsksForWhatTheCacheLacks) {
    ServerLinks& links = MakeLinks(7);
    EXPECT_EQ(links.Chart().Instrument(), 7);
    EXPECT_EQ(links.Chart().Period(), 15);
    EXPECT_TRUE(TakeCalls().empty()) << "the first instrument needs no window";
    EXPECT_FALSE(links.PushConnected()) << "links start with RebuildLinks only";
    EXPECT_FALSE(links.LinkCheckRunning());

    // Choosing an instrument resets the chart at once; the period waits for the rebuild.
    links.Chart().AddFinishedBar(HistoryBar(7, 1));
    links.SetCurrentInstrument(3);
    EXPECT_EQ(links.Chart().Instrument(), 3);
    EXPECT_EQ(links.Chart().BarCount(), 0u);
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"reset"});
    links.SetCurrentPeriod(30);
    EXPECT_EQ(links.Chart().Period(), 15);
    EXPECT_TRUE(TakeCalls().empty());

    // Cache of instrument 3 at 30 minutes: bars 100..96. The download brings 103..100.
    ASSERT_TRUE(
        WriteHistoryFile(HistoryFilePath(HistoryDirectory(), 3, 30), HistoryBars(3, 100, 5)));
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(3, 103, 4))}), "K"));
    RebuildAndSubscribe();
    EXPECT_EQ(links.RebuildCount(), 1);
    EXPECT_EQ(links.Chart().Period(), 30);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"reset", "relayout"}));
    EXPECT_TRUE(links.PushConnected());
    ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    ASSERT_TRUE(links.HistoryLoaded());
    ASSERT_EQ(data_.Requests().size(), 1u);
    EXPECT_EQ(data_.Requests()[0].command, cmd::History(30, 3));
    EXPECT_EQ(data_.Requests()[0].keyA, Text(MakeBarKey(HistoryBar(3, 100))))
        << "key A is the newest cached bar";
    EXPECT_EQ(data_.Requests()[0].keyB, "0");
    EXPECT_EQ(links.Chart().BarCount(), 8u) << "download and cache joined";
    EXPECT_EQ(Posted(WM_CHART_INVALIDATE), 1) << "the view repaints the chart";

    // Without a cache key A is "0": everything. A rebuild while connected keeps the push link.
    links.SetCurrentInstrument(4);
    TakeCalls();
    links.RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return data_.Requests().size() == 2u && !links.HistoryBusy(); }));
    EXPECT_EQ(data_.Requests()[1].command, cmd::History(30, 4));
    EXPECT_EQ(data_.Requests()[1].keyA, "0");
    EXPECT_EQ(push_.Subscribed(), 1);
    EXPECT_EQ(push_.ClosedByClient(), 0);
}

TEST_F(ServerLinksTest, TheWindowThreadGoesOnWhileTheCacheIsReadAndTheCloseDoesNotWaitForIt) {
    ServerLinks& links = MakeLinks();
    ASSERT_TRUE(
        WriteHistoryFile(HistoryFilePath(HistoryDirectory(), 1, 15), HistoryBars(1, 100, 5)));
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 102, 3))}), "K"));

    // The rebuild returns, the view is laid out and the push link subscribes while the read
    // has not ended; the history request waits for the read.
    reads_->Hold();
    RebuildAndSubscribe();
    ASSERT_TRUE(WaitUntil([&] { return reads_->begun == 1; }));
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"reset", "relayout"}));
    EXPECT_TRUE(links.HistoryBusy());
    EXPECT_TRUE(data_.Requests().empty());
    EXPECT_EQ(links.Chart().HistorySize(), 0u);
    reads_->Release();
    ASSERT_TRUE(WaitUntil([&] { return links.HistoryLoaded() && !links.HistoryBusy(); }));
    ASSERT_EQ(data_.Requests().size(), 1u);
    EXPECT_EQ(data_.Requests()[0].keyA, Text(MakeBarKey(HistoryBar(1, 100))));
    EXPECT_EQ(links.Chart().BarCount(), 7u) << "download and cache joined";

    // Closing during a read returns at once; the read's bars go nowhere.
    reads_->Hold();
    links.RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return reads_->begun == 2; }));
    links.ShutdownLinks();
    EXPECT_FALSE(links.HistoryBusy());
    reads_->Release();
    ASSERT_TRUE(WaitUntil([] { return SessionUsers() == 0; })) << "the read's worker ended";
    EXPECT_EQ(links.Chart().HistorySize(), 0u);
    EXPECT_EQ(data_.Requests().size(), 1u);
}

TEST_F(ServerLinksTest, ACacheReadOvertakenByAResetOrARebuildIsDropped) {
    ServerLinks& links = MakeLinks();
    for (auto [instrument, period, newest] :
         {std::tuple{1, 15, 100}, std::tuple{2, 15, 300}, std::tuple{2, 30, 500}})
        ASSERT_TRUE(WriteHistoryFile(HistoryFilePath(HistoryDirectory(), instrument, period),
                                     HistoryBars(instrument, newest, 5)));

    // A new instrument chosen while its predecessor's cache is read: the chart refuses bars
    // read for the series it held before, and no request goes out for that one.
    reads_->Hold();
    links.RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return reads_->begun == 1; }));
    links.SetCurrentInstrument(2);
    reads_->Release();
    ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    EXPECT_EQ(links.Chart().HistorySize(), 0u);
    EXPECT_TRUE(data_.Requests().empty());

    // A rebuild while the previous rebuild's read runs: only the newer series is read into the
    // chart and asked for.
    reads_->Hold();
    links.RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return reads_->begun == 2; }));
    links.SetCurrentPeriod(30);
    links.RebuildLinks();
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(2, 501, 2))}), "K"));
    reads_->Release();
    ASSERT_TRUE(WaitUntil([&] { return links.HistoryLoaded() && !links.HistoryBusy(); }));
    ASSERT_EQ(data_.Requests().size(), 1u);
    EXPECT_EQ(data_.Requests()[0].command, cmd::History(30, 2));
    EXPECT_EQ(data_.Requests()[0].keyA, Text(MakeBarKey(HistoryBar(2, 500))));
    const std::vector<BarRecord> bars = links.Chart().RawBars();
    ASSERT_EQ(bars.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(TimeText(bars[i]), HistoryBar(2, 501 - i).time) << i;
}

TEST_F(ServerLinksTest, TheLinkCheckRebuildsExactlyOncePerSilentCheck) {
    ServerLinks& links = MakeLinks();
    links.StartLinkCheck();
    EXPECT_TRUE(links.LinkCheckRunning());
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"start " + std::to_string(kLinkCheckMs)});
    RebuildAndSubscribe();
    ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    TakeCalls();

    links.OnLinkCheck();  // the keep-alive flag starts set: the first period counts as alive
    EXPECT_EQ(links.RebuildCount(), 1);
    EXPECT_TRUE(TakeCalls().empty());

    // Each silent check: one rebuild, the old push socket closed and a new one subscribed, the
    // period counted again from the rebuild.
    for (int check = 1; check <= 3; ++check) {
        links.OnLinkCheck();
        EXPECT_EQ(links.RebuildCount(), 1 + check);
        EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"stop", "reset", "relayout",
                                                         "start " + std::to_string(kLinkCheckMs)}));
        ASSERT_TRUE(WaitUntil([&] { return push_.Subscribed() == 1 + check; })) << check;
        EXPECT_TRUE(WaitUntil([&] { return push_.ClosedByClient() == check; })) << check;
        EXPECT_TRUE(links.LinkCheckRunning());
        ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    }
    EXPECT_EQ(data_.Requests().size(), 4u) << "every rebuild reloads the history";

    // A keep-alive (seen through the record behind it) keeps the next check from rebuilding,
    // and that one only.
    Bytes alive;
    PutItem(alive, push::KeepAlive);
    PutRecord(alive, HistoryBar(9, 1));
    push_.Send(alive);
    ASSERT_TRUE(WaitUntil([&] { return quotes_ == 1; }));
    links.OnLinkCheck();
    EXPECT_EQ(links.RebuildCount(), 4);
    EXPECT_TRUE(TakeCalls().empty());
    links.OnLinkCheck();
    EXPECT_EQ(links.RebuildCount(), 5);

    // A new period restarts a running timer; a period below 1 ms is 1 ms.
    TakeCalls();
    links.SetLinkCheckPeriod(0);
    EXPECT_EQ(links.LinkCheckPeriod(), 1);
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"start 1"});
}

// The push port listens but never lets a connection in. The rebuilds return while the connect
// waits, a second one starts no other connect, and the link check goes by keep-alives as ever.
// A close while the connect waits wins: let in late, its socket is closed unread. The next
// silent check rebuilds, and the link connects once the port lets it in.
TEST_F(ServerLinksTest, APushPortThatNeverAcceptsHoldsUpNeitherTheCallerNorTheLinkCheck) {
    FullQueuePort port;
    PointLinksAt(dir_, port.Port(), data_.Port());
    ServerLinks& links = MakeLinks();
    links.StartLinkCheck();
    links.RebuildLinks();
    EXPECT_TRUE(links.PushConnected()) << "the rebuild returned while its connect waits";
    links.SetCurrentInstrument(2);
    links.RebuildLinks();
    EXPECT_TRUE(links.PushConnected());
    TakeCalls();
    links.OnLinkCheck();  // the first period counts as alive, whatever the connect does
    EXPECT_EQ(links.RebuildCount(), 2);
    EXPECT_TRUE(TakeCalls().empty());

    links.ClosePushLink();
    EXPECT_FALSE(links.PushConnected());
    port.Admit();
    Socket late = port.Accept(timeouts::ConnectMs);
    ASSERT_TRUE(late.Valid()) << "the connect that waited got in after its close";
    late.SetReadTimeout(timeouts::ConnectMs);
    char byte = 0;
    EXPECT_EQ(late.Recv(&byte, 1), 0) << "closed without a subscription";
    EXPECT_FALSE(port.Accept(300).Valid()) << "one connect for both rebuilds";
    EXPECT_FALSE(links.PushConnected());

    links.OnLinkCheck();
    EXPECT_EQ(links.RebuildCount(), 3);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"stop", "reset", "relayout",
                                                     "start " + std::to_string(kLinkCheckMs)}));
    Socket link = port.Accept(timeouts::ConnectMs);
    ASSERT_TRUE(link.Valid());
    link.SetReadTimeout(timeouts::ConnectMs);
    RequestHeader subscribe;
    ASSERT_TRUE(ScriptServer::ReadHeader(link, subscribe));
    EXPECT_EQ(subscribe.command, cmd::Subscribe);
    EXPECT_TRUE(links.PushConnected());
}

TEST_F(ServerLinksTest, LogoutOrdersShowTheirTextThroughTheBridgeAndRestartOnce) {
    for (auto [type, msg, text] :
         {std::tuple{push::ForcedOffline, WM_FORCED_OFFLINE, kForcedOfflineText},
          std::tuple{push::Closed, WM_PUSH_LINK_CLOSED, kPushLinkClosedText}}) {
        ui_.Clear();
        ServerLinks& links = MakeLinks();
        links.StartLinkCheck();
        RebuildAndSubscribe();
        TakeCalls();

        // The reader posts the order to the view and ends; nothing shows on its thread.
        const int closed = push_.ClosedByClient();
        Bytes order;
        PutItem(order, type);
        PutRecord(order, HistoryBar(9, 1));  // never read: the order ends the link
        push_.Send(order);
        ASSERT_TRUE(WaitUntil([&] { return Posted(msg) == 1; })) << msg;
        EXPECT_TRUE(WaitUntil([&] { return push_.ClosedByClient() == closed + 1; }));
        EXPECT_EQ(quotes_, 0);
        EXPECT_TRUE(ui_.BoxTexts().empty()) << "the text shows on the view's own thread";

        // The view hands the posted order back.
        links.OnLogoutOrder(msg);
        ASSERT_EQ(ui_.Boxes().size(), 1u) << msg;
        EXPECT_EQ(ui_.Boxes()[0].text, text);
        EXPECT_EQ(ui_.Boxes()[0].caption, AppTitle());
        EXPECT_EQ(ui_.Boxes()[0].owner, kView);
        EXPECT_EQ(ui_.Boxes()[0].buttons, MsgButtons::Ok);
        EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"stop", "restart"}))
            << "the check stops before the text shows, then one close and restart";
        EXPECT_FALSE(links.LinkCheckRunning());
        EXPECT_FALSE(links.PushConnected());
        EXPECT_EQ(Posted(msg), 1);
    }

    // After the shutdown an order is dropped: no text, no restart.
    ui_.Clear();
    links_->ShutdownLinks();
    TakeCalls();
    links_->OnLogoutOrder(WM_FORCED_OFFLINE);
    EXPECT_TRUE(ui_.Boxes().empty());
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(ServerLinksTest, PagingIsRefusedWhileATransferIsBusyAndAfterTheShutdown) {
    ServerLinks& links = MakeLinks();
    // The first page stops half way until the test lets it go on.
    const Bytes first = HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 200, 3))}), "2024T");
    data_.Answer(first, first.size() / 2);
    RebuildAndSubscribe();
    ASSERT_TRUE(data_.WaitPaused(1));
    EXPECT_TRUE(links.HistoryBusy());
    EXPECT_FALSE(links.PageHistory()) << "one transfer at a time";
    data_.Resume();
    ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    ASSERT_TRUE(links.HistoryLoaded());
    EXPECT_EQ(data_.Requests().size(), 1u);

    // Idle: the page before the oldest bar.
    EXPECT_TRUE(links.PageHistory());
    ASSERT_TRUE(WaitUntil([&] { return !links.HistoryBusy(); }));
    ASSERT_EQ(data_.Requests().size(), 2u);
    EXPECT_EQ(data_.Requests()[1].keyA, "2024T");
    EXPECT_EQ(data_.Requests()[1].keyB, Text(MakeBarKey(HistoryBar(1, 198))));

    links.ShutdownLinks();
    EXPECT_FALSE(links.PageHistory());
    links.RebuildLinks();
    EXPECT_EQ(links.RebuildCount(), 1);
    EXPECT_EQ(data_.Requests().size(), 2u) << "nothing more after the shutdown";
}

TEST_F(ServerLinksTest, ShutdownServesTheWindowThreadUntilTheWorkerInsideHasLeft) {
    ServerLinks& links = MakeLinks();
    links.StartLinkCheck();
    // The quote update waits inside the gate for the window thread, which only the shutdown's
    // serving of that thread answers (as a synchronous window message would be).
    std::atomic<bool> answered{false};
    std::atomic<bool> inside{false};
    std::atomic<bool> left{false};
    serve_ = [&] { answered = true; };
    quoteHook_ = [&](const BarRecord&) {
        inside = true;
        WaitUntil([&] { return answered.load(); });
        left = true;
    };
    RebuildAndSubscribe();
    TakeCalls();
    // Two records: the reader is inside the first when the shutdown comes; the second is
    // already on its way.
    Bytes b;
    PutRecord(b, HistoryBar(9, 1));
    PutRecord(b, HistoryBar(9, 2));
    Bytes message;
    PutMessage(message, 1, 1700000100, "hi");
    push_.Send(b);
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
    push_.Send(message);

    links.ShutdownLinks();
    EXPECT_TRUE(answered) << "the window thread was served while the shutdown waited";
    EXPECT_TRUE(left) << "the shutdown returned only after the worker had left";
    EXPECT_TRUE(links.ShutDown());
    EXPECT_FALSE(links.LinkCheckRunning());
    EXPECT_FALSE(links.PushConnected());
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"stop"});

    // The reader ends without handing on anything more.
    ASSERT_TRUE(WaitUntil([&] { return push_.ClosedByClient() == 1; }));
    EXPECT_EQ(quotes_, 1);
    EXPECT_EQ(messages_, 0);

    // Once is enough: a second shutdown, the destructor's included, does nothing, and the
    // link check stays stopped.
    const int served = served_;
    links.ShutdownLinks();
    links.StartLinkCheck();
    links.OnLinkCheck();
    links.OnLinkCheck();
    EXPECT_EQ(served_, served);
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_FALSE(links.LinkCheckRunning());
    EXPECT_EQ(links.RebuildCount(), 1);
    links_.reset();
    EXPECT_EQ(served_, served);
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(ServerLinksTest, ATransferCutShortByTheShutdownNeverReachesTheChart) {
    ServerLinks& links = MakeLinks();
    const Bytes answer = HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 50, 20))}), "T");
    data_.Answer(answer, answer.size() - 20);  // the archive is all there but its last bytes
    RebuildAndSubscribe();
    ASSERT_TRUE(data_.WaitPaused(1));
    links.ShutdownLinks();
    EXPECT_FALSE(links.HistoryBusy()) << "the transfer was stopped, not left running";
    data_.Resume();

    // Whatever the stopped transfer still receives, the chart stays empty and the view is not
    // asked to repaint.
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        ASSERT_EQ(links.Chart().BarCount(), 0u);
    }
    EXPECT_FALSE(links.HistoryLoaded());
    EXPECT_EQ(Posted(WM_CHART_INVALIDATE), 0);
    EXPECT_TRUE(ReadHistoryCache(HistoryDirectory(), 1, 15).empty()) << "nor the cache";
}

}  // namespace
}  // namespace zq

namespace zq {
namespace {

// The chart, its hooks and the signal feed refer to one another: once the links and their
// workers are gone, nothing may keep the chart alive (every view would leak its bars).
TEST_F(ServerLinksTest, NothingKeepsTheChartAliveOnceTheLinksAreGone) {
    std::weak_ptr<KLineData> chart = MakeLinks().ChartData();
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 100, 4))}), "K"));
    links_->RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return links_->HistoryLoaded() && !links_->HistoryBusy(); }));
    links_->ShutdownLinks();
    links_.reset();
    EXPECT_TRUE(WaitUntil([&] { return chart.expired(); }));
}

}  // namespace
}  // namespace zq
