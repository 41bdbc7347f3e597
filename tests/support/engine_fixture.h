// The execution engine in process, on a store of its own, a market set by hand (not started:
// prices move only when a test sets them), trading hours always open and a test clock; the
// store's rows read back for the asserts.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "server/market/trading_hours.h"
#include "server/trading/account_rows.h"
#include "server/trading/accounts.h"
#include "server/trading/execution.h"
#include "tests/order_request_builders.h"
#include "tests/support/test_store.h"

namespace zq::test {

// Wednesday 2024-01-10, 12:00 Beijing time.
inline constexpr std::int64_t kWednesdayNoon = 1704859200;

class EngineFixture : public ::testing::Test {
  protected:
    // `prefix` names the test's directory.
    explicit EngineFixture(const char* prefix) : prefix_(prefix) {}

    void SetUp() override {
        store_ = OpenTestStore(prefix_, dir_);
        ASSERT_TRUE(store_);
        // Without the demo member's seeded trades, the index holds only what a test makes.
        ASSERT_TRUE(store_->WithDb([](sqlite3* db) {
            return server::Exec(db, "DELETE FROM members WHERE name = 'demo'");
        }));
        accounts_ = std::make_unique<server::Accounts>(*store_, market_);
        accounts_->SetClock([this] { return now_.load(); });
        StartEngine();
    }
    void TearDown() override {
        engine_.reset();
        accounts_.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }
    // A fresh engine on the same store, as after a restart.
    void StartEngine() {
        engine_.reset();
        engine_ = std::make_unique<server::ExecutionEngine>(*store_, market_, *accounts_, hours_);
        accounts_->SetSettledListener([this](std::int64_t m) { engine_->Reload(m); });
        engine_->SetLogging(false);
        engine_->Start(false);
    }

    std::int64_t AddMember(const char* name) { return AddTestMember(*store_, name); }
    void SetPrice(std::int32_t instrument, double price) {
        market_.SetPrice(instrument, server::ToScaled(*server::FindRules(instrument), price));
    }
    // The rows of member `m`, or of the test's own member (`member_`) when `m` is 0.
    std::vector<server::PositionRow> Positions(std::int64_t m = 0) {
        return Rows<server::PositionRow>(m);
    }
    std::vector<server::OrderRow> Orders(std::int64_t m = 0) { return Rows<server::OrderRow>(m); }
    std::vector<server::FillRow> Fills(std::int64_t m = 0) { return Rows<server::FillRow>(m); }
    server::AccountRow Account(std::int64_t m = 0) {
        return *store_->WithDb(
            [&](sqlite3* db) { return server::account_rows::LoadAccount(db, m ? m : member_); });
    }
    // Opens a position at the market, or places a pending order, for member `m`, and answers it
    // as stored.
    server::PositionRow Opened(std::int64_t m, std::int32_t instrument, std::int32_t side,
                               float lots, float stopLoss = 0, float takeProfit = 0) {
        const InstrumentRecord q = market_.QuotedRecord(instrument);
        EXPECT_EQ(engine_->Open(m, MarketRequest(instrument, side, lots,
                                                 side == direction::Buy ? q.ask : q.bid, stopLoss,
                                                 takeProfit)),
                  order_result::Done);
        const auto rows = Positions(m);
        return rows.empty() ? server::PositionRow{} : rows.back();
    }
    server::OrderRow Placed(std::int64_t m, std::int32_t instrument, std::int32_t side, float lots,
                            float price) {
        EXPECT_EQ(engine_->Open(m, PendingRequest(instrument, side, lots, price)),
                  order_result::Done);
        const auto rows = Orders(m);
        return rows.empty() ? server::OrderRow{} : rows.back();
    }
    void SetBalance(std::int64_t member, double balance) {
        ASSERT_TRUE(accounts_->Settle(member));  // opens the account
        ASSERT_TRUE(store_->WithDb([&](sqlite3* db) {
            server::Statement st(db, "UPDATE accounts SET balance = ? WHERE member_id = ?");
            st.Bind(1, balance).Bind(2, member);
            return st.Run();
        }));
        engine_->Reload(member);
    }

    template <typename Row>
    std::vector<Row> Rows(std::int64_t m) {
        return store_->WithDb(
            [&](sqlite3* db) { return server::account_rows::LoadRows<Row>(db, m ? m : member_); });
    }

    std::int64_t member_ = 0;
    std::string dir_;
    std::unique_ptr<server::Store> store_;
    server::SeededRandom random_{7};
    server::Market market_{random_};
    server::TradingHours hours_{server::HoursMode::Always};
    std::unique_ptr<server::Accounts> accounts_;
    std::unique_ptr<server::ExecutionEngine> engine_;
    std::atomic<std::int64_t> now_{kWednesdayNoon};  // read by the expiry clock's thread too

  private:
    const char* prefix_;
};

}  // namespace zq::test
