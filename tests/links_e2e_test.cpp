// The main view's two links against the real stand-in server: the first start that downloads
// and caches the newest bars, the next start that fetches only what is newer than the cache and
// joins the two, the rebuild with the old session after the server crashed or stopped and came
// back, and the link check when the keep-alives stop and resume.
//
// Every test moves the server's bar clock to the next quarter hour first: bars then close only
// when a test says so, since the clock itself closes the next one a quarter of an hour later.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/client_core.h"
#include "app/ui/child_view.h"
#include "base/config.h"
#include "market/history_cache.h"
#include "market/wire/bar_record.h"
#include "net/wire/session.h"
#include "tests/support/app_driver.h"
#include "tests/support/fake_ui.h"
#include "tests/support/server_process.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

namespace fs = std::filesystem;
using test::FakeUi;
using test::ServerProcess;

constexpr const char* kCode = "AB12";
constexpr int kInstrument = 1;
constexpr int kPeriod = 15;
constexpr int kHistoryCommand = kPeriod * 1000 + kInstrument;
// The live bar and a page of finished bars: what a request without a cache brings.
constexpr std::size_t kFirstAnswer = 1 + 600;
// Only bounds how long a broken client or server can hold the run up.
constexpr int kWaitLimitMs = 20000;

// Serves the window thread until `done` holds; false when the limit passed first.
bool WaitFor(const std::function<bool()>& done) {
    return test::ServeUntil(done, kWaitLimitMs);
}

// Serves the window thread for `ms` milliseconds.
void Pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string Key(const BarRecord& r) {
    return std::string(KeyText(MakeBarKey(r)));
}

bool SameRecord(const BarRecord& a, const BarRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The key of the quarter hour before a bar clock time "YYYYMMDDHHMM" (the bar that ended
// there). Both are Beijing times; the arithmetic needs no time zone.
std::string QuarterBefore(const std::string& clock) {
    std::tm t{};
    if (clock.size() != 12 || !::strptime(clock.c_str(), "%Y%m%d%H%M", &t)) return "bad " + clock;
    const std::time_t earlier = ::timegm(&t) - 15 * 60;
    std::tm out{};
    ::gmtime_r(&earlier, &out);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M", &out);
    return text;
}

// One history transfer as the server's log tells it.
struct LoggedTransfer {
    int command = 0;
    std::string keyA, keyB;
    std::size_t bars = 0;
};

std::vector<LoggedTransfer> LoggedTransfers(const std::string& log) {
    static const std::regex line(R"re((\d+) history A "([^"]*)" B "([^"]*)" -> (\d+) bars)re");
    std::vector<LoggedTransfer> out;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it)
        out.push_back({std::stoi((*it)[1]), (*it)[2], (*it)[3], std::stoul((*it)[4])});
    return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The chart as a series should stand: the live bar first, then finished bars of the chart's
// instrument, each key older than the one before it (so no bar twice).
void ExpectSeries(const std::vector<BarRecord>& bars) {
    ASSERT_FALSE(bars.empty());
    EXPECT_TRUE(IsLiveBar(bars[0])) << TimeText(bars[0]);
    for (std::size_t i = 1; i < bars.size(); ++i) {
        ASSERT_EQ(Classify(bars[i]), BarKind::Finished) << i;
        ASSERT_EQ(bars[i].instrument, kInstrument) << i;
        if (i > 1) {
            ASSERT_LT(Key(bars[i]), Key(bars[i - 1])) << "bar " << i;
        }
    }
}

class LinksEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { ResetSession(); }
    void TearDown() override { env_.reset(); }

    // Starts the server with a control port and a still market, points the client at it, logs
    // the demo member in and moves the bar clock to the next quarter hour.
    void Start(std::vector<std::string> args = {}) {
        args.insert(args.end(),
                    {"--fixed-code", kCode, "--control-port", "0", "--market-step-ms", "0"});
        server_ = std::make_unique<ServerProcess>(args);
        ASSERT_TRUE(server_->Running()) << server_->Error();
        ASSERT_NE(server_->controlPort(), 0);
        clientDir_ = server_->directory() + "/client";
        fs::create_directories(clientDir_);
        PointClient();
        ASSERT_TRUE(LogIn());
        clock_ = CloseBar();
        ASSERT_EQ(clock_.size(), 12u);
    }
    // The client's configuration from the server's ports (again after a restart).
    void PointClient() {
        if (env_)
            env_->Repoint(*server_);
        else
            env_ = std::make_unique<test::ClientEnvironment>(*server_);
    }
    // The demo member's session, as the login dialog leaves it.
    bool LogIn() {
        std::optional<test::LoggedIn> s =
            test::LoginAs(server_->requestPort(), "demo", "demo", kCode);
        if (!s) return false;
        for (std::size_t i = 0; i < s->key.size(); ++i) Session().sessionKey[i] = s->key[i];
        Session().accountClass = s->accountClass;
        Session().memberName = "demo";
        return true;
    }
    std::string Control(const std::string& line) {
        return test::ControlCommand(server_->controlPort(), line);
    }
    // Closes the live 15-minute bars; the bar clock's new time, "" on a bad answer.
    std::string CloseBar() {
        const std::string answer = Control("close");
        const std::string head = "ok bar clock ";
        return answer.rfind(head, 0) == 0 ? answer.substr(head.size()) : std::string();
    }
    // The server's open push links; -1 on a bad answer.
    int Links() {
        const std::string answer = Control("links");
        return answer.rfind("ok ", 0) == 0 ? std::atoi(answer.c_str() + 3) : -1;
    }
    std::vector<LoggedTransfer> Transfers() { return LoggedTransfers(server_->Log()); }
    // The client's session key as the server's log shows it (its first word in hex).
    static std::string SessionTag() {
        char tag[12];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<std::uint32_t>(Session().sessionKey[0]));
        return tag;
    }
    std::string CachePath() const { return clientDir_ + "/history/kd1_15"; }

    std::unique_ptr<CChildView> MakeView() {
        auto view = std::make_unique<CChildView>(core_);
        view->resize(800, 500);
        view->show();
        QApplication::processEvents();
        EXPECT_EQ(view->Links().CurrentInstrument(), kInstrument);
        EXPECT_EQ(view->Links().CurrentPeriod(), kPeriod);
        return view;
    }
    static bool Loaded(const CChildView& view) {
        return view.Links().HistoryLoaded() && !view.Links().HistoryBusy();
    }
    bool PostedTo(CChildView& view, unsigned msg) const {
        for (const FakeUi::Message& m : ui_.Posts())
            if (m.target == view.Handle() && m.msg == msg) return true;
        return false;
    }

    FakeUi ui_;
    std::unique_ptr<ServerProcess> server_;
    std::string clientDir_;
    std::unique_ptr<test::ClientEnvironment> env_;
    std::string clock_;  // the bar clock after Start
    ClientCore core_;
};

