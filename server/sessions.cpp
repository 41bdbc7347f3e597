#include "server/sessions.h"

namespace zq::server {

void SessionTable::AddReplacedListener(ReplacedListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(std::move(listener));
}

std::optional<SessionInfo> SessionTable::Insert(SessionInfo info) {
    std::optional<SessionInfo> replaced;
    // A key names at most one session.
    if (auto same = byKey_.find(info.key); same != byKey_.end()) {
        byMember_.erase(same->second.memberId);
        byKey_.erase(same);
    }
    if (auto old = byMember_.find(info.memberId); old != byMember_.end()) {
        auto it = byKey_.find(old->second);
        if (it != byKey_.end()) {
            replaced = std::move(it->second);
            byKey_.erase(it);
        }
        byMember_.erase(old);
    }
    byMember_[info.memberId] = info.key;
    byKey_[info.key] = std::move(info);
    return replaced;
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
        if (it == byKey_.end()) return false;
        byMember_.erase(it->second.memberId);
        byKey_.erase(it);
    }
    if (journal_) journal_->Ended(key);
    return true;
}

void SessionTable::Load(const std::vector<SessionInfo>& sessions) {
    std::lock_guard<std::mutex> change(changeMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const SessionInfo& s : sessions) Insert(s);
}

std::optional<SessionInfo> SessionTable::Find(const Key& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byKey_.find(key);
    if (it == byKey_.end()) return std::nullopt;
    return it->second;
}

std::optional<SessionInfo> SessionTable::FindMember(std::int64_t memberId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto m = byMember_.find(memberId);
    if (m == byMember_.end()) return std::nullopt;
    auto it = byKey_.find(m->second);
    if (it == byKey_.end()) return std::nullopt;
    return it->second;
}

bool SessionTable::Contains(const Key& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byKey_.count(key) != 0;
}

std::size_t SessionTable::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byKey_.size();
}

}  // namespace zq::server
