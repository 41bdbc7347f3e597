// History cache files and the history transfer's chart side: reading untrusted files, atomic
// writes without the live bar, the merge of downloaded and cached bars, and the paging keys.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/config.h"
#include "market/history_cache.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::LiveBar;
using test::Time;

namespace fs = std::filesystem;

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zq-cache-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        dir = (dir_ / "history").string();
        chart.Reset(1, 15);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(int instrument = 1, int period = 15) const {
        return HistoryFilePath(dir, instrument, period);
    }
    void WriteBytes(const std::string& path, const void* data, std::size_t size) {
        fs::create_directories(dir);
        std::ofstream(path, std::ios::binary)
            .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    void WriteFile(std::int32_t count, const std::vector<BarRecord>& bars) {
        std::string bytes(reinterpret_cast<const char*>(&count), sizeof count);
        bytes.append(reinterpret_cast<const char*>(bars.data()), bars.size() * sizeof(BarRecord));
        WriteBytes(Path(), bytes.data(), bytes.size());
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        return names;
    }
    // Bars seq from..to (newest first when from > to).
    static std::vector<BarRecord> Bars(int from, int to) {
        std::vector<BarRecord> v;
        for (int i = from; from >= to ? i >= to : i <= to; from >= to ? --i : ++i)
            v.push_back(FinishedBar(i, 100 + i, 101 + i, 102 + i, 99 + i));
        return v;
    }
    void Download(const std::vector<BarRecord>& bars) {
        for (const BarRecord& b : bars) chart.AppendHistoryBar(b);
    }
    static std::vector<std::string> Times(const std::vector<BarRecord>& bars) {
        std::vector<std::string> t;
        for (const BarRecord& b : bars) t.push_back(Time(b));
        return t;
    }

    fs::path dir_;
    std::string dir;
    KLineData chart;
};

TEST_F(CacheTest, FileNamesAndTheDirectoryUnderTheDataDirectory) {
    EXPECT_EQ(HistoryFileName(1, 15), "kd1_15");
    EXPECT_EQ(HistoryFileName(42, 1440), "kd42_1440");

    ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
    ReloadConfig();
    EXPECT_EQ(HistoryDirectory(), (dir_ / "history").string());
    EXPECT_TRUE(fs::is_directory(dir_ / "history"));
    ::unsetenv("ZQ_DATA_DIR");
    ReloadConfig();
}

TEST_F(CacheTest, WriteLeavesTheLiveBarOutAndReadsBack) {
    Download(Bars(5, 1));
    chart.LiveUpdate(LiveBar(106, 107, 108, 105));
    ASSERT_EQ(chart.BarCount(), 6u);

    ASSERT_TRUE(WriteHistoryCache(dir, chart));
    EXPECT_EQ(fs::file_size(Path()), 4 + 5 * sizeof(BarRecord));
    EXPECT_EQ(Entries(), std::vector<std::string>{"kd1_15"});  // no temporary left behind

    auto read = ReadHistoryCache(dir, 1, 15);
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(Times({read.begin(), read.end()}), Times(Bars(5, 1)));
}

TEST_F(CacheTest, UntrustedFilesReadAsNoCache) {
    const auto bars = Bars(3, 1);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());  // missing

    WriteFile(4, bars);  // the count claims more than the file holds
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());

    WriteFile(0x7fffffff, bars);  // a count that must never be allocated
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());

    WriteFile(0, bars);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());
    WriteFile(-3, bars);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());

    WriteBytes(Path(), "ab", 2);  // shorter than its count
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());

    auto foreign = bars;
    foreign[1].instrument = 2;  // not a bar this chart would have cached
    WriteFile(3, foreign);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());
    auto live = bars;
    live[0] = LiveBar(1, 1, 1, 1);
    WriteFile(3, live);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());

    WriteFile(2, bars);  // trailing bytes after the counted records are ignored
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 2u);

    // A long file is read a run at a time: a foreign bar near its end still spoils it whole.
    auto longer = Bars(20000, 1);
    longer.back().instrument = 2;
    WriteFile(20000, longer);
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());
    longer.back().instrument = 1;
    WriteFile(20000, longer);
    const auto whole = ReadHistoryCache(dir, 1, 15);
    ASSERT_EQ(whole.size(), 20000u);
    EXPECT_EQ(Times({whole.begin(), whole.end()}), Times(longer));

    fs::remove(Path());
    fs::create_directories(Path());  // a directory where the file should be
    EXPECT_TRUE(ReadHistoryCache(dir, 1, 15).empty());
}

TEST_F(CacheTest, AFailedWriteKeepsTheOldFile) {
    fs::create_directories(dir);
    ASSERT_TRUE(WriteHistoryFile(Path(), Bars(3, 1)));
    const auto before = fs::file_size(Path());

    // A file size limit makes the write fail half way, as a full disk would.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = WriteHistoryFile(Path(), Bars(100, 1));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(fs::file_size(Path()), before);
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 3u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"kd1_15"});
}

TEST_F(CacheTest, DeleteRemovesOnlyThatFile) {
    fs::create_directories(dir);
    ASSERT_TRUE(WriteHistoryFile(Path(1, 15), Bars(2, 1)));
    ASSERT_TRUE(WriteHistoryFile(Path(1, 30), Bars(2, 1)));
    EXPECT_TRUE(DeleteHistoryCache(dir, 1, 15));
    EXPECT_FALSE(fs::exists(Path(1, 15)));
    EXPECT_TRUE(fs::exists(Path(1, 30)));
    EXPECT_TRUE(DeleteHistoryCache(dir, 1, 15));  // already gone
}

