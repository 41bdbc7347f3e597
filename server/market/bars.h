// The K-line bars of every instrument in every period, built from the simulated market.
//
// Everything rests on 15-minute bars ("cells"); a bar of a longer period is the cells of its
// interval taken together (open of the first, close of the last, highest high, lowest low), so
// the periods always agree with one another. Bar intervals are aligned to Beijing time (UTC+8):
// a day bar runs from 00:00 to 24:00, an 8-hour bar from 00:00, 08:00 or 16:00, and so on.
//
// Cells come from two sources:
//   - before the seam (the quarter hour in which the database first served bars) they are
//     generated: a deterministic function of the history seed, the instrument's opening price
//     and the cell's time, so every start regenerates the same bars; the generated walk ends
//     exactly at the opening price at the seam, where the live market begins. The seed and the
//     seam are kept in the store, so the history of a database never changes.
//   - from the seam on they are the market's own: the live cell collects every tick, and when
//     the bar clock passes its end it is finished and stored.
//
// Each series holds kSeededBars generated bars before the seam's interval of its period, then
// every bar of the market's own. A bar still forming when the server stops is not kept; time in
// which the server did not run has no bars.
//
// The bar clock is the system clock, moved ahead by CloseNow() (for tests and demos).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "market/wire/bar_record.h"
#include "server/market/market.h"
#include "server/store/store.h"

namespace zq::server {

// The chart periods in minutes.
constexpr std::array<int, 7> kPeriods = {15, 30, 60, 120, 240, 480, 1440};
constexpr int kPeriodCount = static_cast<int>(kPeriods.size());
constexpr int kCellMinutes = 15;
// The index of a period in kPeriods; -1 for any other number of minutes.
int PeriodIndex(int minutes);

// Generated bars of each series before the seam.
constexpr int kSeededBars = 3000;
// Finished bars in one page of history.
constexpr int kHistoryPageBars = 600;
// The most finished bars one answer carries when asked for every bar from a given one on.
constexpr int kMaxBarsPerAnswer = 20000;

// ---- Bar times ----
// Minutes since 1970-01-01 00:00 Beijing time.
using BarMinute = std::int64_t;
BarMinute BeijingMinute(std::chrono::system_clock::time_point t);
// The start of the interval of `periodMinutes` that holds `m`.
BarMinute FloorTo(BarMinute m, int periodMinutes);
int BarYear(BarMinute m);
// "MMDDHHMM" for a finished bar, "HH:MM" for the live bar.
std::string FinishedTimeText(BarMinute m);
std::string LiveTimeText(BarMinute m);
// The start of the finished bar a key names: twelve digits, the year and "MMDDHHMM"; nothing
// for any other text or an impossible date.
std::optional<BarMinute> ParseBarKey(std::string_view key);

// ---- Bars ----
struct Ohlc {
    std::int32_t open = 0, high = 0, low = 0, close = 0;
};
// Two runs of bars taken together: `later` follows `earlier`.
Ohlc Merge(const Ohlc& earlier, const Ohlc& later);

struct Cell {
    BarMinute start = 0;
    Ohlc prices;
};

// The generated part of the history.
class SeededHistory {
  public:
    SeededHistory(std::uint64_t seed, BarMinute seam) : seed_(seed), seam_(seam) {}
    std::uint64_t Seed() const { return seed_; }
    BarMinute Seam() const { return seam_; }
    // The cells in [from, to) taken together; nothing when the range holds no cell.
    std::optional<Ohlc> Range(std::int32_t instrument, BarMinute from, BarMinute to) const;

  private:
    double Noise(std::int32_t instrument, std::int64_t boundary) const;

