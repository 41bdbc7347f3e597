// The two link workers against scripted servers: the zip reader's bounds, history transfers
// (empty answers, items into bars, merge with the cache, failures that keep the chart, a newer
// transfer stopping an older one, paging), the chart rules of market records and the push
// reader's item stream.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "market/history_cache.h"
#include "net/history_link.h"
#include "net/push_link.h"
#include "net/wire/ansi_text.h"
#include "net/zip_reader.h"
#include "reports/message_store.h"
#include "tests/links_support.h"
#include "tests/support/test_directory.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using namespace test;

// The central-directory size field of item `index`, set to `size`.
void PatchCentralSize(Bytes& zip, int index, std::uint32_t size) {
    const unsigned char sig[] = {0x50, 0x4b, 0x01, 0x02};
    auto at = zip.begin();
    for (int i = 0; i <= index; ++i) {
        at = std::search(i == 0 ? at : at + 1, zip.end(), sig, sig + 4);
        ASSERT_NE(at, zip.end());
    }
    std::memcpy(&*(at + 24), &size, 4);
}

TEST(ZipReaderTest, ItemsSizesChecksumsAndBounds) {
    const Bytes a = RecordBytes(HistoryBars(1, 10, 2), 8);  // 120 bytes
    const Bytes b(5000, 0x11);
    Bytes zip = MakeZip({a, b});
    ZipReader r;
    ASSERT_TRUE(r.Open(zip.data(), zip.size()));
    ASSERT_EQ(r.Count(), 2);
    EXPECT_EQ(r.ItemSize(0), 120u);
    EXPECT_EQ(r.ItemSize(1), 5000u);
    EXPECT_FALSE(r.ItemSize(2));
    Bytes out(120);
    ASSERT_TRUE(r.Unpack(0, out.data(), out.size()));
    EXPECT_EQ(out, a);
    EXPECT_FALSE(r.Unpack(0, out.data(), 100)) << "the buffer must be the item's size";

    // Not an archive, or a cut one, does not open.
    Bytes garbage(400, 0x5A);
    EXPECT_FALSE(r.Open(garbage.data(), garbage.size()));
    EXPECT_FALSE(r.Open(zip.data(), zip.size() / 2));
    EXPECT_FALSE(r.Open(nullptr, 0));

    // A stored item with a changed byte fails its checksum; the other item still reads.
    Bytes stored = MakeZip({a, b}, true);
    auto at = std::search(stored.begin(), stored.end(), b.begin(), b.begin() + 64);
    ASSERT_NE(at, stored.end());
    at[100] ^= 0xFF;
    ASSERT_TRUE(r.Open(stored.data(), stored.size()));
    Bytes big(5000);
    EXPECT_FALSE(r.Unpack(1, big.data(), big.size()));
    EXPECT_TRUE(r.Unpack(0, out.data(), out.size()));

    // An item claiming more than the bound is never sized or unpacked.
    PatchCentralSize(zip, 1, 0xF0000000u);
    ASSERT_TRUE(r.Open(zip.data(), zip.size()));
    EXPECT_FALSE(r.ItemSize(1));
    EXPECT_FALSE(r.Unpack(1, big.data(), big.size()));
}

// --- History transfers ---

class HistoryLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-links");
        chart_->Reset(1, 15);
        chart_->SetClientSize(800, 500);
        HistoryLink::Options o;
        o.chart = chart_;
        o.applied = [this] { applied_++; };
        o.ended = [this](std::uint64_t id, TransferEnd end) {
            std::lock_guard lock(mutex_);
            ends_[id] = end;
        };
        link_ = std::make_shared<HistoryLink>(o);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    HistoryLink::Endpoint Endpoint() const {
        return {htonl(INADDR_LOOPBACK), data_.Port(), dir_.string()};
    }
    TransferEnd Run(const std::string& a = "0") {
        return link_->Run(Key(a), NoBarKey(), Endpoint());
    }
    TransferEnd WaitEnd(std::uint64_t id) {
        WaitUntil([&] {
            std::lock_guard lock(mutex_);
            return ends_.count(id) != 0;
        });
        std::lock_guard lock(mutex_);
        return ends_.count(id) ? ends_[id] : TransferEnd::Failed;
    }
    std::string CachePath(int period = 15) const {
        return HistoryFilePath(dir_.string(), 1, period);
    }
    std::size_t Cached(int period = 15) const {
        return ReadHistoryCache(dir_.string(), 1, period).size();
    }

    std::filesystem::path dir_;
    DataServer data_;
    std::shared_ptr<KLineData> chart_ = std::make_shared<KLineData>();
    std::shared_ptr<HistoryLink> link_;
    std::atomic<int> applied_{0};
    std::mutex mutex_;
    std::map<std::uint64_t, TransferEnd> ends_;
};

