// The session table, the listening ports with their connections, and the command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/write.hpp>
#include <atomic>
#include <string>
#include <vector>

#include "net/wire/socket.h"
#include "server/links/listener.h"
#include "server/links/login_throttle.h"
#include "server/links/options.h"
#include "server/links/sessions.h"
#include "tests/support/wait_until.h"

namespace zq::server {
namespace {

SessionInfo Session(Key key, std::int64_t member, const char* name) {
    SessionInfo s;
    s.key = key;
    s.memberId = member;
    s.memberName = name;
    return s;
}

TEST(SessionTableTest, NewerLoginReplacesTheMembersOlderSession) {
    SessionTable table;
    std::vector<SessionInfo> replaced;
    table.AddReplacedListener([&](const SessionInfo& old) { replaced.push_back(old); });

    table.Begin(Session({1, 1, 1, 1}, 7, "demo"));
    table.Begin(Session({2, 2, 2, 2}, 8, "trader"));
    EXPECT_TRUE(replaced.empty());
    EXPECT_EQ(table.Size(), 2u);

    table.Begin(Session({3, 3, 3, 3}, 7, "demo"));
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0].key, (Key{1, 1, 1, 1}));
    EXPECT_FALSE(table.Contains({1, 1, 1, 1}));
    EXPECT_EQ(table.Find({3, 3, 3, 3})->memberName, "demo");
    EXPECT_EQ(table.FindMember(7)->key, (Key{3, 3, 3, 3}));
    EXPECT_TRUE(table.Contains({2, 2, 2, 2}));
    EXPECT_EQ(table.Size(), 2u);
}

TEST(SessionTableTest, EndRemovesOnlyTheNamedSession) {
    SessionTable table;
    table.Begin(Session({1, 0, 0, 0}, 1, "a"));
    table.Begin(Session({2, 0, 0, 0}, 2, "b"));
    EXPECT_FALSE(table.End({9, 0, 0, 0}));
    EXPECT_TRUE(table.End({1, 0, 0, 0}));
    EXPECT_FALSE(table.End({1, 0, 0, 0}));
    EXPECT_FALSE(table.FindMember(1));
    EXPECT_TRUE(table.FindMember(2));
    // A member whose session ended logs in again without a replacement.
    bool heard = false;
    table.AddReplacedListener([&](const SessionInfo&) { heard = true; });
    table.Begin(Session({3, 0, 0, 0}, 1, "a"));
    EXPECT_FALSE(heard);
}

TEST(SessionTableTest, AKeyNamesOneSession) {
    SessionTable table;
    table.Begin(Session({5, 5, 5, 5}, 1, "a"));
    table.Begin(Session({5, 5, 5, 5}, 2, "b"));
    EXPECT_EQ(table.Size(), 1u);
    EXPECT_FALSE(table.FindMember(1));
    EXPECT_EQ(table.Find({5, 5, 5, 5})->memberId, 2);
}

// Writes down what the table tells its journal.
struct RecordingJournal : SessionJournal {
    std::vector<std::string> entries;
    void Opened(const SessionInfo& s) override {
        entries.push_back("open " + std::to_string(s.key[0]) + " " + s.memberName);
    }
    void Ended(const Key& key) override { entries.push_back("end " + std::to_string(key[0])); }
    void EndedDigest(const KeyDigest&) override { entries.push_back("end by digest"); }
    void Seen(const std::vector<std::pair<KeyDigest, std::chrono::system_clock::time_point>>& seen)
        override {
        entries.push_back("seen " + std::to_string(seen.size()));
    }
};

TEST(SessionTableTest, TheJournalHearsEveryChangeAndNothingElse) {
    RecordingJournal journal;
    SessionTable table(&journal);
    table.Begin(Session({1, 0, 0, 0}, 7, "demo"));
    table.Begin(Session({2, 0, 0, 0}, 7, "demo"));  // replaces 1: the journal's REPLACE drops it
    EXPECT_FALSE(table.End({1, 0, 0, 0}));          // gone already: nothing to write
    EXPECT_TRUE(table.End({2, 0, 0, 0}));
    EXPECT_FALSE(table.End({2, 0, 0, 0}));
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"open 1 demo", "open 2 demo", "end 2"}));
}

