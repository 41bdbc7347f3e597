#include "chart/tool_lines.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "chart/tool_store.h"

namespace zq {

namespace {

// Pixels far outside any window: a nearly vertical line extended over the plot, or a price far
// from the visible range, is held here so that no conversion overflows.
constexpr double kFarPixel = 1e9;

int PixelOf(double v) {
    return static_cast<int>(std::clamp(std::trunc(v), -kFarPixel, kFarPixel));
}

ToolPoint Clamped(std::int64_t x, std::int64_t y) {
    return {PixelOf(static_cast<double>(x)), PixelOf(static_cast<double>(y))};
}

// The price at y, truncated toward zero.
std::int32_t PriceAtY(const PriceScale& scale, int y) {
    const double p = std::trunc(scale.PriceAt(y));
    return static_cast<std::int32_t>(std::clamp(p, -2147483648.0, 2147483647.0));
}

void CopyTime(char (&field)[9], std::string_view text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), kMaxTimeText));
}

}  // namespace

bool IsToolMode(ChartMode mode) {
    return mode == ChartMode::StraightLine || mode == ChartMode::ParallelLines ||
           mode == ChartMode::SymmetricParallelLines;
}

ToolPoint PointOf(const ToolLineRecord& r, int n) {
    return {r.points[2 * (n - 1)], r.points[2 * (n - 1) + 1]};
}

void SetPoint(ToolLineRecord& r, int n, ToolPoint p) {
    r.points[2 * (n - 1)] = p.x;
    r.points[2 * (n - 1) + 1] = p.y;
}

std::string_view AnchorText(const char (&field)[9]) {
    return {field, strnlen(field, sizeof field)};
}

std::vector<ToolSegment> ToolSegments(const ToolLineRecord& r) {
    if (r.state != tool_state::Complete) return {};
    switch (r.type) {
        case tool_type::Straight:
            return {{1, 2}};
        case tool_type::Parallel:
            return {{1, 2}, {3, 4}, {5, 6}};
        case tool_type::Symmetric:
            return {{1, 2}, {3, 4}, {5, 6}, {7, 8}};
        default:
            return {};
    }
}

// --- Layout ---

namespace {

bool IsParallel(const ToolLineRecord& r) {
    return r.type == tool_type::Parallel || r.type == tool_type::Symmetric;
}

}  // namespace

void ToolAnchorTimes(const std::vector<ToolLineRecord>& tools, std::vector<std::string>& times) {
    for (const ToolLineRecord& r : tools) {
        if (r.state != tool_state::Complete) continue;
        times.emplace_back(AnchorText(r.time1));
        times.emplace_back(AnchorText(r.time2));
        if (IsParallel(r)) times.emplace_back(AnchorText(r.time4));
    }
}

std::optional<ToolAnchors> PlaceAnchors(const ToolLineRecord& r, const LayoutContext& ctx) {
    const auto place = [&](const char(&time)[9], std::int32_t price) -> std::optional<ToolAnchor> {
        const std::string_view text = AnchorText(time);
        if (text.empty()) return std::nullopt;
        const int index = ctx.IndexOf(text);
        if (index < 0) return std::nullopt;
        return ToolAnchor({ctx.CentreOf(index), ctx.scale.Y(price)}, ctx.scale.YFloat(price));
    };
    ToolAnchors a;
    const std::optional<ToolAnchor> p1 = place(r.time1, r.price1);
    const std::optional<ToolAnchor> p2 = place(r.time2, r.price2);
    if (!p1 || !p2) return std::nullopt;
    a.p1 = *p1;
    a.p2 = *p2;
    if (IsParallel(r)) {
        const std::optional<ToolAnchor> p4 = place(r.time4, r.price4);
        if (!p4) return std::nullopt;
        a.p4 = *p4;
    }
    return a;
}

