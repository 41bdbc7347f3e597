#include "server/market/bars.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/market_clock.h"
#include "server/market/catalogue.h"
#include "server/store/log.h"

namespace zq::server {
namespace {

constexpr BarMinute kMinutesPerDay = 1440;

// ---- Calendar (proleptic Gregorian, days since 1970-01-01) ----
struct CivilDate {
    int year;
    unsigned month, day;
};

CivilDate CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2)), m, d};
}

std::int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// ---- The generated walk ----
// Value noise in octaves: octave k holds a random value every 2^k cells, joined by straight
// lines, weighted by the square root of its spacing, so the sum moves like a random walk over
// spans up to the widest octave (about four years) and stays within a band beyond that.
constexpr int kOctaves = 18;
constexpr double kOctaveWeight = 0.4;
// How far a cell's high and low reach beyond its open and close, in cell deviations.
constexpr double kWickReach = 0.5;
constexpr double kMaxFactor = 5.0;

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t HashOf(std::uint64_t seed, std::int32_t instrument, int stream, std::int64_t index) {
    std::uint64_t h = Mix(
        seed ^ (static_cast<std::uint64_t>(instrument) << 8 | static_cast<std::uint64_t>(stream)));
    return Mix(h ^ static_cast<std::uint64_t>(index));
}

// Roughly standard normal: the sum of four uniforms, centred and scaled.
double Gauss(std::uint64_t h) {
    double sum = 0;
    for (int i = 0; i < 4; ++i) sum += static_cast<double>((h >> (16 * i)) & 0xFFFF) / 65536.0;
    return (sum - 2.0) * std::sqrt(3.0);
}

double CellDeviation(const InstrumentRules& rules) {
    return rules.dailyVolatility * std::sqrt(double{kCellMinutes} / double{kMinutesPerDay});
}

std::int32_t Scaled(const InstrumentRules& rules, double logPrice) {
    const double v = std::round(std::exp(logPrice) * PriceScale(rules));
    return static_cast<std::int32_t>(
        std::clamp(v, 1.0, double{std::numeric_limits<std::int32_t>::max()}));
}

std::optional<Ohlc> MergeOpt(const std::optional<Ohlc>& a, const std::optional<Ohlc>& b) {
    if (!a) return b;
    if (!b) return a;
    return Merge(*a, *b);
}

// The stored cells in [from, to) taken together.
std::optional<Ohlc> StoredRange(const std::vector<Cell>& cells, BarMinute from, BarMinute to) {
    auto it = std::lower_bound(cells.begin(), cells.end(), from,
                               [](const Cell& c, BarMinute m) { return c.start < m; });
    std::optional<Ohlc> out;
    for (; it != cells.end() && it->start < to; ++it) out = MergeOpt(out, it->prices);
    return out;
}

bool IsNoKey(std::string_view key) {
    return key.empty() || key == "0";
}

BarKey KeyOfBar(BarMinute start) {
    BarRecord r{};
    r.keyNumber = BarYear(start);
    const std::string t = FinishedTimeText(start);
    std::memcpy(r.time, t.data(), t.size());
    return MakeBarKey(r);
}

}  // namespace

int PeriodIndex(int minutes) {
    for (int i = 0; i < kPeriodCount; ++i)
        if (kPeriods[static_cast<std::size_t>(i)] == minutes) return i;
    return -1;
}

BarMinute BeijingMinute(std::chrono::system_clock::time_point t) {
    const auto m = std::chrono::floor<std::chrono::minutes>(t.time_since_epoch());
    return m.count() + kMarketUtcOffsetMinutes;
}

BarMinute FloorTo(BarMinute m, int periodMinutes) {
    return FloorDiv(m, periodMinutes) * periodMinutes;
}

int BarYear(BarMinute m) {
    return CivilFromDays(FloorDiv(m, kMinutesPerDay)).year;
}

std::string FinishedTimeText(BarMinute m) {
    const CivilDate d = CivilFromDays(FloorDiv(m, kMinutesPerDay));
    const auto inDay = static_cast<int>(m - FloorDiv(m, kMinutesPerDay) * kMinutesPerDay);
    char text[32];
    std::snprintf(text, sizeof text, "%02u%02u%02d%02d", d.month % 100, d.day % 100,
                  (inDay / 60) % 100, inDay % 60);
    return text;
}

