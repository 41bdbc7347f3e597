// The push links of all clients: who is subscribed, which series each client's chart shows, and
// what goes to whom.
//
// Every subscribed connection has a bounded queue of push items and one writer (its coroutine on
// the event loop, push_connection.cpp), which the queue wakes; everyone else only queues. The
// items are shared: a market record is made once for all the links that get it. Within a step
// of the market (BeginStep, EndStep) the live records of its prices are gathered, one run for
// each period, and each link gets its period's run as one item at the step's end, so a step
// costs a link one item and one send however many prices moved. What goes to every link is
// handed out by a few threads together (fan_out.h), each link by one of them, in the order queued.
// The market, the bar clock, the control port and the login never wait for a client: a link whose
// queue overflows is dropped. A member holds at most kMaxPushLinksPerMember links: a newer one
// closes the member's oldest, so that a client that reconnects always gets in. A log-out closes
// the session's links.
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

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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
#include "server/links/fan_out.h"
#include "server/links/keys.h"
#include "server/links/send_ring.h"
#include "server/links/sessions.h"
#include "server/market/bars.h"

namespace zq::server {

// A link is dropped when more than this many bytes wait in its queue.
constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
// The push links one member may hold at once.
constexpr std::size_t kMaxPushLinksPerMember = 4;

std::string PushItem(std::int32_t type);
std::string PushRecord(const BarRecord& record);
std::string PushMessage(std::int32_t time, std::string_view gbkText);

// One subscribed connection, shared by the feed (which queues) and its writer.
class PushSubscriber {
  public:
    // `wake(drop)` tells the writer that items wait, or (drop true) that the link is dropped and
    // its connection must close now, even in the middle of a send. It is called from any thread,
    // possibly under the feed's lock, and must only hand the news on.
    using Wake = std::function<void(bool drop)>;
    // `socket`: the connection's descriptor, to which an item may go at once from the thread
    // that queues it while the writer has nothing in hand; -1 for none.
    PushSubscriber(const Key& key, std::int64_t memberId, Wake wake, int socket = -1);
    PushSubscriber(const PushSubscriber&) = delete;
    PushSubscriber& operator=(const PushSubscriber&) = delete;

    const Key& SessionKey() const { return key_; }
    std::int64_t MemberId() const { return memberId_; }
    // An item, shared by the links that get it.
    using Item = std::shared_ptr<const std::string>;
    // Queues an item; a link whose queue overflows is dropped. Ignored once the link is ending.
    // While the writer has sent everything it took, the item goes to the socket at once, as far
    // as the socket takes it without waiting, and only the rest is queued: a link that keeps up
    // costs one send and no wake of its writer.
    void Enqueue(Item item);
    void Enqueue(std::string item);
    // Ends the link at once, without sending what waits; `why` is logged.
    void Drop(std::string why);
    // Queues `last` as the final item (after what waits, or instead of it); the writer sends it
    // and ends the link.
    void Finish(std::string last, bool discardWaiting);

    struct Batch {
        std::vector<Item> items;  // to go out in this order
        bool last = false;        // the final item is in `items`: end after sending
        bool dropped = false;     // the queue overflowed: end without sending
        std::string why;          // what ends the link
    };
    // Takes everything queued (for the writer). An empty batch hands the socket to those who
    // queue until the next item is queued.
    Batch Take();
    // The bytes that went to the socket at once.
    std::size_t SentAtOnce() const;
    // The link's connection is ending: nothing is queued or sent from now on.
    void Retire();
    bool Retired() const { return retired_.load(); }

  private:
    friend class LinkSends;
    enum class Wakes { None, Writer, Drop };
    // Under the lock: `item`, of which `sent` bytes went to the socket at once; the rest is
    // queued, or the link dropped when its queue would overflow. Returns what to tell the writer.
    Wakes QueueRestLocked(Item item, std::size_t sent);
    // Under the lock: ends the link without sending what waits; false when it had ended.
    bool DropLocked(std::string why);
    void Tell(Wakes wakes);
    void WakeWriter(bool drop);

    const Key key_;
    const std::int64_t memberId_;
    const Wake wake_;
    const int socket_;
    // A wake is on its way to the writer: more items need none until it has taken them.
    std::atomic<bool> wakePending_{false};
    std::atomic<bool> retired_{false};

    mutable std::mutex mutex_;
    std::vector<Item> queue_;
    // The writer has sent everything it took and waits: an item may go to the socket at once.
    // Sends on the socket happen under the lock, while this is set, or by the writer, while not.
    bool idle_ = false;
    std::size_t sentAtOnce_ = 0;
    std::size_t queuedBytes_ = 0;
    bool finishing_ = false, dropped_ = false;
    std::string why_;