void CompleteTool(ToolLineRecord& r, const ToolAnchors& a, int plotRight) {
    if (r.state != tool_state::Complete) return;
    const ToolPoint p1 = a.p1.pixel;
    const ToolPoint p2 = a.p2.pixel;
    const ToolPoint p4 = a.p4.pixel;
    SetPoint(r, 1, p1);
    SetPoint(r, 2, p2);
    // Sums in 64 bits: points may lie far outside the window.
    using P = std::int64_t;
    if (IsParallel(r)) {
        SetPoint(r, 4, p4);
        const ToolPoint p3 = Clamped(P{p1.x} + p4.x - p2.x, P{p1.y} + p4.y - p2.y);
        SetPoint(r, 3, p3);
        if (r.type == tool_type::Parallel) {
            // The middle line, halves truncated toward zero.
            SetPoint(r, 5, Clamped(p1.x + (P{p3.x} - p1.x) / 2, p1.y + (P{p3.y} - p1.y) / 2));
            SetPoint(r, 6, Clamped(p2.x + (P{p4.x} - p2.x) / 2, p2.y + (P{p4.y} - p2.y) / 2));
        } else {
            // The parallel's mirror beyond the base line, and one more spacing beyond it.
            SetPoint(r, 5, Clamped(2 * P{p1.x} - p3.x, 2 * P{p1.y} - p3.y));
            SetPoint(r, 6, Clamped(2 * P{p2.x} - p4.x, 2 * P{p2.y} - p4.y));
            SetPoint(r, 7, Clamped(2 * P{p3.x} - p1.x, 2 * P{p3.y} - p1.y));
            SetPoint(r, 8, Clamped(2 * P{p4.x} - p2.x, 2 * P{p4.y} - p2.y));
        }
    }
    // A horizontal base line stays between its points, and so do its parallels; so does one
    // with no width (x2 == x1), which has no slope to extend along.
    if (p2.y == p1.y || p2.x == p1.x) return;
    // Each line is the base line moved by a multiple of the parallel's offset (point 4 from
    // point 2): 1 for the parallel, a half for the middle line, -1 for the mirror and 2 beyond
    // the parallel. It is extended from the exact anchors, in double: an anchor out of view may
    // lie thousands of pixels beyond the plot.
    const double slope = (a.p2.y - a.p1.y) / static_cast<double>(p2.x - p1.x);
    const double offsetX = static_cast<double>(p4.x) - p2.x;
    const double offsetY = a.p4.y - a.p2.y;
    const auto extend = [&](const ToolSegment& s, double times) {
        const double x = p1.x + times * offsetX;
        const double y = a.p1.y + times * offsetY;
        SetPoint(r, s.from, {0, PixelOf(y - x * slope)});
        SetPoint(r, s.to, {plotRight, PixelOf(y + (plotRight - x) * slope)});
    };
    static constexpr double kParallelTimes[] = {0, 1, 0.5};
    static constexpr double kSymmetricTimes[] = {0, 1, -1, 2};
    const std::vector<ToolSegment> segments = ToolSegments(r);
    for (std::size_t i = 0; i < segments.size(); ++i)
        extend(segments[i],
               r.type == tool_type::Symmetric ? kSymmetricTimes[i] : kParallelTimes[i]);
}

void CompleteTools(std::vector<ToolLineRecord>& tools, const LayoutContext& ctx) {
    for (ToolLineRecord& r : tools) {
        if (r.state != tool_state::Complete) continue;
        if (const std::optional<ToolAnchors> a = PlaceAnchors(r, ctx))
            CompleteTool(r, *a, ctx.plot.right);
    }
}

void InstallToolLines(KLineHooks& hooks, ToolStore* store) {
    hooks.toolAnchorTimes = ToolAnchorTimes;
    hooks.completeTools = CompleteTools;
    if (store) {
        hooks.reloadTools = [store](int instrument, int period, KLineHooks::ToolDelivery deliver) {
            store->LoadLater(instrument, period, std::move(deliver));
        };
    } else {
        hooks.reloadTools = nullptr;
    }
}

void ClearTools(KLineData& data, ToolStore* store) {
    data.WithTools([](std::vector<ToolLineRecord>& tools) { tools.clear(); });
    // Should the server be out of reach, the store keeps the tools and the next reset shows
    // them again.
    if (store) store->DeleteLater(data.Instrument(), data.Period());
    data.Layout();
}

// --- Drawing ---

ToolDrawing::BarHit ToolDrawing::HitBar(int x) const {
    BarHit hit;
    data_.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState& st) {
        const int at = BarUnder(g, x);
        if (at < 0) return;
        const BarGeometry& bar = g[static_cast<std::size_t>(at)];
        hit.found = true;
        hit.offset = x - bar.Centre();
        CopyTime(hit.time, TimeText(bar.raw));
        hit.scale = st.Scale();
    });
    return hit;
}

void ToolDrawing::ShowBands(const std::vector<BandLine>& bands) {
    if (fx_.bands) fx_.bands(bands);
}

void ToolDrawing::Forget(ToolLineRecord& r) {
    if (r.state != tool_state::FirstPoint && r.state != tool_state::BaseLine) return;
    if (r.instrument == data_.Instrument() && r.period == data_.Period()) return;
    r = ToolLineRecord{};
}

void ToolDrawing::FirstPoint(ToolLineRecord& r, int x, int y) {
    const BarHit hit = HitBar(x);
    if (!hit.found) return;
    r = ToolLineRecord{};
    std::memcpy(r.time1, hit.time, sizeof r.time1);
    r.price1 = hit.offset;
    SetPoint(r, 1, {x, y});
    r.instrument = data_.Instrument();
    r.period = data_.Period();
    r.state = tool_state::FirstPoint;
    ShowBands({});
}

