// One member against another on the running server: 张三 knows the demo member's tickets,
// order numbers and alert ids (as a hostile client could guess them) and tries every command
// family on them. Nothing of the demo member's may show or change; each refusal is checked
// against the owner, for whom the same request works.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/server_member_link.h"

namespace zq {
namespace {

using test::MemberLink;
constexpr const char* kCode = "AB12";

bool AllZero(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    return std::all_of(p, p + size, [](unsigned char c) { return c == 0; });
}

// What of a position a change would touch.
std::string Terms(const PositionRecord& p) {
    return std::string(p.ticket) + " " + std::to_string(p.heldQuantity) + " " +
           std::to_string(p.stopLoss) + " " + std::to_string(p.takeProfit);
}
std::string Terms(const PendingOrderRecord& o) {
    return std::string(o.orderNumber) + " " + std::to_string(o.quantity) + " " +
           std::to_string(o.price) + " " + std::to_string(o.status);
}
template <typename Records>
std::vector<std::string> AllTerms(const Records& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(Terms(r));
    return out;
}

class IsolationTest : public ::testing::Test {
  protected:
    // The market stands at its opening: gold ask 1650.25, bid 1649.75.
    void SetUp() override {
        server_ = std::make_unique<test::ServerProcess>(
            std::vector<std::string>{"--fixed-code", kCode, "--market-step-ms", "0"});
        ASSERT_TRUE(server_->Running()) << server_->Error();
        demo_ = test::LoginAs(server_->requestPort(), "demo", "demo", kCode);
        zhang_ = test::LoginAs(server_->requestPort(), "张三", "zhangsan", kCode);
        ASSERT_TRUE(demo_ && zhang_) << server_->Log();
    }
    MemberLink Demo() { return MemberLink(server_->requestPort(), demo_->key); }
    MemberLink Zhang() { return MemberLink(server_->requestPort(), zhang_->key); }

