#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <set>
#include <thread>

#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AccountServer;
using test::FakeUi;
using test::Int32Bytes;
using test::ListAnswer;
using test::MakeInstrument;
using test::MakeOrder;
using test::MakePosition;

std::vector<PositionRecord> Tickets(std::initializer_list<const char*> names) {
    std::vector<PositionRecord> v;
    for (const char* n : names) v.push_back(MakePosition(1, direction::Buy, 1.0, 1, 0, 0, 1, n));
    return v;
}

std::vector<std::string> TicketsOf(const std::vector<PositionRecord>& list) {
    std::vector<std::string> v;
    for (const auto& p : list) v.emplace_back(p.ticket);
    return v;
}

class LoadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model.SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(debugMutex);
            debug.emplace_back(line);
        });
    }
    // Runs `fn` on one fresh request connection.
    template <typename Fn>
    void OnConnection(Fn&& fn) {
        Socket s = OpenRequestConnection(nullptr);
        ASSERT_TRUE(s.Valid());
        fn(s);
        s.ShutdownClose();
    }
    std::vector<std::string> Debug() {
        std::lock_guard<std::mutex> lock(debugMutex);
        return debug;
    }

    FakeUi ui;
    AccountServer server;
    TradingModel model;
    std::mutex debugMutex;
    std::vector<std::string> debug;
};

TEST_F(LoadTest, TheInitialLoadRunsItsSequenceOnOneConnectionWithTheExactPayloads) {
    Session().sessionKey[0] = 11;
    Session().sessionKey[3] = 44;
    Session().accountClass = 3;
    server.SetList(cmd::LoadSummary, Tickets({"S1"}));
    server.SetList(cmd::LoadPositions, Tickets({"P1", "P2"}));
    server.SetList(cmd::LoadPending, std::vector<PendingOrderRecord>{MakeOrder(1, 1, 1, 5.0)});
    AccountBlock a{};
    std::strcpy(a.accountName, "acct");
    a.freeFunds = 500;
    a.equity = 123;  // the client's own figures are never taken from the server
    a.riskRate = 77;
    server.SetAccount(a);

    model.InitialLoad(nullptr);
    EXPECT_EQ(server.Connections(),
              (std::vector<std::vector<std::int32_t>>{
                  {cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount, cmd::LoadPending}}));
    EXPECT_EQ(TicketsOf(model.Summary()), (std::vector<std::string>{"S1"}));
    EXPECT_EQ(TicketsOf(model.Positions()), (std::vector<std::string>{"P1", "P2"}));
    EXPECT_EQ(model.Orders().size(), 1u);
    EXPECT_STREQ(model.Account().accountName, "acct");
    EXPECT_EQ(model.Account().equity, 500.0);  // recomputed
    EXPECT_EQ(model.Account().riskRate, 0.0f);
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(Debug(), (std::vector<std::string>{"kDelegateInfoList完成\n"}));

    auto payloads = server.Payloads();
    EXPECT_EQ(payloads[cmd::LoadPositions], std::string(44, '\0'));
    std::string orders(56, '\0');
    orders[8] = 1;
    EXPECT_EQ(payloads[cmd::LoadPending], orders);
    EXPECT_EQ(payloads[cmd::LoadSummary], "");
    for (const RequestHeader& h : server.Headers()) {
        EXPECT_EQ(h.key[0], 11);
        EXPECT_EQ(h.key[3], 44);
        EXPECT_EQ(h.accountClass, 3);
    }
    ResetSession();
}

TEST_F(LoadTest, AFailedStepSkipsTheLaterPositionStepsButNotTheOrders) {
    model.SetPositions(Tickets({"OLD"}));
    server.Remove(cmd::LoadSummary);  // the server hangs up on command 20
    model.InitialLoad(nullptr);
    EXPECT_EQ(server.Commands(), (std::vector<std::int32_t>{cmd::LoadSummary}));
    // Command 20 fails, and command 17 then fails on the dead connection.
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{kPositionsLoadFailedText, kPositionsLoadFailedText}));
    EXPECT_EQ(ui.Boxes()[0].caption, AppTitle());
    EXPECT_EQ(TicketsOf(model.Positions()), (std::vector<std::string>{"OLD"}));

    // The re-initialisation asks for the orders first.
    server.Set(cmd::LoadSummary, Int32Bytes(0));
    server.ClearLog();
    model.Reinitialise(nullptr);
    EXPECT_EQ(server.Connections(),
              (std::vector<std::vector<std::int32_t>>{
                  {cmd::LoadPending, cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount}}));
}

struct ListCase {
    const char* what;
    std::string answer;  // sent after the request, then the server hangs up
    std::vector<std::string> list;
    bool ok;
};

