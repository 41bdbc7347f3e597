// Orders through the running server's request port, as the client sends them: every answer code
// of command 11, a payload cut short, a trade done before its price reaches the push link, a
// pending order kept across a restart, members kept apart, and the control port's markets.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>

#include "server/store/store.h"
#include "server/trading/account_rows.h"
#include "server/trading/execution.h"
#include "tests/order_request_builders.h"
#include "tests/support/server_process.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace zq {
namespace {

using test::ConnectLocal;
using test::Header;
using test::ServerProcess;
namespace order_refusal = server::order_refusal;

constexpr const char* kCode = "AB12";
using Key = std::array<std::int32_t, 4>;

// One request connection under a session key.
class Link {
  public:
    Link(std::uint16_t port, Key key) : socket_(ConnectLocal(port)), key_(key) {}

    bool Send(std::int32_t command, const void* payload, std::size_t size) {
        RequestHeader h = Header(command, key_);
        return socket_.Send(&h, sizeof h) == static_cast<int>(sizeof h) &&
               (size == 0 || socket_.Send(payload, size) == static_cast<int>(size));
    }
    template <typename Value>
    std::optional<Value> Read() {
        Value v;
        if (ReceiveExact(socket_, &v, sizeof v) != static_cast<int>(sizeof v)) return std::nullopt;
        return v;
    }
    // Command 11; -100 when no whole answer came.
    std::int32_t Order(const OpenOrderRequest& r) {
        if (!Send(cmd::OpenOrder, &r, sizeof r)) return -100;
        return Read<std::int32_t>().value_or(-100);
    }
    template <typename Record, typename Payload>
    std::vector<Record> List(std::int32_t command, const Payload& payload) {
        std::vector<Record> out;
        if (!Send(command, &payload, sizeof payload)) return out;
        const auto count = Read<std::int32_t>();
        for (std::int32_t i = 0; count && i < *count; ++i)
            if (auto r = Read<Record>()) out.push_back(*r);
        return out;
    }
    std::vector<PositionRecord> Positions() {
        return List<PositionRecord>(cmd::LoadPositions, LoadPositionsRequest{});
    }
    std::vector<PendingOrderRecord> Orders(std::int32_t status = 1) {
        LoadOrdersRequest request{};
        request.selector = status;
        return List<PendingOrderRecord>(cmd::LoadPending, request);
    }
    AccountBlock Account() {
        AccountBlock b{};
        if (Send(cmd::LoadAccount, nullptr, 0)) b = Read<AccountBlock>().value_or(b);
        return b;
    }
    Socket& socket() { return socket_; }

  private:
    Socket socket_;
    Key key_;
};

class ExecutionWireTest : public ::testing::Test {
  protected:
    // The market stands still at its opening prices (gold: ask 1650.25, bid 1649.75) until the
    // control port sets one.
    void Start(std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"--fixed-code",   kCode, "--market-step-ms", "0",
                                         "--control-port", "0"};
        args.insert(args.end(), more.begin(), more.end());
        server_ = std::make_unique<ServerProcess>(args);
        ASSERT_TRUE(server_->Running()) << server_->Error();
    }
    void SetUp() override { Start(); }

    Key Login(const char* name, const char* password) {
        auto session = test::LoginAs(server_->requestPort(), name, password, kCode);
        EXPECT_TRUE(session) << name;
        return session ? session->key : Key{};
    }
    Link Open(Key key) { return Link(server_->requestPort(), key); }
    std::string Control(const std::string& line) {
        return test::ControlCommand(server_->controlPort(), line);
    }
    // Stops the server and reads the member's fills from its store.
    std::vector<server::FillRow> StoredFills(const char* member) {
        EXPECT_TRUE(server_->Stop());
        std::string error;
        auto store = server::Store::Open(server_->dbPath(), &error);
        EXPECT_TRUE(store) << error;
        if (!store) return {};
        const std::int64_t id = store->FindMember(member)->id;
        return store->WithDb(
            [&](sqlite3* db) { return server::account_rows::LoadRows<server::FillRow>(db, id); });
    }

    std::unique_ptr<ServerProcess> server_;
};

