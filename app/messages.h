// Window messages between the worker threads and the windows.
#pragma once

namespace zq {

constexpr unsigned WM_USER_BASE = 0x400;
constexpr unsigned WM_PUSH_LINK_CLOSED = 0x403;       // posted: the server closed the push link
constexpr unsigned WM_QUOTE_TICK = 0x407;             // sent: prices of the trading model moved
constexpr unsigned WM_POSITIONS_CHANGED = 0x408;      // sent: the position list was reloaded
constexpr unsigned WM_ORDERS_CHANGED = 0x409;         // sent: the pending-order list was reloaded
constexpr unsigned WM_FORCED_OFFLINE = 0x40A;         // posted: the member logged in elsewhere
constexpr unsigned WM_PRICE_ALERTS_CHANGED = 0x40B;   // posted: a price alert fired
constexpr unsigned WM_PROFIT_ALERTS_CHANGED = 0x40C;  // posted: a profit alert fired

}  // namespace zq
