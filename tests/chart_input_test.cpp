// The chart's mouse and key rules on real bar series: the modes, the cross that snaps to bars,
// dragging with its clamps, the arrow keys at both ends of the series and at both zoom clamps,
// and the right-click hit test with its three menus.
#include "chart/chart_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/market_fixtures.h"
#include "widgets/command_ids.h"

namespace zq {
namespace {

using test::FillChart;
using test::Time;

// Records what the rules ask of the window.
struct Recorder {
    int invalidates = 0;
    int syncs = 0;
    int paging = 0;
    std::vector<bool> dataWindowShown;
    std::vector<std::string> dataWindowBars;
    std::vector<float> dataWindowYs;
    std::vector<std::string> events;  // hit tests, selections and tool events in order
    ChartHit hit;
    bool withHitTest = false;
    ChartInputEffects fx;

    Recorder() {
        fx.invalidate = [this] { ++invalidates; };
        fx.syncCross = [this] { ++syncs; };
        fx.showDataWindow = [this](bool v) { dataWindowShown.push_back(v); };
        fx.dataWindow = [this](float y, const BarRecord& bar) {
            dataWindowYs.push_back(y);
            dataWindowBars.push_back(Time(bar));
        };
        fx.fetchOlderHistory = [this] { ++paging; };
        fx.toolMouse = [this](ToolMouse e, int x, int y) {
            events.push_back("tool " + std::to_string(static_cast<int>(e)) + " " +
                             std::to_string(x) + "," + std::to_string(y));
        };
    }
    void EnableHitTest() {
        fx.hitTest = [this](int x, int y) {
            events.push_back("hit " + std::to_string(x) + "," + std::to_string(y));
            return hit;
        };
        fx.selectHit = [this](const ChartHit& h) { events.push_back("select " + h.id); };
    }
};

class ChartInputTest : public ::testing::Test {
  protected:
    // 500 bars on an 800 x 600 chart: 200 visible, 3.65 pixels a bar, the oldest view at
    // first visible index 300.
    void SetUp() override {
        FillChart(chart, 500);
        ASSERT_TRUE(chart.Layout());
        ASSERT_EQ(chart.State().visible, 200);
    }
    ChartMode Mode() const { return view.Mode(); }
    BarGeometry Bar(int i) const { return chart.Geometry()[static_cast<std::size_t>(i)]; }

