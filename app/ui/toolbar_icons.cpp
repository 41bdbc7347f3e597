#include "app/ui/toolbar_icons.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "market/instruments.h"
#include "widgets/command_ids.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

constexpr int kSize = 32;

QPixmap Canvas() {
    QPixmap pm(kSize, kSize);
    pm.fill(Qt::transparent);
    return pm;
}

void Face(QPainter& p, const QColor& top, const QColor& bottom) {
    QLinearGradient g(0, 0, 0, kSize);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(bottom.darker(140), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1.5, 1.5, kSize - 3, kSize - 3), 5, 5);
}

void Text(QPainter& p, const QString& text, int pixelSize, const QColor& colour, bool bold = true) {
    QFont f(QStringLiteral("Noto Sans CJK SC"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    p.setFont(f);
    p.setPen(colour);
    p.drawText(QRect(0, 0, kSize, kSize), Qt::AlignCenter, text);
}

QIcon Glyph(const QString& text, const QColor& top, const QColor& bottom, int pixelSize = 12) {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    Face(p, top, bottom);
    Text(p, text, pixelSize, Qt::white);
    return QIcon(pm);
}

template <typename Draw>
QIcon Drawn(Draw draw) {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    Face(p, QColor(0xF4, 0xF6, 0xFA), QColor(0xC9, 0xD1, 0xDE));
    draw(p);
    return QIcon(pm);
}

const QColor kInk(0x23, 0x32, 0x4E);
const QColor kRed(0xD0, 0x28, 0x28);
const QColor kGreen(0x1E, 0x9E, 0x50);

}  // namespace

QIcon InstrumentIcon(int instrumentId) {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const InstrumentInfo* info = FindInstrumentInfo(instrumentId);
    bool forex = info && info->menu == InstrumentMenu::Forex;
    if (forex)
        Face(p, QColor(0x3B, 0x6E, 0xC8), QColor(0x1D, 0x3F, 0x86));
    else
        Face(p, QColor(0xF2, 0xCB, 0x5A), QColor(0xB8, 0x86, 0x10));
    QString label = Q(ButtonLabel(instrumentId));
    int longest = 0;
    for (const QString& line : label.split(QLatin1Char('\n')))
        longest = std::max<int>(longest, static_cast<int>(line.size()));
    int px = label.contains(QLatin1Char('\n')) ? 11 : (longest >= 3 ? 10 : 13);
    if (label == QStringLiteral("PTA")) px = 11;
    Text(p, label, px, forex ? Qt::white : QColor(0x3A, 0x22, 0x00));
    return QIcon(pm);
}

QIcon BlankIcon() {
    return QIcon(Canvas());
}

QIcon CommandIcon(int command) {
    if (const PeriodInfo* period = FindPeriodByCommand(command))
        return Glyph(QString::fromLatin1(period->menuText), QColor(0x5A, 0x6B, 0x8C),
                     QColor(0x33, 0x40, 0x5C), 13);
    switch (command) {
        case cmdid::OpenMessages:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 2));
                p.setBrush(QColor(0xFF, 0xF4, 0xC8));
                p.drawRect(QRectF(6, 9, 20, 14));
                p.drawPolyline(QPolygonF({QPointF(6, 9), QPointF(16, 17), QPointF(26, 9)}));
            });
        case cmdid::NewMarketOrder:
            return Glyph(QStringLiteral("市价"), QColor(0xE8, 0x4B, 0x3C), QColor(0xA8, 0x22, 0x18),
                         11);
        case cmdid::NewPendingOrder:
            return Glyph(QStringLiteral("指价"), QColor(0xF0, 0x8A, 0x24), QColor(0xB0, 0x5A, 0x0C),
                         11);
        case cmdid::TradeReport:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 1.5));
                p.setBrush(Qt::white);
                p.drawRect(QRectF(7, 6, 18, 21));
                for (int y = 11; y <= 23; y += 4) p.drawLine(QPointF(10, y), QPointF(22, y));
            });
        case cmdid::TradeStats:
            return Drawn([](QPainter& p) {
                p.setPen(Qt::NoPen);
                p.setBrush(kGreen);
                p.drawRect(QRectF(7, 18, 4, 8));
                p.setBrush(kRed);
                p.drawRect(QRectF(14, 11, 4, 15));
                p.setBrush(kInk);
                p.drawRect(QRectF(21, 7, 4, 19));
            });
        case cmdid::ProgramTrading:
            return Glyph(QStringLiteral("程序"), QColor(0x2F, 0xA3, 0x6B), QColor(0x17, 0x6B, 0x42),
                         11);
        case cmdid::HeikinAshi:
            return Glyph(QStringLiteral("HA"), QColor(0x8E, 0x5B, 0xC9), QColor(0x5A, 0x33, 0x8A),
                         13);
        case cmdid::ModeDefault:
            return Drawn([](QPainter& p) {
                QPainterPath arrow;
                arrow.moveTo(11, 6);
                arrow.lineTo(11, 24);
                arrow.lineTo(15, 20);
                arrow.lineTo(18, 27);
                arrow.lineTo(21, 26);
                arrow.lineTo(18, 19);
                arrow.lineTo(23, 19);
                arrow.closeSubpath();
                p.setPen(QPen(kInk, 1.2));
                p.setBrush(Qt::white);
                p.drawPath(arrow);
            });
        case cmdid::ModeCross:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 1.6));
                p.drawLine(QPointF(16, 5), QPointF(16, 27));
                p.drawLine(QPointF(5, 16), QPointF(27, 16));
            });
        case cmdid::ModeMoveKLine:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 1.6));
                p.drawLine(QPointF(6, 16), QPointF(26, 16));
                p.drawPolyline(QPolygonF({QPointF(10, 12), QPointF(6, 16), QPointF(10, 20)}));
                p.drawPolyline(QPolygonF({QPointF(22, 12), QPointF(26, 16), QPointF(22, 20)}));
                p.setPen(QPen(kRed, 3));
                p.drawLine(QPointF(13, 9), QPointF(13, 23));
                p.setPen(QPen(kGreen, 3));
                p.drawLine(QPointF(19, 11), QPointF(19, 21));
            });
        case cmdid::ModeStraightLine:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 2));
                p.drawLine(QPointF(7, 25), QPointF(25, 7));
            });
        case cmdid::ModeParallelLines:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 2));
                p.drawLine(QPointF(6, 20), QPointF(20, 6));
                p.drawLine(QPointF(12, 26), QPointF(26, 12));
            });
        case cmdid::ModeSymmetricParallelLines:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 1.6));
                p.drawLine(QPointF(5, 17), QPointF(17, 5));
                p.drawLine(QPointF(15, 27), QPointF(27, 15));
                p.setPen(QPen(kRed, 1.6, Qt::DashLine));
                p.drawLine(QPointF(10, 22), QPointF(22, 10));
            });
        case cmdid::ClearTools:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kInk, 1.4));
                p.drawLine(QPointF(6, 24), QPointF(22, 8));
                p.setPen(QPen(kRed, 2.4));
                p.drawLine(QPointF(17, 19), QPointF(26, 28));
                p.drawLine(QPointF(26, 19), QPointF(17, 28));
            });
        case cmdid::HomePage:
            return Glyph(QStringLiteral("官网"), QColor(0x2B, 0x8C, 0xC4), QColor(0x15, 0x5A, 0x88),
                         11);
        case cmdid::BlogPage:
            return Glyph(QStringLiteral("博客"), QColor(0x2B, 0x8C, 0xC4), QColor(0x15, 0x5A, 0x88),
                         11);
        case cmdid::Exit:
            return Drawn([](QPainter& p) {
                p.setPen(QPen(kRed, 2.4));
                p.drawArc(QRectF(8, 8, 16, 16), 120 * 16, 300 * 16);
                p.drawLine(QPointF(16, 5), QPointF(16, 15));
            });
        default:
            return Glyph(QStringLiteral("?"), QColor(0x99, 0x99, 0x99), QColor(0x66, 0x66, 0x66));
    }
}

}  // namespace zq
