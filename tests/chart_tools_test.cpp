// The drawing tools on real bar series: the three mouse sequences with their slide to the bars'
// centres, the anchoring at every layout, the derived and extended points, the refused base
// lines, the in-progress records across mode changes; the tool store against a scripted request
// port, with its failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chart/chart_input.h"
#include "chart/tool_lines.h"
#include "chart/tool_store.h"
#include "net/wire/framing.h"
#include "tests/market_fixtures.h"
#include "tests/support/script_server.h"
#include "tests/support/wait_until.h"

namespace zq {
namespace {

using test::FillChart;
using test::ScriptServer;
using test::Time;

std::string Text(const char (&field)[9]) {
    return std::string(AnchorText(field));
}

// y of the line from a to b at x (the tools' lines are straight in pixels).
double YAt(ToolPoint a, ToolPoint b, int x) {
    return a.y + static_cast<double>(b.y - a.y) * (x - a.x) / (b.x - a.x);
}

class ChartToolsTest : public ::testing::Test {
  protected:
    // 50 bars on an 800 x 600 chart at the widest zoom: 13 bars 53 pixels apart, the newest
    // at the right.
    void SetUp() override {
        FillChart(chart, 50);
        InstallToolLines(chart.hooks, nullptr);
        ASSERT_TRUE(chart.Layout());
        chart.SetZoom(100);
        ASSERT_TRUE(chart.Layout());
        ASSERT_EQ(chart.Geometry().size(), 13u);
        fx.invalidate = [this] { ++invalidates; };
        fx.syncCross = [] {};
        fx.toolMouse = [this](ToolMouse e, int x, int y) { drawing.Mouse(e, x, y); };
        toolFx.bands = [this](const std::vector<BandLine>& b) { bands = b; };
        toolFx.invalidate = [this] { ++invalidates; };
    }

    BarGeometry Bar(int i) const { return chart.Geometry()[static_cast<std::size_t>(i)]; }
    PriceScale Scale() const { return chart.State().Scale(); }
    std::vector<ToolLineRecord> Tools() {
        return chart.WithTools([](std::vector<ToolLineRecord>& t) { return t; });
    }
    void Drag(int x1, int y1, int x2, int y2) {
        input.LeftDown(x1, y1);
        input.MouseMove(x2, y2);
        input.LeftUp(x2, y2);
    }

    KLineData chart;
    ChartInputEffects fx;
    ChartView view;
    ChartInput input{chart, view, fx};
    ToolDrawingEffects toolFx;
    ToolDrawing drawing{chart, view, toolFx};
    std::vector<BandLine> bands;
    int invalidates = 0;
};

TEST_F(ChartToolsTest, ALineDrawnRightToLeftIsStoredFromItsLeftPoint) {
    input.SelectMode(ChartMode::StraightLine);
    const BarGeometry right = Bar(1), left = Bar(6);
    input.LeftDown(right.Centre() + 3, 200);
    input.MouseMove(300, 250);
    EXPECT_EQ(bands, (std::vector<BandLine>{{right.Centre() + 3, 200, 300, 250}}));
    input.MouseMove(left.Centre() - 2, 320);
    input.LeftUp(left.Centre() - 2, 320);

    const std::vector<ToolLineRecord> tools = Tools();
    ASSERT_EQ(tools.size(), 1u);
    const ToolLineRecord& t = tools[0];
    EXPECT_TRUE(bands.empty());
    EXPECT_GT(invalidates, 0);
    EXPECT_EQ(t.type, tool_type::Straight);
    EXPECT_EQ(t.state, tool_state::Complete);
    EXPECT_EQ(t.instrument, 1);
    EXPECT_EQ(t.period, 15);
    EXPECT_EQ(Text(t.time1), Time(left.raw));
    EXPECT_EQ(Text(t.time2), Time(right.raw));
    // The lower point on the left has the lower price.
    EXPECT_LT(t.price1, t.price2);
    EXPECT_NEAR(t.price1, Scale().PriceAt(320), 1.0);
    EXPECT_NEAR(t.price2, Scale().PriceAt(200), 1.0);
    // Laid out: extended from the left edge to the plot's right edge, through both anchors.
    const ToolPoint a = PointOf(t, 1), b = PointOf(t, 2);
    EXPECT_EQ(a.x, 0);
    EXPECT_EQ(b.x, 800 - 60);
    EXPECT_NEAR(YAt(a, b, left.Centre()), Scale().Y(t.price1), 1.5);
    EXPECT_NEAR(YAt(a, b, right.Centre()), Scale().Y(t.price2), 1.5);
    // The mode stays for the next line.
    EXPECT_EQ(view.Mode(), ChartMode::StraightLine);
}

TEST_F(ChartToolsTest, AHorizontalLineIsNotExtended) {
    input.SelectMode(ChartMode::StraightLine);
    const BarGeometry a = Bar(8), b = Bar(2);
    Drag(a.Centre() - 4, 250, b.Centre() + 4, 250);
    const std::vector<ToolLineRecord> tools = Tools();
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].price1, tools[0].price2);
    const int y = Scale().Y(tools[0].price1);
    EXPECT_EQ(PointOf(tools[0], 1), (ToolPoint{a.Centre(), y}));
    EXPECT_EQ(PointOf(tools[0], 2), (ToolPoint{b.Centre(), y}));
}

