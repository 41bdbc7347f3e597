// Calls that other threads hand to the user-interface thread. The calls wait in a queue of our
// own under a std::mutex, and Qt's event queue only carries the wake-up (a call of RunPending
// by name), so everything a thread prepared before queueing a call is visibly ordered before
// the call, for ThreadSanitizer as well: Qt's own locks are not built with it, and lambdas
// carried through Qt's queue would show as races.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace zq {

class UiCallQueue : public QObject {
    Q_OBJECT
  public:
    // The queue of the application's thread; made on first use (a QApplication must exist).
    static UiCallQueue& Instance();

    // Queues `call` to run on the user-interface thread and returns.
    void Post(std::function<void()> call);
    // Runs `call` on the user-interface thread and waits until it has run. Not on that thread.
    void RunAndWait(const std::function<void()>& call);

    // Runs what is queued, in order (on the user-interface thread).
    Q_INVOKABLE void RunPending();
    // On the user-interface thread while it waits for a worker: delivers the queued wake-ups
    // at once, so that a worker waiting in RunAndWait goes on.
    void Serve();

  private:
    UiCallQueue() = default;

    std::mutex mutex_;
    std::deque<std::function<void()>> pending_;
};

}  // namespace zq
