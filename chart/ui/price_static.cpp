#include "chart/ui/price_static.h"

#include <QFontMetricsF>
#include <QPainter>

#include "chart/ui/chart_painter.h"

namespace zq {

CPriceStatic::CPriceStatic(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CPriceStatic"));
    // No background of its own: the dialog shows through around the text.
    setAutoFillBackground(false);
}

void CPriceStatic::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setFont(ArialFont(14, true));
    p.setPen(QColor::fromRgba(color_));
    const QFontMetricsF fm(p.font(), this);
    const double top = (height() - fm.height()) / 2;
    p.drawText(QPointF(0, top + fm.ascent()), text_);
}

}  // namespace zq
