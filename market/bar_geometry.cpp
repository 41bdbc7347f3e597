#include "market/bar_geometry.h"

#include <algorithm>
#include <cmath>

namespace zq {

namespace {

constexpr double kYLimit = 1e9;

}  // namespace

PixelRect PlotRect(int clientWidth, int clientHeight) {
    return {kPlotLeft, kPlotTop, clientWidth - kPlotRightMargin, clientHeight - kPlotBottomMargin};
}

std::int32_t Direction(std::int32_t open, std::int32_t close, std::int32_t reference) {
    if (close < open) return -1;
    if (close > open) return 1;
    return close < reference ? -1 : 1;
}

BarWidths ComputeBarWidths(int plotWidth, int barCount, float zoom) {
    BarWidths b;
    b.zoom = zoom;
    if (plotWidth <= 0 || barCount <= 0) return b;
    const float w = static_cast<float>(plotWidth);
    const float n = static_cast<float>(barCount);
    b.step = w * zoom / n;
    if (!(b.step >= kMinStep)) {  // also catches a NaN zoom
        b.step = kMinStep;
        b.zoom = n * kMinStep / w;
    } else if (b.step > kMaxStep) {
        b.step = kMaxStep;
        b.zoom = n * kMaxStep / w;
    }
    b.gap = std::max(b.step / 10, kMinGap);
    b.body = b.step - b.gap;
    b.visible = static_cast<int>(w / (b.body + b.gap));
    return b;
}

int ClampFirstVisible(int firstVisible, int barCount, int visible) {
    if (barCount < visible + firstVisible) firstVisible = barCount - visible;
    return std::max(firstVisible, 0);
}

float VerticalScale(int plotHeight, std::int32_t hi, std::int32_t lo) {
    std::int64_t range = std::int64_t{hi} - lo;
    if (range < 1) range = 1;
    return static_cast<float>(plotHeight) / static_cast<float>(range);
}

std::int32_t PriceScale::Y(std::int64_t price) const {
    double d = std::trunc(static_cast<double>(hi - price) * scale);
    d = std::clamp(d, -kYLimit, kYLimit);
    return static_cast<std::int32_t>(d) + vOffset + kPlotTop;
}

float PriceScale::YFloat(std::int64_t price) const {
    double d = static_cast<double>(hi - price) * scale;
    d = std::clamp(d, -kYLimit, kYLimit);
    return static_cast<float>(d + vOffset + kPlotTop);
}

double PriceScale::YAt(double price) const {
    const double d = std::clamp((hi - price) * scale, -kYLimit, kYLimit);
    return d + vOffset + kPlotTop;
}

double PriceScale::PriceAt(double y) const {
    if (scale == 0) return 0;
    return hi - (y - vOffset - kPlotTop) / scale;
}

std::int32_t SlotLeft(float body, float gap, int slot) {
    return static_cast<std::int32_t>((body + gap) * static_cast<float>(slot) + kPlotLeft);
}

std::int32_t SlotRight(float body, float gap, int slot) {
    return static_cast<std::int32_t>((body + gap) * static_cast<float>(slot) + kPlotLeft + body);
}

int BarUnder(const std::vector<BarGeometry>& geometry, int x) {
    for (std::size_t i = 0; i < geometry.size(); ++i) {
        if (geometry[i].left <= x && x <= geometry[i].right) return static_cast<int>(i);
    }
    return -1;
}

int RowHeight(int clientHeight) {
    const int rows = clientHeight - 40;
    if (rows < 160) return rows / 2;
    int best = 0;
    int bestMeasure = 0;
    for (int i = 0; i < 40; ++i) {
        // How far the rows miss a whole number of rows of 80 + i: the remainder or what is
        // missing to the next multiple, whichever is less.
        const int height = 80 + i;
        int r = rows % height;
        if (r > height / 2) r = height - r;
        if (i == 0 || r < bestMeasure) {
            best = i;
            bestMeasure = r;
        }
    }
    return 80 + best;
}

}  // namespace zq
