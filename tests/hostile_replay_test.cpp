// The whole client, logged in to the stand-in server, against a server that turns hostile: a
// flood of large instant messages on the push link, a trade request that is never answered,
// slow answers, an endless equity page, pages of history at the series' bound, lists at their
// cap, price alerts whose deletion is never confirmed, and what a killed write left on disk.
// Throughout, the window must answer (a ping through its event loop) and the process must stay
// within its memory bound, files within theirs; the operation ends with its own message, and
// the program closes. How long the window waited and the closing took is reported, never
// asserted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTabBar>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/client_core.h"
#include "app/ui/child_view.h"
#include "market/history_cache.h"
#include "net/history_link.h"
#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "net/wire/socket.h"
#include "reports/message_store.h"
#include "reports/ui/account_pages.h"
#include "reports/ui/explorer.h"
#include "reports/ui/report_page.h"
#include "reports/ui/simulate_main.h"
#include "reports/ui/sms_manager.h"
#include "tests/links_support.h"
#include "tests/support/client_e2e.h"
#include "tests/support/script_server.h"
#include "tests/support/window_ping.h"
#include "trading/ui/open_order.h"
#include "widgets/command_ids.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using namespace test;

// The process's memory may not pass this while the server misbehaves.
constexpr long long kMemoryBoundMiB = 300;
// A window that waits longer than this for its event loop has frozen: far above a healthy
// window's wait, far below any network deadline.
constexpr long long kFrozenMs = 2000;

// Reads one push item of the server's (its type already read) and appends it to `item`;
// false when the link ends.
bool RelayItem(Socket& from, std::int32_t type, std::vector<char>& item) {
    const auto take = [&](int count) {
        const std::size_t at = item.size();
        item.resize(at + static_cast<std::size_t>(count));
        return ReceiveExact(from, item.data() + at, count) == count;
    };
    switch (type) {
        case push::Record:
            return take(56);
        case push::Message: {
            if (!take(12)) return false;
            std::int32_t length;
            std::memcpy(&length, item.data() + item.size() - 4, 4);
            return length <= 0 || (length <= kMaxMessageBytes && take(length));
        }
        case push::Discard:
            return take(push::kDiscardBytes);
        default:
            return true;
    }
}

// A rule that asks the server and answers instead a counted list of `count` copies of `record`,
// their keys (the field at `key`) numbered from 1.
template <typename Record, std::size_t N>
RequestRelay::Command NumberedCopies(std::size_t payloadBytes, Record record,
                                     char (Record::*key)[N], int count) {
    return {payloadBytes, [=](RequestRelay::Exchange& e) mutable -> std::optional<std::string> {
                if (!e.AskList(sizeof(Record))) return std::nullopt;
                std::string list(4 + static_cast<std::size_t>(count) * sizeof(Record), '\0');
                std::memcpy(list.data(), &count, 4);
                for (int i = 0; i < count; ++i) {
                    std::snprintf(record.*key, N, "%020d", i + 1);
                    std::memcpy(list.data() + 4 + static_cast<std::size_t>(i) * sizeof record,
                                &record, sizeof record);
                }
                return list;
            }};
}

class HostileReplay : public ClientEndToEnd {
  protected:
    // The client's push link runs through a relay that passes the server's items on and, when
    // a test asks, sends items of its own between two of them.
    void BeforeStart() override {
        // What earlier tests of this process freed goes back to the system: the memory counted
        // is this replay's.
        ::malloc_trim(0);
        relay_ = std::make_unique<ScriptServer>([this](Socket& client, int) { Relay(client); });
        relay_->UseAsPushPort();
    }
    void TearDown() override {
        stop_ = true;
        ClientEndToEnd::TearDown();
        {
            // A push link the server keeps (no log-out reached it) ends here.
            std::lock_guard lock(upstreamMutex_);
            if (upstream_) upstream_->Shutdown();
        }
        relay_.reset();
        silent_.reset();
        timeouts::SetOperationDeadlineMs(0);
    }

    void Relay(Socket& client) {
        RequestHeader subscribe;
        if (!ScriptServer::ReadHeader(client, subscribe)) return;
        Socket server = Socket::Connect(htonl(INADDR_LOOPBACK), server_.pushPort(), 0);
        if (!server.Valid() || server.Send(&subscribe, sizeof subscribe) != sizeof subscribe)
            return;
        {
            std::lock_guard lock(upstreamMutex_);
            upstream_ = &server;
        }
        struct Forget {
            HostileReplay* self;
            ~Forget() {
                std::lock_guard lock(self->upstreamMutex_);
                self->upstream_ = nullptr;
            }
        } forget{this};
        std::vector<char> item;
        while (!stop_) {
            std::int32_t type = 0;
            if (ReceiveExact(server, &type, 4) != 4) return;
            item.assign(reinterpret_cast<char*>(&type), reinterpret_cast<char*>(&type) + 4);
            if (!RelayItem(server, type, item)) return;
            if (client.Send(item.data(), item.size()) != static_cast<int>(item.size())) return;
            if (floodSeconds_ > 0) Flood(client);
        }
    }

