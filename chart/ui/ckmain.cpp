#include "chart/ui/ckmain.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QThread>

#include "base/ui_bridge.h"
#include "chart/ui/left_tips.h"
#include "chart/ui/overlay_painter.h"
#include "chart/ui/tool_painter.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {

CKMain::CKMain(KLineData& data, CLeftTips* leftPanel, std::function<void()> fetchOlderHistory,
               std::function<void(int command)> command, QWidget* parent)
    : QWidget(parent),
      data_(data),
      leftPanel_(leftPanel),
      command_(std::move(command)),
      input_(data, view_, fx_),
      toolDrawing_(data, view_, toolFx_),
      watermark_(WatermarkText()) {
    setObjectName(QStringLiteral("CKMain"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);

    fx_.invalidate = [this] { InvalidateAll(); };
    fx_.syncCross = [this] { SyncCross(); };
    fx_.showDataWindow = [this](bool visible) {
        if (leftPanel_) leftPanel_->ShowDataWindow(visible);
    };
    fx_.dataWindow = [this](float y, const BarRecord& bar) {
        if (leftPanel_) leftPanel_->SetDataWindow(y, bar);
    };
    fx_.fetchOlderHistory = std::move(fetchOlderHistory);
    // The signals need nothing but the chart's own list; positions and orders come with the
    // trading model.
    InstallOverlayPainters(painter_.hooks, nullptr);
    painter_.hooks.paintTools = PaintTools;
    toolFx_.bands = [this](const std::vector<BandLine>& bands) { SetBands(bands); };
    toolFx_.invalidate = [this] { InvalidateAll(); };
    fx_.toolMouse = [this](ToolMouse event, int x, int y) { toolDrawing_.Mouse(event, x, y); };

    runMenu = [this](const std::vector<ChartMenuItem>& items, const QPoint& global) {
        QMenu menu(this);
        for (const ChartMenuItem& item : items)
            menu.addAction(QString::fromUtf8(item.text))->setData(item.command);
        QAction* chosen = menu.exec(global);
        return chosen ? chosen->data().toInt() : 0;
    };
}

CKMain::~CKMain() = default;

CLeftTips* CKMain::LeftPanel() const {
    return leftPanel_;
}

void CKMain::InstallDataHooks() {
    const WindowHandle self = Handle();
    QThread* const home = thread();
    // On the window's own thread the message is handled at once (as the layouts of keys and
    // mouse expect); from any other thread it is posted.
    auto deliver = [self, home](unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
        if (QThread::currentThread() == home)
            Ui().Send(self, msg, wparam, lparam);
        else
            Ui().Post(self, msg, wparam, lparam);
    };
    KLineHooks& h = data_.hooks;
    h.invalidateAll = [deliver] { deliver(WM_CHART_INVALIDATE, 0, 0); };
    h.invalidateBand = [deliver](const PixelRect& band) {
        deliver(WM_CHART_INVALIDATE, PackPair(band.left, band.top),
                PackPair(band.right, band.bottom));
    };
    // The cross, the data window and the price scale are all read back from the chart's state
    // when the message arrives: a burst of layouts costs one redraw of the latest.
    auto cross = [deliver] { deliver(WM_CHART_CROSS, 0, 0); };
    h.crossMoved = [cross](int, int, int, int) { cross(); };
    h.dataWindow = [cross](float, const BarRecord&) { cross(); };
    h.priceScaleChanged = cross;
    InstallOverlayLayout(h, model_, &tradeOverlays_);
    InstallToolLines(h, toolStore_);
}

void CKMain::SetTradingModel(TradingModel* model) {
    model_ = model;
    lastHit_ = {};
    tradeOverlays_.Clear();
    InstallOverlayLayout(data_.hooks, model, &tradeOverlays_);
    InstallOverlayPainters(painter_.hooks, model ? &tradeOverlays_ : nullptr);
    if (!model) {
        SetHitTest({}, {});
        return;
    }
    SetHitTest(
        [this](int x, int y) {
            lastHit_ = tradeOverlays_.HitTest(x, y);
            return lastHit_.hit;
        },
        [this](const ChartHit& hit) {
            if (hit.kind == lastHit_.hit.kind && hit.id == lastHit_.hit.id)
                tradeOverlays_.Select(lastHit_);
        });
}

std::optional<PositionRecord> CKMain::SelectedPosition() const {
    return tradeOverlays_.SelectedPosition();
}

std::optional<PendingOrderRecord> CKMain::SelectedOrder() const {
    return tradeOverlays_.SelectedOrder();
}

std::intptr_t CKMain::HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    switch (msg) {
        case WM_CHART_INVALIDATE:
            if (wparam == 0 && lparam == 0) {
                InvalidateAll();
            } else {
                PixelRect band;
                UnpackPair(wparam, band.left, band.top);
                UnpackPair(lparam, band.right, band.bottom);
                InvalidateBand(band);
            }
            return 0;
        case WM_CHART_CROSS:
            OnLayoutCross();
            return 0;
        default:
            return 0;
    }
}

