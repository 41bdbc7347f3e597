#include "chart/chart_input.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "widgets/command_ids.h"

namespace zq {

namespace {

constexpr float kZoomStep = 1.1f;
// The vertical drag stops this many pixels short of the chart height either way.
constexpr int kDragMargin = 60;

// The bar the cross is on: the selected one, else the one under the cross.
int CrossBar(const std::vector<BarGeometry>& g, const ChartState& st) {
    if (st.selected >= 0 && st.selected < static_cast<int>(g.size())) return st.selected;
    return BarUnder(g, st.crossX);
}

}  // namespace

std::vector<ChartMenuItem> ChartMenuItems(ChartMenu menu) {
    switch (menu) {
        case ChartMenu::Position:
            return {{"修改订单", cmdid::ModifyPosition}, {"市价平仓", cmdid::ClosePosition}};
        case ChartMenu::PendingOrder:
            return {{"修改指价", cmdid::ModifyPending}, {"删除指价", cmdid::DeletePending}};
        case ChartMenu::TradeReport:
            break;
    }
    return {{"交易报表", cmdid::TradeReport}};
}

int ChartInput::DraggedOffset(int offset, int dy, int clientHeight) {
    const long long limit = std::max(clientHeight - kDragMargin, 0);
    long long v = static_cast<long long>(offset) + dy;
    if (std::llabs(v) > limit) v = v < 1 ? -limit : limit;
    return static_cast<int>(v);
}

int ChartInput::DraggedBars(int dx, float body, int geometryCount) {
    // Before the first layout there is no body width to measure the drag in.
    if (!(body > 0)) return 0;
    const double n = std::trunc(std::fabs(static_cast<double>(dx)) / body);
    return static_cast<int>(std::min(n, static_cast<double>(std::max(geometryCount, 0))));
}

void ChartInput::LeftDown(int x, int y) {
    switch (view_.Mode()) {
        case ChartMode::Default:
            if (y <= kCaptionStrip) return;
            if (fx_.showDataWindow) fx_.showDataWindow(true);
            Call(fx_.invalidate);
            view_.SetMode(ChartMode::Cross);
            return;
        case ChartMode::Cross:
            return;
        case ChartMode::MoveKLine:
            view_.SetDragStart(x, y);
            return;
        case ChartMode::StraightLine:
        case ChartMode::ParallelLines:
        case ChartMode::SymmetricParallelLines:
            if (fx_.toolMouse) fx_.toolMouse(ToolMouse::Down, x, y);
            return;
    }
}

void ChartInput::LeftUp(int x, int y) {
    switch (view_.Mode()) {
        case ChartMode::MoveKLine: {
            if (x == view_.DragX() && y == view_.DragY()) return;
            const ChartState st = data_.State();
            const int dx = x - view_.DragX();
            const int n = DraggedBars(dx, st.body, static_cast<int>(data_.Geometry().size()));
            data_.SetVerticalOffset(
                DraggedOffset(st.vOffset, y - view_.DragY(), data_.ClientHeight()));
            if (n > 0) {
                if (dx < 1) {
                    // Dragged to the left: newer bars come in from the right.
                    data_.SetFirstVisible(std::max(st.firstVisible - n, 0));
                } else {
                    data_.SetFirstVisible(st.firstVisible + n);
                    data_.SetSelected(-1);
                }
            }
            data_.Layout();
            Call(fx_.invalidate);
            return;
        }
        case ChartMode::StraightLine:
        case ChartMode::ParallelLines:
        case ChartMode::SymmetricParallelLines:
            if (fx_.toolMouse) fx_.toolMouse(ToolMouse::Up, x, y);
            return;
        default:
            return;
    }
}

void ChartInput::MouseMove(int x, int y) {
    switch (view_.Mode()) {
        case ChartMode::Cross: {
            if (y <= kCaptionStrip) return;
            int found = -1;
            int centre = 0;
            BarRecord raw{};
            data_.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState&) {
                found = BarUnder(g, x);
                if (found >= 0) {
                    centre = g[static_cast<std::size_t>(found)].Centre();
                    raw = g[static_cast<std::size_t>(found)].raw;
                }
            });
            if (found >= 0) {
                if (fx_.dataWindow) fx_.dataWindow(static_cast<float>(y), raw);
                data_.SetSelected(found);
                data_.SetCross(centre, y);
            }
            Call(fx_.syncCross);
            return;
        }
        case ChartMode::StraightLine:
        case ChartMode::ParallelLines:
        case ChartMode::SymmetricParallelLines:
            if (fx_.toolMouse) fx_.toolMouse(ToolMouse::Move, x, y);
            return;
        default:
            return;
    }
}

