// A window waiting for a user operation's exchange with the server, which runs on a worker of
// the program's OperationRunner (widgets/operation_runner.h). While it waits, the window's
// controls are disabled, it refuses to close (Esc, the close button) and shows a busy cursor;
// the window thread goes on serving its events, so the chart, the left panel, the report pages
// and the clock keep following the market, and the message boxes the work raises through the
// window bridge show as usual (modal where they are modal).
#pragma once

#include <functional>

class QWidget;

namespace zq {

// Runs `work` on a worker and returns once it has returned, with the window as before. The
// window that waits is the one `window` belongs to (a null window: nothing waits busy). True when
// the work ran to its end; false when the program quit meanwhile: every running operation was then
// called off (sockets shut, messages silenced) and waited for, and the caller does nothing more.
bool RunBusy(QWidget* window, const std::function<void()>& work);

// Starts `work` on a worker and returns at once. Once it has returned, `done` runs on the
// window thread, handed over through the window thread's call queue as the bridge's posts are,
// and the window is as before; when the window has gone by then, `done` is dropped.
void StartBusy(QWidget* window, std::function<void()> work, std::function<void()> done);

// Calls off every running operation and waits for them, serving the window thread meanwhile
// (on the window thread, before the objects the operations touch go).
void ShutdownOperations();

}  // namespace zq
