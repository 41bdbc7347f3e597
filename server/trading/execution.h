// The execution engine: it opens positions for new orders (command 11), and on every market price
// fills the pending orders whose price is reached, closes the positions whose stop-loss or
// take-profit is reached and liquidates members at the margin-call level. docs/server.md,
// "Order execution", states every rule.
//
// The engine keeps an index in memory of what a price can set off: per instrument the open
// positions (whose floating profit/loss moves with it, and whose stops are watched) and the
// waiting orders; per member the account's money. It is read from the store at start and read
// again for a member after every change the engine makes or hears of, from the member's open
// positions and waiting orders only (never the cancelled and filled ones), so a price costs work
// for the positions and orders of its instrument only, and an order for its member's open
// trades only. The store stays the truth: an execution reads its rows again inside its
// transaction, and brings the account to today first.
//
// Every change runs on the engine's execution thread, one after another in the order they came:
// orders, prices, expiry and signals alike. What queues while one group commits forms the next
// group: one transaction (each change in a savepoint of its own, so a refused or failing change
// is undone alone) and one synchronous commit for all. A caller hears its answer only after the
// group that holds its change has been committed durably; when the commit fails, every change of
// the group is reported as a store failure and the index is read again.
//
// The market's own clock does not wait: its prices go on to the push links at once and their
// triggers are executed after, in order. A price set by hand (SetPrice, Step from a caller)
// returns once it has been executed. Orders are judged at the last price the engine executed.
//
// Thread-safe. Lock order: the engine, then the store; the market's dispatch lock may be held
// around OnTick.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "market/wire/signal_record.h"
#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "server/market/trading_hours.h"
#include "server/store/store.h"
#include "server/trading/account_rows.h"
#include "server/trading/accounts.h"
#include "trading/wire/decimal.h"
#include "trading/wire/order_requests.h"

namespace zq::server {

// Answers of command 11 beside those of order_result; commands 14 and 18 use them as well.
namespace order_refusal {
constexpr std::int32_t NoSession = 0;   // no session, or the store failed
constexpr std::int32_t BadLots = 8;     // lots outside the instrument's rules or its position limit
constexpr std::int32_t BadRequest = 9;  // order kind, direction, validity or a figure not usable
}  // namespace order_refusal

// Answers of commands 14 and 18 beside those of modify_order_result and close_result: codes the
// client shows as "未知错误".
namespace change_refusal {
// 18: the ticket names no open position of the caller (another member's is no different).
constexpr std::int32_t UnknownTrade = 7;
// 14 and 18: the order or position is programmatic, the server's own.
constexpr std::int32_t Programmatic = 10;
}  // namespace change_refusal

class ExecutionEngine {
  public:
    ExecutionEngine(Store& store, Market& market, const Accounts& accounts,
                    const TradingHours& hours)
        : store_(store), market_(market), accounts_(accounts), hours_(hours) {}
    ~ExecutionEngine();
    ExecutionEngine(const ExecutionEngine&) = delete;
    ExecutionEngine& operator=(const ExecutionEngine&) = delete;

    // Reads the index from the store, listens to the market and starts the expiry clock (a check
    // every second; tests that call ExpireDue themselves go without). Start it before anyone
    // else who passes prices on listens. Idempotent. The signals of an earlier run are gone, so
    // the programmatic orders still waiting for them are cancelled first.
    void Start(bool expiryClock = true);
    // Stops listening and the expiry clock. Idempotent.
    void Stop();

    // The answer of an order command once its group has been committed: its code and what was
    // done or why not, for the log.
    struct Answer {
        std::int32_t code = order_refusal::NoSession;
        std::string note;
    };
    // Asynchronous order commands call `done` once the group that holds the change has been
    // committed (or its commit failed), on the execution thread: `done` must only hand the
    // answer on. A caller that waits for it must not be the execution thread.
    using Done = std::function<void(Answer)>;

    // Command 11 for the member: an order_result code or an order_refusal code.
    void Open(std::int64_t memberId, const OpenOrderRequest& request, Done done);
    // Command 18: closes all or part of the member's position at the market; a close_result
    // code, order_refusal::NoSession / BadRequest or a change_refusal code.
    void Close(std::int64_t memberId, const PendingOrderRecord& r, Done done);
    // Command 14: the member's waiting order gets the request's quantity, price, stops and
    // validity; a modify_order_result code or a refusal code.
    void ModifyOrder(std::int64_t memberId, const PendingOrderRecord& r, Done done);
    // Command 15: cancels the member's waiting order `number` of `instrument`; 1 when it did, 0
    // when there is none, it is programmatic or the store failed.
    void DeleteOrder(std::int64_t memberId, const std::string& number, std::int32_t instrument,
                     Done done);
    // Command 13: the member's open position `r.ticket` gets the stops of the request (0 =
    // none); `done` gets the position as it now stands, or nothing when refused.
    using StopsDone = std::function<void(std::optional<PositionRow>, std::string note)>;
    void ModifyStops(std::int64_t memberId, const ModifyStopsRequest& r, StopsDone done);