TEST_F(HistoryLoaderTest, EmptyAnswerStoresTheTrailerAndLeavesTheChart) {
    chart_->AddFinishedBar(HistoryBar(1, 50));
    data_.Answer(HistoryAnswer(0, {}, "2024T9"));
    EXPECT_EQ(Run("2024K1"), TransferEnd::Empty);
    EXPECT_EQ(Text(link_->Trailer()), "2024T9");
    EXPECT_EQ(chart_->BarCount(), 1u);
    EXPECT_FALSE(link_->Loaded());
    EXPECT_FALSE(link_->Busy());
    EXPECT_EQ(applied_, 0);
    EXPECT_FALSE(std::filesystem::exists(CachePath()));
    auto requests = data_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 15001);
    EXPECT_EQ(requests[0].keyA, "2024K1");
    EXPECT_EQ(requests[0].keyB, "0");
}

TEST_F(HistoryLoaderTest, ItemsBecomeBarsInOrderAndJoinTheCache) {
    // Cache: bars 100..91. Download, newest first: item 1 holds 104, 103 and 8 stray bytes
    // (120 bytes), item 2 holds 102, 101, 100 (100 being the newest cached bar).
    ASSERT_TRUE(WriteHistoryFile(CachePath(), HistoryBars(1, 100, 10)));
    chart_->SetHistory(ReadHistoryCache(dir_.string(), 1, 15));
    const BarKey newest = chart_->NewestHistoryKey();
    data_.Answer(HistoryAnswer(
        MakeZip({RecordBytes(HistoryBars(1, 104, 2), 8), RecordBytes(HistoryBars(1, 102, 3))}),
        "202400000091"));
    EXPECT_EQ(link_->Run(newest, NoBarKey(), Endpoint()), TransferEnd::Applied);
    EXPECT_EQ(data_.Requests()[0].keyA, Text(newest));

    auto bars = chart_->RawBars();
    ASSERT_EQ(bars.size(), 14u) << "4 new bars, the shared one once, 9 more cached";
    for (int i = 0; i < 14; ++i) EXPECT_EQ(TimeText(bars[i]), HistoryBar(1, 104 - i).time) << i;
    EXPECT_TRUE(link_->Loaded());
    EXPECT_FALSE(link_->Busy());
    EXPECT_EQ(applied_, 1);
    EXPECT_EQ(Text(link_->Trailer()), "202400000091");
    EXPECT_FALSE(chart_->Geometry().empty()) << "laid out after the merge";
    EXPECT_EQ(Cached(), 14u) << "cache rewritten";
}

TEST_F(HistoryLoaderTest, FailedTransfersKeepWhatTheChartHad) {
    const Bytes zip = MakeZip({RecordBytes(HistoryBars(1, 300, 5))});
    Bytes cut = HistoryAnswer(zip, "T");
    cut.resize(4 + zip.size() / 2);
    const std::pair<const char*, Bytes> cases[] = {
        {"garbage archive", HistoryAnswer(Bytes(200, 0x42), "T")},
        {"length beyond the bound", HistoryAnswer(kMaxHistoryBytes + 1, {}, "T")},
        {"negative length", HistoryAnswer(-5, {}, "T")},
        {"cut archive", cut},
        {"no answer", {}},
        {"short length", {1, 0}},
    };
    for (const auto& [name, answer] : cases) data_.Answer(answer);

    chart_->AddFinishedBar(HistoryBar(1, 7));
    for (const auto& [name, answer] : cases) {
        EXPECT_EQ(Run(), TransferEnd::Failed) << name;
        ASSERT_EQ(chart_->BarCount(), 1u) << name;
        EXPECT_EQ(TimeText(chart_->RawBars()[0]), HistoryBar(1, 7).time) << name;
        EXPECT_FALSE(link_->Loaded()) << name;
        EXPECT_FALSE(link_->Busy()) << name;
        EXPECT_FALSE(std::filesystem::exists(CachePath())) << name;
    }
    EXPECT_EQ(applied_, 0);
}

