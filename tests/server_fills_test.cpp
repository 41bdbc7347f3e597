// The fills query: the filters, the date range and its edges, the period figures, the fields
// at their offsets, the row limit, the balance history of the equity curve; and command 19 on
// the running server after real trades.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "net/wire/ansi_text.h"
#include "server/market/trading_day.h"
#include "server/trading/account_rows.h"
#include "server/trading/fills.h"
#include "tests/server_report_fixtures.h"

namespace zq {
namespace {

using server::FillRow;

// Seconds since 1970 of a Beijing date and hour.
std::int64_t Beijing(const char* day, int hour) {
    return *server::DayNumber(day) * 86400 + (hour - 8) * 3600;
}

FillQuery Query(std::int32_t filter, const char* from = "", const char* to = "") {
    FillQuery q{};
    q.instrument = filter;
    std::snprintf(q.startDate, sizeof q.startDate, "%s", from);
    std::snprintf(q.endDate, sizeof q.endDate, "%s", to);
    return q;
}

std::vector<std::string> Numbers(const server::FillAnswer& a) {
    std::vector<std::string> out;
    for (const FillRecord& r : a.records) out.emplace_back(r.fillNumber);
    return out;
}

using Strings = std::vector<std::string>;

class FillQueryTest : public test::ReportStoreTest {
  protected:
    // Four fills of one member, numbered 1 to 4:
    //   1  03-02 10:00  opens buy 1 伦敦金 at 1650, fee 309.38 (market order)
    //   2  03-03 10:00  closes it at 1660, profit 6250 (take-profit)
    //   3  03-03 11:00  opens buy 2 沪金 at 338, fee 60 (a programmatic pending order)
    //   4  03-05 10:00  closes it at 337, profit -200, fee 60 (stop-loss)
    // The balance after them: 100,000 - 309.38 + 6250 - 60 - 200 - 60 = 105,620.62.
    void SetUp() override {
        ReportStoreTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        member_ = ann_;
        other_ = bob_;
        ASSERT_TRUE(server::InTransaction(*store_, [&](sqlite3* db) {
            using namespace server::account_rows;
            if (!CreatePlainAccount(db, member_, Beijing("2026-03-01", 9)) ||
                !CreatePlainAccount(db, other_, Beijing("2026-03-01", 9)))
                return false;
            server::OrderRow order;
            order.memberId = member_;
            order.orderNumber = "1000000005";
            order.instrument = 29;
            order.validity = order_validity::Programmatic;
            order.status = order_status::Filled;
            if (!InsertRow(db, order)) return false;
            bool ok = Add(db, Fill(1, "2026-03-02", 10, 1, 1650, 1, 0, 309.38,
                                   server::fill_reason::Market, "1000000001")) &&
                      Add(db, Fill(1, "2026-03-03", 10, 1, 1660, 2, 6250, 0,
                                   server::fill_reason::TakeProfit, "1000000001")) &&
                      Add(db, Fill(29, "2026-03-03", 11, 2, 338, 1, 0, 60,
                                   server::fill_reason::Limit, "1000000006", "1000000005")) &&
                      Add(db, Fill(29, "2026-03-05", 10, 2, 337, 2, -200, 60,
                                   server::fill_reason::StopLoss, "1000000006"));
            std::optional<server::AccountRow> account = LoadAccount(db, member_);
            if (!ok || !account) return false;
            account->balance = 105620.62;
            return SaveAccount(db, *account);
        }));
    }
    FillRow Fill(std::int32_t instrument, const char* day, int hour, double lots, double price,
                 std::int32_t openClose, double profit, double fee, std::int32_t reason,
                 const char* ticket, const char* order = "") {
        FillRow f;
        f.memberId = member_;
        f.instrument = instrument;
        f.time = Beijing(day, hour);
        f.lots = lots;
        f.price = price;
        f.openClose = openClose;
        // Opening buys, closing sells.
        f.direction = openClose == 1 ? direction::Buy : direction::Sell;
        f.profit = profit;
        f.fee = fee;
        f.reason = reason;
        f.ticket = ticket;
        f.orderNumber = order;
        return f;
    }
    static bool Add(sqlite3* db, FillRow f) { return server::account_rows::InsertRow(db, f); }

    server::FillAnswer Ask(const FillQuery& q) { return server::QueryFills(*store_, member_, q); }

