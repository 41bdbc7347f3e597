// Painting of the chart's overlays over the candles: the support and resistance lines of the
// trading signals with their texts, and the open positions and waiting pending orders, each
// with a labelled price line and its take-profit and stop-loss lines. The rows come from the
// layout (overlay_layout.h), which places only what comes within reach of the client area; the
// painter hands each position's and order's label rectangle back for the right-click hit test.
//
// All lines are one pixel high and dashed across the chart's client width: signals 5 on, 2
// off, 15 on, 4 off; positions and orders 5 on, 5 off.
#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QList>
#include <QRect>
#include <QRgb>
#include <QString>
#include <cstdint>
#include <vector>

#include "chart/overlay_layout.h"
#include "chart/ui/chart_painter.h"
#include "market/wire/bar_record.h"
#include "trading/wire/records.h"

class QPainter;

namespace zq {

struct SignalRecord;

namespace overlay_color {
constexpr QRgb Support = 0xFFC80000;
constexpr QRgb Resistance = 0xFF00C800;
constexpr QRgb SignalTime = 0xFF969696;
constexpr QRgb TradeLine = 0xFF828282;
constexpr QRgb LabelBox = 0xFFDEDEDE;
constexpr QRgb LabelText = 0xFF505050;
constexpr QRgb TakeProfit = 0xFF00C800;
constexpr QRgb StopLoss = 0xFFC80000;
constexpr QRgb StopText = 0xFFAAAAAA;
}  // namespace overlay_color

// The x ranges [first, last] a dashed line from x = left up to (not including) x = right
// covers, the pattern starting at `left`.
struct DashSpan {
    int first;
    int last;
};
std::vector<DashSpan> DashSpans(int left, int right, const std::vector<int>& pattern);
inline const std::vector<int>& SignalDash() {
    static const std::vector<int> d{5, 2, 15, 4};
    return d;
}
inline const std::vector<int>& TradeDash() {
    static const std::vector<int> d{5, 5};
    return d;
}

// The texts, with `decimals` digits for prices.
// "支撑位1650.50　2.00手/3.50万元　1640.00止损" (support) or "阻力位…" (resistance); empty for
// any other side.
QString SignalLevelText(const SignalRecord& s, int decimals);
// "03月15日 09时30分发布", in China time.
QString SignalTimeText(std::int32_t published);
// "买持仓 1650.50  2.00手" or "卖持仓 …"; the lots right-aligned in five characters.
QString PositionLabelText(const PositionRecord& p, int decimals);
// "买指价 …" or "卖指价 …".
QString OrderLabelText(const PendingOrderRecord& o, int decimals);
// "1650.50盈 1660.00 " and "1650.50损 1640.00 ": the record's price, then its take-profit or
// stop-loss.
QString TakeProfitText(double price, double takeProfit, int decimals);
QString StopLossText(double price, double stopLoss, int decimals);

// The shaped texts of earlier paints. The same records show the same texts paint after paint,
// and shaping them (with the fallback from the Latin faces to a CJK one) costs far more than
// drawing them, so each text is shaped once per font and kept. Used on the window thread.
class OverlayTextCache {
  public:
    enum class Face { Level, Time, Label };
    // The width of text in the face, as QFontMetricsF measures it.
    double Width(QPainter& p, Face face, const QFont& font, const QString& text);
    // Draws text with its baseline at (x, baseline).
    void Draw(QPainter& p, Face face, const QFont& font, double x, double baseline,
              const QString& text);

  private:
    struct Shaped {
        QList<QGlyphRun> runs;
        double ascent = 0;  // of the laid-out line, where its runs have their baseline
        double width = 0;
    };
    const Shaped& Get(QPainter& p, Face face, const QFont& font, const QString& text);

    QHash<QString, Shaped> shaped_[3];
    int dpi_ = 0;
};

// The texts at the chart's left edge in one paint: position and order labels and the stop texts
// under their lines. A text that would overlap one placed before it moves on, away from its
// line (down below a line, up above one), within the client area, so that every text stays
// readable and the label rectangle a right click finds is the one drawn.
class LabelColumn {
  public:
    void Clear() {
        taken_.clear();
        shown_ = 0;
    }
    // Where a text of `want` goes; `downward` for one below its line.
    QRect Place(QRect want, bool downward, const QRect& client);
    // Whether the column has placed as many texts as it places: every text from now on stands
    // where its line puts it.
    bool Full() const { return shown_ >= kMostPlaced || taken_.size() >= kMostTaken; }

    // Texts placed apart inside the client area in one paint at most; a text beyond them stands
    // where its line puts it (a 1080-pixel chart holds about 80 text rows).
    static constexpr std::size_t kMostPlaced = 256;
    // Texts placed in one paint at most, those outside the client area counted, so that a crowd
    // just beyond its edge costs no more either.
    static constexpr std::size_t kMostTaken = 4 * kMostPlaced;

  private:
    std::vector<QRect> taken_;
    std::size_t shown_ = 0;  // of taken_, those inside the client area
};

// The signals of ctx.instrument whose row is not 0, not below the client area and not so far
// above it that neither line nor texts reach it.
void PaintSignals(QPainter& p, const SignalList& signals, const ChartPaintContext& ctx,
                  OverlayTextCache& texts);
// The positions and waiting orders of ctx.instrument as the layout placed them, in list order;
// the label rectangles are appended to `labels`, keyed by ticket or order number, in the order
// drawn. Nothing before the first layout (no price scale).
// With a column the texts keep clear of those placed in it before (the chart's hooks share one
// per paint); without one, or once it is full, each stands where its line puts it. Of those
// standing, a line, label or stop text that a later record draws again in the same place is
// painted once, the last time, and its label handed back once, the first time: a crowd on a
// few prices costs what it shows, and the hit test (the first label holding a point) finds
// what it found with every label handed back.
void PaintPositions(QPainter& p, const std::vector<PlacedPosition>& positions,
                    const ChartPaintContext& ctx, OverlayTextCache& texts,
                    std::vector<TradeLabel>& labels, LabelColumn* column = nullptr);
void PaintOrders(QPainter& p, const std::vector<PlacedOrder>& orders, const ChartPaintContext& ctx,
                 OverlayTextCache& texts, std::vector<TradeLabel>& labels,
                 LabelColumn* column = nullptr);

// Points the painter's signal hook at PaintSignals and, with the chart's trade overlays, its
// position and order hooks at PaintPositions and PaintOrders over what the last layout placed
// (without them they are left empty); each paint's labels go back to the overlays for the hit
// test. The hooks share one text cache, and the position and order hooks one label column,
// cleared as the positions are painted.
void InstallOverlayPainters(ChartPaintHooks& hooks, TradeOverlays* overlays);

}  // namespace zq
