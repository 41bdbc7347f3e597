#include "server/web/equity_chart.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>

#include "server/links/verification.h"
#include "server/market/trading_day.h"

namespace zq::server {
namespace {

struct Rgb {
    std::uint8_t r, g, b;
};
constexpr Rgb kBackground{255, 255, 255};
constexpr Rgb kPlotBackground{248, 250, 252};
constexpr Rgb kGrid{220, 224, 230};
constexpr Rgb kAxis{90, 90, 90};
constexpr Rgb kText{40, 40, 40};
constexpr Rgb kCurve{200, 30, 30};

// The plot inside the picture: room for the balance figures at the left and the dates below.
constexpr int kLeft = 80, kRight = kEquityChartWidth - 20, kTop = 20,
              kBottom = kEquityChartHeight - 40;
constexpr int kRows = 5;     // horizontal grid lines below the top one
constexpr int kColumns = 6;  // vertical grid lines after the first

// Glyphs the verification font lacks, for figures and dates.
constexpr Glyph kExtraGlyphs[] = {
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {':', {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
};

const Glyph* GlyphOf(char c) {
    for (const Glyph& g : kExtraGlyphs)
        if (g.ch == c) return &g;
    return FindGlyph(c);
}

void Put(Picture& p, int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
    std::uint8_t* px = p.At(x, y);
    px[0] = c.r;
    px[1] = c.g;
    px[2] = c.b;
}

void Fill(Picture& p, int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) Put(p, x, y, c);
}

// A line two pixels wide.
void Line(Picture& p, int x0, int y0, int x1, int y1, Rgb c) {
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        Fill(p, x0, y0, x0 + 2, y0 + 2, c);
        if (x0 == x1 && y0 == y1) break;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

constexpr int kCharPitch = kGlyphCols + 1;

int TextWidth(const std::string& text) {
    return text.empty() ? 0 : static_cast<int>(text.size()) * kCharPitch - 1;
}

// Text at (x, y), its top left corner; characters without a glyph leave a gap.
void Text(Picture& p, int x, int y, const std::string& text, Rgb c) {
    for (char ch : text) {
        if (const Glyph* g = GlyphOf(ch))
            for (int row = 0; row < kGlyphRows; ++row)
                for (int col = 0; col < kGlyphCols; ++col)
                    if (g->Lit(col, row)) Put(p, x + col, y + row, c);
        x += kCharPitch;
    }
}

std::string Figure(double value, double step) {
    char buf[32];
    std::snprintf(buf, sizeof buf, step < 1 ? "%.2f" : "%.0f", value);
    return buf;
}

// A step of 1, 2 or 5 times a power of ten, so that `rows` steps cover `range`.
double NiceStep(double range, int rows) {
    const double raw = range / rows;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) return m * power;
    return 10 * power;
}

}  // namespace

Picture DrawEquityChart(const std::vector<BalancePoint>& points) {
    Picture p;
    p.width = kEquityChartWidth;
    p.height = kEquityChartHeight;
    p.rgb.resize(static_cast<std::size_t>(p.width) * p.height * 3);
    Fill(p, 0, 0, p.width, p.height, kBackground);
    Fill(p, kLeft, kTop, kRight, kBottom, kPlotBackground);

    double lo = 0, hi = 1;
    std::int64_t t0 = 0, t1 = 1;
    if (!points.empty()) {
        lo = hi = points.front().balance;
        for (const BalancePoint& q : points) {
            lo = std::min(lo, q.balance);
            hi = std::max(hi, q.balance);
        }
        t0 = points.front().time;
        t1 = std::max(points.back().time, t0 + 1);
    }
    // Whole grid steps around the figures, with room above and below a flat curve.
    if (hi - lo < 1) {
        lo -= 50;
        hi += 50;
    }
    const double step = NiceStep(hi - lo, kRows);
    lo = std::floor(lo / step) * step;
    hi = std::max(std::ceil(hi / step) * step, lo + step);
    const int rows = std::max(1, static_cast<int>(std::lround((hi - lo) / step)));

    auto yOf = [&](double v) {
        return kBottom - static_cast<int>(std::lround((v - lo) / (hi - lo) * (kBottom - kTop)));
    };
    auto xOf = [&](std::int64_t t) {
        return kLeft +
               static_cast<int>(std::lround(static_cast<double>(t - t0) /
                                            static_cast<double>(t1 - t0) * (kRight - kLeft - 2)));
    };

    for (int i = 0; i <= rows; ++i) {
        const double v = lo + step * i;
        const int y = yOf(v);
        Fill(p, kLeft, y, kRight, y + 1, kGrid);
        const std::string label = Figure(v, step);
        Text(p, kLeft - 6 - TextWidth(label), y - kGlyphRows / 2, label, kText);
    }
    std::string labelled;  // a short span has several columns on one day: it is named once
    for (int i = 0; i <= kColumns; ++i) {
        const int x = kLeft + (kRight - kLeft - 1) * i / kColumns;
        Fill(p, x, kTop, x + 1, kBottom, kGrid);
        if (points.empty()) continue;
        const std::int64_t t = t0 + (t1 - t0) * i / kColumns;
        const std::string day = TradingDayOf(t).substr(5);  // "MM-DD"
        if (day == labelled) continue;
        labelled = day;
        Text(p, x - TextWidth(day) / 2, kBottom + 8, day, kText);
    }
    Fill(p, kLeft, kTop, kLeft + 1, kBottom + 1, kAxis);
    Fill(p, kLeft, kBottom, kRight, kBottom + 1, kAxis);

    // The balance holds until the next fill: steps, not slopes.
    for (std::size_t i = 1; i < points.size(); ++i) {
        const int xa = xOf(points[i - 1].time), xb = xOf(points[i].time);
        const int ya = yOf(points[i - 1].balance), yb = yOf(points[i].balance);
        Line(p, xa, ya, xb, ya, kCurve);
        Line(p, xb, ya, xb, yb, kCurve);
    }
    return p;
}

std::string EncodePng(const Picture& picture) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return {};
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return {};
    }
    // libpng reports its errors by jumping back here; nothing below owns a resource that the
    // jump would leak but `out`, which is only appended to.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t size) {
            static_cast<std::string*>(png_get_io_ptr(p))
                ->append(reinterpret_cast<const char*>(data), size);
        },
        nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width),
                 static_cast<png_uint_32>(picture.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.height; ++y)
        png_write_row(png, picture.rgb.data() + static_cast<std::size_t>(y) * picture.width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace zq::server
