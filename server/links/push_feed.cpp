#include "server/links/push_feed.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zq::server {
namespace {

void AppendInt(std::string& out, std::int32_t v) {
    char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.append(b, sizeof v);
}

}  // namespace

std::string PushItem(std::int32_t type) {
    std::string out;
    AppendInt(out, type);
    return out;
}

std::string PushRecord(const BarRecord& record) {
    std::string out = PushItem(push::Record);
    out.append(reinterpret_cast<const char*>(&record), sizeof record);
    return out;
}

std::string PushMessage(std::int32_t time, std::string_view gbkText) {
    std::string out = PushItem(push::Message);
    AppendInt(out, 1);
    AppendInt(out, time);
    AppendInt(out, static_cast<std::int32_t>(gbkText.size()));
    out.append(gbkText);
    return out;
}

// ---- PushSubscriber ----

PushSubscriber::PushSubscriber(const Key& key, std::int64_t memberId, Wake wake, int socket)
    : key_(key), memberId_(memberId), wake_(std::move(wake)), socket_(socket) {}

void PushSubscriber::WakeWriter(bool drop) {
    if (!wake_) return;
    if (drop || !wakePending_.exchange(true)) wake_(drop);
}

void PushSubscriber::Enqueue(std::string item) {
    Enqueue(std::make_shared<const std::string>(std::move(item)));
}

void PushSubscriber::Enqueue(Item item) {
    Wakes wakes = Wakes::None;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_ || dropped_) return;
        std::size_t sent = 0;
        if (idle_ && socket_ >= 0) {
            const ssize_t n =
                ::send(socket_, item->data(), item->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            sent = n > 0 ? static_cast<std::size_t>(n) : 0;
            sentAtOnce_ += sent;
        }
        wakes = QueueRestLocked(std::move(item), sent);
    }
    Tell(wakes);
}

PushSubscriber::Wakes PushSubscriber::QueueRestLocked(Item item, std::size_t sent) {
    if (sent == item->size()) return Wakes::None;
    // The rest waits for the writer (a full socket, or a failed one that the writer's own send
    // then reports).
    if (sent > 0) item = std::make_shared<const std::string>(item->substr(sent));
    idle_ = false;
    if (queuedBytes_ + item->size() > kMaxQueuedBytes)
        return DropLocked("queue overflow (client too slow), dropped") ? Wakes::Drop : Wakes::None;
    queuedBytes_ += item->size();
    queue_.push_back(std::move(item));
    return Wakes::Writer;
}

bool PushSubscriber::DropLocked(std::string why) {
    if (dropped_) return false;
    dropped_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    why_ = std::move(why);
    return true;
}

void PushSubscriber::Tell(Wakes wakes) {
    if (wakes != Wakes::None) WakeWriter(wakes == Wakes::Drop);
}

void PushSubscriber::Drop(std::string why) {
    bool dropped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped = DropLocked(std::move(why));
    }
    if (dropped) WakeWriter(true);
}

// ---- LinkSends ----

void LinkSends::Add(PushSubscriber& link, const PushSubscriber::Item& item) {
    std::unique_lock<std::mutex> lock(link.mutex_);
    if (link.finishing_ || link.dropped_) return;
    if (!link.idle_ || link.socket_ < 0) {
        const auto wakes = link.QueueRestLocked(item, 0);
        lock.unlock();
        link.Tell(wakes);
        return;
    }
    ring_.Add(link.socket_, item->data(), item->size());
    pending_.push_back({&link, item, std::move(lock)});
    if (pending_.size() >= SendRing::kEntries) Flush();
}

void LinkSends::Flush() {
    if (pending_.empty()) return;
    const std::vector<long>& results = ring_.Submit();
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        Pending& p = pending_[i];
        PushSubscriber& link = *p.link;
        PushSubscriber::Wakes wakes = PushSubscriber::Wakes::None;
        if (results[i] == -ECANCELED) {
            // Whether the socket took the item is not known: the link cannot go on.
            if (link.DropLocked("send lost, dropped")) wakes = PushSubscriber::Wakes::Drop;
        } else {
            const std::size_t sent = results[i] > 0 ? static_cast<std::size_t>(results[i]) : 0;
            link.sentAtOnce_ += sent;
            wakes = link.QueueRestLocked(std::move(p.item), sent);
        }
        p.lock.unlock();
        link.Tell(wakes);
    }
    pending_.clear();
}

void PushSubscriber::Finish(std::string last, bool discardWaiting) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_ || dropped_) return;
        if (discardWaiting) {
            queue_.clear();
            queuedBytes_ = 0;
        }
        std::int32_t type = 0;
        std::memcpy(&type, last.data(), std::min(last.size(), sizeof type));
        why_ =
            type == push::ForcedOffline ? "logged out (5), closed" : "server stopping (-1), closed";
        queue_.push_back(std::make_shared<const std::string>(std::move(last)));
        idle_ = false;
        finishing_ = true;
    }
    WakeWriter(false);
}

