// The trading-signal feed without windows: identity and duplicates, withdrawals, the
// announcement text, the flags of commands 42 and 41, and the account reload under
// programmatic trading, against the recording window bridge and scripted request servers.
#include "net/signal_feed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/config.h"
#include "market/bar_series.h"
#include "market/wire/signal_record.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AccountServer;
using test::FakeUi;
using test::ScriptServer;

const WindowHandle kFrame = reinterpret_cast<WindowHandle>(0xF4A3);

SignalRecord MakeSignal(int instrument, std::int32_t price, std::int32_t lots = 150) {
    SignalRecord s{};
    s.price = price;
    s.stopLoss = price - 4567;
    s.amount = 1234;
    s.tag = 7;
    s.instrument = static_cast<std::int8_t>(instrument);
    s.action = 1;
    s.side = signal_side::Support;
    s.lots = lots;
    s.published = 1700000000;
    s.marker = kSignalMarker;
    s.variant = 2;
    return s;
}

InstrumentRecord Named(int id, int decimals, const char* utf8Name) {
    InstrumentRecord r{};
    r.id = id;
    r.decimals = decimals;
    PutField(r.name, sizeof r.name, ToAnsi(utf8Name));
    return r;
}

// Leaves the request port pointing at a port nobody listens on.
void UseClosedRequestPort() {
    ScriptServer gone([](Socket&, int) {});
    gone.UseAsRequestPort();
}

class SignalFeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chart_->Reset(1, 15);
        chart_->hooks.invalidateAll = [this] { ++invalidations_; };
        chart_->hooks.placeSignals = [this](SignalList&, const LayoutContext&) { ++layouts_; };
        feed_.SetMarkWindow(kFrame);
        feed_.SetAnnounce([this](const std::string& text, std::int64_t time) {
            std::lock_guard lock(mutex_);
            announced_.emplace_back(time, text);
        });
        model_.SetInstruments({Named(1, 3, "伦敦银"), Named(2, 2, "伦敦金")});
        feed_.SetTradingModel(&model_);
        SignalFlags flags{};
        flags.fill(1);
        feed_.SetFlags(flags);
    }
    void TearDown() override {
        ::unsetenv("ZQ_REQUEST_PORT");
        ReloadConfig();
        ResetSession();
    }

    std::vector<std::pair<std::int64_t, std::string>> Announced() {
        std::lock_guard lock(mutex_);
        return announced_;
    }
    std::vector<SignalRecord> Signals() {
        return chart_->WithSignals([](const SignalList& v) {
            std::vector<SignalRecord> out;
            for (const BarRecord& r : v) out.push_back(AsSignal(r));
            return out;
        });
    }
    // The lparams of the WM_SIGNAL_MARK posts to the frame, with their instruments.
    std::vector<std::pair<std::intptr_t, std::intptr_t>> Marks() const {
        std::vector<std::pair<std::intptr_t, std::intptr_t>> out;
        for (const auto& m : ui_.Posts())
            if (m.target == kFrame && m.msg == WM_SIGNAL_MARK) out.emplace_back(m.wparam, m.lparam);
        return out;
    }
    // The chart with bars to lay out, so that a layout reaches the signal hook.
    void GiveChartBars() {
        for (int i = 0; i < 30; ++i) {
            BarRecord b{};
            b.instrument = 1;
            b.open = b.close = 1000 + i;
            b.high = b.open + 5;
            b.low = b.open - 5;
            b.decimals = 3;
            b.keyNumber = 2024;
            std::snprintf(b.time, sizeof b.time, "%08d", 100 - i);
            chart_->AppendHistoryBar(b);
        }
        chart_->SetClientSize(800, 600);
        ASSERT_TRUE(chart_->Layout());
        layouts_ = 0;
    }

    FakeUi ui_;
    std::shared_ptr<KLineData> chart_ = std::make_shared<KLineData>();
    SignalFeed feed_{chart_};
    TradingModel model_;
    std::mutex mutex_;
    std::vector<std::pair<std::int64_t, std::string>> announced_;
    int invalidations_ = 0;
    int layouts_ = 0;
};

