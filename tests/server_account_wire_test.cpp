// The account queries of the running server, as the client sends them: the instrument list,
// the demo member's positions, orders, summary and account block, alerts and messages,
// requests without a session, a restart, and the moving market.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "net/wire/ansi_text.h"
#include "reports/wire/alert_records.h"
#include "server/trading/accounts.h"
#include "tests/support/server_process.h"
#include "trading/wire/records.h"

namespace zq {
namespace {

using server::PositionCurrentPrice;
using server::PositionFloatingProfit;
using test::ConnectLocal;
using test::Header;
using test::LoginAs;
using test::ServerProcess;

constexpr const char* kCode = "AB12";
using Key = std::array<std::int32_t, 4>;

// One request connection under a session key.
class Link {
  public:
    Link(std::uint16_t port, Key key) : socket_(ConnectLocal(port)), key_(key) {}
    bool Valid() const { return socket_.Valid(); }

    bool Request(std::int32_t command, const void* payload = nullptr, std::size_t size = 0) {
        RequestHeader h = Header(command, key_);
        if (socket_.Send(&h, sizeof h) != static_cast<int>(sizeof h)) return false;
        return size == 0 || socket_.Send(payload, size) == static_cast<int>(size);
    }
    template <typename Value>
    std::optional<Value> Read() {
        Value v;
        if (ReceiveExact(socket_, &v, sizeof v) != static_cast<int>(sizeof v)) return std::nullopt;
        return v;
    }
    template <typename Record>
    std::optional<std::vector<Record>> List(std::int32_t command, const void* payload = nullptr,
                                            std::size_t size = 0) {
        if (!Request(command, payload, size)) return std::nullopt;
        auto count = Read<std::int32_t>();
        if (!count || *count < 0) return std::nullopt;
        std::vector<Record> out(static_cast<std::size_t>(*count));
        for (Record& r : out) {
            auto got = Read<Record>();
            if (!got) return std::nullopt;
            r = *got;
        }
        return out;
    }
    template <typename Answer, typename Payload>
    std::optional<Answer> Exchange(std::int32_t command, const Payload& payload) {
        if (!Request(command, &payload, sizeof payload)) return std::nullopt;
        return Read<Answer>();
    }

    std::optional<std::vector<PositionRecord>> Positions(LoadPositionsRequest request = {}) {
        return List<PositionRecord>(cmd::LoadPositions, &request, sizeof request);
    }
    std::optional<std::vector<PendingOrderRecord>> Orders(std::int32_t status = 1) {
        LoadOrdersRequest request{};
        request.selector = status;
        return List<PendingOrderRecord>(cmd::LoadPending, &request, sizeof request);
    }
    std::optional<AccountBlock> Account() {
        if (!Request(cmd::LoadAccount)) return std::nullopt;
        return Read<AccountBlock>();
    }
    struct Message {
        std::int32_t time;
        std::string text;  // UTF-8
    };
    // Command 44 up to its end mark.
    std::optional<std::vector<Message>> Messages() {
        if (!Request(cmd::LoadMessages)) return std::nullopt;
        std::vector<Message> out;
        for (;;) {
            auto more = Read<std::int32_t>();
            if (!more) return std::nullopt;
            if (*more < 1) return out;
            auto time = Read<std::int32_t>();
            auto length = Read<std::int32_t>();
            if (!time || !length || *length < 0) return std::nullopt;
            std::string text(static_cast<std::size_t>(*length), '\0');
            if (*length > 0 && ReceiveExact(socket_, text.data(), text.size()) != *length)
                return std::nullopt;
            out.push_back({*time, FromAnsi(text)});
        }
    }