void ChartInput::MouseLeave() {
    if (!data_.State().CrossShown()) return;
    data_.SetCross(0, 0);
    Call(fx_.syncCross);
}

ChartMenu ChartInput::RightDown(int x, int y) {
    if (view_.Mode() != ChartMode::Default) LeaveMode();
    const ChartHit hit = fx_.hitTest ? fx_.hitTest(x, y) : ChartHit{};
    if (hit.kind == ChartHitKind::None) return ChartMenu::TradeReport;
    if (fx_.selectHit) fx_.selectHit(hit);
    return hit.kind == ChartHitKind::Position ? ChartMenu::Position : ChartMenu::PendingOrder;
}

void ChartInput::MoveCrossToBar(int index) {
    bool ok = false;
    int cx = 0;
    int cy = 0;
    BarRecord raw{};
    data_.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState&) {
        if (index < 0 || index >= static_cast<int>(g.size())) return;
        const BarGeometry& b = g[static_cast<std::size_t>(index)];
        ok = true;
        cx = b.Centre();
        cy = static_cast<int>(b.yClose);
        raw = b.raw;
    });
    if (!ok) return;
    data_.SetSelected(index);
    data_.SetCross(cx, cy);
    Call(fx_.syncCross);
    if (fx_.dataWindow) fx_.dataWindow(static_cast<float>(cy), raw);
}

void ChartInput::ScrollOlder() {
    const int first = data_.State().firstVisible;
    data_.SetFirstVisible(first + 1);
    data_.SetSelected(-1);
    data_.Layout();
    // At the oldest bar the layout takes the index back and nothing has changed.
    if (data_.State().firstVisible == first + 1) Call(fx_.invalidate);
}

void ChartInput::ScrollNewer() {
    const int first = data_.State().firstVisible;
    if (first <= 0) return;
    data_.SetFirstVisible(first - 1);
    data_.Layout();
    Call(fx_.invalidate);
}

void ChartInput::Zoom(float factor) {
    const ChartState before = data_.State();
    data_.SetZoom(before.zoom * factor);
    data_.Layout();
    // At either clamp the bars keep their width: the zoom factor goes back to what it was so
    // that the next key in the other direction acts at once.
    if (data_.State().body == before.body) {
        data_.SetZoom(before.zoom);
    } else {
        Call(fx_.invalidate);
    }
}

void ChartInput::Key(ChartKey key) {
    if (key == ChartKey::Escape) {
        if (view_.Mode() != ChartMode::Default) LeaveMode();
        return;
    }
    if (key == ChartKey::Left || key == ChartKey::Down) Call(fx_.fetchOlderHistory);

    if (key == ChartKey::Up) return Zoom(kZoomStep);
    if (key == ChartKey::Down) return Zoom(1 / kZoomStep);

    const std::vector<BarGeometry> g = data_.Geometry();
    if (g.empty()) return;
    const ChartState st = data_.State();
    const int count = static_cast<int>(g.size());
    const int at = st.CrossShown() && count >= 2 ? CrossBar(g, st) : -1;
    if (key == ChartKey::Left) {
        if (at >= 0 && at < count - 1) return MoveCrossToBar(at + 1);
        return ScrollOlder();
    }
    if (at > 0) return MoveCrossToBar(at - 1);
    ScrollNewer();
}

void ChartInput::Resized() {
    data_.SetCross(0, 0);
    Call(fx_.syncCross);
    view_.SetMode(ChartMode::Default);
    if (fx_.showDataWindow) fx_.showDataWindow(false);
}

void ChartInput::LeaveMode() {
    if (data_.State().CrossShown()) {
        data_.SetCross(0, 0);
        Call(fx_.syncCross);
    }
    if (fx_.showDataWindow) fx_.showDataWindow(false);
    Call(fx_.invalidate);
    view_.SetMode(ChartMode::Default);
}

void ChartInput::SelectMode(ChartMode mode) {
    const ChartMode current = view_.Mode();
    if (mode == current) return;
    if (mode == ChartMode::Default) return LeaveMode();
    if (fx_.showDataWindow) fx_.showDataWindow(mode == ChartMode::Cross);
    Call(fx_.invalidate);
    view_.SetMode(mode);
}

}  // namespace zq
