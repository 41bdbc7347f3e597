#include "trading/model.h"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The prices of one instrument as RecomputeAccount needs them, copied under the instrument
// lock; the decimal forms are made when a position first needs them.
struct Pricing {
    std::int32_t id;
    float bid, ask, pointValue;
    std::int32_t decimals;
    bool converted = false;
    Decimal bidD, askD, powerD, pointD;

    void Convert() {
        if (converted) return;
        bidD = PriceAt(bid, decimals);
        askD = PriceAt(ask, decimals);
        powerD = Decimal::FromFloat(PowerOfTen(decimals));
        pointD = Decimal::FromFloat(pointValue);
        converted = true;
    }
};

template <typename... T>
bool AllFinite(T... values) {
    return (std::isfinite(static_cast<double>(values)) && ...);
}

// Whether a record the server sent can be reckoned with; the rest are left out of its list and
// the load reads as failed. Prices are scaled by 10^decimals: outside 0..9 they come out as 0,
// inf or NaN. An instrument is one of the catalogue's ids, the first record of its id, with lot
// rules an order can be built from; every money and lot figure is a finite number.
bool Usable(const InstrumentRecord& i) {
    return i.id >= 1 && i.id <= kInstrumentCount && i.decimals >= 0 && i.decimals <= 9 &&
           i.lotDecimals >= 0 && i.lotDecimals <= 9 &&
           AllFinite(i.last, i.ask, i.bid, i.pointValue, i.minLots, i.lotStep, i.feeValue,
                     i.marginValue, i.deferralValue, i.buySpread, i.sellSpread, i.pendingDistance,
                     i.stopDistance) &&
           i.minLots >= 0 && i.lotStep >= 0;
}
bool Usable(const PositionRecord& p) {
    return AllFinite(p.openedQuantity, p.heldQuantity, p.openPrice, p.stopLoss, p.takeProfit,
                     p.occupiedMargin, p.deferralFee, p.fee1, p.fee2);
}
bool Usable(const PendingOrderRecord& o) {
    return AllFinite(o.quantity, o.price, o.stopLoss, o.takeProfit);
}

// Leaves out the records that are not usable, keeping the order of the rest; false when any
// was left out.
template <typename Record>
bool KeepUsable(std::vector<Record>& records) {
    const std::size_t before = records.size();
    std::erase_if(records, [](const Record& r) { return !Usable(r); });
    return records.size() == before;
}

// A request connection that is shut down both ways and closed when the sequence is done.
template <typename Fn>
bool OnOwnConnection(WindowHandle owner, Fn&& fn) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    bool ok = fn(s);
    s.ShutdownClose();
    return ok;
}

}  // namespace

bool LoadTradingHours(Socket& s, std::int32_t* answer) {
    if (!SendRequest(s, MakeHeader(cmd::LoadTradingHours))) {
        ShowMessage(nullptr, kAccountLoadFailedText);
        return false;
    }
    std::int32_t value = 0;
    bool ok = ReceiveExact(s, &value, sizeof value) == static_cast<int>(sizeof value);
    if (answer) *answer = value;
    return ok;
}

// What RecomputeAccount keeps between calls.
struct TradingModel::AccountScratch {
    std::vector<Pricing> prices;
    // The last profit of the position at the same index and the figures it came from: it
    // stands while the position's figures and its instrument's prices stay the same, so a
    // quote recomputes only the positions of the instrument it moved.
    struct Memo {
        bool valid = false;
        std::int32_t instrument = 0, direction = 0, decimals = 0;
        std::uint64_t openPrice = 0, heldQuantity = 0;  // bit patterns
        std::uint32_t bid = 0, ask = 0, pointValue = 0;
        Decimal profit;

