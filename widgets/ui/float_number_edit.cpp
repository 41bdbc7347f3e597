#include "widgets/ui/float_number_edit.h"

#include <string>

#include "widgets/fixed_point_text.h"
#include "widgets/number_text.h"

namespace zq {

namespace {

// The count text when the decimals change: long enough for any 32-bit count.
constexpr int kRescaleChars = 32;

}  // namespace

CFloatNumberEdit::CFloatNumberEdit(QWidget* parent) : QLineEdit(parent) {
    setObjectName(QStringLiteral("CFloatNumberEdit"));
}

void CFloatNumberEdit::SetDecimals(int d) {
    d = ClampFixedPointDecimals(d);
    if (text().trimmed().isEmpty()) {
        decimals_ = d;
        scale_ = FixedPointScale(d);
        return;
    }
    const QString count = ValueText(kRescaleChars);
    decimals_ = d;
    scale_ = FixedPointScale(d);
    SetValueText(count);
}

void CFloatNumberEdit::SetValueText(const QString& integerCount) {
    const std::string count = integerCount.toStdString();
    setText(QString::fromStdString(DisplayFromFixedPoint(count, decimals_)));
}

QString CFloatNumberEdit::ValueText(int maxChars) {
    const std::string shown = text().toStdString();
    const FixedPointReading r =
        FixedPointRead(shown, decimals_, static_cast<std::size_t>(maxChars < 0 ? 0 : maxChars));
    const QString display = QString::fromStdString(r.display);
    if (display != text()) setText(display);
    return QString::fromStdString(r.integer);
}

double CFloatNumberEdit::DisplayedValue() const {
    return ToDouble(ReadLeadingNumber(text().toStdString()));
}

}  // namespace zq
