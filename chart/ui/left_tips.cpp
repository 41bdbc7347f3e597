#include "chart/ui/left_tips.h"

#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <cstdio>

#include "chart/ui/chart_painter.h"
#include "market/bar_geometry.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {

namespace {

// Scale labels stand at y = 15, 15 + row height, …, their text 5 pixels above that; each shows
// the price of the chart's grid line beside it, which lies 5 pixels below the row (the grid
// starts at 20).
constexpr int kScaleFirstRow = 15;
constexpr int kScaleToGrid = 5;
constexpr int kScaleTextX = 40;

// Data window rows, 18 pixels apart.
constexpr int kDataRow = 18;
constexpr int kDataTop = 4;
constexpr int kDataLabelX = 8;
constexpr int kDataValueRight = 10;  // values end this far from the panel's right edge

// `value` (a real number of scaled units) divided by 10^decimals, printed with `digits` places.
QString ScaledText(double value, int decimals, int digits) {
    const std::string format = PriceFormat(digits);
    const double real = value / std::pow(10.0, std::clamp(decimals, 0, 9));
    char buf[64];
    std::snprintf(buf, sizeof buf, format.c_str(), real);
    return QString::fromLatin1(buf);
}

void TextEndingAt(QPainter& p, double right, double y, const QString& text) {
    const QFontMetricsF fm(p.font(), p.device());
    p.drawText(QPointF(right - fm.horizontalAdvance(text), y + fm.ascent()), text);
}

QRgb AgainstReference(std::int32_t value, std::int32_t reference) {
    if (reference == 0 || value == reference) return chart_color::Level;
    return value > reference ? chart_color::Up : chart_color::Down;
}

}  // namespace

CLeftTips::CLeftTips(KLineData& data, QWidget* parent) : QWidget(parent), data_(data) {
    setObjectName(QStringLiteral("CLeftTips"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

int CLeftTips::Decimals() const {
    const InstrumentRecord product = data_.Product();
    if (product.id != 0 && product.id == instrument_) return product.decimals;
    // No product record: the bars carry their own decimals.
    int decimals = 0;
    data_.WithGeometry([&](const std::vector<BarGeometry>& g, const ChartState&) {
        if (!g.empty()) decimals = g.front().raw.decimals;
    });
    return decimals;
}

void CLeftTips::UpdatePriceScale(int rowHeight, std::int32_t hi, float scale, int vOffset,
                                 int instrument) {
    const int row = rowHeight == -1 ? rowHeight_ : rowHeight;
    if (row == rowHeight_ && hi == hi_ && scale == scale_ && vOffset == vOffset_ &&
        instrument == instrument_)
        return;
    rowHeight_ = row;
    hi_ = hi;
    scale_ = scale;
    vOffset_ = vOffset;
    instrument_ = instrument;
    update();
}

void CLeftTips::ShowDataWindow(bool visible) {
    if (visible == dataVisible_) return;
    dataVisible_ = visible;
    update();
}

void CLeftTips::SetDataWindow(float y, const BarRecord& bar) {
    dataY_ = y;
    dataBar_ = bar;
    if (!dataVisible_) return;
    repaint(0, 0, width(), kDataWindowHeight);
}

QString CLeftTips::ScaleLabel(int y) const {
    if (hi_ <= 0 || !(scale_ > 0)) return QString();
    const PriceScale ps{hi_, scale_, vOffset_};
    const int decimals = Decimals();
    return ScaledText(ps.PriceAt(y + kScaleToGrid), decimals, decimals - 1);
}

double CLeftTips::DataWindowPrice() const {
    return PriceScale{hi_, scale_, vOffset_}.PriceAt(dataY_);
}

QImage CLeftTips::Render() {
    if (image_.size() != size() || image_.isNull())
        image_ = MakeChartImage(width(), height(), logicalDpiX());
    PaintPanel(image_);
    return image_;
}

void CLeftTips::paintEvent(QPaintEvent* event) {
    Render();
    QPainter p(this);
    p.drawImage(event->rect(), image_, event->rect());
}

void CLeftTips::PaintPanel(QImage& image) {
    const int w = image.width();
    const int h = image.height();
    image.fill(ChartColour(chart_color::Background));
    QPainter p(&image);
    p.setPen(QPen(ChartColour(chart_color::PanelBorder), 1));
    p.drawLine(w - 1, 0, w - 1, h - 1);

    if (hi_ > 0 && scale_ > 0 && rowHeight_ > 0) {
        p.setFont(SongFont(9));
        p.setPen(ChartColour(chart_color::ScaleLabel));
        for (int y = kScaleFirstRow; y < h; y += rowHeight_)
            TextAt(p, kScaleTextX, y - 5, ScaleLabel(y));
    }
    p.end();
    if (dataVisible_ && dataBar_.open > 0) PaintDataWindow(image);
}

void CLeftTips::PaintDataWindow(QImage& image) {
    const int w = image.width();
    QPainter p(&image);
    p.fillRect(QRect(0, 0, w - 1, kDataWindowHeight - 1), ChartColour(chart_color::Background));
    p.setPen(QPen(ChartColour(chart_color::PanelBorder), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(0, 0, w, kDataWindowHeight - 1));

    static const char* const kLabels[] = {"时    间", "数    值", "开    盘",
                                          "最    高", "最    低", "收    盘"};
    p.setFont(SongFont(12));
    p.setPen(ChartColour(chart_color::DataText));
    for (int i = 0; i < 6; ++i)
        TextAt(p, kDataLabelX, kDataTop + 2 * i * kDataRow, QString::fromUtf8(kLabels[i]));

    const BarRecord& b = dataBar_;
    const int d = b.decimals;
    const double right = w - kDataValueRight;
    auto row = [](int i) { return kDataTop + (2 * i + 1) * kDataRow; };
    p.setFont(ArialFont(11, true));
    p.setPen(ChartColour(chart_color::DataText));
    TextAt(p, kDataLabelX, row(0), Q(std::string(TimeText(b))));
    p.setPen(ChartColour(chart_color::Up));
    TextEndingAt(p, right, row(1), ScaledText(DataWindowPrice(), d, d));
    const std::int32_t values[] = {b.open, b.high, b.low, b.close};
    for (int i = 0; i < 4; ++i) {
        p.setPen(ChartColour(AgainstReference(values[i], b.reference)));
        TextEndingAt(p, right, row(i + 2), Q(PriceText(values[i], d)));
    }
}

}  // namespace zq
