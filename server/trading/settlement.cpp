#include "server/trading/settlement.h"

#include <optional>

#include "server/market/catalogue.h"

namespace zq::server {

bool SettleDays(sqlite3* db, AccountRow& account, const std::string& today, std::int64_t now,
                const Market& market) {
    using namespace account_rows;
    const auto from = DayNumber(account.tradingDay), to = DayNumber(today);
    // Only forward: a clock set back leaves the account as it is.
    if (account.tradingDay == today || (from && to && *to <= *from)) return true;
    const std::int64_t days = from && to ? *to - *from : 1;
    double lastNight = 0, charged = 0;
    for (PositionRow& p : LoadRows<PositionRow>(db, account.memberId)) {
        const InstrumentRules* rules = FindRules(p.instrument);
        if (!rules) continue;
        const double price = FromScaled(*rules, market.Price(p.instrument));
        const double daily = DailyDeferral(*rules, price, p.heldQuantity);
        if (daily == 0) continue;
        const double fee = RoundMoney(daily * static_cast<double>(days));
        p.deferralFee = RoundMoney(p.deferralFee + fee);
        if (!UpdateRow(db, p)) return false;
        lastNight += daily;
        charged += fee;
    }
    for (OrderRow& o : LoadWaitingOrders(db, account.memberId)) {
        if (o.status != order_status::Waiting) continue;
        const bool dayOver = o.validity == order_validity::Today;
        const bool weekOver = o.validity == order_validity::ThisWeek &&
                              (!from || !to || WeekNumber(*to) != WeekNumber(*from));
        if (!dayOver && !weekOver) continue;
        o.status = order_status::Cancelled;
        o.doneTime = now;
        if (!UpdateRow(db, o)) return false;
    }
    account.balance = RoundMoney(account.balance - charged);
    account.previousDeferralFee = RoundMoney(lastNight);
    account.todayClosedProfit = 0;
    account.todayFees = 0;
    account.tradingDay = today;
    return SaveAccount(db, account);
}

}  // namespace zq::server
