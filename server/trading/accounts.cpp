#include "server/trading/accounts.h"

#include <cstring>
#include <map>

#include "net/wire/ansi_text.h"
#include "server/market/catalogue.h"
#include "server/trading/settlement.h"
#include "trading/wire/decimal.h"

namespace zq::server {

Funds FundsOf(double balance, double positionMargins, const std::vector<OrderRow>& orders) {
    Funds f;
    for (const OrderRow& o : orders) {
        if (o.status != order_status::Waiting) continue;
        f.frozenMargin += o.frozenMargin;
        f.frozenFees += o.frozenFee;
    }
    f.occupied = RoundMoney(positionMargins);
    f.frozenMargin = RoundMoney(f.frozenMargin);
    f.frozenFees = RoundMoney(f.frozenFees);
    f.free = RoundMoney(balance - f.occupied - f.frozenMargin - f.frozenFees);
    return f;
}

float RiskRate(double equity, double occupied) {
    return occupied > 0 ? static_cast<float>(equity * 100.0 / occupied) : 0.0f;
}

std::optional<AccountRow> Accounts::Settle(std::int64_t memberId) {
    const std::int64_t now = Now();
    const std::string today = TradingDayOf(now);
    std::optional<AccountRow> current =
        store_.WithReader([&](sqlite3* db) { return account_rows::LoadAccount(db, memberId); });
    if (current && current->tradingDay == today) return current;

    std::optional<AccountRow> result;
    const bool ok = InTransaction(store_, [&](sqlite3* db) {
        using namespace account_rows;
        std::optional<AccountRow> row = LoadAccount(db, memberId);
        if (!row) {
            if (!MemberExists(db, memberId) || !CreatePlainAccount(db, memberId, now)) return false;
            row = LoadAccount(db, memberId);
            if (!row) return false;
        }
        if (!SettleDays(db, *row, today, now, market_)) return false;
        result = row;
        return true;
    });
    if (!ok) return std::nullopt;
    if (settled_) settled_(memberId);
    return result;
}

std::vector<PositionRecord> Accounts::Positions(std::int64_t memberId,
                                                const PositionFilter& filter) {
    if (!Settle(memberId)) return {};
    const std::vector<PositionRow> rows = store_.WithReader(
        [&](sqlite3* db) { return account_rows::LoadRows<PositionRow>(db, memberId); });
    std::map<std::int32_t, InstrumentRecord> quoted;
    std::vector<PositionRecord> out;
    for (const PositionRow& row : rows) {
        if (!filter.Matches(row)) continue;
        auto it = quoted.find(row.instrument);
        if (it == quoted.end())
            it = quoted.emplace(row.instrument, market_.QuotedRecord(row.instrument)).first;
        out.push_back(MakePositionRecord(row, it->second));
    }
    return out;
}

std::vector<PositionRecord> Accounts::Summary(std::int64_t memberId) {
    return Summarize(Positions(memberId, PositionFilter{}));
}

std::vector<PendingOrderRecord> Accounts::Orders(std::int64_t memberId, const OrderFilter& filter) {
    if (!Settle(memberId)) return {};
    // The client asks for the waiting orders: those it reads without the member's history.
    const std::vector<OrderRow> rows = store_.WithReader([&](sqlite3* db) {
        return filter.status == order_status::Waiting
                   ? account_rows::LoadWaitingOrders(db, memberId)
                   : account_rows::LoadRows<OrderRow>(db, memberId);
    });
    std::vector<PendingOrderRecord> out;
    for (const OrderRow& row : rows)
        if (filter.Matches(row)) out.push_back(MakeOrderRecord(row));
    return out;
}

AccountBlock Accounts::Block(std::int64_t memberId) {
    AccountBlock b;
    std::memset(&b, 0, sizeof b);
    const std::optional<AccountRow> row = Settle(memberId);
    if (!row) return b;
    const std::vector<PositionRecord> positions = Positions(memberId, PositionFilter{});
    const std::vector<OrderRow> orders = store_.WithReader(
        [&](sqlite3* db) { return account_rows::LoadWaitingOrders(db, memberId); });

    double margins = 0;
    Decimal floating;
    for (const PositionRecord& p : positions) {
        margins += p.occupiedMargin;
        floating += Decimal::FromDouble(PositionFloatingProfit(p));
    }
    const Funds funds = FundsOf(row->balance, margins, orders);
    const double occupied = funds.occupied, frozenMargin = funds.frozenMargin,
                 frozenFees = funds.frozenFees, free = funds.free;

    PutField(b.reserved0, sizeof b.reserved0, ToAnsi(row->memberName));
    PutField(b.accountName, sizeof b.accountName, ToAnsi(row->accountName));
    b.base1 = row->base1;
    b.netDeposits = row->netDeposits;
    b.freeFunds = free;
    b.todayClosedProfit = row->todayClosedProfit;
    b.todayFees = row->todayFees;
    b.occupiedMargin = occupied;
    b.frozenMargin = frozenMargin;
    b.frozenFees = frozenFees;
    b.previousDeferralFee = row->previousDeferralFee;
    b.lastAward = row->lastAward;

    const Decimal equity = Decimal::FromDouble(free) + Decimal::FromDouble(occupied) +
                           Decimal::FromDouble(frozenMargin) + Decimal::FromDouble(frozenFees) +
                           floating;
    const Decimal base = Decimal::FromDouble(row->netDeposits) + Decimal::FromDouble(row->base1);
    b.equity = equity.ToDouble();
    b.floatingProfit = floating.ToDouble();
    b.availableMargin = (floating + Decimal::FromDouble(free)).ToDouble();
    b.riskRate = RiskRate(b.equity, occupied);
    b.averageReturn =
        base > Decimal() ? ((equity - base) * Decimal::FromInt(100) / base).ToFloat() : 0.0f;
    b.tradeCount = static_cast<float>(row->tradeCount);
    b.winningTradeCount = static_cast<float>(row->winningTradeCount);
    return b;
}

}  // namespace zq::server
