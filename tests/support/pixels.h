// Pixel helpers for tests that paint into an image.
#pragma once

#include <QImage>
#include <QRect>
#include <functional>

namespace zq::test {

// The bounding box of the pixels in `area` that pass `ink`.
inline QRect InkBox(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& ink) {
    QRect box;
    const QRect a = area & image.rect();
    for (int y = a.top(); y <= a.bottom(); ++y)
        for (int x = a.left(); x <= a.right(); ++x)
            if (ink(image.pixel(x, y))) box |= QRect(x, y, 1, 1);
    return box;
}

}  // namespace zq::test
