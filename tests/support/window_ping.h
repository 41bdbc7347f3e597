// Whether the window thread answers while a test loads it: a watchdog thread queues a ping to
// the window thread every few milliseconds and notes how long each waited to be served, and the
// peak of the process's resident memory as it goes. Tests assert only that the window answered
// within a generous limit; the figures are for reports.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace zq::test {

// The process's resident memory in MiB (VmRSS); 0 when it cannot be read.
inline long long ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long long kib = 0;
            status >> kib;
            return kib / 1024;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

class WindowPing {
  public:
    // Starts pinging the thread of the application object (the window thread).
    WindowPing() : receiver_(new QObject) {
        receiver_->moveToThread(QCoreApplication::instance()->thread());
        watchdog_ = std::thread([this] { Run(); });
    }
    ~WindowPing() {
        state_->stop = true;
        watchdog_.join();
        // A ping still queued holds the state and runs before the receiver goes.
        receiver_->deleteLater();
    }
    WindowPing(const WindowPing&) = delete;
    WindowPing& operator=(const WindowPing&) = delete;

    // The longest time a ping waited for the window thread so far, counting one still waiting.
    long long LongestWaitMs() const {
        const long long sent = state_->pending.load();
        long long longest = state_->longest.load();
        if (sent != 0) longest = std::max(longest, NowMs() - sent);
        return longest;
    }
    // Pings the window thread has served.
    int Answered() const { return state_->answered.load(); }
    // The highest resident memory seen since the ping started, in MiB.
    long long PeakResidentMiB() const { return state_->peakMiB.load(); }

  private:
    struct State {
        std::atomic<bool> stop{false};
        std::atomic<long long> pending{0};  // when the ping waiting now was sent; 0: none
        std::atomic<long long> longest{0};
        std::atomic<int> answered{0};
        std::atomic<long long> peakMiB{0};
    };

    static long long NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Run() {
        while (!state_->stop) {
            state_->peakMiB = std::max(state_->peakMiB.load(), ResidentMiB());
            if (state_->pending.load() == 0) {
                const long long sent = NowMs();
                state_->pending = sent;
                QMetaObject::invokeMethod(
                    receiver_,
                    [state = state_, sent] {
                        state->longest = std::max(state->longest.load(), NowMs() - sent);
                        ++state->answered;
                        state->pending = 0;
                    },
                    Qt::QueuedConnection);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
    QObject* receiver_;
    std::thread watchdog_;
};

}  // namespace zq::test