TEST_F(ChartToolsTest, ParallelLinesOnAHorizontalBaseLineStayBetweenTheirPoints) {
    input.SelectMode(ChartMode::ParallelLines);
    const BarGeometry a = Bar(8), b = Bar(3), c = Bar(5);
    Drag(a.Centre(), 250, b.Centre(), 250);
    // The base line waits for its parallel, nothing is stored yet.
    EXPECT_EQ(drawing.DrawingParallel().state, tool_state::BaseLine);
    EXPECT_TRUE(Tools().empty());
    input.MouseMove(c.Centre() + 4, 150);
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[1],
              (BandLine{c.Centre() + 4, 150, a.Centre() + c.Centre() + 4 - b.Centre(), 150}));
    input.LeftDown(c.Centre() + 4, 150);

    const std::vector<ToolLineRecord> tools = Tools();
    ASSERT_EQ(tools.size(), 1u);
    const ToolLineRecord& t = tools[0];
    EXPECT_EQ(t.type, tool_type::Parallel);
    EXPECT_EQ(Text(t.time4), Time(c.raw));
    const int y = Scale().Y(t.price1);
    const int y4 = Scale().Y(t.price4);
    EXPECT_EQ(PointOf(t, 1), (ToolPoint{a.Centre(), y}));
    EXPECT_EQ(PointOf(t, 2), (ToolPoint{b.Centre(), y}));
    EXPECT_EQ(PointOf(t, 4), (ToolPoint{c.Centre(), y4}));
    EXPECT_EQ(PointOf(t, 3), (ToolPoint{a.Centre() + c.Centre() - b.Centre(), y4}));
    EXPECT_EQ(PointOf(t, 5).x, a.Centre() + (c.Centre() - b.Centre()) / 2);
    EXPECT_EQ(PointOf(t, 6).x, b.Centre() + (c.Centre() - b.Centre()) / 2);
    EXPECT_EQ(PointOf(t, 5).y, y + (y4 - y) / 2);
}

ToolLineRecord Complete(std::int32_t type, ToolPoint p1, ToolPoint p2, ToolPoint p4) {
    ToolLineRecord r{};
    r.type = type;
    r.state = tool_state::Complete;
    SetPoint(r, 1, p1);
    SetPoint(r, 2, p2);
    SetPoint(r, 4, p4);
    return r;
}

// Lays a record out with its points 1, 2 and 4 as the anchors.
void Lay(ToolLineRecord& r) {
    CompleteTool(r, {PointOf(r, 1), PointOf(r, 2), PointOf(r, 4)}, 740);
}

TEST(ToolGeometryTest, DerivedPointsAreExactWithHalvesTruncatedTowardZero) {
    ToolLineRecord parallel = Complete(tool_type::Parallel, {100, 200}, {301, 200}, {250, 331});
    Lay(parallel);
    EXPECT_EQ(PointOf(parallel, 3), (ToolPoint{49, 331}));
    // (49 - 100) / 2 is -25, not -26.
    EXPECT_EQ(PointOf(parallel, 5), (ToolPoint{75, 265}));
    EXPECT_EQ(PointOf(parallel, 6), (ToolPoint{276, 265}));
    // The base line is horizontal: nothing moved.
    EXPECT_EQ(PointOf(parallel, 1), (ToolPoint{100, 200}));
    EXPECT_EQ(PointOf(parallel, 2), (ToolPoint{301, 200}));

    ToolLineRecord symmetric = Complete(tool_type::Symmetric, {100, 200}, {301, 200}, {250, 331});
    Lay(symmetric);
    EXPECT_EQ(PointOf(symmetric, 3), (ToolPoint{49, 331}));
    EXPECT_EQ(PointOf(symmetric, 5), (ToolPoint{151, 69}));
    EXPECT_EQ(PointOf(symmetric, 6), (ToolPoint{352, 69}));
    EXPECT_EQ(PointOf(symmetric, 7), (ToolPoint{-2, 462}));
    EXPECT_EQ(PointOf(symmetric, 8), (ToolPoint{199, 462}));
}

