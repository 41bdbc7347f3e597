// The push link of the real server: market records, keep-alives, the chart's live and finished
// bars, log-out orders, the stop notice, a slow client, and the control port that drives them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "server/links/options.h"
#include "server/links/push_feed.h"
#include "server/links/send_ring.h"
#include "server/market/bars.h"
#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "tests/support/server_process.h"
#include "tests/support/test_store.h"
#include "tests/support/wait_until.h"

namespace zq {
namespace {

using test::ControlCommand;
using test::LoggedIn;
using test::PushFrame;
using test::ReadPushFrame;
using test::ServerProcess;

constexpr const char* kCode = "AB12";

// Reads frames until one satisfies `want`; nothing when the link ends first or `limit` frames
// pass without one.
std::optional<PushFrame> ReadUntil(Socket& link, const std::function<bool(const PushFrame&)>& want,
                                   int limit = 5000) {
    for (int i = 0; i < limit; ++i) {
        std::optional<PushFrame> f = ReadPushFrame(link);
        if (!f) return std::nullopt;
        if (want(*f)) return f;
    }
    return std::nullopt;
}

bool OfType(const PushFrame& f, std::int32_t type) {
    return f.type == type;
}

// Reads whatever comes until the link ends; true when the server closed it.
bool EndsAfterFrames(Socket& link, int limit = 5000) {
    for (int i = 0; i < limit; ++i)
        if (!ReadPushFrame(link)) return test::PeerClosed(link);
    return false;
}

class PushLinkTest : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> args) {
        args.insert(args.end(), {"--fixed-code", kCode, "--control-port", "0"});
        server = std::make_unique<ServerProcess>(args);
        ASSERT_TRUE(server->Running()) << server->Error();
        control = server->controlPort();
        ASSERT_NE(control, 0);
    }
    LoggedIn Login(const std::string& name) {
        std::optional<LoggedIn> s = test::LoginAs(server->requestPort(), name, name, kCode);
        EXPECT_TRUE(s.has_value());
        return s.value_or(LoggedIn{});
    }
    // A subscribed link, read up to the keep-alive that follows the market snapshot.
    Socket Subscribe(const LoggedIn& session) {
        Socket link = test::SubscribePush(server->pushPort(), session.key);
        EXPECT_TRUE(link.Valid());
        EXPECT_TRUE(ReadUntil(
            link, [](const PushFrame& f) { return OfType(f, 4); }, 100));
        return link;
    }
    std::string Control(const std::string& line) { return ControlCommand(control, line); }

    std::unique_ptr<ServerProcess> server;
    std::uint16_t control = 0;
};

TEST_F(PushLinkTest, ASubscribedLinkGetsEveryInstrumentThenTheMarketAndKeepAlives) {
    Start({"--market-step-ms", "50", "--keepalive-ms", "100"});
    LoggedIn demo = Login("demo");
    Socket link = test::SubscribePush(server->pushPort(), demo.key);

    // First the live bar of every instrument, then a keep-alive.
    std::set<std::int32_t> seen;
    for (int i = 0; i < kInstrumentCount; ++i) {
        std::optional<PushFrame> f = ReadPushFrame(link);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->type, 1);
        const BarRecord& r = f->record;
        EXPECT_TRUE(IsLiveBar(r));
        EXPECT_TRUE(ChartAccepts(r, r.instrument));
        ASSERT_NE(server::FindRules(r.instrument), nullptr);
        EXPECT_EQ(r.decimals, server::FindRules(r.instrument)->decimals);
        seen.insert(r.instrument);
    }
    EXPECT_EQ(seen.size(), std::size_t{kInstrumentCount});
    std::optional<PushFrame> f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type, 4);

    // Then the moving market and a keep-alive every interval.
    int records = 0, keepAlives = 0;
    for (int i = 0; i < 20000 && (records < 50 || keepAlives < 3); ++i) {
        f = ReadPushFrame(link);
        ASSERT_TRUE(f);
        if (f->type == 1) {
            ++records;
            EXPECT_TRUE(IsLiveBar(f->record));
            EXPECT_GT(f->record.close, 0);
        } else {
            EXPECT_EQ(f->type, 4);
            ++keepAlives;
        }
    }
    EXPECT_GE(records, 50);
    EXPECT_GE(keepAlives, 3);
}

