#include "chart/ui/overlay_painter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
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

// Before any layout there is no price scale, and the stored rows are not of this chart.
bool HasScale(const ChartPaintContext& ctx) {
    return ctx.scale.scale > 0;
}

// What a position or order draws: its direction, rows, price, lots and stops.
struct TradeDrawing {
    bool buy = false;
    TradeRows rows;
    double price = 0;
    double lots = 0;
    double takeProfit = 0;
    double stopLoss = 0;
    friend bool operator==(const TradeDrawing&, const TradeDrawing&) = default;
};
TradeDrawing DrawingOf(const PlacedPosition& t) {
    const PositionRecord& r = t.record;
    return {r.direction == direction::Buy,
            t.rows,
            r.openPrice,
            r.heldQuantity,
            r.takeProfit,
            r.stopLoss};
}
TradeDrawing DrawingOf(const PlacedOrder& t) {
    const PendingOrderRecord& r = t.record;
    return {r.direction == direction::Buy, t.rows, r.price, r.quantity, r.takeProfit, r.stopLoss};
}
bool Draws(const PositionRecord& r, int instrument) {
    return DrawsPosition(r, instrument);
}
bool Draws(const PendingOrderRecord& r, int instrument) {
    return DrawsOrder(r, instrument);
}
QString LabelText(const PositionRecord& r, int decimals) {
    return PositionLabelText(r, decimals);
}
QString LabelText(const PendingOrderRecord& r, int decimals) {
    return OrderLabelText(r, decimals);
}
TradeLabel LabelOf(const PositionRecord& r, const PixelRect& rect) {
    return {{ChartHitKind::Position, std::string(FieldText(r.ticket, sizeof r.ticket))}, rect};
}
TradeLabel LabelOf(const PendingOrderRecord& r, const PixelRect& rect) {
    return {
        {ChartHitKind::PendingOrder, std::string(FieldText(r.orderNumber, sizeof r.orderNumber))},
        rect};
}

// The pieces of a trade's drawing, in the order drawn: its price line and label, then the
// take-profit line and text, then the stop-loss line and text (those two when set).
enum class Piece : std::uint8_t { PriceLine, Label, TakeLine, TakeText, StopLine, StopText };

// Draws one piece of a trade's drawing where the column puts its text (where its line puts it
// without one) and returns the rectangle of the text (empty for a line).
QRect PaintPiece(QPainter& p, DashedLines& lines, const TextBox& box, const ChartPaintContext& ctx,
                 Piece piece, const TradeDrawing& d, const QString& label, LabelColumn* column) {
    const int x = ctx.client.left() + kLabelIndent;
    const int h = box.height;
    const auto place = [&](QRect want, bool downward) {
        return column ? column->Place(want, downward, ctx.client) : want;
    };
    // The stop texts go on the chart's background, readable over the candles.
    const auto stopText = [&](std::int32_t y, const QString& text) {
        const int width = static_cast<int>(std::ceil(box.Width(text)));
        const QRect at = place(QRect(x, y + 1, width, h), true);
        p.fillRect(at, ChartColour(chart_color::Background));
        p.setPen(ChartColour(overlay_color::StopText));
        box.Draw(x, at.top(), text);
        return at;
    };
    switch (piece) {
        case Piece::PriceLine:
            lines.Line(d.rows.price, overlay_color::TradeLine);
            return {};
        case Piece::Label: {
            // Whole pixels, rounded up so that the box holds all of its text.
            const int w = static_cast<int>(std::ceil(box.Width(label)));
            const QRect at =
                place(QRect(x, d.buy ? d.rows.price + 1 : d.rows.price - h, w, h), d.buy);
            p.fillRect(at, ChartColour(overlay_color::LabelBox));
            p.setPen(ChartColour(overlay_color::LabelText));
            box.Draw(x, at.top(), label);
            return at;
        }
        case Piece::TakeLine:
            lines.Line(d.rows.take, overlay_color::TakeProfit);
            return {};
        case Piece::TakeText:
            return stopText(d.rows.take, TakeProfitText(d.price, d.takeProfit, ctx.decimals));
        case Piece::StopLine:
            lines.Line(d.rows.stop, overlay_color::StopLoss);
            return {};
        case Piece::StopText:
            return stopText(d.rows.stop, StopLossText(d.price, d.stopLoss, ctx.decimals));
    }
    return {};
}

// The pieces a trade draws, in drawing order; returns how many.
int PiecesOf(const TradeDrawing& d, Piece (&out)[6]) {
    int n = 0;
    out[n++] = Piece::PriceLine;
    out[n++] = Piece::Label;
    if (d.rows.take > 0) {
        out[n++] = Piece::TakeLine;
        out[n++] = Piece::TakeText;
    }
    if (d.rows.stop > 0) {
        out[n++] = Piece::StopLine;
        out[n++] = Piece::StopText;
    }
    return n;
}