TEST(ToolGeometryTest, SlopedLinesReachBothEdgesOfThePlot) {
    ToolLineRecord line = Complete(tool_type::Straight, {100, 200}, {350, 107}, {});
    Lay(line);
    // k = 250 / -93: 200 + 37.2 and 107 - 145.08, truncated toward zero.
    EXPECT_EQ(PointOf(line, 1), (ToolPoint{0, 237}));
    EXPECT_EQ(PointOf(line, 2), (ToolPoint{740, -38}));
    // A straight line draws one line; points beyond it stay as they were.
    EXPECT_EQ(PointOf(line, 3), (ToolPoint{0, 0}));

    // All three lines of a sloped parallel tool with the base line's slope.
    ToolLineRecord parallel = Complete(tool_type::Parallel, {100, 300}, {300, 200}, {250, 300});
    Lay(parallel);
    for (int n : {1, 3, 5}) EXPECT_EQ(PointOf(parallel, n).x, 0) << n;
    for (int n : {2, 4, 6}) EXPECT_EQ(PointOf(parallel, n).x, 740) << n;
    EXPECT_EQ(PointOf(parallel, 1), (ToolPoint{0, 350}));
    EXPECT_EQ(PointOf(parallel, 2), (ToolPoint{740, -20}));
    // Point 3 was (50, 400): 400 + 25 at x = 0.
    EXPECT_EQ(PointOf(parallel, 3), (ToolPoint{0, 425}));
    EXPECT_EQ(PointOf(parallel, 4), (ToolPoint{740, 55}));
}

TEST(ToolGeometryTest, ALineWithoutWidthOrFarOutsideTheWindowNeverBreaksTheArithmetic) {
    // Both points in one column (a record from the server): left as it is.
    ToolLineRecord upright = Complete(tool_type::Symmetric, {100, 100}, {100, 300}, {200, 200});
    Lay(upright);
    EXPECT_EQ(PointOf(upright, 1), (ToolPoint{100, 100}));
    EXPECT_EQ(PointOf(upright, 2), (ToolPoint{100, 300}));
    EXPECT_EQ(PointOf(upright, 5), (ToolPoint{0, 200}));
    // Nearly upright with points at the far rows: held at a billion pixels.
    ToolLineRecord steep =
        Complete(tool_type::Symmetric, {100, -1000000000}, {101, 1000000000}, {150, 0});
    Lay(steep);
    EXPECT_EQ(PointOf(steep, 2).y, 1000000000);
    EXPECT_EQ(PointOf(steep, 7).y, -1000000000);
    EXPECT_EQ(PointOf(steep, 1).x, 0);
}

// The y of line (from, to) of a tool at x.
double LineY(const ToolLineRecord& t, ToolSegment s, int x) {
    return YAt(PointOf(t, s.from), PointOf(t, s.to), x);
}

