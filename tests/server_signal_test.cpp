// Trading signals of the real server: the members' notification flags (commands 41 and 42),
// signals the control port publishes and withdraws on the push link and in history transfers,
// and the market's own signals with their pace and seeded choices.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "market/wire/signal_record.h"
#include "net/wire/framing.h"
#include "server/market/bars.h"
#include "server/market/market.h"
#include "server/market/signal_flags.h"
#include "server/market/signals.h"
#include "server/store/random.h"
#include "server/store/store.h"
#include "tests/support/server_process.h"
#include "tests/support/test_directory.h"

namespace zq {
namespace {

using test::ControlCommand;
using test::PushFrame;
using test::ReadPushFrame;
using test::ServerProcess;

constexpr const char* kCode = "AB12";
using Flags = std::array<std::uint8_t, 50>;
using SessionKey = std::array<std::int32_t, 4>;

std::optional<Flags> LoadFlags(std::uint16_t port, const SessionKey& key) {
    Socket s = test::ConnectLocal(port);
    const RequestHeader h = test::Header(cmd::LoadSignalFlags, key);
    if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h)) return std::nullopt;
    Flags flags{};
    if (ReceiveExact(s, flags.data(), static_cast<int>(flags.size())) !=
        static_cast<int>(flags.size()))
        return std::nullopt;
    return flags;
}

// The one-byte answer of command 41; nothing when the connection ends without one.
std::optional<std::int8_t> SaveFlags(std::uint16_t port, const SessionKey& key,
                                     const Flags& flags) {
    Socket s = test::ConnectLocal(port);
    const RequestHeader h = test::Header(cmd::SaveSignalFlags, key);
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    out.append(reinterpret_cast<const char*>(flags.data()), flags.size());
    if (s.Send(out.data(), out.size()) != static_cast<int>(out.size())) return std::nullopt;
    std::int8_t answer = 0;
    if (ReceiveExact(s, &answer, 1) != 1) return std::nullopt;
    return answer;
}

Flags Announced(std::initializer_list<int> instruments) {
    Flags f{};
    for (int i : instruments) f[static_cast<std::size_t>(i - 1)] = 1;
    return f;
}

// The signals among the records of a history answer, and the bars.
std::vector<SignalRecord> SignalsOf(const test::HistoryReply& h) {
    std::vector<SignalRecord> out;
    for (const BarRecord& r : h.bars)
        if (IsSignal(r)) out.push_back(AsSignal(r));
    return out;
}
std::size_t BarsOf(const test::HistoryReply& h) {
    std::size_t n = 0;
    for (const BarRecord& r : h.bars) n += !IsSignal(r);
    return n;
}

std::optional<PushFrame> NextSignal(Socket& link, int limit = 5000) {
    for (int i = 0; i < limit; ++i) {
        std::optional<PushFrame> f = ReadPushFrame(link);
        if (!f) return std::nullopt;
        if (f->type == push::Record && IsSignal(f->record)) return f;
    }
    return std::nullopt;
}

// The number after `word ` in a control answer; -1 when there is none.
long NumberAfter(const std::string& text, const std::string& word) {
    const std::size_t at = text.find(" " + word + " ");
    if (at == std::string::npos) return -1;
    return std::strtol(text.c_str() + at + word.size() + 2, nullptr, 10);
}

std::int32_t Now() {
    return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
}

// ---- Notification flags over the request port ----

class SignalFlagsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Running()) << server_.Error();
        auto demo = test::LoginAs(server_.requestPort(), "demo", "demo", kCode);
        auto trader = test::LoginAs(server_.requestPort(), "trader", "trader", kCode);
        ASSERT_TRUE(demo && trader);
        demo_ = demo->key;
        trader_ = trader->key;
    }
    ServerProcess server_{{"--fixed-code", kCode}};
    SessionKey demo_{}, trader_{};
};

TEST_F(SignalFlagsTest, TheDemoMemberStartsWithAFewInstrumentsAnnouncedOthersWithNone) {
    EXPECT_EQ(LoadFlags(server_.requestPort(), demo_), Announced({1, 2, 5, 14}));
    EXPECT_EQ(LoadFlags(server_.requestPort(), trader_), Flags{});
    // Without a session: 50 zeros, and saving is refused without closing.
    EXPECT_EQ(LoadFlags(server_.requestPort(), {}), Flags{});
    EXPECT_EQ(SaveFlags(server_.requestPort(), {}, Announced({3})), std::int8_t{0});
}