std::string LiveTimeText(BarMinute m) {
    const auto inDay = static_cast<int>(m - FloorDiv(m, kMinutesPerDay) * kMinutesPerDay);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d", (inDay / 60) % 100, inDay % 60);
    return text;
}

std::optional<BarMinute> ParseBarKey(std::string_view key) {
    if (key.size() != 12) return std::nullopt;
    int digits[12];
    for (std::size_t i = 0; i < 12; ++i) {
        if (key[i] < '0' || key[i] > '9') return std::nullopt;
        digits[i] = key[i] - '0';
    }
    auto two = [&](int at) { return digits[at] * 10 + digits[at + 1]; };
    const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    const int month = two(4), day = two(6), hour = two(8), minute = two(10);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59)
        return std::nullopt;
    const std::int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    // 31 February and the like come back as another date.
    const CivilDate back = CivilFromDays(days);
    if (back.year != year || back.month != static_cast<unsigned>(month) ||
        back.day != static_cast<unsigned>(day))
        return std::nullopt;
    return days * kMinutesPerDay + hour * 60 + minute;
}

Ohlc Merge(const Ohlc& earlier, const Ohlc& later) {
    return {earlier.open, std::max(earlier.high, later.high), std::min(earlier.low, later.low),
            later.close};
}

// ---- SeededHistory ----

double SeededHistory::Noise(std::int32_t instrument, std::int64_t boundary) const {
    double sum = 0;
    for (int k = 0; k < kOctaves; ++k) {
        const std::int64_t spacing = std::int64_t{1} << k;
        const std::int64_t j = FloorDiv(boundary, spacing);
        const double f = static_cast<double>(boundary - j * spacing) / static_cast<double>(spacing);
        const double g0 = Gauss(HashOf(seed_, instrument, k, j));
        const double v = f == 0 ? g0 : g0 + (Gauss(HashOf(seed_, instrument, k, j + 1)) - g0) * f;
        sum += kOctaveWeight * std::sqrt(static_cast<double>(spacing)) * v;
    }
    return sum;
}

std::optional<Ohlc> SeededHistory::Range(std::int32_t instrument, BarMinute from,
                                         BarMinute to) const {
    const InstrumentRules* rules = FindRules(instrument);
    if (!rules) return std::nullopt;
    const std::int64_t first = FloorDiv(from + kCellMinutes - 1, kCellMinutes);
    const std::int64_t end = FloorDiv(std::min(to, seam_) + kCellMinutes - 1, kCellMinutes);
    if (first >= end) return std::nullopt;
    const double reach = CellDeviation(*rules) * kWickReach;
    // The seam's noise is computed once for the whole range.
    const std::int64_t seamBoundary = FloorDiv(seam_, kCellMinutes);
    const double seamNoise = Noise(instrument, seamBoundary);
    const double anchor = std::log(rules->openingPrice);
    const double band = std::log(kMaxFactor);
    const double deviation = CellDeviation(*rules);
    auto logPrice = [&](std::int64_t b) {
        return anchor + std::clamp(deviation * (Noise(instrument, b) - seamNoise), -band, band);
    };
    std::optional<Ohlc> out;
    double open = logPrice(first);
    for (std::int64_t x = first; x < end; ++x) {
        const double close = logPrice(x + 1);
        const double up = std::abs(Gauss(HashOf(seed_, instrument, 100, x)));
        const double down = std::abs(Gauss(HashOf(seed_, instrument, 101, x)));
        Ohlc c;
        c.open = Scaled(*rules, open);
        c.close = Scaled(*rules, close);
        c.high = std::max({Scaled(*rules, std::max(open, close) + reach * up), c.open, c.close});
        c.low = std::min({Scaled(*rules, std::min(open, close) - reach * down), c.open, c.close});
        out = MergeOpt(out, c);
        open = close;
    }
    return out;
}

// ---- Records ----