        static Memo Of(const PositionRecord& p, const Pricing& pr) {
            return {true,
                    p.instrument,
                    p.direction,
                    pr.decimals,
                    std::bit_cast<std::uint64_t>(p.openPrice),
                    std::bit_cast<std::uint64_t>(p.heldQuantity),
                    std::bit_cast<std::uint32_t>(pr.bid),
                    std::bit_cast<std::uint32_t>(pr.ask),
                    std::bit_cast<std::uint32_t>(pr.pointValue),
                    {}};
        }
        bool SameFigures(const Memo& o) const {
            return valid && o.valid && instrument == o.instrument && direction == o.direction &&
                   decimals == o.decimals && openPrice == o.openPrice &&
                   heldQuantity == o.heldQuantity && bid == o.bid && ask == o.ask &&
                   pointValue == o.pointValue;
        }
    };
    std::vector<Memo> memos;

    // The account block's own figures in decimal, made again only when one of them changed:
    // free funds + occupied + frozen margin + frozen fees (the equity before the floating
    // profit/loss is added last) and net deposits + base 1 (the return base).
    struct Funds {
        bool valid = false;
        std::uint64_t bits[6] = {};
        Decimal freeFunds, occupied, beforeFloating, base;

        void Update(const AccountBlock& a) {
            const std::uint64_t now[6] = {std::bit_cast<std::uint64_t>(a.freeFunds),
                                          std::bit_cast<std::uint64_t>(a.occupiedMargin),
                                          std::bit_cast<std::uint64_t>(a.frozenMargin),
                                          std::bit_cast<std::uint64_t>(a.frozenFees),
                                          std::bit_cast<std::uint64_t>(a.netDeposits),
                                          std::bit_cast<std::uint64_t>(a.base1)};
            if (valid && std::equal(std::begin(now), std::end(now), std::begin(bits))) return;
            std::copy(std::begin(now), std::end(now), std::begin(bits));
            freeFunds = Decimal::FromDouble(a.freeFunds);
            occupied = Decimal::FromDouble(a.occupiedMargin);
            beforeFloating = freeFunds + occupied + Decimal::FromDouble(a.frozenMargin) +
                             Decimal::FromDouble(a.frozenFees);
            base = Decimal::FromDouble(a.netDeposits) + Decimal::FromDouble(a.base1);
            valid = true;
        }
    } funds;
};

TradingModel::TradingModel() : scratch_(std::make_unique<AccountScratch>()) {}

TradingModel::~TradingModel() = default;

InstrumentRecord TradingModel::FindInstrument(std::int32_t id) const {
    if (std::optional<InstrumentRecord> found = InstrumentById(id)) return *found;
    InstrumentRecord none{};
    none.id = id;
    return none;
}

std::vector<InstrumentRecord> TradingModel::Instruments() const {
    std::lock_guard<std::mutex> lock(instrumentLock_);
    return instruments_;
}

std::vector<PositionRecord> TradingModel::Positions() const {
    std::lock_guard<std::mutex> lock(positionLock_);
    return positions_;
}

std::vector<PendingOrderRecord> TradingModel::Orders() const {
    std::lock_guard<std::mutex> lock(orderLock_);
    return orders_;
}

std::vector<PositionRecord> TradingModel::Summary() const {
    std::lock_guard<std::mutex> lock(summaryLock_);
    return summary_;
}

AccountBlock TradingModel::Account() const {
    std::lock_guard<std::mutex> lock(accountLock_);
    return account_;
}

void TradingModel::SetInstruments(std::vector<InstrumentRecord> list) {
    Replace(instrumentLock_, instruments_, list);
}

void TradingModel::SetPositions(std::vector<PositionRecord> list) {
    Replace(positionLock_, positions_, list);
}

void TradingModel::SetOrders(std::vector<PendingOrderRecord> list) {
    Replace(orderLock_, orders_, list);
}

void TradingModel::SetSummary(std::vector<PositionRecord> list) {
    Replace(summaryLock_, summary_, list);
}

void TradingModel::SetAccount(const AccountBlock& block) {
    std::lock_guard<std::mutex> lock(accountLock_);
    account_ = block;
}

std::optional<InstrumentRecord> TradingModel::InstrumentById(std::int32_t id) const {
    std::lock_guard<std::mutex> lock(instrumentLock_);
    for (const InstrumentRecord& r : instruments_)
        if (r.id == id) return r;
    return std::nullopt;
}