TEST_F(LinksEndToEnd, FirstStartCachesTheNewestPageAndTheNextFetchesOnlyNewerBars) {
    Start();
    ASSERT_FALSE(fs::exists(CachePath()));

    // First start: no cache, so key A is "0" and the server sends its newest page.
    std::vector<BarRecord> first;
    {
        auto view = MakeView();
        view->Links().RebuildLinks();
        ASSERT_TRUE(WaitFor([&] { return Loaded(*view); }));
        EXPECT_EQ(KeyText(view->Links().History().KeyA()), "0");
        first = view->Links().Chart().RawBars();
        ASSERT_EQ(first.size(), kFirstAnswer);
        EXPECT_EQ(view->Links().Chart().BarCount(), kFirstAnswer);
        ExpectSeries(first);
        EXPECT_EQ(Key(first[1]), QuarterBefore(clock_)) << "the newest bar is the one just closed";
        EXPECT_EQ(view->Links().Chart().HistorySize(), 0u);

        ASSERT_TRUE(WaitFor([&] { return Transfers().size() == 1; })) << server_->Log();
        const LoggedTransfer t = Transfers()[0];
        EXPECT_EQ(t.command, kHistoryCommand);
        EXPECT_EQ(t.keyA, "0");
        EXPECT_EQ(t.bars, kFirstAnswer);

        ASSERT_TRUE(WaitFor([&] { return Links() == 1; }));
        EXPECT_TRUE(view->Links().PushConnected());
    }

    // The cache holds the finished bars exactly as the chart had them, the live bar left out.
    ASSERT_TRUE(fs::exists(CachePath()));
    EXPECT_EQ(fs::path(CachePath()).filename(), HistoryFileName(kInstrument, kPeriod));
    EXPECT_EQ(fs::file_size(CachePath()), 4 + (kFirstAnswer - 1) * sizeof(BarRecord));
    const std::deque<BarRecord> cached = ReadHistoryFile(CachePath(), kInstrument);
    ASSERT_EQ(cached.size(), kFirstAnswer - 1);
    for (std::size_t i = 0; i < cached.size(); ++i)
        ASSERT_TRUE(SameRecord(cached[i], first[i + 1])) << "cached bar " << i;

    // The market moves on while the client is closed: two quarter hours end at new prices.
    const BarRecord& newest = first[1];
    const std::int32_t price1 = newest.close + 37, price2 = newest.close - 23;
    ASSERT_EQ(Control("price 1 " + PriceText(price1, newest.decimals)).rfind("ok 1 ", 0), 0u);
    const std::string clock1 = CloseBar();
    ASSERT_EQ(Control("price 1 " + PriceText(price2, newest.decimals)).rfind("ok 1 ", 0), 0u);
    const std::string clock2 = CloseBar();
    ASSERT_EQ(QuarterBefore(clock1), clock_);
    ASSERT_EQ(QuarterBefore(clock2), clock1);

    // Second start: key A is the newest cached bar, and only that bar and the newer ones come.
    auto view = MakeView();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return Loaded(*view); }));
    EXPECT_EQ(KeyText(view->Links().History().KeyA()), Key(newest));
    ASSERT_TRUE(WaitFor([&] { return Transfers().size() == 2; })) << server_->Log();
    const LoggedTransfer t = Transfers()[1];
    EXPECT_EQ(t.command, kHistoryCommand);
    EXPECT_EQ(t.keyA, Key(newest));
    constexpr std::size_t kNewer = 1 + 1 + 2;  // live bar, the newest cached, two new
    EXPECT_EQ(t.bars, kNewer);

    // The chart: the new bars, then the cache behind them, the shared bar once.
    const std::vector<BarRecord> bars = view->Links().Chart().RawBars();
    ASSERT_EQ(bars.size(), cached.size() + kNewer - 1);
    ExpectSeries(bars);
    EXPECT_EQ(Key(bars[1]), QuarterBefore(clock2));
    EXPECT_EQ(bars[1].close, price2);
    EXPECT_EQ(Key(bars[2]), QuarterBefore(clock1));
    EXPECT_EQ(bars[2].close, price1);
    EXPECT_EQ(bars[2].reference, newest.close) << "the new bar follows the cached one";
    for (std::size_t i = 0; i < cached.size(); ++i)
        ASSERT_TRUE(SameRecord(bars[3 + i], cached[i])) << "cached bar " << i;
    EXPECT_EQ(view->Links().Chart().HistorySize(), 0u) << "the history list was taken in";

    // The cache file now holds the joined series.
    const std::deque<BarRecord> rewritten = ReadHistoryFile(CachePath(), kInstrument);
    ASSERT_EQ(rewritten.size(), bars.size() - 1);
    for (std::size_t i = 0; i < rewritten.size(); ++i)
        ASSERT_TRUE(SameRecord(rewritten[i], bars[i + 1])) << "rewritten bar " << i;
}