TEST_F(PushLinkTest, GarbageAndStrangersCloseOnlyTheirOwnConnection) {
    Start({"--market-step-ms", "0", "--keepalive-ms", "100"});
    LoggedIn demo = Login("demo");
    Socket good = Subscribe(demo);

    {
        Socket s = test::ConnectLocal(server->pushPort());
        const char garbage[] = "this is not a subscribe header";
        s.Send(garbage, sizeof garbage);
        EXPECT_TRUE(test::PeerClosed(s)) << "a header of another command";
    }
    {
        Socket s = test::ConnectLocal(server->pushPort());
        s.Send("\0\0\0", 3);
        ::shutdown(s.Fd(), SHUT_WR);
        EXPECT_TRUE(test::PeerClosed(s)) << "a short header";
    }
    {
        Socket s = test::SubscribePush(server->pushPort(), {1, 2, 3, 4});
        EXPECT_TRUE(test::PeerClosed(s)) << "a key without a session gets nothing";
    }
    {
        Socket s = Subscribe(demo);
        s.Send("xxxx", 4);
        EXPECT_TRUE(EndsAfterFrames(s)) << "the client sends nothing after subscribing";
    }
    // The first link goes on.
    EXPECT_TRUE(ReadUntil(
        good, [](const PushFrame& f) { return OfType(f, 4); }, 100));
    EXPECT_EQ(Control("links"), "ok 1");
}

TEST_F(PushLinkTest, ASecondLoginLogsTheFirstLinkOut) {
    Start({"--market-step-ms", "0", "--keepalive-ms", "100"});
    LoggedIn first = Login("demo");
    LoggedIn trader = Login("trader");
    Socket firstLink = Subscribe(first);
    Socket traderLink = Subscribe(trader);

    LoggedIn second = Login("demo");
    EXPECT_TRUE(ReadUntil(
        firstLink, [](const PushFrame& f) { return OfType(f, 5); }, 100));
    EXPECT_TRUE(test::PeerClosed(firstLink));

    // The new session has its own link; another member is not touched.
    Socket secondLink = Subscribe(second);
    EXPECT_TRUE(ReadUntil(
        secondLink, [](const PushFrame& f) { return OfType(f, 4); }, 100));
    EXPECT_TRUE(ReadUntil(
        traderLink, [](const PushFrame& f) { return OfType(f, 4); }, 100));
    // The old key subscribes no more.
    Socket stale = test::SubscribePush(server->pushPort(), first.key);
    EXPECT_TRUE(test::PeerClosed(stale));
}

TEST_F(PushLinkTest, AMemberHoldsAFewLinksAndALogOutClosesThemBeforeAnythingElseArrives) {
    Start({"--market-step-ms", "0"});
    LoggedIn demo = Login("demo");
    std::vector<Socket> links;
    for (std::size_t i = 0; i < server::kMaxPushLinksPerMember + 1; ++i)
        links.push_back(Subscribe(demo));
    // One link beyond the cap: the member's oldest makes room, so a reconnecting client gets in.
    EXPECT_TRUE(EndsAfterFrames(links.front()));
    EXPECT_EQ(Control("links"), "ok " + std::to_string(server::kMaxPushLinksPerMember));

    // Log-out (4), then a request on the same connection: once it is answered, the log-out is
    // done.
    Socket request = test::ConnectLocal(server->requestPort());
    for (std::int32_t code : {cmd::Logout, cmd::VersionCheck}) {
        RequestHeader h = test::Header(code, demo.key, demo.accountClass);
        ASSERT_EQ(request.Send(&h, sizeof h), static_cast<int>(sizeof h));
    }
    std::int32_t version = 0;
    ASSERT_EQ(ReceiveExact(request, &version, sizeof version), static_cast<int>(sizeof version));
    EXPECT_EQ(Control("message demo 只给你"), "ok message stored, sent on 0 links");
    Login("demo");  // a newer session of the member changes nothing for the old links
    EXPECT_EQ(Control("message demo 又一条"), "ok message stored, sent on 0 links");
    for (std::size_t i = 1; i < links.size(); ++i) {
        EXPECT_FALSE(ReadUntil(links[i], [](const PushFrame& f) { return OfType(f, 2); }))
            << "link " << i << " heard its member after the log-out";
        EXPECT_TRUE(test::PeerClosed(links[i]));
    }
}