std::optional<PositionRecord> TradingModel::PositionByTicket(std::string_view ticket) const {
    std::lock_guard<std::mutex> lock(positionLock_);
    for (const PositionRecord& p : positions_)
        if (FieldToUtf8(p.ticket, sizeof p.ticket) == ticket) return p;
    return std::nullopt;
}

std::optional<PendingOrderRecord> TradingModel::OrderByNumber(std::string_view number) const {
    std::lock_guard<std::mutex> lock(orderLock_);
    for (const PendingOrderRecord& o : orders_)
        if (FieldToUtf8(o.orderNumber, sizeof o.orderNumber) == number) return o;
    return std::nullopt;
}

bool TradingModel::RecomputeAccount() {
    std::lock_guard<std::mutex> scratchLock(scratchLock_);
    // The prices first, so that the position walk needs no instrument lock.
    std::vector<Pricing>& prices = scratch_->prices;
    prices.clear();
    {
        std::lock_guard<std::mutex> lock(instrumentLock_);
        for (const auto& i : instruments_)
            prices.push_back({i.id, i.bid, i.ask, i.pointValue, i.decimals});
    }
    // By id for the lookup; of several records with one id the first counts, as in
    // FindInstrument.
    auto byId = [](const Pricing& a, const Pricing& b) { return a.id < b.id; };
    // An insertion sort: stable, in place (std::stable_sort would take a buffer on every
    // quote), and quick for a few dozen instruments that mostly come in order already.
    for (std::size_t k = 1; k < prices.size(); ++k) {
        for (std::size_t j = k; j > 0 && byId(prices[j], prices[j - 1]); --j)
            std::swap(prices[j], prices[j - 1]);
    }
    prices.erase(std::unique(prices.begin(), prices.end(),
                             [](const Pricing& a, const Pricing& b) { return a.id == b.id; }),
                 prices.end());

    Decimal floating;
    {
        std::lock_guard<std::mutex> lock(positionLock_);
        std::vector<AccountScratch::Memo>& memos = scratch_->memos;
        memos.resize(positions_.size());
        for (std::size_t k = 0; k < positions_.size(); ++k) {
            const PositionRecord& p = positions_[k];
            auto it =
                std::lower_bound(prices.begin(), prices.end(), p.instrument,
                                 [](const Pricing& pr, std::int32_t id) { return pr.id < id; });
            if (it == prices.end() || it->id != p.instrument) continue;  // contributes 0
            const AccountScratch::Memo figures = AccountScratch::Memo::Of(p, *it);
            AccountScratch::Memo& memo = memos[k];
            if (!memo.SameFigures(figures)) {
                it->Convert();
                memo = figures;
                memo.profit = ProfitAt(p, it->bidD, it->askD, it->powerD, it->pointD);
            }
            // A position whose figures cannot be represented adds nothing rather than
            // spoiling the whole sum.
            if (memo.profit.Valid()) floating += memo.profit;
        }
    }

    std::lock_guard<std::mutex> lock(accountLock_);
    AccountBlock& a = account_;
    AccountScratch::Funds& funds = scratch_->funds;
    funds.Update(a);
    const Decimal& freeFunds = funds.freeFunds;
    const Decimal& occupied = funds.occupied;
    Decimal equity = funds.beforeFloating + floating;
    float e = equity.ToFloat();
    a.equity = e;
    a.floatingProfit = floating.ToFloat();
    a.availableMargin = AvailableMargin(freeFunds, floating).ToDouble();
    const Decimal hundred = Decimal::FromInt(100);
    Decimal ed = Decimal::FromFloat(e);
    a.riskRate = a.occupiedMargin > 0 ? (ed * hundred / occupied).ToFloat() : 0.0f;
    const Decimal& base = funds.base;
    a.averageReturn = base > Decimal() ? ((ed - base) * hundred / base).ToFloat() : 0.0f;
    return MarginCallDue(equity, occupied);
}

