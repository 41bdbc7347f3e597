// Unpacking a history archive on two threads hands `take` exactly what the one-thread walk
// does: the same records in the same order, the same stop at a broken item or when `take`
// refuses, and the same refusals. Also the reader's own inflating of plain items.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/history_link.h"
#include "net/zip_reader.h"
#include "tests/links_support.h"

namespace zq {
namespace {

using namespace test;

struct Taken {
    std::vector<std::size_t> calls;  // records per call
    Bytes bytes;                     // every record, in order
    bool opened = false;
};

Taken Unpack(const Bytes& zip, UnpackThreads threads, int refuseAtCall = -1) {
    Taken t;
    t.opened = UnpackHistory(
        zip.data(), zip.size(),
        [&](const BarRecord* records, std::size_t count) {
            t.calls.push_back(count);
            Put(t.bytes, records, count * sizeof(BarRecord));
            return static_cast<int>(t.calls.size()) != refuseAtCall + 1;
        },
        threads);
    return t;
}

void ExpectSame(const Taken& one, const Taken& two) {
    EXPECT_EQ(one.opened, two.opened);
    EXPECT_EQ(one.calls, two.calls);
    EXPECT_TRUE(one.bytes == two.bytes);
}

// `items` items of varied record counts (well above what is shared between threads), some
// with a remainder under one record; the records newest first across the items.
std::vector<Bytes> Items(int items, std::vector<BarRecord>* all = nullptr) {
    std::vector<Bytes> parts;
    int newest = 900000;
    for (int i = 0; i < items; ++i) {
        const int count = 150 + (i * 37) % 120;
        std::vector<BarRecord> bars = HistoryBars(1, newest, count);
        newest -= count;
        if (all) all->insert(all->end(), bars.begin(), bars.end());
        parts.push_back(RecordBytes(bars, i % 3 == 0 ? 17 : 0));
    }
    return parts;
}

// Offset of item `index`'s central directory entry (archives without a comment).
std::size_t CentralEntry(const Bytes& zip, int index) {
    std::uint32_t directory = 0;
    std::memcpy(&directory, zip.data() + zip.size() - 22 + 16, 4);
    std::size_t at = directory;
    for (int i = 0; i < index; ++i) {
        std::uint16_t name = 0, extra = 0, comment = 0;
        std::memcpy(&name, zip.data() + at + 28, 2);
        std::memcpy(&extra, zip.data() + at + 30, 2);
        std::memcpy(&comment, zip.data() + at + 32, 2);
        at += 46u + name + extra + comment;
    }
    return at;
}

TEST(SharedUnpackTest, GivesTheRecordsOfTheOneThreadWalk) {
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "deflated");
        std::vector<BarRecord> all;
        const Bytes zip = MakeZip(Items(41, &all), stored);
        const Taken one = Unpack(zip, UnpackThreads::One);
        const Taken two = Unpack(zip, UnpackThreads::Two);
        ExpectSame(one, two);
        ASSERT_EQ(two.calls.size(), 41u);
        ASSERT_EQ(two.bytes.size(), all.size() * sizeof(BarRecord));
        EXPECT_EQ(std::memcmp(two.bytes.data(), all.data(), two.bytes.size()), 0);
    }
}

TEST(SharedUnpackTest, StopsAtTheSameBrokenItem) {
    // A broken item taken by the helper (odd) and by the calling thread (even), early and late.
    for (int broken : {1, 2, 7, 12, 29}) {
        SCOPED_TRACE(broken);
        Bytes zip = MakeZip(Items(30));
        ZipReader reader;
        ASSERT_TRUE(reader.Open(zip.data(), zip.size()));
        const ZipItem item = *reader.Item(broken);
        reader.Close();
        zip[item.data + item.compressed / 2] ^= 0x5A;
        const Taken one = Unpack(zip, UnpackThreads::One);
        const Taken two = Unpack(zip, UnpackThreads::Two);
        ExpectSame(one, two);
        EXPECT_EQ(two.calls.size(), static_cast<std::size_t>(broken));
    }
}