TEST_F(SignalFlagsTest, EachMemberSavesAndLoadsOnlyTheirOwnFlagsAndTheyOutliveARestart) {
    Flags mine = Announced({1, 42});
    mine[7] = 2;  // any byte is kept as sent; only 1 announces
    ASSERT_EQ(SaveFlags(server_.requestPort(), demo_, mine), std::int8_t{1});
    EXPECT_EQ(LoadFlags(server_.requestPort(), demo_), mine);
    EXPECT_EQ(LoadFlags(server_.requestPort(), trader_), Flags{}) << "the trader's are untouched";

    const Flags theirs = Announced({13, 17});
    ASSERT_EQ(SaveFlags(server_.requestPort(), trader_, theirs), std::int8_t{1});
    EXPECT_EQ(LoadFlags(server_.requestPort(), demo_), mine);
    EXPECT_EQ(LoadFlags(server_.requestPort(), trader_), theirs);

    // Sessions outlive the restart, and so do the flags.
    ASSERT_TRUE(server_.Restart()) << server_.Error();
    EXPECT_EQ(LoadFlags(server_.requestPort(), demo_), mine);
    EXPECT_EQ(LoadFlags(server_.requestPort(), trader_), theirs);
}

TEST_F(SignalFlagsTest, AShortSavePayloadClosesTheConnectionAndStoresNothing) {
    Socket s = test::ConnectLocal(server_.requestPort());
    const RequestHeader h = test::Header(cmd::SaveSignalFlags, demo_);
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    out.append(20, '\1');
    ASSERT_EQ(s.Send(out.data(), out.size()), static_cast<int>(out.size()));
    ::shutdown(s.Fd(), SHUT_WR);
    EXPECT_TRUE(test::PeerClosed(s)) << "no answer, closed";
    EXPECT_EQ(LoadFlags(server_.requestPort(), demo_), Announced({1, 2, 5, 14}));

    // Several requests on one connection: the flags answer keeps the stream in step.
    Socket both = test::ConnectLocal(server_.requestPort());
    const RequestHeader load = test::Header(cmd::LoadSignalFlags, demo_);
    ASSERT_EQ(both.Send(&load, sizeof load), static_cast<int>(sizeof load));
    Flags first{};
    ASSERT_EQ(ReceiveExact(both, first.data(), 50), 50);
    const RequestHeader version = test::Header(cmd::VersionCheck, demo_);
    ASSERT_EQ(both.Send(&version, sizeof version), static_cast<int>(sizeof version));
    std::int32_t number = 0;
    ASSERT_EQ(ReceiveExact(both, &number, 4), 4);
    EXPECT_GT(number, 0);
}

// ---- Control-port signals on the push link and in history transfers ----

class SignalFeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Running()) << server_.Error();
        auto demo = test::LoginAs(server_.requestPort(), "demo", "demo", kCode);
        ASSERT_TRUE(demo);
        key_ = demo->key;
    }
    std::string Control(const std::string& line) {
        return ControlCommand(server_.controlPort(), line);
    }
    ServerProcess server_{{"--fixed-code", kCode, "--control-port", "0", "--market-step-ms", "0"}};
    SessionKey key_{};
};

