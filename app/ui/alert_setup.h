// "产品设置": one check box per instrument whose new trading signals may be announced, in the
// groups "期货产品设置" and "外汇产品设置". "保存设置" saves the 50 notification flags (command
// 41) and closes on success; a refused save keeps the dialog open and says nothing.
#pragma once

#include <QDialog>
#include <QHash>

#include "net/signal_feed.h"
#include "widgets/ui/qt_bridge.h"

class QCheckBox;
class QPushButton;

namespace zq {

class AlertSetup : public QDialog, public MessageWindow {
    Q_OBJECT
  public:
    explicit AlertSetup(SignalFeed& feed, QWidget* parent = nullptr);

    std::intptr_t HandleMessage(unsigned, std::intptr_t, std::intptr_t) override { return 0; }
    QWidget* OwnerWidget() override { return this; }

    // The box of an instrument (null for the instruments without one).
    QCheckBox* Box(int instrument) const { return boxes_.value(instrument, nullptr); }
    QPushButton* SaveButton() const { return save_; }
    // The 50 bytes the boxes stand for: 1 for a checked box, 0 for everything else.
    SignalFlags CheckedFlags() const;
    // "保存设置".
    void Save();

  private:
    SignalFeed& feed_;
    QHash<int, QCheckBox*> boxes_;
    QPushButton* save_ = nullptr;
};

}  // namespace zq