    std::int64_t member_ = 0, other_ = 0;
};

TEST_F(FillQueryTest, AllFillsNewestFirstWithThePeriodFigures) {
    const server::FillAnswer a = Ask(Query(fill_filter::All));
    EXPECT_EQ(Numbers(a), (Strings{"4", "3", "2", "1"}));
    EXPECT_FLOAT_EQ(a.summary.successRate, 50.0f);  // one of two closing fills won
    EXPECT_FLOAT_EQ(a.summary.profit, 5620.62f);    // 6250 - 200 - 309.38 - 60 - 60
    // Over the balance the period started from: 100,000.
    EXPECT_NEAR(a.summary.returnRate, 5.62062, 1e-4);
}

TEST_F(FillQueryTest, TheCardFiltersSplitInternationalFromDomesticInstruments) {
    const server::FillAnswer gold = Ask(Query(fill_filter::GoldInstruments));
    EXPECT_EQ(Numbers(gold), (Strings{"2", "1"}));
    EXPECT_FLOAT_EQ(gold.summary.successRate, 100.0f);
    EXPECT_FLOAT_EQ(gold.summary.profit, 5940.62f);
    const server::FillAnswer silver = Ask(Query(fill_filter::SilverInstruments));
    EXPECT_EQ(Numbers(silver), (Strings{"4", "3"}));
    EXPECT_FLOAT_EQ(silver.summary.successRate, 0.0f);
    EXPECT_FLOAT_EQ(silver.summary.profit, -320.0f);
    EXPECT_NEAR(silver.summary.returnRate, -0.32, 1e-5);

    EXPECT_EQ(Numbers(Ask(Query(29))), (Strings{"4", "3"}));
    EXPECT_EQ(Numbers(Ask(Query(1))), (Strings{"2", "1"}));

    for (std::int32_t id = 1; id <= 42; ++id)
        EXPECT_NE(server::FillFilterMatches(fill_filter::GoldInstruments, id),
                  server::FillFilterMatches(fill_filter::SilverInstruments, id))
            << id;
    EXPECT_TRUE(server::FillFilterMatches(fill_filter::GoldInstruments, 14));
    EXPECT_TRUE(server::FillFilterMatches(fill_filter::SilverInstruments, 5));
    EXPECT_FALSE(server::FillFilterMatches(fill_filter::SilverInstruments, 43));
}

TEST_F(FillQueryTest, AnEmptySelectionStillAnswersItsFigures) {
    for (const FillQuery& q : {Query(14), Query(7777), Query(0, "2026-03-06", ""),
                               Query(0, "2026-03-04", "2026-03-04")}) {
        const server::FillAnswer a = Ask(q);
        EXPECT_TRUE(a.records.empty());
        EXPECT_EQ(a.summary.successRate, 0.0f);
        EXPECT_EQ(a.summary.profit, 0.0f);
        EXPECT_EQ(a.summary.returnRate, 0.0f);
    }
    // Another member sees none of them.
    EXPECT_TRUE(server::QueryFills(*store_, other_, Query(0)).records.empty());
}

TEST_F(FillQueryTest, BothDatesAreIncludedAndAnOpenSideReachesEveryFill) {
    EXPECT_EQ(Numbers(Ask(Query(0, "2026-03-03", "2026-03-03"))), (Strings{"3", "2"}));
    EXPECT_EQ(Numbers(Ask(Query(0, "2026-03-02", "2026-03-05"))), (Strings{"4", "3", "2", "1"}));
    EXPECT_EQ(Numbers(Ask(Query(0, "", "2026-03-02"))), (Strings{"1"}));
    EXPECT_EQ(Numbers(Ask(Query(0, "2026-03-05", ""))), (Strings{"4"}));
    // An end before the start, and texts that are no dates, select nothing.
    EXPECT_TRUE(Ask(Query(0, "2026-03-05", "2026-03-02")).records.empty());
    EXPECT_TRUE(Ask(Query(0, "2026-13-01", "")).records.empty());
    EXPECT_TRUE(Ask(Query(0, "", "soon")).records.empty());

    // The period of one day: the balance it started from is the current one less what every
    // fill from that day on brought (6250 - 60 - 200 - 60).
    const server::FillAnswer day = Ask(Query(0, "2026-03-03", "2026-03-03"));
    EXPECT_FLOAT_EQ(day.summary.successRate, 100.0f);
    EXPECT_FLOAT_EQ(day.summary.profit, 6190.0f);
    EXPECT_NEAR(day.summary.returnRate, 6190.0 * 100 / 99690.62, 1e-4);
}

TEST_F(FillQueryTest, RecordsCarryTheirFieldsAtTheClientsOffsets) {
    const server::FillAnswer a = Ask(Query(0));
    ASSERT_EQ(a.records.size(), 4u);
    unsigned char bytes[4][sizeof(FillRecord)];
    for (int i = 0; i < 4; ++i) std::memcpy(bytes[i], &a.records[static_cast<std::size_t>(i)], 224);
    auto text = [&](int row, std::size_t offset, std::size_t width) {
        return std::string(FieldText(reinterpret_cast<const char*>(bytes[row] + offset), width));
    };
    auto i32 = [&](int row, std::size_t offset) {
        std::int32_t v;
        std::memcpy(&v, bytes[row] + offset, 4);
        return v;
    };
    auto f64 = [&](int row, std::size_t offset) {
        double v;
        std::memcpy(&v, bytes[row] + offset, 8);
        return v;
    };
    // Row 1: fill 3, the programmatic order's opening fill of 沪金.
    EXPECT_EQ(text(1, 0, 28), "3");
    EXPECT_EQ(text(1, 28, 44), ToAnsi("沪金"));
    EXPECT_EQ(i32(1, 72), direction::Buy);
    EXPECT_EQ(f64(1, 80), 2.0);
    EXPECT_EQ(f64(1, 88), 338.0);
    EXPECT_EQ(f64(1, 96), 0.0);
    EXPECT_EQ(text(1, 128, 21), "1000000005");
    EXPECT_EQ(text(1, 149, 23), "1000000006");
    EXPECT_EQ(i32(1, 172), 1);  // opening
    EXPECT_EQ(i32(1, 176), 2);  // at the order's price
    EXPECT_EQ(i32(1, 180), 3);  // programmatic trading
    EXPECT_EQ(text(1, 184, 40), "2026-03-03 11:00:00");
    // Row 0: fill 4, the stop-loss: a closing sell by the system, at market, with its loss.
    EXPECT_EQ(i32(0, 72), direction::Sell);
    EXPECT_EQ(f64(0, 96), -200.0);
    EXPECT_EQ(i32(0, 172), 2);
    EXPECT_EQ(i32(0, 176), 1);
    EXPECT_EQ(i32(0, 180), 2);
    EXPECT_EQ(text(0, 128, 21), "");
    // Row 3: fill 1, the user's market order of 伦敦金(T+0).
    EXPECT_EQ(text(3, 28, 44), ToAnsi("伦敦金(T+0)"));
    EXPECT_EQ(i32(3, 176), 1);
    EXPECT_EQ(i32(3, 180), 1);
    // Texts end within their fields: every record's gaps are zero.
    for (int row = 0; row < 4; ++row)
        for (std::size_t off : {76u, 104u, 127u})
            EXPECT_EQ(bytes[row][off], 0) << row << " " << off;
}

TEST_F(FillQueryTest, AnswersAreLimitedToTheNewestRowsButCountThemAll) {
    const std::size_t extra = server::kMaxFillRecords + 5 - 4;
    ASSERT_TRUE(server::InTransaction(*store_, [&](sqlite3* db) {
        for (std::size_t i = 0; i < extra; ++i) {
            FillRow f = Fill(14, "2026-03-06", 10, 1, 1.31, 2, 1, 0, server::fill_reason::Market,
                             "1000000099");
            f.time += static_cast<std::int64_t>(i);
            if (!Add(db, f)) return false;
        }
        return true;
    }));
    const server::FillAnswer a = Ask(Query(0));
    ASSERT_EQ(a.records.size(), server::kMaxFillRecords);
    EXPECT_EQ(std::string(a.records.front().fillNumber),
              std::to_string(server::kMaxFillRecords + 5));
    // The figures take in all closing fills: 1 loss among 2 + extra.
    EXPECT_NEAR(a.summary.successRate, 100.0 * (1 + extra) / (2 + extra), 1e-3);
    EXPECT_FLOAT_EQ(a.summary.profit, static_cast<float>(5620.62 + extra));
}

TEST_F(FillQueryTest, TheBalanceHistoryStepsFromTheStartingBalanceToTheCurrentOne) {
    const std::int64_t now = Beijing("2026-03-08", 12);
    const std::optional<std::vector<server::BalancePoint>> h =
        server::BalanceHistory(*store_, member_, now);
    ASSERT_TRUE(h);
    ASSERT_EQ(h->size(), 6u);
    EXPECT_EQ(h->front().time, Beijing("2026-03-02", 10) - 86400);
    EXPECT_DOUBLE_EQ(h->front().balance, 100000.0);
    EXPECT_DOUBLE_EQ((*h)[1].balance, 99690.62);
    EXPECT_DOUBLE_EQ((*h)[2].balance, 105940.62);
    EXPECT_DOUBLE_EQ((*h)[4].balance, 105620.62);
    EXPECT_EQ(h->back().time, now);
    EXPECT_DOUBLE_EQ(h->back().balance, 105620.62);

    const auto none = server::BalanceHistory(*store_, other_, now);
    ASSERT_TRUE(none);
    ASSERT_EQ(none->size(), 2u);
    EXPECT_DOUBLE_EQ(none->front().balance, 100000.0);
    EXPECT_FALSE(server::BalanceHistory(*store_, 99999, now));
}

// ---- command 19 on the running server ----

class FillWireTest : public test::ReportServerTest {
  protected:
    void SetUp() override {
        ReportServerTest::SetUp();
        if (!HasFatalFailure()) zhang_ = Login("张三", "zhangsan");
    }
    test::LoggedIn zhang_;
};

TEST_F(FillWireTest, ATradeOpenedAndClosedShowsAsTwoFillsAndItsFigures) {
    test::MemberLink link = Link(zhang_.key);
    ASSERT_EQ(link.Open(test::MarketRequest(1, direction::Buy, 1, 1650.25f)), 1);
    const std::vector<PositionRecord> held = link.Positions();
    ASSERT_EQ(held.size(), 1u);
    ASSERT_EQ(link.Close(held[0], 1, 1649.75, 0), 1);

    const std::string today = server::TradingDayOf(server::NowSeconds());
    const test::MemberLink::FillAnswer f = link.Fills(Query(0, today.c_str(), today.c_str()));
    ASSERT_EQ(f.records.size(), 2u);
    const FillRecord& close = f.records[0];
    const FillRecord& open = f.records[1];
    EXPECT_EQ(close.openClose, 2);
    EXPECT_EQ(close.direction, direction::Sell);
    EXPECT_DOUBLE_EQ(close.closeProfit, -312.5);  // 0.50 × 100 × 6.25
    EXPECT_DOUBLE_EQ(close.price, 1649.75);
    EXPECT_EQ(open.openClose, 1);
    EXPECT_EQ(open.direction, direction::Buy);
    EXPECT_DOUBLE_EQ(open.price, 1650.25);
    EXPECT_DOUBLE_EQ(open.quantity, 1.0);
    EXPECT_STREQ(open.ticket, held[0].ticket);
    EXPECT_STREQ(close.ticket, held[0].ticket);
    EXPECT_EQ(std::string(open.instrumentName), ToAnsi("伦敦金(T+0)"));
    EXPECT_EQ(std::string(open.time).substr(0, 10), today);
    EXPECT_EQ(open.kind, 1);
    EXPECT_EQ(open.originator, 1);
    // The opening fee 0.03 % of 1,031,406.25 is 309.42; nothing is charged at closing.
    EXPECT_FLOAT_EQ(f.summary.successRate, 0.0f);
    EXPECT_FLOAT_EQ(f.summary.profit, -621.92f);
    EXPECT_NEAR(f.summary.returnRate, -0.62192, 1e-4);

    // Other instruments' fills and other days are not selected; the connection goes on.
    EXPECT_TRUE(link.Fills(Query(14)).records.empty());
    EXPECT_TRUE(link.Fills(Query(0, "2000-01-01", "2000-01-31")).records.empty());
    EXPECT_EQ(link.Fills(Query(fill_filter::GoldInstruments)).records.size(), 2u);
}

TEST_F(FillWireTest, WithoutASessionTheAnswerIsEmptyAndTheConnectionGoesOn) {
    test::MemberLink stranger = Link({9, 9, 9, 9});
    const test::MemberLink::FillAnswer f = stranger.Fills(Query(0));
    EXPECT_TRUE(f.records.empty());
    EXPECT_EQ(f.summary.successRate, 0.0f);
    EXPECT_EQ(f.summary.profit, 0.0f);
    EXPECT_EQ(f.summary.returnRate, 0.0f);
    EXPECT_EQ(stranger.Ask<std::int32_t>(cmd::VersionCheck, nullptr, 0), ProgramVersion);
}

}  // namespace
}  // namespace zq
