// Changing and closing trades through the running server's request port, as the client sends
// them: the answers of commands 13, 14, 15 and 18 and their sizes, another member's numbers,
// payloads cut short, and programmatic trading from command 53 to the control port's signals.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>

#include "market/wire/signal_record.h"
#include "server/trading/execution.h"
#include "tests/order_request_builders.h"
#include "tests/server_member_link.h"
#include "tests/support/server_process.h"
#include "tests/support/wait_until.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace zq {
namespace {

using Key = std::array<std::int32_t, 4>;
constexpr const char* kCode = "AB12";

// Requests of one member on one connection.
using Member = test::MemberLink;

bool AllZero(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    return std::all_of(p, p + size, [](unsigned char c) { return c == 0; });
}

class TradeChangeWireTest : public ::testing::Test {
  protected:
    // Gold stands at its opening: ask 1650.25, bid 1649.75.
    void SetUp() override {
        server_ = std::make_unique<test::ServerProcess>(std::vector<std::string>{
            "--fixed-code", kCode, "--market-step-ms", "0", "--control-port", "0"});
        ASSERT_TRUE(server_->Running()) << server_->Error();
    }
    std::optional<test::LoggedIn> LogIn(const char* name, const char* password) {
        return test::LoginAs(server_->requestPort(), name, password, kCode);
    }
    Member As(const char* name, const char* password) {
        const auto session = LogIn(name, password);
        EXPECT_TRUE(session) << name;
        return Member(server_->requestPort(), session ? session->key : Key{});
    }
    std::string Control(const std::string& line) {
        return test::ControlCommand(server_->controlPort(), line);
    }
    std::unique_ptr<test::ServerProcess> server_;
};

TEST_F(TradeChangeWireTest, TheChangeCommandsAnswerOnOneConnectionAndItGoesOn) {
    Member zhang = As("张三", "zhangsan");
    ASSERT_EQ(zhang.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
    ASSERT_EQ(zhang.Open(test::PendingRequest(1, direction::Buy, 1, 1640)), 1);
    const PositionRecord p = zhang.Positions().at(0);
    const PendingOrderRecord o = zhang.Orders().at(0);

    // 13: the position as it now stands, with the current figures; refused: 272 zero bytes.
    const PositionRecord set = zhang.Stops(p.ticket, 1640, 1660);
    EXPECT_STREQ(set.ticket, p.ticket);
    EXPECT_DOUBLE_EQ(set.stopLoss, 1640);
    EXPECT_DOUBLE_EQ(set.takeProfit, 1660);
    EXPECT_EQ(set.watched, 1);
    EXPECT_DOUBLE_EQ(set.occupiedMargin, p.occupiedMargin);
    const PositionRecord refused = zhang.Stops(p.ticket, 1649, 0);
    EXPECT_TRUE(AllZero(&refused, sizeof refused));
    ASSERT_EQ(Control("market 1 close"), "ok market 1 closed (forced)");
    const PositionRecord closed = zhang.Stops(p.ticket, 1630, 0);
    EXPECT_TRUE(AllZero(&closed, sizeof closed));
    EXPECT_EQ(zhang.Close(p, 1, 1649.75, 0), close_result::MarketClosed);
    EXPECT_EQ(zhang.Change(o, 1, 1630), modify_order_result::MarketClosed);
    ASSERT_EQ(Control("market 1 auto"), "ok market 1 open (always open)");

    // 18 in part, then 14 and 15 (30 bytes: the next request on the connection is whole).
    EXPECT_EQ(zhang.Close(p, 0.4, 1649.50, 0.2), close_result::PriceMoved);
    EXPECT_EQ(zhang.Close(p, 0.4, 1649.50, 0.25), close_result::Done);
    EXPECT_EQ(zhang.Close(p, 0.7, 1649.75, 0), close_result::InvalidPrice);
    EXPECT_DOUBLE_EQ(zhang.Positions().at(0).heldQuantity, 0.6);
    EXPECT_EQ(zhang.Change(o, 2, 1630), modify_order_result::Done);
    EXPECT_DOUBLE_EQ(zhang.Orders().at(0).price, 1630);
    EXPECT_DOUBLE_EQ(zhang.Orders().at(0).quantity, 2);
    EXPECT_EQ(zhang.Delete(o), 1);
    EXPECT_EQ(zhang.Delete(o), 0);
    EXPECT_TRUE(zhang.Orders().empty());
    EXPECT_EQ(zhang.Close(p, 0.6, 1649.75, 0), close_result::Done);
    EXPECT_TRUE(zhang.Positions().empty());

    // Without a session: refusals, and nothing is read beyond the payload.
    Member nobody(server_->requestPort(), Key{});
    const PositionRecord none = nobody.Stops(p.ticket, 0, 0);
    EXPECT_TRUE(AllZero(&none, sizeof none));
    EXPECT_EQ(nobody.Close(p, 1, 1649.75, 0), server::order_refusal::NoSession);
    EXPECT_EQ(nobody.Change(o, 1, 1630), server::order_refusal::NoSession);
    EXPECT_EQ(nobody.Delete(o), 0);
    EXPECT_EQ(nobody.ProgramTrading(1), 0);
}

TEST_F(TradeChangeWireTest, AnotherMembersNumbersAreRefusedLikeMissingOnesAndChangeNothing) {
    Member trader = As("trader", "trader");
    Member zhang = As("张三", "zhangsan");
    ASSERT_EQ(trader.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f, 1600)), 1);
    ASSERT_EQ(trader.Open(test::PendingRequest(1, direction::Buy, 1, 1640)), 1);
    const PositionRecord p = trader.Positions().at(0);
    const PendingOrderRecord o = trader.Orders().at(0);
    PositionRecord missingPosition = p;
    std::strcpy(missingPosition.ticket, "1999999999");
    PendingOrderRecord missingOrder = o;
    std::strcpy(missingOrder.orderNumber, "1999999999");