TEST_F(SignalFeedTest, TheSameSignalTwiceLeavesOneEntryTheNewestAndOneAnnouncement) {
    const SignalRecord first = MakeSignal(1, 1234567);
    SignalRecord again = first;
    again.published = first.published + 60;  // not part of the identity
    again.amount = 999;
    again.side = signal_side::Resistance;
    again.word24 = 5;
    again.action = 9;  // any action but 4 and 5 publishes

    const SignalFeed::Outcome a = feed_.LiveIntake(AsBar(first));
    const SignalFeed::Outcome b = feed_.LiveIntake(AsBar(again));
    EXPECT_FALSE(a.duplicate);
    EXPECT_TRUE(a.announced);
    EXPECT_TRUE(b.duplicate);
    EXPECT_FALSE(b.announced);

    const auto list = Signals();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::memcmp(&list[0], &again, sizeof again), 0);  // the newer record, whole
    EXPECT_EQ(Announced().size(), 1u);
    // Both were drawn and marked.
    EXPECT_EQ(Marks(), (std::vector<std::pair<std::intptr_t, std::intptr_t>>{{1, kSignalMark},
                                                                             {1, kSignalMark}}));
    EXPECT_EQ(invalidations_, 2);
}

TEST_F(SignalFeedTest, EachIdentityFieldMakesADifferentSignalAppendedAtTheEnd) {
    const SignalRecord base = MakeSignal(1, 1234567);
    std::vector<SignalRecord> variants(6, base);
    variants[0].price += 1;
    variants[1].stopLoss += 1;
    variants[2].tag += 1;
    variants[3].instrument = 2;
    variants[4].lots += 1;
    variants[5].variant += 1;
    feed_.LiveIntake(AsBar(base));
    for (const SignalRecord& v : variants) EXPECT_FALSE(feed_.LiveIntake(AsBar(v)).duplicate);
    EXPECT_EQ(Signals().size(), 7u);
    EXPECT_EQ(Announced().size(), 7u);

    // A repeat of the first moves it to the end of the list.
    feed_.LiveIntake(AsBar(base));
    const auto list = Signals();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_TRUE(SameSignal(list.back(), base));
    EXPECT_TRUE(SameSignal(list.front(), variants[0]));
}

TEST_F(SignalFeedTest, AFloodOfSignalsKeepsTheNewestUpToTheBound) {
    const std::size_t sent = kMaxSignalsPerSeries + 100;
    for (std::size_t i = 0; i < sent; ++i)
        feed_.HistoryIntake(AsBar(MakeSignal(1, 1000000 + static_cast<std::int32_t>(i))));
    const auto list = Signals();
    ASSERT_EQ(list.size(), kMaxSignalsPerSeries);
    EXPECT_EQ(list.front().price, 1000100);
    EXPECT_EQ(list.back().price, 1000000 + static_cast<std::int32_t>(sent) - 1);
}

TEST_F(SignalFeedTest, AWithdrawalTakesOutEveryCopyIncludingThoseOfAHistoryTransfer) {
    // The signal arrives with a history transfer (among bars), and another one was published
    // twice before: the list holds it once.
    chart_->hooks.historySignal = [this](const BarRecord& r) { feed_.HistoryIntake(r); };
    const SignalRecord kept = MakeSignal(1, 2000000);
    const SignalRecord gone = MakeSignal(1, 1234567);
    const SignalRecord twice = MakeSignal(1, 3000000);
    chart_->WithSignals([&](SignalList& v) {
        EXPECT_EQ(v.Publish(AsBar(twice)), 0u);
        EXPECT_EQ(v.Publish(AsBar(twice)), 1u);
    });
    BarRecord bar{};
    bar.instrument = 1;
    bar.open = bar.close = bar.high = bar.low = 100;
    std::strcpy(bar.time, "00000001");
    const BarRecord transfer[] = {bar, AsBar(gone), AsBar(kept)};
    EXPECT_EQ(chart_->AppendHistoryBars(transfer, 3), 1u);
    ASSERT_EQ(Signals().size(), 3u);
    // A history signal is listed and marked, never laid out, drawn or announced.
    EXPECT_EQ(layouts_, 0);
    EXPECT_EQ(invalidations_, 0);
    EXPECT_TRUE(Announced().empty());
    EXPECT_EQ(Marks().size(), 2u);

    SignalRecord withdraw = gone;
    withdraw.action = 4;
    withdraw.side = 0;  // only the identity counts
    SignalFeed::Outcome out = feed_.LiveIntake(AsBar(withdraw));
    EXPECT_TRUE(out.withdrawn);
    EXPECT_EQ(out.removed, 1u);
    withdraw = twice;
    withdraw.action = 5;
    out = feed_.LiveIntake(AsBar(withdraw));
    EXPECT_EQ(out.removed, 1u);

    const auto list = Signals();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(SameSignal(list[0], kept));
    EXPECT_TRUE(Announced().empty());  // withdrawals are never announced
    EXPECT_EQ(invalidations_, 2);      // instrument 1 is on the chart
    EXPECT_EQ(Marks().back(), (std::pair<std::intptr_t, std::intptr_t>{1, kSignalRecount}));

    // A withdrawal of a signal the list lacks still recounts; another instrument's is not
    // drawn.
    ui_.Clear();
    SignalRecord other = MakeSignal(2, 5);
    other.action = 4;
    EXPECT_EQ(feed_.LiveIntake(AsBar(other)).removed, 0u);
    EXPECT_EQ(invalidations_, 2);
    EXPECT_EQ(Marks(), (std::vector<std::pair<std::intptr_t, std::intptr_t>>{{2, kSignalRecount}}));
    EXPECT_EQ(CountSignals(*chart_, 1), 1u);
    EXPECT_EQ(CountSignals(*chart_, 2), 0u);
}