    KLineData chart;
    Recorder rec;
    ChartView view;
    ChartInput input{chart, view, rec.fx};
};

TEST_F(ChartInputTest, LeftClickEntersCrossModeOnlyBelowTheCaption) {
    input.LeftDown(300, 20);
    EXPECT_EQ(Mode(), ChartMode::Default);
    EXPECT_TRUE(rec.dataWindowShown.empty());

    input.LeftDown(300, 21);
    EXPECT_EQ(Mode(), ChartMode::Cross);
    EXPECT_EQ(rec.dataWindowShown, std::vector<bool>{true});
    EXPECT_EQ(rec.invalidates, 1);
    // The cross appears with the first move, not with the click.
    EXPECT_FALSE(chart.State().CrossShown());

    input.LeftDown(300, 300);  // in cross mode a click does nothing
    EXPECT_EQ(rec.invalidates, 1);
}

TEST_F(ChartInputTest, CrossSnapsToTheBarUnderTheMouseAndLeavesWithIt) {
    input.SelectMode(ChartMode::Cross);
    const BarGeometry b = Bar(10);
    input.MouseMove(b.left, 250);
    ChartState st = chart.State();
    EXPECT_EQ(st.crossX, b.Centre());
    EXPECT_EQ(st.crossY, 250);  // the mouse's y, not the bar's
    EXPECT_EQ(st.selected, 10);
    ASSERT_EQ(rec.dataWindowBars.size(), 1u);
    EXPECT_EQ(rec.dataWindowBars[0], Time(b.raw));
    EXPECT_FLOAT_EQ(rec.dataWindowYs[0], 250);

    // In the caption strip and beside the bars the cross stays where it is.
    input.MouseMove(b.left + 40, 20);
    input.MouseMove(790, 300);
    EXPECT_EQ(chart.State().crossX, b.Centre());
    EXPECT_EQ(rec.dataWindowBars.size(), 1u);

    input.MouseLeave();
    EXPECT_FALSE(chart.State().CrossShown());
    EXPECT_EQ(Mode(), ChartMode::Cross);

    // Other modes do not move a cross.
    input.SelectMode(ChartMode::MoveKLine);
    input.MouseMove(b.left, 250);
    EXPECT_FALSE(chart.State().CrossShown());
}

TEST_F(ChartInputTest, ModeCommandsAndLeavingAMode) {
    input.SelectMode(ChartMode::Cross);
    input.MouseMove(Bar(3).left, 200);
    ASSERT_TRUE(chart.State().CrossShown());

    // Modes 2 to 5 hide the data window but keep a cross that is shown.
    input.SelectMode(ChartMode::StraightLine);
    EXPECT_EQ(Mode(), ChartMode::StraightLine);
    EXPECT_EQ(rec.dataWindowShown.back(), false);
    EXPECT_TRUE(chart.State().CrossShown());
    const int invalidates = rec.invalidates;
    input.SelectMode(ChartMode::StraightLine);  // already there: nothing
    EXPECT_EQ(rec.invalidates, invalidates);

    // The tool modes hand the mouse to the drawing tools.
    input.LeftDown(100, 200);
    input.MouseMove(120, 210);
    input.LeftUp(130, 220);
    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"tool 0 100,200", "tool 1 120,210", "tool 2 130,220"}));

    // Escape returns to 0 and erases the cross.
    input.Key(ChartKey::Escape);
    EXPECT_EQ(Mode(), ChartMode::Default);
    EXPECT_FALSE(chart.State().CrossShown());
    EXPECT_EQ(rec.paging, 0);

    // A size change does the same from any mode.
    input.SelectMode(ChartMode::Cross);
    input.MouseMove(Bar(3).left, 200);
    input.Resized();
    EXPECT_EQ(Mode(), ChartMode::Default);
    EXPECT_FALSE(chart.State().CrossShown());
    EXPECT_EQ(rec.dataWindowShown.back(), false);
}

TEST_F(ChartInputTest, DragMovesWholeBarsAndClampsTheOffset) {
    input.SelectMode(ChartMode::MoveKLine);
    const float body = chart.State().body;  // 3.65 - 0.365

    // Less than one body width sideways: only the vertical offset moves.
    input.LeftDown(400, 300);
    input.LeftUp(400 + static_cast<int>(body) - 1, 340);
    EXPECT_EQ(chart.State().firstVisible, 0);
    EXPECT_EQ(chart.State().vOffset, 40);

    // To the right by 10 bodies: ten older bars.
    input.LeftDown(400, 300);
    input.LeftUp(400 + static_cast<int>(body * 10) + 1, 300);
    EXPECT_EQ(chart.State().firstVisible, 10);
    EXPECT_EQ(chart.State().vOffset, 40);

    // To the left by far more than the view: back to the newest bars, not below 0.
    input.LeftDown(700, 300);
    input.LeftUp(20, 300);
    EXPECT_EQ(chart.State().firstVisible, 0);

    // Vertically the offset is held within 600 - 60 either way.
    input.LeftDown(400, 100);
    input.LeftUp(400, 100 + 2000);
    EXPECT_EQ(chart.State().vOffset, 540);
    input.LeftDown(400, 3000);
    input.LeftUp(400, 0);
    EXPECT_EQ(chart.State().vOffset, -540);

    // Releasing where the drag began is no drag.
    const int invalidates = rec.invalidates;
    input.LeftDown(400, 300);
    input.LeftUp(400, 300);
    EXPECT_EQ(rec.invalidates, invalidates);
}