TEST_F(ChartToolsTest, ADailyLineStaysOnTheBarsItWasDrawnOnAmongYearsOfLikeNamedBars) {
    // 600 daily bars named "MMDD0000" as the server names them, without the year: every recent
    // bar has a namesake a year older.
    chart.Reset(1, 1440);
    const std::chrono::sys_days newest = std::chrono::year{2026} / 11 / 30;
    for (int i = 599; i >= 0; --i) {
        BarRecord b = test::FinishedBar(i, 1000 + i, 1010 + i, 1100, 900);
        const std::chrono::year_month_day d{newest - std::chrono::days{599 - i}};
        std::snprintf(b.time, sizeof b.time, "%02u%02u0000", unsigned{d.month()},
                      unsigned{d.day()});
        b.keyNumber = int{d.year()};
        chart.AppendHistoryBar(b);
    }
    ASSERT_TRUE(chart.Layout());
    chart.SetZoom(100);
    ASSERT_TRUE(chart.Layout());
    input.SelectMode(ChartMode::StraightLine);
    Drag(Bar(8).Centre(), 200, Bar(2).Centre(), 300);
    ASSERT_EQ(Tools().size(), 1u);

    // Zoomed out until more than a year shows, and back: the line goes through its own bars.
    for (float zoom : {0.01f, 100.0f}) {
        chart.SetZoom(zoom);
        ASSERT_TRUE(chart.Layout());
        ASSERT_GT(chart.Geometry().size(), zoom < 1 ? 400u : 12u);
        const ToolLineRecord t = Tools()[0];
        EXPECT_NEAR(LineY(t, {1, 2}, Bar(8).Centre()), Scale().Y(t.price1), 1.5) << zoom;
        EXPECT_NEAR(LineY(t, {1, 2}, Bar(2).Centre()), Scale().Y(t.price2), 1.5) << zoom;
    }
}

TEST_F(ChartToolsTest, AChannelKeepsItsSlopeWhileItsAnchorsAreOutOfView) {
    // Every bar spans the same range, so that the scale stays as it is while the chart scrolls
    // and zooms.
    chart.Reset(1, 15);
    for (int i = 199; i >= 0; --i)
        chart.AppendHistoryBar(test::FinishedBar(i, 1000 + i, 1010 + i, 1100, 900));
    ASSERT_TRUE(chart.Layout());
    chart.SetZoom(100);
    chart.SetFirstVisible(20);
    ASSERT_TRUE(chart.Layout());
    // A rising channel on the bars at series index 30 and 26, its parallel through index 28.
    input.SelectMode(ChartMode::ParallelLines);
    Drag(Bar(10).Centre(), 300, Bar(6).Centre(), 200);
    input.LeftDown(Bar(8).Centre(), 380);
    ASSERT_EQ(Tools().size(), 1u);
    const ToolLineRecord drawn = Tools()[0];
    const double perBar = (drawn.price2 - drawn.price1) / 4.0;

    struct View {
        int first;
        float zoom;
    };
    // Anchors out at the left, out at the right, both zoomed out, and back where it was drawn.
    // The line's price at every bar stays on the drawn line, within the pixels lost to bars
    // centred on whole pixels.
    for (View v : {View{0, 100}, View{35, 100}, View{40, 8}, View{0, 8}, View{20, 100}}) {
        chart.SetZoom(v.zoom);
        chart.SetFirstVisible(v.first);
        ASSERT_TRUE(chart.Layout());
        const ToolLineRecord t = Tools()[0];
        const int shown = static_cast<int>(chart.Geometry().size());
        for (int g : {0, shown - 1}) {
            const int index = v.first + g;
            const int x = Bar(g).Centre();
            EXPECT_NEAR(LineY(t, {1, 2}, x),
                        Scale().Y(std::lround(drawn.price1 + perBar * (30 - index))), 4)
                << v.first << " " << v.zoom << " bar " << index;
            EXPECT_NEAR(LineY(t, {3, 4}, x),
                        Scale().Y(std::lround(drawn.price4 + perBar * (28 - index))), 4)
                << v.first << " " << v.zoom << " bar " << index;
        }
    }
    EXPECT_EQ(std::memcmp(Tools()[0].points, drawn.points, sizeof drawn.points), 0);
}

TEST_F(ChartToolsTest, ABaseLineInOnePixelColumnIsRefused) {
    input.SelectMode(ChartMode::StraightLine);
    const BarGeometry b = Bar(4);
    // A click without a move.
    input.LeftDown(b.Centre(), 200);
    input.LeftUp(b.Centre(), 200);
    EXPECT_EQ(drawing.DrawingLine().state, tool_state::Empty);
    // Two points in one bar: after the slide both sit at its centre.
    Drag(b.Centre() - 5, 200, b.Centre() + 5, 300);
    EXPECT_EQ(drawing.DrawingLine().state, tool_state::Empty);
    EXPECT_TRUE(bands.empty());

    input.SelectMode(ChartMode::SymmetricParallelLines);
    Drag(b.Centre() - 5, 200, b.Centre() + 5, 300);
    EXPECT_EQ(drawing.DrawingParallel().state, tool_state::Empty);
    // The next click starts a new base line instead of completing a tool.
    input.LeftDown(Bar(1).Centre(), 250);
    EXPECT_EQ(drawing.DrawingParallel().state, tool_state::FirstPoint);
    EXPECT_TRUE(Tools().empty());
}