BarRecord MakeBar(std::int32_t instrument, std::int32_t decimals, BarMinute start,
                  const Ohlc& prices, std::int32_t reference, bool live) {
    BarRecord r;
    std::memset(&r, 0, sizeof r);
    r.instrument = instrument;
    r.open = prices.open;
    r.close = prices.close;
    r.high = prices.high;
    r.low = prices.low;
    r.reference = reference;
    r.decimals = decimals;
    r.keyNumber = BarYear(start);
    const std::string t = live ? LiveTimeText(start) : FinishedTimeText(start);
    std::memcpy(r.time, t.data(), std::min(t.size(), kMaxTimeText));
    return r;
}

bool BarUpdate::Closed() const {
    return std::any_of(finished.begin(), finished.end(),
                       [](const std::optional<BarRecord>& b) { return b.has_value(); });
}

// ---- BarBook ----

BarBook::BarBook(Store& store, Market& market) : store_(store), market_(market) {
    live_.resize(kInstrumentCount);
    stored_.resize(kInstrumentCount);
    for (int id = 1; id <= kInstrumentCount; ++id)
        live_[static_cast<std::size_t>(id - 1)].rules = FindRules(id);
}

BarBook::~BarBook() {
    Stop();
}

BarMinute BarBook::ClockMinuteLocked() const {
    return BeijingMinute(std::chrono::system_clock::now() + clockAhead_);
}

BarMinute BarBook::ClockMinute() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ClockMinuteLocked();
}

bool BarBook::Start(std::uint64_t seed, std::string* error) {
    struct Loaded {
        std::optional<SeededHistory> seeded;
        std::vector<std::vector<Cell>> cells;
    };
    const BarMinute now = BeijingMinute(std::chrono::system_clock::now());
    std::optional<Loaded> loaded = store_.WithDb([&](sqlite3* db) -> std::optional<Loaded> {
        Loaded out;
        out.cells.resize(kInstrumentCount);
        {
            Statement st(db, "SELECT seed, seam FROM bar_history WHERE id = 1");
            if (st.Step()) out.seeded.emplace(static_cast<std::uint64_t>(st.Int(0)), st.Int(1));
            if (st.Failed()) return std::nullopt;
        }
        if (!out.seeded) {
            // The first start on this database fixes its history.
            const BarMinute seam = FloorTo(now, kCellMinutes);
            Statement ins(db, "INSERT INTO bar_history (id, seed, seam) VALUES (1, ?, ?)");
            ins.Bind(1, static_cast<std::int64_t>(seed)).Bind(2, std::int64_t{seam});
            if (!ins.Run()) return std::nullopt;
            out.seeded.emplace(seed, seam);
        }
        Statement st(db,
                     "SELECT instrument, start, open, high, low, close FROM bars"
                     " ORDER BY instrument, start");
        while (st.Step()) {
            const std::int64_t id = st.Int(0);
            if (id < 1 || id > kInstrumentCount) continue;
            Cell c;
            c.start = st.Int(1);
            c.prices = {static_cast<std::int32_t>(st.Int(2)), static_cast<std::int32_t>(st.Int(3)),
                        static_cast<std::int32_t>(st.Int(4)), static_cast<std::int32_t>(st.Int(5))};
            if (c.start < out.seeded->Seam()) continue;
            out.cells[static_cast<std::size_t>(id - 1)].push_back(c);
        }
        if (st.Failed()) return std::nullopt;
        return out;
    });
    if (!loaded) {
        if (error) *error = "cannot read the bar history from the store";
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        seeded_ = loaded->seeded;
        stored_ = std::move(loaded->cells);
        stopping_ = false;
        // The live cell begins now, but never before the seam or a bar already kept (the clock
        // may have been set back, or moved ahead by CloseNow in the last run).
        cellStart_ = std::max(FloorTo(now, kCellMinutes), seeded_->Seam());
        for (const std::vector<Cell>& cells : stored_)
            if (!cells.empty())
                cellStart_ = std::max(cellStart_, cells.back().start + kCellMinutes);
        for (int pi = 0; pi < kPeriodCount; ++pi)
            barStart_[static_cast<std::size_t>(pi)] =
                FloorTo(cellStart_, kPeriods[static_cast<std::size_t>(pi)]);
        for (std::size_t i = 0; i < live_.size(); ++i) {
            Live& l = live_[i];
            const std::int32_t price = market_.Price(l.rules->id);
            l.cell = {price, price, price, price};
            SeriesView view;
            view.rules = l.rules;
            view.stored = stored_[i];
            for (int pi = 0; pi < kPeriodCount; ++pi) {
                const auto p = static_cast<std::size_t>(pi);
                view.liveStart = barStart_[p];
                // The part of the live bar that lies before the live cell.
                l.earlier[p] = MergeOpt(seeded_->Range(l.rules->id, barStart_[p],
                                                       std::min(cellStart_, seeded_->Seam())),
                                        StoredRange(stored_[i], barStart_[p], cellStart_));
                const std::vector<BarMinute> starts = FinishedStarts(view, kPeriods[p]);
                l.previousClose[p] = 0;
                if (!starts.empty())
                    if (auto prices = BarPrices(view, starts.back(), kPeriods[p]))
                        l.previousClose[p] = prices->close;
            }
        }
    }
    listener_ = market_.AddListener([this](const Tick& t) { OnTick(t); });
    clock_ = std::thread([this] { RunClock(); });
    return true;
}