TEST_F(PushLinkTest, StoppingTheServerSendsMinusOneOnEveryLink) {
    Start({"--market-step-ms", "20"});
    Socket a = Subscribe(Login("demo"));
    Socket b = Subscribe(Login("trader"));
    EXPECT_TRUE(server->Stop());
    for (Socket* link : {&a, &b}) {
        EXPECT_TRUE(ReadUntil(*link, [](const PushFrame& f) { return OfType(f, -1); }));
        EXPECT_TRUE(test::PeerClosed(*link));
    }
}

TEST_F(PushLinkTest, ControlMessagesArriveAsInstantMessagesInCodePage936) {
    Start({"--market-step-ms", "0"});
    LoggedIn demo = Login("demo");
    Socket demoLink = Subscribe(demo);
    Socket traderLink = Subscribe(Login("trader"));

    const std::string text = "今晚非农数据公布，注意风险";
    EXPECT_EQ(Control("message trader 只给交易员").rfind("ok", 0), 0u);
    EXPECT_EQ(Control("message demo " + text).rfind("ok", 0), 0u);
    std::optional<PushFrame> m =
        ReadUntil(demoLink, [](const PushFrame& f) { return OfType(f, 2); });
    ASSERT_TRUE(m);
    EXPECT_EQ(m->more, 1);
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_NEAR(m->time, now, 60);
    EXPECT_EQ(m->text, ToAnsi(text));
    EXPECT_NE(m->text, text) << "GBK on the wire, not UTF-8";
    m = ReadUntil(traderLink, [](const PushFrame& f) { return OfType(f, 2); });
    ASSERT_TRUE(m);
    EXPECT_EQ(FromAnsi(m->text), "只给交易员");

    // A message to everyone reaches every link.
    EXPECT_EQ(Control("message * 系统维护通知"), "ok message stored, sent on 2 links");
    for (Socket* link : {&demoLink, &traderLink}) {
        m = ReadUntil(*link, [](const PushFrame& f) { return OfType(f, 2); });
        ASSERT_TRUE(m);
        EXPECT_EQ(FromAnsi(m->text), "系统维护通知");
    }

    // The messages are kept: the member's message list (command 44) starts with them.
    Socket request = test::ConnectLocal(server->requestPort());
    RequestHeader h = test::Header(cmd::LoadMessages, demo.key, demo.accountClass);
    ASSERT_EQ(request.Send(&h, sizeof h), static_cast<int>(sizeof h));
    std::int32_t head[3];
    ASSERT_EQ(ReceiveExact(request, head, sizeof head), static_cast<int>(sizeof head));
    EXPECT_EQ(head[0], 1);
    std::string newest(static_cast<std::size_t>(head[2]), '\0');
    ASSERT_EQ(ReceiveExact(request, newest.data(), head[2]), head[2]);
    EXPECT_EQ(FromAnsi(newest), "系统维护通知");

    EXPECT_EQ(Control("message nobody hello").rfind("error", 0), 0u);
    EXPECT_EQ(Control("message demo").rfind("error", 0), 0u);
}

TEST_F(PushLinkTest, KeepAlivesStopAndResume) {
    Start({"--market-step-ms", "0", "--keepalive-ms", "100"});
    Socket link = Subscribe(Login("demo"));
    EXPECT_EQ(Control("keepalive stop"), "ok keep-alives stopped");
    // What was already on its way may still come; then the link stays silent but open.
    link.SetReadTimeout(500);
    while (ReadPushFrame(link)) {
    }
    link.SetReadTimeout(1500);
    EXPECT_FALSE(ReadPushFrame(link)) << "a keep-alive after they were stopped";

    EXPECT_EQ(Control("keepalive resume"), "ok keep-alives resumed");
    link.SetReadTimeout(10000);
    std::optional<PushFrame> f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type, 4);
    EXPECT_EQ(Control("keepalive maybe").rfind("error", 0), 0u);
}

