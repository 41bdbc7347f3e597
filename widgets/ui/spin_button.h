// A spin control for a numeric edit field: a narrow pair of up and down arrow buttons that
// steps the integer count of its buddy field. Every step request of ±1 is multiplied by the
// step factor (1 when created), so the order dialogs make one click move the lots by one lot
// step.
//
// A step reads the buddy's count (at most CFloatNumberEdit::kTextLength characters), adds the
// change, keeps the result within the range and writes it back; a count outside the range thus
// snaps into it on the first step. The arrows step while held (after a short delay, then
// repeatedly), the mouse wheel over the control steps once per notch, and the Up and Down keys
// step while the buddy has the keyboard focus. Without a buddy nothing steps.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "widgets/ui/float_number_edit.h"

namespace zq {

class MySpinButtonCtrl : public QWidget {
    Q_OBJECT
  public:
    // The control is this wide; its height is its buddy's.
    static constexpr int kWidth = 16;

    explicit MySpinButtonCtrl(QWidget* parent = nullptr);
    ~MySpinButtonCtrl() override;

    void SetBuddy(CFloatNumberEdit* buddy);
    CFloatNumberEdit* Buddy() const { return buddy_; }
    // Puts the control inside the right edge of its buddy (both children of one parent), the
    // buddy giving up that much width.
    void AttachToBuddyRight();

    // The counts a step may reach (0..100 when created); given the wrong way round they are
    // swapped.
    void SetRange(int lo, int hi);
    int Lower() const { return lo_; }
    int Upper() const { return hi_; }

    void SetStepFactor(int factor) { factor_ = factor; }
    int StepFactor() const { return factor_; }

    // One step request: +1 is the up arrow, -1 the down arrow.
    void Step(int delta);

    QSize sizeHint() const override;

  Q_SIGNALS:
    // After every step, with the count written to the buddy.
    void Stepped(int count);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Repeat();
    void StopRepeat();

    QPointer<CFloatNumberEdit> buddy_;
    int lo_ = 0;
    int hi_ = 100;
    int factor_ = 1;
    int held_ = 0;        // +1 while the up arrow is held, -1 the down arrow
    int wheelAngle_ = 0;  // wheel turn not yet stepped, in eighths of a degree
    QTimer repeat_;
};

}  // namespace zq