  private:
    Socket socket_;
    Key key_;
};

std::string Name(const char* field, std::size_t width) {
    return FieldToUtf8(field, width);
}

// A single-precision figure of a record as the decimal it stands for (7 significant digits).
double Digits(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", value);
    return std::atof(text);
}

// Floating profit/loss of a position at the instrument's prices, by the account rules.
double ExpectedProfit(const PositionRecord& p, const InstrumentRecord& i) {
    const double points = std::pow(10.0, i.decimals) * Digits(i.pointValue) * p.heldQuantity;
    return p.direction == direction::Buy ? (Digits(i.bid) - p.openPrice) * points
                                         : (p.openPrice - Digits(i.ask)) * points;
}

// Each case gets a server of its own with a fresh database.
class AccountWireTest : public ::testing::Test {
  protected:
    // The market stands still, so every figure can be checked against the opening prices.
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"--fixed-code", kCode, "--market-step-ms", "0"});
        ASSERT_TRUE(server_->Running()) << server_->Error();
    }

    Key Login(const char* name, const char* password) {
        auto session = LoginAs(server_->requestPort(), name, password, kCode);
        EXPECT_TRUE(session) << name;
        return session ? session->key : Key{};
    }
    Link Open(Key key) { return Link(server_->requestPort(), key); }

    static std::map<std::int32_t, InstrumentRecord> Instruments(Link& link) {
        std::map<std::int32_t, InstrumentRecord> out;
        auto list = link.List<InstrumentRecord>(cmd::LoadInstruments);
        EXPECT_TRUE(list);
        if (list)
            for (const auto& i : *list) out[i.id] = i;
        return out;
    }

    std::unique_ptr<ServerProcess> server_;
};

TEST_F(AccountWireTest, InstrumentListCarriesAllRulesAndCurrentPrices) {
    Link link = Open(Login("demo", "demo"));
    auto list = link.List<InstrumentRecord>(cmd::LoadInstruments);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 42u);
    for (std::size_t n = 0; n < list->size(); ++n) {
        const InstrumentRecord& i = (*list)[n];
        SCOPED_TRACE(i.id);
        EXPECT_EQ(i.id, static_cast<std::int32_t>(n + 1));
        EXPECT_EQ(i.tradable, i.id >= 20 && i.id <= 28 ? 0 : 1);
        EXPECT_FALSE(Name(i.name, sizeof i.name).empty());
        EXPECT_FALSE(Name(i.code, sizeof i.code).empty());
        EXPECT_GT(i.last, 0.0f);
        EXPECT_FLOAT_EQ(i.ask, i.last + i.buySpread);
        EXPECT_FLOAT_EQ(i.bid, i.last - i.sellSpread);
        EXPECT_GT(i.pointValue, 0.0f);
        EXPECT_GT(i.minLots, 0.0f);
        EXPECT_LE(i.minLots, static_cast<float>(i.maxLots));
        EXPECT_GE(i.unitKind, 1);
        EXPECT_LE(i.unitKind, 5);
    }
    const InstrumentRecord& gold = (*list)[0];
    EXPECT_EQ(Name(gold.name, sizeof gold.name), "伦敦金(T+0)");
    EXPECT_EQ(gold.decimals, 2);
    EXPECT_FLOAT_EQ(gold.last, 1650.00f);
    EXPECT_FLOAT_EQ(gold.ask, 1650.25f);
    EXPECT_EQ(Name((*list)[19].name, 40), "黄金/白银(伦敦)");
    EXPECT_EQ(Name((*list)[41].name, 40), "铜指");

    // Public data: a request without a session gets the same list.
    Link anonymous = Open({});
    auto again = anonymous.List<InstrumentRecord>(cmd::LoadInstruments);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), 42u);
    EXPECT_EQ(std::memcmp(again->data(), list->data(), 42 * sizeof(InstrumentRecord)), 0);
}