TEST(SessionTableTest, LoadedSessionsAreOpenWithoutJournalOrListeners) {
    RecordingJournal journal;
    SessionTable table(&journal);
    bool heard = false;
    table.AddReplacedListener([&](const SessionInfo&) { heard = true; });
    table.Load({Session({1, 0, 0, 0}, 7, "demo"), Session({2, 0, 0, 0}, 8, "trader"),
                Session({3, 0, 0, 0}, 7, "demo")});
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_FALSE(heard);
    EXPECT_EQ(table.Size(), 2u) << "one session per member, the later one";
    EXPECT_EQ(table.FindMember(7)->key, (Key{3, 0, 0, 0}));
    EXPECT_TRUE(table.Contains({2, 0, 0, 0}));

    // A loaded session ends and is replaced like any other.
    table.Begin(Session({4, 0, 0, 0}, 8, "trader"));
    EXPECT_TRUE(heard);
    EXPECT_TRUE(table.End({3, 0, 0, 0}));
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"open 4 trader", "end 3"}));
}

// A session unused for longer than the idle limit ends, unless its push link is open; a session
// loaded by its key's digest opens under the key that first names it.
TEST(SessionTableTest, IdleSessionsExpireAndLoadedOnesOpenByTheirDigest) {
    using namespace std::chrono_literals;
    RecordingJournal journal;
    SessionTable table(&journal);
    table.SetIdleLimit(1h);
    SessionInfo loaded = Session({}, 9, "zhang");
    loaded.digest = DigestOf({9, 9, 9, 9});
    loaded.lastSeen = std::chrono::system_clock::now() - 30min;
    SessionInfo before = Session({}, 10, "li");
    before.digest = DigestOf({10, 0, 0, 0});
    before.lastSeen = std::chrono::system_clock::now() - 2h;  // the time the server was down
    table.Load({loaded, before});
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_EQ(table.Size(), 2u);
    EXPECT_TRUE(table.Find({10, 0, 0, 0}));
    EXPECT_FALSE(table.Find({9, 9, 9, 8}));
    EXPECT_TRUE(table.Contains({9, 9, 9, 9}));
    ASSERT_TRUE(table.Find({9, 9, 9, 9}));
    EXPECT_EQ(table.FindMember(9)->key, (Key{9, 9, 9, 9}));

    table.Begin(Session({1, 0, 0, 0}, 7, "demo"));
    table.Begin(Session({2, 0, 0, 0}, 8, "trader"));
    journal.entries.clear();
    const auto later = std::chrono::system_clock::now() + 61min;
    const auto ended = table.Sweep(later, {{2, 0, 0, 0}});  // trader's push link is open
    ASSERT_EQ(ended.size(), 3u);
    std::sort(journal.entries.begin(), journal.entries.end());
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"end 1", "end 10", "end 9", "seen 1"}));
    EXPECT_FALSE(table.Find({1, 0, 0, 0}));
    EXPECT_TRUE(table.Find({2, 0, 0, 0}));
    // A control port log-out of a loaded session that no one named yet.
    SessionInfo other = Session({}, 11, "wang");
    other.digest = DigestOf({11, 0, 0, 0});
    table.Load({other});
    EXPECT_TRUE(table.EndMember(11));
    EXPECT_FALSE(table.Contains({11, 0, 0, 0}));
}

// Serves a connection by sending one byte and then reading until the peer closes or the
// connection is shut down; counts the connections it served.
struct EchoUntilClosed {
    std::atomic<int> served{0};
    ServeFn Fn() {
        return [this](Accepted link) -> asio::awaitable<void> {
            ++served;
            co_await asio::async_write(*link.socket, asio::buffer("x", 1), kAwaitTuple);
            char b;
            for (;;) {
                auto [ec, n] =
                    co_await link.socket->async_read_some(asio::buffer(&b, 1), kAwaitTuple);
                if (ec) break;
            }
        };
    }
};

// True when the connection's first byte arrives; false when the server closed it instead.
bool Served(Socket& s) {
    char b = 0;
    return s.Recv(&b, 1) == 1 && b == 'x';
}

TEST(ListenerTest, AFullAddressClosesNewcomersAndCloseAllEndsTheRest) {
    EchoUntilClosed echo;  // outlives the connections it serves
    Admission connections(2, 2);
    NetLoop loop;
    loop.Start();
    Listener listener("control");
    std::string error;
    ASSERT_TRUE(listener.Open(Listener::Reach::Loopback, 0, &error)) << error;
    ASSERT_NE(listener.Port(), 0);
    listener.Start(loop, connections, echo.Fn());

    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    Socket a = Socket::Connect(loopback, listener.Port(), 5000);
    Socket b = Socket::Connect(loopback, listener.Port(), 5000);
    ASSERT_TRUE(Served(a));
    ASSERT_TRUE(Served(b));
    Socket c = Socket::Connect(loopback, listener.Port(), 5000);
    EXPECT_FALSE(Served(c)) << "a third connection is one too many";
    EXPECT_EQ(echo.served, 2);

    // A port in use: the error names the listener and the port.
    Listener second("control");
    EXPECT_FALSE(second.Open(Listener::Reach::Loopback, listener.Port(), &error));
    EXPECT_EQ(error.rfind("control port " + std::to_string(listener.Port()) + ": ", 0), 0u)
        << error;

    listener.Stop();
    listener.Stop();         // idempotent
    connections.CloseAll();  // closes both connections and waits for them
    EXPECT_EQ(connections.OpenCount(), 0u);
    char byte;
    EXPECT_EQ(a.Recv(&byte, 1), 0);
    EXPECT_EQ(b.Recv(&byte, 1), 0);
    loop.Stop();
}

