// The whole program against the stand-in server: after the demo login the main view shows a
// live chart of the demo member's instrument, the market moves its live bar in place, a closing
// bar brings a new one, the cross cursor and data window follow the mouse, and every
// instrument and period loads its history through the frame's commands.
#include <gtest/gtest.h>

#include <QMouseEvent>

#include "app/client_core.h"
#include "app/settings_block.h"
#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "chart/ui/chart_painter.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/left_tips.h"
#include "market/history_cache.h"
#include "market/instruments.h"
#include "market/wire/bar_record.h"
#include "net/signal_feed.h"
#include "tests/support/client_e2e.h"
#include "widgets/command_ids.h"

namespace zq {
namespace {

using test::ServerProcess;
using test::ServeUntil;

class ChartEndToEnd : public test::ClientEndToEnd {
  protected:
    void SetUp() override {
        ClientEndToEnd::SetUp();
        if (HasFatalFailure()) return;
        view_ = frame_->View();
        ASSERT_TRUE(Loaded(1, 15));
    }

    // The view's chart shows instrument and period with its history loaded.
    bool Loaded(int instrument, int period) {
        return ServeUntil([&] {
            return view_->Links().HistoryLoaded() && !view_->Links().HistoryBusy() &&
                   view_->Links().Chart().Instrument() == instrument &&
                   view_->Links().Chart().Period() == period &&
                   view_->Links().Chart().BarCount() > 0 &&
                   !view_->Links().Chart().Geometry().empty();
        });
    }
    static int Count(const QImage& image, QRgb colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) n += image.pixel(x, y) == colour;
        return n;
    }
    static void Mouse(QWidget& w, QEvent::Type type, QPoint at, Qt::MouseButton button) {
        QMouseEvent e(type, at, w.mapToGlobal(at), button,
                      type == QEvent::MouseMove ? Qt::NoButton : button, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &e);
    }

    CChildView* view_ = nullptr;
};

TEST_F(ChartEndToEnd, TheDemoChartIsLiveAndFollowsTheMouse) {
    KLineData& chart = view_->Links().Chart();
    CKMain& window = *view_->ChartWindow();
    EXPECT_EQ(CaptionText(chart.Product(), 15), QStringLiteral("伦敦金(T+0) 15分钟线"));
    // The first start wrote the cache of what came over the wire.
    EXPECT_FALSE(ReadHistoryCache(HistoryDirectory(), 1, 15).empty());

    // The repaint that follows the transfer reaches the window through a posted message.
    ServeUntil([&] {
        const QImage& image = window.Render();
        return Count(image, chart_color::Falling) > 100 && Count(image, chart_color::Rising) > 100;
    });
    const QImage shown = window.Render().copy();
    EXPECT_GT(Count(shown, chart_color::Falling), 100) << "white candles";
    EXPECT_GT(Count(shown, chart_color::Rising), 100) << "red candles";
    EXPECT_GT(Count(shown, chart_color::Grid), 100) << "dotted grid";

    // A new market price moves the live bar in place: same bar, new close, marker beside it.
    ASSERT_TRUE(ServeUntil([&] {
        BarRecord live{};
        return chart.CurrentLiveBar(live);
    }));
    BarRecord live{};
    ASSERT_TRUE(chart.CurrentLiveBar(live));
    const std::size_t bars = chart.BarCount();
    const double price = live.close / 100.0 + 0.37;
    ASSERT_EQ(Control("price 1 " + std::to_string(price)).rfind("ok", 0), 0u);
    const auto target = static_cast<std::int32_t>(std::lround(price * 100));
    ASSERT_TRUE(ServeUntil([&] {
        BarRecord now{};
        return chart.CurrentLiveBar(now) && now.close == target;
    }));
    EXPECT_EQ(chart.BarCount(), bars);
    ASSERT_TRUE(ServeUntil([&] {
        const BarGeometry newest = chart.Geometry().front();
        return newest.raw.close == target &&
               window.Render().pixel(newest.right + 6, static_cast<int>(newest.yClose)) ==
                   chart_color::LivePrice;
    }));

    // The bar closes: it becomes a finished bar and a new live bar starts in front of it.
    ASSERT_EQ(Control("close").rfind("ok", 0), 0u);
    ASSERT_TRUE(ServeUntil([&] { return chart.BarCount() == bars + 1; }));
    ASSERT_TRUE(ServeUntil([&] {
        BarRecord now{};
        return chart.CurrentLiveBar(now);
    }));
    EXPECT_FALSE(IsLiveBar(chart.RawBars()[1]));

    // A click below the caption turns the cross on; the data window shows the bar under it.
    const BarGeometry bar = chart.Geometry()[10];
    Mouse(window, QEvent::MouseButtonPress, {bar.Centre(), 300}, Qt::LeftButton);
    Mouse(window, QEvent::MouseButtonRelease, {bar.Centre(), 300}, Qt::LeftButton);
    Mouse(window, QEvent::MouseMove, {bar.Centre(), 300}, Qt::NoButton);
    EXPECT_EQ(window.View().Mode(), ChartMode::Cross);
    EXPECT_TRUE(view_->LeftPanel()->DataWindowVisible());
    EXPECT_TRUE(SameBar(view_->LeftPanel()->DataWindowBar(), bar.raw));
    EXPECT_EQ(window.DrawnCross(), QPoint(bar.Centre(), 300));
    frame_->UpdateCommandStates();
    EXPECT_TRUE(frame_->Action(cmdid::ModeCross)->isChecked());
    // Escape through the view leaves the mode.
    view_->ChartWindow()->OnKey(ChartKey::Escape);
    EXPECT_EQ(window.View().Mode(), ChartMode::Default);
    EXPECT_EQ(window.Render().copy().pixel(bar.Centre(), 5), shown.pixel(bar.Centre(), 5));
}

TEST_F(ChartEndToEnd, EveryInstrumentAndPeriodLoads) {
    for (const InstrumentInfo& info : Instruments()) {
        if (info.id == 1) continue;
        frame_->OnCommand(InstrumentCommand(info.id));
        ASSERT_TRUE(Loaded(info.id, 15)) << info.id;
        const BarRecord newest = view_->Links().Chart().RawBars().front();
        EXPECT_EQ(newest.instrument, info.id);
        EXPECT_GT(view_->ChartWindow()->Render().width(), 0);
    }
    for (const PeriodInfo& period : Periods()) {
        frame_->OnCommand(period.command);
        ASSERT_TRUE(Loaded(42, period.minutes)) << period.minutes;
        // Older history comes page by page when the chart is paged at its left end.
        const std::size_t before = view_->Links().Chart().BarCount();
        view_->Links().Chart().SetFirstVisible(static_cast<int>(before));
        view_->Links().Chart().Layout();
        ASSERT_TRUE(view_->Links().PageHistory()) << period.minutes;
        ASSERT_TRUE(ServeUntil([&] {
            return !view_->Links().HistoryBusy() && view_->Links().Chart().BarCount() > before;
        })) << period.minutes;
    }
    EXPECT_EQ(ReadSettings().lastInstrument, 42);
}

}  // namespace
}  // namespace zq

