// A broken or hostile server against the client's readers: history archives that would unpack
// without end, answers that never end or come a byte at a time, lists longer than their cap,
// instrument records with impossible decimals, and a shutdown while a worker waits on the
// server.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "market/history_cache.h"
#include "net/history_link.h"
#include "net/server_links.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "net/zip_reader.h"
#include "reports/alerts.h"
#include "reports/message_store.h"
#include "tests/links_support.h"
#include "tests/support/fake_ui.h"
#include "tests/support/test_directory.h"
#include "trading/model.h"

namespace zq {
namespace {

using namespace test;

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void Set16(Bytes& b, std::size_t at, std::uint16_t v) {
    std::memcpy(b.data() + at, &v, 2);
}
void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

// An archive of one deflated item whose central directory names that same item `entries`
// times: small on the wire, endless when unpacked entry by entry.
Bytes OneItemManyEntries(const Bytes& item, std::uint16_t entries) {
    const Bytes one = MakeZip({item});
    const std::size_t end = one.size() - 22;
    EXPECT_EQ(Get32(one, end), 0x06054b50u);
    const std::uint32_t directory = Get32(one, end + 16);
    const std::uint32_t directorySize = Get32(one, end + 12);
    const Bytes entry(one.begin() + directory, one.begin() + directory + directorySize);
    Bytes out(one.begin(), one.begin() + directory);
    for (int i = 0; i < entries; ++i) out.insert(out.end(), entry.begin(), entry.end());
    Bytes tail(one.begin() + end, one.end());
    Set16(tail, 8, entries);
    Set16(tail, 10, entries);
    Set32(tail, 12, static_cast<std::uint32_t>(entry.size()) * entries);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// A request server whose handler runs on its own thread per test and stops with it.
class Answers {
  public:
    explicit Answers(ScriptServer::Handler handler) : server_(std::move(handler)) {
        server_.UseAsRequestPort();
    }
    ~Answers() {
        ::unsetenv("ZQ_REQUEST_PORT");
        ReloadConfig();
    }

  private:
    ScriptServer server_;
};

// Sends `start` at once, then a zero byte every `everyMs` until the client goes away or `stop`
// is set.
void Trickle(Socket& peer, int everyMs, const std::atomic<bool>& stop, const Bytes& start = {}) {
    if (!start.empty() && peer.Send(start.data(), start.size()) <= 0) return;
    const char c = 0;
    while (!stop && peer.Send(&c, 1) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
}

Bytes Ints(std::initializer_list<std::int32_t> values) {
    Bytes b;
    for (std::int32_t v : values) Put32(b, v);
    return b;
}

class DeadlineTest : public ::testing::Test {
  protected:
    void SetUp() override { timeouts::SetAnswerDeadlinesMs(300, 300); }
    void TearDown() override {
        stop_ = true;
        timeouts::SetAnswerDeadlinesMs(0, 0);
        ResetSession();
    }
    std::atomic<bool> stop_{false};
};

// --- History archives ---

TEST(HistoryArchiveTest, ItemsThatShareTheirDataAreRefusedBeforeAnythingIsUnpacked) {
    // 65,535 entries naming one deflated item of 2,000 bars: some 3 MB that would unpack to
    // 7 GB of bars.
    const Bytes item = RecordBytes(HistoryBars(1, 2000, 2000));
    const Bytes bomb = OneItemManyEntries(item, 0xFFFF);
    EXPECT_FALSE(ZipLayoutIsSound(bomb.data(), bomb.size()));
    ZipReader reader;
    EXPECT_FALSE(reader.Open(bomb.data(), bomb.size()));

    // Two entries are already one too many; one is an ordinary archive.
    const Bytes twice = OneItemManyEntries(item, 2);
    EXPECT_FALSE(reader.Open(twice.data(), twice.size()));
    const Bytes once = OneItemManyEntries(item, 1);
    ASSERT_TRUE(reader.Open(once.data(), once.size()));
    EXPECT_EQ(reader.ItemSize(0), item.size());
    const Bytes several = MakeZip({item, Bytes(560, 0), item}, true);
    EXPECT_TRUE(ZipLayoutIsSound(several.data(), several.size()));

    // A directory that points outside the archive, or past its own end, does not open.
    Bytes outside = once;
    const std::size_t end = outside.size() - 22;
    Set32(outside, Get32(outside, end + 16) + 42, 0x7FFFFFF0u);
    EXPECT_FALSE(ZipLayoutIsSound(outside.data(), outside.size()));
    Bytes longDirectory = once;
    Set32(longDirectory, end + 12, Get32(longDirectory, end + 12) + 1000);
    EXPECT_FALSE(ZipLayoutIsSound(longDirectory.data(), longDirectory.size()));
}

TEST(HistoryArchiveTest, UnpackingStopsBeforeTheTotalBound) {
    // Two items of zeros, each within the bound, together beyond it: only the first is taken.
    const std::size_t itemBytes = kMaxHistoryUnpackedBytes / 2 + sizeof(BarRecord);
    const Bytes zip = MakeZip({Bytes(itemBytes, 0), Bytes(itemBytes, 0)});
    std::size_t taken = 0;
    int items = 0;
    ASSERT_TRUE(UnpackHistory(zip.data(), zip.size(), [&](const BarRecord*, std::size_t n) {
        taken += n;
        ++items;
        return true;
    }));
    EXPECT_EQ(items, 1);
    EXPECT_EQ(taken, itemBytes / sizeof(BarRecord));
}

class HostileHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-hostile-history");
        chart_->Reset(1, 15);
        HistoryLink::Options o;
        o.chart = chart_;
        link_ = std::make_shared<HistoryLink>(o);
    }
    void TearDown() override {
        timeouts::SetAnswerDeadlinesMs(0, 0);
        std::filesystem::remove_all(dir_);
    }
    TransferEnd Run() {
        return link_->Run(NoBarKey(), NoBarKey(),
                          {htonl(INADDR_LOOPBACK), data_.Port(), dir_.string()});
    }
    bool Cached() const { return std::filesystem::exists(HistoryFilePath(dir_.string(), 1, 15)); }

    std::filesystem::path dir_;
    DataServer data_;
    std::shared_ptr<KLineData> chart_ = std::make_shared<KLineData>();
    std::shared_ptr<HistoryLink> link_;
};

TEST_F(HostileHistoryTest, AnArchiveOfOneItemUnderEveryEntryLeavesChartAndCacheAlone) {
    const Bytes bomb = OneItemManyEntries(RecordBytes(HistoryBars(1, 2000, 2000)), 0xFFFF);
    data_.Answer(HistoryAnswer(bomb, "T"));
    EXPECT_EQ(Run(), TransferEnd::Failed);
    EXPECT_EQ(chart_->BarCount(), 0u);
    EXPECT_FALSE(Cached());
    EXPECT_FALSE(link_->Loaded());
}

TEST_F(HostileHistoryTest, AnAnswerThatTricklesEndsAtItsDeadline) {
    timeouts::SetAnswerDeadlinesMs(0, 300);
    // The length promises 1,000 bytes; then one byte every 50 ms, each well inside the read
    // time-out, so only the deadline of the whole answer ends the transfer.
    std::atomic<bool> stop{false};
    ScriptServer slow([&](Socket& peer, int) {
        RequestHeader h;
        char keys[26];
        if (!ScriptServer::ReadHeader(peer, h) || ReceiveExact(peer, keys, 26) != 26) return;
        Trickle(peer, 50, stop, Ints({1000}));
    });
    EXPECT_EQ(
        link_->Run(NoBarKey(), NoBarKey(), {htonl(INADDR_LOOPBACK), slow.Port(), dir_.string()}),
        TransferEnd::Failed);
    stop = true;
    EXPECT_EQ(chart_->BarCount(), 0u);
    EXPECT_FALSE(Cached());
}

// --- Answer deadlines ---

TEST_F(DeadlineTest, AByteASecondServerEndsEveryKindOfAnswerAtItsDeadline) {
    FakeUi ui;
    // Each answer starts well and then comes a byte at a time, each byte inside the read
    // time-out: a list of one record, a message of 1,000 bytes, an account block.
    Answers server([this](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        char payload[sizeof(LoadPositionsRequest)];
        if (h.command == cmd::LoadPositions) ReceiveExact(peer, payload, sizeof payload);
        Trickle(peer, 50, stop_,
                h.command == cmd::LoadMessages  ? Ints({1, 1700000000, 1000})
                : h.command == cmd::LoadAccount ? Bytes{}
                                                : Ints({1}));
    });
    {
        Socket s = ConnectRequestPort();
        ASSERT_TRUE(s.Valid());
        std::vector<PositionRecord> list;
        ASSERT_TRUE(SendRequest(s, MakeHeader(cmd::LoadSummary)));
        const ListResult r = ReadCountedList(s, list);
        EXPECT_EQ(r.announced, 1);
        EXPECT_FALSE(r.complete);
    }
    {
        Socket s = ConnectRequestPort();
        MessageStore store;
        EXPECT_FALSE(store.Load(s));
        EXPECT_EQ(store.Size(), 0u);
    }
    {
        // The trading loads end with their own messages.
        TradingModel model;
        Socket s = ConnectRequestPort();
        EXPECT_FALSE(model.LoadPositions(s));
        s = ConnectRequestPort();
        EXPECT_FALSE(model.LoadAccount(s));
        EXPECT_EQ(ui.BoxTexts(),
                  (std::vector<std::string>{kPositionsLoadFailedText, kAccountLoadFailedText}));
    }
}

TEST_F(DeadlineTest, AnEndlessMessageStreamStopsAtTheBoundInServerOrder) {
    Answers server([this](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        Bytes items;
        for (int i = 0; i < 500; ++i) {
            Put32(items, 1);
            Put32(items, 1000 + i);
            Put32(items, 1);
            items.push_back(static_cast<unsigned char>('A' + i % 3));
        }
        while (!stop_ && peer.Send(items.data(), items.size()) > 0) {
        }
    });
    timeouts::SetAnswerDeadlinesMs(60000, 0);  // the bound, not the deadline, ends this one
    Socket s = ConnectRequestPort();
    MessageStore store;
    EXPECT_FALSE(store.Load(s));
    const std::vector<MessageRecord> items = store.Copy();
    ASSERT_EQ(items.size(), kMaxLoadedMessages);
    // Newest first: the last item read leads, the first read comes last.
    EXPECT_EQ(items.back().content, "A");
    const std::size_t last = (kMaxLoadedMessages - 1) % 500;  // its place in the server's batch
    EXPECT_EQ(items.front().content, std::string(1, static_cast<char>('A' + last % 3)));
    EXPECT_EQ(items.front().time, ChinaTimeStamp(static_cast<std::time_t>(1000 + last)));
    EXPECT_EQ(items.back().time, ChinaTimeStamp(1000));
    EXPECT_EQ(items[items.size() - 2].content, "B");
}

// --- Counted lists over their cap ---

TEST(CountedListTest, AListOverItsCapFailsAndTheConnectionIsNotReadOutOfStep) {
    // 8 answers 100,001 price alerts; 56 would follow, but the client must not read the
    // price alerts' surplus as profit alerts.
    Answers server([](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        Bytes answer;
        Put32(answer, kMaxListCount + 1);
        answer.resize(answer.size() + std::size_t{sizeof(PriceAlertRecord)} * (kMaxListCount + 1),
                      'x');
        peer.Send(answer.data(), answer.size());
        if (!ScriptServer::ReadHeader(peer, h)) return;
        Bytes profit;
        Put32(profit, 0);
        peer.Send(profit.data(), profit.size());
    });
    AlertList<PriceAlertRecord> prices;
    prices.Replace({PriceAlertRecord{}});
    AlertList<ProfitAlertRecord> profits;
    profits.Replace({ProfitAlertRecord{}, ProfitAlertRecord{}});
    Socket s = ConnectRequestPort();
    EXPECT_FALSE(LoadPriceAlerts(s, prices));
    EXPECT_EQ(prices.Copy().size(), 1u) << "the refused list leaves the old one";
    EXPECT_FALSE(LoadProfitAlerts(s, profits));
    EXPECT_EQ(profits.Copy().size(), 2u);
    ResetSession();
}

TEST(CountedListTest, TradingListsOverTheCapKeepTheirOldContentAndSayTheLoadFailed) {
    FakeUi ui;
    Answers server([](Socket& peer, int) {
        RequestHeader h;
        char payload[sizeof(LoadPositionsRequest)];
        if (!ScriptServer::ReadHeader(peer, h)) return;
        if (ReceiveExact(peer, payload, sizeof payload) != static_cast<int>(sizeof payload)) return;
        Bytes answer;
        Put32(answer, kMaxListCount + 1);
        peer.Send(answer.data(), answer.size());
    });
    TradingModel model;
    model.SetPositions(std::vector<PositionRecord>(3));
    Socket s = ConnectRequestPort();
    EXPECT_FALSE(model.LoadPositions(s));
    EXPECT_EQ(model.Positions().size(), 3u);
    ASSERT_EQ(ui.BoxTexts().size(), 1u);
    EXPECT_EQ(ui.BoxTexts()[0], kPositionsLoadFailedText);
    ResetSession();
}

// --- Instrument records ---

TEST(InstrumentLoadTest, RecordsThatCannotBeReckonedWithAreLeftOut) {
    FakeUi ui;
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    std::vector<InstrumentRecord> sent;
    const auto add = [&](std::int32_t id, std::int32_t decimals) -> InstrumentRecord& {
        InstrumentRecord& r = sent.emplace_back();
        r.id = id;
        r.decimals = decimals;
        return r;
    };
    add(1, 2);
    add(2, -39);  // no usable prices
    add(3, 10);   // nor here
    add(4, 0);
    add(1, 3);                           // gold again: the first record counts
    add(43, 2);                          // not an instrument of the catalogue
    add(5, 2).pointValue = kNaN;         // money that is no number
    add(6, 2).lotDecimals = 0x7fffffff;  // lots no order can be built from
    add(7, 2).minLots = kNaN;            // nor here
    add(8, 2).stopDistance = std::numeric_limits<float>::infinity();  // no distance to keep
    Answers server([&](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        Bytes answer;
        Put32(answer, static_cast<std::int32_t>(sent.size()));
        Put(answer, sent.data(), sent.size() * sizeof(InstrumentRecord));
        peer.Send(answer.data(), answer.size());
    });
    TradingModel model;
    Socket s = ConnectRequestPort();
    EXPECT_FALSE(model.LoadInstruments(s));
    const std::vector<InstrumentRecord> kept = model.Instruments();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].id, 1);
    EXPECT_EQ(kept[0].decimals, 2);
    EXPECT_EQ(kept[1].id, 4);

