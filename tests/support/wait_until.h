// Waiting for a condition in tests without an event loop: polls until the condition holds, so a
// test asserts what happened, never how long it took.
#pragma once

#include <chrono>
#include <thread>

#include "widgets/operation_runner.h"

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

// True once no exchange of the program's operation runner is under way any more (what runs off
// the window thread has delivered its result).
inline bool OperationsDone() {
    return WaitUntil([] { return Operations().Running() == 0; });
}

}  // namespace zq::test