template <typename Record>
bool TradingModel::LoadList(Socket& s, std::int32_t command, const void* payload,
                            std::size_t payloadSize, std::mutex& lock, std::vector<Record>& list,
                            bool* refilled) {
    if (!SendRequest(s, MakeHeader(command), payload, payloadSize)) {
        ShowMessage(nullptr, kPositionsLoadFailedText);
        return false;
    }
    std::vector<Record> fresh;
    ListResult r = ReadCountedList(s, fresh);
    bool countRead = !r.refused && (r.complete || r.announced != 0);
    if (!countRead) {
        ShowMessage(nullptr, kPositionsLoadFailedText);
        return false;
    }
    const bool allUsable = KeepUsable(fresh);
    Replace(lock, list, fresh);
    if (refilled) *refilled = true;
    if (!r.complete || !allUsable) {
        // The list holds the records that arrived whole; the load still failed, and the
        // steps after it on this connection must not run.
        ShowMessage(nullptr, kPositionsLoadFailedText);
        return false;
    }
    return true;
}

bool TradingModel::LoadInstruments(Socket& s) {
    if (!SendRequest(s, MakeHeader(cmd::LoadInstruments))) return false;
    std::vector<InstrumentRecord> fresh;
    ListResult r = ReadCountedList(s, fresh);
    if (r.refused || r.announced <= 0) return r.complete;
    // Of several records with one id the first counts, as in FindInstrument: the list holds
    // at most one record per instrument of the catalogue.
    std::bitset<kInstrumentCount + 1> seen;
    const std::size_t before = fresh.size();
    std::erase_if(fresh, [&](const InstrumentRecord& i) {
        if (!Usable(i) || seen.test(static_cast<std::size_t>(i.id))) return true;
        seen.set(static_cast<std::size_t>(i.id));
        return false;
    });
    const bool allUsable = fresh.size() == before;
    Replace(instrumentLock_, instruments_, fresh);
    Debug("kTypeInfoList完成\n");
    return r.complete && allUsable;
}

bool TradingModel::LoadPositionSummary(Socket& s) {
    return LoadList(s, cmd::LoadSummary, nullptr, 0, summaryLock_, summary_);
}

bool TradingModel::LoadPositions(Socket& s) {
    LoadPositionsRequest request{};
    return LoadList(s, cmd::LoadPositions, &request, sizeof request, positionLock_, positions_);
}

bool TradingModel::ReloadOrders(Socket& s) {
    LoadOrdersRequest request{};
    request.selector = 1;
    bool refilled = false;
    bool ok =
        LoadList(s, cmd::LoadPending, &request, sizeof request, orderLock_, orders_, &refilled);
    if (refilled) Debug("kDelegateInfoList完成\n");
    return ok;
}

bool TradingModel::LoadAccount(Socket& s) {
    if (!SendRequest(s, MakeHeader(cmd::LoadAccount))) {
        ShowMessage(nullptr, kAccountLoadFailedText);
        return false;
    }
    AccountBlock fresh{};
    bool whole = ReceiveExact(s, &fresh, sizeof fresh) == static_cast<int>(sizeof fresh);
    // The figures of offsets 128..159 are the client's, made from the positions and prices:
    // every load of the block ends with them, so no reload leaves them at 0.
    fresh.equity = fresh.floatingProfit = fresh.availableMargin = 0;
    fresh.riskRate = fresh.averageReturn = 0;
    {
        std::lock_guard<std::mutex> lock(accountLock_);
        account_ = fresh;
    }
    RecomputeAccount();
    if (!whole) ShowMessage(nullptr, kAccountLoadFailedText);
    return whole;
}

bool TradingModel::ReloadPositions(Socket& s) {
    return LoadPositionSummary(s) && LoadPositions(s) && LoadAccount(s);
}

void TradingModel::InitialLoad(Socket& s) {
    ReloadPositions(s);
    ReloadOrders(s);
    RecomputeAccount();
}

void TradingModel::Reinitialise(Socket& s) {
    ReloadOrders(s);
    ReloadPositions(s);
}

