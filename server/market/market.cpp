#include "server/market/market.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "server/store/store.h"

namespace zq::server {
namespace {

// How fast a price drifts back to its opening price: this share of the distance (in log
// terms) a day.
constexpr double kReversionPerDay = 0.1;
// A price never strays further than this factor from its opening price.
constexpr double kMaxFactor = 5.0;
constexpr double kSecondsPerDay = 86400.0;

std::int32_t ScaledOf(const InstrumentRules& rules, double logPrice) {
    const double scaled = std::exp(logPrice) * PriceScale(rules);
    const double capped =
        std::clamp(std::round(scaled), 1.0, double{std::numeric_limits<std::int32_t>::max()});
    return static_cast<std::int32_t>(capped);
}

}  // namespace

Market::Market(SeededRandom& random) : random_(random) {
    for (const InstrumentRules& r : Catalogue()) {
        const double anchor = std::log(r.openingPrice);
        states_.push_back(
            {&r, anchor, anchor, ScaledOf(r, anchor), 0, std::chrono::system_clock::now()});
    }
}

Market::~Market() {
    Stop();
}

std::int32_t Market::Price(std::int32_t instrument) const {
    std::lock_guard<std::mutex> lock(priceMutex_);
    if (instrument < 1 || instrument > static_cast<std::int32_t>(states_.size())) return 0;
    return states_[static_cast<std::size_t>(instrument - 1)].scaled;
}

std::optional<Tick> Market::Current(std::int32_t instrument) const {
    std::lock_guard<std::mutex> lock(priceMutex_);
    if (instrument < 1 || instrument > static_cast<std::int32_t>(states_.size()))
        return std::nullopt;
    const State& s = states_[static_cast<std::size_t>(instrument - 1)];
    return Tick{instrument, s.rules->decimals, s.scaled, s.sequence, s.time};
}

std::vector<Tick> Market::Snapshot() const {
    std::lock_guard<std::mutex> lock(priceMutex_);
    std::vector<Tick> out;
    for (const State& s : states_)
        out.push_back({s.rules->id, s.rules->decimals, s.scaled, s.sequence, s.time});
    return out;
}

InstrumentRecord Market::QuotedRecord(std::int32_t instrument) const {
    const InstrumentRules* rules = FindRules(instrument);
    if (!rules) {
        InstrumentRecord none{};
        none.id = instrument;
        return none;
    }
    return MakeInstrumentRecord(*rules, Price(instrument));
}

Market::ListenerId Market::AddListener(Listener listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    const ListenerId id = nextListener_++;
    subscribers_.push_back({id, std::make_shared<Listener>(std::move(listener))});
    return id;
}

void Market::RemoveListener(ListenerId id) {
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        std::erase_if(subscribers_, [id](const Subscriber& s) { return s.id == id; });
    }
    // Wait for a dispatch that may still be calling it (a listener calling this holds the
    // recursive lock already and goes straight through).
    std::lock_guard<std::recursive_mutex> wait(dispatchMutex_);
}

void Market::SetStepHooks(std::function<void()> begin, std::function<void()> end) {
    std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
    stepBegins_ = std::move(begin);
    stepEnds_ = std::move(end);
}

void Market::Dispatch(const std::vector<Tick>& ticks) {
    if (ticks.empty()) return;
    if (stepBegins_) stepBegins_();
    for (const Tick& tick : ticks) {
        std::vector<Subscriber> current;
        {
            std::lock_guard<std::mutex> lock(listenerMutex_);
            current = subscribers_;
        }
        for (const Subscriber& s : current) {
            bool stillThere;
            {
                std::lock_guard<std::mutex> lock(listenerMutex_);
                stillThere = std::any_of(subscribers_.begin(), subscribers_.end(),
                                         [&](const Subscriber& x) { return x.id == s.id; });
            }
            if (stillThere) (*s.listener)(tick);
        }
    }
    if (stepEnds_) stepEnds_();
}

void Market::SetPrice(std::int32_t instrument, std::int32_t scaled) {
    if (scaled <= 0) return;
    std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
    std::vector<Tick> ticks;
    {
        std::lock_guard<std::mutex> lock(priceMutex_);
        if (instrument < 1 || instrument > static_cast<std::int32_t>(states_.size())) return;
        State& s = states_[static_cast<std::size_t>(instrument - 1)];
        s.scaled = scaled;
        s.logPrice = std::log(FromScaled(*s.rules, scaled));
        s.sequence = ++sequence_;
        s.time = std::chrono::system_clock::now();
        ticks.push_back({instrument, s.rules->decimals, scaled, s.sequence, s.time});
    }
    Dispatch(ticks);
}

