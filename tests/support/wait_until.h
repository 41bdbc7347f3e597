// Waiting for a condition in tests without an event loop: polls until the condition holds, so a
// test asserts what happened, never how long it took.
#pragma once

#include <chrono>
#include <thread>

namespace zq::test {

// True as soon as `done()` is; false when it still is not after `limit` (a generous bound
// against hanging, not a measurement).
template <typename F>
bool WaitUntil(F&& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace zq::test
