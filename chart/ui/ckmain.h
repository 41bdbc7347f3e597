// The K-line chart window. It paints the chart from the layout's geometry into an off-screen
// image kept at its size and copies that to the screen in one block; the cross cursor lives in
// the image as an XOR mark that is moved without repainting the chart. Mouse and keys follow
// the rules of ChartInput; the context-menu commands go to the main frame.
//
// The view creates it beside the left panel:
//
//   auto* tips = new CLeftTips(data, this);
//   auto* chart = new CKMain(data, tips, [this] { FetchOlderHistory(); },
//                            [frame](int command) { frame->OnCommand(command); }, this);
//   chart->InstallDataHooks();  // before the links start feeding the chart
//   chart->SetTradingModel(&model);  // positions and orders, likewise before the links start
//
// and forwards Escape and the arrow keys to OnKey.
//
// The chart's hooks run on whatever thread feeds or lays out the chart; they reach the window
// only by posting window messages to it (WM_CHART_INVALIDATE, WM_CHART_CROSS), which the
// window handles on its own thread. Posts to a window that is gone are dropped.
#pragma once

#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "chart/chart_input.h"
#include "chart/overlay_layout.h"
#include "chart/tool_lines.h"
#include "chart/ui/chart_painter.h"
#include "market/bar_series.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {

class CLeftTips;
class ToolStore;
class TradingModel;

class CKMain : public QWidget, public MessageWindow {
    Q_OBJECT
  public:
    // `leftPanel` may be null (no price scale or data window). `fetchOlderHistory` runs on
    // Left and Down before the chart handles the key; `command` receives the commands of the
    // context menus.
    CKMain(KLineData& data, CLeftTips* leftPanel, std::function<void()> fetchOlderHistory,
           std::function<void(int command)> command, QWidget* parent = nullptr);
    ~CKMain() override;

    // Points the chart's invalidation, data-window, price-scale and cross hooks at this window
    // and its left panel. They may then be called from any thread. Call once, before the chart
    // is shared with the worker threads.
    void InstallDataHooks();

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }
    // The chart's data.
    KLineData& Data() { return data_; }
    // The chart's mode and drag start (the window thread's own state beside the data).
    const ChartView& View() const { return view_; }
    CLeftTips* LeftPanel() const;

    // Painters of the overlays and drawing tools (called in the chart's painting order).
    ChartPaintHooks& PaintHooks() { return painter_.hooks; }
    // The open positions and pending orders of `model` (which outlives the chart) on the
    // chart: their rows in every layout, their lines and labels in every paint, and a right
    // click on a label opens the position or order menu with that record selected on the
    // chart. Null takes them off. Like InstallDataHooks, call before the chart is shared with
    // the worker threads.
    void SetTradingModel(TradingModel* model);
    // The position and the pending order the context menus last selected (kept until another
    // right click on a label replaces them), for the menus' commands.
    std::optional<PositionRecord> SelectedPosition() const;
    std::optional<PendingOrderRecord> SelectedOrder() const;
    // The positions and orders on the chart as the last layout placed and the last paint
    // labelled them.
    const TradeOverlays& Trades() const { return tradeOverlays_; }
    TradeOverlays& Trades() { return tradeOverlays_; }
    // The chart's own tool drawing, with the tools being drawn.
    const ToolDrawing& Drawing() const { return toolDrawing_; }
    // The position and pending-order hit test and the selection of the hit item (SetTradingModel
    // sets both).
    void SetHitTest(std::function<ChartHit(int x, int y)> hitTest,
                    std::function<void(const ChartHit&)> selectHit);
    // Mouse events of the drawing-tool modes 3, 4 and 5 (the chart's own tool drawing unless
    // replaced).
    void SetToolMouse(std::function<void(ToolMouse event, int x, int y)> toolMouse);
    // The store that loads the tools at every reset and keeps those drawn here (null: none;
    // drawn tools then last until the next reset). Like InstallDataHooks, call before the
    // chart is shared with the worker threads.
    void SetToolStore(ToolStore* store);
    // The clear command: the tools of the chart's instrument and period go from the chart,
    // the store and the server; the chart is laid out and repainted.
    void ClearTools();
    // Opens a context menu at a global position and returns the chosen command, 0 for none.
    // A QMenu by default; tests put their own.
    std::function<int(const std::vector<ChartMenuItem>& items, const QPoint& global)> runMenu;

    // Escape and the arrow keys as the view forwards them.
    void OnKey(ChartKey key);
    // The chart key of a Qt key code; false for keys the chart does not take.
    static bool ToChartKey(int qtKey, ChartKey& key);
    // The mode commands of the main frame.
    void SelectMode(ChartMode mode);
    void LeaveMode();
    // After the chart data was reset for a new instrument or period: no data window, a full
    // repaint.
    void OnChartReset();

    // Repaint the whole chart, or the band around a live bar (the window's thread; other
    // threads go through the chart's hooks).
    void InvalidateAll();
    void InvalidateBand(const PixelRect& band);
    // The rubber bands of the tool being drawn, XORed into the window: the ones shown before
    // are erased, these drawn. They stay through repaints until replaced, or until the chart
    // leaves the tool modes.
    void SetBands(const std::vector<BandLine>& bands);
    const std::vector<BandLine>& Bands() const { return bands_; }

    // The off-screen image, painted up to date.
    const QImage& Render();
    // Where the cross is drawn in the image ((0, 0): nowhere).
    QPoint DrawnCross() const { return {drawnX_, drawnY_}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void EnsureImage();
    void PaintContent();
    // Moves the XOR cross in the image to where the chart state has it.
    void SyncCross();
    // After a layout moved the cross: the cross, the data window's bar and the price scale
    // from the chart's state.
    void OnLayoutCross();
    void UpdateCursor();
    void OpenMenu(ChartMenu menu, const QPoint& global);

    KLineData& data_;
    QPointer<CLeftTips> leftPanel_;
    std::function<void(int)> command_;
    ChartView view_;  // the mode and the drag, the window's own
    ChartInputEffects fx_;
    ChartInput input_;
    ChartPainter painter_;
    ToolDrawingEffects toolFx_;
    ToolDrawing toolDrawing_;
    ToolStore* toolStore_ = nullptr;
    std::vector<BandLine> bands_;  // XORed into the image
    QString watermark_;
    TradingModel* model_ = nullptr;
    TradeOverlays tradeOverlays_;  // positions and orders on the chart, and the selection
    OverlayHit lastHit_;           // of the latest right click, selected when its menu opens

    QImage image_;
    QRegion contentDirty_;  // parts of the image that no longer show the chart
    int drawnX_ = 0;
    int drawnY_ = 0;
};

}  // namespace zq