bool TradingModel::ReloadPositions(WindowHandle owner) {
    return OnOwnConnection(owner, [this](Socket& s) { return ReloadPositions(s); });
}

bool TradingModel::ReloadOrders(WindowHandle owner) {
    return OnOwnConnection(owner, [this](Socket& s) { return ReloadOrders(s); });
}

void TradingModel::InitialLoad(WindowHandle owner) {
    OnOwnConnection(owner, [this](Socket& s) {
        InitialLoad(s);
        return true;
    });
}

void TradingModel::Reinitialise(WindowHandle owner) {
    OnOwnConnection(owner, [this](Socket& s) {
        Reinitialise(s);
        return true;
    });
}

void TradingModel::ReloadAfterTrade(Socket& s, TradeReload what) {
    if (what == TradeReload::Positions) {
        ReloadPositions(s);
    } else {
        ReloadOrders(s);
        LoadAccount(s);
    }
    RecomputeAccount();
    Ui().PlaySound(sound::Trade, false);
    RefreshChart();
}

void TradingModel::ReloadAfterTrade(WindowHandle owner, TradeReload what) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) {
        Ui().PlaySound(sound::Trade, false);
        RefreshChart();
        return;
    }
    ReloadAfterTrade(s, what);
    s.ShutdownClose();
}

bool TradingModel::ReplacePosition(const PositionRecord& changed) {
    std::lock_guard<std::mutex> lock(positionLock_);
    for (PositionRecord& p : positions_) {
        if (std::memcmp(p.ticket, changed.ticket, sizeof p.ticket) != 0) continue;
        p = changed;
        return true;
    }
    return false;
}

void TradingModel::RefreshChart() {
    ChartRefresh refresh;
    {
        std::lock_guard<std::mutex> lock(listenerLock_);
        refresh = chartRefresh_;
    }
    if (refresh) refresh();
}

void TradingModel::ReloadAfterSignal() {
    bool opened = OnOwnConnection(nullptr, [this](Socket& s) {
        ReloadOrders(s);
        ReloadPositions(s);
        return true;
    });
    if (opened) NotifyTickListeners(true, true);
}

void TradingModel::QuoteUpdate(const BarRecord& marketRecord) {
    WindowHandle view = mainView_.load();
    if (!view || !Ui().IsWindow(view)) return;

    // A copy: the listeners and the alert check get the record as it arrived.
    const BarRecord record = marketRecord;
    const std::int32_t id = record.instrument;
    const std::int32_t close = record.close;

    bool positionFlag = false, orderFlag = false;
    {
        std::lock_guard<std::mutex> il(instrumentLock_);
        auto it = std::find_if(instruments_.begin(), instruments_.end(),
                               [id](const InstrumentRecord& i) { return i.id == id; });
        if (it != instruments_.end()) {
            InstrumentRecord& i = *it;
            const Quote q = QuoteAt(i, close);
            i.last = q.last;
            i.ask = q.ask;
            i.bid = q.bid;
            {
                std::lock_guard<std::mutex> pl(positionLock_);
                positionFlag =
                    std::any_of(positions_.begin(), positions_.end(), [&](const auto& p) {
                        return p.instrument == id && p.watched == 1 &&
                               StopHitAt(p.direction, p.stopLoss, p.takeProfit, q, i.decimals) !=
                                   StopHit::None;
                    });
            }
            {
                std::lock_guard<std::mutex> ol(orderLock_);
                orderFlag = std::any_of(orders_.begin(), orders_.end(), [&](const auto& o) {
                    return o.instrument == id && o.status == order_status::Waiting &&
                           PendingDue(o.direction, o.triggerKind, o.price, q, i.decimals);
                });
            }
        }
    }

    if (RecomputeAccount()) positionFlag = true;

    if (positionFlag || orderFlag) {
        OnOwnConnection(nullptr, [&](Socket& s) {
            if (positionFlag) ReloadPositions(s);
            if (orderFlag) {
                ReloadOrders(s);
                if (!positionFlag) ReloadPositions(s);
            }
            return true;
        });
        Ui().PlaySound(sound::Trigger, false);
        RefreshChart();
        // The reloads changed the lists: the figures follow them. Without a reload the account
        // computed above stands.
        RecomputeAccount();
    }

    NotifyTickListeners(positionFlag || orderFlag, orderFlag, &record);

    std::shared_ptr<const AlertHook> hook;
    {
        std::lock_guard<std::mutex> lock(listenerLock_);
        hook = alertHook_;
    }
    if (hook && *hook) {
        double floating;
        {
            std::lock_guard<std::mutex> al(accountLock_);
            floating = account_.floatingProfit;
        }
        (*hook)(record, floating);
    }
}