    // A market record of the rejected instrument gives no price at all, never inf or NaN.
    BarRecord r = HistoryBar(2, 1, 165050);
    model.QuoteUpdate(r);
    EXPECT_EQ(model.FindInstrument(2).last, 0.0f);
    EXPECT_EQ(model.FindInstrument(2).ask, 0.0f);
    ResetSession();
}

// --- Shutting the links down ---

TEST(LinkShutdownTest, ClosingTheLinksWakesAQuoteUpdateWaitingOnTheServer) {
    FakeUi ui;
    const std::filesystem::path dir = test::MakeTestDirectory("zq-hostile-shutdown");
    PushServer push;
    DataServer data;
    PointLinksAt(dir, push.Port(), data.Port());
    // The quote update's reload meets a server that sends a byte every 50 ms, for ever, far
    // inside every time-out: only the shutdown can end it.
    timeouts::SetAnswerDeadlinesMs(600000, 600000);
    std::atomic<bool> stop{false};
    std::atomic<int> waiting{0};
    auto server = std::make_unique<Answers>([&](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        if (h.command == cmd::LoadSignalFlags) {  // the links' own first request
            const char flags[50] = {};
            peer.Send(flags, sizeof flags);
            return;
        }
        ++waiting;
        Trickle(peer, 50, stop, Ints({1}));
    });
    std::atomic<bool> readEnded{false};
    {
        ServerLinks links(reinterpret_cast<WindowHandle>(0x5EA7), 1, {});
        links.SetQuoteSink([&](const BarRecord&) {
            Socket s = ConnectRequestPort();
            std::vector<PositionRecord> list;
            if (SendRequest(s, MakeHeader(cmd::LoadSummary))) ReadCountedList(s, list);
            readEnded = true;
        });
        links.RebuildLinks();
        Bytes item;
        PutItem(item, push::Record);
        PutRecord(item, HistoryBar(1, 1));
        push.Send(item);
        ASSERT_TRUE(WaitUntil([&] { return waiting.load() == 1; }));
        links.ShutdownLinks();
        EXPECT_TRUE(readEnded);
    }
    stop = true;
    server.reset();
    timeouts::SetAnswerDeadlinesMs(0, 0);
    ClearLinksEnvironment(dir);
}

TEST(LinkShutdownTest, SessionResetWaitsForTheWorkersThatReadIt) {
    Session().sessionKey[0] = 9;
    std::atomic<bool> released{false};
    std::atomic<bool> holding{false};
    std::thread worker([&] {
        const SessionUse use;
        holding = true;
        while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Still inside: the session has not changed under this worker.
        EXPECT_EQ(Session().sessionKey[0], 9);
    });
    ASSERT_TRUE(WaitUntil([&] { return holding.load(); }));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
    });
    EXPECT_TRUE(ResetSession());
    EXPECT_EQ(SessionUsers(), 0);
    EXPECT_EQ(Session().sessionKey[0], 0);
    worker.join();
    release.join();
}

}  // namespace
}  // namespace zq