TEST_F(CacheTest, NoCacheDownloadsAndWritesTheWholeSeries) {
    chart.SetHistory(ReadHistoryCache(dir, 1, 15));
    EXPECT_EQ(KeyText(chart.NewestHistoryKey()), "0");
    Download(Bars(4, 1));
    chart.LiveUpdate(LiveBar(1, 1, 1, 1));
    EXPECT_TRUE(chart.MergeHistory());
    ASSERT_TRUE(WriteHistoryCache(dir, chart));
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 4u);
}

TEST_F(CacheTest, OneBarOverlapJoinsCacheBehindDownload) {
    WriteFile(3, Bars(3, 1));
    chart.SetHistory(ReadHistoryCache(dir, 1, 15));
    EXPECT_EQ(KeyText(chart.NewestHistoryKey()), "202400000003");

    Download(Bars(6, 3));  // the server starts at the newest bar it was told of
    EXPECT_TRUE(chart.MergeHistory());
    EXPECT_EQ(chart.HistorySize(), 0u);
    EXPECT_EQ(Times(chart.RawBars()), Times(Bars(6, 1)));

    ASSERT_TRUE(WriteHistoryCache(dir, chart));
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 6u);
}

TEST_F(CacheTest, WithoutOverlapTheDownloadStandsAloneAndTheFileStays) {
    WriteFile(3, Bars(3, 1));
    chart.SetHistory(ReadHistoryCache(dir, 1, 15));
    Download(Bars(9, 7));
    EXPECT_FALSE(chart.MergeHistory());
    EXPECT_EQ(Times(chart.RawBars()), Times(Bars(9, 7)));
    EXPECT_EQ(chart.HistorySize(), 3u);
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 3u);

    // Only the key number differs: still no overlap.
    chart.Reset(1, 15);
    chart.SetHistory(ReadHistoryCache(dir, 1, 15));
    auto download = Bars(5, 3);
    download.back().keyNumber = 2023;
    Download(download);
    EXPECT_FALSE(chart.MergeHistory());
}

TEST_F(CacheTest, PagingAsksForBarsOlderThanTheOldestAndRewritesTheSeries) {
    BarKey a{}, b{};
    EXPECT_FALSE(OlderHistoryKeys(NoBarKey(), chart, a, b));  // empty chart: "0" and "0"

    chart.AddFinishedBar(LiveBar(1, 1, 1, 1));
    EXPECT_FALSE(OlderHistoryKeys(NoBarKey(), chart, a, b));  // only a live bar: "0"

    chart.Reset(1, 15);
    Download(Bars(6, 4));
    ASSERT_TRUE(chart.MergeHistory());  // a first transfer without cache
    BarKey trailer = MakeBarKey(Bars(3, 3)[0]);
    ASSERT_TRUE(OlderHistoryKeys(trailer, chart, a, b));
    EXPECT_EQ(KeyText(a), "202400000003");
    EXPECT_EQ(KeyText(b), "202400000004");

    // The older bars go behind the ones held; the merge finds no history and writes it all.
    Download(Bars(3, 1));
    EXPECT_TRUE(chart.MergeHistory());
    ASSERT_TRUE(WriteHistoryCache(dir, chart));
    EXPECT_EQ(Times(chart.RawBars()), Times(Bars(6, 1)));
    EXPECT_EQ(ReadHistoryCache(dir, 1, 15).size(), 6u);

    // The server's trailer names the oldest bar: nothing older to fetch.
    trailer = MakeBarKey(Bars(1, 1)[0]);
    EXPECT_FALSE(OlderHistoryKeys(trailer, chart, a, b));
}

TEST_F(CacheTest, TheCacheAsAWholeKeepsItsBoundDroppingTheSeriesWrittenLongestAgo) {
    // Four series of 1,000 bytes written a minute apart, the oldest first, and files that are
    // not series of the cache.
    fs::create_directories(dir);
    const auto now = fs::file_time_type::clock::now();
    const std::vector<std::string> names{"kd1_15", "kd2_15", "kd3_60", "kd4_1440"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        WriteBytes(dir + "/" + names[i], std::string(1000, 'x').data(), 1000);
        fs::last_write_time(dir + "/" + names[i],
                            now - std::chrono::minutes(10 - static_cast<int>(i)));
    }
    for (const char* other : {"kd5_15.tmp.123", "settings", "kd01_15"})
        WriteBytes(dir + "/" + other, std::string(5000, 'y').data(), 5000);

    // Within the bound nothing goes.
    EXPECT_EQ(TrimHistoryCache(dir, "", 4000), 0);
    // Beyond it the oldest go first, but never the series just written.
    EXPECT_EQ(TrimHistoryCache(dir, "kd1_15", 2500), 2);
    std::vector<std::string> left = Entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kd01_15", "kd1_15", "kd4_1440", "kd5_15.tmp.123",
                                              "settings"}));
    EXPECT_EQ(TrimHistoryCache(dir, "", 0), 2);
    EXPECT_EQ(Entries().size(), 3u);
}

TEST_F(CacheTest, AResetChartIsNotWrittenByTheTransferBeforeIt) {
    Download(Bars(3, 1));
    const std::uint64_t old = chart.Generation();
    chart.Reset(1, 30);
    EXPECT_FALSE(WriteHistoryCache(dir, chart, old));
    EXPECT_FALSE(fs::exists(Path(1, 15)));
    EXPECT_FALSE(fs::exists(Path(1, 30)));
}

}  // namespace
}  // namespace zq