TEST_F(ChartToolsTest, ClicksBesideTheBarsNeitherStartNorAdvanceATool) {
    input.SelectMode(ChartMode::StraightLine);
    input.LeftDown(3, 200);
    EXPECT_EQ(drawing.DrawingLine().state, tool_state::Empty);
    Drag(Bar(6).Centre(), 200, 790, 260);  // released right of the newest bar
    EXPECT_EQ(drawing.DrawingLine().state, tool_state::FirstPoint);
    EXPECT_TRUE(Tools().empty());
}

TEST_F(ChartToolsTest, LeavingAModeKeepsTheRecordInProgressForTheReturn) {
    const BarGeometry a = Bar(9), b = Bar(3), c = Bar(6);
    input.SelectMode(ChartMode::StraightLine);
    input.LeftDown(a.Centre(), 200);
    input.LeaveMode();
    input.MouseMove(b.Centre(), 300);  // mode 0: the tool does not follow
    EXPECT_TRUE(bands.empty());
    input.SelectMode(ChartMode::StraightLine);
    input.MouseMove(b.Centre(), 300);
    EXPECT_EQ(bands, (std::vector<BandLine>{{a.Centre(), 200, b.Centre(), 300}}));
    input.LeftUp(b.Centre(), 300);
    ASSERT_EQ(Tools().size(), 1u);
    EXPECT_EQ(Text(Tools()[0].time1), Time(a.raw));

    // A parallel record left waiting for its parallel point completes in the other parallel
    // mode, with that mode's type.
    input.SelectMode(ChartMode::ParallelLines);
    Drag(a.Centre(), 300, b.Centre(), 200);
    input.Key(ChartKey::Escape);
    EXPECT_EQ(view.Mode(), ChartMode::Default);
    input.SelectMode(ChartMode::SymmetricParallelLines);
    input.LeftDown(c.Centre(), 350);
    ASSERT_EQ(Tools().size(), 2u);
    EXPECT_EQ(Tools()[1].type, tool_type::Symmetric);
    EXPECT_EQ(Text(Tools()[1].time4), Time(c.raw));
}

TEST_F(ChartToolsTest, ARecordBegunOnAnotherChartStartsOver) {
    input.SelectMode(ChartMode::StraightLine);
    input.LeftDown(Bar(8).Centre(), 200);
    chart.Reset(2, 15);
    for (int i = 49; i >= 0; --i)
        chart.AppendHistoryBar(test::FinishedBar(i, 1000 + i, 1002 + i, 1005 + i, 995 + i, 2));
    ASSERT_TRUE(chart.Layout());
    input.SelectMode(ChartMode::StraightLine);
    input.MouseMove(Bar(1).Centre(), 300);
    input.LeftUp(Bar(1).Centre(), 300);
    EXPECT_TRUE(Tools().empty());
    EXPECT_TRUE(bands.empty());
}

// --- The store ---

void Put32(std::string& out, std::int32_t v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}

ToolLineRecord Stored(int instrument, int period, const char* time1) {
    ToolLineRecord r{};
    r.type = tool_type::Straight;
    r.instrument = instrument;
    r.period = period;
    std::memcpy(r.time1, time1, std::strlen(time1));
    std::memcpy(r.time2, "00000049", 8);
    r.price1 = 1040;
    r.price2 = 1050;
    return r;
}

std::string ToolList(const std::vector<ToolLineRecord>& tools) {
    std::string out;
    Put32(out, static_cast<std::int32_t>(tools.size()));
    for (const ToolLineRecord& t : tools) out.append(reinterpret_cast<const char*>(&t), sizeof t);
    return out;
}

