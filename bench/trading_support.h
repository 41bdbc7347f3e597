// The trading model of the benchmarks: 42 instruments quoted around 1650 and `n` open
// positions and `n` waiting orders, most of them in a few instruments, none of them due.
#pragma once

#include <utility>
#include <vector>

#include "trading/model.h"

namespace zq::bench {

constexpr int kInstruments = 42;

inline void FillTradingModel(TradingModel& model, int n) {
    std::vector<InstrumentRecord> instruments;
    std::vector<PositionRecord> positions;
    std::vector<PendingOrderRecord> orders;
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
        instruments.push_back(i);
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
        positions.push_back(p);

        PendingOrderRecord o{};
        o.instrument = 1 + k % 8;
        o.direction = k % 2 ? 2 : 1;
        o.triggerKind =
            o.direction == 1 ? 1 : 2;  // buy when the ask falls / sell when the bid rises
        o.price = o.direction == 1 ? 1000 : 3000;
        o.status = 1;
        orders.push_back(o);
    }
    AccountBlock account{};
    account.freeFunds = 1e6;
    account.occupiedMargin = 1e4;
    account.netDeposits = 1e6;
    model.SetInstruments(std::move(instruments));
    model.SetPositions(std::move(positions));
    model.SetOrders(std::move(orders));
    model.SetAccount(account);
}

}  // namespace zq::bench
