// The message manager: every message of the frame's store with its time, the newest first,
// and the full text of the selected one below the list. It refills itself every five seconds
// while it is open.
//
// Cost. A fill copies the store and sets the rows' count at once; the cells of the first rows
// (more than any window shows) are written at once, the rest a batch per turn of the event loop,
// so that opening the manager on a full store costs what is visible. The copy holds the head of
// each text, longer than any column shows; the text field shows the selected message whole,
// from the store.
#pragma once

#include <QDialog>
#include <cstdint>
#include <vector>

#include "reports/message_store.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace zq {

class CSortListCtrl;

class CSmsManager : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kRefillMs = 5000;
    static constexpr int kTimeColumnWidth = 150;
    static constexpr int kTextColumnWidth = 500;
    // Rows whose cells a fill writes at once, and rows written per later turn of the event loop.
    static constexpr int kFirstFillRows = 256;
    static constexpr int kFillBatchRows = 500;
    // The characters of a message a cell holds, and the bytes of it copied for them (a
    // character takes at most four).
    static constexpr int kCellTextChars = 1024;
    static constexpr std::size_t kCellTextBytes = 4 * kCellTextChars;

    explicit CSmsManager(const MessageStore& store, QWidget* parent = nullptr);

    CSortListCtrl* List() const { return list_; }
    QPlainTextEdit* TextField() const { return text_; }
    QPushButton* CloseButton() const { return close_; }
    QTimer* RefillTimer() const { return refillTimer_; }

    // Rebuilds the rows from a copy of the store, the last appended message first. The
    // selection goes; the text field keeps what it shows.
    void Fill();
    // Rows whose cells are written so far.
    int FilledRows() const;

  private:
    void ShowSelectedText();

    const MessageStore& store_;
    std::vector<MessageRecord> rows_;  // heads as listed: the newest first
    std::uint64_t firstSerial_ = 0;    // the store's serial of the oldest row
    CSortListCtrl* list_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QPushButton* close_ = nullptr;
    QTimer* refillTimer_ = nullptr;
    bool filling_ = false;
};

}  // namespace zq