// A request port that records every request (its header and what followed it) and answers
// each connection with the next scripted answer; "" closes without a word.
struct ToolServer {
    explicit ToolServer(std::vector<std::string> answers)
        : answers(std::move(answers)), server([this](Socket& peer, int index) {
              RequestHeader h;
              if (!ScriptServer::ReadHeader(peer, h)) return;
              std::string payload;
              if (h.command == cmd::StoreTool || h.command == cmd::DeleteTools) {
                  payload.resize(sizeof(ToolLineRecord));
                  if (ReceiveExact(peer, payload.data(), static_cast<int>(payload.size())) !=
                      static_cast<int>(payload.size()))
                      return;
              }
              {
                  std::lock_guard lock(mutex);
                  commands.push_back(h.command);
                  payloads.push_back(payload);
              }
              const std::size_t i = static_cast<std::size_t>(index);
              if (i < this->answers.size() && !this->answers[i].empty())
                  peer.Send(this->answers[i].data(), this->answers[i].size());
          }) {
        server.UseAsRequestPort();
    }
    std::vector<int> Commands() {
        std::lock_guard lock(mutex);
        return commands;
    }
    std::vector<std::string> Payloads() {
        std::lock_guard lock(mutex);
        return payloads;
    }

    std::vector<std::string> answers;
    std::mutex mutex;
    std::vector<int> commands;  // mutex
    std::vector<std::string> payloads;
    ScriptServer server;
};

TEST(ToolStoreTest, LoadsOnceAndHandsEachChartItsOwnTools) {
    ToolServer server({ToolList(
        {Stored(1, 15, "00000040"), Stored(1, 30, "00000041"), Stored(2, 15, "00000042")})});
    ToolStore store;
    std::vector<ToolLineRecord> out{ToolLineRecord{}};
    store.Load(1, 15, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Text(out[0].time1), "00000040");
    // Whatever state the server sent back, a stored tool is complete.
    EXPECT_EQ(out[0].state, tool_state::Complete);
    EXPECT_TRUE(store.Loaded());
    EXPECT_EQ(server.Commands(), std::vector<int>{cmd::LoadTools});

    store.Load(1, 30, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Text(out[0].time1), "00000041");
    store.Load(3, 15, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(server.server.Connections(), 1);
}

TEST(ToolStoreTest, AFailedOrBrokenLoadIsTriedAgainAtTheNextReset) {
    std::string cut = ToolList({Stored(1, 15, "00000040"), Stored(1, 15, "00000041")});
    cut.resize(cut.size() - 10);
    ToolServer server({"", cut, ToolList({Stored(1, 15, "00000043")})});
    ToolStore store;
    KLineData chart;
    InstallToolLines(chart.hooks, &store);
    auto tools = [&] { return chart.WithTools([](std::vector<ToolLineRecord>& t) { return t; }); };

    chart.Reset(1, 15);  // closed without an answer
    ASSERT_TRUE(test::OperationsDone());
    EXPECT_TRUE(tools().empty());
    EXPECT_FALSE(store.Loaded());
    chart.Reset(1, 15);  // cut inside the second record: the first one shows
    ASSERT_TRUE(test::OperationsDone());
    ASSERT_EQ(tools().size(), 1u);
    EXPECT_EQ(Text(tools()[0].time1), "00000040");
    EXPECT_FALSE(store.Loaded());
    chart.Reset(1, 15);
    ASSERT_TRUE(test::OperationsDone());
    ASSERT_EQ(tools().size(), 1u);
    EXPECT_EQ(Text(tools()[0].time1), "00000043");
    EXPECT_TRUE(store.Loaded());
    EXPECT_EQ(server.server.Connections(), 3);
}

TEST(ToolStoreTest, AResetDoesNotWaitForTheServerAndTakesOnlyItsOwnChartsTools) {
    std::atomic<bool> answer{false};
    const std::string list = ToolList({Stored(1, 15, "00000040"), Stored(2, 15, "00000041")});
    ScriptServer server([&](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h)) return;
        while (!answer) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        peer.Send(list.data(), list.size());
    });
    server.UseAsRequestPort();
    ToolStore store;
    KLineData chart;
    InstallToolLines(chart.hooks, &store);
    auto tools = [&] { return chart.WithTools([](std::vector<ToolLineRecord>& t) { return t; }); };

    // Both resets return while the server keeps the list; the first one's tools come too late
    // for a chart that has moved on.
    chart.Reset(1, 15);
    chart.Reset(2, 15);
    EXPECT_TRUE(tools().empty());
    answer = true;
    ASSERT_TRUE(test::OperationsDone());
    ASSERT_EQ(tools().size(), 1u);
    EXPECT_EQ(Text(tools()[0].time1), "00000041");
    EXPECT_EQ(server.Connections(), 1);
}

