// The server killed (SIGKILL) at random moments while members trade, and started again on the same
// database each time: the store is whole, every order and close it answered 1 is in it, and every
// balance is its start plus the closed profit less the fees.
//
// The load scales by hand: ZQ_DURABILITY_MEMBERS members trading (4 by default; try 200), each
// on its own connection as fast as it is answered, and ZQ_DURABILITY_LINKS push links held open
// and read meanwhile (none by default; try 2,000 to 10,000). Each round prints what was answered
// before the kill, what the restarted server holds and how long the restart took.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "server/store/store.h"
#include "server/trading/account_rows.h"
#include "tests/order_request_builders.h"
#include "tests/support/server_process.h"
#include "trading/wire/records.h"

namespace zq {
namespace {

using test::ServerProcess;
using Key = std::array<std::int32_t, 4>;
using Clock = std::chrono::steady_clock;

constexpr const char* kCode = "AB12";
constexpr std::int32_t kGold = 1;
// The smallest trade: a round trip costs the spread and fees, and a member trading for minutes
// must not run out of margin.
constexpr float kLots = 0.01f;
constexpr int kKills = 5;
// Only bounds how long a server that stops answering can hold the test up.
constexpr auto kLoadLimit = std::chrono::seconds(120);

int EnvCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::max(0, std::atoi(text)) : fallback;
}

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
    std::string name, password;
    Key key{};
    std::atomic<int> opened{0};       // answered 1, every round
    std::vector<std::string> closed;  // the tickets of closes answered 1
    std::atomic<bool> tradedThisRound{false};
    std::atomic<bool> linkEnded{false};  // this round's link failed
};

// Opens a position at the market and closes what it holds, over and over, until the link fails.
void Trade(std::uint16_t port, Trader& t) {
    QuietLink link(port, t.key);
    for (;;) {
        const OpenOrderRequest open = test::MarketRequest(kGold, direction::Buy, kLots, 1650);
        const auto answer = link.Ask<std::int32_t>(cmd::OpenOrder, &open, sizeof open);
        if (!answer) return;
        if (*answer == order_result::Done) {
            ++t.opened;
            t.tradedThisRound = true;
        }
        const auto positions = link.Positions();
        if (!positions) return;
        for (const PositionRecord& p : *positions) {
            const PendingOrderRecord close = test::CloseRequest(p.instrument, p.direction, p.ticket,
                                                                p.heldQuantity, p.openPrice);
            const auto closed = link.Ask<std::int32_t>(cmd::ClosePosition, &close, sizeof close);
            if (!closed) return;
            if (*closed == close_result::Done) t.closed.emplace_back(p.ticket);
        }
    }
}

// Push links held open as clients hold them, four to a member, all read on one thread so that
// none overflows its queue at the server.
class HeldPushLinks {
  public:
    HeldPushLinks(std::uint16_t port, const std::vector<Trader>& members, int count)
        : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        for (int i = 0; i < count; ++i) {
            Socket s = test::SubscribePush(port, members[static_cast<std::size_t>(i / 4)].key);
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = s.Fd();
            if (s.Valid() && ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, s.Fd(), &e) == 0)
                links_.push_back(std::move(s));
        }
        open_ = static_cast<int>(links_.size());
        if (!links_.empty()) reader_ = std::thread([this] { Read(); });
    }
    ~HeldPushLinks() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
    }
    // The links the server has not closed.
    int Open() const { return open_; }

  private:
    void Read() {
        epoll_event events[256];
        std::vector<char> buffer(64 * 1024);
        while (!stop_) {
            const int n = ::epoll_wait(epoll_.Get(), events, 256, 50);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
                    --open_;
                }
            }
        }
    }

    UniqueFd epoll_;
    std::vector<Socket> links_;
    std::atomic<int> open_{0};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// Members past the two demo traders: copies of 张三, with his password.
void AddMembers(const std::string& dbPath, std::vector<Trader>& traders) {
    traders[0].name = traders[0].password = "trader";
    traders[1].name = "张三";
    traders[1].password = "zhangsan";
    std::string error;
    const auto store = server::Store::Open(dbPath, &error, false);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(server::InTransaction(*store, [&](sqlite3* db) {
        server::Statement st(db,
                             "INSERT INTO members (name, salt, password_hash, iterations, state,"
                             " account_class, program_trading) SELECT ?, salt, password_hash,"
                             " iterations, state, account_class, program_trading FROM members"
                             " WHERE name = '张三'");
        for (std::size_t i = 2; i < traders.size(); ++i) {
            traders[i].name = "member" + std::to_string(i);
            traders[i].password = "zhangsan";
            st.Reset();
            if (!st.Bind(1, traders[i].name).Run()) return false;
        }
        return true;
    }));
}

// What the restarted server holds of the trades answered before the kills.
struct Found {
    int answered = 0;  // opens and closes answered 1
    int kept = 0;      // of those, in the store
    int cutOff = 0;    // trades in the store whose answers the kills cut off
};

