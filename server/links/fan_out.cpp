#include "server/links/fan_out.h"

#include <algorithm>

namespace zq::server {
namespace {

// The range of share `i` of `shares` over [0, count).
std::pair<std::size_t, std::size_t> ShareOf(std::size_t count, unsigned shares, unsigned i) {
    return {count * i / shares, count * (i + 1) / shares};
}

}  // namespace

FanOut::FanOut(unsigned threads) {
    for (unsigned i = 1; i < std::max(1u, threads); ++i)
        helpers_.emplace_back([this, i] { Help(i); });
}

FanOut::~FanOut() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    start_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void FanOut::Run(std::size_t count, const std::function<void(std::size_t, std::size_t)>& work) {
    const auto shares =
        static_cast<unsigned>(std::clamp<std::size_t>(count / kMinShare, 1, helpers_.size() + 1));
    if (shares == 1) {
        if (count > 0) work(0, count);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++run_;
        work_ = &work;
        count_ = count;
        shares_ = shares;
        pending_ = shares - 1;
    }
    start_.notify_all();
    const auto [begin, end] = ShareOf(count, shares, 0);
    work(begin, end);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    work_ = nullptr;
}

void FanOut::Help(unsigned share) {
    std::size_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        start_.wait(lock, [&] { return stop_ || run_ != seen; });
        if (stop_) return;
        seen = run_;
        // A run with fewer shares leaves this helper out.
        if (share >= shares_) continue;
        const auto* work = work_;
        const auto [begin, end] = ShareOf(count_, shares_, share);
        lock.unlock();
        (*work)(begin, end);
        lock.lock();
        if (--pending_ == 0) done_.notify_one();
    }
}

unsigned FanOutThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

}  // namespace zq::server