TEST_F(PushLinkTest, ASetPriceShowsInTheNextMarketRecord) {
    Start({"--market-step-ms", "0"});
    Socket link = Subscribe(Login("demo"));
    EXPECT_EQ(Control("price 1 1700.5"), "ok 1 1700.50");
    std::optional<PushFrame> f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->type, 1);
    EXPECT_EQ(f->record.instrument, 1);
    EXPECT_EQ(f->record.close, 170050);
    EXPECT_GE(f->record.high, 170050);
    EXPECT_EQ(f->record.decimals, 2);

    EXPECT_EQ(Control("price 32 3650"), "ok 32 3650");
    f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->record.instrument, 32);
    EXPECT_EQ(f->record.close, 3650);
    EXPECT_EQ(f->record.decimals, 0);

    for (const char* bad : {"price 43 1", "price 1 abc", "price 1 -2", "price", "fly away"})
        EXPECT_EQ(Control(bad).rfind("error", 0), 0u) << bad;
}

TEST_F(PushLinkTest, TheChartGetsTheLiveBarsOfItsPeriodAndEachFinishedBar) {
    Start({"--market-step-ms", "0"});
    LoggedIn demo = Login("demo");
    Socket link = Subscribe(demo);
    // The chart shows hourly bars of instrument 1 from this request on.
    std::optional<test::HistoryReply> h =
        test::RequestHistory(server->dataPort(), cmd::History(60, 1), "0", "0", demo.key);
    ASSERT_TRUE(h);
    ASSERT_FALSE(h->bars.empty());
    const BarRecord live = h->bars[0];
    ASSERT_TRUE(IsLiveBar(live));

    EXPECT_EQ(Control("price 1 1700"), "ok 1 1700.00");
    std::optional<PushFrame> f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->record.instrument, 1);
    EXPECT_EQ(TimeText(f->record), TimeText(live));
    EXPECT_EQ(f->record.open, live.open);
    EXPECT_EQ(f->record.reference, live.reference);
    EXPECT_EQ(f->record.close, 170000);
    EXPECT_EQ(f->record.high, std::max(live.high, 170000));
    EXPECT_EQ(f->record.low, std::min(live.low, 170000));

    // Other instruments come in the chart's period too.
    EXPECT_EQ(Control("price 2 31"), "ok 2 31.000");
    f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->record.instrument, 2);
    EXPECT_TRUE(IsLiveBar(f->record));
    EXPECT_EQ(TimeText(f->record).substr(3), "00") << "an hourly bar starts on the hour";

    // The hour ends: the finished bar under its full time, then the next live bar.
    EXPECT_EQ(Control("close 60").rfind("ok bar clock", 0), 0u);
    f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    const BarRecord finished = f->record;
    EXPECT_EQ(finished.instrument, 1);
    EXPECT_EQ(Classify(finished), BarKind::Finished);
    ASSERT_EQ(TimeText(finished).size(), 8u);
    std::string hhmm(TimeText(live));
    hhmm.erase(2, 1);
    EXPECT_EQ(TimeText(finished).substr(4), hhmm);
    EXPECT_EQ(finished.open, live.open);
    EXPECT_EQ(finished.close, 170000);
    EXPECT_EQ(finished.reference, live.reference);
    f = ReadPushFrame(link);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->record.instrument, 1);
    EXPECT_TRUE(IsLiveBar(f->record));
    EXPECT_EQ(f->record.open, 170000);
    EXPECT_EQ(f->record.reference, 170000);

    // The history now holds the bar the push link finished.
    h = test::RequestHistory(server->dataPort(), cmd::History(60, 1), "0", "0", demo.key);
    ASSERT_TRUE(h);
    ASSERT_GT(h->bars.size(), 1u);
    EXPECT_EQ(std::memcmp(&h->bars[1], &finished, sizeof finished), 0);
}

