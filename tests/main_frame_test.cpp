// The main frame: the start-up load, the removal of instruments the server does not list, the
// current instrument, exit with its question and log-out, re-login, the web commands, and the
// instrument, period and chart commands with their check marks.
#include "app/ui/main_frame.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QToolBar>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "app/client_core.h"
#include "app/settings_block.h"
#include "app/ui/child_view.h"
#include "base/config.h"
#include "chart/indicator_choice.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "market/history_cache.h"
#include "net/wire/ansi_text.h"
#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "widgets/command_ids.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

struct FrameServer {
    std::mutex mutex;
    std::vector<std::int32_t> commands;
    std::vector<std::pair<std::int32_t, std::string>> messages;  // time, GBK text
    int priceAlerts = 0;
    std::vector<ToolLineRecord> deletes;  // the records of the delete requests
};

void Send32(Socket& s, std::int32_t v) {
    s.Send(&v, 4);
}

void ServeFrame(FrameServer& fs, Socket& peer) {
    RequestHeader h;
    while (ScriptServer::ReadHeader(peer, h)) {
        {
            std::lock_guard<std::mutex> lock(fs.mutex);
            fs.commands.push_back(h.command);
        }
        switch (h.command) {
            case cmd::LoadPriceAlerts: {
                Send32(peer, fs.priceAlerts);
                for (int i = 0; i < fs.priceAlerts; ++i) {
                    PriceAlertRecord r{};
                    r.id = i + 1;
                    r.instrument = 1;
                    r.condition = 1;
                    r.target = 1650.5 + i;
                    peer.Send(&r, sizeof r);
                }
                break;
            }
            case cmd::LoadTradingHours:
            case cmd::LoadInstruments:  // no list: the tests name the listed instruments
            case cmd::LoadProfitAlerts:
            case cmd::LoadTools:
                Send32(peer, 0);
                break;
            case cmd::LoadSignalFlags: {
                const char flags[50] = {};
                peer.Send(flags, sizeof flags);
                break;
            }
            case cmd::DeleteTools: {
                ToolLineRecord r{};
                if (ReceiveExact(peer, &r, sizeof r) != static_cast<int>(sizeof r)) return;
                {
                    std::lock_guard<std::mutex> lock(fs.mutex);
                    fs.deletes.push_back(r);
                }
                const char removed = 1;
                peer.Send(&removed, 1);
                break;
            }
            case cmd::LoadPending:
                return;  // the account reload ends here, as with a server gone
            case cmd::LoadMessages:
                for (auto& [time, text] : fs.messages) {
                    Send32(peer, 1);
                    Send32(peer, time);
                    Send32(peer, static_cast<std::int32_t>(text.size()));
                    peer.Send(text.data(), text.size());
                }
                Send32(peer, 0);
                break;
            default:
                break;  // log-out has no answer
        }
    }
}

class MainFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = "/tmp/zq-frame-test-" + std::to_string(::getpid());
        ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
        ::setenv("ZQ_WEB_BASE", "http://web.test", 1);
        // No history or push server: the links fail at once and the link check retries.
        ::setenv("ZQ_DATA_PORT", "1", 1);
        ::setenv("ZQ_PUSH_PORT", "1", 1);
        ResetSession();
        server_ = std::make_unique<ScriptServer>([this](Socket& p, int) { ServeFrame(fs_, p); });
        server_->UseAsRequestPort();
        // New-message notifications reach the frame as they would through the window bridge.
        ui_.OnPost([this](WindowHandle target, unsigned msg, std::intptr_t w, std::intptr_t l) {
            if (msg == WM_NEW_MESSAGE) qt_.Post(target, msg, w, l);
        });
    }
    void TearDown() override {
        server_.reset();
        std::string rm = "rm -rf " + dir_;
        (void)std::system(rm.c_str());
        ::unsetenv("ZQ_DATA_DIR");
        ::unsetenv("ZQ_WEB_BASE");
        ::unsetenv("ZQ_REQUEST_PORT");
        ::unsetenv("ZQ_DATA_PORT");
        ::unsetenv("ZQ_PUSH_PORT");
        ReloadConfig();
        ResetSession();
    }
    FrameServices Services(std::vector<int> listed) {
        FrameServices s;
        s.listedInstruments = [listed] { return listed; };
        s.restartProgram = [this] { restarts_++; };
        return s;
    }
    // The current instrument of a frame after its start-up load.
    int StartedFrameInstrument(std::vector<int> listed) {
        CMainFrame f(core_, Services(std::move(listed)));
        f.StartupLoad();
        return f.CurrentInstrument();
    }
    std::vector<std::int32_t> Commands() {
        // The server thread may still be reading the last request.
        QElapsedTimer t;
        t.start();
        std::size_t n = 0;
        do {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            std::lock_guard<std::mutex> lock(fs_.mutex);
            if (fs_.commands.size() == n && t.elapsed() > 150) break;
            n = fs_.commands.size();
        } while (t.elapsed() < 3000);
        std::lock_guard<std::mutex> lock(fs_.mutex);
        return fs_.commands;
    }
    static std::vector<QString> MenuTitles(CMainFrame& f) {
        std::vector<QString> titles;
        for (QAction* a : f.menuBar()->actions()) titles.push_back(a->text());
        return titles;
    }
    static int InstrumentButtons(CMainFrame& f) {
        int n = 0;
        for (QAction* a : f.InstrumentBar()->actions())
            if (!a->isSeparator()) ++n;
        return n;
    }

    std::string dir_;
    FrameServer fs_;
    FakeUi ui_;
    QtBridge qt_;
    std::unique_ptr<ScriptServer> server_;
    int restarts_ = 0;
    ClientCore core_;
};

std::vector<int> AllInstruments() {
    std::vector<int> ids;
    for (int i = 1; i <= 42; ++i) ids.push_back(i);
    return ids;
}

TEST_F(MainFrameTest, StartupLoadFillsAlertsAndMessages) {
    fs_.priceAlerts = 2;
    fs_.messages = {
        {1700000000, ToAnsi("A")}, {1700000060, ToAnsi("B")}, {1700000120, ToAnsi("消息C")}};
    CMainFrame f(core_, Services(AllInstruments()));
    // Making the frame asks the server nothing: the window thread never waits for it.
    EXPECT_TRUE(Commands().empty());
    f.StartupLoad();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("ZelvanQuorvex——提高操盘成功率 让投资更有道理"));
    // The start-up load asks for the links' signal flags on a connection of their own, then
    // runs its five requests on one connection.
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{42, 54, 1, 8, 56, 44}));
    EXPECT_EQ(f.Core().PriceAlerts().Copy().size(), 2u);
    EXPECT_DOUBLE_EQ(f.Core().PriceAlerts().Copy()[1].target, 1651.5);
    auto messages = f.Core().Messages().Copy();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].content, "消息C");  // each server message goes to the front
    EXPECT_EQ(messages[2].content, "A");
    EXPECT_EQ(messages[2].time, ChinaTimeStamp(1700000000));
    // A non-empty load blinks the message button and plays the message sound looped.
    QApplication::processEvents();
    EXPECT_TRUE(f.MessageBlinking());
    ASSERT_FALSE(ui_.Sounds().empty());
    EXPECT_EQ(ui_.Sounds().back().id, sound::Message);
    EXPECT_TRUE(ui_.Sounds().back().looped);
    EXPECT_EQ(f.ClockPane()->text(), QStringLiteral("00:00:00"));
}

TEST_F(MainFrameTest, EmptyMessageAnswerGivesNoBlinkNoSound) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    QApplication::processEvents();
    EXPECT_EQ(f.Core().Messages().Size(), 0u);
    EXPECT_FALSE(f.MessageBlinking());
    EXPECT_TRUE(ui_.Sounds().empty());
}

TEST_F(MainFrameTest, UnreachableServerStillOpensTheFrame) {
    server_.reset();
    CMainFrame f(core_, Services({}));
    f.StartupLoad();
    ASSERT_EQ(ui_.BoxTexts().size(), 1u);
    EXPECT_EQ(ui_.BoxTexts()[0], "无法连接服务器，操作已取消");
    EXPECT_EQ(f.CurrentInstrument(), 1);
}

