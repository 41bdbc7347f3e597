// Mouse events sent straight to a widget, as the window system would deliver them.
#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

namespace zq::test {

inline void SendMouse(QWidget& w, QEvent::Type type, QPoint pos,
                      Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent e(type, QPointF(pos), QPointF(w.mapToGlobal(pos)), button,
                  type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

// A left-button press at `from`, moves to `to` and the release there.
inline void DragWithLeftButton(QWidget& w, QPoint from, QPoint to) {
    SendMouse(w, QEvent::MouseButtonPress, from, Qt::LeftButton);
    SendMouse(w, QEvent::MouseMove, (from + to) / 2);
    SendMouse(w, QEvent::MouseMove, to);
    SendMouse(w, QEvent::MouseButtonRelease, to, Qt::LeftButton);
}

}  // namespace zq::test
