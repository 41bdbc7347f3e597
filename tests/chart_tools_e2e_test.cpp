// Drawing tools against the stand-in server: a line drawn with the mouse in the real chart
// window is stored for the member, comes back when the program starts again, and the clear
// command removes it for good.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/client_core.h"
#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "chart/tool_lines.h"
#include "chart/ui/ckmain.h"
#include "tests/support/client_e2e.h"
#include "tests/support/mouse_events.h"
#include "widgets/command_ids.h"

namespace zq {
namespace {

using test::ServeUntil;

class ChartToolsEndToEnd : public test::ClientEndToEnd {
  protected:
    KLineData& Chart() { return frame_->View()->Links().Chart(); }
    std::vector<ToolLineRecord> Tools() {
        return Chart().WithTools([](std::vector<ToolLineRecord>& t) { return t; });
    }
    // A new copy of the program on the same data directory and server.
    void StartAgain() {
        app_.reset();
        frame_ = nullptr;
        test::LogInWhenTheDialogShows(Member(), Member(), kCode);
        app_ = std::make_unique<CTQDiraveApp>(QStringLiteral("zq-tools-e2e-%1").arg(::getpid()));
        ASSERT_TRUE(app_->InitInstance());
        frame_ = app_->MainFrame();
        ASSERT_TRUE(ServeUntil([&] { return frame_->View()->Links().HistoryLoaded(); }, kWaitMs));
    }
};

TEST_F(ChartToolsEndToEnd, ALineDrawnWithTheMouseOutlivesTheProgramUntilCleared) {
    ASSERT_TRUE(ServeUntil([&] { return Chart().Geometry().size() >= 10; }, kWaitMs));
    CKMain* window = frame_->View()->ChartWindow();
    frame_->OnCommand(cmdid::ModeStraightLine);
    ASSERT_EQ(window->View().Mode(), ChartMode::StraightLine);

    const std::vector<BarGeometry> bars = Chart().Geometry();
    test::DragWithLeftButton(*window, {bars[8].Centre(), 300}, {bars[2].Centre(), 200});
    const std::vector<ToolLineRecord> drawn = Tools();
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_TRUE(Logged({45})) << server_.Log();
    EXPECT_EQ(frame_->Core().Tools().Records().size(),
              1u);  // the server answered that it stored it
    EXPECT_TRUE(ui_.BoxTexts().empty());

    StartAgain();
    std::vector<ToolLineRecord> loaded = Tools();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].type, tool_type::Straight);
    EXPECT_EQ(loaded[0].state, tool_state::Complete);
    EXPECT_EQ(loaded[0].instrument, drawn[0].instrument);
    EXPECT_EQ(loaded[0].period, drawn[0].period);
    EXPECT_EQ(AnchorText(loaded[0].time1), AnchorText(drawn[0].time1));
    EXPECT_EQ(AnchorText(loaded[0].time2), AnchorText(drawn[0].time2));
    EXPECT_EQ(loaded[0].price1, drawn[0].price1);
    EXPECT_EQ(loaded[0].price2, drawn[0].price2);

    frame_->OnCommand(cmdid::ClearTools);
    EXPECT_TRUE(Tools().empty());
    EXPECT_TRUE(Logged({47})) << server_.Log();
    EXPECT_TRUE(frame_->Core().Tools().Records().empty());

    StartAgain();
    EXPECT_TRUE(frame_->Core().Tools().Loaded());
    EXPECT_TRUE(Tools().empty());
}

}  // namespace
}  // namespace zq
