// The execution engine's work for one market step (a new price of each of the 42 instruments)
// with 1,000 members who each hold 10 positions and 10 waiting orders spread over the tradable
// instruments: none of them due, or ten orders filled each step (one store transaction each).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
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

namespace {

using namespace zq;
using namespace zq::server;

constexpr int kMembers = 1000;
constexpr int kPerMember = 10;

// A store with the members, their trades and an engine that has read them.
class Scene {
  public:
    Scene() {
        char pattern[] = "/tmp/zq-step-bench-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        dir_ = pattern;
        std::string error;
        store_ = Store::Open(dir_ + "/store.db", &error);
        if (!store_) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        for (const InstrumentRules& r : Catalogue())
            if (r.tradable) tradable_.push_back(&r);
        Fill();
        accounts_ = std::make_unique<Accounts>(*store_, market_);
        engine_ = std::make_unique<ExecutionEngine>(*store_, market_, *accounts_, hours_);
        engine_->SetLogging(false);
        engine_->Start(false);
        for (const Member& m : store_->Members()) members_.push_back(m.id);
    }
    ~Scene() {
        engine_.reset();
        accounts_.reset();
        store_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // One market step: every instrument a point up or down from its opening price.
    void Step(bool up) {
        for (const InstrumentRules& r : Catalogue()) {
            Tick t;
            t.instrument = r.id;
            t.decimals = r.decimals;
            t.price = ToScaled(r, r.openingPrice) + (up ? 1 : -1);
            engine_->OnTick(t);
        }
    }
    ExecutionEngine& Engine() { return *engine_; }
    Market& Prices() { return market_; }
    const std::vector<std::int64_t>& MemberIds() const { return members_; }

  private:
    // Members without the password hashing (the bench does not log in), each with a funded
    // account, 10 positions whose stops lie far off and 10 orders far from the market.
    void Fill() {
        const std::int64_t now = NowSeconds();
        const bool ok = InTransaction(*store_, [&](sqlite3* db) {
            using namespace account_rows;
            if (!Exec(db, "DELETE FROM members")) return false;
            Statement add(db,
                          "INSERT INTO members (name, salt, password_hash, iterations, state,"
                          " account_class) VALUES (?, x'00', x'00', 1, 1, 1)");
            for (int m = 0; m < kMembers; ++m) {
                add.Reset();
                add.Bind(1, std::string_view("member" + std::to_string(m)));
                if (!add.Run()) return false;
                const std::int64_t id = sqlite3_last_insert_rowid(db);
                if (!CreatePlainAccount(db, id, now)) return false;
                std::optional<AccountRow> account = LoadAccount(db, id);
                account->balance = 1.0e8;
                if (!SaveAccount(db, *account)) return false;
                for (int k = 0; k < kPerMember; ++k) {
                    const InstrumentRules& r =
                        *tradable_[static_cast<std::size_t>(m * 7 + k * 3) % tradable_.size()];
                    const std::int32_t side = k % 2 ? direction::Sell : direction::Buy;
                    const double price = r.openingPrice, lots = r.minLots;
                    PositionRow p{{id, r.id, side,
                                   side == direction::Buy ? price * 0.7 : price * 1.3,
                                   side == direction::Buy ? price * 1.3 : price * 0.7}};
                    p.openedQuantity = p.heldQuantity = lots;
                    p.openPrice = price;
                    p.margin = MarginFor(r, price, lots);
                    p.fee1 = SideFee(r, price, lots);
                    p.openTime = now;
                    if (!InsertRow(db, p)) return false;
                    OrderRow o{{id, r.id, side, 0, 0}};
                    o.quantity = lots;
                    o.price = side == direction::Buy ? price * 0.8 : price * 1.2;
                    o.triggerKind =
                        side == direction::Buy ? trigger::BuyAskFalls : trigger::SellBidRises;
                    o.validity = order_validity::ThisWeek;
                    o.orderTime = now;
                    o.frozenMargin = MarginFor(r, o.price, lots);
                    o.frozenFee = SideFee(r, o.price, lots);
                    if (!InsertRow(db, o)) return false;
                }
            }
            return true;
        });
        if (!ok) std::abort();
    }

    std::string dir_;
    std::unique_ptr<Store> store_;
    SeededRandom random_{1};
    Market market_{random_};
    TradingHours hours_{HoursMode::Always};
    std::unique_ptr<Accounts> accounts_;
    std::unique_ptr<ExecutionEngine> engine_;
    std::vector<const InstrumentRules*> tradable_;
    std::vector<std::int64_t> members_;
};

Scene& TheScene() {
    static Scene scene;
    return scene;
}

// Nothing is due: every position's profit moves, every stop and order is looked at.
void BM_StepNothingDue(benchmark::State& state) {
    Scene& scene = TheScene();
    bool up = false;
    for (auto _ : state) {
        scene.Step(up = !up);
    }
    const auto counts = scene.Engine().Indexed();
    state.counters["positions"] = static_cast<double>(counts.positions);
    state.counters["orders"] = static_cast<double>(counts.orders);
    state.SetItemsProcessed(state.iterations() * kInstrumentCount);
}
BENCHMARK(BM_StepNothingDue)->Unit(benchmark::kMicrosecond);

// Ten new buy limits of gold wait 2.00 under the ask; the step brings the ask down to them, and
// each fills in its own transaction.
void BM_StepTenFills(benchmark::State& state) {
    Scene& scene = TheScene();
    const InstrumentRules& gold = *FindRules(1);
    const std::int32_t opening = ToScaled(gold, gold.openingPrice);
    std::size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        scene.Prices().SetPrice(1, opening);  // ask 1650.25
        for (int i = 0; i < 10; ++i) {
            OpenOrderRequest r{};
            r.instrument = 1;
            r.direction = direction::Buy;
            r.lots = 0.01f;
            r.price = 1648.25f;
            r.orderKind = order_kind::Pending;
            r.validity = order_validity::ThisWeek;
            const std::int64_t member = scene.MemberIds()[next++ % scene.MemberIds().size()];
            if (scene.Engine().Open(member, r) != order_result::Done) std::abort();
        }
        state.ResumeTiming();
        scene.Step(false);
        Tick down;
        down.instrument = 1;
        down.decimals = gold.decimals;
        down.price = opening - 200;  // ask 1648.25: the ten fill
        scene.Engine().OnTick(down);
    }
    state.SetItemsProcessed(state.iterations() * 10);
}
BENCHMARK(BM_StepTenFills)->Unit(benchmark::kMicrosecond)->Iterations(50);

}  // namespace