TEST_F(AccountWireTest, DemoPositionsCarryTheirFiguresAndFollowTheFilters) {
    Link link = Open(Login("demo", "demo"));
    auto instruments = Instruments(link);
    auto positions = link.Positions();
    ASSERT_TRUE(positions);
    ASSERT_EQ(positions->size(), 7u);
    std::set<std::string> tickets;
    int buys = 0, withStops = 0, programmatic = 0;
    for (const PositionRecord& p : *positions) {
        const std::string ticket = Name(p.ticket, sizeof p.ticket);
        SCOPED_TRACE(ticket);
        EXPECT_TRUE(tickets.insert(ticket).second);
        const InstrumentRecord& i = instruments.at(p.instrument);
        EXPECT_EQ(Name(p.instrumentName, sizeof p.instrumentName), Name(i.name, sizeof i.name));
        EXPECT_TRUE(p.direction == direction::Buy || p.direction == direction::Sell);
        EXPECT_GT(p.heldQuantity, 0);
        EXPECT_EQ(p.openedQuantity, p.heldQuantity);
        EXPECT_GT(p.occupiedMargin, 0);
        EXPECT_GT(p.fee1, 0);
        EXPECT_EQ(std::strlen(p.openTime), 19u) << p.openTime;
        EXPECT_EQ(p.watched, p.stopLoss > 0 || p.takeProfit > 0 ? 1 : 0);
        EXPECT_FLOAT_EQ(static_cast<float>(PositionCurrentPrice(p)),
                        p.direction == direction::Buy ? i.bid : i.ask);
        EXPECT_NEAR(PositionFloatingProfit(p), ExpectedProfit(p, i), 0.01);
        buys += p.direction == direction::Buy;
        withStops += p.watched;
        programmatic += p.programmatic;
    }
    EXPECT_EQ(buys, 4);
    EXPECT_EQ(withStops, 5);
    EXPECT_EQ(programmatic, 1);

    LoadPositionsRequest byInstrument{};
    const std::int32_t gold = 1, sell = direction::Sell, onlyProgrammatic = 2;
    std::memcpy(byInstrument.zero, &gold, 4);
    EXPECT_EQ(link.Positions(byInstrument)->size(), 3u);
    LoadPositionsRequest bySide{};
    std::memcpy(bySide.zero + 4, &sell, 4);
    EXPECT_EQ(link.Positions(bySide)->size(), 3u);
    std::memcpy(bySide.zero, &gold, 4);
    EXPECT_EQ(link.Positions(bySide)->size(), 1u);
    LoadPositionsRequest byTicket{};
    std::memcpy(byTicket.zero + 8, (*positions)[3].ticket, sizeof(PositionRecord::ticket));
    auto one = link.Positions(byTicket);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(std::memcmp(&(*one)[0], &(*positions)[3], sizeof(PositionRecord)), 0);
    LoadPositionsRequest byOrigin{};
    std::memcpy(byOrigin.zero + 32, &onlyProgrammatic, 4);
    EXPECT_EQ(link.Positions(byOrigin)->size(), 1u);
}