PushSubscriber::Batch PushSubscriber::Take() {
    // Items queued from now on wake the writer again.
    wakePending_.store(false);
    std::lock_guard<std::mutex> lock(mutex_);
    Batch b;
    b.dropped = dropped_;
    b.last = finishing_;
    b.why = why_;
    b.items.swap(queue_);
    queuedBytes_ = 0;
    idle_ = b.items.empty() && !finishing_ && !dropped_;
    return b;
}

void PushSubscriber::Retire() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    retired_.store(true);
}

std::size_t PushSubscriber::SentAtOnce() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sentAtOnce_;
}

// ---- PushFeed ----

std::shared_ptr<PushSubscriber> PushFeed::Attach(const SessionInfo& session, const BarBook& bars,
                                                 PushSubscriber::Wake wake, int socket) {
    Chart chart;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return nullptr;
        if (auto it = charts_.find(session.key); it != charts_.end()) chart = it->second;
    }
    auto link =
        std::make_shared<PushSubscriber>(session.key, session.memberId, std::move(wake), socket);
    link->chartInstrument_ = chart.instrument;
    link->chartPeriodIndex_ = chart.periodIndex;
    bool attached = false;
    // Under the book's lock, so that no update slips in between the snapshot and the link.
    bars.WithLiveBars(chart.periodIndex, [&](const std::vector<BarRecord>& live) {
        std::lock_guard<std::mutex> lock(mutex_);
        // A log-out between the subscription's check and now: the log-out found no link to
        // close, so this one must not open.
        if (closing_ || !sessions_.Contains(session.key)) return;
        PruneLocked();
        // The step's records so far go to the links before this one, which has them in `live`.
        FlushLocked();
        std::size_t held = 0;
        for (const auto& other : links_) held += other->memberId_ == session.memberId;
        // The member's oldest links make room (links_ is in the order they came).
        for (auto it = links_.begin(); held >= kMaxPushLinksPerMember && it != links_.end(); ++it)
            if ((*it)->memberId_ == session.memberId) {
                (*it)->Drop("more than " + std::to_string(kMaxPushLinksPerMember) +
                            " push links of the member: the oldest closed");
                --held;
            }
        for (const BarRecord& r : live) link->Enqueue(PushRecord(r));
        // While keep-alives are stopped a new link gets none either: a client that reconnects
        // after a silent period must stay silent until they resume.
        if (keepAlives_) link->Enqueue(PushItem(push::KeepAlive));
        {
            // A log-out ends the session first, then its links by this index: a session that
            // ended before this point has its link refused here.
            std::lock_guard<std::mutex> index(indexMutex_);
            if (!sessions_.Contains(session.key)) return;
            sessionLinks_[session.key].push_back(link);
        }
        links_.push_back(link);
        attached = true;
    });
    return attached ? link : nullptr;
}

void PushFeed::Detach(const std::shared_ptr<PushSubscriber>& link) {
    // Without the feed's lock, which a step's hand-out holds: the writers' threads serve other
    // connections too. The link takes nothing more from now on and leaves the list at the next
    // turn of the feed.
    link->Retire();
    {
        std::lock_guard<std::mutex> index(indexMutex_);
        if (auto it = sessionLinks_.find(link->key_); it != sessionLinks_.end()) {
            std::erase(it->second, link);
            if (it->second.empty()) sessionLinks_.erase(it);
        }
    }
    retired_.store(true);
    linkGone_.notify_all();
}

void PushFeed::PruneLocked() {
    if (retired_.exchange(false))
        std::erase_if(links_, [](const auto& link) { return link->Retired(); });
}

void PushFeed::NoteHistoryRequest(const Key& key, std::int32_t instrument, int periodIndex) {
    if (!sessions_.Contains(key)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (charts_.size() >= kMaxCharts && !charts_.count(key))
        std::erase_if(charts_, [&](const auto& entry) { return !sessions_.Contains(entry.first); });
    charts_[key] = {instrument, periodIndex};
    for (const auto& link : links_) {
        if (link->key_ != key) continue;
        link->chartInstrument_ = instrument;
        link->chartPeriodIndex_ = periodIndex;
    }
}

void PushFeed::OnBars(const BarUpdate& update) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool closed = update.Closed();
    if (!closed && inStep_) {
        for (std::size_t p = 0; p < stepRecords_.size(); ++p)
            stepRecords_[p] += PushRecord(update.live[p]);
        return;
    }
    FlushLocked();
    // Each period's live record is made once for every link that shows it.
    std::array<PushSubscriber::Item, kPeriodCount> liveItems;
    if (!closed)
        for (std::size_t p = 0; p < liveItems.size(); ++p)
            liveItems[p] = std::make_shared<const std::string>(PushRecord(update.live[p]));
    EachLink([&](PushSubscriber& link, LinkSends& sends) {
        const auto p = static_cast<std::size_t>(link.chartPeriodIndex_);
        if (!closed) {
            sends.Add(link, liveItems[p]);
        } else if (link.chartInstrument_ == update.instrument && update.finished[p]) {
            link.Enqueue(PushRecord(*update.finished[p]));
            link.Enqueue(PushRecord(update.live[p]));
        }
    });
}

