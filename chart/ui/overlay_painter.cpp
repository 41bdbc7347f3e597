#include "chart/ui/overlay_painter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "chart/overlay_layout.h"
#include "market/wire/signal_record.h"
#include "net/wire/ansi_text.h"

namespace zq {

namespace {

// The labels and the stop texts start this far right of the left edge; the signal texts end
// this far left of the right edge.
constexpr int kLabelIndent = 8;
constexpr int kSignalTextMargin = 8;
// printf with a format whose "%%.%df" parts (one or two) were first completed with the
// decimals.
template <class... Args>
QString Formatted(const char* pattern, int decimals, Args... args) {
    char format[128];
    std::snprintf(format, sizeof format, pattern, FormatDecimals(decimals),
                  FormatDecimals(decimals));
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return QString::fromUtf8(text);
}

// One dashed line: a run of one-pixel rectangles on row y, drawn in one call.
class DashedLines {
  public:
    DashedLines(QPainter& p, int left, int right, const std::vector<int>& pattern)
        : p_(p), spans_(DashSpans(left, right, pattern)) {
        rects_.reserve(spans_.size());
    }
    void Line(int y, QRgb colour) {
        // Rows outside the repainted area are clipped away anyway.
        const QRect clip = p_.clipBoundingRect().toAlignedRect();
        if (p_.hasClipping() && (y < clip.top() || y > clip.bottom())) return;
        rects_.clear();
        for (const DashSpan& s : spans_) rects_.emplace_back(s.first, y, s.last - s.first + 1, 1);
        p_.setPen(Qt::NoPen);
        p_.setBrush(ChartColour(colour));
        p_.drawRects(rects_.data(), static_cast<int>(rects_.size()));
        p_.setBrush(Qt::NoBrush);
    }

  private:
    QPainter& p_;
    std::vector<DashSpan> spans_;
    std::vector<QRect> rects_;
};

// A line of text in whole pixels: from its top to the baseline, and its full height. The
// font's own ascent and descent, or more where the glyphs of the texts drawn in it reach
// further (fallback CJK faces under a Latin font do), so that a text placed right above or
// below a line stays off the line's row and a label box holds all of its text.
class TextBox {
  public:
    using Face = OverlayTextCache::Face;
    TextBox(QPainter& p, OverlayTextCache& cache, Face face, QFont font, const QString& glyphs)
        : p_(p), cache_(cache), face_(face), font_(std::move(font)) {
        const QFontMetricsF fm(font_, p.device());
        const QRectF ink = fm.tightBoundingRect(glyphs);
        ascent = static_cast<int>(std::ceil(std::max(fm.ascent(), -ink.top() + 1)));
        const int descent = static_cast<int>(std::ceil(std::max(fm.descent(), ink.bottom() + 1)));
        height = ascent + descent;
    }
    double Width(const QString& text) const { return cache_.Width(p_, face_, font_, text); }
    // Draws text with the top-left corner of the box at (x, top).
    void Draw(double x, int top, const QString& text) const {
        cache_.Draw(p_, face_, font_, x, top + ascent, text);
    }

    int ascent = 0;
    int height = 0;