TEST_F(AccountWireTest, DemoOrdersAreWaitingAndAClosingOrderNamesItsPosition) {
    Link link = Open(Login("demo", "demo"));
    auto orders = link.Orders();
    ASSERT_TRUE(orders);
    ASSERT_EQ(orders->size(), 5u);
    auto positions = link.Positions();
    std::set<std::string> tickets;
    for (const auto& p : *positions) tickets.insert(Name(p.ticket, sizeof p.ticket));
    std::set<std::int32_t> kinds;
    int closing = 0;
    for (const PendingOrderRecord& o : *orders) {
        SCOPED_TRACE(Name(o.orderNumber, sizeof o.orderNumber));
        EXPECT_EQ(o.status, order_status::Waiting);
        EXPECT_FALSE(tickets.count(Name(o.orderNumber, sizeof o.orderNumber)));
        EXPECT_GT(o.quantity, 0);
        EXPECT_GT(o.price, 0);
        EXPECT_EQ(std::strlen(o.orderTime), 19u);
        EXPECT_TRUE(o.validity >= 1 && o.validity <= 3);
        // Buy orders trigger on the ask (kinds 1 and 3), sell orders on the bid (2 and 4).
        EXPECT_EQ(o.direction == direction::Buy, o.triggerKind == 1 || o.triggerKind == 3);
        kinds.insert(o.triggerKind);
        if (o.openClose != 1) {
            ++closing;
            EXPECT_TRUE(tickets.count(Name(o.relatedPosition, sizeof o.relatedPosition)));
        }
    }
    EXPECT_EQ(kinds, (std::set<std::int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(closing, 1);
    EXPECT_EQ(link.Orders(0)->size(), 5u);  // any status
    EXPECT_EQ(link.Orders(order_status::Cancelled)->size(), 0u);
}

TEST_F(AccountWireTest, SummaryLinesAgreeWithThePositions) {
    Link link = Open(Login("demo", "demo"));
    auto positions = link.Positions();
    auto summary = link.List<PositionRecord>(cmd::LoadSummary);
    ASSERT_TRUE(positions && summary);
    struct Sum {
        double held = 0, weighted = 0, margin = 0, profit = 0;
    };
    std::map<std::pair<std::int32_t, std::int32_t>, Sum> sums;
    for (const auto& p : *positions) {
        Sum& s = sums[{p.instrument, p.direction}];
        s.held += p.heldQuantity;
        s.weighted += p.heldQuantity * p.openPrice;
        s.margin += p.occupiedMargin;
        s.profit += PositionFloatingProfit(p);
    }
    ASSERT_EQ(summary->size(), sums.size());
    auto expected = sums.begin();
    for (const PositionRecord& line : *summary) {
        SCOPED_TRACE(line.instrument);
        // In instrument order, buy before sell.
        EXPECT_EQ(std::make_pair(line.instrument, line.direction), expected->first);
        const Sum& s = expected->second;
        EXPECT_NEAR(line.heldQuantity, s.held, 1e-9);
        EXPECT_NEAR(line.openPrice, s.weighted / s.held, 1e-9);
        EXPECT_NEAR(line.occupiedMargin, s.margin, 0.005);
        EXPECT_NEAR(PositionFloatingProfit(line), s.profit, 0.005);
        ++expected;
    }
}

TEST_F(AccountWireTest, AccountFiguresAreConsistent) {
    Link link = Open(Login("demo", "demo"));
    auto positions = link.Positions();
    auto block = link.Account();
    ASSERT_TRUE(positions && block);
    EXPECT_EQ(Name(block->accountName, sizeof block->accountName), "演示账户");
    EXPECT_EQ(Name(block->reserved0, sizeof block->reserved0), "demo");
    double margins = 0, floating = 0;
    for (const auto& p : *positions) {
        margins += p.occupiedMargin;
        floating += PositionFloatingProfit(p);
    }
    const AccountBlock& b = *block;
    EXPECT_NEAR(b.occupiedMargin, margins, 0.005);
    EXPECT_GT(b.frozenMargin, 0);  // the waiting opening orders hold margin back
    EXPECT_GT(b.frozenFees, 0);
    EXPECT_NEAR(b.floatingProfit, floating, 0.01);
    const double balance = b.freeFunds + b.occupiedMargin + b.frozenMargin + b.frozenFees;
    EXPECT_NEAR(balance, 205726.20, 0.005);
    EXPECT_NEAR(b.equity, balance + b.floatingProfit, 0.005);
    EXPECT_NEAR(b.availableMargin, b.freeFunds + b.floatingProfit, 0.005);
    EXPECT_NEAR(b.riskRate, b.equity * 100 / b.occupiedMargin, 0.01);
    const double base = b.base1 + b.netDeposits;
    EXPECT_EQ(base, 200000);
    EXPECT_NEAR(b.averageReturn, (b.equity - base) * 100 / base, 1e-4);
    EXPECT_EQ(b.tradeCount, 24);
    EXPECT_EQ(b.winningTradeCount, 15);
    EXPECT_EQ(b.lastAward, 3);

    // Another member starts with a plain funded account.
    Link trader = Open(Login("trader", "trader"));
    EXPECT_EQ(trader.Positions()->size(), 0u);
    EXPECT_EQ(trader.Orders()->size(), 0u);
    EXPECT_EQ(trader.List<PositionRecord>(cmd::LoadSummary)->size(), 0u);
    auto plain = trader.Account();
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->base1, 100000);
    EXPECT_EQ(plain->freeFunds, 100000);
    EXPECT_EQ(plain->equity, 100000);
    EXPECT_EQ(plain->occupiedMargin, 0);
    EXPECT_EQ(plain->riskRate, 0);
    EXPECT_EQ(plain->averageReturn, 0);
}

TEST_F(AccountWireTest, StartUpLoadsRunOnOneConnection) {
    Link link = Open(Login("demo", "demo"));
    // 54, 1, 8, 56, 44, then 20, 16, 21 and 17, as the client opens its main window.
    ASSERT_TRUE(link.Request(cmd::LoadTradingHours));
    EXPECT_EQ(link.Read<std::int32_t>(), 2400);  // 00:00 to 24:00
    EXPECT_EQ(link.List<InstrumentRecord>(cmd::LoadInstruments)->size(), 42u);

    auto price = link.List<PriceAlertRecord>(cmd::LoadPriceAlerts);
    ASSERT_TRUE(price);
    ASSERT_EQ(price->size(), 3u);
    for (const auto& a : *price) {
        EXPECT_GT(a.id, 0);
        EXPECT_TRUE(a.condition == 1 || a.condition == 2);
        EXPECT_EQ(a.mode, 1);
    }
    EXPECT_EQ((*price)[0].instrument, 1);
    EXPECT_EQ((*price)[0].target, 1700.00);
    auto profit = link.List<ProfitAlertRecord>(cmd::LoadProfitAlerts);
    ASSERT_TRUE(profit);
    ASSERT_EQ(profit->size(), 2u);
    EXPECT_EQ((*profit)[0].condition, 1);
    EXPECT_EQ((*profit)[1].target, -20000.00);

    auto messages = link.Messages();
    ASSERT_TRUE(messages);
    ASSERT_EQ(messages->size(), 4u);  // three of the demo member's, one to everyone
    for (std::size_t n = 1; n < messages->size(); ++n)
        EXPECT_GE((*messages)[n - 1].time, (*messages)[n].time);  // newest first
    EXPECT_NE(messages->back().text.find("欢迎使用"), std::string::npos);

    EXPECT_EQ(link.List<PositionRecord>(cmd::LoadSummary)->size(), 6u);
    EXPECT_EQ(link.Positions()->size(), 7u);
    EXPECT_TRUE(link.Account());
    EXPECT_EQ(link.Orders()->size(), 5u);

    Link trader = Open(Login("trader", "trader"));
    EXPECT_EQ(trader.Messages()->size(), 1u);
    EXPECT_EQ(trader.List<PriceAlertRecord>(cmd::LoadPriceAlerts)->size(), 0u);
}

TEST_F(AccountWireTest, RequestsWithoutASessionGetEmptyAnswers) {
    // A key that never was a session, and one whose session ended.
    Key ended = Login("张三", "zhangsan");
    {
        Link logout = Open(ended);
        ASSERT_TRUE(logout.Request(cmd::Logout));
        ASSERT_TRUE(logout.Request(cmd::VersionCheck));  // answered once the logout is done
        ASSERT_TRUE(logout.Read<std::int32_t>());
    }
    for (Key key : {Key{}, Key{1, 2, 3, 4}, ended}) {
        Link link = Open(key);
        EXPECT_EQ(link.Positions()->size(), 0u);
        EXPECT_EQ(link.Orders()->size(), 0u);
        EXPECT_EQ(link.List<PositionRecord>(cmd::LoadSummary)->size(), 0u);
        auto block = link.Account();
        ASSERT_TRUE(block);
        const AccountBlock zero{};
        EXPECT_EQ(std::memcmp(&*block, &zero, sizeof zero), 0);
        EXPECT_EQ(link.List<PriceAlertRecord>(cmd::LoadPriceAlerts)->size(), 0u);
        EXPECT_EQ(link.List<ProfitAlertRecord>(cmd::LoadProfitAlerts)->size(), 0u);
        EXPECT_EQ(link.Messages()->size(), 0u);
        PriceAlertRecord alert{};
        alert.target = 1700;
        alert.condition = 1;
        alert.instrument = 1;
        EXPECT_EQ(link.Exchange<PriceAlertRecord>(cmd::SavePriceAlert, alert)->id, 0);
        alert.id = 1;
        EXPECT_EQ(link.Exchange<std::uint8_t>(cmd::RemovePriceAlert, alert), 0);
        // The connection goes on.
        EXPECT_EQ(link.List<InstrumentRecord>(cmd::LoadInstruments)->size(), 42u);
    }
}

TEST_F(AccountWireTest, AlertsAreKeptPerMemberAndStateSurvivesARestart) {
    Key demo = Login("demo", "demo");
    std::vector<PositionRecord> positionsBefore;
    std::vector<PendingOrderRecord> ordersBefore;
    std::vector<PriceAlertRecord> alertsBefore;
    {
        Link link = Open(demo);
        PriceAlertRecord request{};
        request.target = 31.25;
        request.condition = 2;
        request.instrument = 2;
        auto saved = link.Exchange<PriceAlertRecord>(cmd::SavePriceAlert, request);
        ASSERT_TRUE(saved);
        EXPECT_GT(saved->id, 0);
        EXPECT_EQ(saved->target, 31.25);
        EXPECT_EQ(saved->instrument, 2);
        for (auto bad : {std::make_tuple(3, 1, 1700.0), std::make_tuple(1, 99, 1700.0),
                         std::make_tuple(1, 1, 0.0), std::make_tuple(1, 1, -5.0)}) {
            PriceAlertRecord r{};
            std::tie(r.condition, r.instrument, r.target) = bad;
            EXPECT_EQ(link.Exchange<PriceAlertRecord>(cmd::SavePriceAlert, r)->id, 0);
        }

        auto alerts = link.List<PriceAlertRecord>(cmd::LoadPriceAlerts);
        ASSERT_TRUE(alerts);
        EXPECT_EQ(alerts->size(), 4u);
        EXPECT_EQ(std::memcmp(&alerts->back(), &*saved, sizeof *saved), 0);
        // The user deletes the first seeded alert: once only.
        PriceAlertRecord gone{};
        gone.id = (*alerts)[0].id;
        gone.mode = 2;
        EXPECT_EQ(link.Exchange<std::uint8_t>(cmd::RemovePriceAlert, gone), 1);
        EXPECT_EQ(link.Exchange<std::uint8_t>(cmd::RemovePriceAlert, gone), 0);

        // Another member can neither see nor remove the demo member's alerts.
        Link trader = Open(Login("trader", "trader"));
        EXPECT_EQ(trader.List<PriceAlertRecord>(cmd::LoadPriceAlerts)->size(), 0u);
        EXPECT_EQ(trader.Exchange<std::uint8_t>(cmd::RemovePriceAlert, *saved), 0);

        // A fired profit alert is removed as the client sends it back.
        auto profit = link.List<ProfitAlertRecord>(cmd::LoadProfitAlerts);
        ASSERT_EQ(profit->size(), 2u);
        EXPECT_EQ(link.Exchange<std::int32_t>(cmd::UpdateProfitAlert, (*profit)[1]), 1);
        EXPECT_EQ(link.Exchange<std::int32_t>(cmd::UpdateProfitAlert, (*profit)[1]), 0);

        positionsBefore = *link.Positions();
        ordersBefore = *link.Orders();
        alertsBefore = *link.List<PriceAlertRecord>(cmd::LoadPriceAlerts);
        EXPECT_EQ(alertsBefore.size(), 3u);
    }

    ASSERT_TRUE(server_->Restart()) << server_->Error();
    Link link = Open(Login("demo", "demo"));
    auto positions = link.Positions();
    auto orders = link.Orders();
    auto alerts = link.List<PriceAlertRecord>(cmd::LoadPriceAlerts);
    ASSERT_TRUE(positions && orders && alerts);
    ASSERT_EQ(positions->size(), positionsBefore.size());
    for (std::size_t n = 0; n < positions->size(); ++n)
        EXPECT_EQ(std::memcmp(&(*positions)[n], &positionsBefore[n], sizeof(PositionRecord)), 0);
    ASSERT_EQ(orders->size(), ordersBefore.size());
    EXPECT_EQ(std::memcmp(orders->data(), ordersBefore.data(),
                          orders->size() * sizeof(PendingOrderRecord)),
              0);
    ASSERT_EQ(alerts->size(), alertsBefore.size());
    EXPECT_EQ(
        std::memcmp(alerts->data(), alertsBefore.data(), alerts->size() * sizeof(PriceAlertRecord)),
        0);
    EXPECT_EQ(link.List<ProfitAlertRecord>(cmd::LoadProfitAlerts)->size(), 1u);
    EXPECT_EQ(link.Messages()->size(), 4u);
}

TEST(AccountMarketWireTest, MarketMovesWithAFixedSeedAndStaysPositive) {
    ServerProcess server({"--fixed-code", kCode, "--seed", "42", "--market-step-ms", "20"});
    ASSERT_TRUE(server.Running()) << server.Error();
    EXPECT_NE(server.Log().find("seed 42"), std::string::npos);
    auto read = [&] {
        Link link(server.requestPort(), {});
        return *link.List<InstrumentRecord>(cmd::LoadInstruments);
    };
    const std::vector<InstrumentRecord> first = read();
    ASSERT_EQ(first.size(), 42u);
    std::set<std::int32_t> moved;
    for (int attempt = 0; attempt < 400 && moved.size() < 20; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const InstrumentRecord& i : read()) {
            EXPECT_GT(i.last, 0.0f);
            EXPECT_GT(i.bid, 0.0f);
            // Still near the opening price: the walk is a gentle one.
            const float opening = first[static_cast<std::size_t>(i.id - 1)].last;
            EXPECT_LT(std::abs(i.last - opening) / opening, 0.05f) << i.id;
            if (i.last != opening) moved.insert(i.id);
        }
    }
    EXPECT_GE(moved.size(), 20u);
}

}  // namespace
}  // namespace zq