void TradingModel::RegisterTickListener(WindowHandle window) {
    std::lock_guard<std::mutex> lock(listenerLock_);
    std::erase(listeners_, window);
    listeners_.push_back(window);
}

void TradingModel::UnregisterTickListener(WindowHandle window) {
    std::lock_guard<std::mutex> lock(listenerLock_);
    std::erase(listeners_, window);
}

std::vector<WindowHandle> TradingModel::TickListeners() const {
    std::lock_guard<std::mutex> lock(listenerLock_);
    return listeners_;
}

void TradingModel::NotifyTickListeners(bool positionsChanged, bool ordersChanged,
                                       const BarRecord* marketRecord) {
    // The window checks and the sends run without the list lock: a window that handles a
    // notification may register or unregister listeners itself, or notify in turn. The copy of
    // the list lives on this call's stack, so a quote update allocates nothing for it unless
    // more windows listen than the array holds.
    struct Candidate {
        WindowHandle window;
        bool alive;
    };
    constexpr std::size_t kInline = 16;
    std::array<Candidate, kInline> inlineCopy;
    std::vector<Candidate> spilled;
    std::span<Candidate> candidates;
    {
        std::lock_guard<std::mutex> lock(listenerLock_);
        if (listeners_.size() <= kInline) {
            candidates = std::span<Candidate>(inlineCopy.data(), listeners_.size());
        } else {
            spilled.resize(listeners_.size());
            candidates = spilled;
        }
        for (std::size_t k = 0; k < listeners_.size(); ++k) candidates[k] = {listeners_[k], false};
    }
    bool anyDead = false;
    for (Candidate& c : candidates) {
        c.alive = Ui().IsWindow(c.window);
        anyDead |= !c.alive;
    }
    if (anyDead) {
        std::lock_guard<std::mutex> lock(listenerLock_);
        std::erase_if(listeners_, [&](WindowHandle w) {
            return std::any_of(candidates.begin(), candidates.end(),
                               [w](const Candidate& c) { return !c.alive && c.window == w; });
        });
    }
    const auto record = reinterpret_cast<std::intptr_t>(marketRecord);
    for (const Candidate& c : candidates) {
        if (!c.alive) continue;
        if (positionsChanged) Ui().Send(c.window, WM_POSITIONS_CHANGED, 0, 0);
        if (ordersChanged) Ui().Send(c.window, WM_ORDERS_CHANGED, 0, 0);
        if (marketRecord) Ui().Send(c.window, WM_QUOTE_TICK, 0, record);
    }
}

void TradingModel::SetAlertHook(AlertHook hook) {
    std::lock_guard<std::mutex> lock(listenerLock_);
    alertHook_ = std::make_shared<const AlertHook>(std::move(hook));
}

void TradingModel::SetChartRefresh(ChartRefresh refresh) {
    std::lock_guard<std::mutex> lock(listenerLock_);
    chartRefresh_ = std::move(refresh);
}

void TradingModel::SetDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> lock(listenerLock_);
    debugSink_ = std::move(sink);
}

void TradingModel::Debug(std::string_view line) {
    DebugSink sink;
    {
        std::lock_guard<std::mutex> lock(listenerLock_);
        sink = debugSink_;
    }
    if (sink) {
        sink(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}

}  // namespace zq
