// The main view with its links against scripted push and data servers: creation and the
// split of the client area, RebuildLinks with cache and download, market records and instant
// messages from the push link, the log-out orders, the link check, and the view in the frame.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QMouseEvent>
#include <filesystem>

#include "app/client_core.h"
#include "app/settings_block.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "market/history_cache.h"
#include "market/instruments.h"
#include "net/wire/ansi_text.h"
#include "net/wire/session.h"
#include "reports/message_store.h"
#include "tests/links_support.h"
#include "tests/support/fake_ui.h"
#include "tests/support/test_directory.h"
#include "widgets/command_ids.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using namespace test;

bool WaitFor(const std::function<bool()>& done) {
    return WaitUntil(done, [] { QApplication::processEvents(QEventLoop::AllEvents, 5); });
}

class LinksViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-view");
        PointLinksAt(dir_, push_.Port(), data_.Port());
    }
    void TearDown() override { ClearLinksEnvironment(dir_); }

    // A view wired to record what reaches the trading model and the message list.
    std::unique_ptr<CChildView> MakeView() {
        auto view = std::make_unique<CChildView>(core_);
        view->Links().SetQuoteSink([this](const BarRecord& r) {
            std::lock_guard lock(mutex_);
            quotes_.push_back(r);
        });
        view->Links().SetMessageSink([this](const std::string& text, std::int32_t time) {
            std::lock_guard lock(mutex_);
            messages_.emplace_back(time, text);
        });
        view->SetCloseAndRestart([this] { restarts_++; });
        view->resize(800, 500);
        view->show();
        QApplication::processEvents();
        return view;
    }
    std::size_t Quotes() {
        std::lock_guard lock(mutex_);
        return quotes_.size();
    }
    bool PostedTo(CChildView& v, unsigned msg) {
        for (const auto& m : ui_.Posts())
            if (m.target == v.Handle() && m.msg == msg) return true;
        return false;
    }

    FakeUi ui_;
    std::filesystem::path dir_;
    PushServer push_;
    DataServer data_;
    std::mutex mutex_;
    std::vector<BarRecord> quotes_;
    std::vector<std::pair<std::int32_t, std::string>> messages_;
    std::atomic<int> restarts_{0};
    ClientCore core_;
};

TEST_F(LinksViewTest, CreationTakesTheLastInstrumentAndSplitsTheClientArea) {
    for (auto [stored, expected] : {std::pair{7, 7}, {100, 1}, {0, 1}}) {
        SettingsBlock b = DefaultSettings();
        b.lastInstrument = stored;
        ASSERT_TRUE(WriteSettings(b));
        auto view = MakeView();
        EXPECT_EQ(view->Links().CurrentInstrument(), expected) << stored;
        EXPECT_EQ(view->Links().Chart().Instrument(), expected) << stored;
        EXPECT_EQ(view->Links().CurrentPeriod(), 15);
    }
    auto view = MakeView();
    EXPECT_EQ(view->objectName(), QStringLiteral("CChildView"));
    EXPECT_EQ(view->LeftPanel()->objectName(), QStringLiteral("CLeftTips"));
    EXPECT_EQ(view->ChartWindow()->objectName(), QStringLiteral("CKMain"));
    EXPECT_TRUE(view->Links().LinkCheckRunning());
    EXPECT_EQ(view->Links().LinkCheckPeriod(), 30000);
    EXPECT_FALSE(view->Links().PushConnected()) << "links start with RebuildLinks only";

    for (QSize size : {QSize(800, 500), QSize(1234, 321)}) {
        view->resize(size);
        QApplication::processEvents();
        const QRect c = view->contentsRect();
        EXPECT_EQ(view->LeftPanel()->geometry(), QRect(c.x(), c.y(), 85, c.height()));
        EXPECT_EQ(view->ChartWindow()->geometry(),
                  QRect(c.x() + 85, c.y(), c.width() - 85, c.height()));
        EXPECT_EQ(view->Links().Chart().ClientWidth(), c.width() - 85);
        EXPECT_EQ(view->Links().Chart().ClientHeight(), c.height());
    }
}

