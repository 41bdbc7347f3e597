#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/config.h"
#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AccountServer;
using test::FakeUi;
using test::MakeInstrument;
using test::MakeOrder;
using test::MakePosition;
using test::Quote;

const std::vector<std::int32_t> kPositionReload{cmd::LoadSummary, cmd::LoadPositions,
                                                cmd::LoadAccount};
const std::vector<std::int32_t> kOrderReload{cmd::LoadPending, cmd::LoadSummary, cmd::LoadPositions,
                                             cmd::LoadAccount};
const std::vector<std::int32_t> kBothReload{cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount,
                                            cmd::LoadPending};

// A loopback port nobody listens on.
std::uint16_t ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// Instrument 1 quoted at 1650.50 with spreads of 0.50: ask 1651.00, bid 1650.00.
constexpr std::int32_t kClose = 165050;
constexpr double kAsk = 1651.0, kBid = 1650.0;

class QuoteUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui.SetLive(view);
        ui.SetLive(listener);
        model.SetMainView(view);
        model.RegisterTickListener(listener);
        model.SetInstruments({MakeInstrument(1, 2, 1.0f, 0.5f, 0.5f), MakeInstrument(2, 2, 1.0f)});
        model.SetChartRefresh([this] { ++refreshes; });
        model.SetDebugSink([](std::string_view) {});
    }

    // One market record of instrument 1; the commands the reload sent, one list per connection.
    std::vector<std::vector<std::int32_t>> Run(std::int32_t instrument = 1) {
        server.ClearLog();
        ui.Clear();
        model.QuoteUpdate(Quote(instrument, kClose).Record());
        return server.Connections();
    }

    // What a quote should have sent: one connection with `commands`, or none.
    static std::vector<std::vector<std::int32_t>> Reloads(
        bool fires, const std::vector<std::int32_t>& commands) {
        if (!fires) return {};
        return {commands};
    }

    FakeUi ui;
    AccountServer server;
    TradingModel model;
    int viewObject = 0, listenerObject = 0;
    WindowHandle view = &viewObject, listener = &listenerObject;
    int refreshes = 0;
};

struct PositionCase {
    const char* what;
    std::int32_t instrument, direction;
    double stopLoss, takeProfit;
    std::int32_t watched;
    bool fires;
};

TEST_F(QuoteUpdateTest, StopLossAndTakeProfitOfWatchedPositions) {
    const PositionCase cases[] = {
        {"buy take-profit at the bid", 1, direction::Buy, 0, kBid, 1, true},
        {"buy take-profit above the bid, at the ask", 1, direction::Buy, 0, kAsk, 1, false},
        {"buy stop-loss at the bid", 1, direction::Buy, kBid, 0, 1, true},
        {"buy stop-loss below the bid", 1, direction::Buy, kBid - 0.5, 0, 1, false},
        {"buy stop-loss above the bid", 1, direction::Buy, kBid + 0.25, 0, 1, true},
        {"sell take-profit at the ask", 1, direction::Sell, 0, kAsk, 1, true},
        {"sell take-profit below the ask, at the bid", 1, direction::Sell, 0, kBid, 1, false},
        {"sell stop-loss at the ask", 1, direction::Sell, kAsk, 0, 1, true},
        {"sell stop-loss above the ask", 1, direction::Sell, kAsk + 0.5, 0, 1, false},
        {"sell take-profit above the ask", 1, direction::Sell, 0, kAsk + 1, 1, true},
        {"no stop-loss, no take-profit", 1, direction::Buy, 0, 0, 1, false},
        {"not watched", 1, direction::Buy, kBid, kBid, 0, false},
        {"watched 2 is not watched", 1, direction::Sell, kAsk, kAsk, 2, false},
        {"another instrument", 2, direction::Buy, 0, 0.01, 1, false},
    };
    for (const auto& c : cases) {
        model.SetPositions({MakePosition(c.instrument, c.direction, 1600.0, 1, c.stopLoss,
                                         c.takeProfit, c.watched)});
        EXPECT_EQ(Run(), Reloads(c.fires, kPositionReload)) << c.what;
    }
}

struct OrderCase {
    const char* what;
    std::int32_t direction, kind;
    double price;
    std::int32_t status;
    bool fires;
};

