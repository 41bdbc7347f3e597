#include "chart/ui/chart_painter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cmath>

#include "base/config.h"
#include "base/ui_bridge.h"
#include "market/bar_geometry.h"
#include "market/instruments.h"
#include "net/wire/ansi_text.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {

namespace {

// The first grid line and the distance of the highest-high label from the right edge below
// which it turns to the left of its bar.
constexpr int kGridTop = 20;
constexpr int kLabelRoom = 44;
// The arrow anchor at the start of the label and live price lines.
constexpr int kArrowLength = 4;
constexpr int kArrowHalfWidth = 2;

// Axis-parallel lines from (x1, y1) to (x2, y2), both ends included, as one-pixel rectangles:
// exact pixels, and many of them fill in one call.
QRect Span(int x1, int y1, int x2, int y2) {
    return QRect(QPoint(std::min(x1, x2), std::min(y1, y2)),
                 QPoint(std::max(x1, x2), std::max(y1, y2)));
}

// A horizontal line from `from` to `to` whose start carries an arrow anchor pointing back at
// `from`: a head that widens by one pixel each way every two pixels.
void ArrowLine(QPainter& p, QPoint from, QPoint to, QRgb colour) {
    const QColor c = ChartColour(colour);
    p.fillRect(Span(from.x(), from.y(), to.x(), to.y()), c);
    const int dir = to.x() >= from.x() ? 1 : -1;
    for (int i = 1; i <= kArrowLength; ++i) {
        const int half = (i + 1) / 2 * kArrowHalfWidth / 2;
        const int x = from.x() + dir * i;
        p.fillRect(Span(x, from.y() - half, x, from.y() + half), c);
    }
}

void FillAll(QPainter& p, const std::vector<QRect>& rects, QRgb colour) {
    if (rects.empty()) return;
    p.setPen(Qt::NoPen);
    p.setBrush(ChartColour(colour));
    p.drawRects(rects.data(), static_cast<int>(rects.size()));
    p.setBrush(Qt::NoBrush);
}

// The close's pixel row. The integer rows are truncated from (hi - p) * s in double while the
// close's float is rounded from the whole sum, so a close equal to the open can land a row
// below it. In plain candles the bar's own prices tell: an equal open and close is on the
// open's row and is drawn as a line.
int CloseRow(const BarGeometry& g, bool plain) {
    if (plain && g.raw.open == g.raw.close) return g.yOpen;
    return static_cast<int>(g.yClose);
}

// Candles of both directions, collected per colour and drawn in two calls.
void PaintCandles(QPainter& p, const std::vector<BarGeometry>& geometry, const QRect& clip,
                  bool plain) {
    std::vector<QRect> rising, falling;
    rising.reserve(geometry.size() * 6);
    falling.reserve(geometry.size() * 3);
    for (auto it = geometry.rbegin(); it != geometry.rend(); ++it) {
        const BarGeometry& g = *it;
        if (g.right < clip.left() || g.left > clip.right()) continue;
        const int c = g.Centre();
        const int yClose = CloseRow(g, plain);
        // Above or below the clip (a caption band across the chart): nothing of it shows.
        if (std::max({g.yLow, g.yOpen, yClose}) < clip.top() ||
            std::min({g.yHigh, g.yOpen, yClose}) > clip.bottom())
            continue;
        if (g.direction < 0) {
            // Wicks from the high down to the open and from the close down to the low; the
            // body filled from the open to the close.
            falling.push_back(Span(c, g.yHigh, c, g.yOpen));
            falling.push_back(Span(c, yClose, c, g.yLow));
            if (yClose == g.yOpen)
                falling.push_back(Span(g.left, g.yOpen, g.right, g.yOpen));
            else
                falling.emplace_back(g.left, std::min(g.yOpen, yClose), g.right - g.left,
                                     std::abs(yClose - g.yOpen));
        } else {
            // Wicks from the high to the close and from the open to the low; the body only
            // outlined, its right and bottom edges included.
            rising.push_back(Span(c, g.yHigh, c, yClose));
            rising.push_back(Span(c, g.yOpen, c, g.yLow));
            if (yClose == g.yOpen) {
                rising.push_back(Span(g.left, g.yOpen, g.right, g.yOpen));
            } else {
                const int top = std::min(g.yOpen, yClose);
                const int bottom = std::max(g.yOpen, yClose);
                rising.push_back(Span(g.left, top, g.right, top));
                rising.push_back(Span(g.left, bottom, g.right, bottom));
                rising.push_back(Span(g.left, top, g.left, bottom));
                rising.push_back(Span(g.right, top, g.right, bottom));
            }
        }
    }
    FillAll(p, falling, chart_color::Falling);
    FillAll(p, rising, chart_color::Rising);
}

// Whether a label beside (x, y) can reach `clip`: a generous box around its arrow and text, so
// that a band repaint elsewhere skips a text it would clip away.
bool LabelMayReach(const QRect& clip, int x, int y) {
    return QRect(QPoint(x - 64, y - 16), QPoint(x + 128, y + 24)).intersects(clip);
}

constexpr std::array<QRgb, kMovingAveragePeriods.size()> kMaColours{
    chart_color::Ma5, chart_color::Ma10, chart_color::Ma20, chart_color::Ma60};

// floor(n / d) for d > 0.
std::int64_t FloorDiv(std::int64_t n, std::int64_t d) {
    return n >= 0 ? n / d : -((-n + d - 1) / d);
}

// A one-pixel line from a to b, both ends included, written straight into a 32-bit image
// inside `clip`: one pixel a step along the longer axis, the other coordinate rounded. Only
// the part inside the clip is walked, however far the ends lie outside.
struct PixelTarget {
    uchar* bits;
    qsizetype stride;              // bytes a row
    int left, top, right, bottom;  // the clip, inclusive
};
void PlotSegment(const PixelTarget& t, QPoint a, QPoint b, QRgb colour) {
    const auto put = [&](int x, int y) {
        if (x >= t.left && x <= t.right && y >= t.top && y <= t.bottom)
            reinterpret_cast<QRgb*>(t.bits + y * t.stride)[x] = colour;
    };
    if (a == b) return put(a.x(), a.y());
    // Along the longer axis (u), the other (v) rounded.
    const bool steep = std::abs(b.y() - a.y()) > std::abs(b.x() - a.x());
    int au = steep ? a.y() : a.x(), av = steep ? a.x() : a.y();
    int bu = steep ? b.y() : b.x(), bv = steep ? b.x() : b.y();
    if (bu < au) {
        std::swap(au, bu);
        std::swap(av, bv);
    }
    const std::int64_t du = bu - au;
    const std::int64_t dv = bv - av;
    const int from = std::max(au, steep ? t.top : t.left);
    const int to = std::min(bu, steep ? t.bottom : t.right);
    for (int u = from; u <= to; ++u) {
        const int v = av + static_cast<int>(FloorDiv(2 * (u - au) * dv + du, 2 * du));
        if (steep)
            put(v, u);
        else
            put(u, v);
    }
}

// The indicator lines through the centres of the visible bars at the rows the layout placed
// them, oldest first, each broken where a value is missing, written into the image inside the
// clip. Only the bars whose segments can reach the clip are read (the geometry runs from right
// to left).
void PaintIndicatorLines(QImage& image, const std::vector<BarGeometry>& geometry,
                         const std::vector<IndicatorRows>& rows, const QRect& clip) {
    const std::size_t n = std::min(geometry.size(), rows.size());
    if (n == 0) return;
    const auto begin = geometry.begin();
    const auto right =
        std::partition_point(begin, begin + static_cast<std::ptrdiff_t>(n),
                             [&](const BarGeometry& g) { return g.Centre() > clip.right(); });
    const auto left =
        std::partition_point(right, begin + static_cast<std::ptrdiff_t>(n),
                             [&](const BarGeometry& g) { return g.Centre() >= clip.left(); });
    // One bar beyond the clip on each side: its segment into the clip.
    const std::size_t from =
        static_cast<std::size_t>(std::max<std::ptrdiff_t>(right - begin - 1, 0));
    const std::size_t to = std::min(static_cast<std::size_t>(left - begin) + 1, n);
    const PixelTarget target{image.bits(), image.bytesPerLine(), clip.left(),
                             clip.top(),   clip.right(),         clip.bottom()};
    // Drawn bands first, the averages over them, the shortest on top.
    constexpr std::size_t kBand = kMovingAveragePeriods.size();
    constexpr std::array<std::size_t, 7> kOrder{kBand + 1, kBand + 2, kBand, 3, 2, 1, 0};
    constexpr std::array<QRgb, 7> kColours{chart_color::BollingerBand,
                                           chart_color::BollingerBand,
                                           chart_color::BollingerMiddle,
                                           chart_color::Ma60,
                                           chart_color::Ma20,
                                           chart_color::Ma10,
                                           chart_color::Ma5};
    // One pass over the bars, the lines' segments in the order above at each.
    std::array<QPoint, kOrder.size()> last{};
    std::array<bool, kOrder.size()> hasLast{};
    for (std::size_t i = to; i-- > from;) {
        const int x = geometry[i].Centre();
        const IndicatorRows& r = rows[i];
        for (std::size_t line = 0; line < kOrder.size(); ++line) {
            const std::int32_t y = r.y[kOrder[line]];
            if (y == kNoIndicatorRow) {
                hasLast[line] = false;
                continue;
            }
            const QPoint at(x, y);
            if (hasLast[line] && std::max(last[line].y(), y) >= clip.top() &&
                std::min(last[line].y(), y) <= clip.bottom())
                PlotSegment(target, last[line], at, kColours[line]);
            last[line] = at;
            hasLast[line] = true;
        }
    }
}

}  // namespace