TEST_F(ExecutionWireTest, EveryAnswerCodeOfAnOrder) {
    Link trader = Open(Login("trader", "trader"));
    // On one connection, one int32 for each order; the connection goes on after refusals.
    OpenOrderRequest kind = test::MarketRequest(1, direction::Buy, 1, 1650.25f);
    kind.orderKind = 5;
    EXPECT_EQ(trader.Order(kind), order_refusal::BadRequest);
    EXPECT_EQ(trader.Order(test::PendingRequest(1, direction::Buy, 1, 1600, 0, 0, 4)),
              order_refusal::BadRequest);
    EXPECT_EQ(trader.Order(test::MarketRequest(43, direction::Buy, 1, 10)),
              order_result::InvalidPrice);
    EXPECT_EQ(trader.Order(test::MarketRequest(25, direction::Buy, 1, 1590)),
              order_result::InvalidPrice);
    EXPECT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 1, 0)),
              order_result::InvalidPrice);
    EXPECT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 0.001f, 1650.25f)),
              order_refusal::BadLots);
    ASSERT_EQ(Control("market 1 close"), "ok market 1 closed (forced)");
    EXPECT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 1, 1650.25f)),
              order_result::MarketClosed);
    ASSERT_EQ(Control("market 1 auto"), "ok market 1 open (always open)");
    OpenOrderRequest late = test::MarketRequest(1, direction::Buy, 1, 1650.00f);
    late.deviation = 0.2f;
    EXPECT_EQ(trader.Order(late), order_result::PriceMoved);
    EXPECT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 1, 1650.25f, 1649)),
              order_result::StopsTooClose);
    EXPECT_EQ(trader.Order(test::PendingRequest(1, direction::Sell, 1, 1651)),
              order_result::PendingTooClose);
    EXPECT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 10, 1650.25f)),
              order_result::NoMargin);
    EXPECT_TRUE(trader.Positions().empty());
    EXPECT_TRUE(trader.Orders().empty());
    EXPECT_DOUBLE_EQ(trader.Account().freeFunds, 100000);

    late.deviation = 0.25f;
    EXPECT_EQ(trader.Order(late), order_result::Done);
    EXPECT_EQ(trader.Order(test::PendingRequest(1, direction::Sell, 1, 1651.75f)),
              order_result::Done);
    const auto positions = trader.Positions();
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_DOUBLE_EQ(positions[0].openPrice, 1650.25);
    EXPECT_EQ(positions[0].watched, 0);
    const auto orders = trader.Orders();
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0].triggerKind, trigger::SellBidRises);
    EXPECT_EQ(orders[0].validity, 2);
    const AccountBlock block = trader.Account();
    EXPECT_DOUBLE_EQ(block.occupiedMargin, positions[0].occupiedMargin);
    EXPECT_DOUBLE_EQ(block.frozenMargin, 10323.44);  // 1 % of 1651.75 x 100 x 6.25
    EXPECT_DOUBLE_EQ(block.frozenFees, 309.70);
    EXPECT_DOUBLE_EQ(block.todayFees, positions[0].fee1);

    // Without a session: 0, and nothing happens.
    Link nobody = Open({});
    EXPECT_EQ(nobody.Order(test::MarketRequest(1, direction::Buy, 1, 1650.25f)),
              order_refusal::NoSession);
    EXPECT_EQ(trader.Positions().size(), 1u);
}

TEST_F(ExecutionWireTest, AnOrderCutShortClosesOnlyItsConnection) {
    const Key key = Login("trader", "trader");
    Link trader = Open(key);
    const OpenOrderRequest r = test::MarketRequest(1, direction::Buy, 1, 1650.25f);
    RequestHeader h = Header(cmd::OpenOrder, key);
    Socket& s = trader.socket();
    ASSERT_EQ(s.Send(&h, sizeof h), static_cast<int>(sizeof h));
    ASSERT_EQ(s.Send(&r, 20), 20);
    ::shutdown(s.Fd(), SHUT_WR);
    EXPECT_TRUE(test::PeerClosed(s));
    // Nothing was opened, and the server serves the next connection.
    Link again = Open(Login("trader", "trader"));
    EXPECT_TRUE(again.Positions().empty());
    EXPECT_EQ(again.Order(r), order_result::Done);
}

