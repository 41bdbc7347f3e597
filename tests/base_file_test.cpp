// Whole-file writes and the market clock of the bottom layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/atomic_file.h"
#include "base/market_clock.h"
#include "base/unique_fd.h"
#include "tests/support/test_directory.h"

namespace zq {
namespace {

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-atomic");
        path_ = (dir_ / "file").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Read() const {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    int Entries() const {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) {
            (void)e;
            ++n;
        }
        return n;
    }
    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(AtomicFileTest, WritesThePartsInOrderAndReplacesTheWholeFile) {
    ASSERT_TRUE(WriteFileAtomically(path_, std::string(1000, 'a')));
    const std::int32_t count = 3;
    const char body[] = "xyz";
    const FilePart parts[] = {{&count, sizeof count}, {body, 3}, {nullptr, 0}};
    ASSERT_TRUE(WriteFileAtomically(path_, parts, 3));
    const std::string content = Read();
    ASSERT_EQ(content.size(), 7u) << "the longer old content is gone";
    EXPECT_EQ(content.substr(4), "xyz");
    EXPECT_EQ(content[0], 3);
    EXPECT_EQ(Entries(), 1) << "no temporary file is left";
}

TEST_F(AtomicFileTest, AFailureIsReportedAndLeavesNothingBehind) {
    // No directory to write into.
    EXPECT_FALSE(WriteFileAtomically((dir_ / "missing" / "file").string(), std::string("x")));
    // A non-empty directory in the file's place: the rename cannot replace it.
    std::filesystem::create_directory(path_);
    std::ofstream(path_ + "/keep") << "x";
    EXPECT_FALSE(WriteFileAtomically(path_, std::string("new")));
    EXPECT_TRUE(std::filesystem::exists(path_ + "/keep"));
    EXPECT_EQ(Entries(), 1);
}

TEST_F(AtomicFileTest, ConcurrentWritersLeaveOneWholeVersion) {
    std::vector<std::thread> writers;
    for (char c : {'a', 'b', 'c', 'd'})
        writers.emplace_back([&, c] {
            for (int i = 0; i < 50; ++i)
                ASSERT_TRUE(WriteFileAtomically(path_, std::string(4096, c)));
        });
    for (auto& t : writers) t.join();
    const std::string content = Read();
    ASSERT_EQ(content.size(), 4096u);
    EXPECT_EQ(content, std::string(4096, content[0]));
    EXPECT_EQ(Entries(), 1);
}

TEST_F(AtomicFileTest, WhatAKilledWriterLeftIsSweptAndNothingElse) {
    // A child that exits at once gives the id of a process that no longer runs.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string dead = ".tmp." + std::to_string(gone) + ".3";
    const std::string alive = ".tmp." + std::to_string(::getppid()) + ".1";
    for (const std::string& name :
         std::vector<std::string>{"kd1_15" + dead, "data" + dead, "kd2_15" + alive, "kd1_15",
                                  "notes.tmp.x.1", "kd3_5.tmp." + std::to_string(gone)})
        std::ofstream((dir_ / name).string()) << "x";
    EXPECT_EQ(RemoveStaleTemporaries(dir_.string()), 2);
    EXPECT_FALSE(std::filesystem::exists(dir_ / ("kd1_15" + dead)));
    EXPECT_FALSE(std::filesystem::exists(dir_ / ("data" + dead)));
    EXPECT_EQ(Entries(), 4);  // a running writer's file, the cache file, names of other shapes
    EXPECT_EQ(RemoveStaleTemporaries((dir_ / "missing").string()), 0);
}

TEST_F(AtomicFileTest, ReadFullyStopsAtTheEnd) {
    ASSERT_TRUE(WriteFileAtomically(path_, std::string("hello")));
    UniqueFd fd(::open(path_.c_str(), O_RDONLY));
    ASSERT_TRUE(fd.Valid());
    char buf[16] = {};
    EXPECT_EQ(ReadFully(fd.Get(), buf, sizeof buf), 5u);
    EXPECT_EQ(std::string(buf), "hello");
    EXPECT_TRUE(fd.Close());
    EXPECT_FALSE(fd.Valid());
}

TEST(MarketClock, IsUtcPlusEightAcrossMidnightAndTheYear) {
    // 2026-12-31 16:30:00 UTC is 2027-01-01 00:30:00 in the market.
    const std::tm t = MarketTime(1798734600);
    EXPECT_EQ(t.tm_year + 1900, 2027);
    EXPECT_EQ(t.tm_mon, 0);
    EXPECT_EQ(t.tm_mday, 1);
    EXPECT_EQ(t.tm_hour, 0);
    EXPECT_EQ(t.tm_min, 30);
}

}  // namespace
}  // namespace zq