    // Instant messages of the longest text the client takes, as fast as it reads them.
    void Flood(Socket& client) {
        std::vector<char> item(16 + kMaxMessageBytes, 'A');
        const std::int32_t head[4] = {
            push::Message, 1, static_cast<std::int32_t>(std::time(nullptr)), kMaxMessageBytes};
        std::memcpy(item.data(), head, sizeof head);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(floodSeconds_);
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            if (client.Send(item.data(), item.size()) != static_cast<int>(item.size())) break;
            ++flooded_;
        }
        floodSeconds_ = 0;
        floodDone_ = true;
    }

    // Serves the window thread until `done`, noting the peak of the process's memory.
    template <class F>
    bool ServeWatching(F&& done, int ms) {
        return ServeUntil(
            [&] {
                peakMiB_ = std::max(peakMiB_, ResidentMiB());
                return done();
            },
            ms);
    }

    // Closes the program as the user does ("退出", confirmed) and waits until it has gone; the
    // time it took is reported.
    long long CloseProgramMs() {
        QElapsedTimer t;
        t.start();
        frame_->OnCommand(cmdid::Exit);
        app_.reset();
        const long long ms = t.elapsed();
        RecordProperty("closing_ms", std::to_string(ms));
        return ms;
    }
    // The figures of a row: the window's longest wait and the memory's peak.
    void Report(const WindowPing& ping) {
        RecordProperty("longest_window_wait_ms", std::to_string(ping.LongestWaitMs()));
        RecordProperty("peak_rss_mib", std::to_string(ping.PeakResidentMiB()));
    }

    std::unique_ptr<ScriptServer> relay_;
    std::mutex upstreamMutex_;
    Socket* upstream_ = nullptr;  // the relay's link to the server, while it runs
    std::unique_ptr<ScriptServer> silent_;
    std::atomic<bool> stop_{false};
    std::atomic<int> floodSeconds_{0};
    std::atomic<bool> floodDone_{false};
    std::atomic<long long> flooded_{0};
    long long peakMiB_ = 0;
};

// A write killed between its temporary file and the rename left its temporary behind, in
// history/ and beside the settings file. The program removes those of a writer that no longer
// runs when it starts, and keeps one whose writer still runs. (The sweep runs once per process:
// this suite runs first.)
class StaleTemporaries : public HostileReplay {
  protected:
    void BeforeStart() override {
        HostileReplay::BeforeStart();
        // A process that has ended: its id names the dead writer.
        const pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        ::waitpid(child, nullptr, 0);
        const std::filesystem::path data = env_->dataDirectory();
        std::filesystem::create_directories(data / "history");
        const std::string dead = std::to_string(child);
        stale_ = {data / "history" / ("kd1_15.tmp." + dead + ".1"),
                  data / ("data.tmp." + dead + ".2")};
        live_ = data / "history" / ("kd2_15.tmp." + std::to_string(::getppid()) + ".1");
        for (const auto& path : {stale_[0], stale_[1], live_}) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0) << path;
            // As large as a cut write of a series at its bound, without taking the disk.
            EXPECT_EQ(::ftruncate(fd, 90 << 20), 0);
            ::close(fd);
        }
    }
    std::vector<std::filesystem::path> stale_;
    std::filesystem::path live_;
};

TEST_F(StaleTemporaries, TemporariesOfADeadWriterAreRemovedAtStart) {
    for (const auto& path : stale_) EXPECT_FALSE(std::filesystem::exists(path)) << path;
    EXPECT_TRUE(std::filesystem::exists(live_));
    std::filesystem::remove(live_);
    std::uint64_t cached = 0;
    for (const auto& f : std::filesystem::directory_iterator(HistoryDirectory()))
        cached += f.file_size();
    EXPECT_LE(cached, kMaxHistoryCacheBytes);
    CloseProgramMs();
}