TEST_F(MainFrameTest, InstrumentsTheListLacksAreRemoved) {
    {
        CMainFrame f(core_, Services(AllInstruments()));
        f.StartupLoad();
        EXPECT_EQ(InstrumentButtons(f), 33);
        EXPECT_EQ(MenuTitles(f),
                  (std::vector<QString>{"系统(&S)", "商品", "外汇", "工具", "帮助(&H)"}));
    }
    {
        // Only commodities: "外汇" goes, "商品" stays with just the listed entries.
        CMainFrame f(core_, Services({29, 1, 5}));
        f.StartupLoad();
        EXPECT_EQ(InstrumentButtons(f), 3);
        EXPECT_EQ(MenuTitles(f), (std::vector<QString>{"系统(&S)", "商品", "工具", "帮助(&H)"}));
        QMenu* commodities = f.menuBar()->actions()[1]->menu();
        ASSERT_EQ(commodities->actions().size(), 3);  // in menu order
        EXPECT_EQ(commodities->actions()[0]->text(), QStringLiteral("沪金"));
        EXPECT_EQ(commodities->actions()[1]->text(), QStringLiteral("伦敦金(T+0)"));
        EXPECT_EQ(commodities->actions()[2]->text(), QStringLiteral("上海金(T+0)"));
    }
    {
        CMainFrame f(core_, Services({14}));
        f.StartupLoad();
        EXPECT_EQ(MenuTitles(f), (std::vector<QString>{"系统(&S)", "外汇", "工具", "帮助(&H)"}));
        EXPECT_EQ(f.CurrentInstrument(), 14);
    }
    {
        CMainFrame f(core_, Services({}));
        f.StartupLoad();
        EXPECT_EQ(InstrumentButtons(f), 0);
        EXPECT_EQ(MenuTitles(f), (std::vector<QString>{"系统(&S)", "工具", "帮助(&H)"}));
    }
}

TEST_F(MainFrameTest, CurrentInstrumentFollowsTheSettingsWithFallback) {
    SettingsBlock b = DefaultSettings();
    b.lastInstrument = 50;  // accepted from the file, but the server does not list it
    ASSERT_TRUE(WriteSettings(b));
    EXPECT_EQ(StartedFrameInstrument({7, 3, 1}), 7);
    b.lastInstrument = 3;
    ASSERT_TRUE(WriteSettings(b));
    EXPECT_EQ(StartedFrameInstrument({7, 3, 1}), 3);
    b.lastInstrument = 100;  // out of range: instrument 1
    ASSERT_TRUE(WriteSettings(b));
    EXPECT_EQ(StartedFrameInstrument({7, 3, 1}), 1);
    CMainFrame f(core_, Services({7, 3, 1}));
    f.StartupLoad();
    f.UpdateCommandStates();
    EXPECT_TRUE(f.Action(cmdid::Instrument(1))->isChecked());
    EXPECT_FALSE(f.Action(cmdid::Instrument(3))->isChecked());
}

TEST_F(MainFrameTest, ExitAsksAndLogsOut) {
    for (bool fromMenu : {true, false}) {
        auto f = std::make_unique<CMainFrame>(core_, Services(AllInstruments()));
        f->StartupLoad();
        f->show();
        std::size_t before = Commands().size();
        ui_.Clear();
        ui_.SetBoxAnswer(IdCancel);
        if (fromMenu)
            f->OnCommand(cmdid::Exit);
        else
            f->close();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u);
        EXPECT_EQ(ui_.BoxTexts()[0], "确认退出ZelvanQuorvex？");
        EXPECT_EQ(ui_.Boxes()[0].caption, "确认退出");
        EXPECT_EQ(ui_.Boxes().back().buttons, MsgButtons::OkCancel);
        EXPECT_TRUE(f->isVisible()) << "Cancel keeps the program";
        EXPECT_EQ(Commands().size(), before);

        ui_.SetBoxAnswer(IdOk);
        if (fromMenu)
            f->OnCommand(cmdid::Exit);
        else
            f->close();
        EXPECT_FALSE(f->isVisible());
        EXPECT_EQ(ui_.BoxTexts().size(), 2u) << "one question per exit";
        auto commands = Commands();
        ASSERT_EQ(commands.size(), before + 1);
        EXPECT_EQ(commands.back(), cmd::Logout);
    }
}

