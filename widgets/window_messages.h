// Window messages between the worker threads and the windows. The client's own: the server
// links nothing above base/ and the records, and never sees them.
#pragma once

#include <cstdint>

namespace zq {

constexpr unsigned WM_USER_BASE = 0x400;
constexpr unsigned WM_PUSH_LINK_CLOSED = 0x403;       // posted: the server closed the push link
constexpr unsigned WM_QUOTE_TICK = 0x407;             // sent: prices of the trading model moved
constexpr unsigned WM_POSITIONS_CHANGED = 0x408;      // sent: the position list was reloaded
constexpr unsigned WM_ORDERS_CHANGED = 0x409;         // sent: the pending-order list was reloaded
constexpr unsigned WM_FORCED_OFFLINE = 0x40A;         // posted: the member logged in elsewhere
constexpr unsigned WM_PRICE_ALERTS_CHANGED = 0x40B;   // posted: a price alert fired
constexpr unsigned WM_PROFIT_ALERTS_CHANGED = 0x40C;  // posted: a profit alert fired
// Posted by the message store for every new message: wparam the sound id to play (0 none).
constexpr unsigned WM_NEW_MESSAGE = 0x40D;
// Posted by the signal feed to the main frame: wparam the instrument, lparam 0 to mark its
// toolbar button after a published signal, 1 to count its signals again after a withdrawal.
constexpr unsigned WM_SIGNAL_MARK = 0x40E;

// The chart window's own messages, posted by the chart's hooks from any thread.
// Repaint the chart, the whole of it (wparam and lparam 0) or the band packed into wparam
// (left, top) and lparam (right, bottom) by PackPair.
constexpr unsigned WM_CHART_INVALIDATE = 0x480;
// Posted by the trading model after a reload: lay the chart out again and repaint it.
constexpr unsigned WM_CHART_RELAYOUT = 0x481;
// The layout moved the cross or its bar: redraw the cross, refresh the data window and the
// price scale from the chart's state.
constexpr unsigned WM_CHART_CROSS = 0x482;

// Two 32-bit numbers in one message parameter, and back.
inline std::intptr_t PackPair(int a, int b) {
    const auto hi = static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32;
    return static_cast<std::intptr_t>(hi | static_cast<std::uint32_t>(b));
}
inline void UnpackPair(std::intptr_t v, int& a, int& b) {
    const auto u = static_cast<std::uint64_t>(v);
    a = static_cast<std::int32_t>(static_cast<std::uint32_t>(u >> 32));
    b = static_cast<std::int32_t>(static_cast<std::uint32_t>(u & 0xffffffffu));
}

}  // namespace zq
