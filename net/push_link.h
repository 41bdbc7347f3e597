// The push link: one long-lived connection to the push port on which the server sends market
// records, trading signals, instant messages, keep-alives and the two log-out orders; connected
// and then read by PushLinkReader on a thread of its own that is never joined, so the thread
// that asks for the link never waits for the server.
//
// Also here, because both link workers (this reader and the history loader) use them:
//   - LinkSocket, a socket one thread reads while another may shut it down to wake that read;
//   - LinkGate, the door through which a worker reaches objects the view does not own (the
//     trading model, the frame's message store, the chart's hooks), closed by the view before
//     those objects go away.
//
// Item stream: int32 type, then a body by type:
//   -1  none                 the server closed the link: logout(WM_PUSH_LINK_CLOSED), end
//    0  none                 ignored
//    1  56 bytes             a BarRecord: a signal (byte 44 == 255) or a market record
//    2  int32 more, int32 time, int32 length N, N bytes of code page 936 text
//                            instant message; more or time not above 0 ends the reader, so
//                            does N above kMaxMessageBytes
//    3  100 bytes            read and discarded
//    4  none                 keep-alive
//    5  none                 logged in elsewhere: logout(WM_FORCED_OFFLINE), end
//    other values: no body, ignored.
// Every body is read whole; a failed read, a log-out order or an exception ends the reader,
// which then closes its own socket. The recorded socket stays recorded until the owner's next
// link check (or a log-out order) drops it and connects again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "market/bar_series.h"
#include "market/wire/bar_record.h"
#include "net/wire/framing.h"
#include "net/wire/socket.h"

namespace zq {

// A connected socket shared between the thread that reads it and the threads that may stop
// it. On POSIX a close in another thread neither wakes a blocked read nor keeps the descriptor
// number from being reused at once, so stopping is a shutdown, and only the reading thread
// closes. Shutdown and Close exclude each other, so a shutdown never reaches a reused number.
class LinkSocket {
  public:
    explicit LinkSocket(Socket socket) : socket_(std::move(socket)) {}
    LinkSocket(const LinkSocket&) = delete;
    LinkSocket& operator=(const LinkSocket&) = delete;

    // The socket itself, for the reading thread only.
    Socket& Get() { return socket_; }
    // Any thread: shuts the socket down both ways (a blocked read returns), once.
    void Shutdown();
    bool WasShutDown() const { return shutDown_.load(); }
    // The reading thread: shuts down and closes.
    void Close();

  private:
    std::mutex mutex_;
    Socket socket_;
    std::atomic<bool> shutDown_{false};
};

// Lets workers into code that touches objects with a shorter life than the workers. A worker
// holds a Pass while it is inside; Close shuts the door and waits for those inside to leave.
// A worker inside may be waiting for the user-interface thread (a synchronous window message,
// a message box), so Close runs `pump` while it waits, to serve those requests. A worker may
// also be waiting for the server on a connection it opened inside (the quote update's
// reloads): the link workers run in the gate's socket group, and Close first shuts down every
// socket of that group.
class LinkGate {
  public:
    class Pass {
      public:
        explicit Pass(LinkGate& gate) : gate_(gate), open_(gate.Enter()) {}
        ~Pass() {
            if (open_) gate_.Leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return open_; }

      private:
        LinkGate& gate_;
        bool open_;
    };

    bool Enter();
    void Leave();
    // Idempotent. After it returns no worker is inside and none gets in, and no worker thread
    // of the gate's group has a connection to the server or makes one.
    void Close(const std::function<void()>& pump = {});
    bool Closed() const;
    // The socket group the link workers run in.
    const std::shared_ptr<SocketGroup>& Sockets() const { return sockets_; }

  private:
    const std::shared_ptr<SocketGroup> sockets_ = std::make_shared<SocketGroup>();
    mutable std::mutex mutex_;
    std::condition_variable left_;
    int inside_ = 0;
    bool closed_ = false;
};

// What the reader does with the items; called on the reader's thread inside the gate. Any of
// them may stay empty.
struct PushHandlers {
    std::function<void(const BarRecord& record)> marketRecord;
    std::function<void(const BarRecord& signal)> signal;
    std::function<void(const std::string& textUtf8, std::int32_t time)> instantMessage;
    // Called with WM_PUSH_LINK_CLOSED or WM_FORCED_OFFLINE.
    std::function<void(unsigned msg)> logout;
};

// The push link state shared by its owner and its readers; always held by a shared_ptr
// (std::make_shared), since every reader keeps its link alive.
class PushLink : public std::enable_shared_from_this<PushLink> {
  public:
    PushLink(PushHandlers handlers, std::shared_ptr<LinkGate> gate);
    PushLink(const PushLink&) = delete;
    PushLink& operator=(const PushLink&) = delete;

    // Returns at once. Unless a socket is recorded or a connect is under way, starts a detached
    // thread that connects, records the socket and goes on as its PushLinkReader. A failed
    // connect records nothing and says nothing (the next link check retries). Returns whether
    // a socket is recorded or a connect is under way afterwards: false only when no thread
    // could be started.
    bool Connect(std::uint32_t addressNetOrder, std::uint16_t port);
    // Shuts the recorded socket down (its reader ends) and records none. A connect under way
    // is called off: its socket, should it still connect, is closed unread and never recorded,
    // and the next Connect starts afresh.
    void Close();
    // A connected socket is recorded.
    bool Recorded() const;
    // A connect is under way.
    bool Connecting() const;
    // A socket is recorded or a connect is under way, read at one moment.
    bool RecordedOrConnecting() const;

    // The keep-alive flag: set by every keep-alive, taken (read and cleared) by the link check.
    void MarkKeepAlive() { keepAlive_.store(true); }
    bool TakeKeepAlive() { return keepAlive_.exchange(false); }

    // The reader routine on the calling thread: subscribes, then reads and dispatches items
    // until the link ends; closes its socket. Returns 1 as the thread result.
    int PushLinkReader(std::shared_ptr<LinkSocket> socket);

  private:
    class ItemReader;
    // The thread of one Connect: connects and, unless Close came meanwhile (`attempt` is no
    // longer the current one), records the socket and reads it.
    void ConnectAndRead(std::uint64_t attempt, std::uint32_t addressNetOrder, std::uint16_t port);
    // Reads the body of one item and acts on it; false when the reader is to end.
    bool Dispatch(std::int32_t type, ItemReader& items);

    const PushHandlers handlers_;
    const std::shared_ptr<LinkGate> gate_;
    mutable std::mutex mutex_;
    std::shared_ptr<LinkSocket> socket_;  // the recorded socket; null = not connected
    std::uint64_t attempt_ = 0;           // raised by every Close: older connects are void
    bool connecting_ = false;             // a connect of the current attempt is under way
    std::atomic<bool> keepAlive_{true};
};

}  // namespace zq
