// The chart's mouse and keyboard rules, without a window: the modes, the cross cursor that
// snaps to bars, the drag of the K-line, scrolling and zooming with the arrow keys, and the
// right-click hit test that picks one of three context menus.
//
// The window (CKMain) turns its events into these calls and does what the rules ask of it
// through ChartInputEffects: repaint, move the XOR cross in its image, show or hide the data
// window, fetch older history, open a menu. Every call runs on the user-interface thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "chart/chart_view.h"
#include "market/bar_series.h"
#include "market/wire/bar_record.h"

namespace zq {

// Keys the main view forwards to the chart, with their virtual-key codes.
enum class ChartKey { Escape = 27, Left = 37, Up = 38, Right = 39, Down = 40 };

// What a right click landed on.
enum class ChartHitKind { None, Position, PendingOrder };
struct ChartHit {
    ChartHitKind kind = ChartHitKind::None;
    std::string id;  // the position's ticket or the pending order's number
};

// The three context menus.
enum class ChartMenu { Position, PendingOrder, TradeReport };
struct ChartMenuItem {
    const char* text;  // UTF-8
    int command;
};
std::vector<ChartMenuItem> ChartMenuItems(ChartMenu menu);

// Mouse events handed to the drawing tools in modes 3, 4 and 5.
enum class ToolMouse { Down, Move, Up };

// Clicks and moves in the top strip of the chart (the caption) do not start or move the cross.
constexpr int kCaptionStrip = 20;

struct ChartInputEffects {
    // Repaint the whole chart.
    std::function<void()> invalidate;
    // Bring the XOR cross in the window to where the chart state has it now (erasing it where
    // it was drawn before).
    std::function<void()> syncCross;
    // The left panel's data-window flag.
    std::function<void(bool visible)> showDataWindow;
    // The bar under the cross and the y at which its value row is read.
    std::function<void(float y, const BarRecord& bar)> dataWindow;
    // Left and Down first ask the view for older history (it decides whether a transfer runs).
    std::function<void()> fetchOlderHistory;
    // Positions first, then pending orders, whose label rectangle holds the point. Empty
    // until the overlays exist: every right click then opens the trade report menu.
    std::function<ChartHit(int x, int y)> hitTest;
    // Stores the hit position or order in the main frame as the selected one; called before
    // the menu opens.
    std::function<void(const ChartHit& hit)> selectHit;
    // Mouse events of the drawing-tool modes.
    std::function<void(ToolMouse event, int x, int y)> toolMouse;
};

class ChartInput {
  public:
    ChartInput(KLineData& data, ChartView& view, ChartInputEffects& effects)
        : data_(data), view_(view), fx_(effects) {}

    void LeftDown(int x, int y);
    void LeftUp(int x, int y);
    void MouseMove(int x, int y);
    void MouseLeave();
    // Leaves the mode, then hit-tests; returns the menu to open at the point.
    ChartMenu RightDown(int x, int y);
    void Key(ChartKey key);
    // The window changed size: no cross, the default mode, no data window.
    void Resized();

    // Escape, right click and the default-mode command: the cross goes, the data window
    // hides, the chart repaints and the mode returns to 0.
    void LeaveMode();
    // The mode commands of the main frame. Entering the cross mode shows the data window;
    // entering modes 2 to 5 hides it but leaves a cross that is shown where it is.
    void SelectMode(ChartMode mode);

    // Vertical offset after a drag by dy, held within +-(height - 60).
    static int DraggedOffset(int offset, int dy, int clientHeight);
    // Bars a horizontal drag by dx moves: whole body widths, at most `geometryCount`.
    static int DraggedBars(int dx, float body, int geometryCount);

  private:
    void Call(const std::function<void()>& f) {
        if (f) f();
    }
    void MoveCrossToBar(int index);
    void ScrollOlder();
    void ScrollNewer();
    void Zoom(float factor);

    KLineData& data_;
    ChartView& view_;
    ChartInputEffects& fx_;
};

}  // namespace zq