TEST_F(SignalFeedTest, APublishedSignalReachesTheLinkAndItsWithdrawalCarriesTheSameIdentity) {
    EXPECT_EQ(Control("signals"), "ok 0 active") << "no automatic signals under test";
    Socket link = test::SubscribePush(server_.pushPort(), key_);
    Socket other = test::SubscribePush(server_.pushPort(), key_);
    ASSERT_TRUE(link.Valid() && other.Valid());
    // Both links are attached once their first records arrive.
    ASSERT_TRUE(ReadPushFrame(link) && ReadPushFrame(other));

    const std::int32_t before = Now();
    const std::string answer = Control("signal 1 support 1650.5 2 21.25 1640");
    ASSERT_EQ(answer.rfind("ok signal 1 tag ", 0), 0u) << answer;
    const long tag = NumberAfter(answer, "tag");
    ASSERT_GE(tag, 1);
    EXPECT_NE(answer.find("support 1650.50 lots 2.00 amount 21.25 stop 1640.00"), std::string::npos)
        << answer;

    std::optional<PushFrame> f = NextSignal(link);
    ASSERT_TRUE(f);
    const SignalRecord s = AsSignal(f->record);
    EXPECT_EQ(s.marker, kSignalMarker);
    EXPECT_EQ(s.instrument, 1);
    EXPECT_EQ(s.side, signal_side::Support);
    EXPECT_EQ(s.price, 165050);
    EXPECT_EQ(s.stopLoss, 164000);
    EXPECT_EQ(s.lots, 200);
    EXPECT_EQ(s.amount, 2125);
    EXPECT_EQ(s.tag, tag);
    EXPECT_EQ(s.variant, server::kControlVariant);
    EXPECT_FALSE(IsWithdrawal(s));
    EXPECT_GE(s.published, before);
    EXPECT_LE(s.published, Now() + 1);
    std::optional<PushFrame> copy = NextSignal(other);
    ASSERT_TRUE(copy) << "every link hears it";
    EXPECT_TRUE(SameSignal(AsSignal(copy->record), s));

    const std::string gone = Control("withdraw 1 " + std::to_string(tag));
    ASSERT_EQ(gone.rfind("ok withdrawn 1 tag " + std::to_string(tag), 0), 0u) << gone;
    std::optional<PushFrame> w = NextSignal(link);
    ASSERT_TRUE(w);
    const SignalRecord ws = AsSignal(w->record);
    EXPECT_TRUE(IsWithdrawal(ws));
    EXPECT_TRUE(SameSignal(ws, s));
    EXPECT_EQ(ws.marker, kSignalMarker);
    EXPECT_EQ(Control("signals"), "ok 0 active");
    EXPECT_EQ(Control("withdraw 1 " + std::to_string(tag)).rfind("error", 0), 0u)
        << "withdrawn only once";
}

TEST_F(SignalFeedTest, AHistoryTransferCarriesTheInstrumentsActiveSignalsBesideItsBars) {
    const std::string a = Control("signal 1 resistance 1700");
    const std::string b = Control("signal 1 support 1600 1.5 15 1590");
    const std::string c = Control("signal 2 support 30.1");
    ASSERT_EQ(a.rfind("ok", 0), 0u) << a;
    ASSERT_EQ(b.rfind("ok", 0), 0u) << b;
    ASSERT_EQ(c.rfind("ok", 0), 0u) << c;
    EXPECT_NE(NumberAfter(a, "tag"), NumberAfter(b, "tag")) << "tags differ on one instrument";
    EXPECT_NE(a.find("stop 1704.25"), std::string::npos) << "a quarter percent beyond: " << a;

    auto h = test::RequestHistory(server_.dataPort(), 15001, "0", "0", key_);
    ASSERT_TRUE(h && h->unzipped);
    EXPECT_EQ(BarsOf(*h), std::size_t{server::kHistoryPageBars} + 1);
    std::vector<SignalRecord> signals = SignalsOf(*h);
    ASSERT_EQ(signals.size(), 2u) << "only instrument 1's";
    EXPECT_EQ(signals[0].price, 170000);
    EXPECT_EQ(signals[0].side, signal_side::Resistance);
    EXPECT_EQ(signals[1].price, 160000);
    EXPECT_EQ(signals[1].lots, 150);
    EXPECT_EQ(signals[1].amount, 1500);
    for (const SignalRecord& s : signals) EXPECT_EQ(s.instrument, 1);
    EXPECT_TRUE(IsLiveBar(h->bars.front())) << "the live bar still leads";

    auto silver = test::RequestHistory(server_.dataPort(), 60002, "0", "0", key_);
    ASSERT_TRUE(silver);
    ASSERT_EQ(SignalsOf(*silver).size(), 1u) << "every period of the instrument";
    EXPECT_EQ(SignalsOf(*silver)[0].price, 30100);

    // Paging brings bars only.
    BarKey oldest = MakeBarKey(h->bars[BarsOf(*h) - 1]);
    auto page =
        test::RequestHistory(server_.dataPort(), 15001, "0", std::string(KeyText(oldest)), key_);
    ASSERT_TRUE(page);
    EXPECT_GT(page->bars.size(), 0u);
    EXPECT_TRUE(SignalsOf(*page).empty());

    ASSERT_EQ(Control("withdraw 1 " + std::to_string(NumberAfter(a, "tag"))).rfind("ok", 0), 0u);
    auto after = test::RequestHistory(server_.dataPort(), 15001, "0", "0", key_);
    ASSERT_TRUE(after);
    ASSERT_EQ(SignalsOf(*after).size(), 1u);
    EXPECT_EQ(SignalsOf(*after)[0].price, 160000);
}

