// The main frame's part of the signal feed: the flags loaded when its view is made, the marks
// that reach it through the window bridge, and the 100 ms blink of the instrument buttons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>

#include "app/client_core.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "market/instruments.h"
#include "market/wire/signal_record.h"
#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/support/test_directory.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

// Answers the start-up load with empty lists and the flags with instrument 5 announced.
void ServeRequests(Socket& peer, int) {
    RequestHeader h;
    while (ScriptServer::ReadHeader(peer, h)) {
        const std::int32_t zero = 0;
        if (h.command == cmd::LoadTradingHours || h.command == cmd::LoadInstruments ||
            h.command == cmd::LoadPriceAlerts || h.command == cmd::LoadProfitAlerts ||
            h.command == cmd::LoadMessages) {
            peer.Send(&zero, 4);
        } else if (h.command == cmd::LoadSignalFlags) {
            unsigned char flags[50] = {};
            flags[4] = 1;
            peer.Send(flags, sizeof flags);
        }
    }
}

class SignalFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-signal-frame");
        ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
        ::setenv("ZQ_DATA_PORT", "1", 1);
        ::setenv("ZQ_PUSH_PORT", "1", 1);
        server_.UseAsRequestPort();
        // The frame's own posts travel as they would in the program.
        ui_.OnPost([this](WindowHandle target, unsigned msg, std::intptr_t w, std::intptr_t l) {
            if (msg == WM_SIGNAL_MARK) qt_.Post(target, msg, w, l);
        });
        FrameServices services;
        services.listedInstruments = [] {
            std::vector<int> ids;
            for (int i = 1; i <= 42; ++i) ids.push_back(i);
            return ids;
        };
        frame_ = std::make_unique<CMainFrame>(core_, services);
        frame_->StartupLoad();
    }
    void TearDown() override {
        frame_.reset();
        for (const char* v : {"ZQ_DATA_DIR", "ZQ_DATA_PORT", "ZQ_PUSH_PORT", "ZQ_REQUEST_PORT"})
            ::unsetenv(v);
        ReloadConfig();
        ResetSession();
        std::filesystem::remove_all(dir_);
    }

    QAction* Button(int instrument) const { return frame_->Action(InstrumentCommand(instrument)); }
    QToolButton* ButtonWidget(int instrument) const {
        return qobject_cast<QToolButton*>(
            frame_->InstrumentBar()->widgetForAction(Button(instrument)));
    }
    // Whether the button shows its own image (the action's icon) and not the empty one.
    bool ShowsOwnImage(int instrument) const {
        return ButtonWidget(instrument)->icon().cacheKey() == Button(instrument)->icon().cacheKey();
    }
    void AddChartSignal(int instrument) {
        SignalRecord s{};
        s.instrument = static_cast<std::int8_t>(instrument);
        s.marker = kSignalMarker;
        frame_->View()->Links().Chart().WithSignals([&](SignalList& v) { v.Publish(AsBar(s)); });
    }

    std::filesystem::path dir_;
    FakeUi ui_;
    QtBridge qt_;
    ScriptServer server_{ServeRequests};
    ClientCore core_;
    std::unique_ptr<CMainFrame> frame_;
};

TEST_F(SignalFrameTest, TheViewLoadsTheFlagsAndTheBlinkTimerRunsEveryHundredMilliseconds) {
    const SignalFlags flags = frame_->View()->Links().SignalFlags();
    EXPECT_EQ(flags[4], 1);
    EXPECT_EQ(flags[0], 0);
    bool running = false;
    for (QTimer* t : frame_->findChildren<QTimer*>())
        if (t->interval() == 100 && t->isActive()) running = true;
    EXPECT_TRUE(running);
}

TEST_F(SignalFrameTest, AMarkPostedThroughTheBridgeBlinksTheButtonOfAnAnnouncedInstrument) {
    // Posted as the feed posts from a worker: handled on the frame's thread.
    Ui().Post(frame_->Handle(), WM_SIGNAL_MARK, 5, kSignalMark);
    Ui().Post(frame_->Handle(), WM_SIGNAL_MARK, 1, kSignalMark);
    EXPECT_TRUE(frame_->SignalBlink().Entries().empty());
    QApplication::processEvents();
    ASSERT_EQ(frame_->SignalBlink().Entries().size(), 2u);
    const SignalBlinkEntry* e = frame_->SignalBlink().Find(5);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->command, 30005);
    EXPECT_EQ(frame_->InstrumentBar()->actions().at(e->position), Button(5));

    for (int i = 0; i < 41; ++i) frame_->OnSignalBlinkTick();
    EXPECT_TRUE(ShowsOwnImage(5));
    frame_->OnSignalBlinkTick();  // the 42nd: the empty image
    EXPECT_FALSE(ShowsOwnImage(5));
    EXPECT_TRUE(ShowsOwnImage(1));  // silent: never blinks
    frame_->OnSignalBlinkTick();
    EXPECT_TRUE(ShowsOwnImage(5));
    frame_->OnSignalBlinkTick();
    EXPECT_FALSE(ShowsOwnImage(5));
    // The menus keep their icons: only the toolbar's button blinks.
    EXPECT_FALSE(Button(5)->icon().isNull());
}

TEST_F(SignalFrameTest, ARecountCountsTheChartsSignalsAndStopsTheBlinkWhenNoneIsLeft) {
    AddChartSignal(5);
    AddChartSignal(7);
    frame_->HandleMessage(WM_SIGNAL_MARK, 5, kSignalMark);
    for (int i = 0; i < 42; ++i) frame_->OnSignalBlinkTick();
    ASSERT_FALSE(ShowsOwnImage(5));

    // A signal of instrument 5 is left: the entry stays.
    frame_->HandleMessage(WM_SIGNAL_MARK, 5, kSignalRecount);
    ASSERT_NE(frame_->SignalBlink().Find(5), nullptr);
    // Instrument 7 had no entry but has a signal: it gets one.
    frame_->HandleMessage(WM_SIGNAL_MARK, 7, kSignalRecount);
    EXPECT_NE(frame_->SignalBlink().Find(7), nullptr);

    // None left: the entry goes and the button shows its own image at once.
    frame_->View()->Links().Chart().WithSignals([](SignalList& v) { v.clear(); });
    frame_->HandleMessage(WM_SIGNAL_MARK, 5, kSignalRecount);
    EXPECT_EQ(frame_->SignalBlink().Find(5), nullptr);
    EXPECT_TRUE(ShowsOwnImage(5));
}

}  // namespace
}  // namespace zq