std::vector<IndicatorFigure> IndicatorFigures(const IndicatorBar& bar, unsigned indicators,
                                              int decimals) {
    const auto price = [decimals](const IndicatorValue& v) {
        return v.valid ? QString::number(v.value / std::pow(10.0, decimals), 'f', decimals)
                       : QStringLiteral("-");
    };
    std::vector<IndicatorFigure> figures;
    if (indicators & chart_indicator::MovingAverages) {
        for (std::size_t k = 0; k < kMovingAveragePeriods.size(); ++k)
            figures.push_back(
                {QStringLiteral("MA%1:%2").arg(kMovingAveragePeriods[k]).arg(price(bar.ma[k])),
                 kMaColours[k]});
    }
    if (indicators & chart_indicator::Bollinger) {
        figures.push_back({QStringLiteral("BOLL(%1,%2) MID:%3 UP:%4 LOW:%5")
                               .arg(kBollingerPeriod)
                               .arg(kBollingerWidth)
                               .arg(price(bar.middle), price(bar.upper), price(bar.lower)),
                           chart_color::BollingerMiddle});
    }
    return figures;
}

void TextAt(QPainter& p, double x, double y, const QString& text) {
    const QFontMetricsF fm(p.font(), p.device());
    p.drawText(QPointF(x, y + fm.ascent()), text);
}

