#include "widgets/operation_runner.h"

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/ui_bridge.h"
#include "net/wire/socket.h"

namespace zq {

// The operations started between two shutdowns: their sockets and whether they were called off.
struct OperationRunner::Generation {
    std::shared_ptr<SocketGroup> sockets = std::make_shared<SocketGroup>();
    std::atomic<bool> calledOff{false};
};

OperationRunner::OperationRunner() : current_(std::make_shared<Generation>()) {}

OperationRunner::~OperationRunner() {
    Shutdown();
}

void OperationRunner::Start(std::function<void()> work, std::function<void()> finished) {
    std::shared_ptr<Generation> generation;
    {
        std::lock_guard lock(mutex_);
        generation = current_;
        ++running_;
    }
    const auto deadline = OperationDeadline::Clock::now() +
                          std::chrono::milliseconds(timeouts::OperationDeadlineMs());
    auto body =
        std::make_shared<std::function<void()>>([this, generation, deadline, work = std::move(work),
                                                 finished = std::move(finished)]() mutable {
            {
                // Whatever the work holds goes before the operation counts as ended.
                auto ownWork = std::move(work);
                auto ownFinished = std::move(finished);
                SocketGroup::Scope sockets(generation->sockets);
                OperationDeadline::Scope scope(deadline);
                SetThreadQuietFlag(&generation->calledOff);
                try {
                    ownWork();
                } catch (...) {
                    // A failed operation has shown what it could; the program goes on.
                }
                try {
                    if (ownFinished) ownFinished();
                } catch (...) {
                }
                SetThreadQuietFlag(nullptr);
            }
            std::lock_guard lock(mutex_);
            --running_;
            idle_.notify_all();
        });
    try {
        std::thread([body] { (*body)(); }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the operation runs here rather than not at all.
        (*body)();
    }
}

void OperationRunner::Shutdown(const std::function<void()>& serve) {
    std::unique_lock lock(mutex_);
    std::shared_ptr<Generation> old = std::move(current_);
    current_ = std::make_shared<Generation>();
    old->calledOff = true;
    old->sockets->Stop();
    while (running_ > 0) {
        idle_.wait_for(lock, std::chrono::milliseconds(5));
        if (serve && running_ > 0) {
            lock.unlock();
            serve();
            lock.lock();
        }
    }
}

int OperationRunner::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

OperationRunner& Operations() {
    static auto* runner = new OperationRunner;  // for the life of the process
    return *runner;
}

namespace {
std::atomic<bool> g_asideOpen{false};
}

bool ShowMessageAside(const std::string& text) {
    if (g_asideOpen.exchange(true)) return false;
    Operations().Start([text] { ShowMessage(nullptr, text); }, [] { g_asideOpen = false; });
    return true;
}

}  // namespace zq