TEST_F(QuoteUpdateTest, WaitingOrdersTriggerOnTheirOwnSideOfTheMarket) {
    const OrderCase cases[] = {
        {"buy when the ask falls, at the ask", direction::Buy, trigger::BuyAskFalls, kAsk, 1, true},
        {"buy when the ask falls, below the ask", direction::Buy, trigger::BuyAskFalls, kAsk - 0.5,
         1, false},
        {"buy when the ask rises, at the ask", direction::Buy, trigger::BuyAskRises, kAsk, 1, true},
        {"buy when the ask rises, above", direction::Buy, trigger::BuyAskRises, kAsk + 0.5, 1,
         false},
        {"sell when the bid rises, at the bid", direction::Sell, trigger::SellBidRises, kBid, 1,
         true},
        {"sell when the bid rises, above", direction::Sell, trigger::SellBidRises, kBid + 0.5, 1,
         false},
        {"sell when the bid falls, at the bid", direction::Sell, trigger::SellBidFalls, kBid, 1,
         true},
        {"sell when the bid falls, below", direction::Sell, trigger::SellBidFalls, kBid - 0.5, 1,
         false},
        {"sell of a buy kind (ask falls)", direction::Sell, trigger::BuyAskFalls, 9999, 1, false},
        {"sell of a buy kind (ask rises)", direction::Sell, trigger::BuyAskRises, 1, 1, false},
        {"buy of a sell kind (bid rises)", direction::Buy, trigger::SellBidRises, 1, 1, false},
        {"buy of a sell kind (bid falls)", direction::Buy, trigger::SellBidFalls, 9999, 1, false},
        {"cancelled", direction::Buy, trigger::BuyAskFalls, 9999, order_status::Cancelled, false},
        {"filled", direction::Buy, trigger::BuyAskFalls, 9999, order_status::Filled, false},
    };
    for (const auto& c : cases) {
        model.SetOrders({MakeOrder(1, c.direction, c.kind, c.price, c.status)});
        EXPECT_EQ(Run(), Reloads(c.fires, kOrderReload)) << c.what;
    }
    // An order of another instrument is not checked against this quote.
    model.SetOrders({MakeOrder(2, direction::Buy, trigger::BuyAskFalls, 9999)});
    EXPECT_TRUE(Run().empty());
}

TEST_F(QuoteUpdateTest, BothFlagsReloadPositionsThenOrdersOnOneConnection) {
    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, 0, kBid)});
    model.SetOrders({MakeOrder(1, direction::Buy, trigger::BuyAskFalls, kAsk)});
    EXPECT_EQ(Run(), (std::vector<std::vector<std::int32_t>>{kBothReload}));
}

TEST_F(QuoteUpdateTest, TheMarginCallLevelReloadsPositions) {
    // Equity = free funds + occupied margin; no positions, so no floating profit.
    auto withAccount = [&](double freeFunds, double occupied) {
        model.SetAccount(test::Funds(freeFunds, occupied));
        return Run();
    };
    const std::vector<std::vector<std::int32_t>> reload{kPositionReload};
    EXPECT_EQ(withAccount(-700, 1000), reload);    // equity 300: risk rate exactly 30
    EXPECT_EQ(withAccount(-900, 1000), reload);    // 10
    EXPECT_TRUE(withAccount(-699, 1000).empty());  // 30.1
    EXPECT_TRUE(withAccount(-5000, 0).empty());    // no occupied margin: no risk rate
    EXPECT_EQ(model.Account().riskRate, 0.0f);
}

