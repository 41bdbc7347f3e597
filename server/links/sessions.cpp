#include "server/links/sessions.h"

namespace zq::server {
namespace {

using SystemClock = std::chrono::system_clock;

}  // namespace

void SessionTable::AddReplacedListener(ReplacedListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(std::move(listener));
}

void SessionTable::SetIdleLimit(std::chrono::milliseconds idle) {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_ = idle;
}

bool SessionTable::Expired(const SessionInfo& s, SystemClock::time_point now) const {
    return idle_.count() > 0 && now - s.lastSeen > idle_;
}

std::optional<SessionInfo> SessionTable::Insert(SessionInfo info) {
    std::optional<SessionInfo> replaced;
    // A key names at most one session.
    if (auto same = byKey_.find(info.key); same != byKey_.end()) {
        byMember_.erase(same->second.memberId);
        byKey_.erase(same);
    }
    if (auto same = restored_.find(DigestOf(info.key)); same != restored_.end()) {
        restoredByMember_.erase(same->second.memberId);
        restored_.erase(same);
    }
    if (auto old = byMember_.find(info.memberId); old != byMember_.end()) {
        auto it = byKey_.find(old->second);
        if (it != byKey_.end()) {
            replaced = std::move(it->second);
            byKey_.erase(it);
        }
        byMember_.erase(old);
    }
    if (auto old = restoredByMember_.find(info.memberId); old != restoredByMember_.end()) {
        auto it = restored_.find(old->second);
        if (it != restored_.end()) {
            replaced = std::move(it->second);
            restored_.erase(it);
        }
        restoredByMember_.erase(old);
    }
    if (info.lastSeen == SystemClock::time_point{}) info.lastSeen = SystemClock::now();
    byMember_[info.memberId] = info.key;
    byKey_[info.key] = std::move(info);
    return replaced;
}

SessionInfo* SessionTable::Lookup(const Key& key) const {
    const auto now = SystemClock::now();
    SessionInfo* found = nullptr;
    if (auto it = byKey_.find(key); it != byKey_.end()) {
        found = &it->second;
    } else if (!restored_.empty() && !IsZeroKey(key)) {
        auto r = restored_.find(DigestOf(key));
        if (r == restored_.end()) return nullptr;
        SessionInfo s = std::move(r->second);
        restored_.erase(r);
        restoredByMember_.erase(s.memberId);
        s.key = key;
        byMember_[s.memberId] = key;
        found = &(byKey_[key] = std::move(s));
    } else {
        return nullptr;
    }
    if (Expired(*found, now)) return nullptr;
    found->lastSeen = now;
    return found;
}

void SessionTable::Begin(SessionInfo info) {
    std::optional<SessionInfo> replaced;
    std::vector<ReplacedListener> listeners;
    {
        std::lock_guard<std::mutex> change(changeMutex_);
        const SessionInfo opened = info;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            replaced = Insert(std::move(info));
            if (replaced) listeners = listeners_;
        }
        if (journal_) journal_->Opened(opened);
    }
    if (replaced)
        for (const auto& l : listeners) l(*replaced);
}

bool SessionTable::End(const Key& key) {
    std::lock_guard<std::mutex> change(changeMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byKey_.find(key);
        if (it != byKey_.end()) {
            byMember_.erase(it->second.memberId);
            byKey_.erase(it);
        } else {
            auto r = IsZeroKey(key) ? restored_.end() : restored_.find(DigestOf(key));
            if (r == restored_.end()) return false;
            restoredByMember_.erase(r->second.memberId);
            restored_.erase(r);
        }
    }
    if (journal_) journal_->Ended(key);
    return true;
}

bool SessionTable::EndMember(std::int64_t memberId) {
    std::optional<KeyDigest> digest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto m = byMember_.find(memberId); m == byMember_.end()) {
            auto r = restoredByMember_.find(memberId);
            if (r == restoredByMember_.end()) return false;
            digest = r->second;
        }
    }
    if (!digest) {
        const std::optional<SessionInfo> s = FindMember(memberId);
        return s && End(s->key);
    }
    std::lock_guard<std::mutex> change(changeMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (restored_.erase(*digest) == 0) return false;
        restoredByMember_.erase(memberId);
    }
    if (journal_) journal_->EndedDigest(*digest);
    return true;
}

void SessionTable::Load(const std::vector<SessionInfo>& sessions) {
    std::lock_guard<std::mutex> change(changeMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    // The time the server was down does not count: its clients could not reach it.
    const auto now = SystemClock::now();
    for (SessionInfo s : sessions) {
        s.lastSeen = now;
        if (!IsZeroKey(s.key)) {
            Insert(std::move(s));
            continue;
        }
        // By digest: a later session of the member or under the key wins.
        if (auto old = restoredByMember_.find(s.memberId); old != restoredByMember_.end())
            restored_.erase(old->second);
        if (auto old = byMember_.find(s.memberId); old != byMember_.end()) {
            byKey_.erase(old->second);
            byMember_.erase(old);
        }
        restoredByMember_[s.memberId] = s.digest;
        restored_[s.digest] = std::move(s);
    }
}

std::vector<SessionInfo> SessionTable::Sweep(SystemClock::time_point now,
                                             const std::vector<Key>& linked) {
    std::vector<SessionInfo> ended;
    std::vector<std::pair<KeyDigest, SystemClock::time_point>> seen;
    std::lock_guard<std::mutex> change(changeMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Key& k : linked)
            if (auto it = byKey_.find(k); it != byKey_.end()) it->second.lastSeen = now;
        for (auto it = byKey_.begin(); it != byKey_.end();) {
            if (Expired(it->second, now)) {
                byMember_.erase(it->second.memberId);
                ended.push_back(std::move(it->second));
                it = byKey_.erase(it);
            } else {
                seen.emplace_back(DigestOf(it->first), it->second.lastSeen);
                ++it;
            }
        }
        for (auto it = restored_.begin(); it != restored_.end();) {
            if (Expired(it->second, now)) {
                restoredByMember_.erase(it->second.memberId);
                ended.push_back(std::move(it->second));
                it = restored_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (journal_) {
        for (const SessionInfo& s : ended) {
            if (IsZeroKey(s.key))
                journal_->EndedDigest(s.digest);
            else
                journal_->Ended(s.key);
        }
        if (!seen.empty()) journal_->Seen(seen);
    }
    return ended;
}

std::optional<SessionInfo> SessionTable::Find(const Key& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const SessionInfo* s = Lookup(key);
    if (!s) return std::nullopt;
    return *s;
}

std::optional<SessionInfo> SessionTable::FindMember(std::int64_t memberId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = SystemClock::now();
    if (auto m = byMember_.find(memberId); m != byMember_.end()) {
        auto it = byKey_.find(m->second);
        if (it == byKey_.end() || Expired(it->second, now)) return std::nullopt;
        return it->second;
    }
    if (auto r = restoredByMember_.find(memberId); r != restoredByMember_.end()) {
        auto it = restored_.find(r->second);
        if (it == restored_.end() || Expired(it->second, now)) return std::nullopt;
        return it->second;
    }
    return std::nullopt;
}

bool SessionTable::Contains(const Key& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (byKey_.count(key) != 0) return true;
    return !restored_.empty() && !IsZeroKey(key) && restored_.count(DigestOf(key)) != 0;
}

std::size_t SessionTable::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byKey_.size() + restored_.size();
}

}  // namespace zq::server
