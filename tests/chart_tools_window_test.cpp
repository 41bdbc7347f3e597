// The drawing tools in the chart window: lines drawn with the mouse are painted in the tool
// colour; the rubber bands are XORed into the window, survive repaints while the tool mode
// lasts and leave no trace.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "chart/tool_lines.h"
#include "chart/ui/chart_painter.h"
#include "chart/ui/ckmain.h"
#include "tests/market_fixtures.h"
#include "tests/support/mouse_events.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

using test::DragWithLeftButton;
using test::SendMouse;

class ChartToolsWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetUi(&bridge);
        test::FillChart(data, 60);
        chart.resize(800, 600);
        chart.InstallDataHooks();
        chart.show();
        ASSERT_TRUE(data.Layout());
        data.SetZoom(100);  // 13 bars, 53 pixels apart
        ASSERT_TRUE(data.Layout());
        clean = Fresh();
    }
    void TearDown() override { SetUi(nullptr); }

    BarGeometry Bar(int i) const { return data.Geometry()[static_cast<std::size_t>(i)]; }
    QImage Fresh() {
        chart.InvalidateAll();
        return chart.Render().copy();
    }
    // Whether column x holds a pixel of `colour` within a row of y.
    static bool InkNear(const QImage& image, int x, double y, QRgb colour) {
        for (int dy = -1; dy <= 1; ++dy) {
            const int row = static_cast<int>(std::lround(y)) + dy;
            if (row >= 0 && row < image.height() && image.pixel(x, row) == colour) return true;
        }
        return false;
    }

    QtBridge bridge;
    KLineData data;
    CKMain chart{data, nullptr, [] {}, [](int) {}};
    QImage clean;
};

TEST_F(ChartToolsWindowTest, ALineDrawnWithTheMouseIsPaintedAcrossThePlot) {
    chart.SelectMode(ChartMode::StraightLine);
    const QPoint from(Bar(10).Centre(), 300), to(Bar(2).Centre(), 220);
    DragWithLeftButton(chart, from, to);

    std::vector<ToolLineRecord> tools =
        data.WithTools([](std::vector<ToolLineRecord>& t) { return t; });
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_TRUE(chart.Bands().empty());
    const QImage image = chart.Render().copy();
    // Painted afresh: no rubber band is left in the window.
    EXPECT_EQ(image, Fresh());

    const ToolPoint a = PointOf(tools[0], 1), b = PointOf(tools[0], 2);
    ASSERT_EQ(a.x, 0);
    ASSERT_EQ(b.x, 740);
    // In the margins left of the bars and between the last bar and the plot's edge, where
    // nothing else is drawn, and over the bars.
    for (int x : {2, 8, 720, 735, Bar(6).Centre()}) {
        const double y = a.y + static_cast<double>(b.y - a.y) * x / 740;
        EXPECT_TRUE(InkNear(image, x, y, chart_color::Tool)) << x;
        EXPECT_FALSE(InkNear(clean, x, y, chart_color::Tool)) << x;
    }
    // Nothing right of the plot's edge.
    EXPECT_EQ(image.copy(745, 0, 55, 600), clean.copy(745, 0, 55, 600));
}

TEST_F(ChartToolsWindowTest, RubberBandsAreXoredUntilTheModeIsLeft) {
    chart.SelectMode(ChartMode::StraightLine);
    const int x1 = Bar(9).Centre();
    SendMouse(chart, QEvent::MouseButtonPress, {x1, 300}, Qt::LeftButton);
    SendMouse(chart, QEvent::MouseMove, {x1 + 200, 300});
    QImage banded = chart.Render().copy();
    EXPECT_EQ(banded.pixel(x1 + 100, 300) ^ clean.pixel(x1 + 100, 300), chart_color::Cross);

    // The band follows the mouse: the old one is erased.
    SendMouse(chart, QEvent::MouseMove, {x1 + 200, 400});
    banded = chart.Render().copy();
    EXPECT_EQ(banded.pixel(x1 + 150, 300), clean.pixel(x1 + 150, 300));
    EXPECT_EQ(banded.pixel(x1 + 100, 350) ^ clean.pixel(x1 + 100, 350), chart_color::Cross);
    // A repaint of the chart (a live bar, say) keeps it.
    EXPECT_EQ(Fresh(), banded);

    // Escape leaves the mode: the band goes, the line in progress stays for the return.
    chart.OnKey(ChartKey::Escape);
    EXPECT_EQ(chart.Render(), clean);
    EXPECT_EQ(chart.Drawing().DrawingLine().state, tool_state::FirstPoint);
}

}  // namespace
}  // namespace zq
