#include "server/trading/execution.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/market_clock.h"
#include "server/market/trading_day.h"
#include "server/store/log.h"
#include "server/trading/settlement.h"
#include "trading/wire/profit.h"

namespace zq::server {
namespace {

using account_rows::FindRow;
using account_rows::InsertRow;
using account_rows::LoadRows;
using account_rows::UpdateRow;

constexpr std::chrono::seconds kExpiryCheck{1};
// The largest price of an order, in price points: what a market record's int32 can hold.
constexpr double kHighestScaled = 2.0e9;
constexpr std::int64_t kDaySeconds = 86400;

Decimal D(float value) {
    return Decimal::FromFloat(value);
}
Decimal D(double value) {
    return Decimal::FromDouble(value);
}
// A quantity rounded to whole units of 10^-lotDecimals lots.
double RoundLots(const InstrumentRules& rules, double lots) {
    return static_cast<double>(LotUnits(RecordOf(rules), lots)) /
           static_cast<double>(PowerOf10(rules.lotDecimals));
}

// The lots of a signal (x 100) as an order carries them: the nearest whole multiple of the lot
// step, within the minimum and maximum lots of one order.
float SignalLots(const InstrumentRules& rules, std::int32_t lots100) {
    const double step = rules.lotStep / static_cast<double>(PowerOf10(rules.lotDecimals));
    const double lots = std::round(lots100 / 100.0 / step) * step;
    return static_cast<float>(RoundLots(
        rules, std::clamp(lots, static_cast<double>(rules.minLots), double{rules.maxLots * 1.0})));
}

// A text field of a request: up to its first NUL, at most `size` bytes.
std::string TextField(const char* field, std::size_t size) {
    return std::string(field, strnlen(field, size));
}

// A signal's identity (as the client compares signals) as text.
std::string SignalKey(const SignalRecord& s) {
    return std::to_string(s.instrument) + ":" + std::to_string(s.tag) + ":" +
           std::to_string(s.variant) + ":" + std::to_string(s.price) + ":" +
           std::to_string(s.stopLoss) + ":" + std::to_string(s.lots);
}

// When the day orders of an account on `tradingDay` run out (its end), or its week orders (the
// end of its week, Sunday 24:00): the moments at which the account's settlement cancels them.
std::int64_t EndOfDay(std::int64_t day) {
    return (day + 1) * kDaySeconds - kMarketUtcOffsetSeconds;
}
std::int64_t EndOfWeek(std::int64_t day) {
    return (7 * (WeekNumber(day) + 1) - 3) * kDaySeconds - kMarketUtcOffsetSeconds;
}

// The price of a trade set off at `trigger`: the trigger, or the market when that is already
// worse for the member (a buy pays at least the ask, a sell gets at most the bid). So limit
// orders and take-profits trade at their price, stop orders and stop-losses at the market.
Decimal TradePrice(std::int32_t tradeDirection, const Decimal& trigger, const Decimal& ask,
                   const Decimal& bid) {
    if (tradeDirection == direction::Buy) return trigger > ask ? trigger : ask;
    return trigger < bid ? trigger : bid;
}

std::int32_t Opposite(std::int32_t direction) {
    return direction == direction::Buy ? direction::Sell : direction::Buy;
}

std::string Money(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

const char* ReasonName(std::int32_t reason) {
    switch (reason) {
        case fill_reason::Market:
            return "market";
        case fill_reason::Limit:
            return "limit";
        case fill_reason::StopLoss:
            return "stop-loss";
        case fill_reason::TakeProfit:
            return "take-profit";
        case fill_reason::MarginCall:
            return "margin call";
    }
    return "?";
}

bool CancelOrder(sqlite3* db, OrderRow& o, std::int64_t now) {
    o.status = order_status::Cancelled;
    o.doneTime = now;
    return UpdateRow(db, o);
}

// What an opening order meets: the member's available margin (free funds with the positions'
// `floating` profit/loss, as the account shows it) and the lots of the instrument held or
// waiting to be opened (in units of 10^-lotDecimals lots), leaving out the waiting order
// `except` (empty: none), whose frozen amounts count as released.
struct Exposure {
    Decimal available;
    std::int64_t units = 0;
};
Exposure ExposureOf(sqlite3* db, const AccountRow& account, const InstrumentRules& rules,
                    const std::string& except, const Decimal& floating) {
    const std::vector<PositionRow> positions = LoadRows<PositionRow>(db, account.memberId);
    std::vector<OrderRow> orders = account_rows::LoadWaitingOrders(db, account.memberId);
    std::erase_if(orders, [&](const OrderRow& o) { return o.orderNumber == except; });
    Exposure e;
    double margins = 0;
    for (const PositionRow& p : positions) {
        margins += p.margin;
        if (p.instrument == rules.id) e.units += LotUnits(RecordOf(rules), p.heldQuantity);
    }
    for (const OrderRow& o : orders)
        if (o.status == order_status::Waiting && o.openClose == open_close::Open &&
            o.instrument == rules.id)
            e.units += LotUnits(RecordOf(rules), o.quantity);
    e.available = AvailableMargin(D(FundsOf(account.balance, margins, orders).free), floating);
    return e;
}

std::int64_t MaxPositionUnits(const InstrumentRules& rules) {
    return std::int64_t{rules.maxPosition} * PowerOf10(rules.lotDecimals);
}

// What a new position is made of.
struct Opening {
    std::int32_t instrument = 0, direction = direction::Buy;
    double lots = 0, price = 0, stopLoss = 0, takeProfit = 0;
    std::string orderNumber;
    std::int32_t reason = fill_reason::Market;
    std::int32_t programmatic = 0;
};

// Opens the position inside the caller's transaction: margin and opening fee at its price, the
// fee taken from the balance and counted in today's fees, and its fill.
bool AddPosition(sqlite3* db, AccountRow& account, const Opening& o, std::int64_t now,
                 std::string* ticket) {
    const InstrumentRules* rules = FindRules(o.instrument);
    if (!rules) return false;
    PositionRow p{{account.memberId, o.instrument, o.direction, o.stopLoss, o.takeProfit}};
    p.openedQuantity = p.heldQuantity = o.lots;
    p.openPrice = o.price;
    p.margin = MarginFor(*rules, o.price, o.lots);
    p.openTime = now;
    p.fee1 = SideFee(*rules, o.price, o.lots);
    p.programmatic = o.programmatic;
    if (!InsertRow(db, p)) return false;
    account.balance = RoundMoney(account.balance - p.fee1);
    account.todayFees = RoundMoney(account.todayFees + p.fee1);
    FillRow f;
    f.memberId = account.memberId;
    f.ticket = p.ticket;
    f.orderNumber = o.orderNumber;
    f.instrument = o.instrument;
    f.direction = o.direction;
    f.lots = o.lots;
    f.price = o.price;
    f.openClose = open_close::Open;
    f.fee = p.fee1;
    f.time = now;
    f.reason = o.reason;
    if (ticket) *ticket = p.ticket;
    return InsertRow(db, f);
}

// Closes `lots` of the position (all of it when it holds no more) at `price` inside the caller's
// transaction: the profit/loss and the closing fee go to the balance and today's figures, the
// trade is counted, and the fill is recorded. A position closed whole takes its waiting closing
// orders with it (cancelled).
bool ClosePart(sqlite3* db, AccountRow& account, PositionRow& p, double lots, double price,
               std::int32_t reason, const std::string& orderNumber, std::int64_t now,
               double* profitOut) {
    const InstrumentRules* rules = FindRules(p.instrument);
    if (!rules) return false;
    const bool whole =
        LotUnits(RecordOf(*rules), lots) >= LotUnits(RecordOf(*rules), p.heldQuantity);
    if (whole) lots = p.heldQuantity;
    PositionRecord r;
    std::memset(&r, 0, sizeof r);
    r.direction = p.direction;
    r.openPrice = p.openPrice;
    r.heldQuantity = lots;
    const Decimal at = D(price);
    const Decimal exact = ProfitAt(r, at, at, D(PowerOfTen(rules->decimals)), D(rules->pointValue));
    const double profit = exact.Valid() ? RoundMoney(exact.ToDouble()) : 0.0;
    const double fee = ClosingFee(*rules, price, lots);
    if (whole) {
        if (!account_rows::DeleteRow<PositionRow>(db, p.memberId, p.ticket)) return false;
        for (OrderRow& o : account_rows::LoadWaitingOrders(db, p.memberId)) {
            if (o.status != order_status::Waiting || o.openClose == open_close::Open ||
                o.relatedPosition != p.ticket || o.orderNumber == orderNumber)
                continue;
            if (!CancelOrder(db, o, now)) return false;
        }
    } else {
        const double left = RoundLots(*rules, p.heldQuantity - lots);
        p.margin = RoundMoney(p.margin * left / p.heldQuantity);
        p.heldQuantity = left;
        p.fee2 = RoundMoney(p.fee2 + fee);
        if (!UpdateRow(db, p)) return false;
    }
    account.balance = RoundMoney(account.balance + profit - fee);
    account.todayClosedProfit = RoundMoney(account.todayClosedProfit + profit);
    account.todayFees = RoundMoney(account.todayFees + fee);
    ++account.tradeCount;
    if (profit > 0) ++account.winningTradeCount;
    FillRow f;
    f.memberId = p.memberId;
    f.ticket = p.ticket;
    f.orderNumber = orderNumber;
    f.instrument = p.instrument;
    f.direction = Opposite(p.direction);
    f.lots = lots;
    f.price = price;
    f.openClose = open_close::Close;
    f.profit = profit;
    f.fee = fee;
    f.time = now;
    f.reason = reason;
    if (profitOut) *profitOut = profit;
    return InsertRow(db, f);
}

template <typename T>
void EraseOne(std::vector<T*>& list, const T* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it == list.end()) return;
    *it = list.back();
    list.pop_back();
}

}  // namespace

ExecutionEngine::~ExecutionEngine() {
    Stop();
}

ExecutionEngine::Prices ExecutionEngine::PricesOf(const InstrumentRules& rules,
                                                  std::int32_t scaled) {
    Prices q;
    q.at = QuoteAt(RecordOf(rules), scaled);
    q.askD = PriceAt(q.at.ask, rules.decimals);
    q.bidD = PriceAt(q.at.bid, rules.decimals);
    return q;
}
const ExecutionEngine::Prices& ExecutionEngine::QuoteOf(std::int32_t instrument) const {
    return sides_[static_cast<std::size_t>(instrument)].quote;
}

Decimal ExecutionEngine::FloatingOf(std::int64_t memberId) const {
    auto it = books_.find(memberId);
    return it == books_.end() ? Decimal() : it->second.floating;
}

Decimal ExecutionEngine::ProfitOf(const Position& p) const {
    const Side& side = sides_[static_cast<std::size_t>(p.instrument)];
    const Decimal diff =
        p.direction == direction::Buy ? side.quote.bidD - p.open : p.open - side.quote.askD;
    return diff * p.perPoint;
}

void ExecutionEngine::Start(bool expiryClock) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listener_) return;
        for (const InstrumentRules& rules : Catalogue()) {
            Side& side = sides_[static_cast<std::size_t>(rules.id)];
            side.rules = &rules;
            side.pointMoney = D(PowerOfTen(rules.decimals)) * D(rules.pointValue);
            side.quote = PricesOf(rules, market_.Price(rules.id));
        }
        const std::vector<Member> members = store_.Members();
        store_.WithDb([&](sqlite3* db) {
            for (const Member& m : members) LoadBook(db, m.id);
        });
        // Signals live in memory only: the orders that followed those of the last run would
        // wait for a withdrawal that never comes.
        std::vector<std::int64_t> following;
        for (const auto& [id, book] : books_)
            if (std::any_of(book.orders.begin(), book.orders.end(), [](const auto& o) {
                    return o->validity == order_validity::Programmatic;
                }))
                following.push_back(id);
        for (std::int64_t m : following)
            CancelWhere(m, "their signals ended with the last run", [](const OrderRow& o) {
                return o.validity == order_validity::Programmatic;
            });
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopExecutor_ = false;
        executing_ = true;
        executor_ = std::thread([this] { RunExecutor(); });
        executorId_ = executor_.get_id();
    }
    // The market's own clock does not wait for execution: its prices go on to the push links at
    // once and the triggers they set off follow on the execution thread, in the order the prices
    // came. A price set by hand (tests, the control port) returns once it has been executed.
    listener_ = market_.AddListener([this](const Tick& t) {
        if (market_.OnClockThread())
            Post(t);
        else
            OnTick(t);
    });
    if (!expiryClock) return;
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        stopping_ = false;
    }
    clock_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(clockMutex_);
        while (!wake_.wait_for(lock, kExpiryCheck, [this] { return stopping_; })) {
            lock.unlock();
            ExpireDue();
            lock.lock();
        }
    });
}

