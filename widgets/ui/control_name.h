// How a dialog names a control that its resource gives an id: "ctl" and the id ("ctl1031").
// The dialogs name their controls so; their tests find them by it.
#pragma once

#include <QObject>
#include <QString>

namespace zq {

inline QString ControlName(int id) {
    return QStringLiteral("ctl%1").arg(id);
}

// The child of `parent` named for `id` as a T; null when there is none of that kind.
template <class T>
T* FindControl(const QObject& parent, int id) {
    return parent.findChild<T*>(ControlName(id));
}

}  // namespace zq