std::uint64_t Bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// What decides the pixels of a piece standing where its line puts it: a line by its row and
// colour; a label by its row, side and text; a stop text by its row and text. Two pieces with
// the same key paint the same pixels.
struct PieceKey {
    std::uint8_t kind = 0;
    bool buy = false;
    std::int32_t row = 0;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    friend bool operator==(const PieceKey&, const PieceKey&) = default;
};
PieceKey KeyOf(Piece piece, const TradeDrawing& d) {
    switch (piece) {
        case Piece::PriceLine:
            return {0, false, d.rows.price, overlay_color::TradeLine, 0};
        case Piece::TakeLine:
            return {0, false, d.rows.take, overlay_color::TakeProfit, 0};
        case Piece::StopLine:
            return {0, false, d.rows.stop, overlay_color::StopLoss, 0};
        case Piece::Label:
            return {1, d.buy, d.rows.price, Bits(d.price), Bits(d.lots)};
        case Piece::TakeText:
            return {2, false, d.rows.take, Bits(d.price), Bits(d.takeProfit)};
        case Piece::StopText:
            return {3, false, d.rows.stop, Bits(d.price), Bits(d.stopLoss)};
    }
    return {};
}
struct PieceKeyHash {
    std::size_t operator()(const PieceKey& k) const {
        // splitmix64 over the fields folded together.
        std::uint64_t h = (std::uint64_t{k.kind} << 40) ^ (std::uint64_t{k.buy} << 32) ^
                          static_cast<std::uint32_t>(k.row);
        for (std::uint64_t v : {k.a, k.b}) {
            h ^= v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
            h ^= h >> 30;
            h *= 0xBF58476D1CE4E5B9ULL;
            h ^= h >> 27;
        }
        return static_cast<std::size_t>(h);
    }
};

// The trades from `from` on, each standing where its lines put it. A piece painted again by a
// later trade in the same place is covered by it whatever came between, so only the last of
// each is painted: a crowd costs what it shows. The hit test finds the first label holding a
// point, so only the first of each label is handed back, and in list order.
template <class Record>
void PaintStanding(QPainter& p, DashedLines& lines, const TextBox& box,
                   const ChartPaintContext& ctx, const std::vector<PlacedTrade<Record>>& trades,
                   std::size_t from, std::vector<TradeLabel>& labels) {
    std::unordered_set<PieceKey, PieceKeyHash> painted;
    std::unordered_map<PieceKey, std::size_t, PieceKeyHash> firstLabel;
    std::vector<std::pair<std::size_t, Piece>> toPaint;  // the last piece first
    std::optional<TradeDrawing> later;
    std::size_t* laterLabel = nullptr;
    for (std::size_t i = trades.size(); i-- > from;) {
        if (!Draws(trades[i].record, ctx.instrument)) continue;
        const TradeDrawing d = DrawingOf(trades[i]);
        // The same drawing as the trade after it: that one paints every piece.
        if (later && *later == d) {
            *laterLabel = i;
            continue;
        }
        Piece pieces[6];
        for (int k = PiecesOf(d, pieces); k-- > 0;) {
            if (painted.insert(KeyOf(pieces[k], d)).second) toPaint.emplace_back(i, pieces[k]);
        }
        laterLabel = &(firstLabel[KeyOf(Piece::Label, d)] = i);
        later = d;
    }

    QString label;
    std::size_t labelOf = trades.size();
    const auto labelText = [&](std::size_t i) -> const QString& {
        if (labelOf != i) {
            label = LabelText(trades[i].record, ctx.decimals);
            labelOf = i;
        }
        return label;
    };
    for (auto it = toPaint.rbegin(); it != toPaint.rend(); ++it) {
        const auto [i, piece] = *it;
        PaintPiece(p, lines, box, ctx, piece, DrawingOf(trades[i]),
                   piece == Piece::Label ? labelText(i) : QString(), nullptr);
    }

    std::vector<std::size_t> firsts;
    firsts.reserve(firstLabel.size());
    for (const auto& [key, i] : firstLabel) firsts.push_back(i);
    std::sort(firsts.begin(), firsts.end());
    for (std::size_t i : firsts) {
        const TradeDrawing d = DrawingOf(trades[i]);
        const int x = ctx.client.left() + kLabelIndent;
        const int w = static_cast<int>(std::ceil(box.Width(labelText(i))));
        const int top = d.buy ? d.rows.price + 1 : d.rows.price - box.height;
        labels.push_back(LabelOf(trades[i].record, {x, top, x + w, top + box.height}));
    }
}

// The positions or orders in list order: while the column places texts apart each trade is
// painted whole in turn; the rest stand where their lines put them.
template <class Record>
void PaintTrades(QPainter& p, const std::vector<PlacedTrade<Record>>& trades,
                 const ChartPaintContext& ctx, OverlayTextCache& texts,
                 std::vector<TradeLabel>& labels, LabelColumn* column) {
    if (!HasScale(ctx)) return;
    DashedLines lines(p, ctx.client.left(), ctx.client.left() + ctx.client.width(), TradeDash());
    const TextBox box(p, texts, TextBox::Face::Label, SongFont(9), LabelGlyphs());
    std::size_t i = 0;
    for (; i < trades.size() && column && !column->Full(); ++i) {
        const Record& r = trades[i].record;
        if (!Draws(r, ctx.instrument)) continue;
        const TradeDrawing d = DrawingOf(trades[i]);
        const QString label = LabelText(r, ctx.decimals);
        Piece pieces[6];
        QRect at;
        for (int k = 0, n = PiecesOf(d, pieces); k < n; ++k) {
            const QRect drawn = PaintPiece(p, lines, box, ctx, pieces[k], d, label, column);
            if (pieces[k] == Piece::Label) at = drawn;
        }
        labels.push_back(
            LabelOf(r, {at.left(), at.top(), at.left() + at.width(), at.top() + at.height()}));
    }
    PaintStanding(p, lines, box, ctx, trades, i, labels);
}

}  // namespace

QRect LabelColumn::Place(QRect want, bool downward, const QRect& client) {
    // More texts than a chart's height can stack apart: the rest stand where their lines put
    // them, so that a crowd of lines costs no more than this many placements.
    if (Full()) return want;
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
    PaintTrades(p, positions, ctx, texts, labels, column);
}

void PaintOrders(QPainter& p, const std::vector<PlacedOrder>& orders, const ChartPaintContext& ctx,
                 OverlayTextCache& texts, std::vector<TradeLabel>& labels, LabelColumn* column) {
    PaintTrades(p, orders, ctx, texts, labels, column);
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