void CKMain::OnLayoutCross() {
    SyncCross();
    if (!leftPanel_) return;
    float y = 0;
    BarRecord bar{};
    bool selected = false;
    ChartState st;
    data_.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState& state) {
        st = state;
        if (state.selected >= 0 && state.selected < static_cast<int>(g.size()) &&
            state.CrossShown()) {
            selected = true;
            bar = g[static_cast<std::size_t>(state.selected)].raw;
            y = static_cast<float>(state.crossY);
        }
    });
    if (selected) leftPanel_->SetDataWindow(y, bar);
    leftPanel_->UpdatePriceScale(-1, st.hi, st.scale, st.vOffset, data_.Instrument());
}

void CKMain::SetHitTest(std::function<ChartHit(int x, int y)> hitTest,
                        std::function<void(const ChartHit&)> selectHit) {
    fx_.hitTest = std::move(hitTest);
    fx_.selectHit = std::move(selectHit);
}

void CKMain::SetToolMouse(std::function<void(ToolMouse event, int x, int y)> toolMouse) {
    fx_.toolMouse = std::move(toolMouse);
}

void CKMain::SetToolStore(ToolStore* store) {
    toolStore_ = store;
    toolDrawing_.SetStore(store);
    InstallToolLines(data_.hooks, store);
}

void CKMain::ClearTools() {
    zq::ClearTools(data_, toolStore_);
    InvalidateAll();
}

bool CKMain::ToChartKey(int qtKey, ChartKey& key) {
    switch (qtKey) {
        case Qt::Key_Escape:
            key = ChartKey::Escape;
            return true;
        case Qt::Key_Left:
            key = ChartKey::Left;
            return true;
        case Qt::Key_Up:
            key = ChartKey::Up;
            return true;
        case Qt::Key_Right:
            key = ChartKey::Right;
            return true;
        case Qt::Key_Down:
            key = ChartKey::Down;
            return true;
        default:
            return false;
    }
}

void CKMain::OnKey(ChartKey key) {
    input_.Key(key);
    UpdateCursor();
}

void CKMain::SelectMode(ChartMode mode) {
    input_.SelectMode(mode);
    UpdateCursor();
}

void CKMain::LeaveMode() {
    input_.LeaveMode();
    UpdateCursor();
}

void CKMain::OnChartReset() {
    view_.Reset();
    if (leftPanel_) leftPanel_->ShowDataWindow(false);
    SyncCross();
    InvalidateAll();
    UpdateCursor();
}

void CKMain::InvalidateAll() {
    contentDirty_ = QRegion(rect());
    update();
}

void CKMain::InvalidateBand(const PixelRect& band) {
    const QRect r = QRect(QPoint(band.left, band.top), QPoint(band.right, band.bottom))
                        .normalized()
                        .intersected(rect());
    if (r.isEmpty()) return;
    contentDirty_ += r;
    update(r);
}

namespace {

QRect BandRect(const BandLine& b) {
    return QRect(QPoint(b.x1, b.y1), QPoint(b.x2, b.y2)).normalized().adjusted(-1, -1, 1, 1);
}

void XorBands(QImage& image, const std::vector<BandLine>& bands, const QRect& clip = QRect()) {
    for (const BandLine& b : bands) XorLine(image, b.x1, b.y1, b.x2, b.y2, clip);
}

}  // namespace

void CKMain::SetBands(const std::vector<BandLine>& bands) {
    EnsureImage();
    for (const BandLine& b : bands_) update(BandRect(b));
    XorBands(image_, bands_);
    bands_ = bands;
    XorBands(image_, bands_);
    for (const BandLine& b : bands_) update(BandRect(b));
}

void CKMain::EnsureImage() {
    const int dpi = logicalDpiX();
    if (image_.size() == size() && !image_.isNull() &&
        image_.dotsPerMeterX() == static_cast<int>(dpi / 0.0254 + 0.5))
        return;
    image_ = MakeChartImage(width(), height(), dpi);
    drawnX_ = drawnY_ = 0;
    bands_.clear();
    contentDirty_ = QRegion(image_.rect());
}