    const PositionRecord stops = zhang.Stops(p.ticket, 1610, 0);
    EXPECT_TRUE(AllZero(&stops, sizeof stops));
    EXPECT_EQ(zhang.Close(p, 1, 1649.75, 0), zhang.Close(missingPosition, 1, 1649.75, 0));
    EXPECT_EQ(zhang.Close(p, 1, 1649.75, 0), server::change_refusal::UnknownTrade);
    EXPECT_EQ(zhang.Change(o, 1, 1630), zhang.Change(missingOrder, 1, 1630));
    EXPECT_EQ(zhang.Change(o, 1, 1630), modify_order_result::NotWaiting);
    EXPECT_EQ(zhang.Delete(o), 0);

    const PositionRecord after = trader.Positions().at(0);
    EXPECT_DOUBLE_EQ(after.stopLoss, 1600);
    EXPECT_DOUBLE_EQ(after.heldQuantity, 1);
    const auto orders = trader.Orders();
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_DOUBLE_EQ(orders[0].price, 1640);
    EXPECT_TRUE(zhang.Positions().empty());
    EXPECT_TRUE(zhang.Orders(0).empty());
}

TEST_F(TradeChangeWireTest, PayloadsCutShortCloseOnlyTheirConnection) {
    const auto session = LogIn("张三", "zhangsan");
    ASSERT_TRUE(session);
    for (const std::int32_t command : {cmd::ModifyPosition, cmd::ClosePosition, cmd::ModifyPending,
                                       cmd::DeletePending, cmd::SaveProgramTrading}) {
        Socket s = test::ConnectLocal(server_->requestPort());
        RequestHeader h = test::Header(command, session->key);
        const char part[20] = {};
        ASSERT_EQ(s.Send(&h, sizeof h), static_cast<int>(sizeof h));
        ASSERT_EQ(s.Send(part, sizeof part), static_cast<int>(sizeof part));
        ::shutdown(s.Fd(), SHUT_WR);
        EXPECT_TRUE(test::PeerClosed(s)) << command;
    }
    Member zhang(server_->requestPort(), session->key);
    EXPECT_EQ(zhang.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
}

TEST_F(TradeChangeWireTest, ProgrammaticOrdersFollowTheSignalsWhileTheFlagIsOn) {
    // Command 53 stores the flag: the next login carries it.
    ASSERT_EQ(LogIn("张三", "zhangsan")->programTrading, 0);
    {
        Member zhang = As("张三", "zhangsan");
        EXPECT_EQ(zhang.ProgramTrading(1), 1);
    }
    const auto session = LogIn("张三", "zhangsan");
    ASSERT_EQ(session->programTrading, 1);
    Member zhang(server_->requestPort(), session->key);
    Member demo = As("demo", "demo");  // flag off
    const std::size_t demoOrders = demo.Orders().size();

    // The order is there when the signal reaches the push link.
    const std::string linksBefore = Control("links");
    Socket push = test::SubscribePush(server_->pushPort(), session->key);
    ASSERT_TRUE(push.Valid());
    // The signal goes out only on links the server has taken in: wait until it has this one.
    ASSERT_TRUE(test::WaitUntil([&] { return Control("links") != linksBefore; }));
    const std::string published = Control("signal 1 support 1640 1 65 1630");
    ASSERT_EQ(published.rfind("ok signal 1 tag ", 0), 0u) << published;
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        const auto f = test::ReadPushFrame(push);
        ASSERT_TRUE(f);
        seen = f->type == 1 && AsSignal(f->record).marker == kSignalMarker;
        if (seen) {
            const auto orders = zhang.Orders();
            ASSERT_EQ(orders.size(), 1u);
            EXPECT_EQ(orders[0].validity, 3);
            EXPECT_EQ(orders[0].direction, direction::Buy);
            EXPECT_DOUBLE_EQ(orders[0].price, 1640);
            EXPECT_DOUBLE_EQ(orders[0].stopLoss, 1630);
            EXPECT_DOUBLE_EQ(orders[0].quantity, 1);
            EXPECT_EQ(zhang.Change(orders[0], 1, 1635), server::change_refusal::Programmatic);
            EXPECT_EQ(zhang.Delete(orders[0]), 0);
        }
    }
    ASSERT_TRUE(seen);
    EXPECT_EQ(demo.Orders().size(), demoOrders);

    // Its fill is a programmatic position, which the member cannot change or close.
    ASSERT_EQ(Control("price 1 1639.75"), "ok 1 1639.75");
    const auto positions = zhang.Positions();
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_EQ(positions[0].programmatic, 1);
    const PositionRecord stops = zhang.Stops(positions[0].ticket, 1620, 0);
    EXPECT_TRUE(AllZero(&stops, sizeof stops));
    EXPECT_EQ(zhang.Close(positions[0], 1, 1639.50, 0), server::change_refusal::Programmatic);

    // A withdrawal cancels what still waits; the flag off cancels the rest.
    const std::string a = Control("signal 1 resistance 1660 1 65 1670");
    ASSERT_EQ(Control("signal 1 resistance 1670 1 65 1680").rfind("ok", 0), 0u);
    ASSERT_EQ(zhang.Orders().size(), 2u);
    const std::size_t from = std::string("ok signal 1 tag ").size();
    const std::string tag = a.substr(from, a.find(' ', from) - from);
    ASSERT_EQ(Control("withdraw 1 " + tag).rfind("ok withdrawn 1 tag " + tag, 0), 0u);
    const auto waiting = zhang.Orders();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_DOUBLE_EQ(waiting[0].price, 1670);
    EXPECT_EQ(zhang.ProgramTrading(0), 1);
    EXPECT_TRUE(zhang.Orders().empty());
    EXPECT_EQ(zhang.Positions().size(), 1u);
    ASSERT_EQ(Control("signal 1 resistance 1680 1 65 1690").rfind("ok", 0), 0u);
    EXPECT_TRUE(zhang.Orders().empty()) << "the flag is off";
    EXPECT_EQ(LogIn("张三", "zhangsan")->programTrading, 0);
}

}  // namespace
}  // namespace zq
