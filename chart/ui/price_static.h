// A price shown in large type in the order dialogs: a text and its colour, drawn over whatever
// lies behind the control.
#pragma once

#include <QString>
#include <QWidget>
#include <QtGlobal>

namespace zq {

class CPriceStatic : public QWidget {
    Q_OBJECT
  public:
    explicit CPriceStatic(QWidget* parent = nullptr);

    // Stores the text; the caller repaints the control (update()) when it wants it shown.
    void SetText(const QString& text) { text_ = text; }
    const QString& Text() const { return text_; }
    // An ARGB colour.
    void SetColor(QRgb argb) { color_ = argb; }
    QRgb Color() const { return color_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString text_;
    QRgb color_ = 0xFF000000;
};

}  // namespace zq