void CKMain::SyncCross() {
    EnsureImage();
    ChartState st = data_.State();
    // A chart too low for a single grid row shows neither bars nor cross.
    if (RowHeight(height()) <= 0) st.crossX = st.crossY = 0;
    if (st.crossX == drawnX_ && st.crossY == drawnY_) return;
    for (const QRect& r : CrossRects(width(), height(), drawnX_, drawnY_)) update(r);
    XorCross(image_, drawnX_, drawnY_);
    drawnX_ = st.crossX;
    drawnY_ = st.crossY;
    XorCross(image_, drawnX_, drawnY_);
    for (const QRect& r : CrossRects(width(), height(), drawnX_, drawnY_)) update(r);
}

void CKMain::PaintContent() {
    EnsureImage();
    SyncCross();
    // Out of the tool modes the bands go with a repaint of the whole chart (the record being
    // drawn stays, for a return to its mode).
    if (!bands_.empty() && !IsToolMode(view_.Mode())) {
        bands_.clear();
        contentDirty_ = QRegion(image_.rect());
        update();
    }
    if (contentDirty_.isEmpty()) return;
    const QRect clip = contentDirty_.boundingRect();
    // A few rectangles apart (a live bar's band and the caption's figures) are painted one by
    // one: their bounding box can be most of the chart.
    std::vector<QRect> parts{clip};
    if (contentDirty_.rectCount() > 1 && contentDirty_.rectCount() <= 4)
        parts.assign(contentDirty_.begin(), contentDirty_.end());
    contentDirty_ = QRegion();
    const ChartTexts texts{watermark_, CaptionText(data_.Product(), data_.Period())};
    ChartPainter::Result r;
    for (const QRect& part : parts) {
        r = painter_.Paint(image_, data_, texts, part);
        XorBands(image_, bands_, part);
    }
    if (clip != image_.rect() && (r.crossX != drawnX_ || r.crossY != drawnY_)) {
        // The cross moved while the band was painted: the rest of the image still has it
        // where it was, so the whole chart is painted again.
        contentDirty_ = QRegion(image_.rect());
        update();
    }
    drawnX_ = r.crossX;
    drawnY_ = r.crossY;
    if (leftPanel_)
        leftPanel_->UpdatePriceScale(r.rowHeight, r.scale.hi, r.scale.scale, r.scale.vOffset,
                                     data_.Instrument());
}

const QImage& CKMain::Render() {
    PaintContent();
    return image_;
}

void CKMain::paintEvent(QPaintEvent* event) {
    PaintContent();
    QPainter p(this);
    p.drawImage(event->rect(), image_, event->rect());
}

void CKMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    data_.SetClientSize(width(), height());
    input_.Resized();
    InvalidateAll();
    UpdateCursor();
}

void CKMain::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        input_.LeftDown(pos.x(), pos.y());
    } else if (event->button() == Qt::RightButton) {
        const ChartMenu menu = input_.RightDown(pos.x(), pos.y());
        UpdateCursor();
        OpenMenu(menu, event->globalPosition().toPoint());
    }
    UpdateCursor();
}

void CKMain::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint pos = event->position().toPoint();
    input_.LeftUp(pos.x(), pos.y());
    UpdateCursor();
}

void CKMain::mouseMoveEvent(QMouseEvent* event) {
    UpdateCursor();
    const QPoint pos = event->position().toPoint();
    input_.MouseMove(pos.x(), pos.y());
}

void CKMain::leaveEvent(QEvent* event) {
    input_.MouseLeave();
    QWidget::leaveEvent(event);
}

void CKMain::enterEvent(QEnterEvent* event) {
    UpdateCursor();
    QWidget::enterEvent(event);
}

void CKMain::keyPressEvent(QKeyEvent* event) {
    ChartKey key;
    if (!ToChartKey(event->key(), key)) return QWidget::keyPressEvent(event);
    OnKey(key);
    event->accept();
}

void CKMain::UpdateCursor() {
    if (view_.Mode() == ChartMode::MoveKLine) {
        if (cursor().shape() != Qt::PointingHandCursor) setCursor(Qt::PointingHandCursor);
    } else if (testAttribute(Qt::WA_SetCursor)) {
        unsetCursor();
    }
}

void CKMain::OpenMenu(ChartMenu menu, const QPoint& global) {
    if (!runMenu) return;
    const int chosen = runMenu(ChartMenuItems(menu), global);
    if (chosen != 0 && command_) command_(chosen);
}

}  // namespace zq
