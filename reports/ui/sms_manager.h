// The message manager: every message of the frame's store with its time, the newest first,
// and the full text of the selected one below the list. It refills itself every five seconds
// while it is open.
#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace zq {

class CSortListCtrl;
class MessageStore;

class CSmsManager : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kRefillMs = 5000;
    static constexpr int kTimeColumnWidth = 150;
    static constexpr int kTextColumnWidth = 500;

    explicit CSmsManager(const MessageStore& store, QWidget* parent = nullptr);

    CSortListCtrl* List() const { return list_; }
    QPlainTextEdit* TextField() const { return text_; }
    QPushButton* CloseButton() const { return close_; }
    QTimer* RefillTimer() const { return refillTimer_; }

    // Rebuilds the rows from a copy of the store, the last appended message first. The
    // selection goes; the text field keeps what it shows.
    void Fill();

  private:
    void ShowSelectedText();

    const MessageStore& store_;
    CSortListCtrl* list_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QPushButton* close_ = nullptr;
    QTimer* refillTimer_ = nullptr;
    bool filling_ = false;
};

}  // namespace zq