void ExecutionEngine::Stop() {
    if (listener_) {
        market_.RemoveListener(*listener_);
        listener_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (clock_.joinable()) clock_.join();
    // The executor finishes what is queued first.
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopExecutor_ = true;
        executing_ = false;
    }
    queueWake_.notify_all();
    if (executor_.joinable()) executor_.join();
    std::lock_guard<std::mutex> lock(queueMutex_);
    executorId_ = std::thread::id{};
}

// ---- The execution thread and its group commits ----

namespace {

// The code of an answer, its note handed to `note` (if given).
std::int32_t Answered(ExecutionEngine::Answer answer, std::string* note) {
    if (note) *note = std::move(answer.note);
    return answer.code;
}

// Waits for an asynchronous command's answer.
template <typename Result, typename Start>
Result WaitFor(Start start) {
    std::mutex mutex;
    std::condition_variable finished;
    std::optional<Result> result;
    start([&](Result r) {
        std::lock_guard<std::mutex> lock(mutex);
        result = std::move(r);
        finished.notify_one();
    });
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return result.has_value(); });
    return std::move(*result);
}

}  // namespace

void ExecutionEngine::Submit(std::function<void()> work, std::function<void(bool committed)> then) {
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        if (executorId_ == std::this_thread::get_id()) {
            // Already on the execution thread, inside its group.
            lock.unlock();
            work();
            then(true);
            return;
        }
        if (!executing_) {
            // Without the execution thread (before Start, after Stop): each change commits on
            // its own.
            lock.unlock();
            {
                std::lock_guard<std::mutex> engine(mutex_);
                work();
            }
            then(true);
            return;
        }
        jobs_.push_back(std::make_shared<Job>(Job{std::move(work), std::move(then)}));
    }
    queueWake_.notify_one();
}

