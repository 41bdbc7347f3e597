#include "server/trading/fills.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

#include "net/wire/ansi_text.h"
#include "server/market/catalogue.h"
#include "server/market/trading_day.h"
#include "server/trading/account_rows.h"

namespace zq::server {
namespace {

// A date bound of the query: nothing for an open side, the day number otherwise; `bad` when
// the text is not a date.
struct DayBound {
    std::optional<std::int64_t> day;
    bool bad = false;
};

DayBound ReadBound(const char (&field)[20]) {
    const std::string_view text = FieldText(field, sizeof field);
    if (text.empty()) return {};
    std::optional<std::int64_t> day = DayNumber(std::string(text));
    if (!day) return {std::nullopt, true};
    return {day, false};
}

bool InternationalInstrument(std::int32_t id) {
    return (id >= 1 && id <= 3) || (id >= 7 && id <= 28);
}

bool DomesticInstrument(std::int32_t id) {
    return (id >= 4 && id <= 6) || (id >= 29 && id <= kInstrumentCount);
}

// How the fill came about, as the report names it: at market or at a pending order's price; by
// the user, the server's own watch or programmatic trading.
struct FillOrigin {
    std::int32_t kind = fill_kind::AtMarket;
    std::int32_t originator = fill_originator::User;
};

FillOrigin OriginOf(const FillRow& f,
                    const std::unordered_map<std::string, std::int32_t>& validity) {
    FillOrigin o;
    switch (f.reason) {
        case fill_reason::Limit: {
            o.kind = fill_kind::AtLimit;
            auto it = validity.find(f.orderNumber);
            o.originator = it != validity.end() && it->second == order_validity::Programmatic
                               ? fill_originator::Programmatic
                               : fill_originator::User;
            break;
        }
        case fill_reason::StopLoss:
        case fill_reason::TakeProfit:
        case fill_reason::MarginCall:
            o.kind = fill_kind::AtMarket;
            o.originator = fill_originator::System;
            break;
        default:
            o.kind = fill_kind::AtMarket;
            o.originator = fill_originator::User;
            break;
    }
    return o;
}

FillRecord MakeRecord(const FillRow& f, const FillOrigin& origin) {
    FillRecord r{};
    PutField(r.fillNumber, sizeof r.fillNumber, f.fillNumber);
    if (const InstrumentRules* rules = FindRules(f.instrument))
        PutField(r.instrumentName, sizeof r.instrumentName, ToAnsi(rules->name));
    r.direction = f.direction;
    r.quantity = f.lots;
    r.price = f.price;
    r.closeProfit = f.openClose == open_close::Close ? f.profit : 0.0;
    PutField(r.orderNumber, sizeof r.orderNumber, f.orderNumber);
    PutField(r.ticket, sizeof r.ticket, f.ticket);
    r.openClose = f.openClose;
    r.kind = origin.kind;
    r.originator = origin.originator;
    PutField(r.time, sizeof r.time, BeijingTimeText(f.time));
    return r;
}

std::int64_t DayOf(std::int64_t time) {
    return DayNumber(TradingDayOf(time)).value_or(0);
}

struct MemberFills {
    double balance = 0;
    std::vector<FillRow> fills;  // oldest first
    std::unordered_map<std::string, std::int32_t> orderValidity;
};

std::optional<MemberFills> ReadMemberFills(Store& store, std::int64_t memberId, bool withOrders) {
    return store.WithDb([&](sqlite3* db) -> std::optional<MemberFills> {
        std::optional<AccountRow> account = account_rows::LoadAccount(db, memberId);
        if (!account) return std::nullopt;
        MemberFills m;
        m.balance = account->balance;
        m.fills = account_rows::LoadRows<FillRow>(db, memberId);
        if (withOrders)
            for (const OrderRow& o : account_rows::LoadRows<OrderRow>(db, memberId))
                m.orderValidity.emplace(o.orderNumber, o.validity);
        return m;
    });
}

}  // namespace

bool FillFilterMatches(std::int32_t filter, std::int32_t instrument) {
    switch (filter) {
        case fill_filter::All:
            return true;
        case fill_filter::GoldInstruments:
            return InternationalInstrument(instrument);
        case fill_filter::SilverInstruments:
            return DomesticInstrument(instrument);
        default:
            return filter == instrument;
    }
}

FillAnswer QueryFills(Store& store, std::int64_t memberId, const FillQuery& query) {
    FillAnswer answer;
    const DayBound from = ReadBound(query.startDate), to = ReadBound(query.endDate);
    if (from.bad || to.bad) return answer;
    std::optional<MemberFills> member = ReadMemberFills(store, memberId, true);
    if (!member) return answer;

    std::vector<const FillRow*> selected;
    double closedProfit = 0, fees = 0, sinceStart = 0;
    int closing = 0, winning = 0;
    for (const FillRow& f : member->fills) {
        const std::int64_t day = DayOf(f.time);
        if (!from.day || day >= *from.day) sinceStart += f.profit - f.fee;
        if ((from.day && day < *from.day) || (to.day && day > *to.day)) continue;
        if (!FillFilterMatches(query.instrument, f.instrument)) continue;
        selected.push_back(&f);
        fees += f.fee;
        if (f.openClose == open_close::Close) {
            ++closing;
            winning += f.profit > 0;
            closedProfit += f.profit;
        }
    }
    const double profit = RoundMoney(closedProfit - fees);
    const double startBalance = RoundMoney(member->balance - sinceStart);
    answer.summary.successRate = closing > 0 ? static_cast<float>(winning * 100.0 / closing) : 0.0f;
    answer.summary.profit = static_cast<float>(profit);
    answer.summary.returnRate =
        startBalance > 0 ? static_cast<float>(profit * 100.0 / startBalance) : 0.0f;

    // Newest first; the newest kMaxFillRecords when there are more.
    const std::size_t count = std::min(selected.size(), kMaxFillRecords);
    answer.records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const FillRow& f = *selected[selected.size() - 1 - i];
        answer.records.push_back(MakeRecord(f, OriginOf(f, member->orderValidity)));
    }
    return answer;
}

std::optional<std::vector<BalancePoint>> BalanceHistory(Store& store, std::int64_t memberId,
                                                        std::int64_t now) {
    std::optional<MemberFills> member = ReadMemberFills(store, memberId, false);
    if (!member) return std::nullopt;
    double total = 0;
    for (const FillRow& f : member->fills) total += f.profit - f.fee;
    double balance = RoundMoney(member->balance - total);
    std::vector<BalancePoint> points;
    const std::int64_t first = member->fills.empty() ? now : member->fills.front().time;
    // A day before the first fill (or before now, without fills), so the curve has a width.
    points.push_back({std::min(first, now) - 86400, balance});
    for (const FillRow& f : member->fills) {
        balance = RoundMoney(balance + f.profit - f.fee);
        points.push_back({f.time, balance});
    }
    points.push_back({std::max(now, points.back().time), member->balance});
    return points;
}

}  // namespace zq::server