TEST_F(PushLinkTest, TheControlPortLogsAMemberOut) {
    Start({"--market-step-ms", "0"});
    LoggedIn demo = Login("demo");
    Socket link = Subscribe(demo);
    EXPECT_EQ(Control("logout demo"), "ok session ended, 1 links told");
    EXPECT_TRUE(ReadUntil(
        link, [](const PushFrame& f) { return OfType(f, 5); }, 100));
    EXPECT_TRUE(test::PeerClosed(link));
    Socket again = test::SubscribePush(server->pushPort(), demo.key);
    EXPECT_TRUE(test::PeerClosed(again));
    EXPECT_EQ(Control("logout demo"), "error demo has no session");
    EXPECT_EQ(Control("logout nobody"), "error unknown member nobody");
}

TEST_F(PushLinkTest, OpenSessionsOutliveACrashAndAStopButNotTheirEnd) {
    Start({"--market-step-ms", "0", "--keepalive-ms", "100"});
    const LoggedIn replaced = Login("demo");
    const LoggedIn demo = Login("demo");  // ends `replaced`
    const LoggedIn trader = Login("trader");
    const std::optional<LoggedIn> zhangLogin =
        test::LoginAs(server->requestPort(), "张三", "zhangsan", kCode);
    ASSERT_TRUE(zhangLogin);
    const LoggedIn zhang = *zhangLogin;
    EXPECT_EQ(Control("logout trader"), "ok session ended, 0 links told");
    {
        // Command 4 ends 张三's session; the version check after it shows it was served.
        Socket s = test::ConnectLocal(server->requestPort());
        const RequestHeader logout = test::Header(cmd::Logout, zhang.key);
        const RequestHeader version = test::Header(cmd::VersionCheck);
        ASSERT_EQ(s.Send(&logout, sizeof logout), static_cast<int>(sizeof logout));
        ASSERT_EQ(s.Send(&version, sizeof version), static_cast<int>(sizeof version));
        std::int32_t answer = 0;
        ASSERT_EQ(ReceiveExact(s, &answer, sizeof answer), static_cast<int>(sizeof answer));
    }
    Socket before = Subscribe(demo);

    // A crash: the link just ends, without -1.
    ASSERT_TRUE(server->Kill());
    std::optional<PushFrame> last;
    while (std::optional<PushFrame> f = ReadPushFrame(before)) last = f;
    EXPECT_TRUE(!last || last->type != -1) << "a killed server sends no -1";

    auto expectSessions = [&](const char* when) {
        SCOPED_TRACE(when);
        control = server->controlPort();
        // The open session comes back: its link gets the snapshot and keep-alives.
        Socket link = Subscribe(demo);
        EXPECT_TRUE(ReadUntil(
            link, [](const PushFrame& f) { return OfType(f, 4); }, 100));
        EXPECT_EQ(Control("links"), "ok 1");
        // Those that had ended do not.
        for (const LoggedIn* ended : {&replaced, &trader, &zhang}) {
            Socket stale = test::SubscribePush(server->pushPort(), ended->key);
            EXPECT_TRUE(test::PeerClosed(stale));
        }
        EXPECT_NE(server->Log().find("1 sessions open"), std::string::npos);
    };
    ASSERT_TRUE(server->Restart()) << server->Error();
    expectSessions("after a crash");

    // A clean stop sends -1 but keeps the session for a client that missed it.
    ASSERT_TRUE(server->Stop());
    ASSERT_TRUE(server->Restart()) << server->Error();
    expectSessions("after a clean stop");

    // The control port's log-out ends it for good.
    EXPECT_EQ(Control("logout demo").rfind("ok session ended", 0), 0u);
    ASSERT_TRUE(server->Kill());
    ASSERT_TRUE(server->Restart()) << server->Error();
    Socket gone = test::SubscribePush(server->pushPort(), demo.key);
    EXPECT_TRUE(test::PeerClosed(gone));
}