TEST_F(LinksViewTest, RebuildLinksJoinsCacheAndDownloadAndFeedsTheChartFromThePush) {
    // Cache of instrument 3: bars 100..96. The download brings 103..100.
    ASSERT_TRUE(
        WriteHistoryFile(HistoryFilePath(HistoryDirectory(), 3, 15), HistoryBars(3, 100, 5)));
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(HistoryBars(3, 103, 4))}), "K"));

    auto view = MakeView();
    view->Links().SetCurrentInstrument(3);
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return !view->Links().HistoryBusy(); }));
    ASSERT_TRUE(view->Links().HistoryLoaded());
    ASSERT_EQ(data_.Requests().size(), 1u);
    EXPECT_EQ(data_.Requests()[0].command, 15003);
    EXPECT_EQ(data_.Requests()[0].keyA, Text(MakeBarKey(HistoryBar(3, 100))));
    EXPECT_EQ(view->Links().Chart().BarCount(), 8u);
    EXPECT_TRUE(PostedTo(*view, WM_CHART_INVALIDATE)) << "the chart window repaints";
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 1; }));
    EXPECT_TRUE(view->Links().PushConnected());

    // A loaded chart lays out again on resize.
    ASSERT_FALSE(view->Links().Chart().Geometry().empty());
    const int right = view->Links().Chart().Geometry().front().right;
    view->resize(400, 300);
    QApplication::processEvents();
    EXPECT_NE(view->Links().Chart().Geometry().front().right, right);

    // Another instrument's record: the model sees it, the chart does not. Then a finished bar
    // and a live bar of the chart's instrument, and one with a zero price.
    BarRecord zero = HistoryBar(3, 105);
    zero.high = 0;
    Bytes stream;
    for (const BarRecord& r : {HistoryBar(5, 104), HistoryBar(3, 104), LiveBar(3, 200010), zero})
        PutRecord(stream, r);
    push_.Send(stream);
    ASSERT_TRUE(WaitFor([&] { return Quotes() == 4; }));
    auto bars = view->Links().Chart().RawBars();
    ASSERT_EQ(bars.size(), 10u);
    EXPECT_TRUE(IsLiveBar(bars[0]));
    EXPECT_EQ(TimeText(bars[1]), HistoryBar(3, 104).time);
    EXPECT_EQ(quotes_[0].instrument, 5);

    // An instant message reaches the message list with its time.
    Bytes message;
    PutMessage(message, 1, 1700000100, ToAnsi("系统维护通知"));
    push_.Send(message);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(mutex_);
        return !messages_.empty();
    }));
    EXPECT_EQ(messages_[0], (std::pair<std::int32_t, std::string>{1700000100, "系统维护通知"}));
}

TEST_F(LinksViewTest, LogoutOrdersShowTheirMessageAndRestart) {
    for (auto [type, msg, text] :
         {std::tuple{push::ForcedOffline, WM_FORCED_OFFLINE, kForcedOfflineText},
          std::tuple{push::Closed, WM_PUSH_LINK_CLOSED, kPushLinkClosedText}}) {
        ui_.Clear();
        restarts_ = 0;
        auto view = MakeView();
        const int subscribed = push_.Subscribed();
        view->Links().RebuildLinks();
        ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == subscribed + 1; }));
        Bytes order;
        PutItem(order, type);
        push_.Send(order);
        ASSERT_TRUE(WaitFor([&] { return PostedTo(*view, msg); })) << msg;
        EXPECT_TRUE(ui_.BoxTexts().empty()) << "the message shows on the window's own thread";

        view->HandleMessage(msg, 0, 0);  // as the bridge delivers the post
        ASSERT_EQ(ui_.Boxes().size(), 1u);
        EXPECT_EQ(ui_.Boxes()[0].text, text);
        EXPECT_EQ(ui_.Boxes()[0].caption, AppTitle());
        EXPECT_EQ(ui_.Boxes()[0].buttons, MsgButtons::Ok);
        EXPECT_EQ(restarts_, 1);
        EXPECT_FALSE(view->Links().LinkCheckRunning());
        EXPECT_FALSE(view->Links().PushConnected());
    }
}

TEST_F(LinksViewTest, TheLinkCheckRebuildsOncePerSilentPeriod) {
    auto view = MakeView();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 1; }));
    ASSERT_EQ(view->Links().RebuildCount(), 1);

    view->Links().OnLinkCheck();  // the flag starts set: this period counts as alive
    EXPECT_EQ(view->Links().RebuildCount(), 1);
    view->Links().OnLinkCheck();  // silent since the last check
    EXPECT_EQ(view->Links().RebuildCount(), 2);
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 2; })) << "the push link reconnects";
    EXPECT_EQ(push_.ClosedByClient(), 1) << "the old push socket was closed";
    EXPECT_TRUE(view->Links().LinkCheckRunning());
    view->Links().OnLinkCheck();
    EXPECT_EQ(view->Links().RebuildCount(), 3);
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 3; }));

    // A keep-alive (seen through the record behind it) keeps the next period alive only.
    Bytes alive;
    PutItem(alive, push::KeepAlive);
    PutRecord(alive, HistoryBar(9, 1));
    push_.Send(alive);
    ASSERT_TRUE(WaitFor([&] { return Quotes() == 1; }));
    view->Links().OnLinkCheck();
    EXPECT_EQ(view->Links().RebuildCount(), 3);
    view->Links().OnLinkCheck();
    EXPECT_EQ(view->Links().RebuildCount(), 4);

    // The timer itself drives the check (period shortened); a silent server keeps being retried.
    view->Links().SetLinkCheckPeriod(20);
    const int now = view->Links().RebuildCount();
    EXPECT_TRUE(WaitFor([&] { return view->Links().RebuildCount() >= now + 2; }));
}

