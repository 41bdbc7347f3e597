// The bars of the chart's series: the raw list with its Heikin Ashi prices beside it, the
// history list of cached bars waiting for the download, the finished bars held aside until the
// first merge, and the generation that tells a transfer whether the series is still the one it
// began for.
//
// Who calls what (through KLineData, bar_series.h, which owns one):
//   - the history transfer: SetHistory with the cached bars after a reload, AppendHistoryBars
//     for every downloaded item, then MergeHistory; the cache file is written from
//     FinishedBars;
//   - the push link: AddFinishedBar, HoldFinishedBar before the first merge, PutLive;
//   - the view: Reset on every instrument or period change;
//   - the layout (series_layout.h): Lock, and reads the raw and Heikin Ashi lists under it.
//
// Locks. One, the bar lock, guards every list here. It is the first chart lock taken: the
// chart's reset holds it while it takes the layout lock, and the layout holds it while it takes
// the display and layout locks. No hook runs under it.
//
// Cost. A new front bar, a live update and a finished bar cost O(1), the Heikin Ashi prices
// following bar by bar; a block of history bars costs O(block); only a change at the oldest end
// marks the Heikin Ashi prices for one rebuild at the next Heikin Ashi layout.
//
// Bounds. A series holds at most kMaxBarsPerSeries bars (84 MB of records), however many
// transfers page it further back: history records beyond it are dropped, a new front bar beyond
// it pushes the oldest bar out, and a cache file that claims more is not read. That is forty
// years of 15-minute bars around the clock, far beyond any real history, yet small enough that
// a bad count from the server or a foreign file cannot exhaust memory or the disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "market/heikin_ashi.h"
#include "market/wire/bar_record.h"

namespace zq {

constexpr std::size_t kMaxBarsPerSeries = 1'500'000;
// Finished bars kept aside while the first transfer of a series runs.
constexpr std::size_t kMaxHeldBars = 1000;

class SeriesStore {
  public:
    // A generation token that every check accepts.
    static constexpr std::uint64_t kAnyGeneration = 0;

    // The bar lock held, with the lists it guards: for the chart's reset and the layout, which
    // take further locks while they hold it.
    class Locked {
      public:
        // Newest first.
        const std::deque<BarRecord>& Raw() const { return store_->raw_; }
        HeikinAshiSeries& HeikinAshi() { return store_->heikinAshi_; }
        // Empties the bars, the history list and the held bars, takes the instrument and period
        // and starts a new generation: a transfer begun before can no longer add, merge or
        // write.
        void Reset(int instrument, int period);
        void Unlock() { lock_.unlock(); }

      private:
        friend class SeriesStore;
        explicit Locked(SeriesStore& store) : store_(&store), lock_(store.barLock_) {}
        SeriesStore* store_;
        std::unique_lock<std::mutex> lock_;
    };
    Locked Lock() { return Locked(*this); }

    std::uint64_t Generation() const { return generation_.load(); }
    bool GenerationMatches(std::uint64_t generation) const {
        return generation == kAnyGeneration || generation == generation_.load();
    }
    int Instrument() const { return instrument_.load(); }
    int Period() const { return period_.load(); }

    // Downloaded records: a bar of the series' instrument older than the oldest bar held
    // (OlderBar) goes to the back of the raw list, anything else is dropped: a page answered
    // with bars the series holds adds none of them twice. The signals among them go to
    // `signal` once the bar lock is released. Returns the number of bars added.
    std::size_t AppendHistoryBars(const BarRecord* records, std::size_t count,
                                  std::uint64_t generation,
                                  const std::function<void(const BarRecord&)>& signal);
    // A finished bar from the push link replaces a live bar at the front, else goes in front.
    void AddFinishedBar(const BarRecord& r);
    // A finished bar from the push link while the history has not been loaded. Put in front at
    // once, it would end up before the downloaded bars, in front of a stale live bar and the
    // same bar from the download. So it is kept aside until MergeHistory has joined the first
    // transfer, and then put in front unless the download already held it. Once the series has
    // been merged it goes in front at once, like AddFinishedBar.
    void HoldFinishedBar(const BarRecord& r);
    // The live bar from the push link: it replaces a live bar at the front (Replaced), else
    // goes in front (NewBar); an empty series waits for its history and takes none (NoBars).
    enum class LivePut { NoBars, Replaced, NewBar };
    LivePut PutLive(const BarRecord& r);

    // A copy of the live bar if the raw list starts with one; otherwise only bar.close := 0.
    bool CurrentLiveBar(BarRecord& bar) const;
    // Key of the oldest bar; "0" for an empty series or one that holds only a live bar.
    BarKey OldestBarKey() const;
    std::size_t BarCount() const;
    std::vector<BarRecord> RawBars() const;
    // The raw bars or their Heikin Ashi bars, without a live bar at the front: a test and
    // diagnostics helper that builds the Heikin Ashi list apart when the prices kept beside the
    // raw list do not follow it.
    std::vector<BarRecord> DisplayList(bool heikinAshi) const;

    // The finished bars with the instrument and period they belong to, as the cache stores
    // them. `valid` is false when the generation has moved on.
    struct FinishedSeries {
        bool valid = false;
        int instrument = 0;
        int period = 0;
        std::vector<BarRecord> bars;
    };
    FinishedSeries FinishedBars(std::uint64_t generation = kAnyGeneration) const;

    // --- History list (the cached bars waiting for the download) ---

    // The cached bars, unless the series has been reset since `generation` (then nothing is
    // taken and false returned).
    bool SetHistory(std::deque<BarRecord> cached, std::uint64_t generation = kAnyGeneration);
    BarKey NewestHistoryKey() const;  // "0" when the list is empty
    std::size_t HistorySize() const;
    // Joins the cached bars behind the downloaded ones when the oldest downloaded bar is the
    // newest cached bar (that one bar is dropped from the download). Returns whether the cache
    // file is to be written: after a join, or when there was no cache. Without overlap the
    // series keeps the download alone and the cache stays as it is. Then the held bars go in
    // front.
    bool MergeHistory(std::uint64_t generation = kAnyGeneration);

  private:
    void TrimLocked();
    void AddFinishedLocked(const BarRecord& r);
    void ApplyHeldLocked();

    mutable std::mutex barLock_;
    // Newest first. A deque because bars enter at both ends: new bars at the front, downloaded
    // older bars at the back, both in constant time without moving the bars already held (a
    // vector would move the whole series for every new front bar).
    std::deque<BarRecord> raw_;      // bar lock
    HeikinAshiSeries heikinAshi_;    // bar lock: the Heikin Ashi prices beside raw_
    std::deque<BarRecord> history_;  // bar lock (the loading steps and the transfer)
    std::vector<BarRecord> held_;    // bar lock: finished bars waiting for the first merge
    bool merged_ = false;            // bar lock: a transfer has been merged since the reset

    std::atomic<int> instrument_{1};
    std::atomic<int> period_{15};
    std::atomic<std::uint64_t> generation_{1};
};

}  // namespace zq