TEST_F(PushLinkTest, ASlowClientIsDroppedWhileTheMarketGoesOn) {
    Start({"--market-step-ms", "2"});
    // A client that never reads, with a small receive buffer set before it connects.
    Socket slow(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    setsockopt(slow.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server->pushPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(slow.Fd(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const RequestHeader subscribe = test::Header(cmd::Subscribe, Login("demo").key);
    ASSERT_EQ(slow.Send(&subscribe, sizeof subscribe), static_cast<int>(sizeof subscribe));
    Socket fast = Subscribe(Login("trader"));

    std::atomic<bool> reading{true};
    std::atomic<long> frames{0};
    std::thread reader([&] {
        while (reading && ReadPushFrame(fast)) ++frames;
    });
    // The slow link never reads: its queue overflows and it is dropped, the other goes on.
    std::string links;
    for (int i = 0; i < 600 && (links = Control("links")) != "ok 1"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(links, "ok 1");
    const long before = frames;
    EXPECT_TRUE(test::WaitUntil([&] { return frames.load() > before; }))
        << "the other link goes on";
    reading = false;
    reader.join();
    EXPECT_NE(server->Log().find("queue overflow"), std::string::npos);
}

// A session with neither requests nor a push link ends after the idle time; one whose client
// keeps its push link open stays, across a restart too.
// Within a market step the feed holds the live records back: each link gets the step's records
// as one item, in the order they came, and what is queued during the step (a message) after them.
// With enough links the hand-out is shared among the fan-out's threads; a detached link takes
// nothing more and leaves the count.
TEST(PushFeedTest, AStepReachesEveryLinkAsOneItemAheadOfWhatCameDuringIt) {
    std::string dir;
    std::unique_ptr<server::Store> store = test::OpenTestStore("push-feed", dir);
    ASSERT_TRUE(store);
    server::SeededRandom random(1);
    server::Market market(random);
    server::BarBook bars(*store, market);
    server::SessionTable sessions;
    server::PushFeed feed(sessions, std::chrono::seconds(60));
    // One member a link: a member holds only a few.
    constexpr int kLinks = 12 * static_cast<int>(server::FanOut::kRun);
    std::vector<std::shared_ptr<server::PushSubscriber>> links;
    for (int i = 0; i < kLinks; ++i) {
        server::SessionInfo session;
        session.key = {1, 2, 3, i};
        session.memberId = 7 + i;
        session.started = std::chrono::system_clock::now();
        sessions.Begin(session);
        links.push_back(feed.Attach(session, bars, nullptr));
        ASSERT_TRUE(links.back());
        links.back()->Take();
    }
    feed.Detach(links.back());
    EXPECT_EQ(feed.LinkCount(), static_cast<std::size_t>(kLinks - 1));

    auto update = [](std::int32_t instrument, std::int32_t close) {
        server::BarUpdate u;
        u.instrument = instrument;
        for (BarRecord& r : u.live) {
            r.instrument = instrument;
            r.close = close;
        }
        return u;
    };
    const server::BarUpdate gold = update(1, 165000), silver = update(2, 2400),
                            oil = update(13, 8000);
    feed.BeginStep();
    feed.OnBars(gold);
    feed.OnBars(silver);
    EXPECT_TRUE(links[0]->Take().items.empty());
    EXPECT_EQ(feed.SendMessage(std::nullopt, 5, "notice"), kLinks - 1);
    feed.OnBars(oil);
    feed.EndStep();
    const std::string step = server::PushRecord(gold.live[0]) + server::PushRecord(silver.live[0]);
    for (int i = 0; i + 1 < kLinks; ++i) {
        const std::vector<server::PushSubscriber::Item> items = links[i]->Take().items;
        ASSERT_EQ(items.size(), 3u) << "link " << i;
        EXPECT_EQ(*items[0], step);
        EXPECT_EQ(*items[1], server::PushMessage(5, "notice"));
        EXPECT_EQ(*items[2], server::PushRecord(oil.live[0]));
    }
    EXPECT_TRUE(links.back()->Take().items.empty());
    // Outside a step a price goes out at once.
    feed.OnBars(gold);
    EXPECT_EQ(links[0]->Take().items.size(), 1u);
}

// A run of idle links gets its items through one ring: every socket that has room takes its
// item at once, in order before what is queued on the link later; a full socket keeps the rest
// queued and wakes its writer; a link whose writer is busy only queues.
TEST(PushFeedTest, ARunSendsAtOnceWhereSocketsHaveRoomAndQueuesTheRest) {
    constexpr int kLinks = 2 * static_cast<int>(server::SendRing::kEntries) + 5;
    std::vector<std::array<int, 2>> pairs(kLinks);
    std::vector<std::shared_ptr<server::PushSubscriber>> links;
    std::vector<std::atomic<int>> wakes(kLinks);
    for (int i = 0; i < kLinks; ++i) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pairs[i].data()), 0);
        links.push_back(std::make_shared<server::PushSubscriber>(
            server::Key{1, 2, 3, i}, i, [&wakes, i](bool) { ++wakes[i]; }, pairs[i][0]));
    }
    // Link 0's socket is full; link 1's writer is busy (it never took); the rest wait idle.
    const std::string filler(4096, 'f');
    for (const std::size_t size : {filler.size(), std::size_t{1}})
        while (::send(pairs[0][0], filler.data(), size, MSG_DONTWAIT) > 0) {
        }
    for (int i = 0; i < kLinks; ++i)
        if (i != 1) links[i]->Take();
    const auto item = std::make_shared<const std::string>(server::PushItem(push::KeepAlive) +
                                                          std::string(200, 'x'));
    {
        server::SendRing ring;
        server::LinkSends sends(ring);
        for (auto& link : links) sends.Add(*link, item);
    }
    for (int i = 2; i < kLinks; ++i) links[i]->Enqueue(std::string("later"));
    for (int i = 2; i < kLinks; ++i) {
        std::string got(item->size() + 5, '\0');
        ASSERT_EQ(::recv(pairs[i][1], got.data(), got.size(), 0), static_cast<ssize_t>(got.size()))
            << "link " << i;
        EXPECT_EQ(got, *item + "later");
        EXPECT_EQ(wakes[i].load(), 0) << "a link that keeps up needs no writer";
    }
    for (int i : {0, 1}) {
        EXPECT_EQ(wakes[i].load(), 1) << "link " << i;
        const auto waiting = links[i]->Take().items;
        ASSERT_EQ(waiting.size(), 1u) << "link " << i;
        EXPECT_EQ(*waiting[0], *item);
    }
    for (auto& p : pairs) {
        ::close(p[0]);
        ::close(p[1]);
    }
}

// The fan-out covers every item once, in consecutive ranges, whatever the threads and counts.
TEST(PushFeedTest, TheFanOutVisitsEveryItemOnce) {
    for (const unsigned threads : {1u, 2u, 3u}) {
        server::FanOut fanOut(threads);
        for (const std::size_t count : {std::size_t{0}, std::size_t{1}, server::FanOut::kRun,
                                        2 * server::FanOut::kRun + 7, std::size_t{10000}}) {
            std::vector<std::atomic<int>> seen(count);
            for (int run = 0; run < 3; ++run)
                fanOut.Run(count, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) ++seen[i];
                });
            for (std::size_t i = 0; i < count; ++i)
                ASSERT_EQ(seen[i].load(), 3) << threads << " threads, " << count << " items";
        }
    }
}

