#include "net/push_link.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "base/ui_bridge.h"
#include "net/wire/framing.h"
#include "net/wire/session.h"
#include "reports/message_store.h"
#include "widgets/operation_runner.h"
#include "widgets/window_messages.h"

namespace zq {

// --- LinkSocket ---

void LinkSocket::Shutdown() {
    std::lock_guard lock(mutex_);
    if (shutDown_.exchange(true)) return;
    socket_.Shutdown();
}

void LinkSocket::Close() {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    socket_.ShutdownClose();
}

// --- LinkGate ---

bool LinkGate::Enter() {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void LinkGate::Leave() {
    {
        std::lock_guard lock(mutex_);
        --inside_;
    }
    left_.notify_all();
}

void LinkGate::Close(const std::function<void()>& pump) {
    sockets_->Stop();  // wakes a worker that waits for the server inside the gate
    std::unique_lock lock(mutex_);
    closed_ = true;
    while (inside_ > 0) {
        if (pump) {
            lock.unlock();
            pump();
            lock.lock();
            left_.wait_for(lock, std::chrono::milliseconds(2), [this] { return inside_ == 0; });
        } else {
            left_.wait(lock, [this] { return inside_ == 0; });
        }
    }
}

bool LinkGate::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

// --- PushLink ---

PushLink::PushLink(PushHandlers handlers, std::shared_ptr<LinkGate> gate)
    : handlers_(std::move(handlers)),
      gate_(gate ? std::move(gate) : std::make_shared<LinkGate>()) {}

bool PushLink::Connect(std::uint32_t addressNetOrder, std::uint16_t port) {
    std::lock_guard lock(mutex_);
    if (socket_ || connecting_) return true;
    try {
        std::thread([link = shared_from_this(), attempt = attempt_, addressNetOrder, port] {
            link->ConnectAndRead(attempt, addressNetOrder, port);
        }).detach();
    } catch (...) {
        return false;  // no thread to be had: the next link check tries again
    }
    connecting_ = true;
    return true;
}

void PushLink::ConnectAndRead(std::uint64_t attempt, std::uint32_t addressNetOrder,
                              std::uint16_t port) {
    // In the gate's socket group, so that the shutdown also ends a connect that hangs.
    SocketGroup::Scope scope(gate_->Sockets());
    const SessionUse session;
    Socket s = Socket::Connect(addressNetOrder, port, timeouts::PushReadMs);
    std::shared_ptr<LinkSocket> socket;
    try {
        if (s.Valid()) socket = std::make_shared<LinkSocket>(std::move(s));
    } catch (...) {
        // No memory for it: as a failed connect.
    }
    {
        std::lock_guard lock(mutex_);
        if (attempt != attempt_) return;  // closed meanwhile: the socket closes unread
        connecting_ = false;
        if (!socket) return;  // silent: the link check tries again
        socket_ = socket;
    }
    PushLinkReader(std::move(socket));
}

void PushLink::Close() {
    std::shared_ptr<LinkSocket> old;
    {
        std::lock_guard lock(mutex_);
        old.swap(socket_);
        ++attempt_;
        connecting_ = false;
    }
    if (old) old->Shutdown();  // its reader wakes and closes it
}

bool PushLink::Recorded() const {
    std::lock_guard lock(mutex_);
    return socket_ != nullptr;
}

bool PushLink::Connecting() const {
    std::lock_guard lock(mutex_);
    return connecting_;
}

bool PushLink::RecordedOrConnecting() const {
    std::lock_guard lock(mutex_);
    return socket_ != nullptr || connecting_;
}

// The item stream through a buffer: one receive call brings in as many items as have arrived,
// rather than two calls per market record. A read asks for exactly the bytes of one field or
// body, as an unbuffered read would, and fails the same way when the link ends in between.
class PushLink::ItemReader {
  public:
    explicit ItemReader(Socket& socket) : socket_(socket) {}

    // `count` when all of them arrived, otherwise the failing receive result (0: closed).
    int Read(void* out, int count) {
        auto* p = static_cast<char*>(out);
        int got = 0;
        while (got < count) {
            if (at_ == end_) {
                const int left = count - got;
                // What is beyond a buffer's worth goes straight where it belongs.
                if (left >= kBufferBytes) {
                    const int n = ReceiveExact(socket_, p + got, left);
                    return n == left ? count : n;
                }
                const int n = socket_.Recv(buffer_.data(), buffer_.size());
                if (n <= 0) return n;
                at_ = 0;
                end_ = n;
            }
            const int take = std::min(count - got, end_ - at_);
            std::memcpy(p + got, buffer_.data() + at_, static_cast<std::size_t>(take));
            at_ += take;
            got += take;
        }
        return count;
    }

  private:
    static constexpr int kBufferBytes = 64 * 1024;
    Socket& socket_;
    std::vector<char> buffer_ = std::vector<char>(kBufferBytes);
    int at_ = 0, end_ = 0;
};

int PushLink::PushLinkReader(std::shared_ptr<LinkSocket> socket) {
    SocketGroup::Scope scope(gate_->Sockets());
    // A failure met on a quote (a reload or an alert deletion with the request port down)
    // raises one box at a time aside, and the quotes go on.
    SetThreadMessageAside(ShowMessageAside);
    const SessionUse session;  // the session stays as it is until this worker ends
    try {
        RequestHeader header = MakeHeader(cmd::Subscribe);
        socket->Get().Send(&header, sizeof header);  // not checked: the first read tells
        ItemReader items(socket->Get());
        for (;;) {
            std::int32_t type = 0;
            if (items.Read(&type, 4) != 4) break;
            // A link that has been replaced stops before it acts on anything more.
            if (socket->WasShutDown() || !Dispatch(type, items)) break;
        }
    } catch (...) {
        // Any failure ends the link like a read failure; the link check reconnects.
    }
    socket->Close();
    return 1;
}

bool PushLink::Dispatch(std::int32_t type, ItemReader& items) {
    switch (type) {
        case push::Closed:
        case push::ForcedOffline: {
            LinkGate::Pass pass(*gate_);
            if (pass && handlers_.logout)
                handlers_.logout(type == push::Closed ? WM_PUSH_LINK_CLOSED : WM_FORCED_OFFLINE);
            return false;
        }
        case push::Record: {
            BarRecord r;
            if (items.Read(&r, sizeof r) != static_cast<int>(sizeof r)) return false;
            LinkGate::Pass pass(*gate_);
            if (!pass) return false;
            if (IsSignal(r)) {
                if (handlers_.signal) handlers_.signal(r);
            } else if (handlers_.marketRecord) {
                handlers_.marketRecord(r);
            }
            return true;
        }
        case push::Message: {
            // The item layout of the message list's load: more, time, length, the text.
            std::int32_t more = 0, time = 0;
            if (items.Read(&more, 4) != 4 || more <= 0) return false;
            std::string text;
            const auto read = [&items](void* buffer, int count) {
                return items.Read(buffer, count);
            };
            if (!ReadMessageItem(read, time, text) || time <= 0) return false;
            LinkGate::Pass pass(*gate_);
            if (!pass) return false;
            if (handlers_.instantMessage) handlers_.instantMessage(text, time);
            return true;
        }
        case push::Discard: {
            char body[push::kDiscardBytes];
            return items.Read(body, sizeof body) == static_cast<int>(sizeof body);
        }
        case push::KeepAlive:
            MarkKeepAlive();
            return true;
        default:
            return true;  // 0 and unknown types carry no body
    }
}

}  // namespace zq