TEST_F(HostileReplay, AFloodOfLargeInstantMessagesNeitherFreezesNorBloatsTheClient) {
    WindowPing ping;
    floodSeconds_ = 5;
    ASSERT_TRUE(MoveGold(1660.00));  // an item from the server starts the flood after it
    ASSERT_TRUE(ServeWatching([&] { return floodDone_.load(); }, kWaitMs));
    // What was read is shown or dropped; then the message manager opens on what is kept.
    ServeWatching([] { return false; }, 1000);
    const long long duringFlood = ping.LongestWaitMs();
    // Its rows come a batch at a time after the first, as many as the store holds, the newest
    // first.
    int rows = -1, filled = -1;
    std::size_t stored = 0;
    std::string newest;
    std::size_t selected = 0;
    bool shown = false;
    WhenDialogShows<CSmsManager>(
        [&](CSmsManager& m) {
            ServeWatching([&] { return m.FilledRows() == m.List()->rowCount(); }, kWaitMs);
            rows = m.List()->rowCount();
            filled = m.FilledRows();
            stored = app_->Core()->Messages().Size();
            newest = U(m.List()->Cell(0, 1));
            m.List()->selectRow(0);
            selected = U(m.TextField()->toPlainText()).size();
        },
        &shown);
    frame_->OnCommand(cmdid::OpenMessages);
    ServeWatching([] { return false; }, 300);
    EXPECT_TRUE(shown);
    EXPECT_GT(rows, CSmsManager::kFirstFillRows);
    EXPECT_EQ(filled, rows);
    EXPECT_EQ(static_cast<std::size_t>(rows), stored);
    EXPECT_EQ(newest, std::string(CSmsManager::kCellTextChars, 'A'));
    EXPECT_EQ(selected, static_cast<std::size_t>(kMaxMessageBytes));

    EXPECT_GT(flooded_.load(), 0);
    EXPECT_LE(peakMiB_, kMemoryBoundMiB) << flooded_ << " messages of 64 KiB";
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    RecordProperty("flooded_messages", std::to_string(flooded_.load()));
    RecordProperty("peak_rss_mib", std::to_string(peakMiB_));
    RecordProperty("longest_window_wait_during_flood_ms", std::to_string(duringFlood));
    RecordProperty("longest_window_wait_ms", std::to_string(ping.LongestWaitMs()));

    // The program closes while the next flood runs.
    floodDone_ = false;
    floodSeconds_ = 30;
    Control("price 1 1661.00");
    ServeWatching([&] { return flooded_.load() > 0 && !floodDone_; }, 1000);
    ServeWatching([] { return false; }, 300);
    CloseProgramMs();
}

TEST_F(HostileReplay, ATradeTheServerNeverAnswersEndsWithItsMessageWhileTheWindowAnswers) {
    // From now on the request port takes requests and answers nothing.
    silent_ = std::make_unique<ScriptServer>([this](Socket& peer, int) {
        RequestHeader h;
        while (ScriptServer::ReadHeader(peer, h) && !stop_) {
            char payload[4096];
            while (!stop_ && peer.Recv(payload, sizeof payload) > 0) {
            }
        }
    });
    silent_->UseAsRequestPort();
    timeouts::SetOperationDeadlineMs(1500);

    WindowPing ping;
    bool shown = false;
    WhenDialogShows<COpenOrder>(
        [&](COpenOrder& d) {
            d.Submit(direction::Buy);
            // The dialog waits for its operation; the window goes on meanwhile.
            ServeWatching([&] { return !ui_.BoxTexts().empty() || !d.isVisible(); }, kWaitMs);
        },
        &shown);
    frame_->OnCommand(cmdid::NewMarketOrder);
    ServeWatching([&] { return !ui_.BoxTexts().empty(); }, kWaitMs);

    EXPECT_TRUE(shown);
    EXPECT_FALSE(ui_.BoxTexts().empty());
    EXPECT_GT(silent_->Connections(), 0);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    EXPECT_LE(peakMiB_, kMemoryBoundMiB);
    RecordProperty("boxes", testing::PrintToString(ui_.BoxTexts()));
    RecordProperty("longest_window_wait_ms", std::to_string(ping.LongestWaitMs()));
    // The log-out goes to a server that takes requests and answers none.
    CloseProgramMs();
}

// The request port listens but never accepts, its queue full: a connect to it waits for its
// time-out. The log-out at the exit waits only so long, and the window answers meanwhile.
TEST_F(HostileReplay, TheProgramClosesWhileItsLogOutCannotConnect) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &length);
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ::setenv("ZQ_REQUEST_PORT", std::to_string(ntohs(sa.sin_port)).c_str(), 1);
    ReloadConfig();

    WindowPing ping;
    CloseProgramMs();
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    Report(ping);
    for (int fd : queued) ::close(fd);
    ::close(listener);
}