TEST_F(ExecutionWireTest, ATradeIsDoneBeforeItsPriceReachesThePushLink) {
    const Key key = Login("trader", "trader");
    Link trader = Open(key);
    ASSERT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 1, 1650.25f, 0, 1652.25f)), 1);
    ASSERT_EQ(trader.Positions().size(), 1u);
    EXPECT_EQ(trader.Positions()[0].watched, 1);
    Socket push = test::SubscribePush(server_->pushPort(), key);
    ASSERT_TRUE(push.Valid());
    ASSERT_EQ(Control("price 1 1652.50"), "ok 1 1652.50");  // bid 1652.25, the take-profit
    bool seen = false;
    for (int i = 0; i < 1000 && !seen; ++i) {
        const auto f = test::ReadPushFrame(push);
        ASSERT_TRUE(f);
        seen = f->type == 1 && f->record.instrument == 1 && f->record.close == 165250;
    }
    ASSERT_TRUE(seen);
    // As the client reloads on that record: the position is closed already.
    EXPECT_TRUE(trader.Positions().empty());
    const AccountBlock block = trader.Account();
    EXPECT_DOUBLE_EQ(block.todayClosedProfit, 1250);  // 2 points x 100 x 6.25
    EXPECT_FLOAT_EQ(block.tradeCount, 1);
    EXPECT_FLOAT_EQ(block.winningTradeCount, 1);
    EXPECT_DOUBLE_EQ(block.occupiedMargin, 0);

    // The fills are in the store.
    const auto fills = StoredFills("trader");
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[0].reason, server::fill_reason::Market);
    EXPECT_EQ(fills[1].reason, server::fill_reason::TakeProfit);
    EXPECT_EQ(fills[1].ticket, fills[0].ticket);
    EXPECT_DOUBLE_EQ(fills[1].price, 1652.25);
    EXPECT_DOUBLE_EQ(fills[1].profit, 1250);
}

TEST_F(ExecutionWireTest, APendingOrderWaitsAcrossARestart) {
    const Key key = Login("trader", "trader");
    ASSERT_EQ(Open(key).Order(test::PendingRequest(1, direction::Buy, 0.5f, 1640)), 1);
    ASSERT_TRUE(server_->Restart()) << server_->Error();
    Link trader = Open(key);  // the session survived
    ASSERT_EQ(trader.Orders().size(), 1u);
    ASSERT_EQ(Control("price 1 1639.75"), "ok 1 1639.75");  // ask 1640.00
    EXPECT_TRUE(trader.Orders().empty());
    const auto all = trader.Orders(0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].status, order_status::Filled);
    const auto positions = trader.Positions();
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_DOUBLE_EQ(positions[0].openPrice, 1640);
    EXPECT_DOUBLE_EQ(positions[0].heldQuantity, 0.5);
    EXPECT_DOUBLE_EQ(trader.Account().frozenMargin, 0);
}

// A crash during a fast market: the restarted market goes on from the last price the links
// heard, so a resting stop-loss is neither filled at an older price nor skipped.
TEST_F(ExecutionWireTest, AKilledServerGoesOnFromItsLastPublishedPrice) {
    server_.reset();
    Start({"--market-step-ms", "10"});
    const Key key = Login("trader", "trader");
    ASSERT_EQ(Control("price 1 1750.00"), "ok 1 1750.00");
    ASSERT_EQ(Open(key).Order(test::MarketRequest(1, direction::Buy, 1, 1750.25f, 1735.25f)), 1);
    // The last gold price on the push link, read while the market runs; then the crash.
    auto lastGold = [&](int records) {
        Socket push = test::SubscribePush(server_->pushPort(), key);
        std::int32_t close = 0;
        for (int seen = 0, i = 0; seen < records && i < 100000; ++i) {
            const auto f = test::ReadPushFrame(push);
            if (!f) break;
            if (f->type == 1 && f->record.instrument == 1) close = f->record.close, ++seen;
        }
        return close;
    };
    const std::int32_t before = lastGold(20);
    ASSERT_GT(before, 170000);
    ASSERT_TRUE(server_->Kill());
    ASSERT_TRUE(server_->Restart()) << server_->Error();
    const std::int32_t after = lastGold(20);
    // Far less than a price point a step; the walk of a few hundred steps stays within 1.00.
    EXPECT_NEAR(after, before, 100);
    Link trader = Open(key);
    ASSERT_EQ(trader.Positions().size(), 1u) << "the stop-loss at 1735.25 was not reached";
    ASSERT_EQ(Control("price 1 1730.00"), "ok 1 1730.00");
    EXPECT_TRUE(trader.Positions().empty());
    const auto fills = StoredFills("trader");
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[1].reason, server::fill_reason::StopLoss);
    EXPECT_DOUBLE_EQ(fills[1].price, 1729.75);  // the bid the market reached
}