    std::unique_ptr<test::ServerProcess> server_;
    std::optional<test::LoggedIn> demo_, zhang_;
};

TEST_F(IsolationTest, PositionsAndOrdersOfAnotherMemberCannotBeReadOrChanged) {
    MemberLink demo = Demo(), zhang = Zhang();
    const std::vector<PositionRecord> positions = demo.Positions();
    const std::vector<PendingOrderRecord> orders = demo.Orders();
    ASSERT_EQ(positions.size(), 7u);
    ASSERT_EQ(orders.size(), 5u);
    const PositionRecord& gold = positions.at(0);  // buy 1.00 伦敦金, stops 1600 / 1700
    const PendingOrderRecord& order = orders.at(0);

    // 16 and 17: nothing of the demo member's, not even asked for by its ticket.
    EXPECT_TRUE(zhang.Positions().empty());
    LoadPositionsRequest byTicket{};
    std::memcpy(byTicket.zero + 8, gold.ticket, strnlen(gold.ticket, sizeof gold.ticket));
    EXPECT_TRUE(zhang.Positions(byTicket).empty());
    EXPECT_EQ(demo.Positions(byTicket).size(), 1u);
    EXPECT_TRUE(zhang.Orders().empty());

    // 11: what 张三 opens is his alone.
    ASSERT_EQ(zhang.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
    ASSERT_EQ(zhang.Open(test::PendingRequest(1, direction::Buy, 1, 1640)), 1);
    EXPECT_EQ(zhang.Positions().size(), 1u);
    EXPECT_EQ(zhang.Orders().size(), 1u);

    // 13 and 18 on the demo member's position, 14 and 15 on its order.
    const PositionRecord stops = zhang.Stops(gold.ticket, 1610, 1690);
    EXPECT_TRUE(AllZero(&stops, sizeof stops)) << "not even the position's figures come back";
    EXPECT_NE(zhang.Close(gold, gold.heldQuantity, 1649.75, 1), close_result::Done);
    EXPECT_NE(zhang.Close(gold, 0.5, 1649.75, 1), close_result::Done);
    EXPECT_NE(zhang.Change(order, order.quantity, order.price - 1), modify_order_result::Done);
    EXPECT_EQ(zhang.Delete(order), 0);

    EXPECT_EQ(AllTerms(demo.Positions()), AllTerms(positions));
    EXPECT_EQ(AllTerms(demo.Orders()), AllTerms(orders));
    EXPECT_EQ(zhang.Positions().size(), 1u);
    EXPECT_EQ(zhang.Orders().size(), 1u);

    // The same requests from the owner are carried out.
    EXPECT_NE(demo.Stops(gold.ticket, 1610, 1690).ticket[0], '\0');
    EXPECT_EQ(demo.Delete(order), 1);
    EXPECT_EQ(demo.Orders().size(), 4u);
}

TEST_F(IsolationTest, AlertsOfAnotherMemberCannotBeReadOrRemoved) {
    MemberLink demo = Demo(), zhang = Zhang();
    const std::vector<PriceAlertRecord> price = demo.PriceAlerts();
    const std::vector<ProfitAlertRecord> profit = demo.ProfitAlerts();
    ASSERT_EQ(price.size(), 3u);
    ASSERT_EQ(profit.size(), 2u);

    // 8 and 56: none of the demo member's.
    EXPECT_TRUE(zhang.PriceAlerts().empty());
    EXPECT_TRUE(zhang.ProfitAlerts().empty());
    // 9: 张三's alert is his alone.
    const PriceAlertRecord mine = zhang.SavePriceAlert(1, 1, 1800);
    ASSERT_GT(mine.id, 0);
    EXPECT_EQ(zhang.PriceAlerts().size(), 1u);
    EXPECT_EQ(demo.PriceAlerts().size(), 3u);
    // 10 and 58 with the demo member's ids.
    for (const PriceAlertRecord& a : price) EXPECT_EQ(zhang.RemovePriceAlert(a), 0) << a.id;
    for (const ProfitAlertRecord& a : profit) EXPECT_EQ(zhang.FireProfitAlert(a), 0);
    EXPECT_EQ(demo.PriceAlerts().size(), 3u);
    EXPECT_EQ(demo.ProfitAlerts().size(), 2u);
    // ... nor does the demo member reach 张三's.
    EXPECT_EQ(demo.RemovePriceAlert(mine), 0);
    EXPECT_EQ(zhang.PriceAlerts().size(), 1u);

    // The owner removes them.
    EXPECT_EQ(demo.RemovePriceAlert(price[0]), 1);
    EXPECT_EQ(demo.FireProfitAlert(profit[0]), 1);
    EXPECT_EQ(demo.PriceAlerts().size(), 2u);
    EXPECT_EQ(demo.ProfitAlerts().size(), 1u);
}

TEST_F(IsolationTest, SignalFlagsAreEachMembersOwn) {
    MemberLink demo = Demo(), zhang = Zhang();
    const std::array<std::uint8_t, 50> demoFlags = demo.SignalFlags();
    ASSERT_EQ(demoFlags[0], 1);  // 伦敦金
    // 42: 张三 sees his own flags, none of the demo member's.
    EXPECT_TRUE(AllZero(zhang.SignalFlags().data(), 50));
    // 41: what 张三 stores changes only his.
    std::array<std::uint8_t, 50> all{};
    all.fill(1);
    EXPECT_EQ(zhang.SaveSignalFlags(all), 1);
    EXPECT_EQ(zhang.SignalFlags(), all);
    EXPECT_EQ(demo.SignalFlags(), demoFlags);
    std::array<std::uint8_t, 50> none{};
    EXPECT_EQ(demo.SaveSignalFlags(none), 1);
    EXPECT_EQ(zhang.SignalFlags(), all);
}

TEST_F(IsolationTest, DrawingToolsOfAnotherMemberCannotBeSeenOrDeleted) {
    MemberLink demo = Demo(), zhang = Zhang();
    ToolLineRecord line{};
    line.type = tool_type::Straight;
    line.instrument = 1;
    line.state = tool_state::Complete;
    line.period = 60;
    std::strcpy(line.time1, "03021000");
    std::strcpy(line.time2, "03021500");
    line.price1 = 165000;
    line.price2 = 166000;
    ASSERT_EQ(demo.StoreTool(line), 1);
    // 46: 张三 loads none of the demo member's tools.
    EXPECT_TRUE(zhang.Tools().empty());
    // 47 on the same instrument and period leaves the demo member's in place ...
    EXPECT_EQ(zhang.DeleteTools(1, 60), 1);
    ASSERT_EQ(demo.Tools().size(), 1u);
    // ... and what 张三 stores is his alone, and goes with his own delete.
    line.price2 = 164000;
    ASSERT_EQ(zhang.StoreTool(line), 1);
    ASSERT_EQ(zhang.Tools().size(), 1u);
    EXPECT_EQ(zhang.Tools()[0].price2, 164000);
    EXPECT_EQ(demo.Tools()[0].price2, 166000);
    EXPECT_EQ(zhang.DeleteTools(1, 60), 1);
    EXPECT_TRUE(zhang.Tools().empty());
    EXPECT_EQ(demo.Tools().size(), 1u);
}

TEST_F(IsolationTest, FillsOfAnotherMemberAreNotAnswered) {
    MemberLink demo = Demo(), zhang = Zhang();
    ASSERT_EQ(demo.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
    FillQuery all{};
    ASSERT_EQ(demo.Fills(all).records.size(), 1u);
    const MemberLink::FillAnswer theirs = zhang.Fills(all);
    EXPECT_TRUE(theirs.records.empty());
    EXPECT_EQ(theirs.summary.profit, 0.0f);
    // Not by the instrument either.
    all.instrument = 1;
    EXPECT_TRUE(zhang.Fills(all).records.empty());
    EXPECT_EQ(demo.Fills(all).records.size(), 1u);
}

}  // namespace
}  // namespace zq
