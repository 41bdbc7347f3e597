#include "widgets/ui/ui_queue.h"

#include <QCoreApplication>
#include <QThread>

#include "widgets/ui/handoff.h"

namespace zq {

UiCallQueue& UiCallQueue::Instance() {
    static UiCallQueue* queue = [] {
        auto* q = new UiCallQueue;  // for the life of the process
        q->moveToThread(QCoreApplication::instance()->thread());
        return q;
    }();
    return *queue;
}

void UiCallQueue::Post(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
}

void UiCallQueue::RunAndWait(const std::function<void()>& call) {
    // The call's results come back through Qt's wait, which ThreadSanitizer cannot see: the
    // token carries them.
    int back = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back([&call, &back] {
            call();
            HandOff(&back);
        });
    }
    // Returns once a run has taken this call and finished it (runs follow one another).
    QMetaObject::invokeMethod(this, "RunPending", Qt::BlockingQueuedConnection);
    TakeOver(&back);
}

void UiCallQueue::Serve() {
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void UiCallQueue::RunPending() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.swap(pending_);
    }
    for (auto& call : calls) call();
}

}  // namespace zq
