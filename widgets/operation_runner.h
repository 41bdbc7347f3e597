// One way to run a user operation's exchange with the server off the window thread.
//
// Each operation runs on a worker thread of its own, inside the runner's socket group and under
// one deadline for the operation as a whole (timeouts::OperationDeadlineMs(), counted from the
// start): every connect and read the operation makes stops when it passes, so the operation
// ends with its own failure message, as after a lost connection. The work may show message
// boxes and send window messages through the window bridge; they wait for the window thread,
// which goes on serving its events meanwhile.
//
// Lifetime. Workers are not joined one by one. Shutdown, called before the objects the work
// touches go (the program closes), shuts down every socket of the running operations (their
// reads end at once, their connects fail), silences their message boxes, and waits until no
// work runs, serving the window thread meanwhile; operations started afterwards run as usual.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zq {

class OperationRunner {
  public:
    OperationRunner();
    // Shuts down what still runs (Shutdown without serving).
    ~OperationRunner();
    OperationRunner(const OperationRunner&) = delete;
    OperationRunner& operator=(const OperationRunner&) = delete;

    // Starts `work` on a new worker thread and returns; `finished` runs on that worker once
    // `work` has returned (also when it threw, or was called off by Shutdown).
    void Start(std::function<void()> work, std::function<void()> finished = {});

    // Calls off the running operations and waits until their work and `finished` have
    // returned, calling `serve` (if any) every few milliseconds while it waits.
    void Shutdown(const std::function<void()>& serve = {});

    // Operations whose work has not yet returned.
    int Running() const;

  private:
    struct Generation;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::shared_ptr<Generation> current_;
    int running_ = 0;
};

// The program's runner, for every user operation (it lives as long as the process).
OperationRunner& Operations();

// A message box for a thread that must not wait on one (the push reader: no quote would pass
// while it is open). A worker of the program's runner shows it, and the caller goes on at once.
// While one such box is open no other is shown (false): a failure repeated on every quote
// raises one box at a time, never a queue of them.
bool ShowMessageAside(const std::string& text);

}  // namespace zq