QFont SongFont(double points, bool bold) {
    QFont f;
    f.setFamilies({QStringLiteral("AR PL UMing CN"), QStringLiteral("SimSun"),
                   QStringLiteral("AR PL UMing TW"), QStringLiteral("Noto Serif CJK SC"),
                   QStringLiteral("Noto Sans CJK SC")});
    f.setStyleHint(QFont::Serif);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

QFont ArialFont(double points, bool bold) {
    QFont f;
    f.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                   QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK SC")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

QImage MakeChartImage(int width, int height, int dpi) {
    QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_RGB32);
    const int dpm = static_cast<int>(dpi / 0.0254 + 0.5);
    image.setDotsPerMeterX(dpm);
    image.setDotsPerMeterY(dpm);
    image.fill(ChartColour(chart_color::Background));
    return image;
}

std::vector<QRect> CrossRects(int width, int height, int x, int y) {
    if (x == 0 && y == 0) return {};
    return {QRect(x, 0, 1, height), QRect(0, y, width, 1)};
}

namespace {

void XorCrossClipped(QImage& image, int x, int y, const QRect& clip) {
    if (x == 0 && y == 0) return;
    QPainter p(&image);
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    if (!clip.isNull()) p.setClipRect(clip);
    const QColor c = QColor::fromRgb(chart_color::Cross);
    const int w = image.width();
    p.fillRect(QRect(x, 0, 1, image.height()), c);
    if (x != 0) {
        p.fillRect(QRect(0, y, x, 1), c);
        p.fillRect(QRect(x + 1, y, w - x - 1, 1), c);
    } else {
        p.fillRect(QRect(0, y, w, 1), c);
    }
}

}  // namespace

void XorCross(QImage& image, int x, int y) {
    XorCrossClipped(image, x, y, QRect());
}

void XorLine(QImage& image, int x1, int y1, int x2, int y2, const QRect& clip) {
    QPainter p(&image);
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    if (!clip.isNull()) p.setClipRect(clip);
    p.setPen(QPen(QColor::fromRgb(chart_color::Cross), 1));
    p.drawLine(x1, y1, x2, y2);
}

QString WatermarkText() {
    const QString base = QString::fromStdString(Config().webBase);
    QString domain = QUrl(base).host();
    if (domain.isEmpty()) domain = base;
    return QStringLiteral("%1 %2").arg(QString::fromStdString(AppTitle()), domain);
}

QString CaptionText(const InstrumentRecord& product, int period) {
    QString caption;
    if (product.id != 0) caption = Q(FieldToUtf8(product.name, sizeof product.name));
    if (const PeriodInfo* info = FindPeriod(period)) caption += QString::fromUtf8(info->caption);
    return caption;
}

// The price labels at the first bar (oldest first) that reaches the highest high and the first
// that reaches the lowest low.
void ChartPainter::PaintHighLow(QPainter& p, const std::vector<BarGeometry>& geometry,
                                const ChartState& st, int clientWidth, const QRect& clip) {
    auto label = [&](const BarGeometry& g, int y, std::int32_t price) {
        const int c = g.Centre();
        if (!LabelMayReach(clip, c, y)) return;
        // The live bar's right side carries its last price: its labels go to the left.
        const bool right = !IsLiveBar(g.raw) && clientWidth - g.right > kLabelRoom;
        ArrowLine(p, QPoint(c, y), QPoint(right ? c + 10 : c - 10, y), chart_color::HighLowLabel);
        TiledTextAt(p, right ? c + 10 : c - 50, y - 5, TileFont::Label, chart_color::HighLowLabel,
                    Q(PriceText(price, g.raw.decimals)));
    };
    bool high = false, low = false;
    for (auto it = geometry.rbegin(); it != geometry.rend() && !(high && low); ++it) {
        if (!high && it->high == st.hi) {
            high = true;
            label(*it, it->yHigh, st.hi);
        }
        if (!low && it->low == st.lo) {
            low = true;
            label(*it, it->yLow, st.lo);
        }
    }
}

// The green marker beside the live bar with its last price, at that price's height (in a
// Heikin Ashi chart the bar's own close is an average, not the last price).
void ChartPainter::PaintLivePrice(QPainter& p, const std::vector<BarGeometry>& geometry,
                                  const PriceScale& scale, const QRect& clip) {
    for (const BarGeometry& g : geometry) {
        if (!IsLiveBar(g.raw)) continue;
        const int y = static_cast<int>(scale.YFloat(g.raw.close));
        if (!LabelMayReach(clip, g.right, y)) return;
        ArrowLine(p, QPoint(g.right, y), QPoint(g.right + 8, y), chart_color::LivePrice);
        TiledTextAt(p, g.right + 7, y - 7, TileFont::LivePrice, chart_color::LivePrice,
                    Q(PriceText(g.raw.close, g.raw.decimals)));
        return;
    }
}

int ChartPainter::TiledTextAt(QPainter& p, int x, int y, TileFont font, QRgb colour,
                              const QString& text) {
    constexpr int kInk = 4;
    constexpr std::size_t kTiles = 64;
    const QPaintDevice* device = p.device();
    const int dpi = device->logicalDpiX();
    if (tileDpi_ != dpi) {
        tileDpi_ = dpi;
        tiles_.clear();
    }
    auto tile = std::find_if(tiles_.begin(), tiles_.end(), [&](const TextTile& t) {
        return t.font == font && t.colour == colour && t.text == text;
    });
    if (tile == tiles_.end()) {
        if (tiles_.size() >= kTiles) tiles_.erase(tiles_.begin());
        const QFont qfont = font == TileFont::Figure  ? ArialFont(9)
                            : font == TileFont::Label ? SongFont(9)
                                                      : SongFont(10);
        const QFontMetricsF fm(qfont, device);
        TextTile t{font, colour, text, {}, static_cast<int>(std::ceil(fm.horizontalAdvance(text)))};
        t.image = QImage(t.advance + 2 * kInk, static_cast<int>(std::ceil(fm.height())) + 2 * kInk,
                         QImage::Format_ARGB32_Premultiplied);
        t.image.setDotsPerMeterX(static_cast<int>(dpi / 0.0254 + 0.5));
        t.image.setDotsPerMeterY(static_cast<int>(dpi / 0.0254 + 0.5));
        t.image.fill(Qt::transparent);
        QPainter tp(&t.image);
        tp.setFont(qfont);
        tp.setPen(ChartColour(colour));
        TextAt(tp, kInk, kInk, text);
        tp.end();
        tiles_.push_back(std::move(t));
        tile = tiles_.end() - 1;
    }
    p.drawImage(QPoint(x - kInk, y - kInk), tile->image);
    return tile->advance;
}

int ChartPainter::PaintIndicatorCaption(QPainter& p, const QString& caption,
                                        const IndicatorBar& current, unsigned indicators,
                                        int decimals) {
    const int dpi = p.device()->logicalDpiX();
    if (figureDpi_ != dpi || figureCaption_ != caption) {
        figureDpi_ = dpi;
        figureCaption_ = caption;
        const QFontMetricsF fm(ArialFont(9), p.device());
        figureStart_ = static_cast<int>(std::ceil(5 + fm.horizontalAdvance(caption) + 12));
    }
    int x = figureStart_;
    for (const IndicatorFigure& f : IndicatorFigures(current, indicators, decimals))
        x += TiledTextAt(p, x, 4, TileFont::Figure, f.colour, f.text) + 8;
    return x;
}

void ChartPainter::PrepareBackdrop(const QImage& like, const ChartTexts& texts, int rowHeight) {
    if (backdrop_.size() == like.size() && backdrop_.dotsPerMeterX() == like.dotsPerMeterX() &&
        backdropRowHeight_ == rowHeight && backdropTexts_.watermark == texts.watermark &&
        backdropTexts_.caption == texts.caption)
        return;
    backdrop_ = MakeChartImage(like.width(), like.height());
    backdrop_.setDotsPerMeterX(like.dotsPerMeterX());
    backdrop_.setDotsPerMeterY(like.dotsPerMeterY());
    backdropTexts_ = texts;
    backdropRowHeight_ = rowHeight;
    if (rowHeight <= 0) return;

    const int w = backdrop_.width();
    const int h = backdrop_.height();
    QPainter p(&backdrop_);

    // Watermark, tiled with 50 pixels between copies. One copy is drawn into a tile with a
    // margin for ink beyond its line box, and the tile is copied to every place: the copies sit
    // at whole pixels and never come near each other, so this gives the pixels that drawing
    // each copy would, at a fraction of the cost.
    const QFont font = ArialFont(12);
    const QFontMetricsF fm(font, &backdrop_);
    const int dx = static_cast<int>(fm.horizontalAdvance(texts.watermark) + 50);
    const int dy = static_cast<int>(fm.height() + 50);
    constexpr int kInk = 12;  // well inside the 50-pixel gap between copies
    QImage tile(dx - 50 + 2 * kInk, dy - 50 + 2 * kInk, backdrop_.format());
    tile.setDotsPerMeterX(backdrop_.dotsPerMeterX());
    tile.setDotsPerMeterY(backdrop_.dotsPerMeterY());
    tile.fill(ChartColour(chart_color::Background));
    {
        QPainter t(&tile);
        t.setFont(font);
        t.setPen(ChartColour(chart_color::Watermark));
        TextAt(t, kInk, kInk, texts.watermark);
    }
    p.setCompositionMode(QPainter::CompositionMode_Source);
    for (int i = 0; i <= (w - 20) / dx; ++i)
        for (int j = 0; j <= (h - 20) / dy; ++j)
            p.drawImage(QPoint(20 + i * dx - kInk, 20 + j * dy - kInk), tile);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    p.setFont(ArialFont(9));
    p.setPen(ChartColour(chart_color::Caption));
    TextAt(p, 5, 4, texts.caption);
    p.end();

    // Dotted grid rows: every other pixel, starting with the first.
    if (h > kGridTop) {
        for (int y = kGridTop; y < h; y += rowHeight) {
            auto* line = reinterpret_cast<QRgb*>(backdrop_.scanLine(y));
            for (int x = 0; x < w; x += 2) line[x] = chart_color::Grid;
        }
    }
}

ChartPainter::Result ChartPainter::Paint(QImage& image, KLineData& data, const ChartTexts& texts,
                                         QRect clip) {
    Result r;
    const QRect full = image.rect();
    clip = clip.isEmpty() ? full : clip & full;
    if (clip.isEmpty()) return r;
    r.rowHeight = RowHeight(image.height());
    PrepareBackdrop(image, texts, r.rowHeight);

    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(clip.topLeft(), backdrop_, clip);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (r.rowHeight <= 0) return r;
    p.setClipRect(clip);

    const bool plain = data.ChartType() == chart_type::Candles;
    const unsigned indicators = data.Indicators();
    const int decimals = data.Product().decimals;
    data.WithLayout([&](const std::vector<BarGeometry>& geometry, const ChartState& st,
                        const IndicatorLines& lines, const std::vector<IndicatorRows>& rows) {
        r.scale = st.Scale();
        r.crossX = st.crossX;
        r.crossY = st.crossY;
        PaintCandles(p, geometry, clip, plain);
        if (indicators != 0) {
            // 32-bit pixels straight into the image (the raster painter draws at once, so
            // nothing of it waits behind them).
            // A repaint wholly above the lines (the caption's figures) walks none of them.
            if (image.depth() == 32 && clip.bottom() >= data.IndicatorTop() - 2)
                PaintIndicatorLines(image, geometry, rows, clip);
            if (clip.top() <= kCaptionBottom) {
                const int end =
                    PaintIndicatorCaption(p, texts.caption, lines.Current(), indicators, decimals);
                // A paint across the whole caption tells the series where its figures stand.
                if (clip.left() <= figureStart_ && clip.right() >= end)
                    data.SetCaptionFigureSpan(figureStart_ - 4, end + 4);
            }
        }
        PaintHighLow(p, geometry, st, image.width(), clip);
        PaintLivePrice(p, geometry, r.scale, clip);
    });

    ChartPaintContext ctx;
    ctx.client = full;
    ctx.instrument = data.Instrument();
    ctx.period = data.Period();
    ctx.decimals = decimals;
    ctx.scale = r.scale;
    ctx.rowHeight = r.rowHeight;
    if (hooks.paintSignals) {
        data.WithSignals([&](const SignalList& signals) { hooks.paintSignals(p, signals, ctx); });
    }
    if (hooks.paintPositions) hooks.paintPositions(p, ctx);
    if (hooks.paintOrders) hooks.paintOrders(p, ctx);
    if (hooks.paintTools) {
        data.WithTools(
            [&](const std::vector<ToolLineRecord>& tools) { hooks.paintTools(p, tools, ctx); });
    }
    p.end();

    XorCrossClipped(image, r.crossX, r.crossY, clip);
    return r;
}

}  // namespace zq
