// The left panel beside the chart: its price scale, and in cross-cursor mode the data window
// with the prices of the bar under the cross. Painted off-screen in one blit.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "market/bar_series.h"
#include "market/wire/bar_record.h"

namespace zq {

// The panel is this wide; the chart starts where it ends.
constexpr int kLeftPanelWidth = 85;
// The data window covers the top of the panel down to this row.
constexpr int kDataWindowHeight = 226;

class CLeftTips : public QWidget {
    Q_OBJECT
  public:
    explicit CLeftTips(KLineData& data, QWidget* parent = nullptr);

    // Called at the end of every chart paint with the chart's row height (-1 leaves it as it
    // is), its highest high, vertical scale, vertical offset and instrument. Repaints the
    // panel when any of them changed.
    void UpdatePriceScale(int rowHeight, std::int32_t hi, float scale, int vOffset, int instrument);

    // The data-window flag; the panel repaints when it changes.
    void ShowDataWindow(bool visible);
    bool DataWindowVisible() const { return dataVisible_; }
    // The bar to show and the chart y at which its value row is read. While the data window
    // is visible its area is repainted at once.
    void SetDataWindow(float y, const BarRecord& bar);
    const BarRecord& DataWindowBar() const { return dataBar_; }

    int RowHeight() const { return rowHeight_; }
    // The price scale label of the row at panel y, as drawn (empty without a scale).
    QString ScaleLabel(int y) const;
    // The price shown in the data window's value row, in scaled units.
    double DataWindowPrice() const;

    // The panel as it is painted now (the off-screen image).
    QImage Render();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void PaintPanel(QImage& image);
    void PaintDataWindow(QImage& image);
    int Decimals() const;

    KLineData& data_;
    int rowHeight_ = 0;
    std::int32_t hi_ = 0;
    float scale_ = 0;
    int vOffset_ = 0;
    int instrument_ = 0;
    bool dataVisible_ = false;
    BarRecord dataBar_{};
    float dataY_ = 0;
    QImage image_;
};

}  // namespace zq
