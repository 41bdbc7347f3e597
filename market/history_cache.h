// History cache files: one file per instrument and period, "kd<instrument>_<period>" in the
// directory "history" of the data directory. Layout, little-endian: int32 count, then count
// 56-byte BarRecords, newest first. The file never holds a live bar.
//
// Reading trusts nothing in the file: a count that is not positive, above kMaxBarsPerSeries,
// or larger than the file can hold, and a file whose records are not finished bars of its own
// instrument, all read as no cache (the whole series is then downloaded). Nothing is allocated
// before the count has been checked against the file's size.
//
// Writing goes to a temporary file beside the cache, which is flushed to disk and then renamed
// over the old file, so that a crash or a full disk leaves either the old or the new file,
// never a cut one.
//
// Bound: the cache files of all series together stay within kMaxHistoryCacheBytes. After each
// write, the files written longest ago go first (never the one just written) until the rest
// fit; a series whose file went is downloaded again when it is next shown.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "market/bar_series.h"
#include "market/wire/bar_record.h"

namespace zq {

// 256 MiB: three series at their bound, or hundreds of ordinary ones.
inline constexpr std::uint64_t kMaxHistoryCacheBytes = 256ull * 1024 * 1024;

// DataDirectory()/history, created if missing.
std::string HistoryDirectory();
// "kd1_15" for instrument 1 at 15 minutes.
std::string HistoryFileName(int instrument, int period);
std::string HistoryFilePath(const std::string& directory, int instrument, int period);

// The cached bars, newest first; empty when there is no usable file.
std::deque<BarRecord> ReadHistoryFile(const std::string& path, int instrument);
std::deque<BarRecord> ReadHistoryCache(const std::string& directory, int instrument, int period);
std::deque<BarRecord> ReadHistoryCache(int instrument, int period);

// Writes `bars` (all of them, in order) as a cache file, atomically. False on any failure; the
// old file is then untouched.
bool WriteHistoryFile(const std::string& path, const std::vector<BarRecord>& bars);
// Writes the chart's finished bars (the live bar left out) to the cache of the chart's
// instrument and period. False if the chart has been reset since `generation` or the write
// failed.
bool WriteHistoryCache(const std::string& directory, const KLineData& chart,
                       std::uint64_t generation = KLineData::kAnyGeneration);
bool WriteHistoryCache(const KLineData& chart,
                       std::uint64_t generation = KLineData::kAnyGeneration);

// Removes the cache files ("kd<instrument>_<period>") of `directory` written longest ago, all
// but `keep` (a file name, may be empty), until those left take at most `maxBytes` together.
// Returns how many it removed.
int TrimHistoryCache(const std::string& directory, const std::string& keep,
                     std::uint64_t maxBytes = kMaxHistoryCacheBytes);

// Deletes the cache file (re-initialisation). True if it is gone afterwards.
bool DeleteHistoryCache(const std::string& directory, int instrument, int period);
bool DeleteHistoryCache(int instrument, int period);

// The keys that fetch the history older than the chart's oldest bar: A := the trailer of the
// last transfer, B := the chart's oldest bar key. Returns whether they differ as texts, that
// is whether a transfer is worth starting.
bool OlderHistoryKeys(const BarKey& trailer, const KLineData& chart, BarKey& keyA, BarKey& keyB);

}  // namespace zq