TEST_F(LoadTest, APositionListTakesTheWholeRecordsThatArrived) {
    const auto three = Tickets({"A", "B", "C"});
    const auto two = Tickets({"A", "B"});
    auto unusable = three;  // money that is no number cannot be summed into the account
    unusable[1].openPrice = std::numeric_limits<double>::quiet_NaN();
    unusable[2].heldQuantity = std::numeric_limits<double>::infinity();
    const std::vector<std::string> old{"OLD"}, none{}, ab{"A", "B"}, a{"A"};
    const ListCase cases[] = {
        {"count 0 empties the list", Int32Bytes(0), none, true},
        {"a negative count empties the list", Int32Bytes(-5), none, true},
        {"every record", ListAnswer(3, three), {"A", "B", "C"}, true},
        {"a count larger than the records", ListAnswer(3, two), ab, false},
        {"a record cut short", ListAnswer(2, two, 100), a, false},
        {"figures that are not numbers", ListAnswer(3, unusable), a, false},
        // Refused before any record is read: the records after the cap would be left for the
        // next answer on the connection.
        {"a count beyond any list", ListAnswer(0x7fffffff, two), old, false},
        {"closed before the count", "", old, false},
        {"the count cut short", Int32Bytes(2).substr(0, 3), old, false},
    };
    for (const auto& c : cases) {
        model.SetPositions(Tickets({"OLD"}));
        ui.Clear();
        server.Set(cmd::LoadPositions, c.answer, true);
        bool ok = true;
        OnConnection([&](Socket& s) { ok = model.LoadPositions(s); });
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(TicketsOf(model.Positions()), c.list) << c.what;
        EXPECT_EQ(ui.BoxTexts(), c.ok ? std::vector<std::string>{}
                                      : std::vector<std::string>{kPositionsLoadFailedText})
            << c.what;
    }
}

TEST_F(LoadTest, ACutPositionListStopsTheReloadBeforeTheAccount) {
    test::EditAccount(model, [](AccountBlock& a) { a.freeFunds = 42; });
    server.Set(cmd::LoadPositions, ListAnswer(2, Tickets({"A"})), true);
    EXPECT_FALSE(model.ReloadPositions(nullptr));
    EXPECT_EQ(server.Commands(), (std::vector<std::int32_t>{cmd::LoadSummary, cmd::LoadPositions}));
    EXPECT_EQ(model.Account().freeFunds, 42.0);
    EXPECT_EQ(TicketsOf(model.Positions()), (std::vector<std::string>{"A"}));
}

TEST_F(LoadTest, TheOrderListFollowsTheSameRuleAndReportsItsRefill) {
    model.SetOrders({MakeOrder(1, 1, 1, 1.0, 1, "OLD")});
    std::vector<PendingOrderRecord> sent{MakeOrder(1, 1, 1, 1.0, 1, "N1"),
                                         MakeOrder(1, 1, 1, 1.0, 1, "N2")};
    server.Set(cmd::LoadPending, ListAnswer(2, sent, 1), true);
    ui.Clear();
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.ReloadOrders(s)); });
    ASSERT_EQ(model.Orders().size(), 1u);
    EXPECT_STREQ(model.Orders()[0].orderNumber, "N1");
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{kPositionsLoadFailedText}));
    EXPECT_EQ(Debug(), (std::vector<std::string>{"kDelegateInfoList完成\n"}));

    server.Set(cmd::LoadPending, "", true);  // no count: no refill, no line
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.ReloadOrders(s)); });
    EXPECT_STREQ(model.Orders()[0].orderNumber, "N1");
    EXPECT_EQ(Debug().size(), 1u);
}