bool ExecutionEngine::Run(const std::function<void()>& work) {
    return WaitFor<bool>(
        [&](std::function<void(bool)> then) { Submit([&work] { work(); }, std::move(then)); });
}

void ExecutionEngine::SubmitCode(std::int32_t madeCode,
                                 std::function<std::int32_t(std::string*)> work, Done done) {
    auto answer = std::make_shared<Answer>();
    Submit([answer, work = std::move(work)] { answer->code = work(&answer->note); },
           [answer, madeCode, done = std::move(done)](bool committed) {
               answer->code = Kept(committed, answer->code, madeCode, &answer->note);
               done(std::move(*answer));
           });
}

void ExecutionEngine::Post(const Tick& tick) {
    auto job = std::make_shared<Job>();
    job->work = [this, tick] { OnTickLocked(tick); };
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (!executing_) return;
        jobs_.push_back(std::move(job));
    }
    queueWake_.notify_one();
}

void ExecutionEngine::RunExecutor() {
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        queueWake_.wait(lock, [this] { return !jobs_.empty() || stopExecutor_; });
        if (jobs_.empty()) return;
        // What has queued while the last group committed goes into the next one.
        std::vector<std::shared_ptr<Job>> group;
        while (!jobs_.empty() && group.size() < kMaxGroup) {
            group.push_back(std::move(jobs_.front()));
            jobs_.pop_front();
        }
        lock.unlock();
        const bool committed = RunGroup(group);
        for (const auto& job : group)
            if (job->then) job->then(committed);
        lock.lock();
    }
}

bool ExecutionEngine::RunGroup(const std::vector<std::shared_ptr<Job>>& group) {
    std::lock_guard<std::mutex> engine(mutex_);
    return store_.WithDb([&](sqlite3* db) {
        grouped_ = Exec(db, "BEGIN IMMEDIATE");
        for (const auto& job : group) job->work();
        if (!grouped_) return true;  // each change committed on its own
        grouped_ = false;
        std::vector<std::int64_t> members;
        members.swap(groupMembers_);
        if (Exec(db, "COMMIT")) return true;
        Exec(db, "ROLLBACK");
        // Nothing of the group was kept: the index follows the store again.
        std::sort(members.begin(), members.end());
        members.erase(std::unique(members.begin(), members.end()), members.end());
        for (std::int64_t m : members) ReloadLocked(m);
        Log("a group of " + std::to_string(group.size()) + " changes failed to commit");
        return false;
    });
}

void ExecutionEngine::KeepPrice(const Tick& tick) {
    const bool kept = store_.WithDb([&](sqlite3* db) { return SaveMarketTicks(db, {tick}); });
    if (!kept && !priceFailing_) LogLine("cannot keep the market prices in the store");
    if (kept && priceFailing_) LogLine("the market prices are kept again");
    priceFailing_ = !kept;
}

std::int32_t ExecutionEngine::Kept(bool committed, std::int32_t code, std::int32_t done,
                                   std::string* note) {
    if (committed || code != done) return code;
    if (note) *note = "store failed";
    return order_refusal::NoSession;
}

// ---- The index ----

void ExecutionEngine::LoadBook(sqlite3* db, std::int64_t memberId) {
    const std::optional<AccountRow> account = account_rows::LoadAccount(db, memberId);
    if (!account) return;
    const std::vector<PositionRow> positions = LoadRows<PositionRow>(db, memberId);
    const std::vector<OrderRow> orders = account_rows::LoadWaitingOrders(db, memberId);
    const bool waits = std::any_of(orders.begin(), orders.end(), [](const OrderRow& o) {
        return o.status == order_status::Waiting;
    });
    if (positions.empty() && !waits) return;

    Book& book = books_[memberId];
    double margins = 0;
    for (const PositionRow& row : positions) {
        if (!FindRules(row.instrument)) continue;
        margins += row.margin;
        const Side& side = sides_[static_cast<std::size_t>(row.instrument)];
        auto p = std::make_unique<Position>();
        p->book = &book;
        p->member = memberId;
        p->ticket = row.ticket;
        p->instrument = row.instrument;
        p->direction = row.direction;
        p->stopLoss = row.stopLoss;
        p->takeProfit = row.takeProfit;
        p->open = D(row.openPrice);
        // Exact: the product of the client's factors in any order.
        p->perPoint = side.pointMoney * D(row.heldQuantity);
        p->profit = ProfitOf(*p);
        book.floating += p->profit;
        sides_[static_cast<std::size_t>(row.instrument)].positions.push_back(p.get());
        book.positions.push_back(std::move(p));
    }
    const Funds funds = FundsOf(account->balance, margins, orders);
    book.occupied = funds.occupied;
    book.fixed = D(funds.free) + D(funds.occupied) + D(funds.frozenMargin) + D(funds.frozenFees);
    const std::optional<std::int64_t> day = DayNumber(account->tradingDay);
    for (const OrderRow& row : orders) {
        if (row.status != order_status::Waiting || !FindRules(row.instrument)) continue;
        auto o =
            std::make_unique<Order>(Order{memberId, row.orderNumber, row.instrument, row.direction,
                                          row.triggerKind, row.validity, row.price});
        sides_[static_cast<std::size_t>(row.instrument)].orders.push_back(o.get());
        book.orders.push_back(std::move(o));
        std::int64_t ends = 0;
        if (row.validity == order_validity::Today) ends = day ? EndOfDay(*day) : 1;
        if (row.validity == order_validity::ThisWeek) ends = day ? EndOfWeek(*day) : 1;
        if (ends != 0 && (book.expiry == 0 || ends < book.expiry)) book.expiry = ends;
    }
}

void ExecutionEngine::Forget(std::int64_t memberId) {
    auto it = books_.find(memberId);
    if (it == books_.end()) return;
    for (const auto& p : it->second.positions)
        EraseOne(sides_[static_cast<std::size_t>(p->instrument)].positions, p.get());
    for (const auto& o : it->second.orders)
        EraseOne(sides_[static_cast<std::size_t>(o->instrument)].orders, o.get());
    books_.erase(it);
}

