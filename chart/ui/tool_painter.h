// Painting of the complete drawing tools: one-pixel lines in the tool colour between the points
// the layout computed (tool_lines.h).
#pragma once

#include <vector>

#include "chart/ui/chart_painter.h"
#include "market/wire/tool_record.h"

class QPainter;

namespace zq {

// Called under the chart's tool lock with the chart's tool list.
void PaintTools(QPainter& p, const std::vector<ToolLineRecord>& tools,
                const ChartPaintContext& ctx);

}  // namespace zq