TEST_F(SignalFeedTest, BadSignalCommandsAnswerErrorAndChangeNothing) {
    for (const char* line : {"signal",
                             "signal 0 support 1",
                             "signal 43 support 1",
                             "signal 1 up 1650",
                             "signal 1 support",
                             "signal 1 support -5",
                             "signal 1 support abc",
                             "signal 1 support 1650 1",
                             "signal 1 support 1650 1 2",
                             "signal 1 support 1650 0 1 1",
                             "signal 1 support 1650 1 1 1 extra",
                             "signal 1 support 1e300",
                             "withdraw",
                             "withdraw 1",
                             "withdraw 1 0",
                             "withdraw 1 256",
                             "withdraw 99 1",
                             "withdraw 1 7",
                             "signals 0",
                             "signals x"}) {
        EXPECT_EQ(Control(line).rfind("error", 0), 0u) << line;
    }
    EXPECT_EQ(Control("signals"), "ok 0 active");
    EXPECT_EQ(Control("signal 1 11 1650").rfind("ok signal 1 tag 1 support", 0), 0u)
        << "sides by number too";
    EXPECT_EQ(Control("signals 2"), "ok 0 active");
}

// ---- The market's own signals ----

TEST(AutomaticSignalsTest, AFreshServerShowsASupportAndAResistanceOnLondonGoldAtOnce) {
    ServerProcess server({"--control-port", "0", "--market-step-ms", "0", "--auto-signals", "1",
                          "--seed", "11", "--fixed-code", "AB12"});
    ASSERT_TRUE(server.Running()) << server.Error();
    auto demo = test::LoginAs(server.requestPort(), "demo", "demo", "AB12");
    ASSERT_TRUE(demo) << server.Log();
    auto h = test::RequestHistory(server.dataPort(), 15001, "0", "0", demo->key);
    ASSERT_TRUE(h);
    const std::vector<SignalRecord> signals = SignalsOf(*h);
    ASSERT_EQ(signals.size(), 2u);
    std::int32_t low = 0, high = 0;
    for (std::size_t i = 1; i <= 48; ++i) {
        low = low ? std::min(low, h->bars[i].low) : h->bars[i].low;
        high = std::max(high, h->bars[i].high);
    }
    for (const SignalRecord& s : signals) {
        EXPECT_EQ(s.variant, server::kAutomaticVariant);
        EXPECT_GT(s.lots, 0);
        EXPECT_GT(s.amount, 0);
        if (s.side == signal_side::Support) {
            EXPECT_GE(s.price, low);
            EXPECT_LT(s.stopLoss, s.price);
        } else {
            EXPECT_EQ(s.side, signal_side::Resistance);
            EXPECT_LE(s.price, high);
            EXPECT_GT(s.stopLoss, s.price);
        }
    }
    EXPECT_NE(signals[0].side, signals[1].side);
    EXPECT_EQ(ControlCommand(server.controlPort(), "signals").rfind("ok 2 active", 0), 0u);
}

// The book over an in-process market and bar book, with a schedule driven by hand.
class SignalBookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-signal-book");
        std::string error;
        store_ = server::Store::Open((dir_ / "store.db").string(), &error);
        ASSERT_TRUE(store_) << error;
        bars_ = std::make_unique<server::BarBook>(*store_, market_);
        ASSERT_TRUE(bars_->Start(7, &error)) << error;
    }
    void TearDown() override {
        bars_.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }
    // A book not started, its records collected; the start levels published by hand.
    std::unique_ptr<server::SignalBook> Book(std::uint64_t seed, std::vector<SignalRecord>& out) {
        auto book = std::make_unique<server::SignalBook>(*bars_, seed);
        book->SetSink([&out](const SignalRecord& s) { out.push_back(s); });
        return book;
    }

    std::filesystem::path dir_;
    std::unique_ptr<server::Store> store_;
    server::SeededRandom random_{3};
    server::Market market_{random_};
    std::unique_ptr<server::BarBook> bars_;
};