void ExecutionEngine::ReloadLocked(std::int64_t memberId) {
    Forget(memberId);
    store_.WithDb([&](sqlite3* db) { LoadBook(db, memberId); });
}

void ExecutionEngine::Reload(std::int64_t memberId) {
    std::lock_guard<std::mutex> lock(mutex_);
    ReloadLocked(memberId);
}

ExecutionEngine::Counts ExecutionEngine::Indexed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counts c;
    c.members = books_.size();
    for (const auto& [id, book] : books_) {
        c.positions += book.positions.size();
        c.orders += book.orders.size();
    }
    return c;
}

template <typename Change>
bool ExecutionEngine::Execute(std::int64_t memberId, Change&& change) {
    const std::int64_t now = accounts_.Now();
    const auto body = [&](sqlite3* db) {
        using namespace account_rows;
        std::optional<AccountRow> account = LoadAccount(db, memberId);
        if (!account) {
            if (!MemberExists(db, memberId) || !CreatePlainAccount(db, memberId, now)) return false;
            account = LoadAccount(db, memberId);
            if (!account) return false;
        }
        if (!SettleDays(db, *account, TradingDayOf(now), now, market_)) return false;
        if (!change(db, *account, now)) return false;
        return SaveAccount(db, *account);
    };
    bool ok = false;
    if (grouped_) {
        // Inside the group's transaction: a change that fails is undone alone.
        groupMembers_.push_back(memberId);
        ok = store_.WithDb([&](sqlite3* db) {
            if (!Exec(db, "SAVEPOINT execution")) return false;
            if (body(db) && Exec(db, "RELEASE execution")) return true;
            Exec(db, "ROLLBACK TO execution");
            Exec(db, "RELEASE execution");
            return false;
        });
    } else {
        ok = InTransaction(store_, body);
    }
    ReloadLocked(memberId);
    return ok;
}

void ExecutionEngine::Log(const std::string& line) const {
    if (logging_) LogLine("execution: " + line);
}

// ---- New orders ----

void ExecutionEngine::Open(std::int64_t memberId, const OpenOrderRequest& r, Done done) {
    SubmitCode(
        order_result::Done,
        [this, memberId, r](std::string* note) { return Place(memberId, r, {}, note); },
        std::move(done));
}

std::int32_t ExecutionEngine::Open(std::int64_t memberId, const OpenOrderRequest& r,
                                   std::string* note) {
    return Answered(WaitFor<Answer>([&](Done done) { Open(memberId, r, std::move(done)); }), note);
}

std::int32_t ExecutionEngine::Place(std::int64_t memberId, const OpenOrderRequest& r,
                                    const std::string& signal, std::string* note) {
    auto refuse = [&](std::int32_t code, const std::string& why) {
        if (note) *note = why;
        return code;
    };
    const bool market = r.orderKind == order_kind::Market;
    if (!market && r.orderKind != order_kind::Pending)
        return refuse(order_refusal::BadRequest, "order kind " + std::to_string(r.orderKind));
    if (r.direction != direction::Buy && r.direction != direction::Sell)
        return refuse(order_refusal::BadRequest, "direction " + std::to_string(r.direction));
    // Programmatic orders (validity 3) are the server's own: pending, and only for a signal.
    const bool validity = signal.empty() ? r.validity == order_validity::Today ||
                                               r.validity == order_validity::ThisWeek
                                         : r.validity == order_validity::Programmatic;
    if ((!market && !validity) || (market && !signal.empty()))
        return refuse(order_refusal::BadRequest, "validity " + std::to_string(r.validity));
    for (const float v : {r.price, r.stopLoss, r.takeProfit, r.lots, r.deviation})
        if (!std::isfinite(v)) return refuse(order_refusal::BadRequest, "not a number");
    if (r.stopLoss < 0 || r.takeProfit < 0 || r.deviation < 0)
        return refuse(order_refusal::BadRequest, "negative stop or deviation");
    const InstrumentRules* rules = FindRules(r.instrument);
    if (!rules || !rules->tradable)
        return refuse(order_result::InvalidPrice, "instrument " + std::to_string(r.instrument));
    // Prices beyond what a market record can carry cannot be compared or charged.
    const double highest = kHighestScaled / PriceScale(*rules);
    if (r.stopLoss > highest || r.takeProfit > highest || r.deviation > highest)
        return refuse(order_refusal::BadRequest, "stop or deviation out of range");
    if (r.price <= 0 || r.price > highest)
        return refuse(order_result::InvalidPrice, "price out of range");
    const LotCheck lotCheck = CheckLots(RecordOf(*rules), r.lots);
    if (lotCheck.verdict != LotVerdict::Allowed) return refuse(order_refusal::BadLots, "lots");
    const Decimal& lots = lotCheck.lots;

    if (!hours_.IsOpen(rules->id, accounts_.Now()))
        return refuse(order_result::MarketClosed, "market closed");
    const Prices q = QuoteOf(rules->id);
    const bool buy = r.direction == direction::Buy;
    const Decimal asked = D(r.price), quoted = buy ? q.askD : q.bidD;
    Decimal base = asked;
    if (market) {
        if (!(quoted > Decimal())) return refuse(order_result::InvalidPrice, "no market price");
        if (r.deviation > 0 && Abs(quoted - asked) > D(r.deviation))
            return refuse(order_result::PriceMoved, "price moved to " + quoted.ToString());
        base = quoted;
    } else if (!PendingClear(asked, quoted, PendingDistance(RecordOf(*rules)))) {
        return refuse(order_result::PendingTooClose, "within the pending distance");
    }
    if (!StopsClear(r.direction, base, D(r.stopLoss), D(r.takeProfit),
                    StopDistance(RecordOf(*rules))))
        return refuse(order_result::StopsTooClose, "stops within the stop distance");

    const double price = base.ToDouble(), quantity = lots.ToDouble();
    const double stopLoss = D(r.stopLoss).ToDouble(), takeProfit = D(r.takeProfit).ToDouble();
    const double margin = MarginFor(*rules, price, quantity);
    const double fee = SideFee(*rules, price, quantity);
    std::int32_t refusal = order_result::Done;
    std::string number;
    const bool ok = Execute(memberId, [&](sqlite3* db, AccountRow& account, std::int64_t now) {
        const Exposure exposure = ExposureOf(db, account, *rules, {}, FloatingOf(memberId));
        if (exposure.units + LotUnits(RecordOf(*rules), quantity) > MaxPositionUnits(*rules)) {
            refusal = order_refusal::BadLots;
            return false;
        }
        if (!FundsCover(exposure.available, margin, fee)) {
            refusal = order_result::NoMargin;
            return false;
        }
        if (market) {
            Opening o;
            o.instrument = rules->id;
            o.direction = r.direction;
            o.lots = quantity;
            o.price = price;
            o.stopLoss = stopLoss;
            o.takeProfit = takeProfit;
            return AddPosition(db, account, o, now, &number);
        }
        OrderRow o{{memberId, rules->id, r.direction, stopLoss, takeProfit}};
        o.quantity = quantity;
        o.price = price;
        o.triggerKind = TriggerFor(r.direction, asked, quoted);
        o.openClose = open_close::Open;
        o.validity = r.validity;
        o.orderTime = now;
        o.frozenMargin = margin;
        o.frozenFee = fee;
        if (!InsertRow(db, o)) return false;
        number = o.orderNumber;
        return true;
    });
    if (ok && !signal.empty()) followed_[signal].emplace_back(memberId, number);
    if (refusal != order_result::Done)
        return refuse(refusal, refusal == order_result::NoMargin ? "free funds too low"
                                                                 : "beyond the position limit");
    if (!ok) return refuse(order_refusal::NoSession, "store failed");
    const std::string what = std::string(buy ? "buy " : "sell ") +
                             Money(quantity, rules->lotDecimals) + " of " +
                             std::to_string(rules->id) + " at " + Money(price, rules->decimals);
    if (note) *note = (market ? "opened " : "waits: ") + what + ", " + number;
    Log(std::to_string(memberId) + (market ? " opened " : " placed ") + what + ", " + number +
        (signal.empty() ? "" : ", programmatic for signal " + signal));
    return order_result::Done;
}