TEST_F(SignalFeedTest, APublicationLaysTheChartOutAndDrawsOnlyItsOwnInstrument) {
    GiveChartBars();
    feed_.LiveIntake(AsBar(MakeSignal(1, 1234567)));
    EXPECT_EQ(layouts_, 1);
    EXPECT_EQ(invalidations_, 1);
    feed_.LiveIntake(AsBar(MakeSignal(2, 123456)));  // laid out, not drawn
    EXPECT_EQ(layouts_, 2);
    EXPECT_EQ(invalidations_, 1);
    SignalRecord withdraw = MakeSignal(1, 1234567);
    withdraw.action = 4;
    feed_.LiveIntake(AsBar(withdraw));  // drawn again, no layout
    EXPECT_EQ(layouts_, 2);
    EXPECT_EQ(invalidations_, 2);
}

TEST_F(SignalFeedTest, TheAnnouncementPrintsEachNumberWithTheInstrumentsDecimals) {
    // Three decimals: price word 1234567 is 1234.567, lots word 150 is 1.50.
    SignalRecord s = MakeSignal(1, 1234567, 150);
    s.stopLoss = 1230000;
    s.amount = 1234;
    EXPECT_EQ(SignalAnnouncement(s, Named(1, 3, "伦敦银")),
              "接收到[伦敦银]新操盘信号，{支撑位1234.567\u30001.50手/12.34万元\u30001230.000止损}");
    // Two decimals; every side byte but 11 reads as resistance.
    s.price = 165025;
    s.stopLoss = 166000;
    s.lots = 5;
    s.amount = 100050;
    for (std::uint8_t side : {std::uint8_t{21}, std::uint8_t{0}, std::uint8_t{12}}) {
        s.side = side;
        EXPECT_EQ(
            SignalAnnouncement(s, Named(2, 2, "伦敦金")),
            "接收到[伦敦金]新操盘信号，{阻力位1650.25\u30000.05手/1000.50万元\u30001660.00止损}")
            << int(side);
    }
    // No decimals at all; a negative price stays negative.
    s.price = -42;
    s.stopLoss = 7;
    s.side = signal_side::Support;
    EXPECT_EQ(SignalAnnouncement(s, Named(3, 0, "美元指数")),
              "接收到[美元指数]新操盘信号，{支撑位-42\u30000.05手/1000.50万元\u30007止损}");
    // A name is text, never format.
    EXPECT_EQ(SignalAnnouncement(s, Named(3, 0, "%s%n%d")),
              "接收到[%s%n%d]新操盘信号，{支撑位-42\u30000.05手/1000.50万元\u30007止损}");
    // No name, no text.
    EXPECT_EQ(SignalAnnouncement(s, InstrumentRecord{}), "");
}