void BarBook::Stop() {
    if (listener_) {
        market_.RemoveListener(*listener_);
        listener_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (clock_.joinable()) clock_.join();
}

BarRecord BarBook::LiveRecordLocked(const Live& live, int periodIndex) const {
    const auto p = static_cast<std::size_t>(periodIndex);
    const Ohlc prices = live.earlier[p] ? Merge(*live.earlier[p], live.cell) : live.cell;
    const std::int32_t reference = live.previousClose[p] ? live.previousClose[p] : prices.open;
    return MakeBar(live.rules->id, live.rules->decimals, barStart_[p], prices, reference, true);
}

BarUpdate BarBook::UpdateLocked(const Live& live) const {
    BarUpdate u;
    u.instrument = live.rules->id;
    for (int pi = 0; pi < kPeriodCount; ++pi)
        u.live[static_cast<std::size_t>(pi)] = LiveRecordLocked(live, pi);
    return u;
}

void BarBook::OnTick(const Tick& tick) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!seeded_ || tick.instrument < 1 || tick.instrument > kInstrumentCount || tick.price <= 0)
        return;
    Live& l = live_[static_cast<std::size_t>(tick.instrument - 1)];
    l.cell.high = std::max(l.cell.high, tick.price);
    l.cell.low = std::min(l.cell.low, tick.price);
    l.cell.close = tick.price;
    if (sink_) sink_(UpdateLocked(l));
}

std::vector<std::pair<std::int32_t, Cell>> BarBook::RollLocked(BarMinute now) {
    std::vector<std::pair<std::int32_t, Cell>> done;
    const BarMinute next = FloorTo(now, kCellMinutes);
    if (!seeded_ || next <= cellStart_) return done;
    std::array<bool, kPeriodCount> closes{};
    for (int pi = 0; pi < kPeriodCount; ++pi) {
        const auto p = static_cast<std::size_t>(pi);
        closes[p] = FloorTo(next, kPeriods[p]) > barStart_[p];
    }
    std::vector<BarUpdate> updates;
    for (std::size_t i = 0; i < live_.size(); ++i) {
        Live& l = live_[i];
        BarUpdate u;
        u.instrument = l.rules->id;
        const Cell finished{cellStart_, l.cell};
        stored_[i].push_back(finished);
        done.emplace_back(l.rules->id, finished);
        for (int pi = 0; pi < kPeriodCount; ++pi) {
            const auto p = static_cast<std::size_t>(pi);
            const Ohlc prices = l.earlier[p] ? Merge(*l.earlier[p], l.cell) : l.cell;
            if (closes[p]) {
                const std::int32_t reference =
                    l.previousClose[p] ? l.previousClose[p] : prices.open;
                u.finished[p] =
                    MakeBar(l.rules->id, l.rules->decimals, barStart_[p], prices, reference, false);
                l.previousClose[p] = prices.close;
                l.earlier[p].reset();
            } else {
                l.earlier[p] = prices;
            }
        }
        // The next cell opens where the last one closed.
        l.cell = {l.cell.close, l.cell.close, l.cell.close, l.cell.close};
        updates.push_back(u);
    }
    cellStart_ = next;
    for (int pi = 0; pi < kPeriodCount; ++pi) {
        const auto p = static_cast<std::size_t>(pi);
        barStart_[p] = FloorTo(next, kPeriods[p]);
    }
    for (std::size_t i = 0; i < live_.size(); ++i) {
        BarUpdate& u = updates[i];
        u.live = UpdateLocked(live_[i]).live;
        if (sink_) sink_(u);
    }
    return done;
}