TEST(SessionExpiryTest, IdleSessionsEndWhileLinkedOnesStay) {
    ServerProcess server(
        {"--fixed-code", kCode, "--session-idle-ms", "300", "--market-step-ms", "0"});
    ASSERT_TRUE(server.Running()) << server.Error();
    const auto demo = test::LoginAs(server.requestPort(), "demo", "demo", kCode);
    const auto trader = test::LoginAs(server.requestPort(), "trader", "trader", kCode);
    ASSERT_TRUE(demo && trader);
    // The account number (the member's name) at the start of the account block; empty for a
    // request without an open session.
    auto accountOf = [&](const test::LoggedIn& who) {
        Socket s = test::ConnectLocal(server.requestPort());
        RequestHeader h = test::Header(cmd::LoadAccount, who.key);
        char block[168] = {};
        if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h) ||
            ReceiveExact(s, block, sizeof block) != static_cast<int>(sizeof block))
            return std::string("no answer");
        return std::string(block);
    };
    Socket link = test::SubscribePush(server.pushPort(), demo->key);
    ASSERT_TRUE(link.Valid());
    ASSERT_TRUE(ReadPushFrame(link));
    EXPECT_EQ(accountOf(*trader), "trader");
    EXPECT_TRUE(test::WaitUntil(
        [&] { return server.Log().find("session of \"trader\" expired") != std::string::npos; }));
    EXPECT_EQ(accountOf(*trader), "");
    EXPECT_EQ(accountOf(*demo), "demo");
    link.ShutdownClose();
    ASSERT_TRUE(server.Restart()) << server.Error();
    EXPECT_EQ(accountOf(*demo), "demo") << "a session survives a restart within its idle time";
}