namespace zq {
namespace {

// The toolbar entry of an instrument in the frame's blink list.
bool Blinking(const CMainFrame& frame, int instrument) {
    for (const SignalBlinkEntry& e : frame.SignalBlink().Entries())
        if (e.instrument == instrument) return true;
    return false;
}

TEST_F(ChartEndToEnd, ASignalFromTheServerReachesTheChartTheButtonAndTheMessagesAndLeavesAgain) {
    const std::size_t messagesBefore = frame_->Core().Messages().Size();
    const std::string published = Control("signal 1 support 1650.5");
    ASSERT_EQ(published.rfind("ok", 0), 0u) << published;
    const std::size_t tagAt = published.find("tag ");
    ASSERT_NE(tagAt, std::string::npos) << published;
    const int tag = std::atoi(published.c_str() + tagAt + 4);

    ASSERT_TRUE(ServeUntil([&] {
        return CountSignals(view_->Links().Chart(), 1) == 1 && Blinking(*frame_, 1) &&
               frame_->Core().Messages().Size() == messagesBefore + 1;
    }));
    // The demo member announces 伦敦金: the message carries the level in the instrument's
    // decimals.
    bool announced = false;
    for (const auto& m : frame_->Core().Messages().Copy())
        announced |= m.content.find("接收到[伦敦金(T+0)]新操盘信号，{支撑位1650.50") == 0;
    EXPECT_TRUE(announced);
    // The layout placed the level on the chart.
    const std::int32_t y = view_->Links().Chart().WithSignals(
        [](const SignalList& s) { return AsSignal(*s.begin()).lineY; });
    EXPECT_NE(y, 0);

    const std::string withdrawn = Control("withdraw 1 " + std::to_string(tag));
    ASSERT_EQ(withdrawn.rfind("ok", 0), 0u) << withdrawn;
    ASSERT_TRUE(ServeUntil(
        [&] { return CountSignals(view_->Links().Chart(), 1) == 0 && !Blinking(*frame_, 1); }));
    EXPECT_EQ(frame_->Core().Messages().Size(), messagesBefore + 1)
        << "a withdrawal is not announced";
}

}  // namespace
}  // namespace zq
