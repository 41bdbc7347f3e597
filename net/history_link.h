// The data link: one connection per history transfer, which brings the K-line bars of one
// instrument and period as a zip archive of 56-byte bar records; read by HistoryLoader on a
// thread of its own that is never joined.
//
// Request: the header with command period × 1000 + instrument, then 26 bytes: request key A and
// request key B (13-byte bar keys). Answer: int32 length N; when N > 0, N bytes of a zip archive
// whose items each hold whole bar records (item size / 56, any remainder ignored); then, in both
// cases, a 13-byte trailer (a short trailer is taken as far as it came).
//
// One transfer is current. Starting a transfer, or cancelling for a reload, makes every earlier
// one stale: a transfer carries its own id and stops at its next check once the link's current
// id differs, and its socket is shut down so that a blocked read returns at once. A stale
// transfer never touches the chart, the keys, the trailer or the flags again. The chart also
// refuses records and merges of a generation that a reset has ended, which closes the gap
// between a check and the chart call.
//
// Bounds: a length N below 0 or above kMaxHistoryBytes ends the transfer before anything is
// allocated, and the archive is received in pieces, so a large N that is never delivered costs
// no more memory than what arrived. Item sizes and counts are bounded by the zip reader.
//
// A reload's transfer (StartFromCache) first reads the cache file of its series on its own
// thread, one read at a time, and hands the bars to the chart for the generation of the reset
// it began after; a newer transfer, reload or reset meanwhile drops what was read, and the
// transfer ends there without a request. Otherwise key A is the newest cached bar, key B "0",
// and the transfer goes on as any other.
//
// Failures (no connection, a short answer, an archive that does not open, a bad length) end the
// transfer silently: the chart keeps what it had, nothing is merged or written and the loaded
// flag stays as it was. An item that fails to unpack ends the unpacking; the items before it
// are kept and the transfer finishes.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "market/bar_series.h"
#include "market/wire/bar_record.h"
#include "net/push_link.h"

namespace zq {

// 256 MiB of archive: far beyond any real history (a few MB), small enough to hold.
inline constexpr std::int32_t kMaxHistoryBytes = 256 * 1024 * 1024;
// The archive is received in pieces of this size.
inline constexpr int kHistoryReadChunk = 1 << 20;
// Records handed to the chart per call, with a check for a newer transfer between calls.
inline constexpr std::size_t kHistoryRecordRun = 4096;
// The most bars one transfer brings, as many as the whole series holds: the archive may unpack
// to no more than this many records' bytes (84 MB) in all, whatever its items claim.
inline constexpr std::size_t kMaxHistoryBars = kMaxBarsPerSeries;
inline constexpr std::uint64_t kMaxHistoryUnpackedBytes =
    std::uint64_t{kMaxHistoryBars} * sizeof(BarRecord);

// Unpacks a history archive item by item, in order, handing the whole records of each item to
// `take` (a remainder under 56 bytes is ignored). Stops at the first item that cannot be
// unpacked, before an item that would take the unpacked total past kMaxHistoryUnpackedBytes,
// or when `take` returns false. False when the archive does not open (the zip reader refuses
// items that share their data).
//
// With UnpackThreads::Two a larger archive of plain (stored or deflated) items is inflated by
// this thread and a helper together, the helper a few items ahead; `take` is still called on
// this thread, in order, with the same records, and the helper has ended when this returns.
enum class UnpackThreads { One, Two };
bool UnpackHistory(const void* archive, std::size_t size,
                   const std::function<bool(const BarRecord* records, std::size_t count)>& take,
                   UnpackThreads threads = UnpackThreads::Two);

// Reads the cache file of a series: ReadHistoryCache or a stand-in of the tests.
using HistoryCacheReader =
    std::function<std::deque<BarRecord>(const std::string& directory, int instrument, int period)>;

// How one transfer ended.
enum class TransferEnd {
    Applied,     // bars taken, merged, laid out; loaded flag set
    Empty,       // length 0: trailer stored, chart untouched
    Superseded,  // a newer transfer or a reload took over
    Failed,      // connection, short read, bad length, bad archive
};

// The view's data-link state, shared with its transfers; always held by a shared_ptr.
class HistoryLink : public std::enable_shared_from_this<HistoryLink> {
  public:
    struct Options {
        std::shared_ptr<KLineData> chart;
        std::shared_ptr<LinkGate> gate;  // the chart's hooks reach beyond the view
        // After a transfer has been applied (on the transfer's thread, inside the gate):
        // invalidate the chart window.
        std::function<void()> applied;
        // Every end of a transfer, after its state is final (tests wait on this).
        std::function<void(std::uint64_t id, TransferEnd end)> ended;
        // Reads the cache of a series for StartFromCache, on the transfer's thread:
        // ReadHistoryCache when empty (tests plug in a slow one).
        HistoryCacheReader readCache;
    };
    // Where a transfer connects and where the cache lives; read on the thread that starts it.
    struct Endpoint {
        std::uint32_t address = 0;  // network order
        std::uint16_t port = 0;
        std::string cacheDirectory;
    };

