// The push links of all clients: who is subscribed, which series each client's chart shows, and
// what goes to whom.
//
// Every subscribed connection has a bounded queue of push items and one writer (its connection
// thread, push_connection.cpp); everyone else only queues. The market, the bar clock, the control
// port and the login never wait for a client: a link whose queue overflows is dropped.
//
// Push items: int32 type, then its body.
//   1  a 56-byte market record: the live bar of the link's period, for every instrument, on
//      every new price; and, for the chart's instrument, the finished bar when a bar closes,
//      followed by the next live bar
//   1  a 56-byte trading signal (marker 255 at offset 44): published, republished or withdrawn,
//      to every link
//   2  an instant message: int32 more (1), int32 time, int32 length, that many GBK bytes
//   4  keep-alive (every keep-alive interval, and once on subscribing; none while stopped)
//   5  logged out: another login of the member, or the control port; the link then closes
//  -1  the server is stopping; the link then closes
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "market/wire/bar_record.h"
#include "market/wire/signal_record.h"
#include "net/wire/framing.h"
#include "server/bars.h"
#include "server/keys.h"
#include "server/sessions.h"

namespace zq::server {

// A link is dropped when more than this many bytes wait in its queue.
constexpr std::size_t kMaxQueuedBytes = 256 * 1024;

std::string PushItem(std::int32_t type);
std::string PushRecord(const BarRecord& record);
std::string PushMessage(std::int32_t time, std::string_view gbkText);

// One subscribed connection, shared by the feed (which queues) and its writer.
class PushSubscriber {
  public:
    PushSubscriber(int fd, const Key& key, std::int64_t memberId);
    ~PushSubscriber();
    PushSubscriber(const PushSubscriber&) = delete;
    PushSubscriber& operator=(const PushSubscriber&) = delete;

    const Key& SessionKey() const { return key_; }
    std::int64_t MemberId() const { return memberId_; }
    // Readable when items wait (for the writer's poll).
    int WakeFd() const { return wake_; }

    // Queues an item; a link whose queue overflows is dropped (its socket is shut down so
    // that a writer stuck in a send wakes up). Ignored once the link is ending.
    void Enqueue(std::string item);
    // Queues `last` as the final item (after what waits, or instead of it); the writer sends it
    // and ends the link.
    void Finish(std::string last, bool discardWaiting);

    struct Batch {
        std::string bytes;
        bool last = false;     // the final item is in `bytes`: end after sending
        bool dropped = false;  // the queue overflowed: end without sending
        std::string why;       // what ends the link
    };
    // Takes everything queued (for the writer).
    Batch Take();

  private:
    void Wake();

    const int fd_;
    const Key key_;
    const std::int64_t memberId_;
    int wake_ = -1;

    std::mutex mutex_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    bool finishing_ = false, dropped_ = false;
    std::string why_;

    // The chart the link serves (guarded by the feed's lock).
    friend class PushFeed;
    std::int32_t chartInstrument_ = 0;
    int chartPeriodIndex_ = 0;
};

class PushFeed {
  public:
    PushFeed(SessionTable& sessions, std::chrono::milliseconds keepAliveInterval)
        : sessions_(sessions), keepAliveInterval_(keepAliveInterval) {}
    PushFeed(const PushFeed&) = delete;
    PushFeed& operator=(const PushFeed&) = delete;

    std::chrono::milliseconds KeepAliveInterval() const { return keepAliveInterval_; }

    // Registers a subscribed connection and queues the live bars of every instrument and,
    // unless keep-alives are stopped, a keep-alive; null when the server is stopping.
    std::shared_ptr<PushSubscriber> Attach(int fd, const SessionInfo& session, const BarBook& bars);
    void Detach(const std::shared_ptr<PushSubscriber>& link);

    // The session's chart shows this instrument and period from now on (its latest history
    // request); sessions that are not open are not remembered.
    void NoteHistoryRequest(const Key& key, std::int32_t instrument, int periodIndex);

    // From the bar book (its lock held): queues the records each link needs.
    void OnBars(const BarUpdate& update);

    // Type 5 to the links of one session, or of every session of a member; the links told.
    int ForceOffline(const Key& key);
    int ForceOfflineMember(std::int64_t memberId);
    // An instant message to a member's links (nothing: to every link); the links told.
    int SendMessage(std::optional<std::int64_t> memberId, std::int32_t time,
                    std::string_view gbkText);

    // A signal record (a publication or a withdrawal) to every link; the links told.
    int SendSignal(const SignalRecord& signal);

    // Keep-alives stop and start again (with one at once on every link).
    void SetKeepAlives(bool on);
    bool KeepAlives() const;

    // Sends -1 to every link and waits up to `wait` for them to end; later subscriptions are
    // refused.
    void CloseAll(std::chrono::milliseconds wait);
    std::size_t LinkCount() const;
    // The session keys of the open links.
    std::vector<Key> LinkKeys() const;

  private:
    struct Chart {
        std::int32_t instrument = 0;
        int periodIndex = 0;
    };
    static constexpr std::size_t kMaxCharts = 4096;

    SessionTable& sessions_;
    const std::chrono::milliseconds keepAliveInterval_;

    mutable std::mutex mutex_;
    std::condition_variable linkGone_;
    std::vector<std::shared_ptr<PushSubscriber>> links_;
    std::unordered_map<Key, Chart, KeyHash> charts_;
    bool keepAlives_ = true;
    bool closing_ = false;
};

}  // namespace zq::server