TEST_F(MainFrameTest, ExitGoesOnWhenTheLogoutCannotConnect) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    f.show();
    server_.reset();
    ui_.Clear();
    f.OnCommand(cmdid::Exit);
    ASSERT_EQ(ui_.BoxTexts().size(), 2u);
    EXPECT_EQ(ui_.BoxTexts()[1], "无法连接服务器，操作已取消");
    EXPECT_FALSE(f.isVisible());
}

TEST_F(MainFrameTest, ReloginRestartsWithoutQuestionOrLogout) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    f.show();
    std::size_t before = Commands().size();
    ui_.Clear();
    f.OnCommand(cmdid::Relogin);
    EXPECT_EQ(restarts_, 1);
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(ui_.BoxTexts().empty());
    EXPECT_EQ(Commands().size(), before);
}

TEST_F(MainFrameTest, WebCommandsOpenTheVendorPages) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    for (int id :
         {cmdid::Deposit, cmdid::TradeStats, cmdid::HomePage, cmdid::BlogPage, cmdid::SignalHelp})
        f.OnCommand(id);
    ASSERT_EQ(ui_.Urls().size(), 5u);
    EXPECT_EQ(ui_.Urls()[0], "http://web.test/uc/BuyCart.jsp?val1=3");
    EXPECT_EQ(ui_.Urls()[1], "http://web.test/TradeInfo.jsp");
    EXPECT_EQ(ui_.Urls()[2], "http://web.test/");
    for (const std::string& u : ui_.Urls()) EXPECT_EQ(u.rfind("http://web.test/", 0), 0u);
    EXPECT_TRUE(ui_.BoxTexts().empty());

    // A desktop that cannot open an address: the user is told where to go.
    ui_.SetUrlsOpen(false);
    f.OnCommand(cmdid::HomePage);
    ASSERT_EQ(ui_.BoxTexts().size(), 1u);
    EXPECT_NE(ui_.BoxTexts()[0].find("\nhttp://web.test/"), std::string::npos);
}

TEST_F(MainFrameTest, CommandsArePresentAndEnabled) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    f.UpdateCommandStates();
    for (int id : {cmdid::TradeReport, cmdid::NewMarketOrder, cmdid::NewPendingOrder,
                   cmdid::HeikinAshi, cmdid::Period15, cmdid::Instrument(1), cmdid::ModeCross,
                   cmdid::Reinitialise, cmdid::ClearTools})
        EXPECT_TRUE(f.Action(id)->isEnabled()) << id;
    for (int id : {cmdid::Exit, cmdid::Relogin, cmdid::About, cmdid::Deposit})
        EXPECT_TRUE(f.Action(id)->isEnabled()) << id;
    // Ids 20..28 have commands without menu item or button.
    ASSERT_NE(f.Action(cmdid::Instrument(20)), nullptr);
    EXPECT_FALSE(f.InstrumentBar()->actions().contains(f.Action(cmdid::Instrument(20))));
}

// The commands whose check mark is on, among `ids`.
std::vector<int> Checked(CMainFrame& f, std::initializer_list<int> ids) {
    f.UpdateCommandStates();
    std::vector<int> on;
    for (int id : ids)
        if (f.Action(id)->isChecked()) on.push_back(id);
    return on;
}

std::vector<int> InstrumentCommands() {
    std::vector<int> ids;
    for (int i = 1; i <= 42; ++i) ids.push_back(cmdid::Instrument(i));
    return ids;
}