    explicit HistoryLink(Options options);
    HistoryLink(const HistoryLink&) = delete;
    HistoryLink& operator=(const HistoryLink&) = delete;

    // A reload begins: the current transfer (if any) is stopped, and the busy and loaded flags
    // are cleared, all at once, so that a stopping transfer cannot set them afterwards.
    void BeginReload();
    // Records keys A and B and starts a transfer for the chart's instrument and period on a
    // detached thread, stopping any earlier one. Returns the transfer's id.
    std::uint64_t Start(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint);
    // A reload's transfer on a detached thread: the cache of the chart's instrument and period
    // read there and handed to the chart, then key A := its newest bar ("0" when there is none)
    // and key B := "0". Busy from the call on; key A is known once the cache has been read.
    std::uint64_t StartFromCache(const Endpoint& endpoint);
    // The same on the calling thread (tests); returns how it ended.
    TransferEnd Run(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint);
    // Older history: unless a transfer is busy, A := the trailer and B := the chart's oldest bar
    // key; if they differ as texts a transfer starts with them (the chart is not reset).
    // Returns whether one started.
    bool PageHistory(const Endpoint& endpoint);

    bool Busy() const { return busy_.load(); }
    bool Loaded() const { return loaded_.load(); }
    std::uint64_t Current() const { return current_.load(); }
    BarKey KeyA() const;
    BarKey KeyB() const;
    BarKey Trailer() const;

  private:
    struct Job {
        std::uint64_t id;
        std::uint64_t generation;
        int instrument;
        int period;
        BarKey keyA, keyB;
        Endpoint endpoint;
        bool fromCache = false;  // key A comes from the cache, read first
    };
    Job Prepare(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint);
    void Launch(const Job& job);
    TransferEnd HistoryLoader(Job job);
    // Reads the job's cache into the chart and takes key A from it; false when the job or the
    // chart's series has moved on.
    bool TakeCache(Job& job);
    TransferEnd Finish(const Job& job, TransferEnd end);
    bool IsCurrent(const Job& job) const { return current_.load() == job.id; }
    // Records the transfer's socket unless it is stale already.
    bool Register(const Job& job, const std::shared_ptr<LinkSocket>& socket);
    void StopLocked();

    const Options options_;
    mutable std::mutex mutex_;  // keys, trailer, socket; flag changes tied to the current id
    std::mutex readMutex_;      // one cache read at a time: a series may take 84 MB
    BarKey keyA_;
    BarKey keyB_;
    BarKey trailer_{};
    std::shared_ptr<LinkSocket> socket_;  // the current transfer's
    std::atomic<std::uint64_t> current_{0};
    std::atomic<bool> busy_{false};
    std::atomic<bool> loaded_{false};
};

}  // namespace zq