void BarBook::WriteCells(const std::vector<std::pair<std::int32_t, Cell>>& cells) {
    if (cells.empty()) return;
    const bool ok = InTransaction(store_, [&](sqlite3* db) {
        Statement st(db,
                     "INSERT OR REPLACE INTO bars (instrument, start, open, high, low, close)"
                     " VALUES (?, ?, ?, ?, ?, ?)");
        if (!st.Ok()) return false;
        for (const auto& [instrument, c] : cells) {
            st.Reset();
            st.Bind(1, std::int64_t{instrument})
                .Bind(2, std::int64_t{c.start})
                .Bind(3, std::int64_t{c.prices.open})
                .Bind(4, std::int64_t{c.prices.high})
                .Bind(5, std::int64_t{c.prices.low})
                .Bind(6, std::int64_t{c.prices.close});
            if (!st.Run()) return false;
        }
        return true;
    });
    if (!ok)
        LogLine("bars: cannot store the bars of " + FinishedTimeText(cells.front().second.start));
}

void BarBook::RunClock() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        std::vector<std::pair<std::int32_t, Cell>> done = RollLocked(ClockMinuteLocked());
        if (!done.empty()) {
            lock.unlock();
            WriteCells(done);
            lock.lock();
            continue;
        }
        // Wake at the end of the live cell, and at least every second so that a clock that
        // jumps is noticed soon.
        const auto clockNow = std::chrono::system_clock::now() + clockAhead_;
        const auto end = std::chrono::system_clock::time_point(
            std::chrono::minutes(cellStart_ + kCellMinutes - kMarketUtcOffsetMinutes));
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(end - clockNow);
        wait = std::clamp(wait, std::chrono::milliseconds(1), std::chrono::milliseconds(1000));
        wake_.wait_for(lock, wait);
    }
}

std::optional<BarMinute> BarBook::CloseNow(int periodMinutes) {
    const int pi = PeriodIndex(periodMinutes);
    if (pi < 0) return std::nullopt;
    std::vector<std::pair<std::int32_t, Cell>> done;
    BarMinute clock;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!seeded_) return std::nullopt;
        const BarMinute target = barStart_[static_cast<std::size_t>(pi)] + periodMinutes;
        const BarMinute now = ClockMinuteLocked();
        if (target > now) clockAhead_ += std::chrono::minutes(target - now);
        clock = ClockMinuteLocked();
        done = RollLocked(clock);
    }
    WriteCells(done);
    wake_.notify_all();
    return clock;
}

void BarBook::WithLiveBars(int periodIndex,
                           const std::function<void(const std::vector<BarRecord>&)>& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BarRecord> bars;
    if (seeded_ && periodIndex >= 0 && periodIndex < kPeriodCount)
        for (const Live& l : live_) bars.push_back(LiveRecordLocked(l, periodIndex));
    f(bars);
}

std::vector<BarMinute> BarBook::FinishedStarts(const SeriesView& view, int period) const {
    const BarMinute seam = seeded_->Seam();
    const BarMinute seamBar = FloorTo(seam, period);
    std::vector<BarMinute> out;
    out.reserve(static_cast<std::size_t>(kSeededBars) + view.stored.size() + 1);
    for (BarMinute s = seamBar - BarMinute{kSeededBars} * period; s < seamBar && s < view.liveStart;
         s += period)
        out.push_back(s);
    // The bar around the seam begins with generated cells.
    if (seamBar < seam && seamBar < view.liveStart) out.push_back(seamBar);
    for (const Cell& c : view.stored) {
        const BarMinute b = FloorTo(c.start, period);
        if (b >= view.liveStart) break;
        if (out.empty() || b > out.back()) out.push_back(b);
    }
    return out;
}