TEST_F(SignalFeedTest, OnlyAFlagOfOneAnnouncesButEveryNewSignalIsDrawnAndMarked) {
    SignalFlags flags{};
    flags[0] = 0;  // instrument 1 silent
    flags[1] = 2;  // anything but 1 is silent
    flags[2] = 1;  // instrument 3 announced, but the instrument list lacks it
    feed_.SetFlags(flags);
    EXPECT_FALSE(feed_.LiveIntake(AsBar(MakeSignal(1, 100))).announced);
    EXPECT_FALSE(feed_.LiveIntake(AsBar(MakeSignal(2, 100))).announced);
    EXPECT_EQ(Signals().size(), 2u);
    EXPECT_EQ(Marks().size(), 2u);
    EXPECT_EQ(invalidations_, 1);
    EXPECT_TRUE(Announced().empty());

    // The message is posted with an empty text and the publication time.
    SignalRecord s = MakeSignal(3, 100);
    s.published = 1700001234;
    EXPECT_TRUE(feed_.LiveIntake(AsBar(s)).announced);
    EXPECT_EQ(Announced(),
              (std::vector<std::pair<std::int64_t, std::string>>{{1700001234, std::string()}}));

    // An announced instrument: the text and the time.
    flags[0] = 1;
    feed_.SetFlags(flags);
    s = MakeSignal(1, 1234567);
    s.stopLoss = 1230000;
    feed_.LiveIntake(AsBar(s));
    ASSERT_EQ(Announced().size(), 2u);
    EXPECT_EQ(Announced()[1].first, s.published);
    EXPECT_EQ(Announced()[1].second,
              "接收到[伦敦银]新操盘信号，{支撑位1234.567\u30001.50手/12.34万元\u30001230.000止损}");
}

TEST_F(SignalFeedTest, WithProgramTradingOffNoRequestConnectionIsOpened) {
    AccountServer server;
    Session().programTrading = 0;
    int listener = 0;
    ui_.SetLive(&listener);
    model_.RegisterTickListener(&listener);
    feed_.LiveIntake(AsBar(MakeSignal(1, 100)));
    SignalRecord withdraw = MakeSignal(1, 100);
    withdraw.action = 5;
    feed_.LiveIntake(AsBar(withdraw));
    feed_.HistoryIntake(AsBar(MakeSignal(1, 200)));
    EXPECT_TRUE(server.Connections().empty());
    EXPECT_TRUE(ui_.Sends().empty());
}

TEST_F(SignalFeedTest, WithProgramTradingOnEveryLiveSignalReloadsTheAccountAndTellsTheListeners) {
    AccountServer server;
    Session().programTrading = 1;
    int a = 0, b = 0, closed = 0;
    ui_.SetLive(&a);
    ui_.SetLive(&b);
    model_.RegisterTickListener(&a);
    model_.RegisterTickListener(&closed);  // its window is gone: dropped from the list
    model_.RegisterTickListener(&b);

    // The windows refresh before the signal reaches the list.
    std::vector<std::size_t> listedAtSend;
    ui_.OnSend([&](WindowHandle, unsigned, std::intptr_t, std::intptr_t) {
        listedAtSend.push_back(Signals().size());
        return std::intptr_t{0};
    });
    feed_.LiveIntake(AsBar(MakeSignal(1, 100)));
    EXPECT_EQ(listedAtSend, (std::vector<std::size_t>(4, 0)));
    const std::vector<std::int32_t> reload = {cmd::LoadPending, cmd::LoadSummary,
                                              cmd::LoadPositions, cmd::LoadAccount};
    EXPECT_EQ(server.Connections(), (std::vector<std::vector<std::int32_t>>{reload}));
    const std::vector<unsigned> both = {WM_POSITIONS_CHANGED, WM_ORDERS_CHANGED};
    EXPECT_EQ(ui_.SendsTo(&a), both);
    EXPECT_EQ(ui_.SendsTo(&b), both);
    EXPECT_EQ(model_.TickListeners(), (std::vector<WindowHandle>{&a, &b}));

    // A withdrawal reloads too; a history signal does not.
    SignalRecord withdraw = MakeSignal(1, 100);
    withdraw.action = 4;
    feed_.LiveIntake(AsBar(withdraw));
    feed_.HistoryIntake(AsBar(MakeSignal(1, 300)));
    EXPECT_EQ(server.Connections().size(), 2u);
    EXPECT_EQ(ui_.Sends().size(), 8u);
    EXPECT_TRUE(Signals().size() == 1u && Signals()[0].price == 300);
}

TEST_F(SignalFeedTest, AReloadThatCannotConnectShowsTheMessageAndTheIntakeGoesOn) {
    UseClosedRequestPort();
    Session().programTrading = 1;
    int listener = 0;
    ui_.SetLive(&listener);
    model_.RegisterTickListener(&listener);
    EXPECT_TRUE(feed_.LiveIntake(AsBar(MakeSignal(1, 100))).announced);
    EXPECT_EQ(ui_.BoxTexts(), (std::vector<std::string>{kConnectFailedText}));
    EXPECT_TRUE(ui_.Sends().empty());
    EXPECT_EQ(Signals().size(), 1u);
    EXPECT_EQ(Marks().size(), 1u);
}