TEST(ChartInputRules, DragArithmetic) {
    EXPECT_EQ(ChartInput::DraggedOffset(0, 539, 600), 539);
    EXPECT_EQ(ChartInput::DraggedOffset(500, 41, 600), 540);
    EXPECT_EQ(ChartInput::DraggedOffset(-500, -41, 600), -540);
    // A chart lower than the margin has no room to drag into.
    EXPECT_EQ(ChartInput::DraggedOffset(0, 30, 40), 0);
    EXPECT_EQ(ChartInput::DraggedBars(-10, 3.0f, 100), 3);
    EXPECT_EQ(ChartInput::DraggedBars(1000, 3.0f, 100), 100);  // at most the visible bars
    // Before the first layout there is no body width: no division by zero.
    EXPECT_EQ(ChartInput::DraggedBars(50, 0.0f, 100), 0);
}

TEST_F(ChartInputTest, LeftAndRightAtTheEndsOfTheSeries) {
    // Newest end, no cross: Right changes nothing; Left scrolls one bar and asks for history.
    input.Key(ChartKey::Right);
    EXPECT_EQ(chart.State().firstVisible, 0);
    EXPECT_EQ(rec.invalidates, 0);
    EXPECT_EQ(rec.paging, 0);
    input.Key(ChartKey::Left);
    EXPECT_EQ(chart.State().firstVisible, 1);
    EXPECT_EQ(rec.invalidates, 1);
    EXPECT_EQ(rec.paging, 1);
    input.Key(ChartKey::Right);
    EXPECT_EQ(chart.State().firstVisible, 0);
    EXPECT_EQ(rec.invalidates, 2);

    // Oldest end, no cross: Left still asks the view for older history but the chart stays.
    chart.SetFirstVisible(300);
    chart.Layout();
    rec.invalidates = 0;
    input.Key(ChartKey::Left);
    EXPECT_EQ(rec.paging, 2);
    EXPECT_EQ(chart.State().firstVisible, 300);
    EXPECT_EQ(rec.invalidates, 0);
    EXPECT_EQ(Time(Bar(199).raw), "00000000");  // the oldest bar of all is shown
}

TEST_F(ChartInputTest, ArrowsWalkTheCrossThenScroll) {
    input.SelectMode(ChartMode::Cross);
    input.MouseMove(Bar(198).left, 300);  // the second-oldest visible bar

    // Left: the cross steps to the oldest visible bar, at the y of its close.
    input.Key(ChartKey::Left);
    BarGeometry oldest = Bar(199);
    ChartState st = chart.State();
    EXPECT_EQ(st.selected, 199);
    EXPECT_EQ(st.crossX, oldest.Centre());
    EXPECT_EQ(st.crossY, static_cast<int>(oldest.yClose));
    EXPECT_EQ(rec.dataWindowBars.back(), Time(oldest.raw));
    EXPECT_EQ(st.firstVisible, 0);

    // Left on the oldest visible bar scrolls by one; the cross stays on its bar.
    const std::string crossBar = Time(oldest.raw);
    input.Key(ChartKey::Left);
    st = chart.State();
    EXPECT_EQ(st.firstVisible, 1);
    ASSERT_TRUE(st.CrossShown());
    const int at = BarUnder(chart.Geometry(), st.crossX);
    ASSERT_GE(at, 0);
    EXPECT_EQ(Time(Bar(at).raw), crossBar);

    // Right walks back towards the newest visible bar, then scrolls newer.
    input.MouseMove(Bar(1).left, 300);
    input.Key(ChartKey::Right);
    EXPECT_EQ(chart.State().selected, 0);
    EXPECT_EQ(chart.State().firstVisible, 1);
    input.Key(ChartKey::Right);
    EXPECT_EQ(chart.State().firstVisible, 0);
}