TEST_F(LinksEndToEnd, AfterACrashTheLinkCheckReconnectsWithTheOldSession) {
    Start({"--keepalive-ms", "50"});
    auto view = MakeView();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return Loaded(*view) && Links() == 1; }));
    view->Links().SetLinkCheckPeriod(400);
    const std::string keyTag = SessionTag();

    // A crash says nothing on the push link: the view only misses its keep-alives, and its
    // link check rebuilds while the server is away.
    ASSERT_TRUE(server_->Kill());
    const int before = view->Links().RebuildCount();
    ASSERT_TRUE(WaitFor([&] { return view->Links().RebuildCount() >= before + 2; }))
        << "every silent check rebuilds while the server is away";
    EXPECT_FALSE(view->Links().HistoryLoaded()) << "a reload without a server loads nothing";
    EXPECT_TRUE(view->Links().LinkCheckRunning());

    // The server comes back on the same database and ports; the client keeps its session key.
    const std::size_t logBefore = server_->Log().size();
    ASSERT_TRUE(server_->Restart()) << server_->Error();
    PointClient();  // the same ports, unless one was taken meanwhile
    auto logSince = [&] { return server_->Log().substr(logBefore); };

    // The next silent check rebuilds both links, and the push link subscribes with the session
    // the member opened before the crash: no new login.
    const int restarted = view->Links().RebuildCount();
    ASSERT_TRUE(WaitFor([&] {
        return Links() == 1 && Loaded(*view) && view->Links().RebuildCount() > restarted;
    })) << logSince();
    EXPECT_TRUE(view->Links().PushConnected());
    EXPECT_EQ(logSince().find("6 login"), std::string::npos) << logSince();
    EXPECT_EQ(logSince().find("no session"), std::string::npos) << logSince();

    // Keep-alives arrive again: check after check, by hand, leaves the links alone.
    view->Links().SetLinkCheckPeriod(kLinkCheckMs);
    const int linked = view->Links().RebuildCount();
    for (int i = 0; i < 3; ++i) {
        Pump(400);
        view->Links().OnLinkCheck();
    }
    EXPECT_EQ(view->Links().RebuildCount(), linked) << "keep-alives hold the links";
    EXPECT_EQ(Links(), 1);

    // The chart is the cache behind a new live bar: the bar that formed at the crash is gone.
    const std::vector<BarRecord> bars = view->Links().Chart().RawBars();
    ExpectSeries(bars);
    EXPECT_EQ(Key(bars[1]), QuarterBefore(clock_));
    const std::vector<LoggedTransfer> transfers = LoggedTransfers(logSince());
    ASSERT_FALSE(transfers.empty());
    EXPECT_EQ(transfers.back().keyA, Key(bars[1]));
    EXPECT_EQ(transfers.back().bars, 2u);

    // A new price reaches the chart's live bar over the restored link.
    const std::int32_t price = bars[0].close + 41;
    ASSERT_EQ(Control("price 1 " + PriceText(price, bars[1].decimals)).rfind("ok 1 ", 0), 0u);
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<BarRecord> now = view->Links().Chart().RawBars();
        return !now.empty() && IsLiveBar(now[0]) && now[0].close == price;
    }));

    // No log-out order came at any time.
    EXPECT_FALSE(PostedTo(*view, WM_PUSH_LINK_CLOSED));
    EXPECT_FALSE(PostedTo(*view, WM_FORCED_OFFLINE));

    // The server logs a push link when it ends: the one link was the old session's.
    view->Links().ShutdownLinks();
    EXPECT_TRUE(WaitFor([&] { return Links() == 0; }));
    EXPECT_EQ(Count(logSince(), "0 subscribe \"demo\" session " + keyTag), 1u) << logSince();
}