// ---- Changes of positions and orders ----

template <typename Pick>
int ExecutionEngine::CancelWhere(std::int64_t memberId, const char* why, Pick&& pick) {
    int cancelled = 0;
    const bool ok = Execute(memberId, [&](sqlite3* db, AccountRow&, std::int64_t now) {
        for (OrderRow& o : account_rows::LoadWaitingOrders(db, memberId)) {
            if (o.status != order_status::Waiting || !pick(o)) continue;
            if (!CancelOrder(db, o, now)) return false;
            ++cancelled;
        }
        return true;
    });
    if (!ok) return 0;
    if (cancelled > 0)
        Log(std::to_string(memberId) + " cancelled " + std::to_string(cancelled) +
            " programmatic orders: " + why);
    return cancelled;
}

void ExecutionEngine::ModifyStops(std::int64_t memberId, const ModifyStopsRequest& r,
                                  StopsDone done) {
    struct Change {
        std::optional<PositionRow> row;
        std::string note;
    };
    auto change = std::make_shared<Change>();
    Submit([this, change, memberId,
            r] { change->row = ModifyStopsLocked(memberId, r, &change->note); },
           [change, done = std::move(done)](bool committed) {
               if (!committed && change->row) {
                   change->row.reset();
                   change->note = "store failed";
               }
               done(std::move(change->row), std::move(change->note));
           });
}

std::optional<PositionRow> ExecutionEngine::ModifyStops(std::int64_t memberId,
                                                        const ModifyStopsRequest& r,
                                                        std::string* note) {
    using Result = std::pair<std::optional<PositionRow>, std::string>;
    Result result = WaitFor<Result>([&](std::function<void(Result)> answer) {
        ModifyStops(memberId, r, [answer](std::optional<PositionRow> row, std::string why) {
            answer({std::move(row), std::move(why)});
        });
    });
    if (note) *note = std::move(result.second);
    return std::move(result.first);
}

std::optional<PositionRow> ExecutionEngine::ModifyStopsLocked(std::int64_t memberId,
                                                              const ModifyStopsRequest& r,
                                                              std::string* note) {
    std::string why;
    auto refuse = [&](const std::string& reason) {
        if (note) *note = reason;
        return std::optional<PositionRow>();
    };
    const std::string ticket = TextField(r.ticket, sizeof r.ticket);
    if (ticket.empty()) return refuse("no ticket");
    if (!std::isfinite(r.stopLoss) || !std::isfinite(r.takeProfit) || r.stopLoss < 0 ||
        r.takeProfit < 0)
        return refuse("stops not usable");

    std::optional<PositionRow> changed;
    const bool ok = Execute(memberId, [&](sqlite3* db, AccountRow&, std::int64_t now) {
        auto fail = [&](const char* reason) {
            why = reason;
            return false;
        };
        std::optional<PositionRow> p = FindRow<PositionRow>(db, memberId, ticket);
        const InstrumentRules* rules = p ? FindRules(p->instrument) : nullptr;
        if (!rules) return fail("no such position");
        if (p->programmatic != 0) return fail("programmatic position");
        const double highest = kHighestScaled / PriceScale(*rules);
        if (r.stopLoss > highest || r.takeProfit > highest) return fail("stops out of range");
        if (!hours_.IsOpen(rules->id, now)) return fail("market closed");
        // The bounds the client shows: from the ask of a buy, the bid of a sell.
        const Prices q = QuoteOf(rules->id);
        const Decimal base = p->direction == direction::Buy ? q.askD : q.bidD;
        if (!StopsClear(p->direction, base, D(r.stopLoss), D(r.takeProfit),
                        StopDistance(RecordOf(*rules))))
            return fail("stops within the stop distance");
        p->stopLoss = D(r.stopLoss).ToDouble();
        p->takeProfit = D(r.takeProfit).ToDouble();
        if (!UpdateRow(db, *p)) return fail("store failed");
        changed = p;
        return true;
    });
    if (!ok || !changed) return refuse(why.empty() ? "store failed" : why);
    const int decimals = FindRules(changed->instrument)->decimals;
    if (note)
        *note = "stops of " + ticket + ": " + Money(changed->stopLoss, decimals) + " / " +
                Money(changed->takeProfit, decimals);
    Log(std::to_string(memberId) + " set the stops of " + ticket + " to " +
        Money(changed->stopLoss, decimals) + " / " + Money(changed->takeProfit, decimals));
    return changed;
}

void ExecutionEngine::Close(std::int64_t memberId, const PendingOrderRecord& r, Done done) {
    SubmitCode(
        close_result::Done,
        [this, memberId, r](std::string* note) { return CloseLocked(memberId, r, note); },
        std::move(done));
}

std::int32_t ExecutionEngine::Close(std::int64_t memberId, const PendingOrderRecord& r,
                                    std::string* note) {
    return Answered(WaitFor<Answer>([&](Done done) { Close(memberId, r, std::move(done)); }), note);
}