TEST_F(ChartInputTest, UpAndDownStopAtTheZoomClamps) {
    const float body = chart.State().body;
    input.Key(ChartKey::Up);
    EXPECT_GT(chart.State().body, body);  // Up widens the bars
    EXPECT_EQ(rec.invalidates, 1);
    EXPECT_EQ(rec.paging, 0);

    // At the widest step (53 pixels) Up changes nothing, the zoom factor included.
    for (int i = 0; i < 60; ++i) input.Key(ChartKey::Up);
    ChartState widest = chart.State();
    EXPECT_FLOAT_EQ(widest.body + widest.gap, 53.0f);
    rec.invalidates = 0;
    input.Key(ChartKey::Up);
    EXPECT_EQ(chart.State().zoom, widest.zoom);
    EXPECT_EQ(rec.invalidates, 0);
    // …so that one Down narrows at once.
    input.Key(ChartKey::Down);
    EXPECT_LT(chart.State().body, widest.body);
    EXPECT_EQ(rec.paging, 1);  // Down asks for older history too

    // At the narrowest step (1.5 pixels) Down changes nothing.
    for (int i = 0; i < 80; ++i) input.Key(ChartKey::Down);
    ChartState narrowest = chart.State();
    EXPECT_FLOAT_EQ(narrowest.body + narrowest.gap, 1.5f);
    rec.invalidates = 0;
    input.Key(ChartKey::Down);
    EXPECT_EQ(chart.State().zoom, narrowest.zoom);
    EXPECT_EQ(rec.invalidates, 0);
}

TEST(ChartInputEmpty, KeysOnAnEmptyChart) {
    KLineData chart;
    chart.Reset(1, 15);
    chart.SetClientSize(800, 600);
    Recorder rec;
    ChartView view;
    ChartInput input(chart, view, rec.fx);
    for (ChartKey k : {ChartKey::Left, ChartKey::Right, ChartKey::Up, ChartKey::Down}) input.Key(k);
    EXPECT_EQ(rec.paging, 2);
    EXPECT_EQ(rec.invalidates, 0);
    EXPECT_EQ(chart.State().firstVisible, 0);
    EXPECT_FLOAT_EQ(chart.State().zoom, 1.0f);
    // A drag before any layout moves nothing sideways.
    input.SelectMode(ChartMode::MoveKLine);
    input.LeftDown(100, 100);
    input.LeftUp(300, 100);
    EXPECT_EQ(chart.State().firstVisible, 0);
}

TEST_F(ChartInputTest, RightClickLeavesTheModeAndPicksTheMenu) {
    // Without the overlays' hit test every right click offers the trade report.
    input.SelectMode(ChartMode::Cross);
    input.MouseMove(Bar(5).left, 300);
    EXPECT_EQ(input.RightDown(100, 300), ChartMenu::TradeReport);
    EXPECT_EQ(Mode(), ChartMode::Default);
    EXPECT_FALSE(chart.State().CrossShown());

    rec.EnableHitTest();
    rec.hit = {ChartHitKind::Position, "P-7"};
    input.SelectMode(ChartMode::Cross);
    EXPECT_EQ(input.RightDown(120, 310), ChartMenu::Position);
    EXPECT_EQ(Mode(), ChartMode::Default);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"hit 120,310", "select P-7"}));

    rec.hit = {ChartHitKind::PendingOrder, "O-9"};
    EXPECT_EQ(input.RightDown(1, 2), ChartMenu::PendingOrder);
    rec.hit = {};
    EXPECT_EQ(input.RightDown(1, 2), ChartMenu::TradeReport);
    EXPECT_EQ(rec.events.back(), "hit 1,2");  // nothing selected for a miss

    auto items = ChartMenuItems(ChartMenu::Position);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_STREQ(items[0].text, "修改订单");
    EXPECT_EQ(items[0].command, cmdid::ModifyPosition);
    EXPECT_EQ(items[1].command, cmdid::ClosePosition);
    items = ChartMenuItems(ChartMenu::PendingOrder);
    EXPECT_EQ(items[0].command, cmdid::ModifyPending);
    EXPECT_EQ(items[1].command, cmdid::DeletePending);
    items = ChartMenuItems(ChartMenu::TradeReport);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_STREQ(items[0].text, "交易报表");
    EXPECT_EQ(items[0].command, cmdid::TradeReport);
}

}  // namespace
}  // namespace zq