std::vector<int> CheckedInstruments(CMainFrame& f) {
    f.UpdateCommandStates();
    std::vector<int> on;
    for (int id : InstrumentCommands())
        if (f.Action(id)->isChecked()) on.push_back(id);
    return on;
}

TEST_F(MainFrameTest, InstrumentCommandsLoadTheInstrumentOnceAndStoreIt) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    CChildView& view = *f.View();
    EXPECT_EQ(CheckedInstruments(f), std::vector<int>{cmdid::Instrument(1)});

    const int before = view.Links().RebuildCount();
    f.OnCommand(cmdid::Instrument(5));
    EXPECT_EQ(f.CurrentInstrument(), 5);
    EXPECT_EQ(view.Links().CurrentInstrument(), 5);
    EXPECT_EQ(view.Links().Chart().Instrument(), 5);
    EXPECT_EQ(ReadSettings().lastInstrument, 5);
    EXPECT_EQ(view.Links().RebuildCount(), before + 1);
    EXPECT_EQ(CheckedInstruments(f), std::vector<int>{cmdid::Instrument(5)});

    // The instrument on show: nothing happens.
    f.OnCommand(cmdid::Instrument(5));
    EXPECT_EQ(view.Links().RebuildCount(), before + 1);

    // Ids 20..28 work without menu item or button, check mark included.
    f.OnCommand(cmdid::Instrument(24));
    EXPECT_EQ(view.Links().Chart().Instrument(), 24);
    EXPECT_EQ(ReadSettings().lastInstrument, 24);
    EXPECT_EQ(CheckedInstruments(f), std::vector<int>{cmdid::Instrument(24)});
    EXPECT_EQ(view.Links().RebuildCount(), before + 2);
}

TEST_F(MainFrameTest, PeriodCommandsAlwaysReloadAndAreNotStored) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    CChildView& view = *f.View();
    const std::initializer_list<int> periods = {
        cmdid::Period15,  cmdid::Period30,  cmdid::Period60, cmdid::Period120,
        cmdid::Period240, cmdid::Period480, cmdid::PeriodDay};
    EXPECT_EQ(Checked(f, periods),
              std::vector<int>{cmdid::Period15});  // every start shows 15 minutes

    const int before = view.Links().RebuildCount();
    f.OnCommand(cmdid::Period240);
    EXPECT_EQ(view.Links().CurrentPeriod(), 240);
    EXPECT_EQ(view.Links().Chart().Period(), 240);
    EXPECT_EQ(Checked(f, periods), std::vector<int>{cmdid::Period240});
    EXPECT_EQ(ReadSettings().lastInstrument, 1);
    // The period on show reloads all the same.
    f.OnCommand(cmdid::Period240);
    EXPECT_EQ(view.Links().RebuildCount(), before + 2);
    f.OnCommand(cmdid::PeriodDay);
    EXPECT_EQ(view.Links().Chart().Period(), 1440);
    EXPECT_EQ(Checked(f, periods), std::vector<int>{cmdid::PeriodDay});

    // A new frame starts at 15 minutes again.
    ClientCore another;
    CMainFrame again(another, Services(AllInstruments()));
    again.StartupLoad();
    EXPECT_EQ(again.View()->Links().CurrentPeriod(), 15);
}

TEST_F(MainFrameTest, HeikinAshiTogglesWithoutReloadAndSurvivesAnInstrumentChange) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    CChildView& view = *f.View();
    const int before = view.Links().RebuildCount();
    EXPECT_TRUE(Checked(f, {cmdid::HeikinAshi}).empty());
    f.OnCommand(cmdid::HeikinAshi);
    EXPECT_EQ(view.Links().Chart().ChartType(), chart_type::HeikinAshi);
    EXPECT_EQ(Checked(f, {cmdid::HeikinAshi}).size(), 1u);
    f.OnCommand(cmdid::Instrument(7));
    EXPECT_EQ(view.Links().Chart().ChartType(), chart_type::HeikinAshi);
    f.OnCommand(cmdid::HeikinAshi);
    EXPECT_EQ(view.Links().Chart().ChartType(), chart_type::Candles);
    EXPECT_TRUE(Checked(f, {cmdid::HeikinAshi}).empty());
    EXPECT_EQ(view.Links().RebuildCount(), before + 1);  // the instrument change only
}

