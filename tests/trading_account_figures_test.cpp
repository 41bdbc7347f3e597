// The account figures of a model that has recomputed many times against those of a fresh model
// holding the same lists: whatever changed in between (prices, a position's figures, positions
// added, removed or reordered, an instrument's rules), the figures are the same to the bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "tests/trading_fixtures.h"
#include "trading/model.h"

namespace zq {
namespace {

using test::MakeInstrument;
using test::MakePosition;

void ExpectSameFigures(TradingModel& used, const char* when) {
    SCOPED_TRACE(when);
    used.RecomputeAccount();
    TradingModel fresh;
    fresh.SetInstruments(used.Instruments());
    fresh.SetPositions(used.Positions());
    fresh.SetAccount(used.Account());
    fresh.RecomputeAccount();
    const AccountBlock a = used.Account();
    const AccountBlock b = fresh.Account();
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(a.floatingProfit, b.floatingProfit);
    EXPECT_EQ(a.equity, b.equity);
}

TEST(AccountFiguresTest, ARecomputationAfterAnyChangeEqualsAFreshOne) {
    TradingModel model;
    std::vector<InstrumentRecord> instruments;
    for (int id = 1; id <= 6; ++id) instruments.push_back(MakeInstrument(id, id % 4, 1.5f));
    model.SetInstruments(instruments);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> price(1500.0, 1700.0);
    std::vector<PositionRecord> positions;
    for (int k = 0; k < 60; ++k)
        positions.push_back(MakePosition(1 + k % 6, 1 + k % 2, price(rng), 0.1 * (1 + k % 5)));
    model.SetPositions(positions);
    model.SetAccount(test::Funds(1e6, 1e4, 1e6));
    auto setPrice = [&](int id, float last) {
        test::EditInstruments(model, [&](auto& list) {
            InstrumentRecord& i = list[static_cast<std::size_t>(id - 1)];
            i.last = last;
            i.bid = last - 0.5f;
            i.ask = last + 0.5f;
        });
    };
    for (int id = 1; id <= 6; ++id) setPrice(id, 1600.0f);
    ExpectSameFigures(model, "first");

    for (int round = 0; round < 50; ++round) {
        setPrice(1 + round % 6, static_cast<float>(price(rng)));
        ExpectSameFigures(model, "a price moved");
    }

    auto edit = [&](auto change, const char* when) {
        test::EditPositions(model, change);
        ExpectSameFigures(model, when);
    };
    edit([](auto& p) { p[3].openPrice += 1.25; }, "an open price changed");
    edit([](auto& p) { p[4].heldQuantity = 0.7; }, "a quantity changed");
    edit([](auto& p) { p[5].direction = p[5].direction == 1 ? 2 : 1; }, "a direction changed");
    edit([](auto& p) { p[6].instrument = p[6].instrument % 6 + 1; },
         "a position moved to another instrument");
    edit([](auto& p) { std::swap(p[0], p[59]); }, "positions reordered");
    edit([](auto& p) { p.erase(p.begin() + 10, p.begin() + 20); }, "positions removed");
    edit(
        [](auto& p) {
            p.push_back(MakePosition(2, 1, 1650.0, 2.0));
            p.push_back(MakePosition(99, 1, 1650.0, 2.0));  // no such instrument
        },
        "positions added");
    test::EditInstruments(model, [](auto& list) {
        list[1].decimals = 3;
        list[2].pointValue = 10.0f;
    });
    ExpectSameFigures(model, "an instrument's rules changed");
    edit([](auto& p) { p.clear(); }, "no positions");
    EXPECT_EQ(model.Account().floatingProfit, 0.0f);
}

}  // namespace
}  // namespace zq
