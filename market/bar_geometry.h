// Pixel geometry of the K-line chart: the plot rectangle, bar widths and zoom clamps, the
// visible range, the vertical scale, price <-> y and bar slot <-> x, the grid's row height.
// Plain arithmetic; the chart's layout uses it in its steps (SeriesLayout::Run).
#pragma once

#include <cstdint>
#include <vector>

#include "market/wire/bar_record.h"

namespace zq {

// Margins of the plot inside the chart's client area.
constexpr int kPlotLeft = 10;
constexpr int kPlotTop = 35;
constexpr int kPlotRightMargin = 60;  // 50 for the live price text, 10 of border
constexpr int kPlotBottomMargin = 35;

// Below this client width (or at height 0) a layout keeps the previous geometry.
constexpr int kMinChartWidth = 50;

// Bar step clamps (pixels from one bar to the next) and the bar count a first layout fits.
constexpr float kMinStep = 1.5f;
constexpr float kMaxStep = 53.0f;
constexpr float kMinGap = 0.3f;
constexpr int kFirstLayoutBars = 200;

// The lowest low after a reset, before any layout.
constexpr int kResetLow = 1000000;

struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Where the bars go in a client area of W x H: x from 10 to W - 60, y from 35 to H - 35.
PixelRect PlotRect(int clientWidth, int clientHeight);

// One visible bar.
struct BarGeometry {
    std::int32_t direction = 1;  // -1 falling, 1 rising
    std::int32_t left = 0;
    std::int32_t yHigh = 0;
    std::int32_t right = 0;
    std::int32_t yLow = 0;
    std::int32_t yOpen = 0;
    float yClose = 0;
    // The drawn high and low (the Heikin Ashi values in that chart type), for the
    // highest-high and lowest-low labels.
    std::int32_t high = 0;
    std::int32_t low = 0;
    // A copy of the raw bar at this position, so that the data window shows the raw bar even
    // in Heikin Ashi mode. A copy rather than a pointer into the raw list: a finished bar or a
    // merge may remove the raw element while painting still reads this entry.
    BarRecord raw{};

    int Centre() const { return left + (right - left) / 2; }
};

// Falling (-1) if close < open, rising (1) if close > open; on equal open and close falling if
// close < reference, otherwise rising.
std::int32_t Direction(std::int32_t open, std::int32_t close, std::int32_t reference);

// Bar widths for n bars on a plot w pixels wide at a zoom factor. The step w * zoom / n is held
// between 1.5 and 53 pixels; when it is clamped the zoom follows, so that the step and zoom
// always agree.
struct BarWidths {
    float zoom = 1;
    float step = 0;
    float gap = 0;    // step / 10, at least 0.3
    float body = 0;   // step - gap
    int visible = 0;  // bars that fit: trunc(w / (body + gap))
};
BarWidths ComputeBarWidths(int plotWidth, int barCount, float zoom);

// The zoom a first layout starts from, so that 200 bars fill the plot.
inline float FirstLayoutZoom(int barCount, float zoom) {
    return static_cast<float>(barCount) * zoom / kFirstLayoutBars;
}

// The first visible index kept in range: if fewer than `visible` bars remain from it, it moves
// back to n - visible, never below 0.
int ClampFirstVisible(int firstVisible, int barCount, int visible);

// Pixels per price unit for a price range over a plot `plotHeight` high. When every visible
// bar has one price (hi == lo) the range counts as one price unit (one step of the last
// decimal), so the scale stays finite.
float VerticalScale(int plotHeight, std::int32_t hi, std::int32_t lo);

// price <-> y for the current layout.
struct PriceScale {
    std::int32_t hi = 0;  // highest visible high
    float scale = 0;      // pixels per price unit
    std::int32_t vOffset = 0;

    // y = trunc((hi - p) * s) + v + 35, the form of the integer fields of BarGeometry. Prices
    // far outside the visible range are held at +-1e9 so the conversion never overflows.
    std::int32_t Y(std::int64_t price) const;
    // (hi - p) * s + v + 35, the close's float field.
    float YFloat(std::int64_t price) const;
    // The same for a price between the scaled units (an average), held like Y.
    double YAt(double price) const;
    // p(y) = hi - (y - v - 35) / s, in scaled units; 0 while there is no scale.
    double PriceAt(double y) const;
};

// x of the bar in slot k (0 is the leftmost slot of the plot).
std::int32_t SlotLeft(float body, float gap, int slot);
std::int32_t SlotRight(float body, float gap, int slot);

// The first entry (newest first) with left <= x <= right, or -1.
int BarUnder(const std::vector<BarGeometry>& geometry, int x);

// Row height of the grid and the price scale for a chart H pixels high: (H - 40) / 2 below 160
// pixels of rows, else the first height in 80..119 whose multiples come nearest to H - 40.
int RowHeight(int clientHeight);

}  // namespace zq