// --- The flags ---

std::string FlagBytes(std::size_t n) {
    std::string b;
    for (std::size_t i = 0; i < n; ++i) b += static_cast<char>(i % 3);
    return b;
}

// A request server that reads one header (and `payload` bytes) per connection, keeps them and
// answers with `answer`.
struct FlagServer {
    explicit FlagServer(std::string answer, std::size_t payload = 0)
        : server([this, answer, payload](Socket& peer, int) {
              RequestHeader h{};
              if (!ScriptServer::ReadHeader(peer, h)) return;
              std::string got(payload, '\0');
              if (payload) ReceiveExact(peer, got.data(), static_cast<int>(payload));
              {
                  std::lock_guard lock(mutex);
                  headers.push_back(h);
                  payloads.push_back(got);
              }
              if (!answer.empty()) peer.Send(answer.data(), answer.size());
          }) {
        server.UseAsRequestPort();
    }
    std::mutex mutex;
    std::vector<RequestHeader> headers;
    std::vector<std::string> payloads;
    ScriptServer server;  // last: its thread stops first
};

TEST_F(SignalFeedTest, FlagsLoadAsSentAndAShortAnswerAnnouncesEveryInstrument) {
    Session().sessionKey[0] = 77;
    {
        FlagServer server(FlagBytes(50));
        feed_.LoadFlags();
        const SignalFlags flags = feed_.Flags();
        EXPECT_EQ(std::string(flags.begin(), flags.end()), FlagBytes(50));
        ASSERT_EQ(server.headers.size(), 1u);
        EXPECT_EQ(server.headers[0].command, cmd::LoadSignalFlags);
        EXPECT_EQ(server.headers[0].key[0], 77);
        EXPECT_FALSE(feed_.Announced(1));  // byte 0 is 0
        EXPECT_TRUE(feed_.Announced(2));   // byte 1 is 1
        EXPECT_FALSE(feed_.Announced(3));  // byte 2 is 2
    }
    SignalFlags ones;
    ones.fill(1);
    for (std::size_t n : {0u, 1u, 49u}) {
        FlagServer server(FlagBytes(n));
        EXPECT_EQ(LoadSignalFlags(), ones) << n;
    }
    EXPECT_TRUE(ui_.Boxes().empty());
}

TEST_F(SignalFeedTest, FlagsStayClearedWhenTheServerCannotBeReached) {
    UseClosedRequestPort();
    feed_.LoadFlags();
    EXPECT_EQ(feed_.Flags(), SignalFlags{});
    EXPECT_TRUE(ui_.Boxes().empty());  // silent
}

TEST_F(SignalFeedTest, SavingSendsTheFiftyBytesAndSucceedsOnlyOnAPositiveByte) {
    SignalFlags wanted{};
    wanted[0] = 1;
    wanted[41] = 1;
    int owner = 0;
    {
        FlagServer server(std::string(1, '\x01'), 50);
        EXPECT_TRUE(feed_.SaveFlags(&owner, wanted));
        EXPECT_EQ(feed_.Flags(), wanted);
        ASSERT_EQ(server.headers.size(), 1u);
        EXPECT_EQ(server.headers[0].command, cmd::SaveSignalFlags);
        EXPECT_EQ(server.payloads[0], std::string(wanted.begin(), wanted.end()));
    }
    SignalFlags other = wanted;
    other[1] = 1;
    for (const std::string& answer :
         {std::string(1, '\0'), std::string(1, '\x80'), std::string()}) {
        FlagServer server(answer, 50);
        EXPECT_FALSE(feed_.SaveFlags(&owner, other)) << int(answer.empty() ? -1 : answer[0]);
        EXPECT_EQ(feed_.Flags(), wanted);  // unchanged
    }
    EXPECT_TRUE(ui_.Boxes().empty());  // a refused save shows nothing

    UseClosedRequestPort();
    EXPECT_FALSE(SaveSignalFlags(&owner, other));
    ASSERT_EQ(ui_.Boxes().size(), 1u);
    EXPECT_EQ(ui_.Boxes()[0].text, kConnectFailedText);
    EXPECT_EQ(ui_.Boxes()[0].owner, &owner);
}

}  // namespace
}  // namespace zq