TEST_F(LinksViewTest, ClosingTheViewServesAWorkerThatWaitsForTheWindowThread) {
    // The quote update sends window messages synchronously. A view closing while the reader
    // waits inside such a send must serve it rather than wait for the reader forever.
    QtBridge bridge;
    SetUi(&bridge);
    auto view = MakeView();
    std::atomic<bool> inside{false};
    std::atomic<bool> sent{false};
    const WindowHandle h = view->Handle();
    view->Links().SetQuoteSink([&](const BarRecord&) {
        inside = true;
        Ui().Send(h, WM_QUOTE_TICK, 0, 0);
        sent = true;
    });
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 1; }));
    Bytes b;
    PutRecord(b, HistoryBar(9, 1));
    push_.Send(b);
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));  // no events served meanwhile
    view.reset();
    EXPECT_TRUE(sent);
    SetUi(&ui_);
}

// A right click in the chart window with the menu answered by `command`.
void ChooseFromChartMenu(CKMain& chart, int command) {
    chart.runMenu = [command](const std::vector<ChartMenuItem>&, const QPoint&) { return command; };
    const QPoint at(chart.width() / 2, chart.height() / 2);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), QPointF(chart.mapToGlobal(at)),
                      Qt::RightButton, Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(&chart, &press);
}

TEST_F(LinksViewTest, AChartMenuCommandReachesTheFrameOnce) {
    auto view = MakeView();
    std::vector<int> commands;
    view->SetChartCommand([&](int command) { commands.push_back(command); });
    ChooseFromChartMenu(*view->ChartWindow(), cmdid::TradeReport);
    EXPECT_EQ(commands, std::vector<int>{cmdid::TradeReport});
    ChooseFromChartMenu(*view->ChartWindow(), 0);  // dismissed
    EXPECT_EQ(commands.size(), 1u);
    view.reset();

    // In the frame a period chosen from the chart's menu reloads the chart once.
    ScriptServer requests([](Socket&, int) {});
    requests.UseAsRequestPort();
    FrameServices services;
    services.restartProgram = [this] { restarts_++; };
    auto frame = std::make_unique<CMainFrame>(core_, services);
    frame->StartupLoad();
    frame->show();
    QApplication::processEvents();
    CChildView& inFrame = *frame->View();
    const int before = inFrame.Links().RebuildCount();
    ChooseFromChartMenu(*inFrame.ChartWindow(), FindPeriod(30)->command);
    EXPECT_EQ(inFrame.Links().CurrentPeriod(), 30);
    EXPECT_EQ(inFrame.Links().RebuildCount(), before + 1);
    frame.reset();
}

TEST_F(LinksViewTest, TheViewInTheFrame) {
    ScriptServer requests([](Socket&, int) {});  // the frame's start-up load finds no lists
    requests.UseAsRequestPort();
    FrameServices services;
    services.restartProgram = [this] { restarts_++; };
    auto frame = std::make_unique<CMainFrame>(core_, services);
    frame->StartupLoad();
    CChildView* view = frame->View();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(frame->centralWidget(), view);
    EXPECT_EQ(view->Links().CurrentInstrument(), frame->CurrentInstrument());
    frame->show();
    view->Links().RebuildLinks();
    ASSERT_TRUE(WaitFor([&] { return push_.Subscribed() == 1; }));

    // Instant messages go to the frame's message list with the message sound; the frame's
    // new-message notice reaches it as it would through the window bridge.
    QtBridge qt;
    ui_.OnPost([&qt](WindowHandle target, unsigned msg, std::intptr_t w, std::intptr_t l) {
        if (msg == WM_NEW_MESSAGE) qt.Post(target, msg, w, l);
    });
    Bytes message;
    PutMessage(message, 1, 1700000200, ToAnsi("您好"));
    ui_.Clear();
    push_.Send(message);
    ASSERT_TRUE(WaitFor([&] { return frame->Core().Messages().Size() == 1; }));
    EXPECT_EQ(frame->Core().Messages().Copy()[0].content, "您好");
    EXPECT_EQ(frame->Core().Messages().Copy()[0].time, ChinaTimeStamp(1700000200));
    ASSERT_TRUE(WaitFor([&] { return !ui_.Sounds().empty(); }));
    EXPECT_EQ(ui_.Sounds()[0].id, sound::Message);

    // Re-login closes the push link and restarts without a question.
    frame->OnCommand(cmdid::Relogin);
    EXPECT_EQ(restarts_, 1);
    EXPECT_FALSE(view->Links().PushConnected());
    EXPECT_TRUE(WaitFor([&] { return push_.ClosedByClient() == 1; }));

    // A log-out order closes the frame without a question and restarts.
    frame->show();
    ui_.Clear();
    view->HandleMessage(WM_FORCED_OFFLINE, 0, 0);
    EXPECT_EQ(ui_.BoxTexts(), std::vector<std::string>{kForcedOfflineText});
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(restarts_, 2);
    frame.reset();  // stops the links before the message list goes
    ui_.OnPost({});
}

}  // namespace
}  // namespace zq
