// "程序化交易设置": the switch of programmatic trading, saved on the server (command 53) after
// the available margin that the member's class asks for has been checked.
#pragma once

#include <QDialog>

#include "widgets/ui/qt_bridge.h"

class QCheckBox;

namespace zq {

class TradingModel;

class CPeaSetup1 : public QDialog, public MessageWindow {
    Q_OBJECT
  public:
    enum ControlId : int {
        kSave = 1000,  // "保存设置"
        kCancel = 1021,
        kSwitch = 1038,  // "启用程序化交易"
    };

    explicit CPeaSetup1(TradingModel& model, QWidget* parent = nullptr);

    std::intptr_t HandleMessage(unsigned, std::intptr_t, std::intptr_t) override { return 0; }
    QWidget* OwnerWidget() override { return this; }
    QCheckBox* Switch() const { return enabled_; }
    // "保存设置".
    void Save();

  private:
    TradingModel& model_;
    QCheckBox* enabled_ = nullptr;
};

}  // namespace zq
