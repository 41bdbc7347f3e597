// The drawing tools on the chart, without a window: the mouse sequences that draw a straight
// line (mode 3), parallel lines (mode 4) and symmetric parallel lines (mode 5); the anchoring of
// each complete tool to its bars at every layout, the points derived from the anchors and the
// extension of the lines over the plot; the clear command.
//
// A tool point is anchored to a bar by the bar's time text and to a price. While it is drawn,
// the record keeps each click's pixel and its x offset from the centre of its bar; once its
// base line is placed, both points slide along the line to their bars' centres and take the
// prices at their y. Every layout then puts each anchor at the centre of its bar and at the y
// of its price, and derives the drawn points from the anchors alone. The bar is the newest one
// with the anchor's time text (the server's daily bars repeat their names every year), found
// in the whole series: a bar out of view is placed from its index beyond the plot's edge, so a
// line keeps its slope under any scroll or zoom. A tool with an anchor whose bar the series
// does not hold (a live bar that has since closed) stays where the last layout drew it.
//
// A base line whose two points fall in one pixel column (both in one bar, or a click without a
// move) has no slope to slide or extend along: it is refused and its record starts over.
//
// Threads. The mouse sequences and the clear command run on the user-interface thread (the
// in-progress records of KLineData are theirs alone); the layout steps run inside the chart's
// layout on whichever thread lays it out, under the tool lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chart/chart_input.h"
#include "chart/chart_view.h"
#include "market/bar_geometry.h"
#include "market/bar_series.h"
#include "market/wire/tool_record.h"

namespace zq {

class ToolStore;

struct ToolPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const ToolPoint&, const ToolPoint&) = default;
};

// Modes 3, 4 and 5.
bool IsToolMode(ChartMode mode);

// Pixel point n (1..8) of a record.
ToolPoint PointOf(const ToolLineRecord& r, int n);
void SetPoint(ToolLineRecord& r, int n, ToolPoint p);

// An anchor's time text: the bytes before the first NUL of its 9-byte field.
std::string_view AnchorText(const char (&field)[9]);

// The lines a complete tool draws, as pairs of point numbers: 1-2 for a straight line; 1-2,
// 3-4 and 5-6 for parallel lines; 1-2, 3-4, 5-6 and 7-8 for symmetric parallel lines. None for
// a record that is not complete or of no known type.
struct ToolSegment {
    int from;
    int to;
};
std::vector<ToolSegment> ToolSegments(const ToolLineRecord& r);

// --- Layout ---

// The time texts of the complete tools' anchors: 1 and 2, and 4 of the parallel tools.
void ToolAnchorTimes(const std::vector<ToolLineRecord>& tools, std::vector<std::string>& times);

// One anchor at one layout: its pixel, and the y of its price before truncation, from which
// the lines are extended (a pixel's truncation, carried over a long extension, would tilt them).
struct ToolAnchor {
    ToolAnchor() = default;
    ToolAnchor(ToolPoint p) : pixel(p), y(p.y) {}  // NOLINT: a pixel is an exact anchor
    ToolAnchor(ToolPoint p, double exactY) : pixel(p), y(exactY) {}
    ToolPoint pixel;
    double y = 0;
};
// The anchors of a tool (points 1, 2 and 4).
struct ToolAnchors {
    ToolAnchor p1;
    ToolAnchor p2;
    ToolAnchor p4;
};
// Where the anchors of a complete tool lie at this layout; nothing when the series holds no
// bar of one of them.
std::optional<ToolAnchors> PlaceAnchors(const ToolLineRecord& r, const LayoutContext& ctx);

// The drawn points of one complete tool from its anchors: the anchors, the derived points and
// the extension of its lines from x = 0 to the plot's right edge `plotRight` (only for a
// sloped base line).
void CompleteTool(ToolLineRecord& r, const ToolAnchors& a, int plotRight);
void CompleteTools(std::vector<ToolLineRecord>& tools, const LayoutContext& ctx);

// Points the chart's tool hooks at the steps above and, with a store, the reload of every
// reset at the store's LoadLater (without one a reset leaves the chart without tools): until
// the store holds the list, the tools come when the server has answered, off the window thread
// and outside every chart lock. Call before the chart is shared with the worker threads.
void InstallToolLines(KLineHooks& hooks, ToolStore* store);

// The clear command: the chart's tools go, the store and the server are asked (without
// waiting) to delete those of the chart's instrument and period, and the chart is laid out
// again. The caller repaints.
void ClearTools(KLineData& data, ToolStore* store);

// --- Drawing ---

// A rubber band, drawn with the XOR pen of the cross.
struct BandLine {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
    friend bool operator==(const BandLine&, const BandLine&) = default;
};

struct ToolDrawingEffects {
    // The rubber bands shown from now on (the window takes away those shown before).
    std::function<void(const std::vector<BandLine>& bands)> bands;
    // Repaint the whole chart.
    std::function<void()> invalidate;
};

class ToolDrawing {
  public:
    // `store` may be null: completed tools then stay on the chart for this run only.
    ToolDrawing(KLineData& data, const ChartView& view, ToolDrawingEffects& effects,
                ToolStore* store = nullptr)
        : data_(data), view_(view), fx_(effects), store_(store) {}
    void SetStore(ToolStore* store) { store_ = store; }

    // A mouse event in the chart's current mode; nothing outside modes 3 to 5.
    void Mouse(ToolMouse event, int x, int y);

    // The two tools being drawn: the straight line, and the one shared by the parallel tools.
    // A record begun on another instrument or period starts over at the next mouse event.
    const ToolLineRecord& DrawingLine() const { return line_; }
    const ToolLineRecord& DrawingParallel() const { return parallel_; }

  private:
    struct BarHit {
        bool found = false;
        int offset = 0;  // x minus the bar's centre
        char time[9] = {};
        PriceScale scale;
    };
    BarHit HitBar(int x) const;

    void FirstPoint(ToolLineRecord& r, int x, int y);
    // The base line's second point, the swap, the slide to the bars' centres and the anchor
    // prices. False while the record stays in state 1 (no bar under x) and when the line is
    // refused (state 0).
    bool BaseLine(ToolLineRecord& r, int x, int y);
    void ParallelPoint(ToolLineRecord& r, int x, int y, ChartMode mode);
    // Into the chart's list, to the store, laid out, repainted.
    void Complete(ToolLineRecord& r);
    // A record begun on another instrument or period starts over.
    void Forget(ToolLineRecord& r);
    void ShowBands(const std::vector<BandLine>& bands);

    KLineData& data_;
    const ChartView& view_;
    ToolDrawingEffects& fx_;
    ToolStore* store_ = nullptr;
    // Touched by the user-interface thread only.
    ToolLineRecord line_{};
    ToolLineRecord parallel_{};
};

}  // namespace zq