// The push link ends and its port then listens but lets no connection in, its queue full: every
// silent link check reconnects, and the instrument and period switches rebuild, while a connect
// waits for its time-out; the window answers throughout, and the program closes with a connect
// still waiting.
TEST_F(HostileReplay, APushPortThatNeverAcceptsNeverHoldsUpTheWindow) {
    FullQueuePort port;
    ::setenv("ZQ_PUSH_PORT", std::to_string(port.Port()).c_str(), 1);
    ReloadConfig();
    ServerLinks& links = frame_->View()->Links();
    {
        std::lock_guard lock(upstreamMutex_);
        ASSERT_NE(upstream_, nullptr);
        upstream_->Shutdown();  // the relay ends the client's link
    }

    WindowPing ping;
    links.SetLinkCheckPeriod(1000);
    const int rebuilds = links.RebuildCount();
    ASSERT_TRUE(ServeWatching([&] { return links.RebuildCount() > rebuilds; }, kWaitMs));
    EXPECT_TRUE(links.PushConnected()) << "a connect waits";
    for (int command : {cmdid::Instrument(2), cmdid::Period60, cmdid::Instrument(1)}) {
        frame_->OnCommand(command);
        ServeWatching([] { return false; }, 300);
    }
    const int switched = links.RebuildCount();
    EXPECT_GE(switched, rebuilds + 4);
    ASSERT_TRUE(ServeWatching([&] { return links.RebuildCount() > switched; }, kWaitMs));

    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    EXPECT_LE(peakMiB_, kMemoryBoundMiB);
    RecordProperty("rebuilds", std::to_string(links.RebuildCount() - rebuilds));
    Report(ping);
    CloseProgramMs();
}

// Every request answer of the server comes late, each part of it 250 ms after the last, yet
// within its deadline: the log-in, the start-up loads and the account's load take many seconds,
// and all the while the window answers.
class SlowAnswers : public HostileReplay {
  protected:
    void BeforeStart() override {
        HostileReplay::BeforeStart();
        ping_ = std::make_unique<WindowPing>();
        slow_ = std::make_unique<ScriptServer>([this](Socket& client, int) { SlowRelay(client); });
        slow_->UseAsRequestPort();
    }
    void TearDown() override {
        HostileReplay::TearDown();
        slow_.reset();
        ping_.reset();
    }

    void SlowRelay(Socket& client) {
        Socket server = Socket::Connect(htonl(INADDR_LOOPBACK), server_.requestPort(), 0);
        if (!server.Valid()) return;
        // The client's bytes go straight on; the server's wait.
        ScriptServer::Pipe(client, server, [this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            ++slowParts_;
            return !stop_;
        });
    }

    std::unique_ptr<WindowPing> ping_;
    std::unique_ptr<ScriptServer> slow_;
    std::atomic<int> slowParts_{0};
};

TEST_F(SlowAnswers, SlowStartUpLoadsLeaveTheWindowAnswering) {
    // The fixture has logged in and waited for the history and the first price.
    EXPECT_GT(slowParts_.load(), 8);
    EXPECT_GT(model_->Instruments().size(), 0u);
    EXPECT_LT(ping_->LongestWaitMs(), kFrozenMs);
    RecordProperty("slow_answer_parts", std::to_string(slowParts_.load()));
    Report(*ping_);
    // The log-out goes through the slow answers too.
    CloseProgramMs();
}