    // The chart the link serves (guarded by the feed's lock).
    friend class PushFeed;
    std::int32_t chartInstrument_ = 0;
    int chartPeriodIndex_ = 0;
};

// The links of one run of a hand-out, each given one item: the items that go to their sockets
// at once go out together, one system call for every SendRing::kEntries of them (send_ring.h);
// the others are queued as Enqueue queues them. Each link's lock is held from Add until its send
// is done, so nothing queued on the link meanwhile overtakes the item. A link takes one Add a run.
class LinkSends {
  public:
    explicit LinkSends(SendRing& ring) : ring_(ring) {}
    ~LinkSends() { Flush(); }
    LinkSends(const LinkSends&) = delete;
    LinkSends& operator=(const LinkSends&) = delete;

    void Add(PushSubscriber& link, const PushSubscriber::Item& item);
    // Sends what was added, and queues what the sockets did not take.
    void Flush();

  private:
    struct Pending {
        PushSubscriber* link;
        PushSubscriber::Item item;
        std::unique_lock<std::mutex> lock;
    };
    SendRing& ring_;
    std::vector<Pending> pending_;
};

class PushFeed {
  public:
    PushFeed(SessionTable& sessions, std::chrono::milliseconds keepAliveInterval)
        : sessions_(sessions), keepAliveInterval_(keepAliveInterval) {}
    PushFeed(const PushFeed&) = delete;
    PushFeed& operator=(const PushFeed&) = delete;

    std::chrono::milliseconds KeepAliveInterval() const { return keepAliveInterval_; }

    // Registers a subscribed connection and queues the live bars of every instrument and,
    // unless keep-alives are stopped, a keep-alive; null when the server is stopping or the
    // session has ended meanwhile. Beyond kMaxPushLinksPerMember the member's oldest link is
    // dropped.
    std::shared_ptr<PushSubscriber> Attach(const SessionInfo& session, const BarBook& bars,
                                           PushSubscriber::Wake wake, int socket = -1);
    // The link's connection ends: it takes nothing more, and leaves the list at the feed's next
    // turn (without waiting for the feed's lock).
    void Detach(const std::shared_ptr<PushSubscriber>& link);

    // The session's chart shows this instrument and period from now on (its latest history
    // request); sessions that are not open are not remembered.
    void NoteHistoryRequest(const Key& key, std::int32_t instrument, int periodIndex);

    // From the bar book (its lock held): queues the records each link needs; within a step, the
    // live records wait for the step's end.
    void OnBars(const BarUpdate& update);
    // A step of the market begins and ends (the market, around the handing out of its prices).
    void BeginStep();
    void EndStep();

    // Closes the links of a session that has logged out (command 4), sending nothing more; the
    // links closed.
    int CloseSession(const Key& key);
    // Type 5 to the links of one session, or of every session of a member; the links told.
    int ForceOffline(const Key& key);
    int ForceOfflineMember(std::int64_t memberId);
    // An instant message to a member's links (nothing: to every link); the links told.
    int SendMessage(std::optional<std::int64_t> memberId, std::int32_t time,
                    std::string_view gbkText);

    // A signal record (a publication or a withdrawal) to every link; the links told.
    int SendSignal(const SignalRecord& signal);

    // Keep-alives stop and start again (with one at once on every link). Read by every writer
    // without the feed's lock.
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

    // Ends the links of a session: with type 5 (`tell`), or at once without another item.
    int EndSessionLinks(const Key& key, bool tell);
    // Queues the live records gathered in the step so far; every other item goes after them.
    // The lock is held.
    void FlushLocked();
    // Takes the retired links off the list. The lock is held.
    void PruneLocked();
    // Visits every link, the links shared among the fan-out's threads (each link on one
    // thread), with the sends of the visiting thread's run; returns when all are visited and
    // sent. The lock is held.
    void EachLink(const std::function<void(PushSubscriber&, LinkSends&)>& visit);

    SessionTable& sessions_;
    const std::chrono::milliseconds keepAliveInterval_;

    mutable std::mutex mutex_;
    std::condition_variable linkGone_;
    std::vector<std::shared_ptr<PushSubscriber>> links_;
    std::unordered_map<Key, Chart, KeyHash> charts_;
    std::atomic<bool> keepAlives_{true};
    // A link has retired since the list was last pruned.
    std::atomic<bool> retired_{false};
    bool closing_ = false;
    // Within a step: the live records gathered for each period.
    bool inStep_ = false;
    std::array<std::string, kPeriodCount> stepRecords_;
    // The links of each session, by its key: a log-out finds them without the feed's lock.
    // Taken after the feed's lock, never before it.
    std::mutex indexMutex_;
    std::unordered_map<Key, std::vector<std::shared_ptr<PushSubscriber>>, KeyHash> sessionLinks_;
    FanOut fanOut_{FanOutThreads()};
};

}  // namespace zq::server