// An admission whose connections are only counted: closing one records its number.
struct AdmissionProbe {
    explicit AdmissionProbe(std::size_t budget, std::size_t floor) : admission(budget, floor) {}
    std::optional<Admission::Ticket> Admit(std::uint32_t address, int number) {
        return admission.Admit(
            address, [this, number] { closed.push_back(number); }, &why);
    }
    Admission admission;
    std::vector<int> closed;
    std::string why;
};

TEST(ListenerTest, AClosedAdmissionTakesNoConnectionUntilOpenedAgain) {
    AdmissionProbe probe(10, 10);
    std::optional<Admission::Ticket> early = probe.Admit(1, 1);
    ASSERT_TRUE(early);
    probe.admission.CloseAll(std::chrono::milliseconds(1));
    EXPECT_EQ(probe.closed, std::vector<int>{1}) << "every open connection is closed";
    early.reset();
    EXPECT_FALSE(probe.Admit(1, 2));
    EXPECT_EQ(probe.why, "server stopping");
    probe.admission.Open();
    EXPECT_TRUE(probe.Admit(1, 3));
}

TEST(ListenerTest, TheBudgetIsSharedFairlyAcrossAddresses) {
    // A budget of 6 with a floor of 2: an address alone may take it all, but each newcomer
    // address below its share makes room at the cost of the address holding the most.
    AdmissionProbe probe(6, 2);
    std::vector<Admission::Ticket> flood;
    for (int i = 0; i < 6; ++i) {
        auto t = probe.Admit(2, i);
        ASSERT_TRUE(t) << i;
        flood.push_back(std::move(*t));
    }
    EXPECT_FALSE(probe.Admit(2, 99)) << "the budget is full";
    // One of the flood's connections is a member's (it named an open session): never closed.
    flood[0].Authenticated();
    auto member = probe.Admit(1, 100);
    ASSERT_TRUE(member) << probe.why;
    EXPECT_EQ(probe.closed, std::vector<int>{1}) << "the flood's oldest unauthenticated one";
    auto third = probe.Admit(3, 200);
    ASSERT_TRUE(third) << probe.why;
    EXPECT_EQ(probe.closed, (std::vector<int>{1, 2}));
    // Three addresses now: a share is 2, and the flood, still above it, may not grow.
    EXPECT_FALSE(probe.Admit(2, 98));
    EXPECT_EQ(probe.why, "too many connections from this address");
    EXPECT_EQ(probe.admission.OpenFrom(2), 4u);
    EXPECT_EQ(probe.admission.OpenCount(), 6u);
    // The member's address takes its share, again at the flood's cost.
    auto second = probe.Admit(1, 101);
    EXPECT_TRUE(second);
    EXPECT_EQ(probe.closed, (std::vector<int>{1, 2, 3}));
    // Connections that end give their places back; a closed one's place is already free.
    flood.clear();
    EXPECT_EQ(probe.admission.OpenFrom(2), 0u);
    EXPECT_EQ(probe.admission.OpenCount(), 3u);
}

ParseOutcome Parse(std::vector<std::string> args, ServerOptions& o, std::string& msg) {
    return ParseOptions(args, o, msg);
}

