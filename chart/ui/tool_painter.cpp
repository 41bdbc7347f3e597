#include "chart/ui/tool_painter.h"

#include <QLine>
#include <QPainter>
#include <QPen>

#include "chart/tool_lines.h"

namespace zq {

void PaintTools(QPainter& p, const std::vector<ToolLineRecord>& tools, const ChartPaintContext&) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(ChartColour(chart_color::Tool), 1));
    for (const ToolLineRecord& r : tools) {
        for (const ToolSegment& s : ToolSegments(r)) {
            const ToolPoint a = PointOf(r, s.from);
            const ToolPoint b = PointOf(r, s.to);
            p.drawLine(QLine(a.x, a.y, b.x, b.y));
        }
    }
    p.restore();
}

}  // namespace zq