std::int32_t ExecutionEngine::CloseLocked(std::int64_t memberId, const PendingOrderRecord& r,
                                          std::string* note) {
    std::int32_t code = close_result::Done;
    std::string why;
    auto refuse = [&](std::int32_t refusal, const std::string& reason) {
        if (note) *note = reason;
        return refusal;
    };
    const std::string ticket = TextField(r.relatedPosition, sizeof r.relatedPosition);
    for (const double v : {r.quantity, r.price, r.stopLoss})
        if (!std::isfinite(v)) return refuse(order_refusal::BadRequest, "not a number");

    const InstrumentRules* rules = nullptr;
    double price = 0, lots = 0, profit = 0;
    bool whole = false;
    const bool ok = Execute(memberId, [&](sqlite3* db, AccountRow& account, std::int64_t now) {
        auto fail = [&](std::int32_t refusal, const std::string& reason) {
            code = refusal;
            why = reason;
            return false;
        };
        std::optional<PositionRow> p;
        if (!ticket.empty()) p = FindRow<PositionRow>(db, memberId, ticket);
        rules = p ? FindRules(p->instrument) : nullptr;
        if (!rules) return fail(change_refusal::UnknownTrade, "no such position");
        if (p->programmatic != 0)
            return fail(change_refusal::Programmatic, "programmatic position");
        if (r.instrument != p->instrument || r.direction != Opposite(p->direction))
            return fail(order_refusal::BadRequest, "instrument or direction of another trade");
        const double highest = kHighestScaled / PriceScale(*rules);
        if (!(r.price > 0) || r.price > highest)
            return fail(close_result::InvalidPrice, "price out of range");
        // Off the lot step the quantity reads as invalid, which is no quantity.
        const Decimal quantity = LotsOnStep(RecordOf(*rules), r.quantity),
                      held = D(p->heldQuantity);
        if (!(quantity > Decimal()) || quantity > held)
            return fail(close_result::InvalidPrice, "quantity " + D(r.quantity).ToString());
        const Decimal left = held - quantity;
        if (!left.IsZero() && left < D(rules->minLots))
            return fail(close_result::InvalidPrice, "the rest below the minimum lots");
        if (!hours_.IsOpen(rules->id, now))
            return fail(close_result::MarketClosed, "market closed");
        const Prices q = QuoteOf(rules->id);
        const Decimal market = p->direction == direction::Buy ? q.bidD : q.askD;
        if (!(market > Decimal())) return fail(close_result::InvalidPrice, "no market price");
        // A negative deviation is never met.
        if (r.stopLoss != 0 && Abs(market - D(r.price)) > D(r.stopLoss))
            return fail(close_result::PriceMoved, "price moved to " + market.ToString());
        price = market.ToDouble();
        lots = quantity.ToDouble();
        whole = left.IsZero();
        return ClosePart(db, account, *p, lots, price, fill_reason::Market, {}, now, &profit);
    });
    if (code != close_result::Done) return refuse(code, why);
    if (!ok) return refuse(order_refusal::NoSession, "store failed");
    const std::string what = (whole ? "closed " : "closed part of ") + ticket + ": " +
                             Money(lots, rules->lotDecimals) + " at " +
                             Money(price, rules->decimals) + ", profit " + Money(profit, 2);
    if (note) *note = what;
    Log(std::to_string(memberId) + " " + what);
    return close_result::Done;
}

void ExecutionEngine::ModifyOrder(std::int64_t memberId, const PendingOrderRecord& r, Done done) {
    SubmitCode(
        modify_order_result::Done,
        [this, memberId, r](std::string* note) { return ModifyOrderLocked(memberId, r, note); },
        std::move(done));
}

std::int32_t ExecutionEngine::ModifyOrder(std::int64_t memberId, const PendingOrderRecord& r,
                                          std::string* note) {
    return Answered(WaitFor<Answer>([&](Done done) { ModifyOrder(memberId, r, std::move(done)); }),
                    note);
}

std::int32_t ExecutionEngine::ModifyOrderLocked(std::int64_t memberId, const PendingOrderRecord& r,
                                                std::string* note) {
    std::int32_t code = modify_order_result::Done;
    std::string why;
    auto refuse = [&](std::int32_t refusal, const std::string& reason) {
        if (note) *note = reason;
        return refusal;
    };
    const std::string number = TextField(r.orderNumber, sizeof r.orderNumber);
    for (const double v : {r.quantity, r.price, r.stopLoss, r.takeProfit})
        if (!std::isfinite(v)) return refuse(order_refusal::BadRequest, "not a number");
    if (r.stopLoss < 0 || r.takeProfit < 0)
        return refuse(order_refusal::BadRequest, "negative stop");

    OrderRow changed;
    const InstrumentRules* rules = nullptr;
    const bool ok = Execute(memberId, [&](sqlite3* db, AccountRow& account, std::int64_t now) {
        auto fail = [&](std::int32_t refusal, const char* reason) {
            code = refusal;
            why = reason;
            return false;
        };
        std::optional<OrderRow> o;
        if (!number.empty()) o = FindRow<OrderRow>(db, memberId, number);
        rules = o ? FindRules(o->instrument) : nullptr;
        if (!rules || o->status != order_status::Waiting)
            return fail(modify_order_result::NotWaiting, "no such waiting order");
        if (o->validity == order_validity::Programmatic)
            return fail(change_refusal::Programmatic, "programmatic order");
        if (r.validity != order_validity::Today && r.validity != order_validity::ThisWeek)
            return fail(order_refusal::BadRequest, "validity");
        if (r.instrument != o->instrument || r.direction != o->direction)
            return fail(order_refusal::BadRequest, "instrument or direction of another order");
        const double highest = kHighestScaled / PriceScale(*rules);
        if (r.stopLoss > highest || r.takeProfit > highest)
            return fail(order_refusal::BadRequest, "stops out of range");
        if (!(r.price > 0) || r.price > highest)
            return fail(modify_order_result::InvalidPrice, "price out of range");
        const LotCheck lotCheck = CheckLots(RecordOf(*rules), r.quantity);
        if (lotCheck.verdict != LotVerdict::Allowed) return fail(order_refusal::BadLots, "lots");
        const Decimal& lots = lotCheck.lots;
        const bool opening = o->openClose == open_close::Open;
        if (!opening) {
            const std::optional<PositionRow> p =
                FindRow<PositionRow>(db, memberId, o->relatedPosition);
            if (!p) return fail(modify_order_result::NotWaiting, "its position is gone");
            if (lots > D(p->heldQuantity))
                return fail(order_refusal::BadLots, "beyond the position");
        }
        if (!hours_.IsOpen(rules->id, now))
            return fail(modify_order_result::MarketClosed, "market closed");
        const Prices q = QuoteOf(rules->id);
        const Decimal price = D(r.price), quoted = o->direction == direction::Buy ? q.askD : q.bidD;
        if (!PendingClear(price, quoted, PendingDistance(RecordOf(*rules))))
            return fail(modify_order_result::InvalidPrice, "within the pending distance");
        if (!StopsClear(o->direction, price, D(r.stopLoss), D(r.takeProfit),
                        StopDistance(RecordOf(*rules))))
            return fail(modify_order_result::InvalidStops, "stops within the stop distance");
        o->quantity = lots.ToDouble();
        o->price = price.ToDouble();
        o->stopLoss = D(r.stopLoss).ToDouble();
        o->takeProfit = D(r.takeProfit).ToDouble();
        o->validity = r.validity;
        o->triggerKind = TriggerFor(o->direction, price, quoted);
        if (opening) {
            const Exposure exposure =
                ExposureOf(db, account, *rules, o->orderNumber, FloatingOf(memberId));
            if (exposure.units + LotUnits(RecordOf(*rules), o->quantity) > MaxPositionUnits(*rules))
                return fail(order_refusal::BadLots, "beyond the position limit");
            o->frozenMargin = MarginFor(*rules, o->price, o->quantity);
            o->frozenFee = SideFee(*rules, o->price, o->quantity);
            if (!FundsCover(exposure.available, o->frozenMargin, o->frozenFee))
                return fail(modify_order_result::NoMargin, "free funds too low");
        }
        if (!UpdateRow(db, *o)) return false;
        changed = *o;
        return true;
    });
    if (code != modify_order_result::Done) return refuse(code, why);
    if (!ok) return refuse(order_refusal::NoSession, "store failed");
    const std::string what =
        "changed " + number + ": " + Money(changed.quantity, rules->lotDecimals) + " at " +
        Money(changed.price, rules->decimals) + ", validity " + std::to_string(changed.validity);
    if (note) *note = what;
    Log(std::to_string(memberId) + " " + what);
    return modify_order_result::Done;
}

