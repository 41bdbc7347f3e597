// The cost of one market record passing through the trading model: prices, trigger checks,
// floating profit/loss of every position in decimal, the account figures and the listener
// notification, with N open positions and N waiting orders of which none is due.
#include <benchmark/benchmark.h>

#include <cstring>

#include "base/ui_bridge.h"
#include "bench/trading_support.h"
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

void BM_QuoteUpdate(benchmark::State& state) {
    NullWindows ui;
    SetUi(&ui);
    TradingModel model;
    int view = 0, listener = 0;
    model.SetMainView(&view);
    model.RegisterTickListener(&listener);
    bench::FillTradingModel(model, static_cast<int>(state.range(0)));

    BarRecord record{};
    record.instrument = 1;
    record.decimals = 2;
    const std::int32_t close = 165050;
    for (auto _ : state) {
        record.close = close + static_cast<std::int32_t>(state.iterations() % 7);
        model.QuoteUpdate(record);
    }
    state.SetItemsProcessed(state.iterations());
    SetUi(nullptr);
}
BENCHMARK(BM_QuoteUpdate)->Arg(10)->Arg(100)->Arg(1000);

void BM_RecomputeAccount(benchmark::State& state) {
    TradingModel model;
    bench::FillTradingModel(model, static_cast<int>(state.range(0)));
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
