#include "widgets/ui/spin_button.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QWheelEvent>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

namespace zq {

namespace {

// A held arrow starts repeating after the first delay, then steps at the second.
constexpr int kRepeatDelayMs = 400;
constexpr int kRepeatIntervalMs = 60;
// One notch of a wheel.
constexpr int kWheelNotch = 120;
// The height without a buddy.
constexpr int kDefaultHeight = 22;

std::int64_t CountOf(const QString& text) {
    const std::string s = text.toStdString();
    std::int64_t v = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v);
    (void)end;
    return error == std::errc() ? v : 0;
}

}  // namespace

MySpinButtonCtrl::MySpinButtonCtrl(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MySpinButtonCtrl"));
    setFixedWidth(kWidth);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    setFocusPolicy(Qt::NoFocus);
    connect(&repeat_, &QTimer::timeout, this, &MySpinButtonCtrl::Repeat);
}

MySpinButtonCtrl::~MySpinButtonCtrl() {
    if (buddy_) buddy_->removeEventFilter(this);
}

void MySpinButtonCtrl::SetBuddy(CFloatNumberEdit* buddy) {
    if (buddy_) buddy_->removeEventFilter(this);
    buddy_ = buddy;
    if (buddy_) buddy_->installEventFilter(this);
    updateGeometry();
}

void MySpinButtonCtrl::AttachToBuddyRight() {
    if (!buddy_ || buddy_->parentWidget() != parentWidget()) return;
    QRect r = buddy_->geometry();
    buddy_->setGeometry(r.x(), r.y(), std::max(r.width() - kWidth, 0), r.height());
    setGeometry(r.right() + 1 - kWidth, r.y(), kWidth, r.height());
}

void MySpinButtonCtrl::SetRange(int lo, int hi) {
    lo_ = std::min(lo, hi);
    hi_ = std::max(lo, hi);
}

void MySpinButtonCtrl::Step(int delta) {
    if (!buddy_) return;
    const std::int64_t count = CountOf(buddy_->ValueText(CFloatNumberEdit::kTextLength));
    const std::int64_t change = static_cast<std::int64_t>(delta) * factor_;
    const int next = static_cast<int>(std::clamp<std::int64_t>(count + change, lo_, hi_));
    buddy_->SetValueText(QString::number(next));
    Q_EMIT Stepped(next);
}

QSize MySpinButtonCtrl::sizeHint() const {
    return QSize(kWidth, buddy_ ? buddy_->sizeHint().height() : kDefaultHeight);
}

void MySpinButtonCtrl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int half = height() / 2;
    const QRect halves[2] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
    for (int i = 0; i < 2; ++i) {
        const int direction = i == 0 ? 1 : -1;
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = halves[i];
        button.state |= held_ == direction ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &button, &p, this);
        QStyleOption arrow;
        arrow.initFrom(this);
        arrow.rect = halves[i].adjusted(3, 2, -3, -2);
        style()->drawPrimitive(i == 0 ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown,
                               &arrow, &p, this);
    }
}

void MySpinButtonCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isEnabled()) {
        QWidget::mousePressEvent(event);
        return;
    }
    held_ = event->position().y() < height() / 2.0 ? 1 : -1;
    Step(held_);
    repeat_.start(kRepeatDelayMs);
    update();
}

void MySpinButtonCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) StopRepeat();
    QWidget::mouseReleaseEvent(event);
}

void MySpinButtonCtrl::wheelEvent(QWheelEvent* event) {
    if (!isEnabled()) return;
    wheelAngle_ += event->angleDelta().y();
    while (wheelAngle_ >= kWheelNotch) {
        wheelAngle_ -= kWheelNotch;
        Step(1);
    }
    while (wheelAngle_ <= -kWheelNotch) {
        wheelAngle_ += kWheelNotch;
        Step(-1);
    }
    event->accept();
}

void MySpinButtonCtrl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && !isEnabled()) StopRepeat();
    QWidget::changeEvent(event);
}

bool MySpinButtonCtrl::eventFilter(QObject* watched, QEvent* event) {
    // The event type comes first: a buddy that is being destroyed still sends events through
    // this filter, and by then it is a plain QWidget that buddy_ must not be compared as.
    if (event->type() == QEvent::KeyPress && isEnabled() && watched == buddy_) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
            Step(key->key() == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MySpinButtonCtrl::Repeat() {
    if (held_ == 0) return;
    Step(held_);
    repeat_.setInterval(kRepeatIntervalMs);
}

void MySpinButtonCtrl::StopRepeat() {
    repeat_.stop();
    if (held_ != 0) {
        held_ = 0;
        update();
    }
}

}  // namespace zq