std::optional<Ohlc> BarBook::BarPrices(const SeriesView& view, BarMinute start, int period) const {
    const BarMinute end = start + period;
    return MergeOpt(seeded_->Range(view.rules->id, start, std::min(end, seeded_->Seam())),
                    StoredRange(view.stored, start, end));
}

std::optional<HistoryAnswer> BarBook::History(std::int32_t instrument, int periodMinutes,
                                              std::string_view keyA, std::string_view keyB) const {
    const int pi = PeriodIndex(periodMinutes);
    const InstrumentRules* rules = FindRules(instrument);
    if (pi < 0 || !rules) return std::nullopt;
    SeriesView view;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!seeded_) return std::nullopt;
        const Live& l = live_[static_cast<std::size_t>(instrument - 1)];
        view.rules = rules;
        view.stored = stored_[static_cast<std::size_t>(instrument - 1)];
        view.liveStart = barStart_[static_cast<std::size_t>(pi)];
        view.live = LiveRecordLocked(l, pi);
    }
    // The seeded history does not change once set, so it is read without the lock.
    const std::vector<BarMinute> starts = FinishedStarts(view, periodMinutes);
    HistoryAnswer answer;
    answer.trailer = starts.empty() ? NoBarKey() : KeyOfBar(starts.front());

    const auto count = static_cast<std::ptrdiff_t>(starts.size());
    const auto page = static_cast<std::ptrdiff_t>(kHistoryPageBars);
    std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, count - page), hi = count;
    bool withLive = true;
    if (!IsNoKey(keyB)) {
        // Paging: the page before the chart's oldest bar.
        withLive = false;
        const std::optional<BarMinute> before = ParseBarKey(keyB);
        if (!before) return answer;
        hi = std::lower_bound(starts.begin(), starts.end(), *before) - starts.begin();
        lo = std::max<std::ptrdiff_t>(0, hi - page);
    } else if (!IsNoKey(keyA)) {
        // A bar the client holds: it and every newer one (an unknown bar: the newest page).
        if (const std::optional<BarMinute> from = ParseBarKey(keyA)) {
            auto it = std::lower_bound(starts.begin(), starts.end(), *from);
            if (it != starts.end() && *it == *from &&
                count - (it - starts.begin()) <= kMaxBarsPerAnswer)
                lo = it - starts.begin();
        }
    }

    if (withLive) answer.bars.push_back(view.live);
    // Oldest to newest, so that each bar's reference is the close before it.
    std::vector<BarRecord> run;
    std::int32_t previous = 0;
    if (lo > 0)
        if (auto p = BarPrices(view, starts[static_cast<std::size_t>(lo - 1)], periodMinutes))
            previous = p->close;
    for (std::ptrdiff_t i = lo; i < hi; ++i) {
        const BarMinute s = starts[static_cast<std::size_t>(i)];
        const std::optional<Ohlc> prices = BarPrices(view, s, periodMinutes);
        if (!prices) continue;
        run.push_back(MakeBar(instrument, rules->decimals, s, *prices,
                              previous ? previous : prices->open, false));
        previous = prices->close;
    }
    answer.bars.insert(answer.bars.end(), run.rbegin(), run.rend());
    return answer;
}

// ---- Schema ----

bool CreateBarTables(Store& /*store*/, sqlite3* db, std::string* error) {
    return Exec(db,
                "CREATE TABLE bar_history ("
                " id INTEGER PRIMARY KEY CHECK (id = 1),"
                " seed INTEGER NOT NULL,"
                " seam INTEGER NOT NULL);"
                "CREATE TABLE bars ("
                " instrument INTEGER NOT NULL,"
                " start INTEGER NOT NULL,"
                " open INTEGER NOT NULL,"
                " high INTEGER NOT NULL,"
                " low INTEGER NOT NULL,"
                " close INTEGER NOT NULL,"
                " PRIMARY KEY (instrument, start)) WITHOUT ROWID",
                error);
}

}  // namespace zq::server