    // The same, waiting for the answer. `note` (if given) says what was done or why not.
    std::int32_t Open(std::int64_t memberId, const OpenOrderRequest& request,
                      std::string* note = nullptr);
    std::optional<PositionRow> ModifyStops(std::int64_t memberId, const ModifyStopsRequest& r,
                                           std::string* note = nullptr);
    std::int32_t Close(std::int64_t memberId, const PendingOrderRecord& r,
                       std::string* note = nullptr);
    std::int32_t ModifyOrder(std::int64_t memberId, const PendingOrderRecord& r,
                             std::string* note = nullptr);
    bool DeleteOrder(std::int64_t memberId, const std::string& number, std::int32_t instrument,
                     std::string* note = nullptr);

    // Programmatic trading. A published signal places a programmatic order (validity 3) for
    // every member whose flag is on; its withdrawal cancels those still waiting; a
    // republication changes nothing. Call it before the record goes out on the push links.
    void FollowSignal(const SignalRecord& signal);
    // Cancels the member's waiting programmatic orders (the flag turned off); how many.
    int CancelProgrammatic(std::int64_t memberId);

    // One market price (the market listener): fills, stops and margin calls of its instrument.
    void OnTick(const Tick& tick);
    // Settles the accounts whose day or week orders have run out by now (which cancels them);
    // the number of accounts settled. The expiry clock calls it every second.
    int ExpireDue();
    // The member's account changed outside the engine (a settlement): reads it again.
    void Reload(std::int64_t memberId);

    // What the index holds, for tests and the log.
    struct Counts {
        std::size_t members = 0, positions = 0, orders = 0;
    };
    Counts Indexed() const;
    // Every execution is logged unless turned off (benchmarks).
    void SetLogging(bool on) { logging_ = on; }
    // Keeps every price the engine executes in the store's market prices, in the same commit as
    // the trades it sets off, so a restart goes on from a price that was executed and never
    // fills at a price that is not kept. Set before Start().
    void SetPriceKeeping(bool on) { keepPrices_ = on; }

    // The most changes one commit carries.
    static constexpr std::size_t kMaxGroup = 256;

  private:
    struct Book;
    // An open position as the index holds it.
    struct Position {
        Book* book;
        std::int64_t member;
        std::string ticket;
        std::int32_t instrument, direction;
        double stopLoss, takeProfit;  // 0 = none
        Decimal open;
        Decimal perPoint;  // 10^decimals x point value x held lots: yuan per price unit
        Decimal profit;    // floating, at the instrument's last price
    };
    // A waiting order.
    struct Order {
        std::int64_t member;
        std::string number;
        std::int32_t instrument, direction, triggerKind, validity;
        double price;
    };
    // A member's account: its positions and waiting orders, and its money.
    struct Book {
        std::vector<std::unique_ptr<Position>> positions;
        std::vector<std::unique_ptr<Order>> orders;
        double occupied = 0;
        Decimal fixed;            // free funds + occupied + frozen margin + frozen fees
        Decimal floating;         // the positions' floating profit/loss summed
        std::int64_t expiry = 0;  // when its day or week orders run out; 0 = none wait
        std::uint64_t mark = 0;   // the price that last touched it
    };
    // The prices of an instrument as the client computes them from its last market record,
    // with the ask and bid as shown (at the instrument's decimals).
    struct Prices {
        zq::Quote at;
        Decimal askD, bidD;
    };
    struct Side {
        const InstrumentRules* rules = nullptr;
        Decimal pointMoney;  // 10^decimals x point value: a price difference in yuan a lot
        Prices quote;
        std::vector<Position*> positions;
        std::vector<Order*> orders;
    };
    struct Due {
        std::int64_t member;
        std::string number;  // ticket or order number
        std::int32_t reason;
        double trigger;  // the stop's price
    };

    // A change waiting for the execution thread, and who hears when its group is committed.
    struct Job {
        std::function<void()> work;
        std::function<void(bool committed)> then;
    };