TEST_F(LinksEndToEnd, ACleanStopOrdersALoginAndKeepsTheSessionUntilTheMemberLogsIn) {
    Start({"--keepalive-ms", "100"});
    auto view = MakeView();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return Loaded(*view) && Links() == 1; }));
    view->Links().SetLinkCheckPeriod(300);
    const std::string keyTag = SessionTag();

    // A stopping server sends -1 on the push link: the view is told to log in again. The test's
    // bridge keeps that order undelivered, so the view goes on as a client that missed it, and
    // its link check takes over.
    ASSERT_TRUE(server_->Stop());
    ASSERT_TRUE(WaitFor([&] { return PostedTo(*view, WM_PUSH_LINK_CLOSED); }));
    const int before = view->Links().RebuildCount();
    ASSERT_TRUE(WaitFor([&] { return view->Links().RebuildCount() >= before + 2; }));

    const std::size_t logBefore = server_->Log().size();
    ASSERT_TRUE(server_->Restart()) << server_->Error();
    PointClient();
    auto logSince = [&] { return server_->Log().substr(logBefore); };

    // The stop ended no session: the old key subscribes again and the chart loads.
    ASSERT_TRUE(WaitFor([&] { return Links() == 1 && Loaded(*view); })) << logSince();
    EXPECT_TRUE(view->Links().PushConnected());
    EXPECT_EQ(logSince().find("no session"), std::string::npos) << logSince();
    EXPECT_FALSE(PostedTo(*view, WM_FORCED_OFFLINE));

    // The member logs in again, as the -1 asked: the new session replaces the kept one, whose
    // link hears that it is offline and ends.
    view->Links().SetLinkCheckPeriod(kLinkCheckMs);
    ASSERT_TRUE(LogIn());
    EXPECT_TRUE(WaitFor([&] { return PostedTo(*view, WM_FORCED_OFFLINE); }));
    EXPECT_TRUE(WaitFor([&] {
        return Count(logSince(), "0 subscribe \"demo\" session " + keyTag) == 1;
    })) << logSince();
    EXPECT_EQ(Links(), 0);
}

TEST_F(LinksEndToEnd, StoppedKeepAlivesRebuildOncePerSilentCheckUntilTheyResume) {
    Start({"--keepalive-ms", "30"});
    auto view = MakeView();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return Loaded(*view) && Links() == 1; }));

    // The checks come by hand, a check period (ten keep-alive intervals) apart; the view's own
    // 30-second timer does not fire meanwhile.
    auto check = [&] {
        Pump(300);
        view->Links().OnLinkCheck();
        return view->Links().RebuildCount();
    };
    const int start = view->Links().RebuildCount();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(check(), start) << "keep-alives hold the links";

    Pump(300);  // keep-alives arrive before the stop
    ASSERT_EQ(Control("keepalive stop"), "ok keep-alives stopped");
    EXPECT_EQ(check(), start) << "the period before the stop had its keep-alives";
    auto closedLinks = [&] { return Count(server_->Log(), "| closed by peer after"); };
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(check(), start + i) << "each silent check rebuilds once, also after a rebuild";
        // The rebuild closed the old push link and subscribed a new one; the history reloaded.
        ASSERT_TRUE(WaitFor([&] {
            return closedLinks() == static_cast<std::size_t>(i) && Links() == 1 && Loaded(*view);
        })) << server_->Log();
    }

    ASSERT_EQ(Control("keepalive resume"), "ok keep-alives resumed");
    const int resumed = view->Links().RebuildCount();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(check(), resumed) << "keep-alives again";
    EXPECT_EQ(Links(), 1);
    EXPECT_EQ(view->Links().Chart().BarCount(), kFirstAnswer) << "every reload left the same chart";
}

}  // namespace
}  // namespace zq
