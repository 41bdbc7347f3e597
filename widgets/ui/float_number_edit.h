// An edit field for a decimal number with a fixed number of decimals. The program sets and gets
// its value as an integer count of units of 10^-d (the fixed-point text, widgets/
// fixed_point_text.h); the user sees and types the value itself. Otherwise it is a plain line
// edit: the order dialogs read the displayed text when they submit.
#pragma once

#include <QLineEdit>
#include <QString>

namespace zq {

class CFloatNumberEdit : public QLineEdit {
    Q_OBJECT
  public:
    // The integer count is read with this many characters at most.
    static constexpr int kTextLength = 12;

    explicit CFloatNumberEdit(QWidget* parent = nullptr);

    // Sets the decimals (0 when created). A value on display keeps its count, so what the
    // field shows changes by the ratio of the scales (1650.50 at 2 becomes 165.050 at 3); an
    // empty field stays empty.
    void SetDecimals(int d);
    int Decimals() const { return decimals_; }
    // 10^d as a float.
    float Scale() const { return scale_; }

    // Shows the value of an integer count with the field's decimals ("165050" at 2 shows
    // 1650.50).
    void SetValueText(const QString& integerCount);
    // Reads the displayed value, rewrites it with the field's decimals ("1650.5" becomes
    // "1650.50") and answers its integer count ("165050"), rounded half away from zero and cut
    // to `maxChars` characters.
    QString ValueText(int maxChars = kTextLength);

    // The text as the user sees it, unchanged.
    QString DisplayedText() const { return text(); }
    // The displayed text read as a number; text that is not a number reads 0.
    double DisplayedValue() const;

  private:
    int decimals_ = 0;
    float scale_ = 1.0f;
};

}  // namespace zq
