#include "server/trading/demo_accounts.h"

#include <optional>
#include <string>
#include <vector>

#include "server/market/catalogue.h"
#include "server/trading/account_rows.h"

namespace zq::server {
namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;

struct SeedPosition {
    std::int32_t instrument, direction;
    double lots, openPrice, stopLoss, takeProfit;
    std::int64_t age;  // seconds before seeding
    std::int32_t programmatic;
};

constexpr SeedPosition kDemoPositions[] = {
    {1, direction::Buy, 1.00, 1642.30, 1600.00, 1700.00, 3 * kDay + 2 * kHour, 0},
    {1, direction::Buy, 0.30, 1648.00, 0, 1690.00, kDay + 5 * kHour, 0},
    {1, direction::Sell, 0.50, 1655.80, 0, 0, 5 * kHour, 0},
    {14, direction::Sell, 2.00, 1.3150, 1.3300, 0, 2 * kDay + 3 * kHour, 0},
    {13, direction::Buy, 2.00, 87.60, 0, 0, kDay + 9 * kHour, 0},
    {30, direction::Sell, 3, 6480, 6600, 6200, 4 * kHour, 0},
    {5, direction::Buy, 2, 333.50, 325.00, 345.00, 2 * kDay + 7 * kHour, 1},
};

struct SeedOrder {
    std::int32_t instrument, direction, triggerKind;
    double lots, price, stopLoss, takeProfit;
    std::int64_t age;
    int closesPosition;  // index into kDemoPositions, or -1 for an opening order
};

constexpr SeedOrder kDemoOrders[] = {
    {1, direction::Buy, trigger::BuyAskFalls, 0.50, 1620.00, 1600.00, 1680.00, 6 * kHour, -1},
    {2, direction::Sell, trigger::SellBidRises, 1.00, 31.800, 0, 0, 3 * kHour, -1},
    {15, direction::Buy, trigger::BuyAskRises, 1.00, 85.50, 84.80, 86.50, 2 * kHour, -1},
    {32, direction::Sell, trigger::SellBidFalls, 2, 3620, 0, 3500, kHour, -1},
    {13, direction::Sell, trigger::SellBidRises, 2.00, 92.00, 0, 0, 30 * 60, 4},
};

}  // namespace

bool SeedDemoAccount(sqlite3* db, std::int64_t memberId, std::int64_t now) {
    using namespace account_rows;
    std::optional<AccountRow> account = LoadAccount(db, memberId);
    if (!account) return false;
    account->accountName = "演示账户";
    account->base1 = 150000;
    account->netDeposits = 50000;
    // Closed profit of earlier trades, less their fees and deferral.
    account->balance = 200000 + 6842.60 - 1116.40;
    account->todayClosedProfit = 1280.50;
    account->todayFees = 86.00;
    account->previousDeferralFee = 42.60;
    account->lastAward = 3;
    account->tradeCount = 24;
    account->winningTradeCount = 15;
    if (!SaveAccount(db, *account)) return false;

    std::vector<std::string> tickets;
    for (const SeedPosition& s : kDemoPositions) {
        const InstrumentRules& rules = *FindRules(s.instrument);
        PositionRow p{{memberId, s.instrument, s.direction, s.stopLoss, s.takeProfit}};
        p.openedQuantity = p.heldQuantity = s.lots;
        p.openPrice = s.openPrice;
        p.margin = MarginFor(rules, s.openPrice, s.lots);
        p.openTime = now - s.age;
        p.fee1 = SideFee(rules, s.openPrice, s.lots);
        p.deferralFee = RoundMoney(DailyDeferral(rules, s.openPrice, s.lots) *
                                   static_cast<double>(NightsBetween(p.openTime, now)));
        p.programmatic = s.programmatic;
        if (!InsertRow(db, p)) return false;
        tickets.push_back(p.ticket);
    }
    for (const SeedOrder& s : kDemoOrders) {
        const InstrumentRules& rules = *FindRules(s.instrument);
        OrderRow o{{memberId, s.instrument, s.direction, s.stopLoss, s.takeProfit}};
        o.triggerKind = s.triggerKind;
        o.quantity = s.lots;
        o.price = s.price;
        o.validity = order_validity::ThisWeek;
        o.orderTime = now - s.age;
        if (s.closesPosition >= 0) {
            o.openClose = 2;
            o.relatedPosition = tickets[static_cast<std::size_t>(s.closesPosition)];
        } else {
            o.frozenMargin = MarginFor(rules, s.price, s.lots);
            o.frozenFee = SideFee(rules, s.price, s.lots);
        }
        if (!InsertRow(db, o)) return false;
    }
    return true;
}

}  // namespace zq::server