  private:
    QPainter& p_;
    OverlayTextCache& cache_;
    Face face_;
    QFont font_;
};

// Every character the texts can hold, for their box heights.
const QString& LabelGlyphs() {
    static const QString g = QString::fromUtf8("买卖持仓指价盈损 0123456789.-手");
    return g;
}
const QString& LevelGlyphs() {
    static const QString g = QString::fromUtf8("支撑阻力位止损　0123456789.-手/万元");
    return g;
}
const QString& TimeGlyphs() {
    static const QString g = QString::fromUtf8("0123456789月日 时分发布");
    return g;
}

// The trading lines of one position or order: price line and label, take-profit line and
// text, stop-loss line and text. Returns the label rectangle.
PixelRect PaintTradeLines(QPainter& p, DashedLines& lines, const TextBox& box,
                          const ChartPaintContext& ctx, bool buy, std::int32_t priceY,
                          std::int32_t takeY, std::int32_t stopY, const QString& label,
                          double price, double takeProfit, double stopLoss, LabelColumn* column) {
    const int left = ctx.client.left();
    lines.Line(priceY, overlay_color::TradeLine);

    // Whole pixels, rounded up so that the box holds all of its text.
    const int w = static_cast<int>(std::ceil(box.Width(label)));
    const int h = box.height;
    const int x = left + kLabelIndent;
    const auto place = [&](QRect want, bool downward) {
        return column ? column->Place(want, downward, ctx.client) : want;
    };
    const QRect at = place(QRect(x, buy ? priceY + 1 : priceY - h, w, h), buy);
    p.fillRect(at, ChartColour(overlay_color::LabelBox));
    p.setPen(ChartColour(overlay_color::LabelText));
    box.Draw(x, at.top(), label);

    // The stop texts go on the chart's background, readable over the candles.
    const auto stopText = [&](std::int32_t y, const QString& text) {
        const int width = static_cast<int>(std::ceil(box.Width(text)));
        const QRect textAt = place(QRect(x, y + 1, width, h), true);
        p.fillRect(textAt, ChartColour(chart_color::Background));
        p.setPen(ChartColour(overlay_color::StopText));
        box.Draw(x, textAt.top(), text);
    };
    if (takeY > 0) {
        lines.Line(takeY, overlay_color::TakeProfit);
        stopText(takeY, TakeProfitText(price, takeProfit, ctx.decimals));
    }
    if (stopY > 0) {
        lines.Line(stopY, overlay_color::StopLoss);
        stopText(stopY, StopLossText(price, stopLoss, ctx.decimals));
    }
    return {x, at.top(), x + w, at.top() + h};
}

// Before any layout there is no price scale, and the stored rows are not of this chart.
bool HasScale(const ChartPaintContext& ctx) {
    return ctx.scale.scale > 0;
}

}  // namespace

QRect LabelColumn::Place(QRect want, bool downward, const QRect& client) {
    // More texts than a chart's height can stack apart: the rest stand where their lines put
    // them, so that a crowd of lines costs no more than this many placements.
    if (shown_ >= kMostPlaced && want.intersects(client)) return want;
    // Each move clears one text placed before; there are finitely many.
    for (std::size_t round = 0; round <= taken_.size(); ++round) {
        const auto overlap = std::find_if(taken_.begin(), taken_.end(),
                                          [&](const QRect& r) { return r.intersects(want); });
        if (overlap == taken_.end()) break;
        const QRect moved = want.translated(
            0, downward ? overlap->bottom() + 1 - want.top() : overlap->top() - 1 - want.bottom());
        // At the client's edge a text stays where it would overlap rather than leave the chart.
        if (moved.top() < client.top() || moved.bottom() > client.bottom()) break;
        want = moved;
    }
    taken_.push_back(want);
    if (want.intersects(client)) ++shown_;
    return want;
}

std::vector<DashSpan> DashSpans(int left, int right, const std::vector<int>& pattern) {
    std::vector<DashSpan> spans;
    int total = 0;
    for (int n : pattern) total += std::max(n, 0);
    if (total == 0 || right <= left) return spans;
    spans.reserve(static_cast<std::size_t>((right - left) / total + 1) * (pattern.size() / 2 + 1));
    int x = left;
    for (std::size_t i = 0; x < right; i = (i + 1) % pattern.size()) {
        const int n = std::max(pattern[i], 0);
        if (i % 2 == 0 && n > 0) spans.push_back({x, std::min(x + n, right) - 1});
        x += n;
    }
    return spans;
}

QString SignalLevelText(const SignalRecord& s, int decimals) {
    const char* pattern = nullptr;
    if (s.side == signal_side::Support)
        pattern = "支撑位%%.%df　%%.2f手/%%.2f万元　%%.%df止损";
    else if (s.side == signal_side::Resistance)
        pattern = "阻力位%%.%df　%%.2f手/%%.2f万元　%%.%df止损";
    else
        return {};
    return Formatted(pattern, decimals, ScaledToReal(s.price, decimals), s.lots / 100.0,
                     s.amount / 100.0, ScaledToReal(s.stopLoss, decimals));
}

QString SignalTimeText(std::int32_t published) {
    // Shown in the machine's local time.
    const std::time_t seconds = published;
    std::tm t{};
    localtime_r(&seconds, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%02d月%02d日 %02d时%02d分发布", t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min);
    return QString::fromUtf8(text);
}

QString PositionLabelText(const PositionRecord& p, int decimals) {
    return Formatted(
        p.direction == direction::Buy ? "买持仓 %%.%df %%5.2f手" : "卖持仓 %%.%df %%5.2f手",
        decimals, p.openPrice, p.heldQuantity);
}

QString OrderLabelText(const PendingOrderRecord& o, int decimals) {
    return Formatted(
        o.direction == direction::Buy ? "买指价 %%.%df %%5.2f手" : "卖指价 %%.%df %%5.2f手",
        decimals, o.price, o.quantity);
}

QString TakeProfitText(double price, double takeProfit, int decimals) {
    return Formatted("%%.%df盈 %%.%df ", decimals, price, takeProfit);
}

QString StopLossText(double price, double stopLoss, int decimals) {
    return Formatted("%%.%df损 %%.%df ", decimals, price, stopLoss);
}

void PaintSignals(QPainter& p, const SignalList& signals, const ChartPaintContext& ctx,
                  OverlayTextCache& texts) {
    if (!HasScale(ctx)) return;
    const QRect& c = ctx.client;
    const int right = c.left() + c.width();
    const int bottom = c.top() + c.height();
    // Far above the top neither the line nor its texts reach the client area.
    const int top = c.top() - kOffscreenLineReach;
    DashedLines lines(p, c.left(), right, SignalDash());
    const TextBox levelBox(p, texts, TextBox::Face::Level, ArialFont(10), LevelGlyphs());
    const TextBox timeBox(p, texts, TextBox::Face::Time, ArialFont(8), TimeGlyphs());
    for (const BarRecord& r : signals) {
        const SignalRecord s = AsSignal(r);
        if (s.instrument != ctx.instrument || s.lineY == 0 || s.lineY > bottom || s.lineY < top)
            continue;
        const bool support = s.side == signal_side::Support;
        if (!support && s.side != signal_side::Resistance) continue;
        const QRgb colour = support ? overlay_color::Support : overlay_color::Resistance;
        const int y = s.lineY;
        lines.Line(y, colour);

        // Each text ends 8 pixels short of the right edge, on its side of the line.
        const QString level = SignalLevelText(s, ctx.decimals);
        const QString time = SignalTimeText(s.published);
        const double levelX = right - levelBox.Width(level) - kSignalTextMargin;
        const double timeX = right - timeBox.Width(time) - kSignalTextMargin;
        const int levelY = support ? y + 1 : y - levelBox.height;
        const int timeY = support ? y - 1 - timeBox.height : y + 1;
        p.setPen(ChartColour(colour));
        levelBox.Draw(levelX, levelY, level);
        p.setPen(ChartColour(overlay_color::SignalTime));
        timeBox.Draw(timeX, timeY, time);
    }
}

void PaintPositions(QPainter& p, const std::vector<PlacedPosition>& positions,
                    const ChartPaintContext& ctx, OverlayTextCache& texts,
                    std::vector<TradeLabel>& labels, LabelColumn* column) {
    if (!HasScale(ctx)) return;
    DashedLines lines(p, ctx.client.left(), ctx.client.left() + ctx.client.width(), TradeDash());
    const TextBox box(p, texts, TextBox::Face::Label, SongFont(9), LabelGlyphs());
    for (const auto& [r, rows] : positions) {
        if (!DrawsPosition(r, ctx.instrument)) continue;
        const PixelRect label = PaintTradeLines(
            p, lines, box, ctx, r.direction == direction::Buy, rows.price, rows.take, rows.stop,
            PositionLabelText(r, ctx.decimals), r.openPrice, r.takeProfit, r.stopLoss, column);
        labels.push_back(
            {{ChartHitKind::Position, std::string(FieldText(r.ticket, sizeof r.ticket))}, label});
    }
}

void PaintOrders(QPainter& p, const std::vector<PlacedOrder>& orders, const ChartPaintContext& ctx,
                 OverlayTextCache& texts, std::vector<TradeLabel>& labels, LabelColumn* column) {
    if (!HasScale(ctx)) return;
    DashedLines lines(p, ctx.client.left(), ctx.client.left() + ctx.client.width(), TradeDash());
    const TextBox box(p, texts, TextBox::Face::Label, SongFont(9), LabelGlyphs());
    for (const auto& [r, rows] : orders) {
        if (!DrawsOrder(r, ctx.instrument)) continue;
        const PixelRect label = PaintTradeLines(
            p, lines, box, ctx, r.direction == direction::Buy, rows.price, rows.take, rows.stop,
            OrderLabelText(r, ctx.decimals), r.price, r.takeProfit, r.stopLoss, column);
        labels.push_back({{ChartHitKind::PendingOrder,
                           std::string(FieldText(r.orderNumber, sizeof r.orderNumber))},
                          label});
    }
}

double OverlayTextCache::Width(QPainter& p, Face face, const QFont& font, const QString& text) {
    return Get(p, face, font, text).width;
}

void OverlayTextCache::Draw(QPainter& p, Face face, const QFont& font, double x, double baseline,
                            const QString& text) {
    const Shaped& s = Get(p, face, font, text);
    for (const QGlyphRun& run : s.runs) p.drawGlyphRun(QPointF(x, baseline - s.ascent), run);
}

const OverlayTextCache::Shaped& OverlayTextCache::Get(QPainter& p, Face face, const QFont& font,
                                                      const QString& text) {
    // Texts of records long gone are not kept for ever.
    constexpr qsizetype kMaxTexts = 4096;
    const int dpi = p.device()->logicalDpiY();
    if (dpi != dpi_) {
        for (auto& texts : shaped_) texts.clear();
        dpi_ = dpi;
    }
    QHash<QString, Shaped>& texts = shaped_[static_cast<int>(face)];
    if (auto it = texts.constFind(text); it != texts.constEnd()) return *it;
    if (texts.size() >= kMaxTexts) texts.clear();

    Shaped s;
    QTextLayout layout(text, font, p.device());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
    s.runs = layout.glyphRuns();
    s.ascent = line.isValid() ? line.ascent() : 0;
    s.width = QFontMetricsF(font, p.device()).horizontalAdvance(text);
    return *texts.insert(text, std::move(s));
}

void InstallOverlayPainters(ChartPaintHooks& hooks, TradeOverlays* overlays) {
    auto texts = std::make_shared<OverlayTextCache>();
    hooks.paintSignals = [texts](QPainter& p, const SignalList& signals,
                                 const ChartPaintContext& ctx) {
        PaintSignals(p, signals, ctx, *texts);
    };
    if (!overlays) {
        hooks.paintPositions = nullptr;
        hooks.paintOrders = nullptr;
        return;
    }
    // The chart paints the positions first, then the orders, once a paint: the positions start
    // the paint's column and labels, the orders complete them.
    auto column = std::make_shared<LabelColumn>();
    auto labels = std::make_shared<std::vector<TradeLabel>>();
    hooks.paintPositions = [overlays, texts, column, labels](QPainter& p,
                                                             const ChartPaintContext& ctx) {
        column->Clear();
        labels->clear();
        PaintPositions(p, *overlays->Positions(), ctx, *texts, *labels, column.get());
        overlays->SetLabels(*labels);
    };
    hooks.paintOrders = [overlays, texts, column, labels](QPainter& p,
                                                          const ChartPaintContext& ctx) {
        PaintOrders(p, *overlays->Orders(), ctx, *texts, *labels, column.get());
        overlays->SetLabels(*labels);
    };
}

}  // namespace zq