TEST_F(HistoryLoaderTest, AnItemThatCannotBeUnpackedEndsTheUnpacking) {
    // Items 1 and 3 are good; item 2 claims a size beyond the bound. The bars of item 1 are
    // taken, item 3 is not reached, and the transfer finishes.
    Bytes zip = MakeZip({RecordBytes(HistoryBars(1, 50, 2)), RecordBytes(HistoryBars(1, 48, 2)),
                         RecordBytes(HistoryBars(1, 46, 2))});
    PatchCentralSize(zip, 1, 0xF0000000u);
    data_.Answer(HistoryAnswer(zip, "X"));
    EXPECT_EQ(Run(), TransferEnd::Applied);
    auto bars = chart_->RawBars();
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(TimeText(bars[1]), HistoryBar(1, 49).time);
    EXPECT_TRUE(link_->Loaded());
    EXPECT_EQ(Cached(), 2u);
}

TEST_F(HistoryLoaderTest, ANewerTransferStopsTheOlderOneBeforeItTouchesTheChart) {
    // Transfer A (instrument 1, 15 minutes) stops half way through its archive; meanwhile the
    // chart switches to 30 minutes and transfer B starts. A must not add, merge or flag
    // anything, though its bars belong to the same instrument; B is applied.
    const Bytes zipA = MakeZip({RecordBytes(HistoryBars(1, 900, 50))});
    data_.Answer(HistoryAnswer(zipA, "TA"), 4 + zipA.size() / 2);
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 500, 3))}), "TB"), 0);

    const std::uint64_t a = link_->Start(Key("0"), Key("0"), Endpoint());
    ASSERT_TRUE(data_.WaitPaused(1));
    EXPECT_TRUE(link_->Busy());

    link_->BeginReload();
    chart_->Reset(1, 30);
    const std::uint64_t b = link_->Start(Key("0"), Key("0"), Endpoint());
    EXPECT_EQ(WaitEnd(a), TransferEnd::Superseded) << "the shut-down socket wakes A";
    EXPECT_TRUE(link_->Busy()) << "B is still running; A's end does not clear the flag";
    EXPECT_EQ(chart_->BarCount(), 0u);
    data_.Resume();  // A's server goes on; then B's answer comes and pauses at once

    ASSERT_TRUE(data_.WaitPaused(2));
    data_.Resume();
    EXPECT_EQ(WaitEnd(b), TransferEnd::Applied);
    auto bars = chart_->RawBars();
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(TimeText(bars[0]), HistoryBar(1, 500).time);
    EXPECT_EQ(Text(link_->Trailer()), "TB");
    EXPECT_TRUE(link_->Loaded());
    EXPECT_FALSE(link_->Busy());
    EXPECT_EQ(applied_, 1);
    EXPECT_EQ(data_.Requests()[1].command, cmd::History(30, 1));
    EXPECT_FALSE(std::filesystem::exists(CachePath(15))) << "A never wrote its cache";
    EXPECT_EQ(Cached(30), 3u);
}

TEST_F(HistoryLoaderTest, PagingAsksForTheBarsBeforeTheOldest) {
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 200, 3))}), "2024T"));
    // The older page's trailer names its oldest bar: nothing older is left to ask for.
    const std::string oldest = Text(MakeBarKey(HistoryBar(1, 196)));
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(1, 197, 2))}), oldest), 0);
    ASSERT_EQ(Run(), TransferEnd::Applied);

    ASSERT_TRUE(link_->PageHistory(Endpoint()));
    const std::uint64_t id = link_->Current();
    ASSERT_TRUE(data_.WaitPaused(1));
    EXPECT_FALSE(link_->PageHistory(Endpoint())) << "one page at a time";
    data_.Resume();
    EXPECT_EQ(WaitEnd(id), TransferEnd::Applied);

    auto requests = data_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].keyA, "2024T");
    EXPECT_EQ(requests[1].keyB, Text(MakeBarKey(HistoryBar(1, 198))));
    auto bars = chart_->RawBars();
    ASSERT_EQ(bars.size(), 5u) << "older bars go behind the ones held";
    EXPECT_EQ(TimeText(bars[4]), HistoryBar(1, 196).time);
    EXPECT_EQ(Cached(), 5u) << "the whole series";
    EXPECT_FALSE(link_->PageHistory(Endpoint()));
    EXPECT_EQ(data_.Requests().size(), 2u);
}

