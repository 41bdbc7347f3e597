#include "market/history_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/atomic_file.h"
#include "base/config.h"
#include "base/unique_fd.h"

namespace zq {

std::string HistoryDirectory() {
    std::string dir = DataDirectory() + "/history";
    EnsureDirectory(dir);
    // Once a run: a cache write killed before its rename leaves its temporary file behind.
    static std::once_flag swept;
    std::call_once(swept, [&] { RemoveStaleTemporaries(dir); });
    return dir;
}

std::string HistoryFileName(int instrument, int period) {
    char name[32];
    std::snprintf(name, sizeof name, "kd%d_%d", instrument, period);
    return name;
}

std::string HistoryFilePath(const std::string& directory, int instrument, int period) {
    return directory + "/" + HistoryFileName(instrument, period);
}

std::deque<BarRecord> ReadHistoryFile(const std::string& path, int instrument) {
    std::deque<BarRecord> bars;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return bars;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return bars;

    std::int32_t count = 0;
    if (ReadFully(fd.Get(), &count, sizeof count) != sizeof count) return bars;
    if (count <= 0 || static_cast<std::uint64_t>(count) > kMaxBarsPerSeries) return bars;
    const std::uint64_t needed = sizeof count + std::uint64_t{sizeof(BarRecord)} * count;
    if (static_cast<std::uint64_t>(st.st_size) < needed) return bars;

    // A run of records at a time goes straight into the list, so that the bars are held once
    // however long the series.
    constexpr std::size_t kRun = 8192;
    std::vector<BarRecord> run(std::min<std::size_t>(static_cast<std::size_t>(count), kRun));
    for (std::size_t left = static_cast<std::size_t>(count); left > 0;) {
        const std::size_t n = std::min(left, run.size());
        if (ReadFully(fd.Get(), run.data(), n * sizeof(BarRecord)) != n * sizeof(BarRecord))
            return {};
        // Every bar the chart caches is a finished bar of the file's own instrument; anything
        // else means the file is not one of ours.
        for (std::size_t i = 0; i < n; ++i) {
            if (run[i].instrument != instrument || Classify(run[i]) != BarKind::Finished) return {};
        }
        bars.insert(bars.end(), run.begin(), run.begin() + static_cast<std::ptrdiff_t>(n));
        left -= n;
    }
    return bars;
}

std::deque<BarRecord> ReadHistoryCache(const std::string& directory, int instrument, int period) {
    EnsureDirectory(directory);
    return ReadHistoryFile(HistoryFilePath(directory, instrument, period), instrument);
}

std::deque<BarRecord> ReadHistoryCache(int instrument, int period) {
    return ReadHistoryCache(HistoryDirectory(), instrument, period);
}

bool WriteHistoryFile(const std::string& path, const std::vector<BarRecord>& bars) {
    if (bars.size() > kMaxBarsPerSeries) return false;
    const std::int32_t count = static_cast<std::int32_t>(bars.size());
    const FilePart parts[] = {{&count, sizeof count},
                              {bars.data(), bars.size() * sizeof(BarRecord)}};
    return WriteFileAtomically(path, parts, 2);
}

bool WriteHistoryCache(const std::string& directory, const KLineData& chart,
                       std::uint64_t generation) {
    KLineData::FinishedSeries series = chart.FinishedBars(generation);
    if (!series.valid) return false;
    EnsureDirectory(directory);
    if (!WriteHistoryFile(HistoryFilePath(directory, series.instrument, series.period),
                          series.bars))
        return false;
    TrimHistoryCache(directory, HistoryFileName(series.instrument, series.period));
    return true;
}

namespace {

// "kd<digits>_<digits>": a cache file, not a temporary one or anything else.
bool IsCacheFileName(const std::string& name) {
    int instrument = 0, period = 0, end = 0;
    return std::sscanf(name.c_str(), "kd%d_%d%n", &instrument, &period, &end) == 2 &&
           static_cast<std::size_t>(end) == name.size() &&
           name == HistoryFileName(instrument, period);
}

}  // namespace

int TrimHistoryCache(const std::string& directory, const std::string& keep,
                     std::uint64_t maxBytes) {
    namespace fs = std::filesystem;
    struct File {
        fs::path path;
        fs::file_time_type written;
        std::uint64_t bytes;
    };
    std::vector<File> files;
    std::uint64_t total = 0;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code e;
        if (!IsCacheFileName(name) || !it->is_regular_file(e)) continue;
        const std::uint64_t bytes = it->file_size(e);
        if (e) continue;
        total += bytes;
        const fs::file_time_type written = it->last_write_time(e);
        if (name != keep)
            files.push_back({it->path(), e ? fs::file_time_type::min() : written, bytes});
    }
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return a.written < b.written; });
    int removed = 0;
    for (const File& f : files) {
        if (total <= maxBytes) break;
        std::error_code e;
        if (!fs::remove(f.path, e)) continue;
        total -= f.bytes;
        ++removed;
    }
    return removed;
}

bool WriteHistoryCache(const KLineData& chart, std::uint64_t generation) {
    return WriteHistoryCache(HistoryDirectory(), chart, generation);
}

bool DeleteHistoryCache(const std::string& directory, int instrument, int period) {
    EnsureDirectory(directory);
    const std::string path = HistoryFilePath(directory, instrument, period);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool DeleteHistoryCache(int instrument, int period) {
    return DeleteHistoryCache(HistoryDirectory(), instrument, period);
}

bool OlderHistoryKeys(const BarKey& trailer, const KLineData& chart, BarKey& keyA, BarKey& keyB) {
    keyA = trailer;
    keyB = chart.OldestBarKey();
    return !SameKeyText(keyA, keyB);
}

}  // namespace zq