TEST(SharedUnpackTest, StopsWhenTakeRefuses) {
    const Bytes zip = MakeZip(Items(40));
    for (int refuse : {0, 1, 5, 22, 39}) {
        SCOPED_TRACE(refuse);
        const Taken one = Unpack(zip, UnpackThreads::One, refuse);
        const Taken two = Unpack(zip, UnpackThreads::Two, refuse);
        ExpectSame(one, two);
        EXPECT_EQ(two.calls.size(), static_cast<std::size_t>(refuse + 1));
    }
}

TEST(SharedUnpackTest, RefusesWhatTheOneThreadWalkRefuses) {
    const Bytes zip = MakeZip(Items(12));
    Bytes cut(zip.begin(), zip.end() - 30);
    Bytes garbage(zip.size(), 0x33);
    for (const Bytes* b : {&cut, &garbage}) {
        const Taken one = Unpack(*b, UnpackThreads::One);
        const Taken two = Unpack(*b, UnpackThreads::Two);
        ExpectSame(one, two);
        EXPECT_FALSE(two.opened);
    }
}

TEST(ZipInflateTest, AnItemMustInflateToExactlyItsStatedSize) {
    const std::vector<Bytes> items = Items(3);
    for (bool stored : {false, true}) {
        for (int delta : {-56, -1, 1, 56}) {
            SCOPED_TRACE(delta);
            Bytes zip = MakeZip(items, stored);
            // Item 1 claims `delta` bytes more than it holds, in both of its headers.
            const std::size_t central = CentralEntry(zip, 1);
            std::uint32_t size = 0, local = 0;
            std::memcpy(&size, zip.data() + central + 24, 4);
            std::memcpy(&local, zip.data() + central + 42, 4);
            size = static_cast<std::uint32_t>(static_cast<std::int64_t>(size) + delta);
            std::memcpy(zip.data() + central + 24, &size, 4);
            std::memcpy(zip.data() + local + 22, &size, 4);

            ZipReader reader;
            ASSERT_TRUE(reader.Open(zip.data(), zip.size()));
            ASSERT_EQ(reader.ItemSize(1), std::optional<std::size_t>(size));
            Bytes out(size);
            EXPECT_FALSE(reader.Unpack(1, out.data(), out.size()));
            Bytes first(*reader.ItemSize(0));
            EXPECT_TRUE(reader.Unpack(0, first.data(), first.size()));
            EXPECT_TRUE(first == items[0]);
        }
    }
}

TEST(ZipInflateTest, AChecksumMismatchIsABrokenItem) {
    const std::vector<Bytes> items = Items(2);
    Bytes zip = MakeZip(items);
    const std::size_t central = CentralEntry(zip, 0);
    zip[central + 16] ^= 1;  // the directory's checksum of item 0
    ZipReader reader;
    ASSERT_TRUE(reader.Open(zip.data(), zip.size()));
    Bytes out(*reader.ItemSize(0));
    EXPECT_FALSE(reader.Unpack(0, out.data(), out.size()));
    Bytes second(*reader.ItemSize(1));
    EXPECT_TRUE(reader.Unpack(1, second.data(), second.size()));
    EXPECT_TRUE(second == items[1]);
}

TEST(ZipInflateTest, EmptyItemsUnpackAndTheWrongBufferSizeIsRefused) {
    Bytes zip = MakeZip({Bytes(), RecordBytes(HistoryBars(1, 10, 3))});
    ZipReader reader;
    ASSERT_TRUE(reader.Open(zip.data(), zip.size()));
    EXPECT_EQ(reader.ItemSize(0), std::optional<std::size_t>(0));
    EXPECT_TRUE(reader.Unpack(0, nullptr, 0));
    Bytes out(3 * sizeof(BarRecord) + 1);
    EXPECT_FALSE(reader.Unpack(1, out.data(), out.size()));
    EXPECT_TRUE(reader.Unpack(1, out.data(), out.size() - 1));
}

}  // namespace
}  // namespace zq