TEST(FeedChartTest, MarketRecordsReachTheChartOnlyWhenTheyBelongToIt) {
    KLineData chart;
    chart.Reset(3, 15);
    EXPECT_EQ(FeedChart(chart, HistoryBar(4, 1), true), ChartFeed::NotForChart);
    BarRecord zero = HistoryBar(3, 1);
    zero.low = 0;
    EXPECT_EQ(FeedChart(chart, zero, true), ChartFeed::NotForChart);
    // Before the history: a finished bar waits for the merge, a live bar is dropped.
    EXPECT_EQ(FeedChart(chart, HistoryBar(3, 1), false), ChartFeed::Finished);
    EXPECT_EQ(FeedChart(chart, LiveBar(3, 200000), false), ChartFeed::LiveBeforeHistory);
    EXPECT_EQ(chart.BarCount(), 0u);
    EXPECT_TRUE(chart.MergeHistory());
    EXPECT_EQ(chart.BarCount(), 1u) << "the waiting bar is in";
    EXPECT_EQ(FeedChart(chart, LiveBar(3, 200000), true), ChartFeed::Live);
    ASSERT_EQ(chart.BarCount(), 2u);
    EXPECT_TRUE(IsLiveBar(chart.RawBars()[0]));
}

// --- The push reader ---

struct Calls {
    std::mutex mutex;
    std::vector<std::string> log;
    void Add(std::string s) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(s));
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex);
        return log;
    }
};

std::shared_ptr<PushLink> RecordingLink(Calls& calls, std::shared_ptr<LinkGate> gate = nullptr) {
    PushHandlers h;
    h.marketRecord = [&calls](const BarRecord& r) {
        calls.Add("market " + std::to_string(r.instrument) + " " + std::string(TimeText(r)));
    };
    h.signal = [&calls](const BarRecord& r) {
        calls.Add("signal " + std::to_string(r.instrument));
    };
    h.instantMessage = [&calls](const std::string& text, std::int32_t time) {
        calls.Add("message " + std::to_string(time) + " " + text);
    };
    h.logout = [&calls](unsigned msg) { calls.Add("logout " + std::to_string(msg)); };
    return std::make_shared<PushLink>(std::move(h), std::move(gate));
}

// Runs a reader over `stream` (which the server then ends) until the reader closes its socket.
void ReadStream(const Bytes& stream, PushLink& link) {
    PushServer server;
    server.Send(stream);
    server.End();
    ASSERT_TRUE(link.Connect(htonl(INADDR_LOOPBACK), server.Port()));
    EXPECT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }))
        << "the reader ends and closes its socket";
    EXPECT_EQ(server.Subscribed(), 1);
}

BarRecord Signal(int instrument) {
    BarRecord r = HistoryBar(instrument, 1);
    r.time[0] = static_cast<char>(0xFF);
    return r;
}

TEST(PushLinkTest, EveryItemTypeOfOneStream) {
    Bytes b;
    PutItem(b, push::Nothing);
    PutItem(b, 7);  // unknown: no body, the next four bytes are a new type
    PutItem(b, push::Discard);
    b.insert(b.end(), 100, 0x01);
    PutRecord(b, HistoryBar(3, 11));
    PutRecord(b, Signal(4));
    PutMessage(b, 1, 1700000000, ToAnsi("到价提醒"));
    PutItem(b, push::KeepAlive);
    PutItem(b, push::ForcedOffline);
    PutRecord(b, HistoryBar(3, 12));  // never read

    Calls calls;
    auto link = RecordingLink(calls);
    ReadStream(b, *link);
    EXPECT_EQ(calls.Log(), (std::vector<std::string>{
                               "market 3 00000011", "signal 4", "message 1700000000 到价提醒",
                               "logout " + std::to_string(WM_FORCED_OFFLINE)}));
    EXPECT_TRUE(link->TakeKeepAlive());
    EXPECT_FALSE(link->TakeKeepAlive()) << "taken by the check";
    EXPECT_TRUE(link->Recorded()) << "left for the link check to drop";
    link->Close();
    EXPECT_FALSE(link->Recorded());
}

