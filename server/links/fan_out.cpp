#include "server/links/fan_out.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace zq::server {

FanOut::FanOut(unsigned threads) {
    for (unsigned i = 1; i < std::max(1u, threads); ++i) helpers_.emplace_back([this] { Help(); });
}

FanOut::~FanOut() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    start_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void FanOut::Drain(const Work& work, std::size_t count) {
    for (;;) {
        const std::size_t begin = next_.fetch_add(kRun);
        if (begin >= count) return;
        work(begin, std::min(count, begin + kRun));
    }
}

void FanOut::Run(std::size_t count, const Work& work) {
    if (count <= kRun || helpers_.empty()) {
        if (count > 0) work(0, count);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_ = &work;
        count_ = count;
        next_.store(0);
        ++generation_;
    }
    start_.notify_all();
    Drain(work, count);
    // Every run is taken: wait for the helpers still inside one, and let none start after.
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    work_ = nullptr;
}

void FanOut::Help() {
    BecomeMarketThread("zq-fan-out");
    std::size_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        start_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        // Woken after the caller finished alone: nothing to do.
        if (!work_) continue;
        const Work* work = work_;
        const std::size_t count = count_;
        ++busy_;
        lock.unlock();
        Drain(*work, count);
        lock.lock();
        if (--busy_ == 0) done_.notify_one();
    }
}

MarketPriority BecomeMarketThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
    // This thread only (Linux schedules threads one by one); nothing it starts inherits it.
    sched_param realTime{};
    realTime.sched_priority = kMarketThreadRealTime;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &realTime) == 0)
        return MarketPriority::RealTime;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kMarketThreadNice) == 0)
        return MarketPriority::Nice;
    return MarketPriority::Default;
}

unsigned FanOutThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

}  // namespace zq::server