TEST_F(QuoteUpdateTest, NotificationsSoundAndChartFollowTheFlags) {
    std::vector<unsigned char> seen;
    ui.OnSend([&](WindowHandle, unsigned msg, std::intptr_t, std::intptr_t lparam) {
        if (msg == WM_QUOTE_TICK) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(lparam);
            seen.assign(bytes, bytes + sizeof(BarRecord));
        }
        return std::intptr_t{0};
    });

    Run();  // nothing due
    EXPECT_EQ(ui.SendsTo(listener), (std::vector<unsigned>{WM_QUOTE_TICK}));
    const Quote q(1, kClose);
    const auto* sent = reinterpret_cast<const unsigned char*>(q.data());
    EXPECT_EQ(seen, std::vector<unsigned char>(sent, sent + sizeof(BarRecord)));
    EXPECT_TRUE(ui.Sounds().empty());
    EXPECT_EQ(refreshes, 0);
    InstrumentRecord i = model.FindInstrument(1);
    EXPECT_EQ(i.last, 1650.5f);
    EXPECT_EQ(i.ask, 1651.0f);
    EXPECT_EQ(i.bid, 1650.0f);

    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, kBid)});
    Run();
    EXPECT_EQ(ui.SendsTo(listener), (std::vector<unsigned>{WM_POSITIONS_CHANGED, WM_QUOTE_TICK}));
    ASSERT_EQ(ui.Sounds().size(), 1u);
    EXPECT_EQ(ui.Sounds()[0].id, sound::Trigger);
    EXPECT_FALSE(ui.Sounds()[0].looped);
    EXPECT_EQ(refreshes, 1);

    model.SetOrders({MakeOrder(1, direction::Sell, trigger::SellBidFalls, kBid)});
    Run();
    EXPECT_EQ(ui.SendsTo(listener),
              (std::vector<unsigned>{WM_POSITIONS_CHANGED, WM_ORDERS_CHANGED, WM_QUOTE_TICK}));
    EXPECT_EQ(ui.Sounds().size(), 1u);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(QuoteUpdateTest, AQuoteOfAnUnknownInstrumentStillRecomputesNotifiesAndChecksAlerts) {
    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, 0, 0.01)});
    test::EditAccount(model, [](AccountBlock& a) { a.freeFunds = 250; });
    std::vector<std::pair<std::int32_t, double>> alerts;
    model.SetAlertHook([&](const BarRecord& record, double floating) {
        alerts.emplace_back(record.instrument, floating);
    });

    EXPECT_TRUE(Run(7).empty());
    EXPECT_EQ(model.FindInstrument(1).last, 0.0f);
    // Instrument 1 was never quoted: its bid 0 against the open price, 1600 x 100 x 1 x 1.
    EXPECT_EQ(model.Account().equity, 250 - 160000.0);
    EXPECT_EQ(ui.SendsTo(listener), (std::vector<unsigned>{WM_QUOTE_TICK}));
    EXPECT_EQ(alerts, (std::vector<std::pair<std::int32_t, double>>{{7, -160000.0}}));
}

TEST_F(QuoteUpdateTest, NothingHappensWithoutTheMainView) {
    std::atomic<int> alerts{0};
    model.SetAlertHook([&](const BarRecord&, double) { ++alerts; });
    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, kBid)});
    ui.SetLive(view, false);
    EXPECT_TRUE(Run().empty());
    EXPECT_TRUE(ui.Sends().empty());
    EXPECT_EQ(alerts, 0);
    EXPECT_EQ(model.FindInstrument(1).last, 0.0f);
}

TEST_F(QuoteUpdateTest, AnUnreachableServerStillGivesSoundChartAndNotifications) {
    ::setenv("ZQ_REQUEST_PORT", std::to_string(ClosedPort()).c_str(), 1);
    ReloadConfig();
    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, kBid)});
    Run();
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{kConnectFailedText}));
    EXPECT_EQ(ui.Boxes()[0].caption, AppTitle());
    EXPECT_EQ(ui.Sounds().size(), 1u);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(ui.SendsTo(listener), (std::vector<unsigned>{WM_POSITIONS_CHANGED, WM_QUOTE_TICK}));
    // The position is still there, so the next quote tries again.
    Run();
    EXPECT_EQ(ui.BoxTexts().size(), 1u);
}

TEST_F(QuoteUpdateTest, WindowsAndHooksAreReachedWithNoModelLockHeld) {
    // Whether every list can be read right now, asked from another thread: this one may hold a
    // lock itself. A reader held up is kept until the test's end, when the lock is free again.
    std::vector<std::unique_ptr<test::ReaderThread>> heldUp;
    std::atomic<int> calls{0}, heldCalls{0};
    auto check = [&] {
        ++calls;
        auto reader = std::make_unique<test::ReaderThread>([&] { test::ReadAllLists(model); });
        if (!reader->GotThrough()) {
            ++heldCalls;
            heldUp.push_back(std::move(reader));
            return;
        }
        test::ReadAllLists(model);  // what a report page does on a notification
    };
    ui.OnSend([&](WindowHandle, unsigned, std::intptr_t, std::intptr_t) {
        check();
        if (heldCalls == 0) {
            model.FindInstrument(1);
            model.RecomputeAccount();
            model.RegisterTickListener(listener);
        }
        return std::intptr_t{0};
    });
    model.SetAlertHook([&](const BarRecord&, double) { check(); });
    model.SetChartRefresh([&] { check(); });

    model.SetPositions({MakePosition(1, direction::Buy, 1600.0, 1, kBid)});
    model.SetOrders({MakeOrder(1, direction::Buy, trigger::BuyAskFalls, kAsk)});
    Run();
    EXPECT_EQ(calls, 5);  // chart refresh, three notifications, alert hook
    EXPECT_EQ(heldCalls, 0);
}

}  // namespace
}  // namespace zq
