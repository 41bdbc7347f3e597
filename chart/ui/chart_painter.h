// Painting of the K-line chart into an off-screen image: background, watermark, caption, dotted
// grid, candles, the highest-high and lowest-low labels, the live price marker, then the
// overlays and drawing tools through their hooks, and last the XOR cross cursor. Reads only the
// geometry that the layout computed, never the bar lists.
//
// Also the chart's colours and fonts, shared by the left panel and the price labels.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <vector>

#include "market/bar_series.h"

class QPainter;

namespace zq {

namespace chart_color {
constexpr QRgb Background = 0xFF000000;
constexpr QRgb Watermark = 0xFF2D2D2D;
constexpr QRgb Caption = 0xFFC6C6C6;
constexpr QRgb Grid = 0xFF640000;
constexpr QRgb Rising = 0xFFFF0000;
constexpr QRgb Falling = 0xFFFFFFFF;
constexpr QRgb HighLowLabel = 0xFFFFFFFF;
constexpr QRgb LivePrice = 0xFF32C832;
constexpr QRgb Tool = 0xFFC8C8C8;
constexpr QRgb Cross = 0xC8C8C8;  // XORed into the image, so no alpha of its own
constexpr QRgb ScaleLabel = 0xFF008FDE;
constexpr QRgb PanelBorder = 0xFFFF0000;
constexpr QRgb DataText = 0xFFC6C6C6;
constexpr QRgb Up = 0xFFFF0000;
constexpr QRgb Down = 0xFF00FF00;
constexpr QRgb Level = 0xFFFFFFFF;
// The indicator overlays, apart from the candles' red and white, the live price's green and
// the signals' red and green lines.
constexpr QRgb Ma5 = 0xFFFFFF00;
constexpr QRgb Ma10 = 0xFFFF50FF;
constexpr QRgb Ma20 = 0xFF00E0FF;
constexpr QRgb Ma60 = 0xFF6E8CFF;
constexpr QRgb BollingerMiddle = 0xFFFFA040;
constexpr QRgb BollingerBand = 0xFFB07030;
}  // namespace chart_color

// "宋体": the installed Song/Ming face, then other CJK faces.
QFont SongFont(double points, bool bold = false);
// "Arial": Liberation Sans, metric-compatible, then any sans face.
QFont ArialFont(double points, bool bold = false);

// A colour of the tables above as Qt takes it.
inline QColor ChartColour(QRgb argb) {
    return QColor::fromRgba(argb);
}
// Draws text with the top-left corner of its line box at (x, y), as the chart's texts are placed.
void TextAt(QPainter& p, double x, double y, const QString& text);

// Images the chart paints into: opaque, at the given logical DPI so point sizes come out as
// they would on the screen (96 on an ordinary desktop).
QImage MakeChartImage(int width, int height, int dpi = 96);

// XORs the cross cursor at (x, y) into an image: a vertical line over the full height, the
// horizontal line on both sides of it. (0, 0) is no cross. Twice at the same place erases it.
void XorCross(QImage& image, int x, int y);
// XORs a line (a rubber band of the drawing tools) into an image, inside `clip` only (the
// whole image when null).
void XorLine(QImage& image, int x1, int y1, int x2, int y2, const QRect& clip = QRect());
// The pixels XorCross touches, for repainting them on the screen.
std::vector<QRect> CrossRects(int width, int height, int x, int y);

// What the overlay and tool painters are given.
struct ChartPaintContext {
    QRect client;  // the chart's client rectangle
    int instrument = 0;
    int period = 0;
    int decimals = 0;  // of the chart's product record
    PriceScale scale;
    int rowHeight = 0;
};

// Painters of the overlay layers, called in this order after the candles and labels, each with
// the painter clipped to the repainted area. Every hook may stay empty.
struct ChartPaintHooks {
    // Support and resistance lines; called under the signal lock with the whole signal list
    // (signals of other instruments included: the hook draws those of ctx.instrument).
    std::function<void(QPainter& p, const SignalList& signals, const ChartPaintContext& ctx)>
        paintSignals;
    // Open positions with their stop-loss and take-profit lines, as the layout placed them; the
    // hook hands each label rectangle back for the right-click hit test.
    std::function<void(QPainter& p, const ChartPaintContext& ctx)> paintPositions;
    // Pending orders, likewise under the order lock.
    std::function<void(QPainter& p, const ChartPaintContext& ctx)> paintOrders;
    // Drawing tools, called under the tool lock.
    std::function<void(QPainter& p, const std::vector<ToolLineRecord>& tools,
                       const ChartPaintContext& ctx)>
        paintTools;
};

// Texts of the chart that do not come from the bars.
struct ChartTexts {
    QString watermark;  // application title, a blank and the vendor's web domain
    QString caption;    // instrument name and period caption
};
// The watermark of this program: its title and the host of the configured web base.
QString WatermarkText();
// "伦敦金(T+0) 15分钟线": the product record's name followed by the period caption.
QString CaptionText(const InstrumentRecord& product, int period);

// The figures of the indicators shown (chart_indicator bits) for one bar, as the caption line
// carries them after the instrument and period: a text and its colour each.
struct IndicatorFigure {
    QString text;
    QRgb colour;
};
std::vector<IndicatorFigure> IndicatorFigures(const IndicatorBar& bar, unsigned indicators,
                                              int decimals);

class ChartPainter {
  public:
    ChartPaintHooks hooks;

    struct Result {
        int rowHeight = 0;
        PriceScale scale;
        int crossX = 0;  // the cross drawn into the image ((0, 0): none)
        int crossY = 0;
    };

    // Paints the chart into `image` (the chart's client size), inside `clip` only (the whole
    // image when empty). Candles outside the clip are skipped.
    Result Paint(QImage& image, KLineData& data, const ChartTexts& texts, QRect clip = QRect());

  private:
    // Background, watermark, caption and grid depend only on the size and the texts; they
    // are painted once into this image and copied from it.
    void PrepareBackdrop(const QImage& like, const ChartTexts& texts, int rowHeight);
    void PaintHighLow(QPainter& p, const std::vector<BarGeometry>& geometry, const ChartState& st,
                      int clientWidth, const QRect& clip);
    void PaintLivePrice(QPainter& p, const std::vector<BarGeometry>& geometry,
                        const PriceScale& scale, const QRect& clip);
    // Draws the newest bar's indicator figures after the caption; where they end (x).
    int PaintIndicatorCaption(QPainter& p, const QString& caption, const IndicatorBar& current,
                              unsigned indicators, int decimals);

    QImage backdrop_;
    ChartTexts backdropTexts_;
    int backdropRowHeight_ = -1;

    // Texts that change with every price yet take few values in a while (the indicators'
    // figures, the price labels): each is drawn once into a tile, with a margin for ink, and
    // copied from it while it is in use. At whole pixels a copy is the text drawn in place.
    enum class TileFont { Figure, Label, LivePrice };
    struct TextTile {
        TileFont font;
        QRgb colour;
        QString text;
        QImage image;
        int advance;  // the text's advance
    };
    // TextAt(p, x, y, text) in `font` and `colour`, from a tile; the text's advance.
    int TiledTextAt(QPainter& p, int x, int y, TileFont font, QRgb colour, const QString& text);

    // The oldest first, for the resolution they were made for.
    std::vector<TextTile> tiles_;
    int tileDpi_ = 0;
    QString figureCaption_;
    int figureDpi_ = 0;
    int figureStart_ = 0;
};

}  // namespace zq