// The store is whole, every trade answered 1 is in it, at most one trade of each member per kill
// is there unanswered (a member has one request in flight), and balances add up.
Found CheckStore(const std::string& dbPath, std::span<const Trader> traders, int kills) {
    std::string error;
    const auto store = server::Store::Open(dbPath, &error, false);
    EXPECT_TRUE(store) << error;
    if (!store) return {};
    store->WithDb([](sqlite3* db) {
        server::Statement st(db, "PRAGMA integrity_check");
        EXPECT_TRUE(st.Step());
        EXPECT_EQ(st.Text(0), "ok");
        return true;
    });
    Found found;
    for (const Trader& t : traders) {
        const std::int64_t id = store->FindMember(t.name)->id;
        const auto [fills, positions, account] = store->WithDb([&](sqlite3* db) {
            return std::make_tuple(server::account_rows::LoadRows<server::FillRow>(db, id),
                                   server::account_rows::LoadRows<server::PositionRow>(db, id),
                                   server::account_rows::LoadAccount(db, id));
        });
        EXPECT_TRUE(account) << t.name;
        if (!account) continue;
        int opens = 0;
        std::set<std::string> closedTickets;
        double profit = 0, fees = 0;
        for (const server::FillRow& f : fills) {
            if (f.openClose == server::open_close::Open)
                ++opens;
            else
                closedTickets.insert(f.ticket);
            profit += f.profit;
            fees += f.fee;
        }
        int closesKept = 0;
        for (const std::string& ticket : t.closed) {
            const bool kept = closedTickets.contains(ticket) &&
                              std::none_of(positions.begin(), positions.end(),
                                           [&](const auto& p) { return p.ticket == ticket; });
            EXPECT_TRUE(kept) << t.name << " lost the close of " << ticket;
            closesKept += kept;
        }
        EXPECT_GE(opens, t.opened) << t.name << " lost opened positions";
        const int unanswered = opens - t.opened + static_cast<int>(closedTickets.size()) -
                               static_cast<int>(t.closed.size());
        EXPECT_LE(unanswered, kills) << t.name << " holds trades it never asked for";
        EXPECT_NEAR(account->balance, account->base1 + account->netDeposits + profit - fees, 0.005)
            << t.name;
        found.answered += t.opened + static_cast<int>(t.closed.size());
        found.kept += std::min(opens, t.opened.load()) + closesKept;
        found.cutOff += std::max(0, unanswered);
    }
    return found;
}

TEST(DurabilityTest, AServerKilledWhileMembersTradeKeepsWhatItAnsweredAndBalancesAddUp) {
    const int tradingMembers = std::max(2, EnvCount("ZQ_DURABILITY_MEMBERS", 4));
    const int links = EnvCount("ZQ_DURABILITY_LINKS", 0);
    // The links' members: the traders first, then members who only watch.
    const int members = std::max(tradingMembers, (links + 3) / 4);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    // Prices move every 20 ms; with push links held, every 100 ms, ten ticks a second to each.
    ServerProcess server({"--fixed-code", kCode, "--market-step-ms", links ? "100" : "20"});
    ASSERT_TRUE(server.Running()) << server.Error();
    std::vector<Trader> traders(static_cast<std::size_t>(members));
    AddMembers(server.dbPath(), traders);
    {
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] {
                for (std::size_t m = next++; m < traders.size(); m = next++)
                    if (auto session = test::LoginAs(server.requestPort(), traders[m].name,
                                                     traders[m].password, kCode))
                        traders[m].key = session->key;
            });
        for (std::thread& th : threads) th.join();
    }
    for (const Trader& t : traders) ASSERT_NE(t.key, Key{}) << t.name << " cannot log in";

    std::mt19937 random(std::random_device{}());
    for (int round = 1; round <= kKills; ++round) {
        HeldPushLinks held(server.pushPort(), traders, links);
        std::vector<std::thread> threads;
        for (Trader& t : std::span(traders).first(tradingMembers)) {
            t.tradedThisRound = t.linkEnded = false;
            threads.emplace_back([&server, &t] {
                Trade(server.requestPort(), t);
                t.linkEnded = true;
            });
        }
        // Every member trading, then the kill at a random moment.
        const auto until = Clock::now() + kLoadLimit;
        auto trading = [&] {
            return std::count_if(traders.begin(), traders.begin() + tradingMembers,
                                 [](const Trader& t) { return t.tradedThisRound.load(); });
        };
        while (trading() < tradingMembers && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto ended = std::count_if(traders.begin(), traders.begin() + tradingMembers,
                                         [](const Trader& t) { return t.linkEnded.load(); });
        EXPECT_EQ(trading(), tradingMembers)
            << "members trading in round " << round << "; " << ended << " links failed";
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1000)(random)));
        const int linksOpen = held.Open();
        EXPECT_TRUE(server.Kill());
        for (std::thread& th : threads) th.join();

        const auto restartStart = Clock::now();
        ASSERT_TRUE(server.Restart()) << server.Error();
        const auto restartMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restartStart)
                .count();
        const Found found =
            CheckStore(server.dbPath(), std::span(traders).first(tradingMembers), round);
        std::printf(
            "kill %d: %d members trading, %d of %d push links open; %d trades answered 1 so far, "
            "%d of them in the store after the restart (and %d whose answers the kills cut off); "
            "restart %lld ms\n",
            round, tradingMembers, linksOpen, links, found.answered, found.kept, found.cutOff,
            static_cast<long long>(restartMs));
    }
    ASSERT_TRUE(server.Stop());
}

}  // namespace
}  // namespace zq
