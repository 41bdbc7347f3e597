// A market record passes through the trading model without touching the heap once the model
// has seen one: prices, trigger checks, the account figures, the tick listeners and the alert
// hook. The program counts every allocation of the process through its own operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "base/ui_bridge.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"

namespace {
std::atomic<long> allocations{0};
}

// Kept out of line, so that the compiler never pairs an inlined free with its own new.
[[gnu::noinline]] void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace zq {
namespace {

using test::MakeInstrument;
using test::MakeOrder;
using test::MakePosition;
using test::Quote;

// Every window exists; sends return at once and record nothing.
class SilentWindows final : public UiBridge {
  public:
    int MessageBox(WindowHandle, const std::string&, const std::string&, MsgButtons,
                   MsgIcon) override {
        return IdOk;
    }
    std::intptr_t Send(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override {
        ++sends;
        return 0;
    }
    void Post(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override {}
    bool IsWindow(WindowHandle) override { return true; }
    void PlaySound(int, bool) override {}
    void StopSounds() override {}
    long sends = 0;
};

TEST(QuoteUpdateAllocations, NonePerRecordOnceWarm) {
    SilentWindows ui;
    SetUi(&ui);
    {
        TradingModel model;
        int view = 0, windows[5] = {};
        model.SetMainView(&view);
        for (int& w : windows) model.RegisterTickListener(&w);
        // Instruments out of id order, as a server may list them.
        std::vector<InstrumentRecord> instruments;
        for (int id : {7, 3, 1, 42, 2, 5})
            instruments.push_back(MakeInstrument(id, 2, 1.0f, 0.5f, 0.5f));
        model.SetInstruments(instruments);
        std::vector<PositionRecord> positions;
        std::vector<PendingOrderRecord> orders;
        for (int k = 0; k < 60; ++k) {
            const int instrument = k % 2 ? 1 : 3;
            const bool buy = k % 3 != 0;
            // Stop-loss and take-profit far from the market on either side.
            positions.push_back(MakePosition(instrument, buy ? 1 : 2, 1600.0 + k, 1.0,
                                             buy ? 1000.0 : 3000.0, buy ? 3000.0 : 1000.0));
            orders.push_back(MakeOrder(instrument, 1, trigger::BuyAskFalls, 1000.0));
        }
        model.SetPositions(positions);
        model.SetOrders(orders);
        model.SetAccount(test::Funds(1e6, 1e3));
        double seen = 0;
        long hooked = 0;
        // A hook whose captures do not fit a function object's own storage.
        const double pad[4] = {1, 2, 3, 4};
        model.SetAlertHook([&seen, &hooked, pad](const BarRecord&, double floating) {
            seen = floating + pad[0] * 0;
            ++hooked;
        });

        std::int32_t close = 165050;
        model.QuoteUpdate(Quote(1, close).Record());
        model.QuoteUpdate(Quote(3, close).Record());
        const long before = allocations.load();
        const long sendsBefore = ui.sends, hookedBefore = hooked;
        for (int k = 0; k < 200; ++k) {
            const Quote q(k % 2 ? 1 : 3, close + k % 9);
            model.QuoteUpdate(q.Record());
        }
        EXPECT_EQ(allocations.load() - before, 0);
        EXPECT_EQ(hooked - hookedBefore, 200);
        EXPECT_EQ(ui.sends - sendsBefore, 200 * 5);  // one tick per window, nothing due
        EXPECT_NE(seen, 0.0);
    }
    SetUi(nullptr);
}

// The figures RecomputeAccount keeps between calls must follow every change of the block and
// of the positions, whoever made it.
TEST(QuoteUpdateAllocations, KeptFiguresFollowChangesOfTheBlock) {
    TradingModel model;
    InstrumentRecord gold = MakeInstrument(1, 2, 1.0f, 0.5f, 0.5f);
    gold.bid = 1650.0f;
    gold.ask = 1651.0f;
    model.SetInstruments({gold});
    model.SetPositions({MakePosition(1, 1, 1600.0, 1.0)});  // +5000 at the bid
    AccountBlock a = test::Funds(10000, 5000, 20000);  // put in whole before each recomputation
    auto recomputed = [&] {
        model.SetAccount(a);
        model.RecomputeAccount();
        return model.Account();
    };
    AccountBlock r = recomputed();
    EXPECT_FLOAT_EQ(r.equity, 20000.0f);
    EXPECT_FLOAT_EQ(r.riskRate, 400.0f);
    EXPECT_FLOAT_EQ(r.averageReturn, 0.0f);

    a.freeFunds = 15000;
    a.frozenFees = 1000;
    r = recomputed();
    EXPECT_FLOAT_EQ(r.equity, 26000.0f);
    EXPECT_DOUBLE_EQ(r.availableMargin, 20000.0);

    a.occupiedMargin = 13000;
    a.base1 = 6000;
    r = recomputed();
    EXPECT_FLOAT_EQ(r.equity, 34000.0f);
    EXPECT_FLOAT_EQ(r.riskRate, 34000.0f * 100 / 13000);
    EXPECT_FLOAT_EQ(r.averageReturn, 8000.0f * 100 / 26000);

    test::EditPositions(model, [](auto& list) { list[0].heldQuantity = 2.0; });  // +10000
    r = recomputed();
    EXPECT_FLOAT_EQ(r.floatingProfit, 10000.0f);
    EXPECT_FLOAT_EQ(r.equity, 39000.0f);
}

}  // namespace
}  // namespace zq