bool ToolDrawing::BaseLine(ToolLineRecord& r, int x, int y) {
    const BarHit hit = HitBar(x);
    if (!hit.found) return false;
    std::memcpy(r.time2, hit.time, sizeof r.time2);
    r.price2 = hit.offset;
    SetPoint(r, 2, {x, y});
    r.state = tool_state::BaseLine;

    // Drawn from right to left: anchor 1 is the left point.
    if (r.points[2] < r.points[0]) {
        std::swap(r.points[0], r.points[2]);
        std::swap(r.points[1], r.points[3]);
        std::swap(r.price1, r.price2);
        std::swap(r.time1, r.time2);
    }
    ToolPoint p1 = PointOf(r, 1);
    ToolPoint p2 = PointOf(r, 2);
    const int offset1 = r.price1;
    const int offset2 = r.price2;
    if (p2.x == p1.x) {
        r = ToolLineRecord{};
        ShowBands({});
        return false;
    }
    // Each point slides along the line to its bar's centre.
    if (p2.y != p1.y) {
        const float k = static_cast<float>(p2.x - p1.x) / static_cast<float>(p2.y - p1.y);
        p1.y = PixelOf(p1.y - offset1 / k);
        p2.y = PixelOf(p2.y - offset2 / k);
    }
    p1.x -= offset1;
    p2.x -= offset2;
    // Both points in one bar: after the slide they share its centre.
    if (p2.x == p1.x) {
        r = ToolLineRecord{};
        ShowBands({});
        return false;
    }
    SetPoint(r, 1, p1);
    SetPoint(r, 2, p2);
    r.price1 = PriceAtY(hit.scale, p1.y);
    r.price2 = PriceAtY(hit.scale, p2.y);
    return true;
}

void ToolDrawing::ParallelPoint(ToolLineRecord& r, int x, int y, ChartMode mode) {
    const BarHit hit = HitBar(x);
    if (!hit.found) return;
    std::memcpy(r.time4, hit.time, sizeof r.time4);
    const int offset4 = hit.offset;
    const ToolPoint p1 = PointOf(r, 1);
    const ToolPoint p2 = PointOf(r, 2);
    ToolPoint p4{x, y};
    // The parallel's point slides along the base line's slope to its bar's centre.
    if (p2.x != p1.x)
        p4.y = PixelOf(p4.y - static_cast<double>(offset4) * (p2.y - p1.y) / (p2.x - p1.x));
    p4.x -= offset4;
    SetPoint(r, 4, p4);
    r.price4 = PriceAtY(hit.scale, p4.y);
    r.type = mode == ChartMode::ParallelLines ? tool_type::Parallel : tool_type::Symmetric;
    Complete(r);
}

void ToolDrawing::Complete(ToolLineRecord& r) {
    r.instrument = data_.Instrument();
    r.period = data_.Period();
    r.state = tool_state::Complete;
    ShowBands({});
    const ToolLineRecord tool = r;
    data_.WithTools([&](std::vector<ToolLineRecord>& tools) { tools.push_back(tool); });
    // A failed save leaves the tool on the chart until the next reset.
    if (store_) store_->SaveLater(tool);
    data_.Layout();
    if (fx_.invalidate) fx_.invalidate();
}

void ToolDrawing::Mouse(ToolMouse event, int x, int y) {
    const ChartMode mode = view_.Mode();
    if (!IsToolMode(mode)) return;
    const bool line = mode == ChartMode::StraightLine;
    ToolLineRecord& r = line ? line_ : parallel_;
    Forget(r);
    const ToolPoint p1 = PointOf(r, 1);

    switch (event) {
        case ToolMouse::Down:
            if (line || r.state != tool_state::BaseLine) return FirstPoint(r, x, y);
            return ParallelPoint(r, x, y, mode);
        case ToolMouse::Move:
            if (r.state == tool_state::FirstPoint) {
                ShowBands({{p1.x, p1.y, x, y}});
                SetPoint(r, 2, {x, y});
            } else if (!line && r.state == tool_state::BaseLine) {
                // The base line moved so that its second point lies at the mouse.
                const ToolPoint p2 = PointOf(r, 2);
                const ToolPoint p3{p1.x + x - p2.x, p1.y + y - p2.y};
                ShowBands({{p1.x, p1.y, p2.x, p2.y}, {x, y, p3.x, p3.y}});
                SetPoint(r, 3, p3);
                SetPoint(r, 4, {x, y});
            }
            return;
        case ToolMouse::Up:
            if (r.state != tool_state::FirstPoint) return;
            if (!BaseLine(r, x, y)) return;
            if (line) {
                r.type = tool_type::Straight;
                return Complete(r);
            }
            {
                const ToolPoint a = PointOf(r, 1);
                const ToolPoint b = PointOf(r, 2);
                ShowBands({{a.x, a.y, b.x, b.y}});
            }
            return;
    }
}

}  // namespace zq
