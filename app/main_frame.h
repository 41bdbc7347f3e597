// The program's only top-level window after login.
#pragma once

#include <QMainWindow>

#include "app/qt_bridge.h"

namespace zq {

QString MainFrameTitle();

class CMainFrame : public QMainWindow, public MessageWindow {
    Q_OBJECT
  public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }
};

}  // namespace zq
