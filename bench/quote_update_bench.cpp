// The cost of one market record passing through the trading model: prices, trigger checks,
// floating profit/loss of every position in decimal, the account figures and the listener
// notification, with N open positions and N waiting orders of which none is due.
#include <benchmark/benchmark.h>

#include <cstring>

#include "base/ui_bridge.h"
#include "trading/model.h"

namespace {

using namespace zq;

// Every window exists; sends return at once.
class NullWindows final : public UiBridge {
  public:
    int MessageBox(WindowHandle, const std::string&, const std::string&, MsgButtons,
                   MsgIcon) override {
        return IdOk;
    }
    std::intptr_t Send(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override { return 0; }
    void Post(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override {}
    bool IsWindow(WindowHandle) override { return true; }
    void PlaySound(int, bool) override {}
    void StopSounds() override {}
};

constexpr int kInstruments = 42;

void Fill(TradingModel& model, int n) {
    for (int id = 1; id <= kInstruments; ++id) {
        InstrumentRecord i{};
        i.id = id;
        i.decimals = 2;
        i.pointValue = 1.0f;
        i.buySpread = 0.5f;
        i.sellSpread = 0.5f;
        i.last = 1650.5f;
        i.ask = 1651.0f;
        i.bid = 1650.0f;
        model.instruments.push_back(i);
    }
    for (int k = 0; k < n; ++k) {
        PositionRecord p{};
        p.instrument = 1 + k % 8;  // most positions sit in a few instruments
        p.direction = k % 2 ? 2 : 1;
        p.openPrice = 1600.25 + k % 97;
        p.heldQuantity = 0.1 * (1 + k % 5);
        p.stopLoss = p.direction == 1 ? 1000 : 3000;  // far from the market
        p.takeProfit = p.direction == 1 ? 3000 : 1000;
        p.watched = 1;
        model.positions.push_back(p);

        PendingOrderRecord o{};
        o.instrument = 1 + k % 8;
        o.direction = k % 2 ? 2 : 1;
        o.triggerKind =
            o.direction == 1 ? 1 : 2;  // buy when the ask falls / sell when the bid rises
        o.price = o.direction == 1 ? 1000 : 3000;
        o.status = 1;
        model.orders.push_back(o);
    }
    model.account.freeFunds = 1e6;
    model.account.occupiedMargin = 1e4;
    model.account.netDeposits = 1e6;
}

void BM_QuoteUpdate(benchmark::State& state) {
    NullWindows ui;
    SetUi(&ui);
    TradingModel model;
    int view = 0, listener = 0;
    model.SetMainView(&view);
    model.RegisterTickListener(&listener);
    Fill(model, static_cast<int>(state.range(0)));

    unsigned char record[kMarketRecordSize] = {};
    std::int32_t instrument = 1, close = 165050, decimals = 2;
    std::memcpy(record + 4, &instrument, 4);
    std::memcpy(record + 28, &decimals, 4);
    for (auto _ : state) {
        std::int32_t c = close + static_cast<std::int32_t>(state.iterations() % 7);
        std::memcpy(record + 12, &c, 4);
        model.QuoteUpdate(record);
    }
    state.SetItemsProcessed(state.iterations());
    SetUi(nullptr);
}
BENCHMARK(BM_QuoteUpdate)->Arg(10)->Arg(100)->Arg(1000);

void BM_RecomputeAccount(benchmark::State& state) {
    TradingModel model;
    Fill(model, static_cast<int>(state.range(0)));
    for (auto _ : state) model.RecomputeAccount();
}
BENCHMARK(BM_RecomputeAccount)->Arg(10)->Arg(100)->Arg(1000);

void BM_DecimalFromDouble(benchmark::State& state) {
    double v = 1650.25;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Decimal::FromDouble(v));
        v += 0.01;
    }
}
BENCHMARK(BM_DecimalFromDouble);

}  // namespace
