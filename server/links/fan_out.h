// Work over many push links shared among a few threads: the caller takes one share and waits
// for the others, so a step reaches 10,000 links in the time the machine's cores take together
// rather than one after another.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zq::server {

class FanOut {
  public:
    // Below this many items the caller does them all: a thread's wake costs more.
    static constexpr std::size_t kMinShare = 512;

    // `threads`: the threads that share the work, the caller among them (at least 1).
    explicit FanOut(unsigned threads);
    ~FanOut();
    FanOut(const FanOut&) = delete;
    FanOut& operator=(const FanOut&) = delete;

    // Calls `work(begin, end)` on consecutive ranges that together cover [0, count), each range
    // on one thread, and returns when all are done. One Run at a time.
    void Run(std::size_t count, const std::function<void(std::size_t, std::size_t)>& work);

    unsigned Threads() const { return static_cast<unsigned>(helpers_.size()) + 1; }

  private:
    void Help(unsigned share);

    std::mutex mutex_;
    std::condition_variable start_, done_;
    std::vector<std::thread> helpers_;
    // The run in hand: its number (each helper takes each run once), the work and its size.
    std::size_t run_ = 0;
    const std::function<void(std::size_t, std::size_t)>* work_ = nullptr;
    std::size_t count_ = 0;
    unsigned shares_ = 1;
    unsigned pending_ = 0;  // helpers' shares not yet done
    bool stop_ = false;
};

// The threads a fan-out of the push links uses on this machine: one for each core, at most 8.
unsigned FanOutThreads();

}  // namespace zq::server
