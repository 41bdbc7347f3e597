// The server killed (SIGKILL) at random moments while members trade, and started again on the same
// database each time: the store is whole, every order and close it answered 1 is in it, and every
// balance is its start plus the closed profit less the fees.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/store/store.h"
#include "server/trading/account_rows.h"
#include "tests/order_request_builders.h"
#include "tests/support/server_process.h"
#include "trading/wire/records.h"

namespace zq {
namespace {

using test::ServerProcess;
using Key = std::array<std::int32_t, 4>;

constexpr const char* kCode = "AB12";
constexpr std::int32_t kGold = 1;

// Requests of one member that give up quietly when the server goes away.
class QuietLink {
  public:
    QuietLink(std::uint16_t port, Key key) : socket_(test::ConnectLocal(port)), key_(key) {}

    template <typename Answer>
    std::optional<Answer> Ask(std::int32_t command, const void* payload, std::size_t size) {
        const RequestHeader h = test::Header(command, key_);
        Answer a{};
        if (socket_.Send(&h, sizeof h) != static_cast<int>(sizeof h) ||
            socket_.Send(payload, size) != static_cast<int>(size) ||
            ReceiveExact(socket_, &a, sizeof a) != static_cast<int>(sizeof a))
            return std::nullopt;
        return a;
    }
    std::optional<std::vector<PositionRecord>> Positions() {
        const LoadPositionsRequest filter{};
        const auto count = Ask<std::int32_t>(cmd::LoadPositions, &filter, sizeof filter);
        if (!count || *count < 0 || *count > 1000) return std::nullopt;
        std::vector<PositionRecord> out(static_cast<std::size_t>(*count));
        for (PositionRecord& p : out)
            if (ReceiveExact(socket_, &p, sizeof p) != static_cast<int>(sizeof p))
                return std::nullopt;
        return out;
    }

  private:
    Socket socket_;
    Key key_;
};

struct Trader {
    const char* name;
    const char* password;
    std::atomic<int> opened{0}, closed{0};  // answered 1
};

// Opens a position at the market and closes what it holds, over and over, until the link fails.
void Trade(std::uint16_t port, Key key, Trader& t) {
    QuietLink link(port, key);
    for (;;) {
        const OpenOrderRequest open = test::MarketRequest(kGold, direction::Buy, 1, 1650);
        const auto answer = link.Ask<std::int32_t>(cmd::OpenOrder, &open, sizeof open);
        if (!answer) return;
        if (*answer == order_result::Done) ++t.opened;
        const auto positions = link.Positions();
        if (!positions) return;
        for (const PositionRecord& p : *positions) {
            const PendingOrderRecord close = test::CloseRequest(p.instrument, p.direction, p.ticket,
                                                                p.heldQuantity, p.openPrice);
            const auto closed = link.Ask<std::int32_t>(cmd::ClosePosition, &close, sizeof close);
            if (!closed) return;
            if (*closed == close_result::Done) ++t.closed;
        }
    }
}

TEST(DurabilityTest, AServerKilledWhileMembersTradeKeepsWhatItAnsweredAndBalancesAddUp) {
    ServerProcess server({"--fixed-code", kCode, "--market-step-ms", "20"});
    ASSERT_TRUE(server.Running()) << server.Error();
    Trader traders[] = {{"trader", "trader"}, {"张三", "zhangsan"}};
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 5; ++round) {
        std::vector<std::thread> threads;
        for (Trader& t : traders) {
            const auto session = test::LoginAs(server.requestPort(), t.name, t.password, kCode);
            ASSERT_TRUE(session) << t.name << " in round " << round;
            threads.emplace_back(Trade, server.requestPort(), session->key, std::ref(t));
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(random)));
        EXPECT_TRUE(server.Kill());
        for (std::thread& th : threads) th.join();
        ASSERT_TRUE(server.Restart()) << server.Error();
    }
    ASSERT_TRUE(server.Stop());

    std::string error;
    const auto store = server::Store::Open(server.dbPath(), &error, false);
    ASSERT_TRUE(store) << error;
    store->WithDb([](sqlite3* db) {
        server::Statement st(db, "PRAGMA integrity_check");
        EXPECT_TRUE(st.Step());
        EXPECT_EQ(st.Text(0), "ok");
        return true;
    });
    for (const Trader& t : traders) {
        const std::int64_t id = store->FindMember(t.name)->id;
        EXPECT_GT(t.opened, 0) << t.name;
        const auto [fills, account] = store->WithDb([&](sqlite3* db) {
            return std::make_pair(server::account_rows::LoadRows<server::FillRow>(db, id),
                                  server::account_rows::LoadAccount(db, id));
        });
        ASSERT_TRUE(account) << t.name;
        int opens = 0, closes = 0;
        double profit = 0, fees = 0;
        for (const server::FillRow& f : fills) {
            (f.openClose == server::open_close::Open ? opens : closes) += 1;
            profit += f.profit;
            fees += f.fee;
        }
        // A trade may be kept whose answer the kill cut off, never the other way round.
        EXPECT_GE(opens, t.opened) << t.name;
        EXPECT_GE(closes, t.closed) << t.name;
        EXPECT_NEAR(account->balance, account->base1 + account->netDeposits + profit - fees, 0.005)
            << t.name;
    }
}

}  // namespace
}  // namespace zq