// The equity page ("资金曲线") answered with a body that never ends: the view abandons it at
// its bound and shows the line of a page it cannot open.
TEST_F(HostileReplay, AnEndlessEquityPageIsAbandonedAtItsBound) {
    std::atomic<long long> sent{0};
    ScriptServer web([&](Socket& peer, int) {
        std::string request;
        char c;
        while (request.find("\r\n\r\n") == std::string::npos && peer.Recv(&c, 1) == 1) request += c;
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n<html><body>";
        if (peer.Send(head.data(), head.size()) != static_cast<int>(head.size())) return;
        const std::string chunk = [] {
            std::string text;
            while (text.size() < 64 * 1024) text += "<p>资金曲线 equity</p>\n";
            return text;
        }();
        while (!stop_ && peer.Send(chunk.data(), chunk.size()) == static_cast<int>(chunk.size()))
            sent += static_cast<long long>(chunk.size());
    });
    web.UseAsWebBase();

    WindowPing ping;
    std::string shown;
    long long sentWhenShown = 0;
    qint64 taken = 0;
    bool seen = false;
    WhenDialogShows<CSimulateMain>(
        [&](CSimulateMain& w) {
            auto* equity = qobject_cast<CSPage7*>(w.Page(4));
            ASSERT_NE(equity, nullptr);
            w.Tabs()->setCurrentIndex(4);
            ServeWatching([&] { return sent.load() > 0 && equity->Explorer()->Idle(); }, kWaitMs);
            shown = U(equity->Explorer()->Text());
            taken = equity->Explorer()->BytesTaken();
            sentWhenShown = sent.load();
            ServeWatching([] { return false; }, 500);
        },
        &seen);
    frame_->OnCommand(cmdid::TradeReport);

    EXPECT_TRUE(seen);
    EXPECT_EQ(shown, kPageUnreachableText);
    EXPECT_GT(sent.load(), kMaxWebPageBytes);
    EXPECT_LE(taken, kMaxWebPageBytes);
    // The page is read only a little ahead of the view and its connection ends at the bound:
    // all the server got rid of is the bound and what the sockets' buffers hold between them
    // (a read ahead of the view took 24 MB before the view gave up, and 67 MB in all).
    EXPECT_LT(sent.load(), 16 * kMaxWebPageBytes);
    EXPECT_LE(ping.PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    RecordProperty("page_bytes_sent_when_shown", std::to_string(sentWhenShown));
    RecordProperty("page_bytes_sent", std::to_string(sent.load()));
    RecordProperty("page_bytes_taken", std::to_string(taken));
    Report(ping);
    CloseProgramMs();
}

// History transfers from a data port of the test's: the first brings a few hundred bars, every
// page after it 1,500,000 bars older than the oldest held, the series' whole bound each time.
class HistoryPaging : public HostileReplay {
  protected:
    static constexpr int kNewest = 99'999'999;  // time text of the newest bar ("%08d")
    static constexpr int kFirstBars = 300;
    static constexpr int kPageBars = static_cast<int>(kMaxBarsPerSeries);

    void BeforeStart() override {
        HostileReplay::BeforeStart();
        data_ = std::make_unique<ScriptServer>([this](Socket& peer, int) { Serve(peer); });
        data_->UseAsDataPort();
    }
    void TearDown() override {
        HostileReplay::TearDown();
        data_.reset();
    }

    // The bytes of a history answer whose archive holds `count` bars, newest first from
    // `newest`, in stored items of kPerItem bars: made and sent an item at a time, so that the
    // test's own memory stays small however large the page.
    static constexpr int kPerItem = 10'000;
    static std::uint32_t Crc32(const unsigned char* data, std::size_t size) {
        static const auto table = [] {
            std::array<std::uint32_t, 256> t{};
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[i] = c;
            }
            return t;
        }();
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
        return c ^ 0xFFFFFFFFu;
    }
    static bool SendPage(Socket& peer, int newest, int count) {
        struct Item {
            std::string name;
            std::uint32_t crc = 0, size = 0, offset = 0;
        };
        std::vector<Item> items;
        for (int from = 0; from < count; from += kPerItem) {
            Item item;
            item.name = "bars" + std::to_string(items.size() + 1);
            item.size = static_cast<std::uint32_t>(std::min(kPerItem, count - from) * 56);
            items.push_back(item);
        }
        std::uint32_t length = 22;
        for (const Item& i : items) length += 30 + 46 + 2 * i.name.size() + i.size;
        Bytes out;
        const auto u16 = [&](std::uint32_t v) { Put(out, &v, 2); };
        const auto u32 = [&](std::uint32_t v) { Put(out, &v, 4); };
        const auto flush = [&] {
            const bool sent = peer.Send(out.data(), out.size()) == static_cast<int>(out.size());
            out.clear();
            return sent;
        };
        u32(length);
        std::uint32_t at = 0;
        for (std::size_t n = 0; n < items.size(); ++n) {
            Item& item = items[n];
            std::vector<BarRecord> bars;
            for (int i = static_cast<int>(n) * kPerItem;
                 i < std::min(count, static_cast<int>(n + 1) * kPerItem); ++i)
                bars.push_back(HistoryBar(1, newest - i, 200000 + (i % 977)));
            const Bytes data = RecordBytes(bars);
            item.crc = Crc32(data.data(), data.size());
            item.offset = at;
            u32(0x04034b50), u16(20), u16(0), u16(0), u16(0), u16(0);
            u32(item.crc), u32(item.size), u32(item.size);
            u16(static_cast<std::uint32_t>(item.name.size())), u16(0);
            Put(out, item.name.data(), item.name.size());
            Put(out, data.data(), data.size());
            at += 30 + static_cast<std::uint32_t>(item.name.size()) + item.size;
            if (!flush()) return false;
        }
        const std::uint32_t directory = at;
        for (const Item& item : items) {
            u32(0x02014b50), u16(20), u16(20), u16(0), u16(0), u16(0), u16(0);
            u32(item.crc), u32(item.size), u32(item.size);
            u16(static_cast<std::uint32_t>(item.name.size())), u16(0), u16(0), u16(0), u16(0);
            u32(0), u32(item.offset);
            Put(out, item.name.data(), item.name.size());
            at += 46 + static_cast<std::uint32_t>(item.name.size());
        }
        u32(0x06054b50), u16(0), u16(0);
        u16(static_cast<std::uint32_t>(items.size())),
            u16(static_cast<std::uint32_t>(items.size()));
        u32(at - directory), u32(directory), u16(0);
        const BarKey trailer = Key("1");
        Put(out, trailer.data(), trailer.size());
        return flush();
    }

    void Serve(Socket& peer) {
        RequestHeader h;
        char keys[26];
        if (!ScriptServer::ReadHeader(peer, h) || ReceiveExact(peer, keys, 26) != 26) return;
        // A first transfer asks with key B "0"; a page names the oldest bar held.
        if (keys[13] == '0' && keys[14] == '\0') {
            SendPage(peer, kNewest, kFirstBars);
            return;
        }
        const int page = paged_;
        if (SendPage(peer, kNewest - kFirstBars - page * kPageBars, kPageBars)) ++paged_;
    }

    std::unique_ptr<ScriptServer> data_;
    std::atomic<int> paged_{0};
};