void PushFeed::EachLink(const std::function<void(PushSubscriber&, LinkSends&)>& visit) {
    fanOut_.Run(links_.size(), [&](std::size_t begin, std::size_t end) {
        // Each thread that hands out keeps one ring for good.
        thread_local SendRing ring;
        LinkSends sends(ring);
        for (std::size_t i = begin; i < end; ++i) visit(*links_[i], sends);
        sends.Flush();
    });
}

void PushFeed::BeginStep() {
    std::lock_guard<std::mutex> lock(mutex_);
    inStep_ = true;
}

void PushFeed::EndStep() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    inStep_ = false;
}

void PushFeed::FlushLocked() {
    PruneLocked();
    std::array<PushSubscriber::Item, kPeriodCount> runs;
    bool any = false;
    for (std::size_t p = 0; p < stepRecords_.size(); ++p) {
        if (stepRecords_[p].empty()) continue;
        runs[p] = std::make_shared<const std::string>(std::move(stepRecords_[p]));
        stepRecords_[p].clear();
        any = true;
    }
    if (!any) return;
    EachLink([&](PushSubscriber& link, LinkSends& sends) {
        if (const auto& run = runs[static_cast<std::size_t>(link.chartPeriodIndex_)])
            sends.Add(link, run);
    });
}

int PushFeed::EndSessionLinks(const Key& key, bool tell) {
    // By the index, without the feed's lock: a log-out or a newer login never waits for a
    // step's hand-out. What the step still holds for these links is not sent after the end.
    std::vector<std::shared_ptr<PushSubscriber>> ending;
    {
        std::lock_guard<std::mutex> index(indexMutex_);
        if (auto it = sessionLinks_.find(key); it != sessionLinks_.end()) {
            ending.swap(it->second);
            sessionLinks_.erase(it);
        }
    }
    for (const auto& link : ending) {
        if (tell)
            link->Finish(PushItem(push::ForcedOffline), false);
        else
            link->Drop("logged out (4), closed");
    }
    // The session's chart is forgotten when the charts are next tidied (it is not open).
    return static_cast<int>(ending.size());
}

int PushFeed::CloseSession(const Key& key) {
    return EndSessionLinks(key, false);
}

int PushFeed::ForceOffline(const Key& key) {
    return EndSessionLinks(key, true);
}

int PushFeed::ForceOfflineMember(std::int64_t memberId) {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    int told = 0;
    for (const auto& link : links_) {
        if (link->memberId_ != memberId) continue;
        charts_.erase(link->key_);
        link->Finish(PushItem(push::ForcedOffline), false);
        ++told;
    }
    return told;
}

int PushFeed::SendMessage(std::optional<std::int64_t> memberId, std::int32_t time,
                          std::string_view gbkText) {
    const auto item = std::make_shared<const std::string>(PushMessage(time, gbkText));
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    int told = 0;
    for (const auto& link : links_) {
        if (memberId && link->memberId_ != *memberId) continue;
        link->Enqueue(item);
        ++told;
    }
    return told;
}

int PushFeed::SendSignal(const SignalRecord& signal) {
    const auto item = std::make_shared<const std::string>(PushRecord(AsBar(signal)));
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    EachLink([&](PushSubscriber& link, LinkSends& sends) { sends.Add(link, item); });
    return static_cast<int>(links_.size());
}

void PushFeed::SetKeepAlives(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    if (on && !keepAlives_)
        for (const auto& link : links_) link->Enqueue(PushItem(push::KeepAlive));
    keepAlives_ = on;
}

bool PushFeed::KeepAlives() const {
    return keepAlives_;
}

void PushFeed::CloseAll(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    FlushLocked();
    closing_ = true;
    for (const auto& link : links_) link->Finish(PushItem(push::Closed), true);
    // A writer that ends does not take the lock to say so: look again now and then.
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        PruneLocked();
        if (links_.empty() || std::chrono::steady_clock::now() >= until) return;
        linkGone_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

std::size_t PushFeed::LinkCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        links_.begin(), links_.end(), [](const auto& link) { return !link->Retired(); }));
}

std::vector<Key> PushFeed::LinkKeys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Key> keys;
    for (const auto& link : links_)
        if (!link->Retired()) keys.push_back(link->SessionKey());
    return keys;
}

}  // namespace zq::server