TEST(PushLinkTest, TheReaderEndsOnBrokenItemsAndLogoutOrders) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::string> calls;
    };
    std::vector<Case> cases(7);
    PutMessage(cases[0].stream, 1, 0, "x");
    cases[0].name = "message time 0";
    PutMessage(cases[1].stream, 0, 1700000000, "x");
    cases[1].name = "message more flag 0";
    for (std::int32_t v : {push::Message, 1, 1700000000, kMaxMessageBytes + 1})
        Put32(cases[2].stream, v);
    cases[2].name = "message beyond the length bound";
    PutItem(cases[3].stream, push::Closed);
    cases[3].name = "server closed the link";
    cases[3].calls = {"logout " + std::to_string(WM_PUSH_LINK_CLOSED)};
    for (int i = 0; i < 4; ++i) PutRecord(cases[i].stream, HistoryBar(1, 99));  // never reached
    // The stream ends inside an item: what came before it stands, nothing more happens.
    PutRecord(cases[4].stream, HistoryBar(2, 5));
    PutItem(cases[4].stream, push::Record);
    cases[4].stream.resize(cases[4].stream.size() + 30, 0x02);
    cases[4].name = "cut record";
    cases[4].calls = {"market 2 00000005"};
    PutMessage(cases[5].stream, 1, 1700000000, "abcdef");
    cases[5].stream.resize(cases[5].stream.size() - 3);
    cases[5].name = "cut message text";
    PutItem(cases[6].stream, push::Discard);
    cases[6].stream.resize(cases[6].stream.size() + 60, 0x03);
    cases[6].name = "cut discarded body";

    for (const Case& c : cases) {
        Calls calls;
        auto link = RecordingLink(calls);
        ReadStream(c.stream, *link);
        EXPECT_EQ(calls.Log(), c.calls) << c.name;
    }
}

TEST(PushLinkTest, CloseWakesABlockedReaderAndAClosedGateStopsDispatch) {
    {
        PushServer server;  // sends nothing: the reader blocks
        Calls calls;
        auto link = RecordingLink(calls);
        ASSERT_TRUE(link->Connect(htonl(INADDR_LOOPBACK), server.Port()));
        ASSERT_TRUE(WaitUntil([&] { return server.Subscribed() == 1; }));
        link->Close();
        EXPECT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }))
            << "the reader woke and closed its socket";
    }
    {
        Bytes b;
        PutRecord(b, HistoryBar(1, 1));
        PutRecord(b, HistoryBar(1, 2));
        PushServer server;
        server.Send(b);
        server.End();
        auto gate = std::make_shared<LinkGate>();
        gate->Close();
        Calls calls;
        auto link = RecordingLink(calls, gate);
        // Behind a closed gate the link connects nothing...
        ASSERT_TRUE(link->Connect(htonl(INADDR_LOOPBACK), server.Port()));
        ASSERT_TRUE(WaitUntil([&] { return !link->Connecting(); }));
        EXPECT_FALSE(link->Recorded());
        // ...and a reader whose socket was connected before the gate closed acts on nothing.
        auto socket = std::make_shared<LinkSocket>(
            Socket::Connect(htonl(INADDR_LOOPBACK), server.Port(), timeouts::PushReadMs));
        std::thread reader([&] { link->PushLinkReader(socket); });
        reader.join();
        EXPECT_EQ(server.Subscribed(), 1);
        EXPECT_TRUE(calls.Log().empty());
    }
    // A connect that fails records nothing and says nothing: a bound port without a listener
    // refuses. The caller only learns that the connect started.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    Calls calls;
    auto link = RecordingLink(calls);
    EXPECT_TRUE(link->Connect(htonl(INADDR_LOOPBACK), ntohs(sa.sin_port)));
    ASSERT_TRUE(WaitUntil([&] { return !link->Connecting(); }));
    EXPECT_FALSE(link->Recorded());
    EXPECT_TRUE(calls.Log().empty());
    ::close(fd);
}

}  // namespace
}  // namespace zq
