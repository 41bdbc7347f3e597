// The members' simulated accounts at the current market: the records the request port answers
// (positions, position summary, pending orders, account block), each from an account brought to
// today first.
//
// The account model (docs/server.md gives it in full):
//   balance       = money in the account: starting capital + net deposits + closed profit/loss
//                   - fees - deferral fees, changed only when money moves
//   occupied      = sum of the open positions' margins (each fixed when the position opened)
//   frozen margin = sum of the margins that waiting opening orders hold back, frozen fees the
//                   same for their opening fees
//   free funds    = balance - occupied - frozen margin - frozen fees
//   floating      = sum of the positions' floating profit/loss at the current market price
//   equity        = balance + floating; available margin = free funds + floating
//   risk rate     = equity x 100 / occupied (0 without occupied margin)
//   average return= (equity - base) x 100 / base, base = starting capital + net deposits
//
// The rows as stored are in account_rows.h, the records made from them in account_records.h,
// and the day's settlement in settlement.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "server/market/market.h"
#include "server/store/store.h"
#include "server/trading/account_records.h"
#include "server/trading/account_rows.h"
#include "trading/wire/records.h"

namespace zq::server {

// The money of an account beside its positions' floating profit/loss, each rounded to the fen
// as the account block shows it: occupied margin (the positions' margins summed), frozen margin
// and fees (of the waiting orders) and free funds = balance - occupied - frozen margin - frozen
// fees.
struct Funds {
    double occupied = 0;
    double frozenMargin = 0;
    double frozenFees = 0;
    double free = 0;
};
Funds FundsOf(double balance, double positionMargins, const std::vector<OrderRow>& orders);

// Equity x 100 / occupied margin in single precision, as the client shows it; 0 without
// occupied margin.
float RiskRate(double equity, double occupied);

class Accounts {
  public:
    using Clock = std::function<std::int64_t()>;
    using SettledListener = std::function<void(std::int64_t memberId)>;

    Accounts(Store& store, const Market& market) : store_(store), market_(market) {}

    // Seconds since 1970 as the accounts see them; tests set their own.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    std::int64_t Now() const { return clock_ ? clock_() : NowSeconds(); }

    // Hears of every account that Settle changed in the store (opened it, or settled days), after
    // the change and with no lock of the store held. Set before the first request.
    void SetSettledListener(SettledListener listener) { settled_ = std::move(listener); }

    // Each of these first opens the account when the member has none and settles the days
    // since its last access. Empty (or a zero block) for an unknown member.
    std::vector<PositionRecord> Positions(std::int64_t memberId, const PositionFilter& filter);
    std::vector<PositionRecord> Summary(std::int64_t memberId);
    std::vector<PendingOrderRecord> Orders(std::int64_t memberId, const OrderFilter& filter);
    AccountBlock Block(std::int64_t memberId);

    // The account brought to today; nothing for an unknown member or when the store fails.
    std::optional<AccountRow> Settle(std::int64_t memberId);

  private:
    Store& store_;
    const Market& market_;
    Clock clock_;
    SettledListener settled_;
};

}  // namespace zq::server