// The indicator overlays: off at first, switched from the tools menu with check marks, kept in
// their own file (not the settings file) and back on in the next frame.
TEST_F(MainFrameTest, IndicatorsToggleFromTheToolsMenuAndPersistInTheirOwnFile) {
    {
        CMainFrame f(core_, Services(AllInstruments()));
        f.StartupLoad();
        KLineData& chart = f.View()->Links().Chart();
        EXPECT_EQ(chart.Indicators(), 0u);
        EXPECT_TRUE(Checked(f, {cmdid::MovingAverages, cmdid::Bollinger}).empty());
        f.OnCommand(cmdid::Bollinger);
        f.OnCommand(cmdid::MovingAverages);
        f.OnCommand(cmdid::MovingAverages);
        f.OnCommand(cmdid::MovingAverages);
        EXPECT_EQ(chart.Indicators(), chart_indicator::All);
        EXPECT_EQ(Checked(f, {cmdid::MovingAverages, cmdid::Bollinger}).size(), 2u);
        f.OnCommand(cmdid::Bollinger);
        EXPECT_EQ(chart.Indicators(), chart_indicator::MovingAverages);
    }
    EXPECT_EQ(ReadIndicatorChoice(dir_ + "/indicators"), chart_indicator::MovingAverages);
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    EXPECT_EQ(f.View()->Links().Chart().Indicators(), chart_indicator::MovingAverages);
    EXPECT_EQ(Checked(f, {cmdid::MovingAverages, cmdid::Bollinger}).size(), 1u);
}

// "保存图片": the view as on screen (chart and left panel) to the chosen PNG and the clipboard;
// a cancelled dialog saves nothing.
TEST_F(MainFrameTest, SaveChartImageWritesThePngAndTheClipboard) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    f.show();
    QApplication::processEvents();
    const QString path = QString::fromStdString(dir_ + "/chart.png");
    f.chooseImagePath = [](QWidget*) { return QString(); };
    f.OnCommand(cmdid::SaveChartImage);
    EXPECT_FALSE(QFile::exists(path));
    f.chooseImagePath = [&](QWidget*) { return path; };
    f.OnCommand(cmdid::SaveChartImage);
    const QImage saved(path);
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), f.View()->size() * f.View()->devicePixelRatioF());
    const QImage shown = f.ChartPicture().convertToFormat(saved.format());
    EXPECT_EQ(saved, shown);
    EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(saved.format()), shown);
}

TEST_F(MainFrameTest, ModeCommandsSetTheModeTheDataWindowAndOneCheckMark) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    CChildView& view = *f.View();
    const std::initializer_list<int> modes = {
        cmdid::ModeDefault,      cmdid::ModeCross,         cmdid::ModeMoveKLine,
        cmdid::ModeStraightLine, cmdid::ModeParallelLines, cmdid::ModeSymmetricParallelLines};
    EXPECT_EQ(Checked(f, modes), std::vector<int>{cmdid::ModeDefault});

    f.OnCommand(cmdid::ModeCross);
    EXPECT_EQ(view.ChartWindow()->View().Mode(), ChartMode::Cross);
    EXPECT_TRUE(view.LeftPanel()->DataWindowVisible());
    EXPECT_EQ(Checked(f, modes), std::vector<int>{cmdid::ModeCross});

    const std::pair<int, ChartMode> others[] = {
        {cmdid::ModeMoveKLine, ChartMode::MoveKLine},
        {cmdid::ModeStraightLine, ChartMode::StraightLine},
        {cmdid::ModeParallelLines, ChartMode::ParallelLines},
        {cmdid::ModeSymmetricParallelLines, ChartMode::SymmetricParallelLines}};
    for (auto [command, mode] : others) {
        f.OnCommand(command);
        EXPECT_EQ(view.ChartWindow()->View().Mode(), mode) << command;
        EXPECT_FALSE(view.LeftPanel()->DataWindowVisible()) << command;
        EXPECT_EQ(Checked(f, modes), std::vector<int>{command});
    }
    f.OnCommand(cmdid::ModeDefault);
    EXPECT_EQ(view.ChartWindow()->View().Mode(), ChartMode::Default);
    EXPECT_EQ(Checked(f, modes), std::vector<int>{cmdid::ModeDefault});

    // A new instrument resets the chart: back to the default mode without data window.
    f.OnCommand(cmdid::ModeCross);
    f.OnCommand(cmdid::Instrument(2));
    EXPECT_EQ(view.ChartWindow()->View().Mode(), ChartMode::Default);
    EXPECT_FALSE(view.LeftPanel()->DataWindowVisible());
}