TEST(ServerOptionsTest, DefaultsAndEveryOption) {
    ServerOptions d;
    std::string msg;
    ASSERT_EQ(Parse({}, d, msg), ParseOutcome::Run);
    EXPECT_EQ(d.requestPort, 2292);
    EXPECT_EQ(d.pushPort, 2272);
    EXPECT_EQ(d.dataPort, 2262);
    EXPECT_EQ(d.dbPath, "zq-server.db");
    EXPECT_EQ(d.versionNumber, 12123111);
    EXPECT_TRUE(d.fixedCode.empty());
    EXPECT_FALSE(d.seed);
    EXPECT_FALSE(d.demoMembers);
    EXPECT_EQ(d.sessionIdle, std::chrono::hours(8));
    EXPECT_EQ(ControlSecretPath(d), "control-secret");

    ServerOptions o;
    ASSERT_EQ(Parse({"--request-port",
                     "0",
                     "--push-port",
                     "65535",
                     "--data-port",
                     "1",
                     "--db",
                     "/tmp/x.db",
                     "--version-number",
                     "-5",
                     "--fixed-code",
                     "ab12",
                     "--ports-file",
                     "p",
                     "--seed",
                     "18446744073709551615",
                     "--demo-members",
                     "--add-member",
                     "王五",
                     "--control-secret-file",
                     "/etc/zq/secret"},
                    o, msg),
              ParseOutcome::Run)
        << msg;
    EXPECT_EQ(o.requestPort, 0);
    EXPECT_EQ(o.pushPort, 65535);
    EXPECT_EQ(o.dataPort, 1);
    EXPECT_EQ(o.dbPath, "/tmp/x.db");
    EXPECT_EQ(o.versionNumber, -5);
    EXPECT_EQ(o.fixedCode, "ab12");
    EXPECT_EQ(o.portsFile, "p");
    EXPECT_EQ(o.seed, 18446744073709551615ull);
    EXPECT_TRUE(o.demoMembers);
    EXPECT_EQ(o.addMember, "王五");
    EXPECT_EQ(ControlSecretPath(o), "/etc/zq/secret");
    o.controlSecretFile.clear();
    EXPECT_EQ(ControlSecretPath(o), "/tmp/control-secret");
    EXPECT_EQ(Parse({"--help"}, o, msg), ParseOutcome::Help);
}

TEST(ServerOptionsTest, BadArgumentsAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {"--request-port", "65536"},
        {"--push-port", "-1"},
        {"--data-port", "80x"},
        {"--request-port"},
        {"--version-number", "2147483648"},
        {"--fixed-code", "AB1"},
        {"--fixed-code", "AB-1"},
        {"--seed", "-3"},
        {"--db", ""},
        {"--session-idle-ms", "99"},
        {"--add-member", ""},
        {"--control-secret-file", ""},
        {"--colour", "red"},
        {"stray"},
    };
    for (const auto& args : bad) {
        ServerOptions o;
        std::string msg;
        EXPECT_EQ(Parse(args, o, msg), ParseOutcome::Error) << args[0];
        EXPECT_FALSE(msg.empty()) << args[0];
    }
}

// Failed logins hold back the next attempts on their name at their address, on their name and
// from their address, more with every failure; the members behind the guesser's address and the
// member's own success are not held back.
TEST(LoginThrottleTest, DelaysGrowPerAddressAndMemberAndAreForgotten) {
    using namespace std::chrono_literals;
    LoginThrottle t;
    auto now = LoginThrottle::Clock::time_point{} + 1h;
    auto admit = [&](const std::string& member, const char* address) {
        const LoginThrottle::Turn turn = t.Admit(member, address, now);
        return turn.admitted ? std::chrono::duration_cast<std::chrono::seconds>(turn.wait).count()
                             : -1;
    };
    // One address guessing one name: each guess waits for its turn, held at most 8 s.
    std::vector<long> waits;
    for (int i = 0; i < 7; ++i) {
        waits.push_back(admit("demo", "10.0.0.1"));
        now += std::chrono::seconds(waits.back());
        t.Failed("demo", "10.0.0.1", now);
    }
    EXPECT_EQ(waits, (std::vector<long>{0, 0, 0, 1, 2, 4, 8}));
    EXPECT_EQ(admit("demo", "10.0.0.1"), -1);  // 16 s ahead: refused at once
    EXPECT_EQ(admit("zhang", "10.0.0.1"), 0);  // a colleague behind the same address
    EXPECT_EQ(admit("demo", "10.0.0.2"), 4);   // the name's 7 failures, from anywhere
    t.Succeeded("demo", "10.0.0.2");
    EXPECT_EQ(admit("demo", "10.0.0.3"), 0);
    // One address trying many names: after 20 failures its attempts are held, 8 at once.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(admit("n" + std::to_string(i), "10.0.0.9"), 0);
        t.Failed("n" + std::to_string(i), "10.0.0.9", now);
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(admit("x" + std::to_string(i), "10.0.0.9"), 1);
    EXPECT_EQ(admit("y", "10.0.0.9"), -1);
    now += 1s;
    EXPECT_EQ(admit("y", "10.0.0.9"), 1);
    // A quarter of an hour after the last failure everything is forgotten.
    now += 16min;
    EXPECT_EQ(admit("demo", "10.0.0.1"), 0);
    EXPECT_EQ(admit("z", "10.0.0.9"), 0);
}

}  // namespace
}  // namespace zq::server
