#include "market/history_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/config.h"

namespace zq {

namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void EnsureDirectory(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
}

// Makes a rename inside `directory` durable.
void SyncDirectory(const std::string& directory) {
    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

std::string TemporaryPath(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++counter);
}

}  // namespace

std::string HistoryDirectory() {
    std::string dir = DataDirectory() + "/history";
    EnsureDirectory(dir);
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
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return bars;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return bars;

    std::int32_t count = 0;
    if (!ReadAll(fd.get(), &count, sizeof count)) return bars;
    if (count <= 0 || static_cast<std::uint64_t>(count) > kMaxBarsPerSeries) return bars;
    const std::uint64_t needed = sizeof count + std::uint64_t{sizeof(BarRecord)} * count;
    if (static_cast<std::uint64_t>(st.st_size) < needed) return bars;

    std::vector<BarRecord> block(static_cast<std::size_t>(count));
    if (!ReadAll(fd.get(), block.data(), block.size() * sizeof(BarRecord))) return bars;
    // Every bar the chart caches is a finished bar of the file's own instrument; anything else
    // means the file is not one of ours.
    for (const BarRecord& r : block) {
        if (r.instrument != instrument || Classify(r) != BarKind::Finished) return bars;
    }
    bars.assign(block.begin(), block.end());
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
    const std::string tmp = TemporaryPath(path);
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return false;
    const std::int32_t count = static_cast<std::int32_t>(bars.size());
    bool ok = WriteAll(fd.get(), &count, sizeof count) &&
              WriteAll(fd.get(), bars.data(), bars.size() * sizeof(BarRecord)) &&
              ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    SyncDirectory(std::filesystem::path(path).parent_path().string());
    return true;
}

bool WriteHistoryCache(const std::string& directory, const KLineData& chart,
                       std::uint64_t generation) {
    KLineData::FinishedSeries series = chart.FinishedBars(generation);
    if (!series.valid) return false;
    EnsureDirectory(directory);
    return WriteHistoryFile(HistoryFilePath(directory, series.instrument, series.period),
                            series.bars);
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