void ExecutionEngine::DeleteOrder(std::int64_t memberId, const std::string& number,
                                  std::int32_t instrument, Done done) {
    SubmitCode(
        1,
        [this, memberId, number, instrument](std::string* note) {
            return DeleteOrderLocked(memberId, number, instrument, note) ? 1 : 0;
        },
        std::move(done));
}

bool ExecutionEngine::DeleteOrder(std::int64_t memberId, const std::string& number,
                                  std::int32_t instrument, std::string* note) {
    return Answered(WaitFor<Answer>([&](Done done) {
                        DeleteOrder(memberId, number, instrument, std::move(done));
                    }),
                    note) == 1;
}

bool ExecutionEngine::DeleteOrderLocked(std::int64_t memberId, const std::string& number,
                                        std::int32_t instrument, std::string* note) {
    std::string why = "store failed";
    bool deleted = false;
    Execute(memberId, [&](sqlite3* db, AccountRow&, std::int64_t now) {
        std::optional<OrderRow> o;
        if (!number.empty()) o = FindRow<OrderRow>(db, memberId, number);
        if (!o || o->status != order_status::Waiting ||
            (instrument != 0 && o->instrument != instrument)) {
            why = "no such waiting order";
            return false;
        }
        if (o->validity == order_validity::Programmatic) {
            why = "programmatic order";
            return false;
        }
        deleted = CancelOrder(db, *o, now);
        return deleted;
    });
    if (note) *note = deleted ? "cancelled " + number : why;
    if (deleted) Log(std::to_string(memberId) + " cancelled " + number);
    return deleted;
}

// ---- Programmatic trading ----

int ExecutionEngine::CancelProgrammatic(std::int64_t memberId) {
    int cancelled = 0;
    const bool committed = Run([&] {
        cancelled = CancelWhere(memberId, "programmatic trading turned off", [](const OrderRow& o) {
            return o.validity == order_validity::Programmatic;
        });
    });
    return committed ? cancelled : 0;
}

void ExecutionEngine::FollowSignal(const SignalRecord& signal) {
    // Every member's programmatic order of one signal goes into one commit.
    Run([&] { FollowSignalLocked(signal); });
}

void ExecutionEngine::FollowSignalLocked(const SignalRecord& signal) {
    const std::string key = SignalKey(signal);
    if (IsWithdrawal(signal)) {
        auto it = followed_.find(key);
        if (it == followed_.end()) return;
        std::unordered_map<std::int64_t, std::vector<std::string>> byMember;
        for (auto& [member, number] : it->second) byMember[member].push_back(std::move(number));
        followed_.erase(it);
        for (const auto& [member, numbers] : byMember)
            CancelWhere(member, "their signal was withdrawn",
                        [&numbers = numbers](const OrderRow& o) {
                            return o.validity == order_validity::Programmatic &&
                                   std::find(numbers.begin(), numbers.end(), o.orderNumber) !=
                                       numbers.end();
                        });
        return;
    }
    // A republication repeats a signal already followed.
    if (!followed_.emplace(key, std::vector<std::pair<std::int64_t, std::string>>{}).second) return;
    const InstrumentRules* rules = FindRules(signal.instrument);
    if (!rules || !rules->tradable) return;
    const float scale = static_cast<float>(PriceScale(*rules));
    OpenOrderRequest r{};
    r.instrument = rules->id;
    r.price = static_cast<float>(signal.price) / scale;
    r.stopLoss = static_cast<float>(signal.stopLoss) / scale;
    r.lots = SignalLots(*rules, signal.lots);
    r.orderKind = order_kind::Pending;
    r.direction = signal.side == signal_side::Support ? direction::Buy : direction::Sell;
    r.validity = order_validity::Programmatic;
    for (const Member& m : store_.Members()) {
        // Members whose state does not log in (2, 3, 9) do not trade.
        if (m.programTrading != 1 || (m.state != 1 && m.state != 4)) continue;
        std::string why;
        if (Place(m.id, r, key, &why) != order_result::Done)
            Log(std::to_string(m.id) + " does not follow signal " + key + ": " + why);
    }
}

// ---- Prices ----

void ExecutionEngine::OnTick(const Tick& tick) {
    Run([&] { OnTickLocked(tick); });
}