TEST_F(ExecutionWireTest, MembersTradeOnlyTheirOwnAccounts) {
    Link trader = Open(Login("trader", "trader"));
    Link zhang = Open(Login("张三", "zhangsan"));
    Link demo = Open(Login("demo", "demo"));
    const std::size_t demoPositions = demo.Positions().size();
    const AccountBlock demoBefore = demo.Account();
    ASSERT_EQ(trader.Order(test::MarketRequest(1, direction::Buy, 8, 1650.25f)), 1);
    ASSERT_EQ(trader.Order(test::PendingRequest(14, direction::Buy, 1, 1.3000f)), 1);
    EXPECT_TRUE(zhang.Positions().empty());
    EXPECT_TRUE(zhang.Orders(0).empty());
    EXPECT_DOUBLE_EQ(zhang.Account().freeFunds, 100000);
    // The trader's margin call takes the trader's gold only.
    ASSERT_EQ(zhang.Order(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
    ASSERT_EQ(Control("price 1 1635"), "ok 1 1635.00");  // risk rate about 24
    EXPECT_TRUE(trader.Positions().empty());
    EXPECT_EQ(trader.Orders().size(), 1u);
    EXPECT_EQ(zhang.Positions().size(), 1u);
    EXPECT_EQ(demo.Positions().size(), demoPositions);
    EXPECT_DOUBLE_EQ(demo.Account().todayClosedProfit, demoBefore.todayClosedProfit);
}

TEST_F(ExecutionWireTest, TheControlPortOpensAndClosesMarkets) {
    EXPECT_EQ(Control("market 13"), "ok market 13 open (always open)");
    EXPECT_EQ(Control("market * close"), "ok markets 0 open, 42 closed");
    EXPECT_EQ(Control("market 2"), "ok market 2 closed (forced)");
    EXPECT_EQ(Control("market 2 open"), "ok market 2 open (forced)");
    EXPECT_EQ(Control("market * auto"), "ok markets 42 open, 0 closed");
    for (const char* bad :
         {"market", "market 43 open", "market 1 shut", "market x", "market 1 open now"})
        EXPECT_EQ(Control(bad).rfind("error ", 0), 0u) << bad;

    // Under the trading hours the answer and the orders agree with the clock.
    ASSERT_TRUE(server_->Stop());
    Start({"--trading-hours", "standard"});
    Link trader = Open(Login("trader", "trader"));
    const std::string state = Control("market 32");  // 螺纹: day and evening sessions
    ASSERT_EQ(state.rfind("ok market 32 ", 0), 0u) << state;
    const bool open = state.find(" open (trading hours)") != std::string::npos;
    EXPECT_TRUE(open || state.find(" closed (trading hours)") != std::string::npos) << state;
    EXPECT_EQ(trader.Order(test::MarketRequest(32, direction::Buy, 1, 3701)),
              open ? order_result::Done : order_result::MarketClosed);
    EXPECT_EQ(Control("market 32 open"), "ok market 32 open (forced)");
    EXPECT_EQ(trader.Order(test::MarketRequest(32, direction::Sell, 1, 3699)), order_result::Done);
    EXPECT_EQ(Control("market 32 close"), "ok market 32 closed (forced)");
    EXPECT_EQ(trader.Order(test::MarketRequest(32, direction::Sell, 1, 3699)),
              order_result::MarketClosed);
}

}  // namespace
}  // namespace zq
