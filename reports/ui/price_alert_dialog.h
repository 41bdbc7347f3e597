// "价格预警设置": creates price alerts (request 9) and deletes them from the list of those that
// are stored (request 10, from the list's "删除" menu). While it is open it is the frame's
// registered price alert dialog: a fired alert that left the list refills it.
#pragma once

#include <QDialog>

#include "widgets/ui/qt_bridge.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace zq {

class AlertCheck;
class CSortListCtrl;

class CPriceAlter : public QDialog, public MessageWindow {
    Q_OBJECT
  public:
    static constexpr int kRowHeight = 25;

    // Registers itself with `alerts` as the open price alert dialog until it goes.
    explicit CPriceAlter(AlertCheck& alerts, QWidget* parent = nullptr);
    ~CPriceAlter() override;

    // WM_PRICE_ALERTS_CHANGED refills the list.
    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    QComboBox* Products() const { return products_; }
    QComboBox* Conditions() const { return conditions_; }
    QLineEdit* PriceEdit() const { return price_; }
    QPushButton* SaveButton() const { return save_; }
    CSortListCtrl* List() const { return list_; }

    // "保存": the checks in order, then request 9; the dialog stays open.
    void Save();
    // "删除" of the list's menu, on the first selected row (nothing when none is selected).
    void DeleteSelected();
    // The list again from a copy of the price alerts.
    void Refill();

  private:
    void ShowListMenu(const QPoint& at);

    AlertCheck& alerts_;
    QComboBox* products_ = nullptr;
    QComboBox* conditions_ = nullptr;
    QLineEdit* price_ = nullptr;
    QPushButton* save_ = nullptr;
    CSortListCtrl* list_ = nullptr;
};

}  // namespace zq