void ExecutionEngine::OnTickLocked(const Tick& tick) {
    const InstrumentRules* rules = FindRules(tick.instrument);
    if (!rules || tick.price <= 0) return;
    if (keepPrices_) KeepPrice(tick);
    Side& side = sides_[static_cast<std::size_t>(rules->id)];
    side.quote = PricesOf(*rules, tick.price);
    const std::uint64_t mark = ++mark_;
    touched_.clear();
    for (Position* p : side.positions) {
        const Decimal profit = ProfitOf(*p);
        p->book->floating += profit - p->profit;
        p->profit = profit;
        if (p->book->mark != mark) {
            p->book->mark = mark;
            touched_.push_back(p->member);
        }
    }
    const std::int64_t now = accounts_.Now();
    if (!hours_.IsOpen(rules->id, now)) return;

    // What this price sets off, by the rules the client checks it with.
    const zq::Quote& q = side.quote.at;
    const auto stopDue = [&](const Position& p) -> std::optional<Due> {
        switch (StopHitAt(p.direction, p.stopLoss, p.takeProfit, q, rules->decimals)) {
            case StopHit::TakeProfit:
                return Due{p.member, p.ticket, fill_reason::TakeProfit, p.takeProfit};
            case StopHit::StopLoss:
                return Due{p.member, p.ticket, fill_reason::StopLoss, p.stopLoss};
            case StopHit::None:
                break;
        }
        return std::nullopt;
    };
    std::vector<Due> stops, fills;
    for (const Position* p : side.positions)
        if (std::optional<Due> due = stopDue(*p)) stops.push_back(std::move(*due));
    for (const Order* o : side.orders)
        if (PendingDue(o->direction, o->triggerKind, o->price, q, rules->decimals))
            fills.push_back({o->member, o->number, fill_reason::Limit, o->price});
    for (const Due& d : stops) CloseAtStop(d);
    std::vector<std::string> opened;
    for (const Due& d : fills) {
        std::string ticket;
        if (FillOrder(d, &ticket) && !ticket.empty()) opened.push_back(std::move(ticket));
        if (std::find(touched_.begin(), touched_.end(), d.member) == touched_.end())
            touched_.push_back(d.member);
    }
    // A position opened by this price meets its stops at this same price: a limit order that
    // fills beyond its own stop-loss closes at once rather than at the next price.
    stops.clear();
    for (const Position* p : side.positions)
        if (std::find(opened.begin(), opened.end(), p->ticket) != opened.end())
            if (std::optional<Due> due = stopDue(*p)) stops.push_back(std::move(*due));
    for (const Due& d : stops) CloseAtStop(d);
    for (std::int64_t m : touched_) MarginCalls(m, now);
}

// A position gone or an order no longer waiting (the settlement of a new day cancelled it)
// leaves nothing to do but the settlement, which is kept.
bool ExecutionEngine::CloseAtStop(const Due& due) {
    const Side* side = nullptr;
    double price = 0, profit = 0;
    const bool ok = Execute(due.member, [&](sqlite3* db, AccountRow& account, std::int64_t now) {
        std::optional<PositionRow> p = FindRow<PositionRow>(db, due.member, due.number);
        if (!p) return true;
        side = &sides_[static_cast<std::size_t>(p->instrument)];
        price =
            TradePrice(Opposite(p->direction), D(due.trigger), side->quote.askD, side->quote.bidD)
                .ToDouble();
        return ClosePart(db, account, *p, p->heldQuantity, price, due.reason, {}, now, &profit);
    });
    if (!ok || !side) return false;
    Log(std::to_string(due.member) + " closed " + due.number + " at " +
        Money(price, side->rules->decimals) + ", " + ReasonName(due.reason) + ", profit " +
        Money(profit, 2));
    return true;
}

bool ExecutionEngine::FillOrder(const Due& due, std::string* opened) {
    std::string ticket;
    bool opening = false;
    double price = 0;
    const InstrumentRules* rules = nullptr;
    const bool ok = Execute(due.member, [&](sqlite3* db, AccountRow& account, std::int64_t now) {
        std::optional<OrderRow> o = FindRow<OrderRow>(db, due.member, due.number);
        if (!o || o->status != order_status::Waiting || !FindRules(o->instrument)) return true;
        rules = FindRules(o->instrument);
        const Prices& q = sides_[static_cast<std::size_t>(o->instrument)].quote;
        price = TradePrice(o->direction, D(o->price), q.askD, q.bidD).ToDouble();
        o->status = order_status::Filled;
        o->doneTime = now;
        if (o->openClose == open_close::Open) {
            if (!UpdateRow(db, *o)) return false;
            Opening n;
            n.instrument = o->instrument;
            n.direction = o->direction;
            n.lots = o->quantity;
            n.price = price;
            n.stopLoss = o->stopLoss;
            n.takeProfit = o->takeProfit;
            n.orderNumber = o->orderNumber;
            n.reason = fill_reason::Limit;
            n.programmatic = o->validity == order_validity::Programmatic ? 1 : 0;
            opening = true;
            return AddPosition(db, account, n, now, &ticket);
        }
        // A closing order: its position, or what is left of it; without one it is void.
        std::optional<PositionRow> p = FindRow<PositionRow>(db, due.member, o->relatedPosition);
        if (!p || p->direction == o->direction) o->status = order_status::Cancelled;
        if (!UpdateRow(db, *o)) return false;
        if (o->status == order_status::Cancelled) return true;
        ticket = p->ticket;
        return ClosePart(db, account, *p, o->quantity, price, fill_reason::Limit, o->orderNumber,
                         now, nullptr);
    });
    if (!ok || !rules) return false;
    if (opened && opening) *opened = ticket;
    Log(std::to_string(due.member) + " filled " + due.number +
        (ticket.empty() ? std::string(": its position is gone, cancelled")
                        : " at " + Money(price, rules->decimals) + ", position " + ticket));
    return true;
}

void ExecutionEngine::MarginCalls(std::int64_t memberId, std::int64_t now) {
    // Each round closes one position or stops; a book has finitely many.
    for (;;) {
        auto it = books_.find(memberId);
        if (it == books_.end()) return;
        const Book& book = it->second;
        const Decimal equity = book.fixed + book.floating;
        if (!MarginCallDue(equity, D(book.occupied))) return;
        const float risk = RiskRate(equity.ToDouble(), book.occupied);
        // The worst position first: the most negative floating profit/loss, in an open market.
        const Position* worst = nullptr;
        for (const auto& p : book.positions)
            if (hours_.IsOpen(p->instrument, now) && (!worst || p->profit < worst->profit))
                worst = p.get();
        if (!worst) return;
        const Prices& q = sides_[static_cast<std::size_t>(worst->instrument)].quote;
        const Due due{memberId, worst->ticket, fill_reason::MarginCall,
                      (worst->direction == direction::Buy ? q.bidD : q.askD).ToDouble()};
        Log(std::to_string(memberId) + " risk rate " + Money(risk, 2) +
            " at the margin-call level");
        if (!CloseAtStop(due)) return;
    }
}

// ---- Expiry ----

int ExecutionEngine::ExpireDue() {
    int settled = 0;
    const bool committed = Run([&] { settled = ExpireDueLocked(); });
    return committed ? settled : 0;
}

int ExecutionEngine::ExpireDueLocked() {
    const std::int64_t now = accounts_.Now();
    std::vector<std::int64_t> due;
    for (const auto& [id, book] : books_)
        if (book.expiry != 0 && book.expiry <= now) due.push_back(id);
    int settled = 0;
    for (std::int64_t m : due) {
        // The account's settlement on the new day cancels the orders that ran out.
        if (Execute(m, [](sqlite3*, AccountRow&, std::int64_t) { return true; })) {
            ++settled;
            Log(std::to_string(m) + " settled: day or week orders ran out");
        }
        // A book still due (a clock set back) waits for its settlement on access.
        auto it = books_.find(m);
        if (it != books_.end() && it->second.expiry != 0 && it->second.expiry <= now)
            it->second.expiry = 0;
    }
    return settled;
}

}  // namespace zq::server
