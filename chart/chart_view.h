// The chart window's own state beside the series: the mode the member chose with the mouse, a
// key or a command, and where a drag of the K-line began. The cross and the selected bar stay
// with the layout (market/series_layout.h), which places them on their bar under the lock that
// guards the geometry; the drawing tools' points being drawn stay with ToolDrawing
// (tool_lines.h).
//
// The chart window (CKMain) owns one and hands it to its mouse and key rules (ChartInput) and
// to the drawing tools (ToolDrawing). Only the window thread reads or changes it, so it has no
// lock. A new instrument or period (CKMain::OnChartReset) returns it to its start.
#pragma once

#include <cstdint>

namespace zq {

enum class ChartMode : std::int32_t {
    Default = 0,
    Cross = 1,
    MoveKLine = 2,
    StraightLine = 3,
    ParallelLines = 4,
    SymmetricParallelLines = 5,
};

class ChartView {
  public:
    ChartMode Mode() const { return mode_; }
    void SetMode(ChartMode mode) { mode_ = mode; }

    // Where the mouse went down, or last moved the K-line, in the drag mode.
    void SetDragStart(int x, int y) {
        dragX_ = x;
        dragY_ = y;
    }
    int DragX() const { return dragX_; }
    int DragY() const { return dragY_; }

    // The default mode, no drag.
    void Reset() { *this = ChartView{}; }

  private:
    ChartMode mode_ = ChartMode::Default;
    int dragX_ = 0;
    int dragY_ = 0;
};

}  // namespace zq
