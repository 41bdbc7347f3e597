// Reading and working the controls of the trading dialogs by their ids, as a user would.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QString>

#include "chart/ui/price_static.h"
#include "trading/ui/trade_dialog.h"
#include "widgets/ui/float_number_edit.h"

namespace zq::test {

// The control `id` as a T; a test failure when it is missing or of another kind.
template <typename T>
T* Find(CTradeDialog& d, int id) {
    T* w = qobject_cast<T*>(d.Control(id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
}

// What the control shows: a number field's displayed text, a field's, label's or button's
// text, a price's text or the chosen entry of a list.
inline QString Text(CTradeDialog& d, int id) {
    QWidget* w = d.Control(id);
    if (auto* e = qobject_cast<CFloatNumberEdit*>(w)) return e->DisplayedText();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* p = qobject_cast<CPriceStatic*>(w)) return p->Text();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    ADD_FAILURE() << "no text control " << id;
    return {};
}

// Sets a number field's text as if typed.
inline void Type(CTradeDialog& d, int id, const QString& text) {
    if (auto* e = Find<CFloatNumberEdit>(d, id)) e->setText(text);
}

inline void Click(CTradeDialog& d, int id) {
    if (auto* b = Find<QAbstractButton>(d, id)) b->click();
}

}  // namespace zq::test