void Market::Restore(const std::vector<std::pair<std::int32_t, std::int32_t>>& prices) {
    std::lock_guard<std::mutex> lock(priceMutex_);
    for (const auto& [instrument, scaled] : prices) {
        if (instrument < 1 || instrument > static_cast<std::int32_t>(states_.size()) || scaled <= 0)
            continue;
        State& s = states_[static_cast<std::size_t>(instrument - 1)];
        const double logPrice = std::log(FromScaled(*s.rules, scaled));
        if (std::abs(logPrice - s.anchor) > std::log(kMaxFactor)) continue;
        s.scaled = scaled;
        s.logPrice = logPrice;
    }
}

double Market::Normal() {
    // Box-Muller; 1 - Unit() lies in (0, 1], so the logarithm is finite.
    const double u1 = 1.0 - random_.Unit();
    const double u2 = random_.Unit();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

void Market::SetMoving(std::function<bool(std::int32_t)> moves) {
    std::lock_guard<std::mutex> lock(priceMutex_);
    moving_ = std::move(moves);
}

void Market::Step() {
    std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
    std::vector<Tick> ticks;
    {
        std::lock_guard<std::mutex> lock(priceMutex_);
        const double days = std::chrono::duration<double>(interval_).count() / kSecondsPerDay;
        const double root = std::sqrt(days);
        const double band = std::log(kMaxFactor);
        const auto now = std::chrono::system_clock::now();
        for (State& s : states_) {
            const double drift = -kReversionPerDay * (s.logPrice - s.anchor) * days;
            const double move = drift + s.rules->dailyVolatility * root * Normal();
            if (moving_ && !moving_(s.rules->id)) continue;
            s.logPrice += move;
            s.logPrice = std::clamp(s.logPrice, s.anchor - band, s.anchor + band);
            const std::int32_t scaled = ScaledOf(*s.rules, s.logPrice);
            if (scaled == s.scaled) continue;
            s.scaled = scaled;
            s.sequence = ++sequence_;
            s.time = now;
            ticks.push_back({s.rules->id, s.rules->decimals, scaled, s.sequence, now});
        }
    }
    Dispatch(ticks);
}

void Market::Start(std::chrono::milliseconds interval, std::function<void()> begin) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (thread_.joinable() || interval.count() <= 0) return;
    {
        std::lock_guard<std::mutex> prices(priceMutex_);
        interval_ = interval;
    }
    stopping_ = false;
    thread_ = std::thread([this, interval, begin = std::move(begin)] {
        if (begin) begin();
        clockThread_ = std::this_thread::get_id();
        std::unique_lock<std::mutex> wait(threadMutex_);
        auto next = std::chrono::steady_clock::now() + interval;
        while (!stopping_) {
            if (wake_.wait_until(wait, next, [this] { return stopping_; })) break;
            wait.unlock();
            Step();
            wait.lock();
            // A late step does not make the next ones come faster, and after a step that outgrew
            // its interval the clock still rests a quarter of one: the hand-out's threads may
            // run above everything else, and the orders and logins keep their share meanwhile.
            next = std::max(next + interval, std::chrono::steady_clock::now() + interval / 4);
        }
        clockThread_ = std::thread::id{};
    });
}

void Market::Stop() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        stopping_ = true;
        finished = std::move(thread_);
    }
    wake_.notify_all();
    if (finished.joinable()) finished.join();
}

std::vector<std::pair<std::int32_t, std::int32_t>> LoadMarketPrices(Store& store) {
    return store.WithDb([](sqlite3* db) {
        std::vector<std::pair<std::int32_t, std::int32_t>> out;
        Statement st(db, "SELECT instrument, price FROM market_prices ORDER BY instrument");
        while (st.Step())
            out.emplace_back(static_cast<std::int32_t>(st.Int(0)),
                             static_cast<std::int32_t>(st.Int(1)));
        return out;
    });
}

bool SaveMarketPrices(Store& store, const Market& market) {
    return SaveMarketTicks(store, market.Snapshot());
}

bool SaveMarketTicks(sqlite3* db, const std::vector<Tick>& ticks) {
    Statement st(db, "INSERT OR REPLACE INTO market_prices (instrument, price) VALUES (?, ?)");
    bool ok = st.Ok();
    for (const Tick& t : ticks) {
        if (!ok) break;
        st.Reset();
        st.Bind(1, std::int64_t{t.instrument}).Bind(2, std::int64_t{t.price});
        ok = st.Run();
    }
    return ok;
}

bool SaveMarketTicks(Store& store, const std::vector<Tick>& ticks) {
    return InTransaction(store, [&](sqlite3* db) { return SaveMarketTicks(db, ticks); });
}

}  // namespace zq::server