TEST_F(SignalBookTest, TheSameSeedMakesTheSameSignalsAndTheScheduleKeepsItsPace) {
    using Clock = server::SignalBook::Clock;
    std::vector<SignalRecord> first, second, third;
    auto a = Book(21, first);
    auto b = Book(21, second);
    auto c = Book(22, third);
    const Clock::time_point t0 = Clock::now() + std::chrono::hours(1);
    // Without Start(true) nothing runs by itself; the schedule is driven by hand.
    a->Start(false);
    EXPECT_TRUE(first.empty());
    for (int minute = 0; minute <= 30; ++minute) {
        const Clock::time_point t = t0 + std::chrono::seconds(20 * minute);
        a->RunSchedule(t);
        b->RunSchedule(t);
        c->RunSchedule(t);
    }
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_TRUE(SameSignal(first[i], second[i])) << i;
        EXPECT_EQ(first[i].action, second[i].action) << i;
    }
    // Ten minutes at one new signal every 20 to 60 seconds, each standing 2 to 5 minutes.
    std::size_t published = 0, withdrawn = 0;
    for (const SignalRecord& s : first) {
        EXPECT_EQ(s.marker, kSignalMarker);
        EXPECT_TRUE(s.side == signal_side::Support || s.side == signal_side::Resistance);
        if (IsWithdrawal(s)) {
            ++withdrawn;
            // A withdrawal names a signal published earlier.
            EXPECT_TRUE(std::any_of(first.begin(), first.end(), [&](const SignalRecord& p) {
                return !IsWithdrawal(p) && SameSignal(p, s);
            }));
        } else {
            ++published;
        }
    }
    EXPECT_GE(published, 4u);
    EXPECT_LE(published, 40u);
    EXPECT_GE(withdrawn, 1u);
    EXPECT_LE(a->Active().size(), server::kMaxAutomatic);
    bool differs = first.size() != third.size();
    for (std::size_t i = 0; !differs && i < first.size(); ++i)
        differs = !SameSignal(first[i], third[i]);
    EXPECT_TRUE(differs) << "another seed, other choices";
}

TEST_F(SignalBookTest, LondonGoldKeepsASupportAndAResistanceThroughWithdrawals) {
    std::vector<SignalRecord> out;
    auto book = Book(5, out);
    book->Start(true);
    auto sides = [&] {
        int support = 0, resistance = 0;
        for (const SignalRecord& s : book->Active(1)) {
            support += s.side == signal_side::Support;
            resistance += s.side == signal_side::Resistance;
        }
        return std::pair{support, resistance};
    };
    EXPECT_GE(sides().first, 1);
    EXPECT_GE(sides().second, 1);
    const auto t0 = server::SignalBook::Clock::now();
    for (int step = 1; step <= 60; ++step) {
        book->RunSchedule(t0 + std::chrono::seconds(30 * step));
        const auto [support, resistance] = sides();
        ASSERT_GE(support, 1) << step;
        ASSERT_GE(resistance, 1) << step;
    }
    // The control variant shares the instrument's tags without clashing.
    server::SignalRequest r;
    r.instrument = 1;
    r.side = signal_side::Resistance;
    r.price = 200000;
    std::optional<SignalRecord> mine = book->Publish(r);
    ASSERT_TRUE(mine);
    for (const SignalRecord& s : book->Active(1))
        if (s.variant == server::kAutomaticVariant) {
            EXPECT_NE(s.tag, mine->tag);
        }
    EXPECT_EQ(mine->lots, 100) << "one lot unless told";
    EXPECT_EQ(mine->amount, server::SignalAmount(*server::FindRules(1), 200000, 100));
    EXPECT_FALSE(book->Publish({.instrument = 0, .price = 1}));
    EXPECT_FALSE(book->Publish({.instrument = 1, .side = 12, .price = 1}));
    book->Stop();
}

TEST(SignalFlagStoreTest, ZerosForAMemberWithoutARowAndTheDemoSeed) {
    const auto dir = test::MakeTestDirectory("zq-signal-flags");
    std::string error;
    auto store = server::Store::Open((dir / "store.db").string(), &error);
    ASSERT_TRUE(store) << error;
    const auto demo = store->FindMember("demo");
    const auto other = store->FindMember("张三");
    ASSERT_TRUE(demo && other);
    EXPECT_EQ(server::LoadSignalFlags(*store, demo->id), Announced({1, 2, 5, 14}));
    EXPECT_EQ(server::LoadSignalFlags(*store, other->id), Flags{});
    EXPECT_EQ(server::LoadSignalFlags(*store, 999999), Flags{});
    ASSERT_TRUE(server::SaveSignalFlags(*store, other->id, Announced({9})));
    EXPECT_EQ(server::LoadSignalFlags(*store, other->id), Announced({9}));
    store.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zq