TEST_F(LoadTest, TheInstrumentListIsReplacedOnlyByAPositiveCountAndSilently) {
    model.SetInstruments({MakeInstrument(1, 2, 1)});
    auto ids = [&] {
        std::vector<std::int32_t> v;
        for (const auto& i : model.Instruments()) v.push_back(i.id);
        return v;
    };
    for (std::int32_t count : {0, -3}) {
        server.Set(cmd::LoadInstruments, Int32Bytes(count), true);
        OnConnection([&](Socket& s) { EXPECT_TRUE(model.LoadInstruments(s)); });
        EXPECT_EQ(ids(), (std::vector<std::int32_t>{1})) << count;
    }
    EXPECT_TRUE(Debug().empty());

    std::vector<InstrumentRecord> sent{MakeInstrument(5, 2, 1), MakeInstrument(6, 3, 1)};
    server.SetList(cmd::LoadInstruments, sent);
    OnConnection([&](Socket& s) { EXPECT_TRUE(model.LoadInstruments(s)); });
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(Debug(), (std::vector<std::string>{"kTypeInfoList完成\n"}));

    server.Set(cmd::LoadInstruments, ListAnswer(3, sent, 10), true);
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.LoadInstruments(s)); });
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{5}));

    server.Set(cmd::LoadInstruments, "", true);
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.LoadInstruments(s)); });
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{5}));
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(LoadTest, AShortAccountBlockKeepsWhatArrivedOverZeros) {
    AccountBlock a{};
    a.base1 = 1000;               // offset 48: arrives
    a.previousDeferralFee = 7.5;  // offset 112: cut off
    test::EditAccount(model, [](AccountBlock& b) { b.freeFunds = 99; });
    std::string bytes(reinterpret_cast<const char*>(&a), 100);
    server.Set(cmd::LoadAccount, bytes, true);
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.LoadAccount(s)); });
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{kAccountLoadFailedText}));
    AccountBlock got = model.Account();
    EXPECT_EQ(got.base1, 1000.0);
    EXPECT_EQ(got.freeFunds, 0.0);
    EXPECT_EQ(got.previousDeferralFee, 0.0);

    // Closed before anything arrived: the block is zeroed.
    server.Set(cmd::LoadAccount, "", true);
    OnConnection([&](Socket& s) { EXPECT_FALSE(model.LoadAccount(s)); });
    EXPECT_EQ(model.Account().base1, 0.0);
}

TEST_F(LoadTest, CommandFiftyFourIsReadAndLeftAlone) {
    std::int32_t answer = 0;
    OnConnection([&](Socket& s) {
        EXPECT_TRUE(LoadTradingHours(s, &answer));
        EXPECT_TRUE(model.LoadInstruments(s));  // the next step on the same connection
    });
    EXPECT_EQ(answer, 930);
    EXPECT_EQ(server.Commands(),
              (std::vector<std::int32_t>{cmd::LoadTradingHours, cmd::LoadInstruments}));
    server.Set(cmd::LoadTradingHours, "", true);
    OnConnection([&](Socket& s) { EXPECT_FALSE(LoadTradingHours(s)); });
}

TEST_F(LoadTest, AReaderNeverSeesAListHalfRefilled) {
    model.SetPositions(Tickets({"OLD"}));
    const auto five = Tickets({"A", "B", "C", "D", "E"});
    server.SetSlowList(cmd::LoadPositions, ListAnswer(5, five), sizeof(PositionRecord), 20);
    std::atomic<bool> done{false};
    std::set<std::size_t> sizes;
    std::thread reader([&] {
        while (!done) {
            sizes.insert(model.VisitPositions([](const auto& list) { return list.size(); }));
            std::this_thread::yield();
        }
    });
    OnConnection([&](Socket& s) { EXPECT_TRUE(model.LoadPositions(s)); });
    done = true;
    reader.join();
    for (std::size_t n : sizes) EXPECT_TRUE(n == 1 || n == 5) << n;
    EXPECT_EQ(model.Positions().size(), 5u);
}

TEST_F(LoadTest, TheSignalReloadNotifiesEveryListenerWithTheAccountRecomputed) {
    int w = 0;
    ui.SetLive(&w);
    model.RegisterTickListener(&w);
    AccountBlock a{};
    a.freeFunds = 7393.74;
    a.occupiedMargin = 92606.26;
    server.SetAccount(a);
    model.ReloadAfterSignal();
    // With no position open the figures are the block's own, not 0.00.
    EXPECT_DOUBLE_EQ(model.Account().availableMargin, 7393.74);
    EXPECT_FLOAT_EQ(model.Account().equity, 100000.0f);
    EXPECT_EQ(server.Connections(),
              (std::vector<std::vector<std::int32_t>>{
                  {cmd::LoadPending, cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount}}));
    EXPECT_EQ(ui.SendsTo(&w), (std::vector<unsigned>{WM_POSITIONS_CHANGED, WM_ORDERS_CHANGED}));
}

TEST(LoadWithoutServer, AConnectionThatCannotOpenShowsTheConnectMessage) {
    FakeUi ui;
    TradingModel model;
    int owner = 0, w = 0;
    ui.SetLive(&w);
    model.RegisterTickListener(&w);
    {
        AccountServer gone;  // its port is closed once it is destroyed
    }
    EXPECT_FALSE(model.ReloadPositions(&owner));
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_EQ(ui.Boxes()[0].text, kConnectFailedText);
    EXPECT_EQ(ui.Boxes()[0].owner, &owner);
    model.ReloadAfterSignal();
    EXPECT_TRUE(ui.Sends().empty());
    EXPECT_EQ(ui.Boxes().size(), 2u);
}

}  // namespace
}  // namespace zq
