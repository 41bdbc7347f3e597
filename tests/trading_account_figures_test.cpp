// The account figures of a model that has recomputed many times against those of a fresh model
// holding the same lists: whatever changed in between (prices, a position's figures, positions
// added, removed or reordered, an instrument's rules), the figures are the same to the bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/trading_fixtures.h"
#include "trading/model.h"

namespace zq {
namespace {

using test::MakeInstrument;
using test::MakePosition;

void Copy(const TradingModel& from, TradingModel& to) {
    to.instruments = from.Instruments();
    to.positions = from.Positions();
    to.account = from.Account();
}

void ExpectSameFigures(TradingModel& used, const char* when) {
    SCOPED_TRACE(when);
    used.RecomputeAccount();
    TradingModel fresh;
    Copy(used, fresh);
    fresh.RecomputeAccount();
    const AccountBlock a = used.Account();
    const AccountBlock b = fresh.Account();
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(a.floatingProfit, b.floatingProfit);
    EXPECT_EQ(a.equity, b.equity);
}

TEST(AccountFiguresTest, ARecomputationAfterAnyChangeEqualsAFreshOne) {
    TradingModel model;
    for (int id = 1; id <= 6; ++id) model.instruments.push_back(MakeInstrument(id, id % 4, 1.5f));
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> price(1500.0, 1700.0);
    for (int k = 0; k < 60; ++k) {
        model.positions.push_back(
            MakePosition(1 + k % 6, 1 + k % 2, price(rng), 0.1 * (1 + k % 5)));
    }
    model.account.freeFunds = 1e6;
    model.account.occupiedMargin = 1e4;
    model.account.netDeposits = 1e6;
    auto setPrice = [&](int id, float last) {
        std::lock_guard lock(model.instrumentLock);
        InstrumentRecord& i = model.instruments[static_cast<std::size_t>(id - 1)];
        i.last = last;
        i.bid = last - 0.5f;
        i.ask = last + 0.5f;
    };
    for (int id = 1; id <= 6; ++id) setPrice(id, 1600.0f);
    ExpectSameFigures(model, "first");

    for (int round = 0; round < 50; ++round) {
        setPrice(1 + round % 6, static_cast<float>(price(rng)));
        ExpectSameFigures(model, "a price moved");
    }

    model.positions[3].openPrice += 1.25;
    ExpectSameFigures(model, "an open price changed");
    model.positions[4].heldQuantity = 0.7;
    ExpectSameFigures(model, "a quantity changed");
    model.positions[5].direction = model.positions[5].direction == 1 ? 2 : 1;
    ExpectSameFigures(model, "a direction changed");
    model.positions[6].instrument = model.positions[6].instrument % 6 + 1;
    ExpectSameFigures(model, "a position moved to another instrument");
    std::swap(model.positions[0], model.positions[59]);
    ExpectSameFigures(model, "positions reordered");
    model.positions.erase(model.positions.begin() + 10, model.positions.begin() + 20);
    ExpectSameFigures(model, "positions removed");
    model.positions.push_back(MakePosition(2, 1, 1650.0, 2.0));
    model.positions.push_back(MakePosition(99, 1, 1650.0, 2.0));  // no such instrument
    ExpectSameFigures(model, "positions added");
    model.instruments[1].decimals = 3;
    model.instruments[2].pointValue = 10.0f;
    ExpectSameFigures(model, "an instrument's rules changed");
    model.positions.clear();
    ExpectSameFigures(model, "no positions");
    EXPECT_EQ(model.Account().floatingProfit, 0.0f);
}

}  // namespace
}  // namespace zq
