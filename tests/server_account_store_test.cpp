// Accounts, alerts and messages in the store: position and order rows, the day's settlement,
// accounts of members added later, the list filters, alert limits and ownership, and the order
// of messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "net/wire/ansi_text.h"
#include "server/trading/accounts.h"
#include "server/trading/alerts.h"
#include "server/trading/messages.h"
#include "tests/support/test_store.h"

namespace zq::server {
namespace {

// Wednesday 2024-01-10, 12:00 Beijing time.
constexpr std::int64_t kWednesdayNoon = 1704859200;
constexpr std::int64_t kDay = 86400;

class AccountStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = test::OpenTestStore("zq-account-test", dir_);
        ASSERT_TRUE(store_);
        accounts_ = std::make_unique<Accounts>(*store_, market_);
        accounts_->SetClock([this] { return now_; });
    }
    void TearDown() override {
        accounts_.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::int64_t AddMember(const char* name) { return test::AddTestMember(*store_, name); }

    double Balance(std::int64_t member) {
        AccountBlock b = accounts_->Block(member);
        return b.freeFunds + b.occupiedMargin + b.frozenMargin + b.frozenFees;
    }

    std::string dir_;
    std::unique_ptr<Store> store_;
    SeededRandom random_{1};
    Market market_{random_};  // not started: the opening prices
    std::unique_ptr<Accounts> accounts_;
    std::int64_t now_ = kWednesdayNoon;
};

TEST_F(AccountStoreTest, NewDaysChargeDeferralAndEndOrdersThatRanOut) {
    const std::int64_t member = AddMember("kate");
    ASSERT_TRUE(accounts_->Settle(member));  // opens the account on Wednesday
    std::string gold, fx, rebar;
    ASSERT_TRUE(InTransaction(*store_, [&](sqlite3* db) {
        using namespace account_rows;
        PositionRow p;
        p.memberId = member;
        p.instrument = 1;  // 206.25 a day for a lot at 1650.00
        p.openedQuantity = p.heldQuantity = 1;
        p.openPrice = 1640;
        p.margin = 10250;
        p.openTime = now_;
        if (!InsertRow(db, p)) return false;
        gold = p.ticket;
        p.ticket.clear();   // a fresh ticket for the next one
        p.instrument = 14;  // 30 a lot
        p.heldQuantity = 2;
        p.openPrice = 1.31;
        p.margin = 16375;
        if (!InsertRow(db, p)) return false;
        fx = p.ticket;
        p.ticket.clear();
        p.instrument = 32;  // futures pay no deferral
        p.openPrice = 3700;
        if (!InsertRow(db, p)) return false;
        rebar = p.ticket;
        for (std::int32_t validity : {1, 2, 3}) {
            OrderRow o;
            o.memberId = member;
            o.instrument = 1;
            o.quantity = 1;
            o.price = 1600;
            o.validity = validity;
            o.orderTime = now_;
            o.frozenMargin = 100 * validity;
            if (!InsertRow(db, o)) return false;
        }
        auto account = LoadAccount(db, member);
        account->todayClosedProfit = 55;
        account->todayFees = 12;
        return SaveAccount(db, *account);
    }));
    EXPECT_NE(gold, fx);
    EXPECT_DOUBLE_EQ(Balance(member), 100000);
    EXPECT_EQ(accounts_->Orders(member, {}).size(), 3u);

    auto waiting = [&] {
        OrderFilter f;
        f.status = order_status::Waiting;
        std::vector<std::int32_t> validities;
        for (const auto& o : accounts_->Orders(member, f)) validities.push_back(o.validity);
        return validities;
    };
    auto deferral = [&](const std::string& ticket) {
        PositionFilter f;
        f.ticket = ticket;
        return accounts_->Positions(member, f).at(0).deferralFee;
    };

    // Thursday: one night's deferral; the day order is over.
    now_ += kDay;
    AccountBlock thursday = accounts_->Block(member);
    EXPECT_DOUBLE_EQ(thursday.previousDeferralFee, 266.25);
    EXPECT_DOUBLE_EQ(Balance(member), 100000 - 266.25);
    EXPECT_EQ(thursday.todayClosedProfit, 0);
    EXPECT_EQ(thursday.todayFees, 0);
    EXPECT_EQ(waiting(), (std::vector<std::int32_t>{2, 3}));
    EXPECT_DOUBLE_EQ(thursday.frozenMargin, 500);  // the cancelled order holds nothing back
    EXPECT_DOUBLE_EQ(deferral(gold), 206.25);
    EXPECT_DOUBLE_EQ(deferral(fx), 60);
    EXPECT_DOUBLE_EQ(deferral(rebar), 0);
    EXPECT_EQ(accounts_->Orders(member, {}).size(), 3u);  // the cancelled order is still listed

    // The same day again: nothing more.
    now_ += 3600;
    EXPECT_DOUBLE_EQ(Balance(member), 100000 - 266.25);

    // The next Tuesday: five more nights, and the week order is over.
    now_ += 5 * kDay;
    AccountBlock tuesday = accounts_->Block(member);
    EXPECT_DOUBLE_EQ(tuesday.previousDeferralFee, 266.25);
    EXPECT_DOUBLE_EQ(Balance(member), 100000 - 6 * 266.25);
    EXPECT_DOUBLE_EQ(deferral(gold), 6 * 206.25);
    EXPECT_EQ(waiting(), (std::vector<std::int32_t>{3}));

    // A clock set back changes nothing.
    now_ -= 3 * kDay;
    EXPECT_DOUBLE_EQ(Balance(member), 100000 - 6 * 266.25);
    EXPECT_DOUBLE_EQ(deferral(gold), 6 * 206.25);
}

// Every stored field, for comparing rows.
auto Fields(const PositionRow& r) {
    return std::tie(r.memberId, r.ticket, r.instrument, r.direction, r.openedQuantity,
                    r.heldQuantity, r.openPrice, r.stopLoss, r.takeProfit, r.margin, r.openTime,
                    r.deferralFee, r.fee1, r.fee2, r.programmatic);
}
auto Fields(const OrderRow& r) {
    return std::tie(r.memberId, r.orderNumber, r.instrument, r.direction, r.quantity, r.price,
                    r.stopLoss, r.takeProfit, r.triggerKind, r.openClose, r.relatedPosition,
                    r.validity, r.orderTime, r.status, r.frozenMargin, r.frozenFee, r.doneTime);
}

TEST_F(AccountStoreTest, PositionAndOrderRowsKeepEveryFieldAndBelongToTheirMember) {
    using namespace account_rows;
    const std::int64_t kate = AddMember("kate"), other = AddMember("other");
    PositionRow p;
    p.memberId = kate;
    p.instrument = 14;
    p.direction = direction::Sell;
    p.openedQuantity = 3;
    p.heldQuantity = 2.5;
    p.openPrice = 1.3125;
    p.stopLoss = 1.33;
    p.takeProfit = 1.29;
    p.margin = 20468.75;
    p.openTime = kWednesdayNoon - 7;
    p.deferralFee = 61.5;
    p.fee1 = 12.25;
    p.fee2 = 4.5;
    p.programmatic = 1;
    OrderRow o;
    o.memberId = kate;
    o.instrument = 32;
    o.direction = direction::Sell;
    o.quantity = 4;
    o.price = 3650;
    o.stopLoss = 3700;
    o.takeProfit = 3500;
    o.triggerKind = trigger::SellBidRises;
    o.openClose = 2;
    o.relatedPosition = "1000000007";
    o.validity = order_validity::ThisWeek;
    o.orderTime = kWednesdayNoon - 9;
    o.status = order_status::Filled;
    o.frozenMargin = 1460;
    o.frozenFee = 7.3;
    o.doneTime = kWednesdayNoon - 2;
    ASSERT_TRUE(store_->WithDb([&](sqlite3* db) { return InsertRow(db, p) && InsertRow(db, o); }));
    // One sequence numbers both kinds.
    EXPECT_FALSE(p.ticket.empty());
    EXPECT_NE(p.ticket, o.orderNumber);

    // Each field lies in the column of its name: the numeric columns in `sql`'s order.
    auto numbers = [&](const char* sql, const std::string& number, int count) {
        return store_->WithDb([&](sqlite3* db) {
            Statement st(db, sql);
            st.Bind(1, std::string_view(number));
            std::vector<double> out;
            if (st.Step())
                for (int c = 0; c < count; ++c) out.push_back(st.Real(c));
            return out;
        });
    };
    EXPECT_EQ(
        numbers("SELECT member_id, instrument, direction, opened_quantity, held_quantity,"
                " open_price, stop_loss, take_profit, margin, open_time, deferral_fee, fee1,"
                " fee2, programmatic FROM positions WHERE ticket = ?",
                p.ticket, 14),
        (std::vector<double>{static_cast<double>(kate), 14, 2, 3, 2.5, 1.3125, 1.33, 1.29, 20468.75,
                             static_cast<double>(p.openTime), 61.5, 12.25, 4.5, 1}));
    EXPECT_EQ(numbers("SELECT member_id, instrument, direction, quantity, price, stop_loss,"
                      " take_profit, trigger_kind, open_close, validity, order_time, status,"
                      " frozen_margin, frozen_fee, done_time FROM orders WHERE order_number = ?",
                      o.orderNumber, 15),
              (std::vector<double>{static_cast<double>(kate), 32, 2, 4, 3650, 3700, 3500, 2, 2, 2,
                                   static_cast<double>(o.orderTime), 3, 1460, 7.3,
                                   static_cast<double>(o.doneTime)}));

    store_->WithDb([&](sqlite3* db) {
        std::optional<PositionRow> storedP = FindRow<PositionRow>(db, kate, p.ticket);
        std::optional<OrderRow> storedO = FindRow<OrderRow>(db, kate, o.orderNumber);
        ASSERT_TRUE(storedP && storedO);
        EXPECT_EQ(Fields(*storedP), Fields(p));
        EXPECT_EQ(Fields(*storedO), Fields(o));
        EXPECT_FALSE(FindRow<PositionRow>(db, other, p.ticket));
        EXPECT_FALSE(FindRow<OrderRow>(db, kate, p.ticket)) << "a ticket names no order";

        p.heldQuantity = 1;
        p.stopLoss = 0;
        p.deferralFee = 70;
        o.status = order_status::Cancelled;
        o.relatedPosition.clear();
        EXPECT_TRUE(UpdateRow(db, p));
        EXPECT_TRUE(UpdateRow(db, o));
        EXPECT_EQ(Fields(LoadRows<PositionRow>(db, kate).at(0)), Fields(p));
        EXPECT_EQ(Fields(LoadRows<OrderRow>(db, kate).at(0)), Fields(o));

        PositionRow stranger = p;
        stranger.memberId = other;
        EXPECT_FALSE(UpdateRow(db, stranger));
        EXPECT_FALSE(DeleteRow<PositionRow>(db, other, p.ticket));
        EXPECT_TRUE(DeleteRow<PositionRow>(db, kate, p.ticket));
        EXPECT_FALSE(DeleteRow<PositionRow>(db, kate, p.ticket));
        EXPECT_TRUE(LoadRows<PositionRow>(db, kate).empty());
        EXPECT_EQ(LoadRows<OrderRow>(db, kate).size(), 1u);
    });
}

TEST_F(AccountStoreTest, MembersAddedLaterGetAPlainAccountAndUnknownOnesNothing) {
    const std::int64_t member = AddMember("late");
    AccountBlock b = accounts_->Block(member);
    EXPECT_EQ(FieldText(b.accountName, sizeof b.accountName), "late");
    EXPECT_EQ(b.base1, 100000);
    EXPECT_EQ(b.equity, 100000);
    EXPECT_TRUE(accounts_->Positions(member, {}).empty());

    const AccountBlock zero{};
    AccountBlock none = accounts_->Block(9999);
    EXPECT_EQ(std::memcmp(&none, &zero, sizeof zero), 0);
    EXPECT_TRUE(accounts_->Positions(9999, {}).empty());
    EXPECT_TRUE(accounts_->Orders(9999, {}).empty());
    EXPECT_FALSE(accounts_->Settle(9999));
}

TEST_F(AccountStoreTest, OrderFilterReadsItsPayload) {
    LoadOrdersRequest request{};
    request.word0 = 1;
    request.word1 = direction::Buy;
    request.selector = order_status::Waiting;
    std::memcpy(request.zero, "1000000042", 10);
    OrderFilter f = OrderFilter::From(request);
    OrderRow row;
    row.instrument = 1;
    row.direction = direction::Buy;
    row.orderNumber = "1000000042";
    EXPECT_TRUE(f.Matches(row));
    for (auto change : {+[](OrderRow& r) { r.instrument = 2; },
                        +[](OrderRow& r) { r.direction = direction::Sell; },
                        +[](OrderRow& r) { r.status = order_status::Filled; },
                        +[](OrderRow& r) { r.orderNumber = "1000000043"; }}) {
        OrderRow other = row;
        change(other);
        EXPECT_FALSE(f.Matches(other));
        EXPECT_TRUE(OrderFilter{}.Matches(other));
    }
}

TEST_F(AccountStoreTest, AlertsBelongToTheirMemberUpToALimit) {
    const std::int64_t demo = store_->FindMember("demo")->id;
    const std::int64_t other = AddMember("other");
    PriceAlertRecord request{};
    request.condition = 1;
    request.instrument = 5;
    request.target = 340;
    for (int n = 0; n < kMaxAlertsPerMember; ++n)
        ASSERT_GT(AddPriceAlert(*store_, other, request).id, 0) << n;
    EXPECT_EQ(AddPriceAlert(*store_, other, request).id, 0);
    request.target = NAN;
    EXPECT_EQ(AddPriceAlert(*store_, demo, request).id, 0);

    std::vector<PriceAlertRecord> mine = PriceAlerts(*store_, demo);
    ASSERT_EQ(mine.size(), 3u);
    EXPECT_FALSE(RemovePriceAlert(*store_, other, mine[0]));
    EXPECT_TRUE(RemovePriceAlert(*store_, demo, mine[0]));  // fired: mode as stored
    PriceAlertRecord byUser = mine[1];
    byUser.mode = 2;
    EXPECT_TRUE(RemovePriceAlert(*store_, demo, byUser));
    EXPECT_EQ(PriceAlerts(*store_, demo).size(), 1u);
    // The rows stay as history, marked by how they went.
    auto states = store_->WithDb([&](sqlite3* db) {
        std::vector<std::int64_t> out;
        Statement st(db, "SELECT state FROM price_alerts WHERE member_id = ? ORDER BY id");
        st.Bind(1, demo);
        while (st.Step()) out.push_back(st.Int(0));
        return out;
    });
    EXPECT_EQ(states, (std::vector<std::int64_t>{alert_state::Fired, alert_state::DeletedByUser,
                                                 alert_state::Active}));

    const std::int32_t id = AddProfitAlert(*store_, other, 2, -500);
    ASSERT_GT(id, 0);
    EXPECT_EQ(AddProfitAlert(*store_, other, 3, -500), 0);
    std::vector<ProfitAlertRecord> profit = ProfitAlerts(*store_, other);
    ASSERT_EQ(profit.size(), 1u);
    EXPECT_EQ(ProfitAlertId(profit[0]), id);
    EXPECT_EQ(profit[0].condition, 2);
    EXPECT_EQ(profit[0].target, -500);
    EXPECT_FALSE(RemoveProfitAlert(*store_, demo, profit[0]));
    EXPECT_TRUE(RemoveProfitAlert(*store_, other, profit[0]));
    EXPECT_TRUE(ProfitAlerts(*store_, other).empty());
}

TEST_F(AccountStoreTest, MessagesComeNewestFirstWithThoseToEveryone) {
    const std::int64_t demo = store_->FindMember("demo")->id;
    const std::int64_t other = AddMember("other");
    const std::int64_t now = NowSeconds();
    ASSERT_GT(AddMessage(*store_, other, now + 20, "给你的"), 0);
    ASSERT_GT(AddMessage(*store_, kEveryMember, now + 10, "给大家的"), 0);

    std::vector<ServerMessage> theirs = MessagesFor(*store_, other);
    ASSERT_EQ(theirs.size(), 3u);  // theirs, the new one to everyone, the welcome
    EXPECT_EQ(theirs[0].text, "给你的");
    EXPECT_EQ(theirs[1].text, "给大家的");
    EXPECT_EQ(MessagesFor(*store_, other, 1).size(), 1u);

    std::vector<ServerMessage> demos = MessagesFor(*store_, demo);
    ASSERT_EQ(demos.size(), 5u);
    EXPECT_EQ(demos[0].text, "给大家的");
    for (std::size_t n = 1; n < demos.size(); ++n) EXPECT_GE(demos[n - 1].time, demos[n].time);
    for (const auto& m : demos) EXPECT_NE(m.text, "给你的");
}

}  // namespace
}  // namespace zq::server