TEST(ToolStoreTest, SaveSendsTheWholeRecordAndKeepsWhatTheServerStored) {
    ToolServer server({ToolList({}), std::string(1, '\1'), std::string(1, '\0')});
    ToolStore store;
    std::vector<ToolLineRecord> out;
    store.Load(1, 15, out);

    ToolLineRecord t = Stored(1, 15, "00000045");
    t.state = tool_state::Complete;
    t.points[0] = 123;
    EXPECT_TRUE(store.Save(t));
    ASSERT_EQ(server.Commands().size(), 2u);
    EXPECT_EQ(server.Commands()[1], cmd::StoreTool);
    EXPECT_EQ(server.Payloads()[1], std::string(reinterpret_cast<const char*>(&t), sizeof t));
    ASSERT_EQ(store.Records().size(), 1u);

    // Answered 0: not stored on the server, so not in the list either.
    EXPECT_FALSE(store.Save(Stored(1, 15, "00000046")));
    EXPECT_EQ(store.Records().size(), 1u);
    store.Load(1, 15, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Text(out[0].time1), "00000045");
}

TEST(ToolStoreTest, DeleteNamesTheChartAndRemovesOnlyItsTools) {
    ToolServer server({ToolList({Stored(1, 15, "00000040"), Stored(1, 30, "00000041"),
                                 Stored(1, 15, "00000042")}),
                       std::string(1, '\0'), std::string(1, '\1')});
    ToolStore store;
    std::vector<ToolLineRecord> out;
    store.Load(1, 15, out);
    ASSERT_EQ(out.size(), 2u);

    EXPECT_FALSE(store.Delete(1, 15));  // refused: nothing leaves the list
    EXPECT_EQ(store.Records().size(), 3u);
    EXPECT_TRUE(store.Delete(1, 15));
    ASSERT_EQ(store.Records().size(), 1u);
    EXPECT_EQ(store.Records()[0].period, 30);

    ToolLineRecord expected{};
    expected.instrument = 1;
    expected.period = 15;
    ASSERT_EQ(server.Payloads().size(), 3u);
    EXPECT_EQ(server.Commands()[2], cmd::DeleteTools);
    EXPECT_EQ(server.Payloads()[2],
              std::string(reinterpret_cast<const char*>(&expected), sizeof expected));
}

TEST_F(ChartToolsTest, AFailedSaveKeepsTheToolOnTheChartUntilTheNextReset) {
    ToolStore store;
    {
        ToolServer server({ToolList({})});
        std::vector<ToolLineRecord> none;
        store.Load(1, 15, none);
    }
    drawing.SetStore(&store);  // the request port is closed now
    InstallToolLines(chart.hooks, &store);
    input.SelectMode(ChartMode::StraightLine);
    Drag(Bar(7).Centre(), 200, Bar(2).Centre(), 300);
    EXPECT_EQ(Tools().size(), 1u);
    ASSERT_TRUE(test::OperationsDone());
    EXPECT_TRUE(store.Records().empty());

    FillChart(chart, 50);
    EXPECT_TRUE(Tools().empty());
}

TEST_F(ChartToolsTest, ClearingWhileTheServerIsAwayEmptiesTheChartButNotTheStore) {
    ToolStore store;
    InstallToolLines(chart.hooks, &store);
    {
        ToolServer server({ToolList({Stored(1, 15, "00000045"), Stored(1, 15, "00000047")})});
        FillChart(chart, 50);
        ASSERT_TRUE(test::OperationsDone());
    }
    ASSERT_TRUE(chart.Layout());
    ASSERT_EQ(Tools().size(), 2u);

    ClearTools(chart, &store);
    EXPECT_TRUE(Tools().empty());
    ASSERT_TRUE(test::OperationsDone());
    EXPECT_EQ(store.Records().size(), 2u);
    FillChart(chart, 50);
    EXPECT_EQ(Tools().size(), 2u);

    // With the server there, they are gone for good.
    ToolServer server({std::string(1, '\1')});
    ClearTools(chart, &store);
    ASSERT_TRUE(test::OperationsDone());
    EXPECT_TRUE(store.Records().empty());
    EXPECT_EQ(server.Commands(), std::vector<int>{cmd::DeleteTools});
    FillChart(chart, 50);
    EXPECT_TRUE(Tools().empty());
}

}  // namespace
}  // namespace zq