    static Prices PricesOf(const InstrumentRules& rules, std::int32_t scaled);
    // The instrument's last price the engine executed.
    const Prices& QuoteOf(std::int32_t instrument) const;
    Decimal ProfitOf(const Position& p) const;

    // Runs `work` on the execution thread in the next group and calls `then(committed)` there
    // once that group has been committed (false: its commit failed). Without the thread, runs
    // both here, `work` under the lock.
    void Submit(std::function<void()> work, std::function<void(bool committed)> then);
    // Submit, waiting until the group has been committed; false when its commit failed. On the
    // execution thread (inside its group), runs `work` at once.
    bool Run(const std::function<void()>& work);
    // Submits `work(note)`, whose answer is `done` when its change was made; a change made but
    // not committed is answered as a store failure.
    void SubmitCode(std::int32_t madeCode, std::function<std::int32_t(std::string*)> work,
                    Done done);
    // Queues a price of the market's clock without waiting.
    void Post(const Tick& tick);
    void RunExecutor();
    bool RunGroup(const std::vector<std::shared_ptr<Job>>& group);
    // The answer `code` of a change whose group was (not) committed: a change done but not kept
    // is a store failure.
    static std::int32_t Kept(bool committed, std::int32_t code, std::int32_t done,
                             std::string* note);
    void KeepPrice(const Tick& tick);

    // What the public calls of the same names do, on the execution thread.
    std::optional<PositionRow> ModifyStopsLocked(std::int64_t memberId, const ModifyStopsRequest& r,
                                                 std::string* note);
    std::int32_t CloseLocked(std::int64_t memberId, const PendingOrderRecord& r, std::string* note);
    std::int32_t ModifyOrderLocked(std::int64_t memberId, const PendingOrderRecord& r,
                                   std::string* note);
    bool DeleteOrderLocked(std::int64_t memberId, const std::string& number,
                           std::int32_t instrument, std::string* note);
    void FollowSignalLocked(const SignalRecord& signal);
    void OnTickLocked(const Tick& tick);
    int ExpireDueLocked();

    // Index maintenance; the lock is held.
    void LoadBook(sqlite3* db, std::int64_t memberId);
    void Forget(std::int64_t memberId);
    void ReloadLocked(std::int64_t memberId);

    // Runs `change(db, account, now)` in one transaction after bringing the account to today
    // (opening it first for a member without one), saves the account and reads the member's
    // index entry again. False when `change` refused or the store failed.
    template <typename Change>
    bool Execute(std::int64_t memberId, Change&& change);

    // Command 11 and the programmatic orders: `signal` names the signal a programmatic order
    // (validity 3) follows; empty for the member's own orders.
    std::int32_t Place(std::int64_t memberId, const OpenOrderRequest& r, const std::string& signal,
                       std::string* note);
    // Cancels the member's waiting orders that `pick(order)` selects; how many.
    template <typename Pick>
    int CancelWhere(std::int64_t memberId, const char* why, Pick&& pick);

    bool CloseAtStop(const Due& due);
    // Fills a waiting order at the current price; `opened` takes the ticket of the position an
    // opening order made.
    bool FillOrder(const Due& due, std::string* opened);
    // The floating profit/loss of the member's positions at the current prices.
    Decimal FloatingOf(std::int64_t memberId) const;
    void MarginCalls(std::int64_t memberId, std::int64_t now);
    void Log(const std::string& line) const;

    Store& store_;
    Market& market_;
    const Accounts& accounts_;
    const TradingHours& hours_;
    bool logging_ = true;

    mutable std::mutex mutex_;
    std::array<Side, kInstrumentCount + 1> sides_{};
    std::unordered_map<std::int64_t, Book> books_;
    std::uint64_t mark_ = 0;
    // The members the current price concerns: positions in its market, or an order it filled.
    std::vector<std::int64_t> touched_;
    // The active signals followed, by identity: the programmatic orders each placed.
    std::unordered_map<std::string, std::vector<std::pair<std::int64_t, std::string>>> followed_;
    std::optional<Market::ListenerId> listener_;

    std::mutex clockMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread clock_;

    bool keepPrices_ = false;
    bool priceFailing_ = false;
    // Under the engine lock: a group's transaction is open, and the members it changed.
    bool grouped_ = false;
    std::vector<std::int64_t> groupMembers_;

    std::mutex queueMutex_;
    std::condition_variable queueWake_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool executing_ = false, stopExecutor_ = false;
    std::thread::id executorId_;
    std::thread executor_;
};

}  // namespace zq::server