TEST_F(HistoryPaging, PagesAtTheSeriesBoundKeepTheSeriesAndItsCacheWithinIt) {
    ServerLinks& links = frame_->View()->Links();
    const std::string cache =
        HistoryFilePath(HistoryDirectory(), links.CurrentInstrument(), links.CurrentPeriod());

    WindowPing ping;
    std::size_t mostBars = 0;
    std::uintmax_t largestCache = 0;
    constexpr int kPages = 3;
    for (int page = 0; page < kPages; ++page) {
        ASSERT_TRUE(ServeWatching([&] { return !links.HistoryBusy(); }, kWaitMs));
        ASSERT_TRUE(links.PageHistory()) << page;
        ASSERT_TRUE(ServeWatching([&] { return paged_ > page && !links.HistoryBusy(); }, kWaitMs));
        // The left end of the chart and a quote while the series is full.
        ASSERT_TRUE(MoveGold(1660.00 + page));
        mostBars = std::max(mostBars, links.Chart().BarCount());
        std::error_code ec;
        largestCache = std::max(largestCache, std::filesystem::file_size(cache, ec));
    }
    std::uint64_t cached = 0;
    for (const auto& f : std::filesystem::directory_iterator(HistoryDirectory()))
        cached += f.file_size();

    EXPECT_EQ(paged_.load(), kPages);
    EXPECT_EQ(mostBars, kMaxBarsPerSeries);
    EXPECT_GT(largestCache, 0u);
    EXPECT_LE(largestCache, 4 + kMaxBarsPerSeries * sizeof(BarRecord));
    EXPECT_LE(cached, kMaxHistoryCacheBytes);
    EXPECT_LE(ping.PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    RecordProperty("cache_file_bytes", std::to_string(largestCache));
    Report(ping);
    CloseProgramMs();
}

// The member's one position on gold, as the server lists it, stands 100,000 times (the most a
// list may announce) in the answer of a reload: the chart, the account and every quote cost what
// is shown.
TEST_F(HostileReplay, AHundredThousandPositionsOnTheChartsInstrument) {
    const std::optional<PositionRecord> real = BuyAtMarket();
    ASSERT_TRUE(real);
    RequestRelay relay(
        server_.requestPort(),
        {{cmd::LoadPending,
          RequestRelay::PassList(sizeof(LoadOrdersRequest), sizeof(PendingOrderRecord))},
         {cmd::LoadSummary, RequestRelay::PassList(0, sizeof(PositionRecord))},
         {cmd::LoadPositions, NumberedCopies(sizeof(LoadPositionsRequest), *real,
                                             &PositionRecord::ticket, kMaxListCount)}});
    relay.UseAsRequestPort();

    WindowPing ping;
    frame_->OnCommand(cmdid::Reinitialise);  // the frame waits busy for the reload
    EXPECT_EQ(relay.Answered(cmd::LoadPositions), 1);
    EXPECT_EQ(model_->VisitPositions([](const auto& list) { return list.size(); }),
              static_cast<std::size_t>(kMaxListCount));
    ASSERT_TRUE(ServeWatching([&] { return frame_->View()->Links().HistoryLoaded(); }, kWaitMs));
    for (double price : {1661.00, 1662.50, 1659.00}) ASSERT_TRUE(MoveGold(price));
    ServeWatching([] { return false; }, 300);

    EXPECT_LE(ping.PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    Report(ping);
    CloseProgramMs();
}

// The member's one position on gold stands 10,000 times in the answer of a reload, and a
// pending order on gold as many times: the trade report shows "持仓明细", then "委托查询", each
// following the quotes and scrolled to its end, with the window answering throughout.
TEST_F(HostileReplay, TenThousandPositionsAndOrdersWithTheirReportPagesOpen) {
    constexpr int kCount = 10000;
    const std::optional<PositionRecord> real = BuyAtMarket();
    ASSERT_TRUE(real);
    PendingOrderRecord order{};
    order.instrument = real->instrument;
    std::memcpy(order.instrumentName, real->instrumentName, sizeof order.instrumentName);
    order.direction = direction::Buy;
    order.quantity = 1;
    order.price = 1500;
    order.triggerKind = trigger::BuyAskFalls;
    order.openClose = 1;
    order.validity = order_validity::ThisWeek;
    order.status = order_status::Waiting;
    RequestRelay relay(
        server_.requestPort(),
        {{cmd::LoadPending, NumberedCopies(sizeof(LoadOrdersRequest), order,
                                           &PendingOrderRecord::orderNumber, kCount)},
         {cmd::LoadSummary, RequestRelay::PassList(0, sizeof(PositionRecord))},
         {cmd::LoadPositions,
          NumberedCopies(sizeof(LoadPositionsRequest), *real, &PositionRecord::ticket, kCount)}});
    relay.UseAsRequestPort();

    WindowPing ping;
    frame_->OnCommand(cmdid::Reinitialise);
    ASSERT_TRUE(ServeWatching([&] { return frame_->View()->Links().HistoryLoaded(); }, kWaitMs));
    bool seen = false;
    std::vector<int> rows;
    WhenDialogShows<CSimulateMain>(
        [&](CSimulateMain& w) {
            for (int tab : {1, 2}) {
                w.Tabs()->setCurrentIndex(tab);
                auto* page = static_cast<CReportListPage*>(w.Page(tab));
                ServeWatching([&] { return !page->List()->Filling(); }, kWaitMs);
                WindowPing quotes;
                for (double price : {1660.00, 1661.50}) ASSERT_TRUE(MoveGold(price));
                page->List()->scrollToBottom();
                ASSERT_TRUE(MoveGold(1659.00));
                ServeWatching([] { return false; }, 300);
                rows.push_back(page->List()->rowCount());
                RecordProperty("tab" + std::to_string(tab) + "_quotes_longest_window_wait_ms",
                               std::to_string(quotes.LongestWaitMs()));
            }
        },
        &seen);
    frame_->OnCommand(cmdid::TradeReport);

    EXPECT_TRUE(seen);
    EXPECT_EQ(relay.Answered(cmd::LoadPending), 1);
    EXPECT_EQ(rows, (std::vector<int>{kCount, kCount}));
    EXPECT_LE(ping.PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    Report(ping);
    CloseProgramMs();
}

// The start-up's instrument list answered with 100,000 records in descending id order (the
// server's own records among them): the list keeps one record per instrument of the catalogue,
// and the load reads as failed.
class ManyInstruments : public HostileReplay {
  protected:
    void BeforeStart() override {
        HostileReplay::BeforeStart();
        ping_ = std::make_unique<WindowPing>();
        instruments_ = std::make_unique<RequestRelay>(
            server_.requestPort(),
            std::map<std::int32_t, RequestRelay::Command>{
                {cmd::LoadTradingHours, {0, [](RequestRelay::Exchange& e) { return e.Ask(4); }}},
                {cmd::LoadInstruments,
                 {0, [this](RequestRelay::Exchange& e) { return Descending(e); }}}});
        instruments_->UseAsRequestPort();
    }
    void TearDown() override {
        HostileReplay::TearDown();
        instruments_.reset();
        ping_.reset();
    }

    std::optional<std::string> Descending(RequestRelay::Exchange& e) {
        const std::optional<std::string> list = e.AskList(sizeof(InstrumentRecord));
        if (!list) return std::nullopt;
        real_ = RequestRelay::Records<InstrumentRecord>(*list);
        if (real_.empty()) return list;
        std::vector<InstrumentRecord> many;
        many.reserve(static_cast<std::size_t>(kMaxListCount));
        for (int id = kMaxListCount; id >= 1; --id) {
            const auto it = std::find_if(real_.begin(), real_.end(),
                                         [id](const InstrumentRecord& r) { return r.id == id; });
            InstrumentRecord r = it != real_.end() ? *it : real_.front();
            r.id = id;
            many.push_back(r);
        }
        return RequestRelay::CountedList(many);
    }

    std::unique_ptr<WindowPing> ping_;
    std::unique_ptr<RequestRelay> instruments_;
    std::vector<InstrumentRecord> real_;
};

TEST_F(ManyInstruments, AHundredThousandInstrumentRecordsLeaveOnePerInstrument) {
    EXPECT_EQ(instruments_->Answered(cmd::LoadInstruments), 1);
    const std::vector<InstrumentRecord> listed = model_->Instruments();
    EXPECT_EQ(listed.size(), real_.size());
    for (const InstrumentRecord& r : listed) {
        EXPECT_GE(r.id, 1);
        EXPECT_LE(r.id, 42);
    }
    ASSERT_TRUE(MoveGold(1661.00));
    ASSERT_TRUE(MoveGold(1662.00));
    EXPECT_LE(ping_->PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping_->LongestWaitMs(), kFrozenMs);
    Report(*ping_);
    CloseProgramMs();
}

// 5,000 price alerts on gold, loaded at start, whose deletion the server never confirms (it
// answers 0): each fires once in the run, with one message and one deletion request, however
// many quotes follow. Half of them fire while the request port is down: no box per alert or
// quote.
class UnconfirmedAlerts : public HostileReplay {
  protected:
    static constexpr int kAlerts = 5000;

    void BeforeStart() override {
        HostileReplay::BeforeStart();
        alerts_ = std::make_unique<RequestRelay>(
            server_.requestPort(), std::map<std::int32_t, RequestRelay::Command>{
                                       {cmd::LoadTradingHours,
                                        {0, [](RequestRelay::Exchange& e) { return e.Ask(4); }}},
                                       {cmd::LoadInstruments,
                                        RequestRelay::PassList(0, sizeof(InstrumentRecord))},
                                       {cmd::LoadPriceAlerts,
                                        {0,
                                         [](RequestRelay::Exchange&) -> std::optional<std::string> {
                                             std::vector<PriceAlertRecord> alerts(
                                                 kAlerts, PriceAlertRecord{});
                                             for (int i = 0; i < kAlerts; ++i) {
                                                 PriceAlertRecord& a =
                                                     alerts[static_cast<std::size_t>(i)];
                                                 a.id = i + 1;
                                                 a.instrument = 1;
                                                 a.condition = 2;  // "<="
                                                 a.target = i < kAlerts / 2 ? 1000.0 : 900.0;
                                             }
                                             return RequestRelay::CountedList(alerts);
                                         }}},
                                       {cmd::RemovePriceAlert,
                                        {sizeof(PriceAlertRecord), [](RequestRelay::Exchange&) {
                                             return std::optional<std::string>(
                                                 std::string(1, '\0'));
                                         }}}});
        alerts_->UseAsRequestPort();
    }
    void TearDown() override {
        HostileReplay::TearDown();
        alerts_.reset();
    }

    int AlertMessages() const {
        int n = 0;
        for (const MessageRecord& m : app_->Core()->Messages().Copy())
            n += m.content.find("价格预警") != std::string::npos;
        return n;
    }

    std::unique_ptr<RequestRelay> alerts_;
};

TEST_F(UnconfirmedAlerts, EachFiresOnceAndNoQuoteRaisesABox) {
    WindowPing ping;
    ASSERT_TRUE(MoveGold(999.00));
    ASSERT_TRUE(ServeWatching(
        [&] { return alerts_->Answered(cmd::RemovePriceAlert) >= kAlerts / 2; }, kWaitMs));
    for (double price : {998.00, 999.50, 997.00}) ASSERT_TRUE(MoveGold(price));
    ServeWatching([] { return false; }, 300);
    EXPECT_EQ(alerts_->Answered(cmd::RemovePriceAlert), kAlerts / 2);
    EXPECT_EQ(AlertMessages(), kAlerts / 2);
    EXPECT_EQ(app_->Core()->PriceAlerts().Copy().size(), static_cast<std::size_t>(kAlerts));

    // The request port goes down: nothing listens there any more.
    const std::uint16_t down = [] {
        ScriptServer gone([](Socket&, int) {});
        return gone.Port();
    }();
    ::setenv("ZQ_REQUEST_PORT", std::to_string(down).c_str(), 1);
    ReloadConfig();
    const std::size_t boxesBefore = ui_.BoxTexts().size();
    ASSERT_TRUE(MoveGold(899.00));
    ASSERT_TRUE(ServeWatching([&] { return AlertMessages() == kAlerts; }, kWaitMs));
    ServeWatching([] { return false; }, 300);
    const std::size_t boxesAfterFiring = ui_.BoxTexts().size();
    for (double price : {898.00, 899.50, 897.00}) ASSERT_TRUE(MoveGold(price));
    ServeWatching([] { return false; }, 300);

    EXPECT_EQ(AlertMessages(), kAlerts);
    EXPECT_EQ(ui_.BoxTexts().size(), boxesAfterFiring);
    EXPECT_LT(boxesAfterFiring - boxesBefore, static_cast<std::size_t>(kAlerts / 2));
    EXPECT_LE(ping.PeakResidentMiB(), kMemoryBoundMiB);
    EXPECT_LT(ping.LongestWaitMs(), kFrozenMs);
    RecordProperty("boxes_while_down", std::to_string(boxesAfterFiring - boxesBefore));
    Report(ping);
    CloseProgramMs();
}

}  // namespace
}  // namespace zq