    std::uint64_t seed_;
    BarMinute seam_;
};

// The record of a bar: finished ("MMDDHHMM") or live ("HH:MM"); key number = the year.
BarRecord MakeBar(std::int32_t instrument, std::int32_t decimals, BarMinute start,
                  const Ohlc& prices, std::int32_t reference, bool live);

// A history answer: the bars newest first and the key of the series' oldest bar.
struct HistoryAnswer {
    std::vector<BarRecord> bars;
    BarKey trailer{};
};

// What changed in the bars of one instrument: after a tick (`finished` all empty) or when the
// bar clock closed bars (`finished` holds the bars that ended, by period index). `live` holds
// the live bar of every period after the change.
struct BarUpdate {
    std::int32_t instrument = 0;
    std::array<BarRecord, kPeriodCount> live{};
    std::array<std::optional<BarRecord>, kPeriodCount> finished{};
    bool Closed() const;
};

class BarBook {
  public:
    using Sink = std::function<void(const BarUpdate&)>;

    BarBook(Store& store, Market& market);
    ~BarBook();
    BarBook(const BarBook&) = delete;
    BarBook& operator=(const BarBook&) = delete;

    // Hears every update in order, with the book's lock held: it must be quick and must not
    // call back into the book. Set before Start().
    void SetSink(Sink sink) { sink_ = std::move(sink); }

    // Reads the history seed and seam (fixing them from `seed` and the present on first
    // start), the stored bars and the market's prices; starts listening to the market and the
    // bar clock. False with `error` set when the store cannot be read.
    bool Start(std::uint64_t seed, std::string* error);
    void Stop();

    // A history request (keys as the client sends them); nothing for an instrument or period
    // the server does not have. The rules are in docs/server.md.
    std::optional<HistoryAnswer> History(std::int32_t instrument, int periodMinutes,
                                         std::string_view keyA, std::string_view keyB) const;

    // Runs `f(live)` with the live bars of every instrument (by id, from 1) in the period of
    // `periodIndex`, under the book's lock, so that no update comes between the bars and
    // whatever `f` does.
    void WithLiveBars(int periodIndex,
                      const std::function<void(const std::vector<BarRecord>&)>& f) const;

    // Moves the bar clock ahead to the end of the live bar of `periodMinutes` and closes the
    // bars that end there; the bar clock's new time. Nothing for an unknown period.
    std::optional<BarMinute> CloseNow(int periodMinutes);
    BarMinute ClockMinute() const;

  private:
    struct Live {
        const InstrumentRules* rules = nullptr;
        Ohlc cell;  // the live cell
        // The finished cells of each live bar (none yet: nullopt).
        std::array<std::optional<Ohlc>, kPeriodCount> earlier{};
        // Close of the series' newest finished bar; 0 when there is none.
        std::array<std::int32_t, kPeriodCount> previousClose{};
    };
    // What a history request needs of one series, copied under the lock.
    struct SeriesView {
        const InstrumentRules* rules = nullptr;
        std::vector<Cell> stored;
        BarMinute liveStart = 0;
        BarRecord live{};
    };

    void OnTick(const Tick& tick);
    void RunClock();
    // Closes every bar that ends at or before `now` (the lock held); the stored cells to write.
    std::vector<std::pair<std::int32_t, Cell>> RollLocked(BarMinute now);
    void WriteCells(const std::vector<std::pair<std::int32_t, Cell>>& cells);
    BarRecord LiveRecordLocked(const Live& live, int periodIndex) const;
    BarUpdate UpdateLocked(const Live& live) const;
    std::vector<BarMinute> FinishedStarts(const SeriesView& view, int period) const;
    std::optional<Ohlc> BarPrices(const SeriesView& view, BarMinute start, int period) const;
    BarMinute ClockMinuteLocked() const;

    Store& store_;
    Market& market_;
    Sink sink_;
    std::optional<Market::ListenerId> listener_;

    mutable std::mutex mutex_;
    std::optional<SeededHistory> seeded_;
    std::vector<Live> live_;  // by instrument id - 1
    // Start of the live cell and of the live bar of each period (the same for every instrument).
    BarMinute cellStart_ = 0;
    std::array<BarMinute, kPeriodCount> barStart_{};
    std::vector<std::vector<Cell>> stored_;  // the market's own finished cells, oldest first
    std::chrono::minutes clockAhead_{0};

    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread clock_;
};

// Schema step: the history seed and seam, and the finished 15-minute bars of the market.
bool CreateBarTables(Store& store, sqlite3* db, std::string* error);

}  // namespace zq::server
