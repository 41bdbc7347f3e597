#include "widgets/ui/busy_operation.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <vector>

#include "widgets/operation_runner.h"
#include "widgets/ui/ui_queue.h"

namespace zq {
namespace {

// The waiting state of one window, for as long as it lives: its enabled controls disabled,
// closing refused, a busy cursor; all undone at the end.
class BusyState final : public QObject {
  public:
    explicit BusyState(QWidget* window) : window_(window) {
        if (!window) return;
        // The window's own focus child, which it keeps while another window is active.
        QWidget* focus = window->focusWidget();
        if (focus && window->isAncestorOf(focus)) focus_ = focus;
        for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->isWindow() || !child->isEnabled()) continue;
            child->setEnabled(false);
            disabled_.emplace_back(child);
        }
        hadCursor_ = window->testAttribute(Qt::WA_SetCursor);
        if (hadCursor_) cursor_ = window->cursor();
        window->setCursor(Qt::BusyCursor);
        window->installEventFilter(this);
    }
    ~BusyState() override {
        if (!window_) return;
        window_->removeEventFilter(this);
        for (auto& child : disabled_)
            if (child) child->setEnabled(true);
        if (hadCursor_)
            window_->setCursor(cursor_);
        else
            window_->unsetCursor();
        if (focus_ && focus_->isEnabled()) focus_->setFocus();
    }
    BusyState(const BusyState&) = delete;
    BusyState& operator=(const BusyState&) = delete;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_) return false;
        if (event->type() == QEvent::Close) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) return true;
        }
        return false;
    }

  private:
    QPointer<QWidget> window_;
    QPointer<QWidget> focus_;
    std::vector<QPointer<QWidget>> disabled_;
    bool hadCursor_ = false;
    QCursor cursor_;
};

void ServeWindowThread() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    UiCallQueue::Instance().Serve();
}

}  // namespace

void ShutdownOperations() {
    Operations().Shutdown(ServeWindowThread);
}

namespace {
// The window thread's call queue, and an operation still running when the program leaves its
// event loop called off.
void PrepareWindowThread() {
    UiCallQueue::Instance();  // made on the window thread before a worker can use it
    static const bool hooked = [] {
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [] { ShutdownOperations(); });
        return true;
    }();
    (void)hooked;
}
}  // namespace

bool RunBusy(QWidget* window, const std::function<void()>& work) {
    struct Wait {
        bool finished = false;
        QEventLoop* loop = nullptr;
    };
    auto wait = std::make_shared<Wait>();
    BusyState busy(window ? window->window() : nullptr);
    QEventLoop loop;
    wait->loop = &loop;
    PrepareWindowThread();
    Operations().Start(work, [wait] {
        UiCallQueue::Instance().Post([wait] {
            wait->finished = true;
            if (wait->loop) wait->loop->quit();
        });
    });
    if (!wait->finished) loop.exec();
    wait->loop = nullptr;
    if (wait->finished) return true;
    // The program quits while the operation runs: `work` may refer to what the caller holds,
    // so it must have returned before the caller goes on.
    ShutdownOperations();
    return false;
}

void StartBusy(QWidget* window, std::function<void()> work, std::function<void()> done) {
    auto* busy = new BusyState(window ? window->window() : nullptr);
    QPointer<QObject> alive(window ? static_cast<QObject*>(window) : qApp);
    PrepareWindowThread();
    Operations().Start(std::move(work), [busy, alive, done = std::move(done)] {
        UiCallQueue::Instance().Post([busy, alive, done] {
            delete busy;
            if (alive && done) done();
        });
    });
}

}  // namespace zq
