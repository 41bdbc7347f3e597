// The simulated market: every instrument of the catalogue has a current price that moves by a
// random walk on the market's own thread, one step every interval (500 ms unless told
// otherwise).
//
// The walk is geometric, so a price never reaches zero, and drifts slowly back towards the
// instrument's opening price (a tenth of the distance a day), so that a server that runs for
// weeks still quotes realistic prices. Each step moves the logarithm of the price by a normal
// draw whose standard deviation is the instrument's daily volatility scaled to the step
// (sqrt(step / 1 day)). Prices are kept as integers scaled by 10^decimals, the way market
// records carry them; a step that does not change that integer is not a new price.
//
// Draws come from the server's seeded generator, so a run with the same --seed walks the same
// way (as long as nothing else draws from that generator in between).
//
// Listeners hear of every new price: after each step, once for every instrument whose price
// changed, and after SetPrice. They run on the thread that made the price (the market thread,
// or the caller of SetPrice / Step), one at a time and in the order the prices were made, with
// no market lock but the dispatch lock held: a listener must be quick (queue the tick and
// return), may call Price()/Current(), and must not call SetPrice, Step, Start or Stop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "server/market/catalogue.h"
#include "server/store/random.h"

namespace zq::server {

class Store;
}  // namespace zq::server
struct sqlite3;
namespace zq::server {

// One price of one instrument.
struct Tick {
    std::int32_t instrument = 0;
    std::int32_t decimals = 0;
    std::int32_t price = 0;      // scaled by 10^decimals; always > 0
    std::uint64_t sequence = 0;  // counts the market's new prices, from 1; 0 before the first
    std::chrono::system_clock::time_point time{};
};

class Market {
  public:
    using Listener = std::function<void(const Tick&)>;
    using ListenerId = std::uint64_t;

    static constexpr std::chrono::milliseconds kDefaultInterval{500};

    // Every instrument starts at its opening price.
    explicit Market(SeededRandom& random);
    ~Market();
    Market(const Market&) = delete;
    Market& operator=(const Market&) = delete;

    // The current scaled price; 0 for an id outside the catalogue.
    std::int32_t Price(std::int32_t instrument) const;
    std::optional<Tick> Current(std::int32_t instrument) const;
    // The current prices of all instruments, by id.
    std::vector<Tick> Snapshot() const;
    // The instrument's record (command 1) with last, ask and bid at the current price; a zeroed
    // record carrying only the id for an id outside the catalogue.
    InstrumentRecord QuotedRecord(std::int32_t instrument) const;

    ListenerId AddListener(Listener listener);
    // Once this returns the listener is not running and is not called again (called from
    // within a listener, it returns at once and the current call is the last).
    void RemoveListener(ListenerId id);

    // Sets a price (scaled, > 0; others are ignored) and tells the listeners; the walk goes on
    // from there. For tests and for setting the scene.
    void SetPrice(std::int32_t instrument, std::int32_t scaled);
    // Prices saved by an earlier run, taken without telling anyone. Unknown ids and prices of
    // 0 or less are skipped.
    void Restore(const std::vector<std::pair<std::int32_t, std::int32_t>>& prices);

    // Which prices the walk moves: a step leaves the price of an instrument for which `moves`
    // says false where it is (its draw is made all the same, so the others walk as they would).
    // Called with the market's price lock held: it must not call back into the market. Set
    // before Start(); without one every price moves.
    void SetMoving(std::function<bool(std::int32_t instrument)> moves);

    // Called around the handing out of each step's prices (Step, SetPrice), with the dispatch
    // lock held: `begin` before the listeners hear the first price, `end` after the last. Set
    // before Start().
    void SetStepHooks(std::function<void()> begin, std::function<void()> end);

    // One step of the walk for every instrument.
    void Step();
    // True on the thread that Start() runs the walk on: its listeners must not wait on anything
    // slow, for every price of a step waits behind them.
    bool OnClockThread() const { return clockThread_.load() == std::this_thread::get_id(); }
    // Steps every `interval` on the market's own thread until Stop(); an interval of 0 starts
    // nothing (the prices stand still). Idempotent. `begin` runs first on that thread (its name
    // and priority).
    void Start(std::chrono::milliseconds interval, std::function<void()> begin = nullptr);
    void Stop();

  private:
    struct State {
        const InstrumentRules* rules;
        double logPrice;
        double anchor;  // log of the opening price
        std::int32_t scaled;
        std::uint64_t sequence;  // of the last new price; 0 for the opening price
        std::chrono::system_clock::time_point time;
    };
    struct Subscriber {
        ListenerId id;
        std::shared_ptr<Listener> listener;
    };

    double Normal();
    void Dispatch(const std::vector<Tick>& ticks);

    SeededRandom& random_;
    std::chrono::milliseconds interval_ = kDefaultInterval;

    // Held while prices are made and handed to the listeners, so that they hear them in order;
    // recursive so that a listener may remove itself.
    std::recursive_mutex dispatchMutex_;

    mutable std::mutex priceMutex_;
    std::vector<State> states_;
    std::uint64_t sequence_ = 0;
    std::function<bool(std::int32_t)> moving_;

    std::function<void()> stepBegins_, stepEnds_;

    std::mutex listenerMutex_;
    std::vector<Subscriber> subscribers_;
    ListenerId nextListener_ = 1;

    std::mutex threadMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> clockThread_{};
};

// The prices of the last run, kept in the store so that a restarted server goes on from where
// it stopped.
std::vector<std::pair<std::int32_t, std::int32_t>> LoadMarketPrices(Store& store);
bool SaveMarketPrices(Store& store, const Market& market);
// Keeps these prices (one transaction); the others stay as they were.
bool SaveMarketTicks(Store& store, const std::vector<Tick>& ticks);
// The same on a connection the caller holds, inside its transaction.
bool SaveMarketTicks(sqlite3* db, const std::vector<Tick>& ticks);

}  // namespace zq::server
