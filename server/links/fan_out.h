// Work over many push links shared among a few threads: the caller and the fan-out's threads
// take the links in small runs until none is left, so a step reaches 10,000 links in the time
// the machine's cores take together, and a thread that starts late only takes fewer runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zq::server {

class FanOut {
  public:
    // The items a thread takes at a time; work of a single run is done by the caller alone.
    static constexpr std::size_t kRun = 128;

    // `threads`: the threads that share the work, the caller among them (at least 1).
    explicit FanOut(unsigned threads);
    ~FanOut();
    FanOut(const FanOut&) = delete;
    FanOut& operator=(const FanOut&) = delete;

    // Calls `work(begin, end)` on consecutive ranges that together cover [0, count), each range
    // on one thread, and returns when all are done. One Run at a time.
    void Run(std::size_t count, const std::function<void(std::size_t, std::size_t)>& work);

  private:
    using Work = std::function<void(std::size_t, std::size_t)>;
    void Help();
    // Takes runs of the current work until none is left.
    void Drain(const Work& work, std::size_t count);

    std::mutex mutex_;
    std::condition_variable start_, done_;
    std::vector<std::thread> helpers_;
    // The work in hand (null between runs), its number and size, and the next run to take.
    const Work* work_ = nullptr;
    std::size_t generation_ = 0;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    unsigned busy_ = 0;  // helpers inside the work
    bool stop_ = false;
};

// The threads a fan-out of the push links uses on this machine: one for each core, at most 8.
unsigned FanOutThreads();

// The priority the threads that hand the market out ask for, so that a tick reaches every link
// before an order or a login gets its turn: real-time round-robin at kMarketThreadRealTime, above
// every ordinary thread of the machine, where the system grants it (root, or a service allowed it
// by LimitRTPRIO=1); else nice kMarketThreadNice, above the rest of the server (LimitNICE=-5);
// else the default. A step is bounded work and the market's clock rests between steps, so the
// rest of the server always keeps its share of the cores.
constexpr int kMarketThreadRealTime = 1;
constexpr int kMarketThreadNice = -5;
enum class MarketPriority { RealTime, Nice, Default };
// Names the calling thread (top -H, ps -L) and asks for the market's priority; what it got.
MarketPriority BecomeMarketThread(const char* name);

}  // namespace zq::server