// The control port obeys only a connection whose first line carries the secret of the file only
// the server's user can read: a web page's POST, a command without it or a wrong secret runs
// nothing.
TEST(ControlPortTest, OnlyTheSecretOpensTheControlPort) {
    ServerProcess server({"--control-port", "0", "--market-step-ms", "0"});
    ASSERT_TRUE(server.Running()) << server.Error();
    const std::string secretFile = server.directory() + "/control-secret";
    struct stat st {};
    ASSERT_EQ(::stat(secretFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string secret = test::ControlSecret(server.controlPort());
    ASSERT_GE(secret.size(), 32u);
    // Each attempt sends its lines and reads until the server closes.
    auto attempt = [&](const std::string& lines) {
        Socket s = test::ConnectLocal(server.controlPort());
        s.Send(lines.data(), lines.size());
        std::string answer;
        char c = 0;
        while (s.Recv(&c, 1) == 1) answer.push_back(c);
        return answer;
    };
    EXPECT_EQ(attempt("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 18\r\n\r\n"
                      "price 1 1234.56\n"),
              "");
    EXPECT_EQ(attempt("price 1 1234.56\nquit\n"), "error not authorised\n");
    EXPECT_EQ(attempt("auth " + secret.substr(1) + "x\nprice 1 1234.56\n"),
              "error not authorised\n");
    EXPECT_EQ(attempt("auth\nprice 1 1234.56\n"), "error not authorised\n");
    // Gold still stands at its opening price.
    Socket request = test::ConnectLocal(server.requestPort());
    RequestHeader h = test::Header(cmd::LoadInstruments);
    ASSERT_EQ(request.Send(&h, sizeof h), static_cast<int>(sizeof h));
    std::int32_t count = 0;
    InstrumentRecord gold{};
    ASSERT_EQ(ReceiveExact(request, &count, 4), 4);
    ASSERT_EQ(ReceiveExact(request, &gold, sizeof gold), static_cast<int>(sizeof gold));
    EXPECT_FLOAT_EQ(gold.last, 1650.0f);
    EXPECT_EQ(attempt("auth " + secret + "\nprice 1 1234.56\nquit\n"),
              "ok authorised\nok 1 1234.56\nok bye\n");
    // A secret file that others may read is refused at the start.
    ASSERT_TRUE(server.Stop());
    ASSERT_EQ(::chmod(secretFile.c_str(), 0640), 0);
    EXPECT_FALSE(server.Restart());
    EXPECT_NE(server.Log().find("chmod 600"), std::string::npos);
}

TEST(ServerOptions, ControlPortAndKeepAliveInterval) {
    server::ServerOptions o;
    std::string message;
    EXPECT_EQ(server::ParseOptions({"--control-port", "0", "--keepalive-ms", "250"}, o, message),
              server::ParseOutcome::Run);
    ASSERT_TRUE(o.controlPort);
    EXPECT_EQ(*o.controlPort, 0);
    EXPECT_EQ(o.keepAliveInterval, std::chrono::milliseconds(250));
    server::ServerOptions defaults;
    EXPECT_FALSE(defaults.controlPort);
    EXPECT_EQ(defaults.keepAliveInterval, std::chrono::seconds(10));
    for (const char* bad : {"0", "-1", "x"}) {
        server::ServerOptions p;
        EXPECT_EQ(server::ParseOptions({"--keepalive-ms", bad}, p, message),
                  server::ParseOutcome::Error)
            << bad;
    }
}

}  // namespace
}  // namespace zq