TEST_F(MainFrameTest, ClearToolsEmptiesTheChartAndDeletesTheChartsToolsOnTheServer) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    KLineData& chart = f.View()->Links().Chart();
    ToolLineRecord tool{};
    tool.type = tool_type::Straight;
    tool.state = tool_state::Complete;
    tool.instrument = f.CurrentInstrument();
    tool.period = 15;
    chart.WithTools([&](std::vector<ToolLineRecord>& t) { t.push_back(tool); });
    f.OnCommand(cmdid::ClearTools);
    EXPECT_EQ(chart.WithTools([](std::vector<ToolLineRecord>& t) { return t.size(); }), 0u);
    Commands();
    std::lock_guard<std::mutex> lock(fs_.mutex);
    ASSERT_EQ(fs_.deletes.size(), 1u);
    EXPECT_EQ(fs_.deletes[0].instrument, f.CurrentInstrument());
    EXPECT_EQ(fs_.deletes[0].period, 15);
    EXPECT_EQ(fs_.deletes[0].state, 0);
}

TEST_F(MainFrameTest, ToolbarCommandsShowButNeverHide) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    f.show();
    for (auto [command, bar] : {std::pair{cmdid::ShowCommandBar, f.CommandBar()},
                                std::pair{cmdid::ShowInstrumentBar, f.InstrumentBar()}}) {
        EXPECT_EQ(Checked(f, {command}).size(), 1u);
        bar->hide();
        EXPECT_TRUE(Checked(f, {command}).empty());
        f.OnCommand(command);
        EXPECT_TRUE(bar->isVisible());
        f.OnCommand(command);
        EXPECT_TRUE(bar->isVisible());
        EXPECT_EQ(Checked(f, {command}).size(), 1u);
    }

    // At 1280 pixels every instrument button shows on the bar, none behind its "»".
    f.resize(1280, 800);
    QApplication::processEvents();
    int shown = 0;
    for (QAction* a : f.InstrumentBar()->actions()) {
        QWidget* button = f.InstrumentBar()->widgetForAction(a);
        if (a->isSeparator() || !button) continue;
        EXPECT_TRUE(button->isVisible()) << a->text().toStdString();
        EXPECT_LE(button->geometry().right(), f.InstrumentBar()->width())
            << a->text().toStdString();
        shown += button->isVisible();
    }
    EXPECT_EQ(shown, 33);
}

TEST_F(MainFrameTest, ReinitialiseDeletesTheCacheReloadsTheAccountAndTheChart) {
    CMainFrame f(core_, Services(AllInstruments()));
    f.StartupLoad();
    CChildView& view = *f.View();
    f.OnCommand(cmdid::Period60);  // H1 of instrument 1
    const std::string file = HistoryFilePath(HistoryDirectory(), 1, 60);
    ASSERT_TRUE(WriteHistoryFile(file, {}));
    ASSERT_TRUE(std::filesystem::exists(file));
    const int before = view.Links().RebuildCount();
    f.OnCommand(cmdid::Reinitialise);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(Commands().back(), cmd::LoadPending);  // the account's reload starts
    EXPECT_EQ(view.Links().RebuildCount(), before + 1);
    EXPECT_EQ(view.Links().Chart().Period(), 60);
}

}  // namespace
}  // namespace zq
